#include "api/mail_api.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "base/base64.hpp"
#include "encoding/jis_decode.hpp"
#include "support/memory_file.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::test {
namespace {

using namespace api;

// A source handing out a string in pieces of at most `most` bytes.
struct PieceSource final : ByteSource {
  PieceSource(std::string b, std::size_t m) : bytes(std::move(b)), most(m) {}
  std::size_t Fill(char* buf, std::size_t cap) override {
    const std::size_t n = std::min({cap, most, bytes.size() - pos});
    bytes.copy(buf, n, pos);
    pos += n;
    return n;
  }
  bool Done() const override { return pos == bytes.size(); }
  std::string bytes;
  std::size_t most;
  std::size_t pos = 0;
};

std::string Drain(ByteSource& s, std::size_t piece) {
  std::string out, buf(piece, '\0');
  while (!s.Done() && !s.Failed()) out.append(buf.data(), s.Fill(buf.data(), buf.size()));
  return out;
}

TEST(Base64Source, EncodesAsTheWholeWouldWhateverThePieces) {
  const std::size_t big = 48 * 1024;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, big - 1,
                           big, big + 1, 3 * big + 2}) {
    std::string raw(size, '\0');
    for (std::size_t i = 0; i < size; ++i) raw[i] = static_cast<char>(i * 7 + i / 251);
    std::string whole;
    AppendBase64(raw, whole);
    for (std::size_t in : {std::size_t{1}, std::size_t{1000}, big + 5}) {
      PieceSource source(raw, in);
      Base64Source base64(source);
      EXPECT_EQ(Drain(base64, 997), whole) << size << " bytes in pieces of " << in;
      EXPECT_EQ(whole.size(), Base64Length(size, kBase64OneLine));
    }
  }
}

TEST(Base64Source, FailsWhenTheMessageCannotBeRead) {
  auto file = std::make_shared<MemoryFile>(std::string(200000, 'x'));
  file->failAtRead = 2;
  MailSpool spool;
  spool.Assign(file, 200000);
  UploadSource upload("", spool, 200000);
  Base64Source base64(upload);
  Drain(base64, 4096);
  EXPECT_TRUE(base64.Failed());
  EXPECT_FALSE(base64.Done());
}

TEST(MailApi, UrlsFollowTheTransportTheBaseAndTheMailbox) {
  struct Case {
    Via via;
    std::string base, user, url;
  } cases[] = {
      {Via::Graph, "", "info@example.jp",
       "https://graph.microsoft.com/v1.0/users/info@example.jp/sendMail"},
      {Via::Graph, "https://graph.microsoft.us", "a b/c?d",
       "https://graph.microsoft.us/v1.0/users/a%20b%2Fc%3Fd/sendMail"},
      {Via::Gmail, "", "x@gmail.com",
       "https://gmail.googleapis.com/upload/gmail/v1/users/me/messages/send?uploadType=media"},
      {Via::Gmail, "https://127.0.0.1:8443", "x",
       "https://127.0.0.1:8443/upload/gmail/v1/users/me/messages/send?uploadType=media"},
  };
  for (const Case& c : cases) {
    Submission s;
    s.oauth.via = c.via;
    s.apiBase = c.base;
    s.user = c.user;
    EXPECT_EQ(SendUrl(s), c.url);
  }
}

HttpsReply Answer(long status, std::string_view body, std::string retryAfter = {}) {
  HttpsReply r = ScriptedHttps::Reply(status, body);
  r.retryAfter = std::move(retryAfter);
  return r;
}

TEST(MailApi, RepliesEndTheDeliveryAsASubmissionWould) {
  SecretRegistry secrets;
  secrets.Add("at-SECRET-token");
  struct Case {
    Via via;
    HttpsReply reply;
    FailureClass failure;
    std::string text;
    std::int64_t retryAfter = 0;
  };
  Case cases[] = {
      {Via::Graph, Answer(202, ""), FailureClass::None, ""},
      {Via::Gmail, Answer(200, R"({"id":"18c"})"), FailureClass::None, ""},
      {Via::Gmail, Answer(200, "{}"), FailureClass::Permanent,
       "the Gmail API: HTTP 200 without a message id"},
      {Via::Graph, Answer(200, ""), FailureClass::Permanent, "Microsoft Graph: HTTP 200"},
      {Via::Graph,
       Answer(403, R"({"error":{"code":"ErrorAccessDenied","message":"Access is denied."}})"),
       FailureClass::NoPermission,
       "Microsoft Graph: HTTP 403 ErrorAccessDenied: Access is denied."},
      {Via::Gmail,
       Answer(
           401,
           R"({"error":{"code":401,"message":"Bad at-SECRET-token\r\nX","status":"UNAUTHENTICATED"}})"),
       FailureClass::NoPermission, "the Gmail API: HTTP 401 401 (UNAUTHENTICATED): Bad ***\r\nX"},
      {Via::Graph, Answer(429, "", "120"), FailureClass::Temporary, "Microsoft Graph: HTTP 429",
       120},
      {Via::Graph, Answer(503, "<html>", "Wed, 21 Oct 2026 07:28:00 GMT"), FailureClass::Temporary,
       "Microsoft Graph: HTTP 503"},
      {Via::Gmail, Answer(504, "", "99999999"), FailureClass::Temporary, "the Gmail API: HTTP 504",
       kLongestRetryAfter},
      {Via::Gmail, Answer(400, "", "60"), FailureClass::Permanent, "the Gmail API: HTTP 400"},
      {Via::Graph, Answer(413, R"({"error":"not an object"})"), FailureClass::Permanent,
       "Microsoft Graph: HTTP 413"},
      {Via::Graph, ScriptedHttps::Failed("Connection refused"), FailureClass::Temporary,
       "Microsoft Graph: Connection refused"},
      {Via::Graph, ScriptedHttps::Failed("certificate verify failed", true),
       FailureClass::NoPermission, "Microsoft Graph: certificate verify failed"},
  };
  for (const Case& c : cases) {
    const DeliveryEnd end = JudgeReply(c.via, c.reply, secrets);
    SCOPED_TRACE(c.text);
    EXPECT_EQ(end.failure, c.failure);
    EXPECT_EQ(end.Delivered(), c.failure == FailureClass::None);
    EXPECT_EQ(end.step, end.Delivered() ? SmtpStep::IDLE : SmtpStep::API_REQUEST);
    EXPECT_EQ(end.text, c.text);
    EXPECT_EQ(end.retryAfter, c.retryAfter);
  }
}

