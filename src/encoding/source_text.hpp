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

// A place in a text file: its line (from 1; CR LF, CR and LF each end a
// line) and what is found there.
struct SourceFault {
  std::size_t line = 0;
  std::string what;
};

struct SourceText {
  TextEncoding encoding = TextEncoding::ShiftJis;
  std::string text;  // code page 932 bytes, or UTF-8 when IsUnicode(encoding)
  // The first sequence that is no character in a file whose BOM says UTF-8
  // or UTF-16 (an invalid UTF-8 sequence, a lone surrogate, an odd byte
  // count): such a file is refused. `text` then holds U+FFFD there.
  std::optional<SourceFault> invalid;
  // A file without BOM read as code page 932 that looks like UTF-8 with a
  // few damaged bytes (LooksLikeDamagedUtf8): its first damaged byte.
  std::optional<SourceFault> damagedUtf8;

  bool Unicode() const { return IsUnicode(encoding); }
};

// The detection rule: EF BB BF → UTF-8; FF FE / FE FF → UTF-16 LE / BE; no
// BOM and valid UTF-8 holding at least one multi-byte sequence → UTF-8;
// anything else → code page 932, the bytes unchanged. A Shift_JIS text that
// happens to be valid UTF-8 with a multi-byte sequence is read as UTF-8: the
// one ambiguity of the rule.
SourceText DecodeSource(std::string_view bytes);
// The same, taking the bytes: text without a BOM keeps them, not a copy.
SourceText DecodeSource(std::string&& bytes);

// Bytes that are not valid UTF-8 but read as UTF-8 (each invalid byte
// skipped) give at least 8 well-formed multi-byte sequences and at least
// 4 of them for each invalid byte. Shift_JIS text almost never does: most
// of its double-byte characters begin with a byte UTF-8 only continues with
// (0x81-0x9F). Of 1239 Japanese message catalogs and manual pages converted
// to code page 932 (12 MB), none passes, nor does any of their 180 000
// lines taken alone, nor any with its katakana made half-width
// (tools/measure-damaged-utf8.py).
bool LooksLikeDamagedUtf8(std::string_view bytes, std::size_t* firstInvalid = nullptr);

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
