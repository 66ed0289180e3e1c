#include "platform/win32/sign_in_store.hpp"

#include <windows.h>
// after windows.h
#include <wincred.h>

#include <vector>

#include "platform/win32/credentials.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

std::wstring Target(const std::string& key) { return WideFromCp932("Tolvex:signin:" + key); }

}  // namespace

StoredSignIn CredentialSignInStore::Load(const std::string& key) {
  StoredSignIn found;
  bool tooLarge = false;
  std::optional<std::string> blob = ReadGenericCredential(Target(key), kMaxStoredSignIn, tooLarge);
  if (tooLarge) {
    found.refused = "the sign-in store's credential Tolvex:signin:" + key +
                    " is refused: it is larger than 64 KiB";
  }
  if (!blob) return found;
  found.token.Assign(*blob);
  WipeString(*blob);
  return found;
}

std::string CredentialSignInStore::Save(const std::string& key, const Secret& refreshToken) {
  if (refreshToken.Size() > CRED_MAX_CREDENTIAL_BLOB_SIZE) {
    return "the refresh token is longer than the Credential Manager keeps";
  }
  std::wstring target = Target(key);
  std::wstring user = L"tolvex";
  std::vector<BYTE> blob(refreshToken.View().begin(), refreshToken.View().end());
  CREDENTIALW cred{};
  cred.Type = CRED_TYPE_GENERIC;
  cred.TargetName = target.data();
  cred.CredentialBlobSize = static_cast<DWORD>(blob.size());
  cred.CredentialBlob = blob.data();
  cred.Persist = CRED_PERSIST_LOCAL_MACHINE;
  cred.UserName = user.data();
  const bool ok = CredWriteW(&cred, 0) != FALSE;
  const DWORD error = ok ? 0 : GetLastError();
  SecureZeroMemory(blob.data(), blob.size());
  if (!ok) return "CredWrite failed with error " + std::to_string(error);
  return {};
}

}  // namespace tolvex::win
