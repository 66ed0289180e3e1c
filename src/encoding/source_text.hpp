// Reading text at the edge: the bytes of command.txt or a text file become a
// SourceText, either code page 932 bytes (a file with no BOM that is not
// UTF-8) or UTF-8 (a UTF-8 file, its BOM dropped, or a UTF-16 file). Nothing
// after this point sees bytes of unknown encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/text_encoding.hpp"

namespace tolvex {

struct SourceText {
  TextEncoding encoding = TextEncoding::ShiftJis;
  std::string text;  // code page 932 bytes, or UTF-8 when IsUnicode(encoding)

  bool Unicode() const { return IsUnicode(encoding); }
};

// The detection rule: EF BB BF → UTF-8; FF FE / FE FF → UTF-16 LE / BE; no
// BOM and valid UTF-8 holding at least one multi-byte sequence → UTF-8;
// anything else → code page 932, the bytes unchanged. A Shift_JIS text that
// happens to be valid UTF-8 with a multi-byte sequence is read as UTF-8: the
// one ambiguity of the rule. UTF-16 code units that pair no surrogate become
// U+FFFD; an odd last byte is dropped.
SourceText DecodeSource(std::string_view bytes);

namespace utf8 {

// True when `s` is well-formed UTF-8 (no overlongs, no surrogates, at most
// U+10FFFF).
bool IsValid(std::string_view s);

// Length (1-4) of the sequence starting at `pos` of valid UTF-8 text.
std::size_t CharLen(std::string_view s, std::size_t pos);

// The code point starting at `pos` of valid UTF-8 text.
char32_t CodePoint(std::string_view s, std::size_t pos);

void Append(std::string& out, char32_t cp);

// The first `n` characters, and the text after them.
std::string_view LeftChars(std::string_view s, std::size_t n);
std::string_view DropChars(std::string_view s, std::size_t n);

}  // namespace utf8

// UTF-8 to code page 932, every character exactly; nothing when one has no
// code page 932 code. Where code page 932 has a character twice the lower
// code is taken (JIS X 0208 before NEC row 13 before the IBM extensions).
std::optional<std::string> Utf8ToCp932Exact(std::string_view utf8);

// The same with the geta mark 〓 for each character without a code;
// `lost` counts them.
std::string Utf8ToCp932(std::string_view utf8, std::size_t& lost);

// The first character of code page 932 text that is neither ASCII nor in
// JIS X 0208 proper (half-width katakana, NEC row 13, the IBM extensions,
// the user-defined area, bytes that are no character): its byte offset, or
// npos.
std::size_t FirstNonJis0208(std::string_view cp932);

// "U+1F600".
std::string CodePointName(char32_t cp);

}  // namespace tolvex
