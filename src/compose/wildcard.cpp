#include "compose/wildcard.hpp"

#include <algorithm>
#include <cstdint>

#include "base/sjis_text.hpp"
#include "compose/message_charset.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

constexpr char32_t kDoubleByte = 0x10000;  // code page 932 pairs: 0x10000 | lead << 8 | trail
constexpr char32_t kStrayByte = 0x110000;  // a byte of text that is not valid UTF-8

// The text as one number per character, so that a character is compared
// whole and never by one of its bytes.
std::vector<char32_t> Characters(std::string_view s, bool unicode, bool ignoreCase) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  const bool validUtf8 = unicode && utf8::IsValid(s);
  for (std::size_t pos = 0; pos < s.size();) {
    const auto b = static_cast<unsigned char>(s[pos]);
    char32_t c = b;
    std::size_t len = 1;
    if (validUtf8) {
      c = utf8::CodePoint(s, pos);
      len = utf8::CharLen(s, pos);
    } else if (unicode) {
      if (b >= 0x80) c = kStrayByte + b;
    } else if (sjis::IsLeadByte(b) && pos + 1 < s.size()) {
      c = kDoubleByte | static_cast<char32_t>(b) << 8 | static_cast<unsigned char>(s[pos + 1]);
      len = 2;
    }
    if (ignoreCase && c >= 'A' && c <= 'Z') c += 'a' - 'A';
    out.push_back(c);
    pos += len;
  }
  return out;
}

// A one-byte character of `s` from `from` on, found character by character.
std::size_t FindByte(std::string_view s, char c, std::size_t from, bool unicode) {
  return unicode ? s.find(c, from) : sjis::FindChar(s, c, from);
}

// Where the last path component starts: after the last "\\" or "/".
std::size_t LastComponent(std::string_view entry, bool unicode) {
  std::size_t start = 0;
  for (char sep : {'\\', '/'}) {
    for (std::size_t p = FindByte(entry, sep, start, unicode); p != std::string_view::npos;
         p = FindByte(entry, sep, p + 1, unicode)) {
      start = std::max(start, p + 1);
    }
  }
  return start;
}

std::vector<std::string_view> Entries(std::string_view list, bool unicode) {
  std::vector<std::string_view> entries;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = FindByte(list, ',', start, unicode);
    if (end == std::string_view::npos) end = list.size();
    entries.push_back(list.substr(start, end - start));
    start = end + 1;
    if (start >= list.size()) return entries;  // a trailing comma opens no entry
  }
}

std::string Utf8Of(std::string_view name, bool unicode) {
  return unicode ? std::string(name) : Cp932ToUtf8Lossy(name);
}

// The name in quotes, code page 932 for a failure's text or UTF-8 for a
// note. Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on
// "\"" + a temporary string.
std::string Quoted(std::string_view name, bool unicode, bool utf8) {
  std::size_t lost = 0;
  std::string out = "\"";
  if (unicode == utf8) {
    out.append(name);
  } else {
    out.append(utf8 ? Cp932ToUtf8Lossy(name) : Utf8ToCp932(name, lost));
  }
  out.append("\"");
  return out;
}

}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name, bool unicode, bool ignoreCase) {
  if (!name.empty() && name[0] == '.' && (pattern.empty() || pattern[0] != '.')) return false;
  const std::vector<char32_t> p = Characters(pattern, unicode, ignoreCase);
  const std::vector<char32_t> n = Characters(name, unicode, ignoreCase);
  // Greedy with one step back: after a mismatch, the last "*" takes one
  // more character of the name.
  std::size_t i = 0, j = 0;
  std::size_t star = p.size(), resume = 0;
  while (j < n.size()) {
    if (i < p.size() && (p[i] == '?' || (p[i] != '*' && p[i] == n[j]))) {
      ++i;
      ++j;
    } else if (i < p.size() && p[i] == '*') {
      star = i++;
      resume = j;
    } else if (star < p.size()) {
      i = star + 1;
      j = ++resume;
    } else {
      return false;
    }
  }
  while (i < p.size() && p[i] == '*') ++i;
  return i == p.size();
}

bool IsFilePattern(std::string_view entry, bool unicode) {
  const std::string_view last = entry.substr(LastComponent(entry, unicode));
  return FindByte(last, '*', 0, unicode) != std::string_view::npos ||
         FindByte(last, '?', 0, unicode) != std::string_view::npos;
}

bool HoldsFilePattern(std::string_view list, bool unicode) {
  const std::vector<std::string_view> entries = Entries(list, unicode);
  return std::any_of(entries.begin(), entries.end(),
                     [&](std::string_view e) { return IsFilePattern(e, unicode); });
}

Status ExpandFileList(std::string_view list, WorkFolder& files, ExpandedFiles& out) {
  const bool unicode = files.UnicodeNames();
  for (std::string_view written : Entries(list, unicode)) {
    if (!IsFilePattern(written, unicode)) {
      out.names.emplace_back(written);
      continue;
    }
    const std::string_view entry = sjis::Trim(written);
    const std::size_t split = LastComponent(entry, unicode);
    const std::string_view folder = entry.substr(0, split);
    const std::string_view pattern = entry.substr(split);
    const std::string quoted = Quoted(entry, unicode, false);
    IoError error;
    FolderListing listing = files.ListFolder(folder, error);
    if (error) {
      std::string what = "cannot list the folder of ";
      what.append(quoted).append(": ").append(*error);
      return Failure{FailureKind::InputMissing, std::move(what)};
    }
    // Sorted by code point: UTF-8 bytes compare in code point order.
    std::vector<std::pair<std::string, std::string>> matches;
    for (std::string& name : listing.names) {
      if (WildcardMatch(pattern, name, unicode, listing.ignoreCase))
        matches.emplace_back(Utf8Of(name, unicode), std::move(name));
    }
    if (matches.empty()) {
      std::string what = "no file matches ";
      what.append(quoted);
      return Failure{FailureKind::InputMissing, std::move(what)};
    }
    std::sort(matches.begin(), matches.end());
    std::string shown = Quoted(entry, unicode, true);
    shown.append(" ->");
    for (std::size_t k = 0; k < matches.size(); ++k) {
      out.names.push_back(std::string(folder) + matches[k].second);
      shown.append(k == 0 ? " " : ", ").append(Utf8Of(out.names.back(), unicode));
    }
    out.shown.push_back(std::move(shown));
    if (listing.unnamed > 0) {
      std::string note = Quoted(entry, unicode, true);
      note.append(": ")
          .append(std::to_string(listing.unnamed))
          .append(" file name(s) in its folder ");
      note.append(unicode ? "are not valid Unicode" : "have no code page 932 form");
      note.append(" and were not matched");
      out.notes.push_back(std::move(note));
    }
  }
  return std::nullopt;
}

}  // namespace tolvex
