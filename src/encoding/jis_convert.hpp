// Japanese text and transfer encodings: Shift_JIS to ISO-2022-JP and the
// message's two Base64 line rules over the one Base64 (base/base64.hpp).
// Bytes in, bytes out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/base64.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// Converts code page 932 text to ISO-2022-JP (ESC $ B to enter JIS X 0208,
// ESC ( J to return), then trims spaces at both ends. A one-byte run after
// a double-byte character (up to the next one or the end of the text, line
// ends included) that holds a backslash or a tilde returns with ESC ( B
// instead, so that neither is read as the yen sign or the overline. No closing escape is
// added. Every other one-byte character, half-width katakana included, is
// copied unchanged in the one-byte state. NEC row 13 (0x87) and the
// NEC-selected IBM extensions (0xED-0xEE) take the same arithmetic as
// JIS X 0208 (JIS rows 13 and 89-92); an IBM extension character (0xFA40-
// 0xFC4B) goes out as its twin among those or in JIS X 0208. Characters
// without a code (the user-defined area 0xF0-0xF9, 0xFC4C-0xFCFC, the
// bytes 0x80, 0xA0 and 0xFD-0xFF, a lone lead byte at the end, a lead byte
// whose next byte is no trail byte) become the geta mark (JIS 22 2E), so
// only 7-bit text and half-width katakana come out; in the last
// case the next byte is then converted as a character of its own, so a line
// break after a stray lead byte is kept. NUL cannot travel in 7-bit text and
// is dropped.
std::string SjisToJis(std::string_view text);

// Base64 of the bytes of `text` in lines of 72 characters separated by
// CR LF (kBase64TextLines). Never ends with CR LF.
std::string EncodeBase64(std::string_view text);

// Input bytes of one full 72-character Base64 line.
inline constexpr std::size_t kBase64LineBytes = 54;

// Base64 of `bytes` with the file rule (kBase64FileLines): every
// 72-character line is followed by CR LF, the last one too; a shorter last
// line has none. Appends to `out`. A file encoded in blocks whose sizes are
// multiples of kBase64LineBytes (the last block excepted) gives the same
// text as the file encoded whole.
inline void AppendBase64Lines(std::string_view bytes, std::string& out) {
  AppendBase64(bytes, out, kBase64FileLines);
}

// The same text written at `out`, which has room for Base64LinesLength(n)
// characters; returns the end of what was written.
inline char* WriteBase64Lines(const char* bytes, std::size_t n, char* out) {
  return WriteBase64(bytes, n, out, kBase64FileLines);
}

// Exact length of what AppendBase64Lines writes for `n` input bytes.
inline std::size_t Base64LinesLength(std::size_t n) { return Base64Length(n, kBase64FileLines); }

// Replaces `result` with the Base64 text of the whole file (file rule),
// reserved once and filled in place. On failure `result` is left as it was
// and the reason is returned.
IoError EncodeFileBase64(InputFile& file, std::string& result);

}  // namespace tolvex
