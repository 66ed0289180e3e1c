// OAuth pure logic: provider endpoints, request bodies, the token
// endpoint's replies, the token kept between sends, the SASL initial
// responses.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "base/base64.hpp"
#include "oauth/code_flow.hpp"
#include "oauth/device_flow.hpp"
#include "oauth/request.hpp"
#include "oauth/sasl.hpp"
#include "oauth/token.hpp"
#include "support/manual_clock.hpp"
#include "support/map_sign_ins.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::oauth {
namespace {

using test::ManualClock;
using test::MapSignIns;
using test::ScriptedHttps;

std::string Decoded(std::string_view b64) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned v = 0;
  int bits = 0;
  for (char c : b64) {
    if (c == '=') break;
    v = v << 6 | static_cast<unsigned>(kAlphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xFF);
    }
  }
  return out;
}

TEST(OAuthProvider, EndpointsAndScopes) {
  struct Case {
    const char* provider;
    const char* tenant;
    const char* scope;
    const char* url;
    const char* wantScope;
  };
  const Case cases[] = {
      {"microsoft", "contoso.onmicrosoft.com", "",
       "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token",
       "https://outlook.office365.com/.default"},
      {"Microsoft", "", "", "", "https://outlook.office365.com/.default"},
      {"GOOGLE", "ignored", "", "https://oauth2.googleapis.com/token", "https://mail.google.com/"},
      {"google", "", "https://x.test/s", "https://oauth2.googleapis.com/token", "https://x.test/s"},
      {"https://idp.test:8443/t", "", "", "https://idp.test:8443/t", ""},
  };
  for (const Case& c : cases) {
    OAuthSettings o;
    o.provider = c.provider;
    o.tenant = c.tenant;
    o.scope = c.scope;
    EXPECT_EQ(TokenUrl(o), c.url) << c.provider;
    EXPECT_EQ(Scope(o), c.wantScope) << c.provider;
  }
  for (const char* url : {"https://a", "HTTPS://idp.test/token"}) EXPECT_TRUE(IsHttpsUrl(url));
  for (const char* url :
       {"http://a/token", "https://", "https:///x", "ftp://a", "httpsx://a", ""}) {
    EXPECT_FALSE(IsHttpsUrl(url)) << url;
  }
}

TEST(OAuthRequest, BodiesAreFormEncoded) {
  OAuthSettings o;
  o.provider = "microsoft";
  o.tenant = "t";
  o.clientId = "id 1";
  o.clientSecret.Assign("a+b/c=d~e.f_g-h&\x95\x5C");
  Secret body;
  ClientCredentialsBody(o, body);
  EXPECT_EQ(body.View(),
            "grant_type=client_credentials&client_id=id+1&client_secret=a%2Bb%2Fc%3Dd~e.f_g-h%26%"
            "95%5C&scope=https%3A%2F%2Foutlook.office365.com%2F.default");
  o.provider = "https://idp.test/token";
  o.clientSecret.Wipe();
  RefreshBody(o, "rt/1", body);
  EXPECT_EQ(body.View(), "grant_type=refresh_token&client_id=id+1&refresh_token=rt%2F1");
}

