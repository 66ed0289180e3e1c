#include "oauth/token.hpp"

#include <nlohmann/json.hpp>

#include "base/ascii.hpp"
#include "oauth/json_text.hpp"

namespace tolvex::oauth {

void AppendFormField(std::string_view name, std::string_view value, Secret& out) {
  if (!out.Empty()) out.Append("&");
  out.Append(name);
  out.Append("=");
  AppendFormValue(value, out);
}

std::string Printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 300)) {
    const unsigned char u = static_cast<unsigned char>(c);
    out += (u >= 0x20 && u < 0x7F) ? c : ' ';
  }
  return out;
}

bool IsProviderName(std::string_view provider) {
  return SameAscii(provider, "microsoft") || SameAscii(provider, "google");
}

std::string TokenUrl(const OAuthSettings& o) {
  if (SameAscii(o.provider, "microsoft")) {
    if (o.tenant.empty()) return {};
    return "https://login.microsoftonline.com/" + o.tenant + "/oauth2/v2.0/token";
  }
  if (SameAscii(o.provider, "google")) return kGoogleTokenUrl;
  return o.provider;
}

std::string Scope(const OAuthSettings& o) {
  if (!o.scope.empty()) return o.scope;
  if (SameAscii(o.provider, "microsoft")) return kMicrosoftScope;
  if (SameAscii(o.provider, "google")) return kGoogleScope;
  return {};
}

std::string SignInScope(const OAuthSettings& o) {
  if (!o.scope.empty()) return o.scope;
  if (SameAscii(o.provider, "microsoft")) return kMicrosoftSignInScope;
  return Scope(o);
}

void AppendFormValue(std::string_view value, Secret& out) {
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

void ClientCredentialsBody(const OAuthSettings& o, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "client_credentials", out);
  AppendFormField("client_id", o.clientId, out);
  AppendFormField("client_secret", o.clientSecret.View(), out);
  const std::string scope = Scope(o);
  if (!scope.empty()) AppendFormField("scope", scope, out);
}

void RefreshBody(const OAuthSettings& o, std::string_view refreshToken, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "refresh_token", out);
  AppendFormField("client_id", o.clientId, out);
  if (!o.clientSecret.Empty()) AppendFormField("client_secret", o.clientSecret.View(), out);
  AppendFormField("refresh_token", refreshToken, out);
  const std::string scope = SignInScope(o);
  if (!scope.empty()) AppendFormField("scope", scope, out);
}

TokenReply ParseTokenReply(long status, std::string_view body) {
  TokenReply r;
  nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    r.error = "malformed_reply";
    r.description =
        "the token endpoint answered HTTP " + std::to_string(status) + " with no JSON object";
    return r;
  }
  r.error = Printable(JsonText(json, "error"));
  r.description = Printable(JsonText(json, "error_description"));
  if (status != 200 || !r.error.empty()) {
    if (r.error.empty()) r.error = "http_" + std::to_string(status);
    return r;
  }
  const auto access = json.find("access_token");
  if (access == json.end() || !access->is_string() ||
      access->get_ref<const std::string&>().empty()) {
    r.error = "malformed_reply";
    r.description = "the reply holds no access_token";
    return r;
  }
  const std::string type = JsonText(json, "token_type");
  if (!type.empty() && !SameAscii(type, "bearer")) {
    r.error = "malformed_reply";
    r.description = "token_type " + Printable(type) + " is not Bearer";
    return r;
  }
  std::string& token = access->get_ref<std::string&>();
  r.accessToken.Assign(token);
  WipeString(token);
  const auto refresh = json.find("refresh_token");
  if (refresh != json.end() && refresh->is_string()) {
    std::string& rt = refresh->get_ref<std::string&>();
    r.refreshToken.Assign(rt);
    WipeString(rt);
  }
  const auto expires = json.find("expires_in");
  if (expires != json.end()) {
    if (expires->is_number_integer()) {
      r.expiresIn = expires->get<std::int64_t>();
    } else if (expires->is_string()) {  // some endpoints send it quoted
      const std::string& t = expires->get_ref<const std::string&>();
      // At most nine digits: no overflow, and longer is no lifetime.
      std::int64_t v = 0;
      bool digits = !t.empty() && t.size() < 10;
      for (std::size_t i = 0; digits && i < t.size(); ++i) {
        digits = t[i] >= '0' && t[i] <= '9';
        v = v * 10 + (t[i] - '0');
      }
      if (digits) r.expiresIn = v;
    }
    if (r.expiresIn < 0) r.expiresIn = 0;
  }
  r.ok = true;
  return r;
}

