// Each state's handler alone: the session is put in a state with a reply
// (or none) waiting, one tick runs that state's handler, and the test reads
// where it went, what it sent on entry, or the state it ended in.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/session_rig.hpp"

namespace tolvex::test {
namespace {

using enum SmtpStep;

enum class Mode { Plain, StartTls, ImplicitTls, Probe };

struct Row {
  const char* name;
  Mode mode;
  SmtpStep from;
  std::string reply;  // RecvData before the tick
  bool sendBusy;
  SmtpStep to;       // the state after the tick, or the state logged
  bool ended;        // the session ended in the tick, logging `to`
  std::string sent;  // the call made on entry ("" when none)
  int recipients = 1;
};

const std::string kEhloTls = "250-mail.example\r\n250 STARTTLS\r\n";
const std::string kEhloAuth = "250-mail.example\r\n250-SIZE 40\r\n250 AUTH LOGIN PLAIN\r\n";

const std::vector<Row> kRows = {
    {"start connects", Mode::Plain, smtpSTART, "", false, AWAIT_CONNECTION, false, "Connect"},
    {"connection waits for its event", Mode::Plain, AWAIT_CONNECTION, "", false, AWAIT_CONNECTION,
     false, ""},
    {"greeting", Mode::Plain, AWAIT_GREETING, "220 hi\r\n", false, AWAIT_HELLO_TRANSFER, false,
     "HELO desk1\r\n"},
    {"greeting refused", Mode::Plain, AWAIT_GREETING, "554 no\r\n", false, AWAIT_GREETING, true,
     ""},
    {"no reply yet", Mode::Plain, AWAIT_GREETING, "", false, AWAIT_GREETING, false, ""},
    {"send under way", Mode::Plain, AWAIT_HELLO_TRANSFER, "", true, AWAIT_HELLO_TRANSFER, false,
     ""},
    {"send complete", Mode::Plain, AWAIT_HELLO_TRANSFER, "", false, AWAIT_HELLO_RESPONSE, false,
     ""},
    {"helo accepted", Mode::Plain, AWAIT_HELLO_RESPONSE, "250 ok\r\n", false,
     AWAIT_MAIL_FROM_TRANSFER, false, "MAIL FROM:<a@example.jp>\r\n"},
    {"sender accepted", Mode::Plain, AWAIT_MAIL_FROM_RESPONSE, "250 ok\r\n", false,
     AWAIT_RCPT_TO_TRANSFER, false, "RCPT TO:<to@example.jp>\r\n"},
    {"sender refused", Mode::Plain, AWAIT_MAIL_FROM_RESPONSE, "553 no\r\n", false,
     AWAIT_MAIL_FROM_RESPONSE, true, ""},
    {"next recipient judged in 140", Mode::Plain, AWAIT_RCPT_TO_RESPONSE, "", false,
     AWAIT_MAIL_FROM_RESPONSE, false, "", 2},
    {"last recipient accepted", Mode::Plain, AWAIT_RCPT_TO_RESPONSE, "250 ok\r\n", false,
     AWAIT_DATA1_TRANSFER, false, "DATA\r\n"},
    {"data", Mode::Plain, AWAIT_DATA_RESPONSE, "354 go\r\n", false, AWAIT_DATA_TRANSFER, false,
     "<message>"},
    {"message accepted on a later line", Mode::Plain, AWAIT_DATA_TRANSFER_RESPONSE,
     "500 x\r\n250 ok\r\n", false, AWAIT_QUIT_TRANSFER, false, "QUIT\r\n"},
    {"message refused flags 999", Mode::Plain, AWAIT_DATA_TRANSFER_RESPONSE,
     "552 size 2500 exceeded\r\n", false, FAILED, false, ""},
    {"quit", Mode::Plain, AWAIT_QUIT_RESPONSE, "221 bye\r\n", false, EXIT, false, ""},
    {"exit", Mode::Plain, EXIT, "221 bye\r\n", false, IDLE, false, ""},
    {"idle ends", Mode::Plain, IDLE, "", false, IDLE, true, ""},
    {"999 ends", Mode::Plain, FAILED, "", false, FAILED, true, ""},
    {"a submission state is unknown to the plain session", Mode::Plain, AWAIT_AUTH_RESPONSE,
     "235 ok\r\n", false, AWAIT_AUTH_RESPONSE, true, ""},
    {"ehlo offers STARTTLS", Mode::StartTls, AWAIT_HELLO_RESPONSE, kEhloTls, false,
     AWAIT_STARTTLS_TRANSFER, false, "STARTTLS\r\n"},
    {"ehlo without STARTTLS", Mode::StartTls, AWAIT_HELLO_RESPONSE, "250 ok\r\n", false,
     AWAIT_STARTTLS_RESPONSE, true, ""},
    {"starttls accepted", Mode::StartTls, AWAIT_STARTTLS_RESPONSE, "220 go\r\n", false,
     AWAIT_TLS_HANDSHAKE, false, "StartTls"},
    {"handshake done: ehlo again", Mode::StartTls, AWAIT_TLS_HANDSHAKE, "", false,
     AWAIT_EHLO_TLS_TRANSFER, false, "EHLO desk1\r\n"},
    {"handshake under way", Mode::StartTls, AWAIT_TLS_HANDSHAKE, "", true, AWAIT_TLS_HANDSHAKE,
     false, ""},
    {"implicit TLS: the greeting next", Mode::ImplicitTls, AWAIT_TLS_HANDSHAKE, "", false,
     AWAIT_GREETING, false, ""},
    {"ehlo offers AUTH PLAIN", Mode::ImplicitTls, AWAIT_HELLO_RESPONSE,
     "250-x\r\n250 AUTH LOGIN PLAIN\r\n", false, AWAIT_AUTH_TRANSFER, false,
     "AUTH PLAIN AHlhbWFkYQBzZWNyZXQ=\r\n"},
    {"no mechanism allowed", Mode::ImplicitTls, AWAIT_HELLO_RESPONSE, "250 AUTH CRAM-MD5\r\n",
     false, AUTH_MECHANISM, true, ""},
    {"larger than SIZE", Mode::ImplicitTls, AWAIT_EHLO_TLS_RESPONSE, kEhloAuth, false,
     SIZE_EXCEEDED, true, ""},
    {"auth accepted", Mode::ImplicitTls, AWAIT_AUTH_RESPONSE, "235 ok\r\n", false,
     AWAIT_MAIL_FROM_TRANSFER, false, "MAIL FROM:<a@example.jp>\r\n"},
    {"auth refused", Mode::ImplicitTls, AWAIT_AUTH_RESPONSE, "535 no\r\n", false,
     AWAIT_AUTH_RESPONSE, true, ""},
    {"a probe resets the envelope", Mode::Probe, AWAIT_RCPT_TO_RESPONSE, "250 ok\r\n", false,
     AWAIT_RSET_TRANSFER, false, "RSET\r\n"},
    {"a probe quits after RSET", Mode::Probe, AWAIT_RSET_RESPONSE, "250 ok\r\n", false,
     AWAIT_QUIT_TRANSFER, false, "QUIT\r\n"},
    {"999 ends under submission", Mode::ImplicitTls, FAILED, "", false, FAILED, true, ""},
};

class Handler : public ::testing::TestWithParam<Row> {};

TEST_P(Handler, GoesWhereItsStateSays) {
  const Row& row = GetParam();
  SessionRig rig;
  rig.st.LocalName = "desk1";
  rig.st.FromAddr = "a@example.jp";
  rig.SetMail(std::string(100, 'x') + "\r\n.\r\n");  // larger than SIZE 40
  rig.Recipients(
      std::vector<std::string>(static_cast<std::size_t>(row.recipients), "to@example.jp"));
  rig.session.SetProbe(row.mode == Mode::Probe);
  if (row.mode == Mode::StartTls || row.mode == Mode::ImplicitTls) {
    rig.st.Submit.security = row.mode == Mode::StartTls ? Security::StartTls : Security::Tls;
    rig.st.Submit.user = "yamada";
    rig.st.Submit.password.Assign("secret");
  }
  rig.session.PutInState(row.from, row.reply, row.sendBusy);
  rig.tmrSMTP.SetEnabled(true);
  const std::size_t callsBefore = rig.socket.calls.size();

  EXPECT_EQ(rig.session.tmrSMTP_Timer(), row.ended);

  if (row.ended) {
    ASSERT_FALSE(rig.host.empty());
    EXPECT_EQ(rig.host.front().step, row.to);
    EXPECT_EQ(rig.session.Step(), IDLE);
  } else {
    EXPECT_TRUE(rig.host.empty());
    EXPECT_EQ(rig.session.Step(), row.to);
  }
  // Only the entry of the new state sends; closing on an end is not a send.
  std::string sent;
  for (std::size_t k = callsBefore; k < rig.socket.calls.size(); ++k) {
    const auto& call = rig.socket.calls[k];
    if (call.what == "Close") continue;
    sent += call.what == "SendData"          ? call.text
            : call.what == "SendMessageData" ? std::string("<message>")
                                             : call.what;
  }
  EXPECT_EQ(sent, row.sent);
}

INSTANTIATE_TEST_SUITE_P(EveryState, Handler, ::testing::ValuesIn(kRows), [](const auto& info) {
  std::string name;
  for (const char* c = info.param.name; *c; ++c)
    name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
});

}  // namespace
}  // namespace tolvex::test