TEST(OAuthReply, TokensErrorsAndGarbage) {
  // The run's secrets, which a reply's texts may not show.
  const std::string secret = "Qz8~sec+/=ret";
  SecretRegistry known;
  known.Add(secret);
  known.Add("dc-4711-secret");
  const std::string b64token =
      "malformed_reply: the access_token holds characters a bearer token cannot have (RFC 6750 "
      "b64token)";
  struct Case {
    long status;
    std::string body;
    bool ok;
    const char* token;
    std::int64_t expires;
    std::string refusal;
  };
  const Case cases[] = {
      {200, R"({"access_token":"at1","token_type":"Bearer","expires_in":3599})", true, "at1", 3599,
       ""},
      {200, R"({"access_token":"at2","token_type":"bearer","expires_in":"60","refresh_token":"r"})",
       true, "at2", 60, ""},
      {200, R"({"access_token":"at3"})", true, "at3", 0, ""},
      // A quoted lifetime too long to be one is no lifetime (was an overflow).
      {200, R"({"access_token":"at4","expires_in":"35991111111111111"})", true, "at4", 0, ""},
      // Any other lifetime is held to 0..a day, so no sum with it overflows.
      {200, R"({"access_token":"a","expires_in":9223372036854775807})", true, "a", 86400, ""},
      {200, R"({"access_token":"a","expires_in":18446744073709551615})", true, "a", 86400, ""},
      {200, R"({"access_token":"a","expires_in":99999999999999999999999})", true, "a", 86400, ""},
      {200, R"({"access_token":"a","expires_in":"999999999"})", true, "a", 86400, ""},
      {200, R"({"access_token":"a","expires_in":-9223372036854775808})", true, "a", 0, ""},
      {200, R"({"access_token":"a","expires_in":"-5"})", true, "a", 0, ""},
      {200, R"({"access_token":"a","expires_in":3599.9})", true, "a", 3599, ""},
      {200, R"({"access_token":"a","expires_in":true})", true, "a", 0, ""},
      {400,
       R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret."})",
       false, "", 0, "invalid_client: AADSTS7000215: Invalid client secret."},
      {401, R"({"error":"invalid_grant"})", false, "", 0, "invalid_grant"},
      {200, R"({"error":"slow_down","access_token":"x"})", false, "", 0, "slow_down"},
      {500, R"({})", false, "", 0, "http_500"},
      {200, R"({"access_token":"","token_type":"Bearer"})", false, "", 0,
       "malformed_reply: the reply holds no access_token"},
      {200, R"({"access_token":"a","token_type":"MAC"})", false, "", 0,
       "malformed_reply: token_type MAC is not Bearer"},
      {200, "<html>", false, "", 0,
       "malformed_reply: the token endpoint answered HTTP 200 with a body that is not a JSON "
       "object"},
      {200, R"(["access_token"])", false, "", 0,
       "malformed_reply: the token endpoint answered HTTP 200 with a body that is not a JSON "
       "object"},
      {400, "{\"error\":\"e\\u001b[31m\\n\"}", false, "", 0, "e [31m "},
      // What came, when it is no JSON object: a redirect is not followed.
      {302, "", false, "", 0,
       "http_302: the token endpoint answered HTTP 302, a redirect (redirects are not followed)"},
      {503, "<html>Service Unavailable", false, "", 0,
       "http_503: the token endpoint answered HTTP 503 without a JSON object"},
      // Echoed secrets: the run's, raw or form-encoded, and the reply's own
      // token; masked before the text is cut to 300 bytes.
      {400,
       R"j({"error":"invalid_client","error_description":"bad Qz8~sec+/=ret (Qz8~sec%2B%2F%3Dret)"})j",
       false, "", 0, "invalid_client: bad *** (***)"},
      {400, R"({"error":"invalid_grant","error_description":"code dc-4711-secret expired"})", false,
       "", 0, "invalid_grant: code *** expired"},
      {200, R"({"error":"x","error_description":"echo at-own-1","access_token":"at-own-1"})", false,
       "", 0, "x: echo ***"},
      {200, R"({"access_token":"a","token_type":"Qz8~sec+/=ret"})", false, "", 0,
       "malformed_reply: token_type *** is not Bearer"},
      {400, R"({"error":"e","error_description":")" + std::string(295, 'x') + secret + "\"}", false,
       "", 0, "e: " + std::string(295, 'x') + "***"},
      // Tokens outside b64token are refused unused; padding is allowed.
      {200, R"({"access_token":"at\u0001auth=x"})", false, "", 0, b64token},
      {200, R"({"access_token":"a b"})", false, "", 0, b64token},
      {200, R"({"access_token":"ab=c"})", false, "", 0, b64token},
      {200, R"({"access_token":"\u8868"})", false, "", 0, b64token},
      {200, R"({"access_token":"ab+/~._-9=="})", true, "ab+/~._-9==", 0, ""},
      {200, R"({"access_token":"a","refresh_token":"r\nx"})", false, "", 0,
       "malformed_reply: the refresh_token holds characters a bearer token cannot have (RFC 6750 "
       "b64token)"},
      {200, R"({"access_token":"a","refresh_token":""})", true, "a", 0, ""},
  };
  for (const Case& c : cases) {
    const TokenReply r = ParseTokenReply(c.status, c.body, known);
    EXPECT_EQ(r.ok, c.ok) << c.body;
    EXPECT_EQ(r.accessToken.View(), c.token) << c.body;
    EXPECT_EQ(r.expiresIn, c.expires) << c.body;
    if (!c.ok) {
      EXPECT_EQ(DescribeRefusal(r), c.refusal) << c.body;
      EXPECT_TRUE(r.refreshToken.Empty()) << c.body;
    }
  }
  EXPECT_EQ(
      ParseTokenReply(200, R"({"access_token":"a","refresh_token":"r2"})", {}).refreshToken.View(),
      "r2");
  for (const char* token : {"a", "Zz09-._~+/", "x=", "x==="}) EXPECT_TRUE(IsB64Token(token));
  for (const char* token : {"", "=", "a=b", "a b", "a\x01", "a,b", "a\"b", "\x95\x5C"}) {
    EXPECT_FALSE(IsB64Token(token)) << token;
  }
}

