// Character logic for code page 932 byte strings. A lead byte 0x81-0x9F or
// 0xE0-0xFC takes the next byte with it; every other byte is one character.
// A lead byte followed by a byte that cannot be a trail byte (below 0x40,
// 0x7F, above 0xFC: CR, LF, space, quote, comma...) is a character of its
// own, so a stray lead byte never swallows a line break or a separator.
// The second byte of a double-byte character (0x5C in 表, 0x7C in 竹) is
// never a backslash or a bar, so every search here walks whole characters.
// Positions returned are byte offsets of character starts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvex::sjis {

inline constexpr std::size_t npos = std::string_view::npos;

constexpr bool IsLeadByte(unsigned char b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Bytes that may follow a lead byte: 0x40-0x7E and 0x80-0xFC.
constexpr bool IsTrailByte(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// Length in bytes (1 or 2) of the character starting at byte `pos`.
// A lead byte at the very end of the text is a character of its own.
std::size_t CharLen(std::string_view s, std::size_t pos);

// Number of characters in `s`.
std::size_t CharCount(std::string_view s);

// Byte offset just past the first `n` characters (s.size() if fewer).
std::size_t ByteOffsetOfChar(std::string_view s, std::size_t n);

// First character equal to the one-byte character `c`, at or after the
// character starting at byte `from`; npos when there is none.
std::size_t FindChar(std::string_view s, char c, std::size_t from = 0);

// First occurrence of `needle` starting on a character boundary at or after
// byte `from`; npos when there is none.
std::size_t Find(std::string_view s, std::string_view needle, std::size_t from = 0);

// The first `n` characters, and the text after the first `n` characters.
std::string_view LeftChars(std::string_view s, std::size_t n);
std::string_view DropChars(std::string_view s, std::size_t n);

// Removes the space character (0x20) at both ends; tabs and line breaks stay.
std::string_view Trim(std::string_view s);

}  // namespace tolvex::sjis
