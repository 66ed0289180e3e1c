#include "api/mail_api.hpp"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "api/graph_upload.hpp"
#include "base/base64.hpp"
#include "compose/header_words.hpp"
#include "compose/message.hpp"
#include "compose/utf8_message.hpp"
#include "encoding/jis_decode.hpp"
#include "oauth/token.hpp"

namespace tolvex::api {
namespace {

// Raw bytes encoded at a time: a whole number of Base64 groups.
constexpr std::size_t kPiece = 48 * 1024;
static_assert(kPiece % 3 == 0);

}  // namespace

std::string PathSegment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (alnum || c == '-' || c == '.' || c == '_' || c == '~' || c == '@' || c == '=') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0x0F];
    }
  }
  return out;
}

namespace {

// The error object both APIs answer with: Graph's {"error": {"code",
// "message"}}, Google's {"error": {"code" (a number), "message",
// "status"}}. Its texts as one: "Code (STATUS): message".
std::string ApiError(std::string_view body) {
  const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return {};
  const auto error = json.find("error");
  if (error == json.end() || !error->is_object()) return {};
  const auto text = [&](const char* name) -> std::string {
    const auto it = error->find(name);
    if (it == error->end()) return {};
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<std::int64_t>());
    return {};
  };
  std::string out = text("code");
  const std::string status = text("status");
  if (!status.empty()) out += (out.empty() ? "" : " ") + ("(" + status + ")");
  const std::string message = text("message");
  if (!message.empty()) out += (out.empty() ? "" : ": ") + message;
  return out;
}

FailureClass ClassOfStatus(long status) {
  switch (status) {
    case 401:
    case 403:
      return FailureClass::NoPermission;
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return FailureClass::Temporary;
    default:
      return FailureClass::Permanent;
  }
}

DeliveryEnd Refused(FailureClass failure, std::string text) {
  return DeliveryEnd{SmtpStep::API_REQUEST, failure, std::move(text)};
}

}  // namespace

std::string_view ApiName(Via via) {
  return via == Via::Graph ? "Microsoft Graph" : via == Via::Gmail ? "the Gmail API" : "SMTP";
}

std::string BaseUrl(const Submission& s) {
  if (!s.apiBase.empty()) return s.apiBase;
  return s.oauth.via == Via::Gmail ? kGmailBase : kGraphBase;
}

std::string SendUrl(const Submission& s) {
  if (s.oauth.via == Via::Gmail) {
    return BaseUrl(s) + "/upload/gmail/v1/users/me/messages/send?uploadType=media";
  }
  return BaseUrl(s) + "/v1.0/users/" + PathSegment(s.user) + "/sendMail";
}

std::string GraphMessagesUrl(const Submission& s) {
  return BaseUrl(s) + "/v1.0/users/" + PathSegment(s.user) + "/messages";
}

std::string BccLine(const RunState& st) {
  if (st.BccCount <= 0) return {};
  const auto field = st.Charset == MessageCharset::Utf8 ? Utf8AddressField : EncodeAddressField;
  return field("Bcc:", st.BccList) + "\r\n";
}

std::size_t UploadSource::Fill(char* buf, std::size_t cap) {
  std::size_t n = 0;
  if (pos_ < head_.size()) {
    n = std::min(cap, head_.size() - pos_);
    std::memcpy(buf, head_.data() + pos_, n);
    pos_ += n;
  }
  if (n < cap && !file_.Done()) n += file_.Fill(buf + n, cap - n);
  if (n < cap && file_.Done() && pos_ >= head_.size()) {
    const std::size_t k = std::min(cap - n, head_.size() + tail_.size() - pos_);
    std::memcpy(buf + n, tail_.data() + (pos_ - head_.size()), k);
    pos_ += k;
    n += k;
  }
  return n;
}

bool Base64Source::Done() const { return raw_.Done() && in_.empty() && given_ == out_.size(); }

bool Base64Source::Refill() {
  out_.clear();
  given_ = 0;
  while (in_.size() < kPiece && !raw_.Done()) {
    const std::size_t had = in_.size();
    in_.resize(kPiece);
    const std::size_t got = raw_.Fill(in_.data() + had, kPiece - had);
    in_.resize(had + got);
    if (got == 0) break;
  }
  if (raw_.Failed()) {
    failed_ = true;
    return false;
  }
  // Only the last piece may end in a partial group (and its padding).
  const std::size_t whole = raw_.Done() ? in_.size() : in_.size() / 3 * 3;
  if (whole == 0) return false;
  out_.resize(Base64Length(whole, kBase64OneLine));
  WriteBase64(in_.data(), whole, out_.data(), kBase64OneLine);
  in_.erase(0, whole);
  return true;
}

std::size_t Base64Source::Fill(char* buf, std::size_t cap) {
  std::size_t n = 0;
  while (n < cap) {
    if (given_ == out_.size() && !Refill()) break;
    const std::size_t k = std::min(cap - n, out_.size() - given_);
    std::memcpy(buf + n, out_.data() + given_, k);
    given_ += k;
    n += k;
  }
  return n;
}

