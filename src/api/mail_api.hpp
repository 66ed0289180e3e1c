// The mail APIs as transports (#VIA=graph, #VIA=gmail): the composed
// message handed over HTTPS as MIME instead of an SMTP session. Pure code
// over the HTTPS seam: the URLs, the upload streamed from the spool (a Bcc
// line spliced in front, Base64 for Graph), the reply judged as a
// delivery's end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/https.hpp"
#include "base/mail_data.hpp"
#include "base/run_state.hpp"
#include "smtp/delivery_end.hpp"

namespace tolvex::api {

inline constexpr char kGraphBase[] = "https://graph.microsoft.com";
inline constexpr char kGmailBase[] = "https://gmail.googleapis.com";
// The Gmail API takes no larger message.
inline constexpr std::uint64_t kGmailLimit = 35'000'000;
// A Retry-After is honoured up to a day.
inline constexpr std::int64_t kLongestRetryAfter = 24 * 60 * 60;

// "Microsoft Graph" or "the Gmail API".
std::string_view ApiName(Via via);
// #API, else the API's own base.
std::string BaseUrl(const Submission& s);
// A URL path segment: everything but the unreserved characters, "@" and
// "=" percent-encoded.
std::string PathSegment(std::string_view text);
// Graph's messages of the #USR mailbox (the large way's drafts).
std::string GraphMessagesUrl(const Submission& s);
// Where a send goes: Graph's sendMail for the #USR mailbox, or Gmail's
// media upload for the signed-in user.
std::string SendUrl(const Submission& s);

// The uploaded copy's "Bcc:" line with CR LF, written like the "Cc:" line;
// "" without Bcc recipients. The APIs take the recipients from the head.
std::string BccLine(const RunState& st);

// `head`, the first `size` bytes of `message`, then `tail`.
class UploadSource final : public ByteSource {
 public:
  UploadSource(std::string head, const MailSpool& message, std::uint64_t size,
               std::string tail = {})
      : head_(std::move(head)), tail_(std::move(tail)), file_(message.File(), 0, size) {}
  std::size_t Fill(char* buf, std::size_t cap) override;
  bool Done() const override { return pos_ == head_.size() + tail_.size() && file_.Done(); }
  bool Failed() const override { return file_.Failed(); }

 private:
  std::string head_, tail_;
  std::size_t pos_ = 0;  // into head_, then into tail_ once the file is done
  FileSource file_;
};

// The Base64 of another source's bytes in one line, encoded as it is read:
// memory stays at one piece whatever the message's size.
class Base64Source final : public ByteSource {
 public:
  explicit Base64Source(ByteSource& raw) : raw_(raw) {}
  std::size_t Fill(char* buf, std::size_t cap) override;
  bool Done() const override;
  bool Failed() const override { return failed_; }

 private:
  bool Refill();
  ByteSource& raw_;
  std::string in_;   // bytes read and not yet encoded (whole groups of 3 but the last)
  std::string out_;  // encoded and not yet given
  std::size_t given_ = 0;
  bool failed_ = false;
};

// A reply that is not the step's success, as the delivery's end in state
// 106 (the API's status, error code and message, masked with `secrets`).
DeliveryEnd Refusal(Via via, const HttpsReply& reply, const SecretRegistry& secrets);

// Delta-seconds of a Retry-After header (an HTTP date is not taken),
// at most kLongestRetryAfter; 0 when there is none.
std::int64_t RetryAfterSeconds(std::string_view header);

// The delivery's end from the API's reply: delivered on Graph's 202 or
// Gmail's 200 with a message id; else state 106 with the HTTP status and
// the API's error code and message (masked with `secrets`), classed as a
// submission's failure is: 401 and 403 refused, 408, 429, 500, 502, 503,
// 504 and a connection not made or lost temporary, the rest permanent.
DeliveryEnd JudgeReply(Via via, const HttpsReply& reply, const SecretRegistry& secrets);

// Sends the composed message (st.MailData) by the API with the access
// token of st.Submit.oauth; the delivery's end, or nothing when the
// request was given up because the run is ending.
std::optional<DeliveryEnd> SendByApi(Https& https, const RunState& st);

// What an access token says it grants, for display only: the "roles" or
// "scp" claim of a JWT's payload, "" when the token says nothing readable.
std::string TokenGrants(std::string_view token);

}  // namespace tolvex::api
