#include "api/graph_upload.hpp"

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "api/mail_api.hpp"
#include "base/base64.hpp"
#include "base/string_source.hpp"
#include "compose/mime_parts.hpp"
#include "encoding/jis_decode.hpp"

namespace tolvex::api {
namespace {

constexpr std::size_t kLongestLine = 1000;  // 998 octets and CR LF

// The message's lines with their offsets, read in pieces.
class LineReader {
 public:
  LineReader(const MailSpool& message, std::uint64_t size) : file_(message.File(), 0, size) {}
  // The next line without CR LF; false at the end, or on a line too long
  // or unreadable (`bad`).
  bool Next(std::string& line, std::uint64_t& at) {
    for (;;) {
      const std::size_t lf = buf_.find('\n', pos_);
      if (lf != std::string::npos) {
        at = offset_;
        line.assign(buf_, pos_, lf - pos_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        offset_ += lf + 1 - pos_;
        pos_ = lf + 1;
        return true;
      }
      if (buf_.size() - pos_ > kLongestLine || file_.Failed() || file_.Done()) {
        bad = file_.Failed() || buf_.size() > pos_;
        return false;
      }
      buf_.erase(0, pos_);
      pos_ = 0;
      char piece[16 * 1024];
      buf_.append(piece, file_.Fill(piece, sizeof piece));
    }
  }
  bool bad = false;

 private:
  FileSource file_;
  std::string buf_;
  std::size_t pos_ = 0;
  std::uint64_t offset_ = 0;
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The attachment's name from its part head (unfolded): the RFC 2231
// filename* (its pieces joined, percent escapes decoded, UTF-8), else the
// quoted name= (ASCII).
std::string PartName(const std::string& head) {
  std::string joined;
  for (std::size_t at = head.find("filename*"); at != std::string::npos;
       at = head.find("filename*", at + 1)) {
    const std::size_t eq = head.find('=', at);
    if (eq == std::string::npos) break;
    std::size_t end = head.find_first_of("; \t\n", eq + 1);
    if (end == std::string::npos) end = head.size();
    joined += head.substr(eq + 1, end - eq - 1);
  }
  if (!joined.empty()) {
    const std::size_t tag = joined.find("''");
    if (tag != std::string::npos) joined.erase(0, tag + 2);
    std::string name;
    for (std::size_t i = 0; i < joined.size(); ++i) {
      if (joined[i] == '%' && i + 2 < joined.size() && HexValue(joined[i + 1]) >= 0 &&
          HexValue(joined[i + 2]) >= 0) {
        name += static_cast<char>(HexValue(joined[i + 1]) * 16 + HexValue(joined[i + 2]));
        i += 2;
      } else {
        name += joined[i];
      }
    }
    return name;
  }
  const std::size_t open = head.find("name=\"");
  if (open == std::string::npos) return "attachment";
  std::string name;
  for (std::size_t i = open + 6; i < head.size() && head[i] != '"'; ++i) {
    if (head[i] == '\\' && i + 1 < head.size()) ++i;
    name += head[i];
  }
  return name;
}

// One request of the large way; the reply, or nothing when given up.
struct Step {
  Https& https;
  const RunState& st;
  std::optional<HttpsReply> Call(HttpsCall call) {
    call.target.caPem = st.Submit.caPem;
    call.target.proxy = &st.Submit.proxy;  // #PRX, as for the token requests
    HttpsReply reply = https.Send(call);
    if (reply.cancelled) return std::nullopt;
    return reply;
  }
  HttpsCall Post(const std::string& url, const char* type, ByteSource* body, std::uint64_t length) {
    HttpsCall call;
    call.target.url = url;
    call.target.totalSeconds = 60 + static_cast<int>(length / (100 * 1024));
    call.bearer = &st.Submit.oauth.accessToken;
    call.headers = {std::string("Content-Type: ") + type};
    call.body = body;
    call.bodyLength = length;
    return call;
  }
};

bool Success(const HttpsReply& reply) {
  return reply.done && reply.status >= 200 && reply.status < 300;
}

// The JSON reply's string `name`, "" when it has none.
std::string JsonString(const HttpsReply& reply, const char* name) {
  const nlohmann::json json = nlohmann::json::parse(reply.body.View(), nullptr, false);
  if (!json.is_object()) return {};
  const auto it = json.find(name);
  return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Reads at most `limit` bytes of another source.
class Limited final : public ByteSource {
 public:
  Limited(ByteSource& inner, std::uint64_t limit) : inner_(inner), left_(limit) {}
  std::size_t Fill(char* buf, std::size_t cap) override {
    const std::size_t n =
        inner_.Fill(buf, static_cast<std::size_t>(std::min<std::uint64_t>(cap, left_)));
    left_ -= n;
    if (n == 0 && left_ > 0) short_ = true;
    return n;
  }
  bool Done() const override { return left_ == 0; }
  bool Failed() const override { return short_ || inner_.Failed(); }

 private:
  ByteSource& inner_;
  std::uint64_t left_;
  bool short_ = false;
};

}  // namespace

std::vector<ByteRange> UploadRanges(std::uint64_t size) {
  std::vector<ByteRange> ranges;
  for (std::uint64_t first = 0; first < size; first += kLargestRange) {
    ranges.push_back({first, std::min(size, first + kLargestRange) - 1});
  }
  return ranges;
}

std::optional<AttachmentLayout> FindAttachments(const MailSpool& message, std::uint64_t size) {
  const std::string boundary(mime::kDelimiter.substr(0, mime::kDelimiter.size() - 2));
  const std::string closing = boundary + "--";
  LineReader lines(message, size);
  AttachmentLayout layout;
  std::string line;
  std::uint64_t at = 0;
  int parts = 0;
  bool more = lines.Next(line, at);
  while (more && line != boundary) more = lines.Next(line, at);  // the message's head
  while (more && line == boundary) {
    const std::uint64_t partStart = at;
    ++parts;
    std::string head;
    while ((more = lines.Next(line, at)) && !line.empty()) {
      if (line[0] != ' ' && line[0] != '\t') head += '\n';
      head += line;
    }
    const std::uint64_t bodyStart = at + 2;
    std::uint64_t chars = 0;
    std::uint64_t pads = 0;
    while ((more = lines.Next(line, at)) && line != boundary && line != closing) {
      chars += line.size();
      pads = static_cast<std::uint64_t>(std::count(line.begin(), line.end(), '='));
    }
    const bool base64 = head.find("Content-Transfer-Encoding: base64") != std::string::npos;
    if (parts > 1 && base64 && head.find("name") != std::string::npos) {
      if (layout.attachments.empty()) layout.draftEnd = partStart;
      if (chars % 4 != 0) return std::nullopt;
      layout.attachments.push_back({PartName(head), bodyStart, at, chars / 4 * 3 - pads});
    } else if (!layout.attachments.empty()) {
      return std::nullopt;  // only attachments after the first one
    }
  }
  if (lines.bad || layout.attachments.empty() || line != closing) return std::nullopt;
  return layout;
}

std::size_t Base64Decoder::Fill(char* buf, std::size_t cap) {
  std::size_t n = 0;
  while (n < cap) {
    if (pos_ == out_.size()) {
      if (text_.Done() || failed_) break;
      out_.clear();
      pos_ = 0;
      char piece[16 * 1024];
      const std::size_t got = text_.Fill(piece, sizeof piece);
      if (got == 0) break;
      for (std::size_t i = 0; i < got; ++i) {
        if (piece[i] != '\r' && piece[i] != '\n') quad_ += piece[i];
      }
      const std::size_t whole = text_.Done() ? quad_.size() : quad_.size() / 4 * 4;
      std::optional<std::string> bytes = DecodeBase64(std::string_view(quad_).substr(0, whole));
      if (!bytes) {
        failed_ = true;
        break;
      }
      out_ = std::move(*bytes);
      quad_.erase(0, whole);
      continue;
    }
    const std::size_t k = std::min(cap - n, out_.size() - pos_);
    std::memcpy(buf + n, out_.data() + pos_, k);
    pos_ += k;
    n += k;
  }
  return n;
}

std::optional<DeliveryEnd> SendLargeByGraph(Https& https, const RunState& st,
                                            const AttachmentLayout& layout) {
  const Submission& s = st.Submit;
  const SecretRegistry& secrets = s.secrets;
  const std::string messages = GraphMessagesUrl(s);
  Step step{https, st};
  const auto refused = [&](const HttpsReply& reply) {
    return std::optional<DeliveryEnd>(Refusal(Via::Graph, reply, secrets));
  };
  // The draft: the message up to its first attachment, closed.
  const std::string bcc = BccLine(st);
  std::string close(mime::kDelimiter.substr(0, mime::kDelimiter.size() - 2));
  close += "--\r\n";
  const std::uint64_t draftSize = bcc.size() + layout.draftEnd + close.size();
  UploadSource draft(bcc, st.MailData, layout.draftEnd, close);
  Base64Source draftText(draft);
  std::optional<HttpsReply> reply = step.Call(
      step.Post(messages, "text/plain", &draftText, Base64Length(draftSize, kBase64OneLine)));
  if (!reply) return std::nullopt;
  const std::string id = Success(*reply) ? JsonString(*reply, "id") : "";
  if (!Success(*reply)) return refused(*reply);
  if (id.empty()) {
    return DeliveryEnd{SmtpStep::API_REQUEST, FailureClass::Permanent,
                       "Microsoft Graph: the draft came back without an id"};
  }
  const std::string draftUrl = messages + "/" + PathSegment(id);
  for (const AttachmentPart& part : layout.attachments) {
    const nlohmann::json item = {{"AttachmentItem",
                                  {{"attachmentType", "file"},
                                   {"name", part.name},
                                   {"size", part.bytes},
                                   {"contentType", "application/octet-stream"}}}};
    const std::string json = item.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    StringSource jsonBody(json);
    reply = step.Call(step.Post(draftUrl + "/attachments/createUploadSession", "application/json",
                                &jsonBody, json.size()));
    if (!reply) return std::nullopt;
    if (!Success(*reply)) return refused(*reply);
    const std::string uploadUrl = JsonString(*reply, "uploadUrl");
    if (!IsHttpsUrl(uploadUrl)) {
      return DeliveryEnd{SmtpStep::API_REQUEST, FailureClass::Permanent,
                         "Microsoft Graph: the upload session has no https:// uploadUrl"};
    }
    FileSource text(st.MailData.File(), part.base64Begin, part.base64End - part.base64Begin);
    Base64Decoder bytes(text);
    for (const ByteRange& range : UploadRanges(part.bytes)) {
      Limited piece(bytes, range.last - range.first + 1);
      HttpsCall put =
          step.Post(uploadUrl, "application/octet-stream", &piece, range.last - range.first + 1);
      put.method = "PUT";
      put.bearer = nullptr;  // the upload URL carries its own authority
      put.headers.push_back("Content-Range: bytes " + std::to_string(range.first) + "-" +
                            std::to_string(range.last) + "/" + std::to_string(part.bytes));
      reply = step.Call(std::move(put));
      if (!reply) return std::nullopt;
      if (!Success(*reply)) return refused(*reply);
    }
  }
  HttpsCall send = step.Post(draftUrl + "/send", "text/plain", nullptr, 0);
  send.headers.clear();
  reply = step.Call(std::move(send));
  if (!reply) return std::nullopt;
  if (reply->done && reply->status == 202) return DeliveryEnd{};
  return refused(*reply);
}

}  // namespace tolvex::api
