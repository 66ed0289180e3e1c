// The sign-in of `tolvex --login` by the device authorization grant
// (RFC 8628): the device authorization endpoint, the requests, its reply,
// and what a poll of the token endpoint answered.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/secret.hpp"
#include "base/submission.hpp"
#include "oauth/token.hpp"

namespace tolvex::oauth {

// A code is polled for at most this long, whatever the provider says.
inline constexpr std::int64_t kLongestCodeLife = 30 * 60;
// Polls are at most this far apart, whatever the provider asks for.
inline constexpr std::int64_t kLongestPollInterval = 60;

// Microsoft: the tenant's /devicecode beside its /token. An endpoint of its
// own: its token URL with the last "/token" replaced by "/devicecode".
// "" when there is none (Google, no tenant, a URL not ending in /token).
std::string DeviceCodeUrl(const OAuthSettings& o);

// client_id and scope.
void DeviceCodeBody(const OAuthSettings& o, Secret& out);
// grant_type=urn:ietf:params:oauth:grant-type:device_code, the client id,
// the secret when there is one, and the device code.
void DeviceTokenBody(const OAuthSettings& o, std::string_view deviceCode, Secret& out);

struct DeviceCode {
  bool ok = false;
  Secret deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::int64_t expiresIn = 0;  // seconds the code is valid, 1..kLongestCodeLife
  std::int64_t interval = 5;   // seconds between polls, 1..kLongestPollInterval
  std::string error;           // as TokenReply's
  std::string description;
};

// The device authorization endpoint's reply; its texts masked with `known`.
DeviceCode ParseDeviceCode(long status, std::string_view body, const SecretRegistry& known);

// What one poll answered.
enum class PollOutcome : std::uint8_t { Tokens, Pending, SlowDown, Refused };
PollOutcome ClassifyPoll(const TokenReply& reply);

}  // namespace tolvex::oauth
