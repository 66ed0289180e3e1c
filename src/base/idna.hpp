// A domain name in UTF-8 to its ASCII form (IDNA 2008 with the UTS #46
// mapping, non-transitional): "例え.jp" gives "xn--r8jz45g.jp". Nothing when
// the name is refused (a character IDNA does not allow, a label longer than
// 63 characters, an empty label). Each platform layer defines it
// (tolvex_native): libidn2 on Linux, IdnToAscii on Windows.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvex {

std::optional<std::string> DomainToAscii(std::string_view utf8Domain);

}  // namespace tolvex
