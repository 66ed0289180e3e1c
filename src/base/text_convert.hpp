// Code page 932 text to UTF-8 by the system's own code page 932 table
// (iconv "CP932" on Linux, MultiByteToWideChar(932) on Windows), every
// character exactly; nothing when some byte sequence is no character. Each
// platform layer defines it (tolvex_native).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvex {

std::optional<std::string> Cp932ToUtf8Exact(std::string_view text);

}  // namespace tolvex
