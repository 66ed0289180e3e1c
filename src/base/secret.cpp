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

void Secret::Reserve(std::size_t more) {
  if (bytes_.size() + more <= bytes_.capacity()) return;
  // Move to a larger buffer by hand so the old one is wiped.
  std::string larger;
  larger.reserve(std::max(kReserve, 2 * (bytes_.size() + more)));
  larger.append(bytes_);
  Wipe();
  bytes_.swap(larger);
}

void Secret::Append(std::string_view bytes) {
  Reserve(bytes.size());
  bytes_.append(bytes);
}

char* Secret::Extend(std::size_t n) {
  Reserve(n);
  const std::size_t old = bytes_.size();
  bytes_.resize(old + n);
  return bytes_.data() + old;
}

void AppendFormEncoded(std::string_view value, Secret& out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.Append(std::string_view(&c, 1));
    } else if (c == ' ') {
      out.Append("+");
    } else {
      const char esc[3] = {'%', kHex[u >> 4], kHex[u & 15]};
      out.Append(std::string_view(esc, 3));
    }
  }
}

}  // namespace tolvex
