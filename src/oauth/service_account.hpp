// A Google service account (#OSA): its key file read and checked, and the
// token request it signs (RFC 7523's JWT bearer grant): a JWT whose issuer
// is the account, whose subject is the mailbox it acts for (domain-wide
// delegation), signed with RS256 and sent as the assertion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/crypto.hpp"
#include "base/platform.hpp"
#include "base/secret.hpp"
#include "base/submission.hpp"

namespace tolvex::oauth {

inline constexpr char kJwtBearerGrant[] = "urn:ietf:params:oauth:grant-type:jwt-bearer";
// The assertion's life, the longest Google takes.
inline constexpr std::int64_t kAssertionLife = 3600;
// A key file is a few kilobytes; anything much larger is something else.
inline constexpr std::uint64_t kMaxKeyFileBytes = 64 * 1024;

// The key file's JSON into `o.clientEmail`, `o.tokenUri` and `o.privateKey`:
// "type" "service_account", a "client_email", a "private_key" in PEM
// PKCS#8 and an https:// "token_uri". Empty when it is one, else what is
// wrong with it (never a part of the key). The parsed copy of the key is
// wiped; the caller wipes `json`.
std::string ReadServiceAccountKey(std::string_view json, OAuthSettings& o);

// The scope a service account asks for: #OSP, else the Gmail API's
// gmail.send when `gmailApi`, else SMTP's full mail scope.
std::string ServiceAccountScope(const OAuthSettings& o, bool gmailApi);

// What is signed: the Base64url of the header {"alg":"RS256","typ":"JWT"},
// ".", and the Base64url of the claims (iss, sub, scope, aud, iat, exp).
std::string AssertionInput(const OAuthSettings& o, std::string_view subject, std::string_view scope,
                           std::int64_t issuedAt);

// grant_type=…jwt-bearer&assertion=<signed JWT> for `subject` at
// `issuedAt`, the assertion registered in `known` for the time it lives.
// False when the key cannot sign.
bool JwtBearerBody(const OAuthSettings& o, std::string_view subject, std::int64_t issuedAt,
                   Crypto& crypto, SecretRegistry& known, Secret& out);

}  // namespace tolvex::oauth
