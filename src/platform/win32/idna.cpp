// DomainToAscii on IdnToAscii (normaliz). Without IDN_USE_STD3_ASCII_RULES:
// with it Wine refuses even "例え.jp".
#include <windows.h>

#include <string>

#include "base/idna.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex {

std::optional<std::string> DomainToAscii(std::string_view utf8Domain) {
  if (utf8Domain.empty()) return std::nullopt;
  const int size = static_cast<int>(utf8Domain.size());
  const int wideLen =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Domain.data(), size, nullptr, 0);
  if (wideLen <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(wideLen), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Domain.data(), size, wide.data(),
                        wideLen);
  const int asciiLen = ::IdnToAscii(0, wide.c_str(), wideLen, nullptr, 0);
  if (asciiLen <= 0) return std::nullopt;
  std::wstring ascii(static_cast<std::size_t>(asciiLen), L'\0');
  if (::IdnToAscii(0, wide.c_str(), wideLen, ascii.data(), asciiLen) != asciiLen)
    return std::nullopt;
  return win::Utf8FromWide(ascii);
}

}  // namespace tolvex
