// SMTP transparency for the message, applied on the way to the socket: the
// composed message is read from its source piece by piece and never copied
// whole.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/platform.hpp"

namespace tolvex {

// Streams the `size` bytes of `message` as the wire carries them, then ends
// the data: every line end as CR LF (a CR alone or an LF alone becomes
// CR LF), a "." doubled at the start of the data and of every line, every
// other byte copied as is; after the message a CR LF when its last line has
// none, then the end-of-data line "." CR LF.
class DotStuffer final : public ByteSource {
 public:
  DotStuffer(ByteSource& message, std::uint64_t size);

  std::size_t Fill(char* buf, std::size_t cap) override;
  bool Done() const override;
  bool Failed() const override { return failed_; }

 private:
  // Makes at least `want` input bytes available (fewer at the end of the
  // message); false when the source failed or ended early.
  bool Refill(std::size_t want);

  ByteSource& message_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;  // message offset of in_[inPos_]
  std::vector<char> in_;
  std::size_t inPos_ = 0;
  std::size_t inLen_ = 0;
  bool lineStart_ = true;
  bool afterCr_ = false;  // a CR was read; its line end is not out yet
  bool ended_ = false;    // the end-of-data line is out (or in pend_)
  bool failed_ = false;
  std::array<char, 8> pend_{};  // output that did not fit the caller's buffer
  std::size_t pendLen_ = 0;
};

// The size of the `size` bytes of `message` as DotStuffer sends them, less
// the doubled dots and the end-of-data line: what RFC 1870 calls the
// message's size (every line end two octets, a CR LF added to a last line
// without one). Nullopt when the source fails or ends early.
std::optional<std::uint64_t> OctetsOnTheWire(ByteSource& message, std::uint64_t size);

}  // namespace tolvex
