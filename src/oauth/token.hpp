// OAuth 2.0 access tokens for SMTP AUTH: the token endpoint and scope of a
// provider, the client credentials and refresh request bodies, the token
// endpoint's JSON reply, and a token kept until shortly before it expires.
// The HTTPS exchange itself is the platform's (base/https.hpp), asked
// through RequestToken (oauth/request.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/crypto.hpp"
#include "base/failure.hpp"
#include "base/https.hpp"
#include "base/platform.hpp"
#include "base/secret.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"

namespace tolvex::oauth {

inline constexpr char kMicrosoftScope[] = "https://outlook.office365.com/.default";
inline constexpr char kMicrosoftSignInScope[] =
    "https://outlook.office.com/SMTP.Send offline_access";
inline constexpr char kGoogleTokenUrl[] = "https://oauth2.googleapis.com/token";
inline constexpr char kGoogleScope[] = "https://mail.google.com/";
inline constexpr char kGraphScope[] = "https://graph.microsoft.com/.default";
inline constexpr char kGraphSignInScope[] = "https://graph.microsoft.com/Mail.Send offline_access";
inline constexpr char kGmailScope[] = "https://www.googleapis.com/auth/gmail.send";
// A token is used only while it has this many seconds left.
inline constexpr std::int64_t kExpiryMargin = 60;
// A longer lifetime in a reply is taken as this long.
inline constexpr std::int64_t kLongestTokenLife = 24 * 60 * 60;

// "microsoft" and "google" (any ASCII case) name a provider; anything else
// is the token endpoint itself.
bool IsProviderName(std::string_view provider);
// The token endpoint of the settings ("" for Microsoft without a tenant).
std::string TokenUrl(const OAuthSettings& o);
// #OSP, else the API transport's default, else the provider's ("" for an
// endpoint of its own).
std::string Scope(const OAuthSettings& o);

// The scope a signed-in user grants: #OSP, else for Microsoft SMTP.Send
// with offline_access (so a refresh token comes), else the provider's
// default. Used for the sign-in and for every refresh of it.
std::string SignInScope(const OAuthSettings& o);

// "name=value" with the value form-encoded (AppendFormEncoded), after an "&" unless `out` is
// empty.
void AppendFormField(std::string_view name, std::string_view value, Secret& out);
// grant_type=client_credentials with the client id, secret and scope.
void ClientCredentialsBody(const OAuthSettings& o, Secret& out);
// grant_type=refresh_token with the client id, the secret when there is
// one, the refresh token and the scope.
void RefreshBody(const OAuthSettings& o, std::string_view refreshToken, Secret& out);

struct TokenReply {
  bool ok = false;
  Secret accessToken;
  Secret refreshToken;         // empty when none was sent (no rotation)
  std::int64_t expiresIn = 0;  // seconds, at most kLongestTokenLife; 0 when not given
  std::string error;           // "invalid_client", or what was wrong with the reply
  std::string description;     // error_description, when given
};

// The token endpoint's reply: a 200 with a JSON object holding a bearer
// access_token, or an error object ({"error": …, "error_description": …}).
// Its texts are masked with `known` and the reply's own tokens. A token
// that is not an RFC 6750 b64token is refused unused.
TokenReply ParseTokenReply(long status, std::string_view body, const SecretRegistry& known);

// RFC 6750's b64token: 1*( ALPHA / DIGIT / "-" / "." / "_" / "~" / "+" /
// "/" ) *"=". Anything else would change the AUTH line's fields (a ^A
// starts a new one in XOAUTH2) or the form it is sent in.
bool IsB64Token(std::string_view token);

// The key of the sign-in the settings use.
std::string SignInKeyOf(const Submission& s);
// The failure's text when the store refuses what it keeps: its reason and
// the way out.
std::string RefusedSignIn(const StoredSignIn& stored);

// Printable ASCII only, at most 300 bytes: a reply's text goes to LOG.txt
// and the terminal as it is.
std::string Printable(std::string_view text);

// One line for LOG.txt and the failure report: "invalid_client: AADSTS…".
std::string DescribeRefusal(const TokenReply& reply);

// How a token request failed: refused for good (a 4xx, a reply that is no
// token, the certificate), for now (no answer, a time-out, a 5xx or 429),
// or given up because the run is ending.
enum class TokenFailure : std::uint8_t { Refused, ForNow, Cancelled };

// An access token kept between sends of one run.
class TokenCache {
 public:
  // Fills `s.oauth.accessToken`: the kept token while it has more than
  // kExpiryMargin seconds left, else a new one from the token endpoint:
  // by the refresh grant when `signIns` holds a sign-in for the endpoint,
  // client and user (a rotated refresh token saved before the token is
  // used), by a JWT that `crypto` signs for a service account (#OSA), else
  // by client credentials. A sign-in the store refuses (open to other
  // users, too large, corrupt) is a failure saying so.
  // A refused or failed request returns the failure (its text names the
  // error code and description) and leaves the token empty. Lifetimes are
  // counted on `clock`'s steady seconds.
  Status Obtain(Submission& s, Https& https, Clock& clock, SignInStore* signIns = nullptr,
                Crypto* crypto = nullptr);
  void Forget();
  // How the last Obtain that returned a failure failed.
  TokenFailure LastFailure() const { return lastFailure_; }

 private:
  Secret token_;
  std::int64_t expiresAt_ = 0;
  TokenFailure lastFailure_ = TokenFailure::Refused;
};

}  // namespace tolvex::oauth
