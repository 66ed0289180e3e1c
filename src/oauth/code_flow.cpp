#include "oauth/code_flow.hpp"

#include "base/ascii.hpp"
#include "base/base64.hpp"
#include "oauth/token.hpp"

namespace tolvex::oauth {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A query value: "+" is a space, %XX a byte; a broken escape stays as it is.
void AppendDecoded(std::string_view text, Secret& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      c = static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    }
    out.Append(std::string_view(&c, 1));
  }
}

}  // namespace

std::string AuthorizeUrl(const OAuthSettings& o) {
  if (SameAscii(o.provider, "google")) return kGoogleAuthorizeUrl;
  if (IsProviderName(o.provider)) return {};
  return o.authorizeUrl;
}

std::string Base64Url(std::string_view bytes) {
  std::string out;
  AppendBase64(bytes, out, kBase64Url);
  return out;
}

bool MakePkce(Crypto& crypto, Pkce& out) {
  Secret random;
  if (!crypto.RandomBytes(32, random) || random.Size() != 32) return false;
  out.verifier.Wipe();
  AppendBase64(random.View(), out.verifier, kBase64Url);
  random.Wipe();
  out.challenge = Base64Url(crypto.Sha256(out.verifier.View()));
  if (!crypto.RandomBytes(16, random) || random.Size() != 16) return false;
  out.state = Base64Url(random.View());
  return true;
}

std::string RedirectUri(int port) { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

std::string AuthorizationRequest(const OAuthSettings& o, std::string_view redirectUri,
                                 const Pkce& pkce) {
  Secret query;
  AppendFormField("response_type", "code", query);
  AppendFormField("client_id", o.clientId, query);
  AppendFormField("redirect_uri", redirectUri, query);
  const std::string scope = SignInScope(o);
  if (!scope.empty()) AppendFormField("scope", scope, query);
  AppendFormField("code_challenge", pkce.challenge, query);
  AppendFormField("code_challenge_method", "S256", query);
  AppendFormField("state", pkce.state, query);
  if (SameAscii(o.provider, "google")) {
    AppendFormField("access_type", "offline", query);
    AppendFormField("prompt", "consent", query);
  }
  const std::string base = AuthorizeUrl(o);
  return base + (base.find('?') == std::string::npos ? "?" : "&") + std::string(query.View());
}

void CodeTokenBody(const OAuthSettings& o, std::string_view code, std::string_view redirectUri,
                   std::string_view verifier, Secret& out) {
  out.Wipe();
  AppendFormField("grant_type", "authorization_code", out);
  AppendFormField("code", code, out);
  AppendFormField("redirect_uri", redirectUri, out);
  AppendFormField("client_id", o.clientId, out);
  if (!o.clientSecret.Empty()) AppendFormField("client_secret", o.clientSecret.View(), out);
  AppendFormField("code_verifier", verifier, out);
}

Redirect ParseRedirect(std::string_view head, std::string_view state) {
  Redirect r;
  const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
  constexpr std::string_view kGet = "GET ";
  if (line.substr(0, kGet.size()) != kGet) return r;
  std::string_view target = line.substr(kGet.size());
  target = target.substr(0, target.find(' '));
  const std::size_t question = target.find('?');
  if (target.substr(0, question) != "/" || question == std::string_view::npos) return r;
  std::string_view query = target.substr(question + 1);
  Secret gotState;
  bool hasState = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    const std::string_view name = pair.substr(0, eq);
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
    Secret decoded;
    AppendDecoded(value, decoded);
    if (name == "code") {
      r.code = decoded;
    } else if (name == "state") {
      gotState = decoded;
      hasState = true;
    } else if (name == "error") {
      r.error = Printable(decoded.View());
    } else if (name == "error_description") {
      r.description = Printable(decoded.View());
    }
  }
  if (r.code.Empty() && r.error.empty()) return r;
  if (!hasState || gotState.View() != state) {
    r.code.Wipe();
    r.kind = Redirect::Kind::Forged;
    return r;
  }
  if (!r.error.empty()) {
    r.code.Wipe();
    r.kind = Redirect::Kind::Refused;
    return r;
  }
  r.kind = Redirect::Kind::Code;
  return r;
}

}  // namespace tolvex::oauth
