#include "smtp/dot_stuffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvex {
namespace {

// Drains the stuffer with the given repeating chunk sizes (0 allowed).
std::string Drain(std::string_view data, const std::vector<std::size_t>& sizes) {
  DotStuffer stuffer(data);
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

TEST(DotStuffer, DoublesDotsAtLineStartsButNotTheTerminator) {
  EXPECT_EQ(Whole("a\r\n.b\r\n.\r\n"), "a\r\n..b\r\n.\r\n");
  EXPECT_EQ(Whole(".start\r\n.\r\n"), "..start\r\n.\r\n");
  // A body line that is just "." is doubled; only the last one terminates.
  EXPECT_EQ(Whole("x\r\n.\r\ny\r\n.\r\n"), "x\r\n..\r\ny\r\n.\r\n");
  EXPECT_EQ(Whole("x\r\n..\r\n.\r\n"), "x\r\n...\r\n.\r\n");
  // The terminator alone is the whole data.
  EXPECT_EQ(Whole(".\r\n"), ".\r\n");
}

TEST(DotStuffer, LeavesLoneCrLfAndInnerDotsAlone) {
  EXPECT_EQ(Whole("a\n.b\r.c\r\n"), "a\n.b\r.c\r\n");
  EXPECT_EQ(Whole("a.b\r\nc.d.\r\n.\r\n"), "a.b\r\nc.d.\r\n.\r\n");
  EXPECT_EQ(Whole("a\r\r\n.b\r\n.\r\n"), "a\r\r\n..b\r\n.\r\n");
  EXPECT_EQ(Whole(""), "");
}

TEST(DotStuffer, DataWithoutTerminatorIsStuffedThroughout) {
  EXPECT_EQ(Whole("a\r\n.\r\n.x"), "a\r\n..\r\n..x");
  EXPECT_EQ(Whole("a\r\n."), "a\r\n..");
  EXPECT_EQ(Whole("a.\r\n"), "a.\r\n");
}

TEST(DotStuffer, ShiftJisBytesPassUnchanged) {
  // 表 and ソ carry 0x5C, 十 too; none of it is touched.
  const std::string data = "\x95\x5C\r\n.\x83\x5C\x8F\x5C\r\n.\r\n";
  EXPECT_EQ(Whole(data), "\x95\x5C\r\n..\x83\x5C\x8F\x5C\r\n.\r\n");
}

TEST(DotStuffer, ChunkBoundariesAnywhereGiveTheSameStream) {
  const std::string data = ".a\r\n.\r\n\r\n..b\rc\n.\r\r\n.d\r\n.\r\n";
  const std::string expected = "..a\r\n..\r\n\r\n...b\rc\n.\r\r\n..d\r\n.\r\n";
  ASSERT_EQ(Whole(data), expected);
  for (std::size_t size = 1; size <= data.size() + 2; ++size) {
    EXPECT_EQ(Drain(data, {size}), expected) << "chunk size " << size;
  }
  // Uneven sizes, zero-size chunks among them, cut between CR, LF and ".".
  EXPECT_EQ(Drain(data, {0, 1, 2, 0, 3}), expected);
  EXPECT_EQ(Drain(data, {2, 0, 1}), expected);
  EXPECT_EQ(Drain(data, {5, 1, 0, 7}), expected);
}

TEST(DotStuffer, ZeroCapacityWritesNothingAndKeepsPosition) {
  DotStuffer stuffer(".\r\n");
  EXPECT_EQ(stuffer.Fill(nullptr, 0), 0u);
  EXPECT_FALSE(stuffer.Done());
  char buf[8];
  EXPECT_EQ(stuffer.Fill(buf, sizeof buf), 3u);
  EXPECT_EQ(std::string(buf, 3), ".\r\n");
  EXPECT_TRUE(stuffer.Done());
}

TEST(DotStuffer, StuffedSizeMatchesTheStream) {
  for (std::string_view data :
       {std::string_view(""), std::string_view(".\r\n"), std::string_view(".a\r\n.\r\n.\r\n"),
        std::string_view("a\r\n.\r\n."), std::string_view("a\r\n..\r\n.\r\n"),
        std::string_view("plain\r\n.\r\n")}) {
    EXPECT_EQ(DotStuffer::StuffedSize(data), Whole(data).size()) << data;
  }
}

TEST(DotStuffer, LargeMessageStreamsInFixedChunks) {
  std::string data;
  data.reserve(200000);
  for (int i = 0; i < 20000; ++i) data += (i % 3 == 0) ? ".line\r\n" : "text\r\n";
  data += ".\r\n";
  const std::string out = Drain(data, {4096});
  EXPECT_EQ(out.size(), DotStuffer::StuffedSize(data));
  EXPECT_EQ(out.size(), data.size() + 6667);
  EXPECT_TRUE(out.ends_with("text\r\n.\r\n"));
}

}  // namespace
}  // namespace tolvex
