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
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

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

void AppendBase64(std::string_view in, Secret& out) {
  char quad[4];
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    for (int k = 0; k < 4; ++k) quad[k] = kBase64[(v >> (18 - 6 * k)) & 63];
    out.Append(std::string_view(quad, 4));
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    quad[0] = kBase64[(v >> 18) & 63];
    quad[1] = kBase64[(v >> 12) & 63];
    quad[2] = i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    quad[3] = '=';
    out.Append(std::string_view(quad, 4));
  }
  WipeBytes(quad, sizeof quad);
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
