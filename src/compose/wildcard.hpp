// Attachment and part-file names with "*" or "?" in their last path
// component: matched against the folder's file names by these rules alone
// (never the system's), character by character in the command file's
// encoding, so a double-byte character of code page 932 is one character and
// its trail byte 0x5C or 0x7C is never a separator or a bar.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/failure.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// Whether `name` (code page 932, or UTF-8 when `unicode`) matches
// `pattern`: "*" stands for any run of characters, "?" for exactly one.
// `ignoreCase` compares ASCII letters without regard to case. A name that
// starts with "." matches only a pattern that starts with ".".
bool WildcardMatch(std::string_view pattern, std::string_view name, bool unicode, bool ignoreCase);

// Whether an entry of a file list is a pattern: "*" or "?" after its last
// "\" or "/".
bool IsFilePattern(std::string_view entry, bool unicode);

// Whether any entry of a comma-separated file list is a pattern.
bool HoldsFilePattern(std::string_view list, bool unicode);

struct ExpandedFiles {
  std::vector<std::string> names;  // the list's entries, each pattern replaced by its matches
  std::vector<std::string> shown;  // each pattern and its matches, UTF-8, for --check
  std::vector<std::string> notes;  // names that could not be matched, UTF-8, for standard error
};

// Splits the list at its commas (a trailing comma opens no entry) and
// replaces each pattern by the regular files of its folder that match it,
// sorted by name in code point order; the folder part is taken as written.
// A pattern that matches nothing, or whose folder cannot be listed, fails
// with InputMissing naming it.
Status ExpandFileList(std::string_view list, WorkFolder& files, ExpandedFiles& out);

}  // namespace tolvex