// A message with Japanese text whose second bytes are 0x5C and 0x7C
// (表, ソ, 能) and a Bcc recipient.
RunState Composed(Via via, std::string mime) {
  RunState st;
  st.Submit.oauth.via = via;
  st.Submit.user = "info@example.jp";
  st.Submit.oauth.accessToken.Assign("at-SECRET-token");
  st.Submit.caPem = "-----BEGIN CERTIFICATE-----";
  st.BccList = "hidden@example.jp";
  st.BccCount = 1;
  const std::uint64_t size = mime.size();
  st.MailData.Assign(std::make_shared<MemoryFile>(std::move(mime)), size);
  return st;
}

const std::string kMime =
    "From: a@example.jp\r\nTo: b@example.jp\r\nSubject: x\r\n\r\n\x95\x5c\x83\x5c\x94\x5c|\\\r\n";

TEST(MailApi, UploadsTheMessageWithItsBccLineTheWayTheApiTakesIt) {
  for (Via via : {Via::Graph, Via::Gmail}) {
    ScriptedHttps https;
    https.replies.push_back(via == Via::Graph ? Answer(202, "") : Answer(200, R"({"id":"1"})"));
    const RunState st = Composed(via, kMime + ".\r\n");  // TEMP.TXT's end-of-data line
    const std::optional<DeliveryEnd> end = SendByApi(https, st);
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->Delivered());
    ASSERT_EQ(https.calls.size(), 1u);
    const ScriptedHttps::Call& call = https.calls[0];
    EXPECT_EQ(call.method, "POST");
    EXPECT_EQ(call.url, SendUrl(st.Submit));
    EXPECT_EQ(call.bearer, "at-SECRET-token");
    EXPECT_EQ(call.caPem, st.Submit.caPem);
    const std::string expected = "Bcc: hidden@example.jp\r\n" + kMime;
    EXPECT_EQ(call.body.size(), call.bodyLength);
    for (const std::string& h : call.headers) {
      EXPECT_EQ(h.find("at-SECRET"), std::string::npos) << h;
    }
    if (via == Via::Graph) {
      EXPECT_EQ(call.headers, std::vector<std::string>{"Content-Type: text/plain"});
      EXPECT_EQ(DecodeBase64(call.body), expected);
    } else {
      EXPECT_EQ(call.headers, std::vector<std::string>{"Content-Type: message/rfc822"});
      EXPECT_EQ(call.body, expected);
    }
  }
}

TEST(MailApi, NoBccNoLineAndGmailsLimitRefusedBeforeAnyByte) {
  ScriptedHttps https;
  https.replies.push_back(Answer(200, R"({"id":"1"})"));
  RunState st = Composed(Via::Gmail, kMime);
  st.BccCount = 0;
  ASSERT_TRUE(SendByApi(https, st));
  ASSERT_EQ(https.calls.size(), 1u);
  EXPECT_EQ(https.calls[0].body, kMime);

  RunState large = Composed(Via::Gmail, std::string(kGmailLimit, 'x'));  // with the Bcc: over
  const std::optional<DeliveryEnd> end = SendByApi(https, large);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->failure, FailureClass::Permanent);
  EXPECT_EQ(end->step, SmtpStep::API_REQUEST);
  EXPECT_NE(end->text.find("over its limit of 35000000"), std::string::npos);
  EXPECT_EQ(https.calls.size(), 1u);  // no second request
}

TEST(MailApi, CancelledRequestEndsNothing) {
  ScriptedHttps https;
  https.replies.push_back(ScriptedHttps::Failed("given up", false, true));
  EXPECT_FALSE(SendByApi(https, Composed(Via::Graph, kMime)));
}

std::string Jwt(std::string_view payload) {
  std::string out = "eyJhbGciOiJSUzI1NiJ9.";
  AppendBase64(payload, out, kBase64Url);
  return out + ".c2ln";
}

TEST(MailApi, TokenGrantsAreReadForDisplayFromAJwt) {
  const std::pair<std::string, std::string> cases[] = {
      {Jwt(R"({"roles":["Mail.Send","User.Read.All"],"scp":"x"})"),
       "roles Mail.Send User.Read.All"},
      {Jwt(R"({"scp":"Mail.Send offline_access"})"), "scp Mail.Send offline_access"},
      {Jwt(R"({"scp":"a\u0001b"})"), "scp a b"},
      {Jwt(R"({"roles":[]})"), ""},
      {Jwt("not json"), ""},
      {"ya29.opaque-google-token", ""},
      {"", ""},
  };
  for (const auto& [token, grants] : cases) EXPECT_EQ(TokenGrants(token), grants) << token;
}

}  // namespace
}  // namespace tolvex::test
