// Turns a file name written in the command file (code page 932 bytes) into
// a path the operating system opens, relative names resolved in `workDir`.
// Each platform layer implements it.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tolvex {

std::filesystem::path NativePath(const std::filesystem::path& workDir, std::string_view cp932Name);

// The same for a UTF-8 name (from a UTF-8 or UTF-16 command file).
std::filesystem::path NativePathUtf8(const std::filesystem::path& workDir,
                                     std::string_view utf8Name);

// Code page 932 text to UTF-8 for display; bytes that do not convert are
// shown as "?".
std::string Cp932ToUtf8(std::string_view text);

}  // namespace tolvex
