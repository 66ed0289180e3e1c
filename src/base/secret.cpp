#include "base/secret.hpp"

#include <algorithm>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <string.h>
#endif

namespace tolvex {

void WipeBytes(void* p, std::size_t n) {
  if (p == nullptr || n == 0) return;
#if defined(_WIN32)
  SecureZeroMemory(p, n);
#else
  explicit_bzero(p, n);
#endif
}

void WipeString(std::string& s) {
  // The whole buffer: bytes past the end may still hold an older value.
  WipeBytes(s.data(), s.capacity());
  s.clear();
}

void Secret::Assign(std::string_view bytes) {
  Wipe();
  Append(bytes);
}

void Secret::Append(std::string_view bytes) {
  if (bytes_.size() + bytes.size() > bytes_.capacity()) {
    // Move to a larger buffer by hand so the old one is wiped.
    std::string larger;
    larger.reserve(std::max(kReserve, 2 * (bytes_.size() + bytes.size())));
    larger.append(bytes_);
    Wipe();
    bytes_.swap(larger);
  }
  bytes_.append(bytes);
}

}  // namespace tolvex
