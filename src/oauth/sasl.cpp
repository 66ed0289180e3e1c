#include "oauth/sasl.hpp"

#include <string>

namespace tolvex::oauth {
namespace {

// Base64 of the Secret's bytes, through a second Secret so no plain copy
// is left behind.
void AppendEncoded(const Secret& clear, Secret& out) { AppendBase64(clear.View(), out); }

}  // namespace

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
