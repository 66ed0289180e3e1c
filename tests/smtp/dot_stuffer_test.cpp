#include "smtp/dot_stuffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/string_source.hpp"

namespace tolvex {
namespace {

// A message source that hands out at most `piece` bytes per call and may
// fail after `failAfter` bytes.
class Dribble final : public ByteSource {
 public:
  Dribble(std::string_view data, std::size_t piece, std::size_t failAfter = std::string::npos)
      : data_(data), piece_(piece), failAfter_(failAfter) {}
  std::size_t Fill(char* buf, std::size_t cap) override {
    if (pos_ >= failAfter_) {
      failed_ = true;
      return 0;
    }
    const std::size_t n = std::min({cap, piece_, data_.size() - pos_, failAfter_ - pos_});
    std::memcpy(buf, data_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool Done() const override { return pos_ == data_.size(); }
  bool Failed() const override { return failed_; }

 private:
  std::string_view data_;
  std::size_t piece_;
  std::size_t failAfter_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

// Drains the stuffer with the given repeating chunk sizes (0 allowed),
// reading the message `piece` bytes at a time.
std::string Drain(std::string_view data, const std::vector<std::size_t>& sizes,
                  std::size_t piece = std::string::npos) {
  Dribble source(data, piece);
  DotStuffer stuffer(source, data.size());
  std::string out;
  std::size_t round = 0;
  int idle = 0;
  while (!stuffer.Done()) {
    const std::size_t cap = sizes[round++ % sizes.size()];
    std::string buf(cap, '\0');
    const std::size_t n = stuffer.Fill(buf.data(), cap);
    EXPECT_LE(n, cap);
    if (n == 0 && ++idle > 1000) {
      ADD_FAILURE() << "no progress";
      break;
    }
    out.append(buf, 0, n);
  }
  char spare[4];
  EXPECT_EQ(stuffer.Fill(spare, sizeof spare), 0u) << "bytes after Done()";
  return out;
}

std::string Whole(std::string_view data) { return Drain(data, {1 << 16}); }

TEST(DotStuffer, DoublesDotsAtLineStartsAndEndsTheData) {
  EXPECT_EQ(Whole("a\r\n.b\r\n"), "a\r\n..b\r\n.\r\n");
  EXPECT_EQ(Whole(".start\r\n"), "..start\r\n.\r\n");
  // A message line that is just "." is doubled; only the stuffer's own ends.
  EXPECT_EQ(Whole("x\r\n.\r\ny\r\n"), "x\r\n..\r\ny\r\n.\r\n");
  EXPECT_EQ(Whole("x\r\n.\r\n"), "x\r\n..\r\n.\r\n");
  EXPECT_EQ(Whole("x\r\n..\r\n"), "x\r\n...\r\n.\r\n");
  EXPECT_EQ(Whole("a.b\r\nc.d.\r\n"), "a.b\r\nc.d.\r\n.\r\n");
  EXPECT_EQ(Whole(""), ".\r\n");
}

TEST(DotStuffer, LoneCrAndLfBecomeCrLfAndTheLastLineIsEnded) {
  // A receiver that ends the data at LF "." LF must never see one: the
  // lines after it would be taken as commands.
  EXPECT_EQ(Whole("a\n.\nMAIL FROM:x\r\n"), "a\r\n..\r\nMAIL FROM:x\r\n.\r\n");
  EXPECT_EQ(Whole("a\n.b\r.c\r\n"), "a\r\n..b\r\n..c\r\n.\r\n");
  EXPECT_EQ(Whole("a\r\r\n.b\r\n"), "a\r\n\r\n..b\r\n.\r\n");
  EXPECT_EQ(Whole("end\r"), "end\r\n.\r\n");
  EXPECT_EQ(Whole("a\r\n."), "a\r\n..\r\n.\r\n");
  EXPECT_EQ(Whole("a\r\n.\r\n.x"), "a\r\n..\r\n..x\r\n.\r\n");
}

TEST(DotStuffer, ShiftJisBytesPassUnchanged) {
  // 表 and ソ carry 0x5C, 十 too; none of it is touched.
  const std::string data = "\x95\x5C\r\n.\x83\x5C\x8F\x5C\r\n";
  EXPECT_EQ(Whole(data), "\x95\x5C\r\n..\x83\x5C\x8F\x5C\r\n.\r\n");
}

TEST(DotStuffer, ChunkBoundariesAnywhereGiveTheSameStream) {
  const std::string data = ".a\r\n.\r\n\r\n..b\rc\n.\r\r\n.d";
  const std::string expected = "..a\r\n..\r\n\r\n...b\r\nc\r\n..\r\n\r\n..d\r\n.\r\n";
  ASSERT_EQ(Whole(data), expected);
  for (std::size_t size = 1; size <= data.size() + 2; ++size) {
    EXPECT_EQ(Drain(data, {size}), expected) << "chunk size " << size;
  }
  // Uneven sizes, zero-size chunks among them, cut between CR, LF and ".".
  EXPECT_EQ(Drain(data, {0, 1, 2, 0, 3}), expected);
  EXPECT_EQ(Drain(data, {2, 0, 1}), expected);
  EXPECT_EQ(Drain(data, {5, 1, 0, 7}), expected);
}

TEST(DotStuffer, MessageReadInSmallPiecesGivesTheSameStream) {
  const std::string data = ".a\r\n.\r\n\r\n..b\rc\n.\r\r\n.d";
  const std::string expected = Whole(data);
  for (std::size_t piece = 1; piece <= 4; ++piece) {
    EXPECT_EQ(Drain(data, {3}, piece), expected) << "piece " << piece;
    EXPECT_EQ(Drain(data, {1}, piece), expected) << "piece " << piece;
  }
}

TEST(DotStuffer, SourceThatFailsStopsTheStream) {
  const std::string data = "line one\r\nline two\r\n.\r\n";
  Dribble source(data, 4, 10);
  DotStuffer stuffer(source, data.size());
  char buf[64];
  std::string out;
  for (int i = 0; i < 10; ++i) out.append(buf, stuffer.Fill(buf, sizeof buf));
  EXPECT_EQ(out, "line one\r\n");
  EXPECT_TRUE(stuffer.Failed());
  EXPECT_FALSE(stuffer.Done());
  // A source that ends before the size it was given fails the same way.
  StringSource shorter("abc");
  DotStuffer cut(shorter, 10);
  EXPECT_EQ(cut.Fill(buf, sizeof buf), 3u);
  EXPECT_EQ(cut.Fill(buf, sizeof buf), 0u);
  EXPECT_TRUE(cut.Failed());
}

TEST(DotStuffer, ZeroCapacityWritesNothingAndKeepsPosition) {
  StringSource source(".");
  DotStuffer stuffer(source, 1);
  EXPECT_EQ(stuffer.Fill(nullptr, 0), 0u);
  EXPECT_FALSE(stuffer.Done());
  char buf[8];
  EXPECT_EQ(stuffer.Fill(buf, sizeof buf), 7u);
  EXPECT_EQ(std::string(buf, 7), "..\r\n.\r\n");
  EXPECT_TRUE(stuffer.Done());
}

TEST(DotStuffer, LargeMessageStreamsInFixedChunks) {
  std::string data;
  data.reserve(200000);
  for (int i = 0; i < 20000; ++i) data += (i % 3 == 0) ? ".line\r\n" : "text\r\n";
  const std::string out = Drain(data, {4096});
  EXPECT_EQ(out.size(), data.size() + 6667 + 3);
  EXPECT_TRUE(out.ends_with("text\r\n.\r\n"));
}

// RFC 1870's size: what the stuffer sends less its doubled dots and the
// end-of-data line, however the source hands the bytes out.
TEST(DotStuffer, OctetsOnTheWireCountNeitherDoubledDotsNorTheEnd) {
  const struct {
    std::string message;
    std::uint64_t octets;
  } cases[] = {
      {"", 0},
      {"a\r\n", 3},
      {".\r\n..\r\n.b\r\n", 11},  // doubled dots not counted
      {"x\ny\rz\r\n", 9},         // a lone LF or CR goes out as CR LF
      {"\x95\x5C\x83\x5C", 6},    // the last line ended by the stuffer
      {"end\r", 5},               // a CR at the very end: one line end
      {std::string(290, 'x'), 292},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 20));
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::string::npos}) {
      Dribble source(c.message, piece);
      EXPECT_EQ(OctetsOnTheWire(source, c.message.size()), c.octets);
    }
    // The same count from the stuffer's own output.
    const std::string wire = Whole(c.message);
    std::size_t doubled = wire.starts_with("..") ? 1 : 0;
    for (std::size_t at = wire.find("\r\n.."); at != std::string::npos;
         at = wire.find("\r\n..", at + 1))
      ++doubled;
    EXPECT_EQ(wire.size() - 3 - doubled, c.octets);
  }
  Dribble failing("abc\r\n", 2, 3);
  EXPECT_EQ(OctetsOnTheWire(failing, 5), std::nullopt);
  Dribble shorter("ab", 8);
  EXPECT_EQ(OctetsOnTheWire(shorter, 5), std::nullopt);
}

}  // namespace
}  // namespace tolvex
