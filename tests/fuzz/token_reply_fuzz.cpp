// What the OAuth sign-in reads from outside: the token endpoint's and the
// device authorization endpoint's replies, and the browser's redirect to
// the loopback port. Input: one byte choosing the HTTP status, then the
// body; the same bytes are also read as a request head. No text of a reply
// shows a secret of the run, and only b64tokens are taken. The token reply
// is also kept by a TokenCache, so a number that would overflow the sums
// of its lifetime shows under UBSan.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "oauth/code_flow.hpp"
#include "oauth/device_flow.hpp"
#include "oauth/token.hpp"
#include "support/manual_clock.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

// What goes to LOG.txt and the terminal: printable ASCII, bounded.
bool Printable(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c >= 0x7F) return false;
  }
  return text.size() <= 300;
}

// The body as the token endpoint's one reply.
struct OneReply final : Https {
  HttpsReply PostForm(const HttpsRequest&) override {
    HttpsReply r;
    r.done = true;
    r.status = status;
    r.body.Assign(body);
    return r;
  }
  // Token requests only: no API call is made here.
  HttpsReply Send(const HttpsCall& call) override { return PostForm(call.target); }
  long status = 0;
  std::string_view body;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static constexpr long kStatus[] = {200, 400, 401, 500, 302, 0, 200, 200};
  const long status = kStatus[data[0] % 8];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);

  // A secret of the run, which no text of a reply may show.
  static constexpr std::string_view kRunSecret = "fz-Secret-42";
  static const SecretRegistry known = [] {
    SecretRegistry k;
    k.Add(kRunSecret);
    return k;
  }();
  const auto shows = [](const std::string& text) {
    return text.find(kRunSecret) != std::string::npos;
  };

  const oauth::TokenReply reply = oauth::ParseTokenReply(status, body, known);
  FUZZ_CHECK(Printable(reply.error) && Printable(reply.description), Escaped(body));
  FUZZ_CHECK(!shows(reply.error) && !shows(reply.description), Escaped(body));
  if (reply.ok) {
    FUZZ_CHECK(status == 200 && reply.error.empty() && !reply.accessToken.Empty(), Escaped(body));
    FUZZ_CHECK(reply.expiresIn >= 0, Escaped(body));
    // Only b64tokens are used or stored.
    FUZZ_CHECK(oauth::IsB64Token(reply.accessToken.View()) &&
                   (reply.refreshToken.Empty() || oauth::IsB64Token(reply.refreshToken.View())),
               Escaped(body));
  } else {
    FUZZ_CHECK(!reply.error.empty() && reply.accessToken.Empty(), Escaped(body));
  }
  FUZZ_CHECK(reply.expiresIn <= oauth::kLongestTokenLife, Escaped(body));
  OneReply https;
  https.status = status;
  https.body = body;
  Submission s;
  s.user = "u@example.jp";
  s.oauth.provider = "https://idp.test/token";
  s.oauth.clientId = "c";
  s.oauth.clientSecret.Assign("s");
  test::ManualClock clock;
  clock.now = 1767225600;
  oauth::TokenCache cache;
  FUZZ_CHECK(!cache.Obtain(s, https, clock) == reply.ok, Escaped(body));
  clock.now += reply.expiresIn;  // the kept token's last second, or a new one
  FUZZ_CHECK(!cache.Obtain(s, https, clock) == reply.ok, Escaped(body));

  const oauth::PollOutcome poll = oauth::ClassifyPoll(reply);
  FUZZ_CHECK((poll == oauth::PollOutcome::Tokens) == reply.ok, Escaped(body));

  const oauth::DeviceCode code = oauth::ParseDeviceCode(status, body, known);
  FUZZ_CHECK(!shows(code.error) && !shows(code.description), Escaped(body));
  if (code.ok) {
    FUZZ_CHECK(!code.deviceCode.Empty() && IsHttpsUrl(code.verificationUri), Escaped(body));
    FUZZ_CHECK(Printable(code.userCode) && Printable(code.verificationUri.substr(0, 300)),
               Escaped(body));
    FUZZ_CHECK(code.expiresIn > 0 && code.expiresIn <= oauth::kLongestCodeLife, Escaped(body));
    FUZZ_CHECK(code.interval > 0 && code.interval <= oauth::kLongestPollInterval, Escaped(body));
  } else {
    FUZZ_CHECK(!code.error.empty() && code.deviceCode.Empty(), Escaped(body));
  }

  const oauth::Redirect redirect = oauth::ParseRedirect(body, "st-1");
  using Kind = oauth::Redirect::Kind;
  FUZZ_CHECK(Printable(redirect.error) && Printable(redirect.description), Escaped(body));
  FUZZ_CHECK((redirect.kind == Kind::Code) == !redirect.code.Empty(), Escaped(body));
  if (redirect.kind == Kind::Code) FUZZ_CHECK(redirect.error.empty(), Escaped(body));
  if (redirect.kind == Kind::Refused) FUZZ_CHECK(!redirect.error.empty(), Escaped(body));
  if (redirect.kind != Kind::Other) {
    FUZZ_CHECK(body.substr(0, 6) == "GET /?", Escaped(body));
  }
  return 0;
}
