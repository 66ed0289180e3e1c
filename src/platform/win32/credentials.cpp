// Reading a generic credential of the Credential Manager.
#include "platform/win32/credentials.hpp"

#include <windows.h>
// after windows.h
#include <wincred.h>

#include <algorithm>
#include <cstdint>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

bool PrintableAscii(const BYTE* p, DWORD n) {
  return std::all_of(p, p + n, [](BYTE b) { return b >= 0x20 && b <= 0x7E; });
}

// Whole UTF-16LE text: no NUL character, surrogates in pairs.
bool ValidUtf16(const std::wstring& w) {
  for (std::size_t i = 0; i < w.size(); ++i) {
    wchar_t c = w[i];
    if (c == 0) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= w.size() || w[i + 1] < 0xDC00 || w[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadGenericCredential(std::wstring_view target) {
  bool tooLarge = false;
  return ReadGenericCredential(target, SIZE_MAX, tooLarge);
}

std::optional<std::string> ReadGenericCredential(std::wstring_view target, std::size_t limit,
                                                 bool& tooLarge) {
  tooLarge = false;
  std::wstring name(target);
  PCREDENTIALW cred = nullptr;
  if (!CredReadW(name.c_str(), CRED_TYPE_GENERIC, 0, &cred)) return std::nullopt;
  const BYTE* blob = cred->CredentialBlob;
  DWORD size = blob ? cred->CredentialBlobSize : 0;
  if (size > limit) {
    SecureZeroMemory(cred->CredentialBlob, size);
    CredFree(cred);
    tooLarge = true;
    return std::nullopt;
  }
  std::string out;
  bool bytes = size % 2 != 0 || PrintableAscii(blob, size);
  if (!bytes) {
    std::wstring wide(size / 2, L'\0');
    std::copy_n(blob, size, reinterpret_cast<BYTE*>(wide.data()));
    if (ValidUtf16(wide))
      out = Cp932FromWide(wide);
    else
      bytes = true;
    SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
  }
  if (bytes) out.assign(reinterpret_cast<const char*>(blob), size);
  if (size) SecureZeroMemory(cred->CredentialBlob, size);
  CredFree(cred);
  return out;
}

}  // namespace tolvex::win
