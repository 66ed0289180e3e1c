#include "platform/posix/crypto.hpp"

#include <openssl/rand.h>
#include <openssl/sha.h>

namespace tolvex::posix {

bool PosixCrypto::RandomBytes(std::size_t n, Secret& out) {
  std::string bytes(n, '\0');
  const bool ok = RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()),
                             static_cast<int>(bytes.size())) == 1;
  if (ok) out.Assign(bytes);
  WipeString(bytes);
  return ok;
}

std::string PosixCrypto::Sha256(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace tolvex::posix
