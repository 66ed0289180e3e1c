// Decoders for reading a composed message back: ISO-2022-JP to code page
// 932 and Base64 to bytes. The program itself never needs them to send;
// they serve the --check view and the tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvex {

// ISO-2022-JP (ESC $ B / ESC $ @ for JIS X 0208, ESC ( B / ESC ( J for
// one-byte text, ESC ( I for half-width katakana) to code page 932. A pair
// outside the 94 x 94 set becomes the geta mark.
std::string JisToSjis(std::string_view jis);

// Base64 text (line breaks ignored) to bytes; nullopt when it holds a
// character outside the alphabet or stops in the middle of a group.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace tolvex
