// Code page 932 character logic.
#include "base/sjis_text.hpp"

namespace tolvex::sjis {

std::size_t CharLen(std::string_view s, std::size_t pos) {
  if (pos + 1 < s.size() && IsLeadByte(static_cast<unsigned char>(s[pos])) &&
      IsTrailByte(static_cast<unsigned char>(s[pos + 1]))) {
    return 2;
  }
  return 1;
}

std::size_t CharCount(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < s.size(); pos += CharLen(s, pos)) ++count;
  return count;
}

std::size_t ByteOffsetOfChar(std::string_view s, std::size_t n) {
  std::size_t pos = 0;
  for (; n > 0 && pos < s.size(); --n) pos += CharLen(s, pos);
  return pos;
}

std::size_t FindChar(std::string_view s, char c, std::size_t from) {
  for (std::size_t pos = from; pos < s.size();) {
    const std::size_t len = CharLen(s, pos);
    if (len == 1 && s[pos] == c) return pos;
    pos += len;
  }
  return npos;
}

std::size_t Find(std::string_view s, std::string_view needle, std::size_t from) {
  if (from > s.size()) return npos;
  if (needle.empty()) return from;
  // A needle ending in a lone lead byte must not match the first half of a
  // double-byte character of `s`.
  const std::size_t lastStart = [&] {
    std::size_t pos = 0, last = 0;
    for (; pos < needle.size(); pos += CharLen(needle, pos)) last = pos;
    return last;
  }();
  const bool endsWithLoneLead =
      CharLen(needle, lastStart) == 1 && IsLeadByte(static_cast<unsigned char>(needle[lastStart]));
  for (std::size_t pos = from; pos + needle.size() <= s.size(); pos += CharLen(s, pos)) {
    if (s.compare(pos, needle.size(), needle) != 0) continue;
    if (endsWithLoneLead && CharLen(s, pos + needle.size() - 1) != 1) continue;
    return pos;
  }
  return npos;
}

std::string_view LeftChars(std::string_view s, std::size_t n) {
  return s.substr(0, ByteOffsetOfChar(s, n));
}

std::string_view DropChars(std::string_view s, std::size_t n) {
  return s.substr(ByteOffsetOfChar(s, n));
}

// A space is never a trail byte, so trimming bytes is trimming characters.
std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

}  // namespace tolvex::sjis
