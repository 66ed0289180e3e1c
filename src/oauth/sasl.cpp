#include "oauth/sasl.hpp"

#include <string>

namespace tolvex::oauth {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 of the Secret's bytes, through a second Secret so no plain copy
// is left behind.
void AppendEncoded(const Secret& clear, Secret& out) { AppendBase64(clear.View(), out); }

}  // namespace

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

void Xoauth2Response(std::string_view user, std::string_view token, Secret& out) {
  Secret clear;
  clear.Append("user=");
  clear.Append(user);
  clear.Append(
      "\x01"
      "auth=Bearer ");
  clear.Append(token);
  clear.Append("\x01\x01");
  AppendEncoded(clear, out);
}

void OAuthBearerResponse(std::string_view user, std::string_view host, std::int32_t port,
                         std::string_view token, Secret& out) {
  Secret clear;
  clear.Append("n,a=");
  for (char c : user) {
    if (c == ',') {
      clear.Append("=2C");
    } else if (c == '=') {
      clear.Append("=3D");
    } else {
      clear.Append(std::string_view(&c, 1));
    }
  }
  clear.Append(
      ",\x01"
      "host=");
  clear.Append(host);
  clear.Append(
      "\x01"
      "port=");
  clear.Append(std::to_string(port));
  clear.Append(
      "\x01"
      "auth=Bearer ");
  clear.Append(token);
  clear.Append("\x01\x01");
  AppendEncoded(clear, out);
}

}  // namespace tolvex::oauth