std::int64_t RetryAfterSeconds(std::string_view header) {
  if (header.empty() || header.size() > 12) return 0;
  std::int64_t seconds = 0;
  for (char c : header) {
    if (c < '0' || c > '9') return 0;
    seconds = seconds * 10 + (c - '0');
  }
  return std::min(seconds, kLongestRetryAfter);
}

DeliveryEnd Refusal(Via via, const HttpsReply& reply, const SecretRegistry& secrets) {
  const std::string_view name = ApiName(via);
  if (!reply.done) {
    // A refused certificate is refused like the SMTP server's.
    std::string why = reply.error;
    secrets.Mask(why);
    return Refused(reply.lasting ? FailureClass::NoPermission : FailureClass::Temporary,
                   std::string(name) + ": " + why);
  }
  const std::string_view body = reply.body.View();
  std::string text = std::string(name) + ": HTTP " + std::to_string(reply.status);
  std::string error = ApiError(body);
  secrets.Mask(error);  // the API's own text only
  if (!error.empty()) text += " " + error;
  DeliveryEnd end = Refused(ClassOfStatus(reply.status), std::move(text));
  if (end.failure == FailureClass::Temporary) end.retryAfter = RetryAfterSeconds(reply.retryAfter);
  return end;
}

DeliveryEnd JudgeReply(Via via, const HttpsReply& reply, const SecretRegistry& secrets) {
  if (reply.done && via == Via::Graph && reply.status == 202) return DeliveryEnd{};
  if (reply.done && via == Via::Gmail && reply.status == 200) {
    const nlohmann::json json = nlohmann::json::parse(reply.body.View(), nullptr, false);
    if (json.is_object() && json.contains("id") && json["id"].is_string()) return DeliveryEnd{};
    return Refused(FailureClass::Permanent, "the Gmail API: HTTP 200 without a message id");
  }
  return Refusal(via, reply, secrets);
}

std::optional<DeliveryEnd> SendByApi(Https& https, const RunState& st) {
  const Submission& s = st.Submit;
  const Via via = s.oauth.via;
  // The message without the end-of-data line TEMP.TXT keeps for SMTP.
  IoError unread;
  const std::uint64_t messageSize = MessageSize(st.MailData, unread);
  if (unread) {
    return Refused(FailureClass::Permanent,
                   std::string(ApiName(via)) + ": the message could not be read: " + *unread);
  }
  const std::string bcc = BccLine(st);
  UploadSource mime(bcc, st.MailData, messageSize);
  const std::uint64_t mimeSize = bcc.size() + messageSize;
  HttpsCall call;
  call.target.url = SendUrl(s);
  call.target.caPem = s.caPem;
  call.target.proxy = &s.proxy;  // #PRX, as for the token requests
  // A minute and a second for every 100 KiB: a large upload is not cut off
  // like a token request, a stalled one still is.
  call.target.totalSeconds =
      60 + static_cast<int>(std::min<std::uint64_t>(mimeSize / (100 * 1024), 24 * 60 * 60));
  call.bearer = &s.oauth.accessToken;
  Base64Source base64(mime);
  // Over Graph's request limit: the large way, when the message's
  // attachments can be read back (else the one request, which Graph may
  // refuse).
  if (via == Via::Graph && mimeSize > kGraphSimpleLimit) {
    if (auto layout = FindAttachments(st.MailData, messageSize)) {
      return SendLargeByGraph(https, st, *layout);
    }
  }
  if (via == Via::Gmail) {
    if (mimeSize > kGmailLimit) {
      return Refused(FailureClass::Permanent,
                     "the Gmail API: the message is " + std::to_string(mimeSize) +
                         " octets, over its limit of 35000000; nothing was sent");
    }
    call.headers = {"Content-Type: message/rfc822"};
    call.body = &mime;
    call.bodyLength = mimeSize;
  } else {
    call.headers = {"Content-Type: text/plain"};
    call.body = &base64;
    call.bodyLength = Base64Length(static_cast<std::size_t>(mimeSize), kBase64OneLine);
  }
  const HttpsReply reply = https.Send(call);
  if (reply.cancelled) return std::nullopt;
  return JudgeReply(via, reply, s.secrets);
}

std::string TokenGrants(std::string_view token) {
  const std::size_t first = token.find('.');
  const std::size_t second = token.find('.', first == std::string_view::npos ? 0 : first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return {};
  std::string payload(token.substr(first + 1, second - first - 1));
  for (char& c : payload) c = c == '-' ? '+' : c == '_' ? '/' : c;
  payload.append((4 - payload.size() % 4) % 4, '=');
  const std::optional<std::string> bytes = DecodeBase64(payload);
  if (!bytes) return {};
  const nlohmann::json json = nlohmann::json::parse(*bytes, nullptr, false);
  if (!json.is_object()) return {};
  std::string out;
  if (const auto roles = json.find("roles"); roles != json.end() && roles->is_array()) {
    for (const auto& role : *roles) {
      if (!role.is_string()) continue;
      out += (out.empty() ? "" : " ") + role.get<std::string>();
    }
    if (!out.empty()) return oauth::Printable("roles " + out);
  }
  if (const auto scp = json.find("scp"); scp != json.end() && scp->is_string()) {
    return oauth::Printable("scp " + scp->get<std::string>());
  }
  return {};
}

}  // namespace tolvex::api
