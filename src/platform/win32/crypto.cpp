#include "platform/win32/crypto.hpp"

#include <windows.h>
// after windows.h
#include <bcrypt.h>

namespace tolvex::win {

bool WinCrypto::RandomBytes(std::size_t n, Secret& out) {
  std::string bytes(n, '\0');
  const bool ok =
      BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()),
                      static_cast<ULONG>(bytes.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
  if (ok) out.Assign(bytes);
  WipeString(bytes);
  return ok;
}

std::string WinCrypto::Sha256(std::string_view data) {
  std::string digest(32, '\0');
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    return {};
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  ok = ok && BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                            static_cast<ULONG>(data.size()), 0) == 0;
  ok = ok && BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()),
                              static_cast<ULONG>(digest.size()), 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok ? digest : std::string();
}

}  // namespace tolvex::win
