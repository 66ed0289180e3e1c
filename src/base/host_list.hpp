// "#HOS" with a comma list: a backup server for the first. A host name
// never holds a comma (nor does a code page 932 trail byte), so the value
// splits at each one; the spaces around each name are trimmed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

// The names in order; empty when an item of the list is empty ("a,,b",
// "a," or ", b"): such a line is refused.
std::vector<std::string> SplitHostList(std::string_view value);

}  // namespace tolvex
