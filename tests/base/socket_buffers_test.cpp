// The buffers every socket shares: what the queue hands out and when a send
// counts as complete, and the bound on received bytes.
#include "base/socket_buffers.hpp"

#include <gtest/gtest.h>

#include <string>

#include "base/string_source.hpp"

namespace tolvex {
namespace {

// Hands everything queued over in pieces of at most `piece` bytes.
std::string DrainInPieces(SendQueue& q, std::size_t piece, int& completions) {
  std::string out;
  for (std::string_view p = q.Pending(); !p.empty(); p = q.Pending()) {
    const std::size_t n = std::min(piece, p.size());
    out.append(p.substr(0, n));
    q.Consume(n);
    completions += q.TakeCompleted();
  }
  completions += q.TakeCompleted();
  return out;
}

TEST(SendQueue, PartialHandOversCompleteEachSendOnceAfterItsLastByte) {
  SendQueue q(16);
  const std::string big(100, 'x');
  StringSource stream(big);
  q.PushText("HELO \r\n");
  q.PushSource(stream);
  q.PushText("");
  q.PushText("QUIT\r\n");
  int completions = 0;
  std::string_view first = q.Pending();
  ASSERT_EQ(first, "HELO \r\n");
  q.Consume(6);  // the LF is still out
  EXPECT_EQ(q.TakeCompleted(), 0);
  q.Consume(1);
  EXPECT_EQ(q.TakeCompleted(), 1);
  EXPECT_EQ(DrainInPieces(q, 5, completions), big + "QUIT\r\n");
  EXPECT_EQ(completions, 3);  // the stream, the empty text, QUIT
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.BytesAccepted(), 7 + 100 + 6u);
}

TEST(SendQueue, FailingStreamStopsTheQueueWithoutACompletion) {
  struct Broken final : ByteSource {
    std::size_t Fill(char*, std::size_t) override { return 0; }
    bool Done() const override { return false; }
    bool Failed() const override { return true; }
  } broken;
  SendQueue q;
  q.PushSource(broken);
  q.PushText("after\r\n");
  EXPECT_TRUE(q.Pending().empty());
  EXPECT_TRUE(q.Failed());
  EXPECT_EQ(q.TakeCompleted(), 0);
  q.Clear();
  EXPECT_FALSE(q.Failed());
  EXPECT_TRUE(q.Empty());
}

TEST(ReceiveBuffer, BoundedAndTakenInOrder) {
  ReceiveBuffer r(8);
  r.Append("abcde");
  EXPECT_EQ(r.Room(), 3u);
  r.Append("fgh");
  EXPECT_TRUE(r.Full());
  std::string out = "old";
  r.Take(out, 3);
  EXPECT_EQ(out, "abc");
  EXPECT_EQ(r.Room(), 3u);
  r.Append("ij");
  r.Take(out, 100);
  EXPECT_EQ(out, "defghij");
  EXPECT_EQ(r.Waiting(), 0u);
}

TEST(HostForResolver, StripsTheBracketsOfAnIpv6Literal) {
  EXPECT_EQ(HostForResolver("[::1]"), "::1");
  EXPECT_EQ(HostForResolver("::1"), "::1");
  EXPECT_EQ(HostForResolver("mail.example.jp"), "mail.example.jp");
  EXPECT_EQ(HostForResolver("[]"), "");
}

}  // namespace
}  // namespace tolvex
