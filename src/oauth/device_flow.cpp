#include "oauth/device_flow.hpp"

#include <nlohmann/json.hpp>

#include "oauth/json_text.hpp"

namespace tolvex::oauth {
namespace {

constexpr std::string_view kTokenPath = "/token";

// Printable ASCII: the codes and the URL go to the terminal as they are.
bool PlainAscii(std::string_view text) {
  for (char c : text) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return !text.empty();
}

}  // namespace

std::string DeviceCodeUrl(const OAuthSettings& o) {
  std::string url = TokenUrl(o);
  if (url.size() <= kTokenPath.size() ||
      url.compare(url.size() - kTokenPath.size(), kTokenPath.size(), kTokenPath) != 0 ||
      url.rfind(kGoogleTokenUrl, 0) == 0) {
    return {};
  }
  url.resize(url.size() - kTokenPath.size());
  return url + "/devicecode";
}

void DeviceCodeBody(const OAuthSettings& o, Secret& out) {
  out.Wipe();
  AppendFormField("client_id", o.clientId, out);
  const std::string scope = SignInScope(o);
  if (!scope.empty()) AppendFormField("scope", scope, out);
}

void DeviceTokenBody(const OAuthSettings& o, std::string_view deviceCode, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "urn:ietf:params:oauth:grant-type:device_code", out);
  AppendFormField("client_id", o.clientId, out);
  if (!o.clientSecret.Empty()) AppendFormField("client_secret", o.clientSecret.View(), out);
  AppendFormField("device_code", deviceCode, out);
}

DeviceCode ParseDeviceCode(long status, std::string_view body, const SecretRegistry& known) {
  DeviceCode d;
  if (status != 200) {
    const TokenReply refusal = ParseTokenReply(status, body, known);
    d.error = refusal.error;
    d.description = refusal.description;
    return d;
  }
  const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    d.error = "malformed_reply";
    d.description = "the device authorization reply is not a JSON object";
    return d;
  }
  std::string code = JsonText(json, "device_code");
  d.deviceCode.Assign(code);
  WipeString(code);
  d.userCode = JsonText(json, "user_code");
  d.verificationUri = JsonText(json, "verification_uri");
  if (d.verificationUri.empty()) d.verificationUri = JsonText(json, "verification_url");
  d.expiresIn = JsonSeconds(json, "expires_in", kLongestCodeLife).value_or(0);
  d.interval = JsonSeconds(json, "interval", kLongestPollInterval).value_or(0);
  if (d.interval == 0) d.interval = 5;  // RFC 8628's default
  if (d.deviceCode.Empty() || !PlainAscii(d.userCode) || !IsHttpsUrl(d.verificationUri) ||
      !PlainAscii(d.verificationUri) || d.expiresIn == 0) {
    d.error = "malformed_reply";
    d.description =
        "the device authorization reply lacks device_code, user_code, an https "
        "verification_uri or expires_in";
    d.deviceCode.Wipe();
    return d;
  }
  d.ok = true;
  return d;
}

PollOutcome ClassifyPoll(const TokenReply& reply) {
  if (reply.ok) return PollOutcome::Tokens;
  if (reply.error == "authorization_pending") return PollOutcome::Pending;
  if (reply.error == "slow_down") return PollOutcome::SlowDown;
  return PollOutcome::Refused;
}

}  // namespace tolvex::oauth
