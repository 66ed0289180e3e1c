// Gathering replies to their final line, and reading an EHLO reply.
#include <gtest/gtest.h>

#include "smtp/reply_gatherer.hpp"

namespace tolvex {
namespace {

TEST(ReplyGatherer, AReplyIsTakenOnlyOnceItsFinalLineIsWhole) {
  ReplyGatherer g;
  std::string out = "untouched";
  g.Add("250-one\r\n250-tw");
  EXPECT_FALSE(g.Take(out));
  g.Add("o\r\n250 three");
  EXPECT_FALSE(g.Take(out));
  EXPECT_EQ(out, "untouched");
  g.Add("\r\n");
  ASSERT_TRUE(g.Take(out));
  EXPECT_EQ(out, "250-one\r\n250-two\r\n250 three\r\n");
  EXPECT_TRUE(g.Empty());
}

TEST(ReplyGatherer, FinalLinesOfEveryForm) {
  for (const std::string reply :
       {"220\r\n", "354 go\n", "garbage\r\n", "25\r\n", "250-a\r\n250\r\n"}) {
    ReplyGatherer g;
    std::string out;
    g.Add(reply);
    ASSERT_TRUE(g.Take(out)) << reply;
    EXPECT_EQ(out, reply);
  }
}

TEST(ReplyGatherer, WhatFollowsAReplyWaitsForTheNextTake) {
  ReplyGatherer g;
  std::string out;
  g.Add("235 ok\r\n250-x\r\n");
  ASSERT_TRUE(g.Take(out));
  EXPECT_EQ(out, "235 ok\r\n");
  EXPECT_FALSE(g.Take(out));
  g.Add("250 y\r\n");
  ASSERT_TRUE(g.Take(out));
  EXPECT_EQ(out, "250-x\r\n250 y\r\n");
}

TEST(ReplyGatherer, AnEndlessReplyIsHandedOverAtTheLimit) {
  ReplyGatherer g;
  std::string out;
  std::string line = "250-" + std::string(96, 'x') + "\r\n";
  std::size_t added = 0;
  while (added < ReplyGatherer::kLimit - line.size()) {
    g.Add(line);
    added += line.size();
    ASSERT_FALSE(g.Take(out));
  }
  g.Add(line);
  ASSERT_TRUE(g.Take(out));
  EXPECT_EQ(out.size(), ReplyGatherer::kLimit);
  EXPECT_TRUE(g.Empty());
}

TEST(EhloReply, KeywordsAndAuthMechanisms) {
  const std::string reply =
      "250-mx.example Hello\r\n250-starttls\r\n250-AUTH=LOGIN\r\n250-AUTH plain  CRAM-MD5 LOGIN\r\n"
      "250 SIZE 100\r\n";
  EXPECT_TRUE(OffersKeyword(reply, "STARTTLS"));
  EXPECT_TRUE(OffersKeyword(reply, "SIZE"));
  EXPECT_FALSE(OffersKeyword(reply, "START"));
  EXPECT_FALSE(OffersKeyword(reply, "Hello"));  // the first line names the server
  EXPECT_EQ(AuthMechanisms(reply), (std::vector<std::string>{"LOGIN", "PLAIN", "CRAM-MD5"}));
  EXPECT_TRUE(AuthMechanisms("250-x\r\n250 8BITMIME\r\n").empty());
  EXPECT_FALSE(OffersKeyword("250 STARTTLS\r\n", "STARTTLS"));
}

}  // namespace
}  // namespace tolvex
