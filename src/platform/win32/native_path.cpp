// File names and display text on Windows: the command file's code page 932
// bytes become UTF-16 so the wide file API opens the name on any system
// locale, not only on a Japanese one.
#include "platform/native_path.hpp"

#include "base/text_convert.hpp"

#include <windows.h>

#include "base/sjis_text.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex {
namespace win {

std::wstring WideFromCp932(std::string_view text) {
  std::wstring out;
  if (text.empty()) return out;
  int n = MultiByteToWideChar(kCodePage932, MB_ERR_INVALID_CHARS, text.data(),
                              static_cast<int>(text.size()), nullptr, 0);
  if (n > 0) {
    out.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(kCodePage932, MB_ERR_INVALID_CHARS, text.data(),
                        static_cast<int>(text.size()), out.data(), n);
    return out;
  }
  // Some sequence is not a character: convert one character at a time so a
  // bad byte costs one '?' and the rest of the text survives.
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t len = 1;
    if (sjis::IsLeadByte(static_cast<unsigned char>(text[pos])) && pos + 1 < text.size()) len = 2;
    wchar_t w[2];
    int m = MultiByteToWideChar(kCodePage932, MB_ERR_INVALID_CHARS, text.data() + pos,
                                static_cast<int>(len), w, 2);
    if (m > 0) {
      out.append(w, static_cast<std::size_t>(m));
    } else {
      out.push_back(L'?');
      len = 1;  // the second byte may start a character of its own
    }
    pos += len;
  }
  return out;
}

}  // namespace win

std::filesystem::path NativePath(const std::filesystem::path& workDir, std::string_view cp932Name) {
  std::filesystem::path name(win::WideFromCp932(cp932Name));
  if (name.is_absolute()) return name;
  return workDir / name;
}

std::filesystem::path NativePathUtf8(const std::filesystem::path& workDir,
                                     std::string_view utf8Name) {
  std::wstring wide;
  if (!utf8Name.empty()) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8Name.data(),
                                      static_cast<int>(utf8Name.size()), nullptr, 0);
    wide.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    if (n > 0)
      MultiByteToWideChar(CP_UTF8, 0, utf8Name.data(), static_cast<int>(utf8Name.size()),
                          wide.data(), n);
  }
  std::filesystem::path name(wide);
  if (name.is_absolute()) return name;
  return workDir / name;
}

std::string Cp932ToUtf8(std::string_view text) {
  std::wstring wide = win::WideFromCp932(text);
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return std::string(text.size(), '?');
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::optional<std::string> Cp932ToUtf8Exact(std::string_view text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  int n =
      MultiByteToWideChar(win::kCodePage932, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(win::kCodePage932, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), n);
  int m = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), n, nullptr, 0, nullptr,
                              nullptr);
  if (m <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), n, out.data(), m, nullptr,
                      nullptr);
  return out;
}

}  // namespace tolvex
