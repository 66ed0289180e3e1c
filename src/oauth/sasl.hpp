// The SASL initial responses that carry a bearer token: XOAUTH2 and
// OAUTHBEARER (RFC 7628), Base64 in one line, built in a Secret.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex::oauth {

// base64("user=" user ^A "auth=Bearer " token ^A ^A)
void Xoauth2Response(std::string_view user, std::string_view token, Secret& out);

// base64("n,a=" user "," ^A "host=" host ^A "port=" port ^A
//        "auth=Bearer " token ^A ^A), "," and "=" in the user as =2C, =3D.
void OAuthBearerResponse(std::string_view user, std::string_view host, std::int32_t port,
                         std::string_view token, Secret& out);

// The answer to a 334 error challenge: an empty line for XOAUTH2, ^A
// (Base64 "AQ==") for OAUTHBEARER; the server then ends AUTH with its
// failure reply.
inline constexpr char kXoauth2ChallengeAnswer[] = "";
inline constexpr char kOAuthBearerChallengeAnswer[] = "AQ==";

}  // namespace tolvex::oauth
