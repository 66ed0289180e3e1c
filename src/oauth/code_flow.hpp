// The sign-in of `tolvex --login` in a browser: the authorization code
// grant with PKCE (RFC 7636, S256) and a loopback redirect to 127.0.0.1
// (RFC 8252). Google's, and that of an endpoint of its own named by #OAZ.
// The authorization request URL, the browser's redirect as it arrives on
// the loopback port, and the code exchange's body.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/crypto.hpp"
#include "base/secret.hpp"
#include "base/submission.hpp"

namespace tolvex::oauth {

inline constexpr char kGoogleAuthorizeUrl[] = "https://accounts.google.com/o/oauth2/v2/auth";
// How long the browser has to come back.
inline constexpr std::int64_t kBrowserWait = 5 * 60;

// Google's authorization endpoint, #OAZ for an endpoint of its own; ""
// when the sign-in is by the device code instead.
std::string AuthorizeUrl(const OAuthSettings& o);

// Base64 with "-" and "_" and no padding (kBase64Url, RFC 4648 section 5).
std::string Base64Url(std::string_view bytes);

struct Pkce {
  Secret verifier;        // 43 characters from 32 random bytes
  std::string challenge;  // Base64Url(SHA-256(verifier))
  std::string state;      // 22 characters from 16 random bytes
};

// A new verifier, its challenge and a state; false when no random bytes
// could be had.
bool MakePkce(Crypto& crypto, Pkce& out);

// "http://127.0.0.1:<port>/".
std::string RedirectUri(int port);

// The authorization endpoint with response_type=code, the client id, the
// redirect URI, the scope, the S256 challenge and the state; for Google
// also access_type=offline and prompt=consent, without which no refresh
// token comes. Holds nothing secret.
std::string AuthorizationRequest(const OAuthSettings& o, std::string_view redirectUri,
                                 const Pkce& pkce);

// grant_type=authorization_code with the code, the redirect URI, the
// client id, the secret when there is one, and the verifier.
void CodeTokenBody(const OAuthSettings& o, std::string_view code, std::string_view redirectUri,
                   std::string_view verifier, Secret& out);

struct Redirect {
  enum class Kind : std::uint8_t {
    Other,    // not the redirect (another path, no code and no error): 404
    Code,     // the authorization code, state checked
    Refused,  // error=… (access_denied when the user said no)
    Forged,   // a code or error without this sign-in's state: 400, wait on
  };
  Kind kind = Kind::Other;
  Secret code;
  std::string error;        // printable
  std::string description;  // error_description, printable
};

// The head of a request the browser made to the loopback port:
// "GET /?code=…&state=… HTTP/1.1" and its header lines.
Redirect ParseRedirect(std::string_view head, std::string_view state);

}  // namespace tolvex::oauth