// Every OAuth request goes one way: the form posted with the extra CAs and
// then wiped, the reply parsed by its endpoint's parser, a request without
// an HTTP reply told in one line with the run's secrets masked and how it
// failed carried on.
TEST(OAuthRequest, EveryEndpointIsAskedAlike) {
  struct Case {
    bool device;  // the device authorization endpoint, else the token endpoint
    HttpsReply reply;
    const char* failure;  // nullptr: an HTTP reply came
    bool lasting, cancelled;
    const char* parsed;  // the token, the user code or the error got from the reply
  };
  const auto failed = [](const char* error, bool lasting, bool cancelled) {
    HttpsReply r;
    r.error = error;
    r.lasting = lasting;
    r.cancelled = cancelled;
    return r;
  };
  Case cases[] = {
      {false, ScriptedHttps::Reply(200, R"({"access_token":"tok"})"), nullptr, false, false, "tok"},
      {false, ScriptedHttps::Reply(503, R"({"error":"temporarily_unavailable"})"), nullptr, false,
       false, "temporarily_unavailable"},
      {true,
       ScriptedHttps::Reply(200, R"({"device_code":"d","user_code":"ABC-DEF",)"
                                 R"("verification_uri":"https://idp.test/d","expires_in":900})"),
       nullptr, false, false, "ABC-DEF"},
      {true, ScriptedHttps::Reply(400, R"({"error":"invalid_client"})"), nullptr, false, false,
       "invalid_client"},
      {false, failed("Connection refused", false, false),
       "token request to https://idp.test/token failed: Connection refused", false, false, ""},
      {false, failed("SSL certificate problem for s3cr3t\r\n", true, false),
       "token request to https://idp.test/token failed: SSL certificate problem for ***  ", true,
       false, ""},
      {true, failed("cancelled", false, true),
       "device code request to https://idp.test/devicecode failed: cancelled", false, true, ""},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.failure ? c.failure : c.parsed);
    SecretRegistry known;
    known.Add("s3cr3t");
    ScriptedHttps https;
    https.replies.push_back(std::move(c.reply));
    const std::string url = c.device ? "https://idp.test/devicecode" : "https://idp.test/token";
    Secret form("client_id=c&client_secret=s3cr3t");
    std::optional<RequestFailure> failure;
    long status = 0;
    std::string parsed;
    if (c.device) {
      auto answer = RequestDeviceCode(https, url, "PEM", form, known);
      failure = answer.failure;
      status = answer.status;
      parsed = answer.reply.ok ? answer.reply.userCode : answer.reply.error;
    } else {
      auto answer = RequestToken(https, url, "PEM", form, known);
      failure = answer.failure;
      status = answer.status;
      parsed = answer.reply.ok ? std::string(answer.reply.accessToken.View()) : answer.reply.error;
    }
    EXPECT_EQ(https.urls, std::vector<std::string>{url});
    EXPECT_EQ(https.forms, std::vector<std::string>{"client_id=c&client_secret=s3cr3t"});
    EXPECT_EQ(https.caPems, std::vector<std::string>{"PEM"});
    EXPECT_TRUE(form.Empty());
    ASSERT_EQ(failure.has_value(), c.failure != nullptr);
    if (failure) {
      EXPECT_EQ(failure->text, c.failure);
      EXPECT_EQ(failure->lasting, c.lasting);
      EXPECT_EQ(failure->cancelled, c.cancelled);
    } else {
      EXPECT_NE(status, 0);
      EXPECT_EQ(parsed, c.parsed);
    }
  }
}

