#include "api/mail_api.hpp"

#include "api/graph_upload.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

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

namespace tolvex::test {
namespace {

using namespace api;

TEST(GraphUpload, RangesAreWholeUnitsOfAtMost4MiBAndAddUp) {
  for (std::uint64_t size :
       {std::uint64_t{1}, kRangeUnit, kLargestRange, kLargestRange + 1, 3 * kLargestRange + 5}) {
    const std::vector<ByteRange> ranges = UploadRanges(size);
    std::uint64_t next = 0;
    for (const ByteRange& r : ranges) {
      const std::uint64_t length = r.last - r.first + 1;
      EXPECT_EQ(r.first, next);
      EXPECT_LE(length, 4u * 1024 * 1024);
      if (&r != &ranges.back()) {
        EXPECT_EQ(length % kRangeUnit, 0u) << size;
      }
      next = r.last + 1;
    }
    EXPECT_EQ(next, size);
  }
  EXPECT_EQ(kLargestRange, 12 * kRangeUnit);
}

std::string Bytes(std::size_t n, int seed) {
  std::string b(n, '\0');
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<char>(i * seed + i / 977);
  return b;
}

// A message as the composer writes attachments: a text part, then Base64
// parts in lines of 72.
std::string WithAttachments(const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string b = "--BoUnDaRy_StRiNg_Ich_Liebe_Dich";
  std::string m =
      "Subject: x\r\nFrom: a@example.jp\r\nTo: b@example.jp\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n\r\n" +
      b + "\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\nbody\r\n\r\n";
  for (const auto& [head, bytes] : files) {
    m += b + "\r\nContent-Type: application/octet-stream;" + head +
         "\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    std::string text;
    AppendBase64(bytes, text, kBase64FileLines);
    m += text;
    if (!text.ends_with("\r\n")) m += "\r\n";
  }
  return m + b + "--\r\n.\r\n";
}

TEST(GraphUpload, LargeMessageGoesAsDraftUploadSessionsAndSend) {
  const std::string first = Bytes(kLargestRange + 7, 13);
  const std::string second = Bytes(kLargestRange + 2, 7);
  const std::string mime = WithAttachments(
      {{" name=\"a.bin\"", first},
       {"\r\n name=\"=?ISO-2022-JP?B?GyRCSThGSRsoQg==?=.pdf\"\r\nContent-Disposition: "
        "attachment;\r\n"
        " filename*=UTF-8''%E8%A1%A8%E8%83%BD.pdf",
        second}});
  ScriptedHttps https;
  https.replies.push_back(Answer(201, R"({"id":"AAMk/x="})"));
  for (const char* url : {"https://up.test/1", "https://up.test/2"}) {
    https.replies.push_back(Answer(200, std::string(R"({"uploadUrl":")") + url + "\"}"));
    https.replies.push_back(Answer(200, "{}"));
    https.replies.push_back(Answer(201, "{}"));
  }
  https.replies.push_back(Answer(202, ""));
  const RunState st = Composed(Via::Graph, mime);
  const std::optional<DeliveryEnd> end = SendByApi(https, st);
  ASSERT_TRUE(end);
  EXPECT_TRUE(end->Delivered()) << end->text;
  const std::string base = "https://graph.microsoft.com/v1.0/users/info@example.jp/messages";
  const std::string draft = base + "/AAMk%2Fx=";
  const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
      {"POST", base, "at-SECRET-token"},
      {"POST", draft + "/attachments/createUploadSession", "at-SECRET-token"},
      {"PUT", "https://up.test/1", ""},
      {"PUT", "https://up.test/1", ""},
      {"POST", draft + "/attachments/createUploadSession", "at-SECRET-token"},
      {"PUT", "https://up.test/2", ""},
      {"PUT", "https://up.test/2", ""},
      {"POST", draft + "/send", "at-SECRET-token"},
  };
  ASSERT_EQ(https.calls.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const ScriptedHttps::Call& c = https.calls[k];
    EXPECT_EQ(std::tie(c.method, c.url, c.bearer), expected[k]) << k;
    EXPECT_EQ(c.body.size(), c.bodyLength) << k;
  }
  // The draft: the message up to its first attachment, closed, with the Bcc line.
  const std::size_t cut =
      mime.find("--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\nContent-Type: application");
  EXPECT_EQ(DecodeBase64(https.calls[0].body), "Bcc: hidden@example.jp\r\n" + mime.substr(0, cut) +
                                                   "--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n");
  EXPECT_EQ(
      https.calls[1].body,
      R"({"AttachmentItem":{"attachmentType":"file","contentType":"application/octet-stream",)"
      R"("name":"a.bin","size":3932167}})");
  EXPECT_NE(https.calls.at(4).body.find("\"name\":\"\xE8\xA1\xA8\xE8\x83\xBD.pdf\""),
            std::string::npos)
      << https.calls[4].body;
  EXPECT_EQ(https.calls[2].body + https.calls[3].body, first);
  EXPECT_EQ(https.calls[5].body + https.calls[6].body, second);
  EXPECT_EQ(https.calls[5].headers.back(), "Content-Range: bytes 0-3932159/3932162");
  EXPECT_EQ(https.calls[6].headers.back(), "Content-Range: bytes 3932160-3932161/3932162");
}

TEST(GraphUpload, AStepRefusedEndsTheDeliveryThere) {
  const RunState st = Composed(Via::Graph, WithAttachments({{" name=\"a\"", Bytes(3500000, 3)}}));
  const struct {
    std::vector<HttpsReply> replies;
    FailureClass failure;
    const char* text;
  } cases[] = {
      {{Answer(403, R"({"error":{"code":"ErrorAccessDenied","message":"Access is denied."}})")},
       FailureClass::NoPermission,
       "Microsoft Graph: HTTP 403 ErrorAccessDenied: Access is denied."},
      {{Answer(201, R"({"id":"d"})"), Answer(201, R"({"uploadUrl":"http://up.test/"})")},
       FailureClass::Permanent,
       "Microsoft Graph: the upload session has no https:// uploadUrl"},
      {{Answer(201, R"({"id":"d"})"), Answer(201, R"({"uploadUrl":"https://up.test/"})"),
        Answer(503, "")},
       FailureClass::Temporary,
       "Microsoft Graph: HTTP 503"},
  };
  for (const auto& c : cases) {
    ScriptedHttps https;
    for (const HttpsReply& r : c.replies) https.replies.push_back(Answer(r.status, r.body.View()));
    const std::optional<DeliveryEnd> end = SendByApi(https, st);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->failure, c.failure);
    EXPECT_EQ(end->text, c.text);
    EXPECT_EQ(https.calls.size(), c.replies.size());
  }
}

}  // namespace
}  // namespace tolvex::test
