#include "oauth/sasl.hpp"

#include <string>

#include "base/base64.hpp"

namespace tolvex::oauth {
namespace {

// Ends the response both mechanisms share, ^A "auth=Bearer " token ^A ^A,
// and appends its Base64 to `out`: built in a Secret so no plain copy is
// left behind.
void EndWithBearer(Secret& clear, std::string_view token, Secret& out) {
  clear.Append(
      "\x01"
      "auth=Bearer ");
  clear.Append(token);
  clear.Append("\x01\x01");
  AppendBase64(clear.View(), out);
}

}  // namespace

void Xoauth2Response(std::string_view user, std::string_view token, Secret& out) {
  Secret clear;
  clear.Append("user=");
  clear.Append(user);
  EndWithBearer(clear, token, out);
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
  EndWithBearer(clear, token, out);
}

}  // namespace tolvex::oauth