TEST(OAuthCache, KeptUntilShortlyBeforeItExpires) {
  Submission s;
  s.oauth.provider = "https://idp.test/token";
  s.oauth.clientId = "c";
  s.oauth.clientSecret.Assign("s3cr3t");
  ScriptedHttps https;
  https.replies.push_back(ScriptedHttps::Reply(200, R"({"access_token":"one","expires_in":600})"));
  https.replies.push_back(ScriptedHttps::Reply(200, R"({"access_token":"two"})"));
  https.replies.push_back(ScriptedHttps::Reply(200, R"({"access_token":"three"})"));
  HttpsReply stalled;
  stalled.error = "Operation timed out after 30000 milliseconds";
  https.replies.push_back(std::move(stalled));
  ManualClock clock;
  TokenCache cache;

  ASSERT_FALSE(cache.Obtain(s, https, clock));
  EXPECT_EQ(s.oauth.accessToken.View(), "one");
  clock.now += 600 - kExpiryMargin - 1;  // still more than the margin left
  s.oauth.accessToken.Wipe();
  ASSERT_FALSE(cache.Obtain(s, https, clock));
  EXPECT_EQ(s.oauth.accessToken.View(), "one");
  EXPECT_EQ(https.urls.size(), 1u);
  clock.now += 1;  // within the margin: a new one
  ASSERT_FALSE(cache.Obtain(s, https, clock));
  EXPECT_EQ(s.oauth.accessToken.View(), "two");
  // Without expires_in a token serves one send only.
  ASSERT_FALSE(cache.Obtain(s, https, clock));
  EXPECT_EQ(s.oauth.accessToken.View(), "three");
  Status failed = cache.Obtain(s, https, clock);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->message,
            "token request to https://idp.test/token failed: Operation timed out after 30000 "
            "milliseconds");
  EXPECT_TRUE(s.oauth.accessToken.Empty());
  EXPECT_EQ(https.forms[0], "grant_type=client_credentials&client_id=c&client_secret=s3cr3t");
  // The secret and every token obtained are masked in what comes after,
  // a transport failure's text included.
  HttpsReply echo;
  echo.error = "TLS alert from s3cr3t after three";
  https.replies.push_back(std::move(echo));
  failed = cache.Obtain(s, https, clock);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->message,
            "token request to https://idp.test/token failed: TLS alert from *** after ***");
  EXPECT_EQ(s.secrets.Masked("one two three s3cr3t"), "*** *** *** ***");
}

