// A backup server: which ends of a session move on to the next host of
// #HOS's list, and the cursor's pass through the list.
#include "smtp/failover.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvex {
namespace {

using enum SmtpStep;
using enum FailureClass;

TEST(Failover, WhichEndsMoveOn) {
  const struct {
    const char* name;
    DeliveryEnd end;
    bool failsOver;
  } cases[] = {
      {"connection refused", {FAILED, Temporary, "connection refused"}, true},
      {"connection lost", {FAILED, Temporary, "connection closed by the server"}, true},
      {"time-out", {FAILED, Temporary, ""}, true},
      {"421 greeting", {AWAIT_GREETING, Temporary, "421 busy"}, true},
      {"4xx EHLO", {AWAIT_HELLO_RESPONSE, Temporary, "451 later"}, true},
      {"421 to MAIL FROM", {AWAIT_MAIL_FROM_RESPONSE, Temporary, "421 closing"}, true},
      {"TLS cut", {AWAIT_TLS_HANDSHAKE, Temporary, "TLS: connection reset"}, true},
      {"proxy for now", {PROXY_REFUSED, Temporary, "host unreachable"}, true},
      {"delivered", {IDLE, None, ""}, false},
      {"550 recipient", {AWAIT_RCPT_TO_RESPONSE, Permanent, "550 no such user"}, false},
      {"554 greeting", {AWAIT_GREETING, Permanent, "554 go away"}, false},
      {"535 AUTH", {AWAIT_AUTH_RESPONSE, NoPermission, "535 bad credentials"}, false},
      {"certificate refused", {AWAIT_TLS_HANDSHAKE, NoPermission, "certificate refused"}, false},
      {"out of protocol", {AWAIT_GREETING, Protocol, "hello?"}, false},
      {"token request for now", {OAUTH_TOKEN, Temporary, "token endpoint 503"}, false},
      {"mail API for now", {API_REQUEST, Temporary, "429"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FailsOver(c.end), c.failsOver);
  }
  // Accepted, then lost: the message is the server's; sending it on would
  // deliver it twice.
  DeliveryEnd accepted{AWAIT_QUIT_RESPONSE, Temporary, "connection lost"};
  accepted.accepted = true;
  EXPECT_FALSE(FailsOver(accepted));
}

TEST(Failover, OnePassThroughTheList) {
  const std::vector<std::string> hosts = {"a.example", "b.example", "c.example"};
  const DeliveryEnd refused{FAILED, Temporary, "connection refused"};
  const DeliveryEnd delivered{};
  const DeliveryEnd rejected{AWAIT_RCPT_TO_RESPONSE, Permanent, "550 no"};
  HostCursor cursor;
  // Each temporary end moves on; the last host's ends the pass.
  const std::string* next = cursor.After(refused, hosts);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(*next, "b.example");
  next = cursor.After(refused, hosts);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(*next, "c.example");
  EXPECT_EQ(cursor.Index(), 2u);
  EXPECT_EQ(cursor.After(refused, hosts), nullptr);
  EXPECT_EQ(cursor.Index(), 0u);
  // A delivery or a permanent refusal on a backup ends the pass too.
  ASSERT_NE(cursor.After(refused, hosts), nullptr);
  EXPECT_EQ(cursor.After(delivered, hosts), nullptr);
  EXPECT_EQ(cursor.Index(), 0u);
  ASSERT_NE(cursor.After(refused, hosts), nullptr);
  EXPECT_EQ(cursor.After(rejected, hosts), nullptr);
  EXPECT_EQ(cursor.Index(), 0u);
  // One host: nothing to move on to.
  EXPECT_EQ(cursor.After(refused, {"a.example"}), nullptr);
  EXPECT_EQ(cursor.After(refused, {}), nullptr);
}

}  // namespace
}  // namespace tolvex
