// Japanese text in header fields: RFC 2047 encoded words of ISO-2022-JP
// text, the folding of long encoded text into several words and lines, and
// the From:, To: and Reply-To: fields with their display names encoded.
// Input texts are code page 932 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

// A folded header line passes this many characters (CR LF not counted)
// only where a single word is longer.
inline constexpr std::size_t kFoldColumn = 76;
// RFC 2047: an encoded word is at most 75 characters.
inline constexpr std::size_t kMaxWordChars = 75;

// Cuts ISO-2022-JP text into self-contained pieces: each starts in the
// one-byte state (with ESC $ B when its first character is two-byte) and
// returns to it (ESC ( J), so every piece decodes on its own; a one-byte
// run the stream opened with ESC ( B is opened with it again. The first
// piece holds at most `firstBytes` bytes, the others at most `laterBytes`;
// a piece holds at least one character whatever the limit.
std::vector<std::string> SplitJisWords(std::string_view jis, std::size_t firstBytes,
                                       std::size_t laterBytes);

// "=?ISO-2022-JP?B?" + Base64 of `jis` + "?=".
std::string EncodedWord(std::string_view jis);

// The most JIS bytes whose encoded word is at most `width` characters.
std::size_t JisBytesForWidth(std::size_t width);

// True when `text` holds a byte of 0x80 or more.
bool HasNonAscii(std::string_view text);

// Builds one header field, folding with CR LF and a blank before a blank
// where the line would pass kFoldColumn.
class FoldedField {
 public:
  explicit FoldedField(std::string_view name);  // e.g. "From:"

  // Text that must stay on the current line.
  void Raw(std::string_view text);
  // `text` after the blanks `blanks`; a fold goes before the blanks when
  // the line would pass the column (and something is already on it).
  void Word(std::string_view blanks, std::string_view text);
  // Code page 932 text as encoded words after `blanks` (empty: none), the
  // first on this line when one fits (else after a fold and a blank), each
  // later one after a blank. Keeps `reserve` columns free after each word
  // for text that follows it.
  void Encoded(std::string_view blanks, std::string_view cp932, std::size_t reserve);
  // Text whose blank runs may each become a fold.
  void Spaced(std::string_view text);

  std::size_t Column() const { return column_; }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
  std::size_t column_ = 0;
};

// A head field (without its last CR LF) whose lines pass kMaxLineOctets,
// folded until none does: before the last blank that keeps the line within
// the limit, else after the last comma outside a quoted string, where a
// blank is added (an address list allows one there). A line with neither
// stays as it is; a field whose lines fit is returned unchanged.
std::string FoldLongLines(std::string field);

// `name` (e.g. "From:") and an address list as the header line without
// CR LF, folded by FoldLongLines. A value of ASCII only is written as it is after "name ".
// Otherwise each entry's display name has its non-ASCII words (and quoted strings, without their
// quotes) encoded, adjacent ones as one run with the blanks between them inside; the address (<...>
// or a bare address) and the commas and blanks between entries stay as written.
std::string EncodeAddressField(std::string_view name, std::string_view value);

}  // namespace tolvex
