// Graph's way for a message too large for one sendMail request (its Base64
// over 4 MB): a draft from the MIME without its attachments, each
// attachment through an upload session in byte ranges, then the draft
// sent. The attachments are read back from the composed message's own
// Base64 parts, decoded as they stream.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/https.hpp"
#include "base/mail_data.hpp"
#include "base/run_state.hpp"
#include "smtp/delivery_end.hpp"

namespace tolvex::api {

// More MIME than this goes the large way.
inline constexpr std::uint64_t kGraphSimpleLimit = 3 * 1024 * 1024;
// An upload range is a multiple of this, the last excepted.
inline constexpr std::uint64_t kRangeUnit = 320 * 1024;
// The largest range: the largest multiple of kRangeUnit within 4 MiB.
inline constexpr std::uint64_t kLargestRange = 4 * 1024 * 1024 / kRangeUnit * kRangeUnit;

struct ByteRange {
  std::uint64_t first = 0, last = 0;  // inclusive, as Content-Range writes them
  bool operator==(const ByteRange&) const = default;
};
// The ranges an attachment of `size` bytes is uploaded in.
std::vector<ByteRange> UploadRanges(std::uint64_t size);

struct AttachmentPart {
  std::string name;               // UTF-8
  std::uint64_t base64Begin = 0;  // the part's Base64 lines in the message
  std::uint64_t base64End = 0;
  std::uint64_t bytes = 0;  // decoded
};

// Where the composed message's attachments are: the offset of the first
// attachment's boundary line (the draft is what comes before, closed) and
// each attachment part. Nothing when the message has none, or cannot be
// read as the composer writes attachments.
struct AttachmentLayout {
  std::uint64_t draftEnd = 0;
  std::vector<AttachmentPart> attachments;
};
std::optional<AttachmentLayout> FindAttachments(const MailSpool& message, std::uint64_t size);

// The bytes a region of Base64 lines stands for (line ends skipped).
class Base64Decoder final : public ByteSource {
 public:
  explicit Base64Decoder(ByteSource& text) : text_(text) {}
  std::size_t Fill(char* buf, std::size_t cap) override;
  bool Done() const override { return text_.Done() && pos_ == out_.size(); }
  bool Failed() const override { return failed_ || text_.Failed(); }

 private:
  ByteSource& text_;
  std::string quad_;  // Base64 characters not yet decoded (fewer than 4)
  std::string out_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

// The large way (the token in st.Submit.oauth): the delivery's end, or
// nothing when given up as the run ends. A failure leaves the draft in
// the mailbox's Drafts.
std::optional<DeliveryEnd> SendLargeByGraph(Https& https, const RunState& st,
                                            const AttachmentLayout& layout);

}  // namespace tolvex::api