// A stored sign-in: the refresh grant, the rotated token saved before the
// access token is used, a void sign-in sending the user back to --login.
TEST(OAuthCache, StoredSignInRefreshesAndRotates) {
  constexpr char kKey[] = "https://idp.test/token c u@example.jp";
  struct Case {
    const char* stored;  // nullptr: no sign-in
    long status;
    const char* reply;
    const char* saveError;
    const char* form;          // the request sent; nullptr: none
    const char* token;         // the access token; nullptr: the failure below
    const char* kept;          // the stored refresh token afterwards
    const char* failure;       // substring of the failure
    const char* refusal = "";  // what the store says of what it keeps
  } cases[] = {
      {"r1", 200, R"({"access_token":"a","refresh_token":"r2","expires_in":60})", "",
       "grant_type=refresh_token&client_id=c&refresh_token=r1", "a", "r2", ""},
      {"r1", 200, R"({"access_token":"a"})", "",
       "grant_type=refresh_token&client_id=c&refresh_token=r1", "a", "r1", ""},
      {"r1", 400, R"({"error":"invalid_grant","error_description":"AADSTS70000"})", "",
       "grant_type=refresh_token&client_id=c&refresh_token=r1", nullptr, "r1",
       "token request refused: invalid_grant: AADSTS70000; the stored sign-in of u@example.jp is "
       "no longer valid: run tolvex --login in this folder again"},
      {"r1", 200, R"({"access_token":"a","refresh_token":"r2"})", "disk full",
       "grant_type=refresh_token&client_id=c&refresh_token=r1", nullptr, "r1",
       "the new refresh token could not be stored (disk full): run tolvex --login"},
      {nullptr, 0, "", "", nullptr, nullptr, nullptr,
       "no sign-in stored for u@example.jp at https://idp.test/token and no client secret"},
      // A sign-in the store refuses: not used, no client credentials instead.
      {"r1", 0, "", "", nullptr, nullptr, "r1",
       "the sign-in store /s is refused: group or others may write to it: run tolvex --login in "
       "this folder again",
       "the sign-in store /s is refused: group or others may write to it"},
      // The endpoint echoes the refresh token, raw and form-encoded.
      {"rt-old/42", 400,
       R"({"error":"invalid_grant","error_description":"rt-old/42 or rt-old%2F42 is void"})", "",
       "grant_type=refresh_token&client_id=c&refresh_token=rt-old%2F42", nullptr, "rt-old/42",
       "token request refused: invalid_grant: *** or *** is void; the stored sign-in"},
      // Google with its client secret but no sign-in: no request sure to fail.
      {nullptr, 0, "google", "", nullptr, nullptr, nullptr,
       "no sign-in stored for u@example.jp at https://oauth2.googleapis.com/token: run tolvex "
       "--login in this folder again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    Submission s;
    s.user = "u@example.jp";
    s.oauth.provider = "https://idp.test/token";
    s.oauth.clientId = "c";
    if (std::string_view(c.reply) == "google") {
      s.oauth.provider = "google";
      s.oauth.clientSecret.Assign("GOCSPX-s");
    }
    MapSignIns signIns;
    if (c.stored) signIns.tokens[kKey] = c.stored;
    signIns.saveError = c.saveError;
    signIns.refusal = c.refusal;
    if (*c.refusal) s.oauth.clientSecret.Assign("s3cr3t");
    ScriptedHttps https;
    if (c.form) https.replies.push_back(ScriptedHttps::Reply(c.status, c.reply));
    ManualClock clock;
    TokenCache cache;
    Status failed = cache.Obtain(s, https, clock, &signIns);
    if (c.form) {
      ASSERT_EQ(https.forms.size(), 1u);
      EXPECT_EQ(https.forms[0], c.form);
    } else {
      EXPECT_TRUE(https.forms.empty());
    }
    if (c.token) {
      EXPECT_FALSE(failed);
      EXPECT_EQ(s.oauth.accessToken.View(), c.token);
    } else {
      ASSERT_TRUE(failed);
      EXPECT_NE(failed->message.find(c.failure), std::string::npos) << failed->message;
      EXPECT_EQ(failed->kind,
                *c.saveError ? FailureKind::SignInStoreFailed : FailureKind::SignInFailed);
      EXPECT_TRUE(s.oauth.accessToken.Empty());
    }
    if (c.kept) {
      EXPECT_EQ(signIns.tokens[kKey], c.kept);
    } else {
      EXPECT_TRUE(signIns.tokens.empty());
    }
  }
}

// The device code sign-in: where it is asked for, what the reply must hold.
TEST(OAuthDevice, EndpointsAndReplies) {
  OAuthSettings ms;
  ms.provider = "Microsoft";
  ms.tenant = "contoso.onmicrosoft.com";
  ms.clientId = "c";
  OAuthSettings own;
  own.provider = "https://idp.test/oauth2/token";
  OAuthSettings google;
  google.provider = "google";
  OAuthSettings odd;
  odd.provider = "https://idp.test/oauth2/issue";
  EXPECT_EQ(DeviceCodeUrl(ms),
            "https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/devicecode");
  EXPECT_EQ(DeviceCodeUrl(own), "https://idp.test/oauth2/devicecode");
  EXPECT_EQ(DeviceCodeUrl(google), "");
  EXPECT_EQ(DeviceCodeUrl(odd), "");
  ms.tenant.clear();
  EXPECT_EQ(DeviceCodeUrl(ms), "");
  Secret body;
  DeviceCodeBody(ms, body);
  EXPECT_EQ(body.View(),
            "client_id=c&scope=https%3A%2F%2Foutlook.office.com%2FSMTP.Send+offline_access");
  DeviceTokenBody(ms, "d/1", body);
  EXPECT_EQ(body.View(),
            "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Adevice_code&client_id=c&"
            "device_code=d%2F1");

  struct Case {
    long status;
    const char* body;
    const char* error;  // "" when accepted
  } cases[] = {
      {200,
       R"({"device_code":"d","user_code":"AB-12","verification_uri":"https://x.test/d",)"
       R"("expires_in":900,"interval":7})",
       ""},
      {200,
       R"({"device_code":"d","user_code":"AB 12","verification_uri":"https://x.test/d",)"
       R"("expires_in":900})",
       "malformed_reply"},
      {200,
       R"({"device_code":"d","user_code":"A","verification_uri":"http://x.test/d",)"
       R"("expires_in":900})",
       "malformed_reply"},
      {200, R"({"device_code":"d","user_code":"A","verification_uri":"https://x.test/d"})",
       "malformed_reply"},
      {200, "<html>", "malformed_reply"},
      {400, R"({"error":"invalid_client"})", "invalid_client"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const DeviceCode d = ParseDeviceCode(c.status, c.body, {});
    EXPECT_EQ(d.error, c.error);
    EXPECT_EQ(d.ok, *c.error == 0);
    EXPECT_EQ(d.deviceCode.Empty(), !d.ok);
  }
  const DeviceCode d = ParseDeviceCode(200, cases[0].body, {});
  EXPECT_EQ(d.userCode, "AB-12");
  EXPECT_EQ(d.verificationUri, "https://x.test/d");
  EXPECT_EQ(d.interval, 7);
  EXPECT_EQ(d.expiresIn, 900);

  // The code's life held to 30 minutes, the interval to 1..60 s (5 when
  // none is given), whatever the endpoint sends.
  struct Numbers {
    const char* numbers;
    std::int64_t expiresIn;
    std::int64_t interval;
  } numbers[] = {
      {R"("expires_in":5,"interval":3600)", 5, 60},
      {R"("expires_in":9223372036854775807,"interval":9223372036854775807)", 1800, 60},
      {R"("expires_in":18446744073709551615,"interval":1000000000)", 1800, 60},
      {R"("expires_in":"900","interval":"7")", 900, 7},
      {R"("expires_in":900,"interval":-9223372036854775808)", 900, 5},
      {R"("expires_in":900,"interval":0.5)", 900, 5},
      {R"("expires_in":900,"interval":"x")", 900, 5},
      {R"("expires_in":-1,"interval":5)", 0, 0},  // malformed: no life
  };
  for (const Numbers& n : numbers) {
    const DeviceCode c = ParseDeviceCode(
        200,
        std::string(R"({"device_code":"d","user_code":"A","verification_uri":"https://x/",)") +
            n.numbers + "}",
        {});
    EXPECT_EQ(c.ok, n.expiresIn > 0) << n.numbers;
    if (c.ok) {
      EXPECT_EQ(c.expiresIn, n.expiresIn) << n.numbers;
      EXPECT_EQ(c.interval, n.interval) << n.numbers;
    }
  }
}

TEST(OAuthCodeFlow, EndpointsAndBase64Url) {
  OAuthSettings o;
  const std::pair<const char*, const char*> endpoints[] = {
      {"Google", kGoogleAuthorizeUrl},
      {"microsoft", ""},
      {"https://idp.test/token", "https://idp.test/authorize?tenant=a"},
  };
  o.authorizeUrl = "https://idp.test/authorize?tenant=a";
  for (const auto& [provider, url] : endpoints) {
    o.provider = provider;
    EXPECT_EQ(AuthorizeUrl(o), url) << provider;
  }
  o.authorizeUrl.clear();
  EXPECT_EQ(AuthorizeUrl(o), "");  // a token endpoint alone signs in by the device code

  const std::pair<std::string_view, const char*> codes[] = {
      {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"\xFB\xFF\xBF", "-_-_"}};
  for (const auto& [bytes, text] : codes) EXPECT_EQ(Base64Url(bytes), text);

  // An endpoint whose URL has a query of its own; a custom scope; a secret.
  o.provider = "https://idp.test/token";
  o.authorizeUrl = "https://idp.test/authorize?tenant=a";
  o.clientId = "c 1";
  o.scope = "mail offline_access";
  Pkce pkce;
  pkce.challenge = "ch";
  pkce.state = "st";
  EXPECT_EQ(AuthorizationRequest(o, RedirectUri(8080), pkce),
            "https://idp.test/authorize?tenant=a&response_type=code&client_id=c+1&redirect_uri="
            "http%3A%2F%2F127.0.0.1%3A8080%2F&scope=mail+offline_access&code_challenge=ch&code_"
            "challenge_method=S256&state=st");
  o.clientSecret.Assign("s/1");
  Secret body;
  CodeTokenBody(o, "4/x", RedirectUri(1), "v", body);
  EXPECT_EQ(body.View(),
            "grant_type=authorization_code&code=4%2Fx&redirect_uri=http%3A%2F%2F127.0.0.1%3A1%2F&"
            "client_id=c+1&client_secret=s%2F1&code_verifier=v");
}

TEST(OAuthCodeFlow, RedirectRequests) {
  using Kind = Redirect::Kind;
  struct Case {
    const char* head;
    Kind kind;
    const char* code;
    const char* error;
  };
  const Case cases[] = {
      {"GET /?code=4%2F0A+b%zz&state=s1&scope=x HTTP/1.1\r\nHost: h\r\n\r\n", Kind::Code,
       "4/0A b%zz", ""},
      {"GET /?state=s1&code=c%4 HTTP/1.1\r\n\r\n", Kind::Code, "c%4", ""},
      {"GET /?error=access_denied&error_description=User+said+no%0A&state=s1 HTTP/1.1\r\n\r\n",
       Kind::Refused, "", "access_denied"},
      {"GET /?code=c&state=s2 HTTP/1.1\r\n\r\n", Kind::Forged, "", ""},
      {"GET /?code=c HTTP/1.1\r\n\r\n", Kind::Forged, "", ""},
      {"GET /?error=access_denied&state=s1x HTTP/1.1\r\n\r\n", Kind::Forged, "", "access_denied"},
      {"GET /favicon.ico HTTP/1.1\r\n\r\n", Kind::Other, "", ""},
      {"GET /cb?code=c&state=s1 HTTP/1.1\r\n\r\n", Kind::Other, "", ""},
      {"GET / HTTP/1.1\r\n\r\n", Kind::Other, "", ""},
      {"GET /?state=s1 HTTP/1.1\r\n\r\n", Kind::Other, "", ""},
      {"POST /?code=c&state=s1 HTTP/1.1\r\n\r\n", Kind::Other, "", ""},
      {"", Kind::Other, "", ""},
  };
  for (const Case& c : cases) {
    const Redirect r = ParseRedirect(c.head, "s1");
    EXPECT_EQ(r.kind, c.kind) << c.head;
    EXPECT_EQ(r.code.View(), c.code) << c.head;
    EXPECT_EQ(r.error, c.error) << c.head;
  }
  // The description is printable: it goes to the terminal.
  EXPECT_EQ(ParseRedirect(cases[2].head, "s1").description, "User said no ");
}

TEST(OAuthSasl, InitialResponses) {
  Secret out;
  Xoauth2Response("yamada@example.jp", "ya29.t0k", out);
  EXPECT_EQ(out.View(), "dXNlcj15YW1hZGFAZXhhbXBsZS5qcAFhdXRoPUJlYXJlciB5YTI5LnQwawEB");
  EXPECT_EQ(Decoded(out.View()),
            "user=yamada@example.jp\x01"
            "auth=Bearer ya29.t0k\x01\x01");
  for (std::size_t n = 0; n < 5; ++n) {  // every padding
    Secret b;
    const std::string in = std::string("\x01\xFF\x95\x5C", n);
    AppendBase64(in, b);
    EXPECT_EQ(Decoded(b.View()), in);
    EXPECT_EQ(b.Size() % 4, 0u);
  }
  Secret bearer;
  OAuthBearerResponse("a,b=c@example.jp", "smtp.office365.com", 587, "tok", bearer);
  EXPECT_EQ(Decoded(bearer.View()),
            "n,a=a=2Cb=3Dc@example.jp,\x01host=smtp.office365.com\x01port=587\x01"
            "auth=Bearer tok\x01\x01");
}

}  // namespace
}  // namespace tolvex::oauth