std::string DescribeRefusal(const TokenReply& reply) {
  std::string text = reply.error;
  if (!reply.description.empty()) text += ": " + reply.description;
  return text;
}

void TokenCache::Forget() {
  token_.Wipe();
  expiresAt_ = 0;
}

std::string SignInKeyOf(const Submission& s) {
  return SignInKey(TokenUrl(s.oauth), s.oauth.clientId, s.user);
}

Status TokenCache::Obtain(Submission& s, Https& https, SignInStore* signIns) {
  OAuthSettings& o = s.oauth;
  const std::int64_t now = https.NowSeconds();
  if (!token_.Empty() && now + kExpiryMargin < expiresAt_) {
    o.accessToken = token_;
    return std::nullopt;
  }
  Forget();
  o.accessToken.Wipe();
  lastFailure_ = TokenFailure::Refused;
  const std::string key = SignInKeyOf(s);
  // The stored sign-in's refresh token; empty when there is none.
  Secret refresh;
  if (signIns) {
    if (std::optional<Secret> stored = signIns->Load(key)) refresh = *stored;
  }
  const bool signedIn = !refresh.Empty();
  if (!signedIn && o.clientSecret.Empty()) {
    return Failure{FailureKind::DeliveryFailed,
                   "no sign-in stored for " + s.user + " at " + TokenUrl(o) +
                       " and no client secret: run tolvex --login in this folder again"};
  }
  // Google gives mail tokens to a signed-in user only: its client secret
  // serves the sign-in, there is no client credentials grant.
  if (!signedIn && SameAscii(o.provider, "google")) {
    return Failure{FailureKind::DeliveryFailed, "no sign-in stored for " + s.user + " at " +
                                                    TokenUrl(o) +
                                                    ": run tolvex --login in this folder again"};
  }
  Secret form;
  if (signedIn) {
    RefreshBody(o, refresh.View(), form);
  } else {
    ClientCredentialsBody(o, form);
  }
  HttpsRequest request;
  request.url = TokenUrl(o);
  request.form = &form;
  request.caPem = s.caPem;
  HttpsReply reply = https.PostForm(request);
  form.Wipe();
  if (!reply.done) {
    lastFailure_ = reply.cancelled ? TokenFailure::Cancelled
                   : reply.lasting ? TokenFailure::Refused
                                   : TokenFailure::ForNow;
    return Failure{FailureKind::DeliveryFailed,
                   "token request to " + request.url + " failed: " + Printable(reply.error)};
  }
  TokenReply token = ParseTokenReply(reply.status, reply.body.View());
  reply.body.Wipe();
  if (!token.ok) {
    // The endpoint's own trouble (RFC 9110: 5xx, 408, 429) may pass.
    if (reply.status >= 500 || reply.status == 408 || reply.status == 429)
      lastFailure_ = TokenFailure::ForNow;
    std::string text = "token request refused: " + DescribeRefusal(token);
    // The stored sign-in expired or was revoked: only a new sign-in helps.
    if (signedIn && token.error == "invalid_grant") {
      text += "; the stored sign-in of " + s.user +
              " is no longer valid: run tolvex --login in this folder again";
    }
    return Failure{FailureKind::DeliveryFailed, std::move(text)};
  }
  // A rotated refresh token replaces the old one before anything is sent:
  // the old one may already be void.
  if (signedIn && !token.refreshToken.Empty() && token.refreshToken.View() != refresh.View()) {
    const std::string error = signIns->Save(key, token.refreshToken);
    if (!error.empty()) {
      return Failure{FailureKind::DeliveryFailed, "the new refresh token could not be stored (" +
                                                      error +
                                                      "): run tolvex --login in this folder again"};
    }
  }
  o.accessToken = token.accessToken;
  // Without expires_in the token serves this send only.
  if (token.expiresIn > 0) {
    token_ = token.accessToken;
    expiresAt_ = now + token.expiresIn;
  }
  return std::nullopt;
}

}  // namespace tolvex::oauth
