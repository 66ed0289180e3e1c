// The session's submission states alone against the scripted socket in
// virtual time: STARTTLS, implicit TLS, AUTH PLAIN and LOGIN, each failure
// state with what it logs, replies in pieces, the probe's course.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "encoding/jis_convert.hpp"
#include "smtp/envelope.hpp"
#include "support/session_rig.hpp"

namespace tolvex::test {
namespace {

const std::string kBeforeTls =
    "250-mail.example\r\n250-PIPELINING\r\n250-STARTTLS\r\n250 8BITMIME\r\n";
const std::string kUnderTls =
    "250-mail.example\r\n250-SIZE 10240000\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n";

// A submission server: EHLO answered with `before` until TLS, `under` after.
ServerScript Submission(std::string before = kBeforeTls, std::string under = kUnderTls) {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  auto answer = [accept](std::string ehlo) {
    return [accept, ehlo](const std::string& c) -> std::string {
      if (c.rfind("EHLO ", 0) == 0) return ehlo;
      if (c == "STARTTLS\r\n") return "220 2.0.0 ready\r\n";
      if (c.rfind("AUTH ", 0) == 0) return "235 2.7.0 ok\r\n";
      return accept(c);
    };
  };
  script.reply = answer(std::move(before));
  script.tlsReply = answer(std::move(under));
  return script;
}

struct Rig : SessionRig {
  explicit Rig(ServerScript script, Security security = Security::StartTls,
               std::string user = "yamada", std::string password = "p\x95\x5Cw")
      : SessionRig(std::move(script)) {
    st.LocalName = "desk1";
    SetMail("Subject: x\r\n\r\nbody\r\n.\r\n");
    st.Submit.security = security;
    st.Submit.user = std::move(user);
    st.Submit.password.Assign(password);
    st.Submit.host = "mail.example.jp";
    st.Submit.caPem = "-----BEGIN CERTIFICATE-----\r\n...";
  }
  const HostCall& Log() const { return host.at(0); }
};

TEST(SubmissionSession, StartTlsThenAuthPlainThenTheUsualDelivery) {
  Rig rig(Submission());
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE);
  EXPECT_EQ(rig.Steps(),
            (std::vector<int>{100, 110, 115, 120, 125, 130, 131, 132, 133, 134, 136, 138, 139,
                              135, 140, 145, 150, 155, 160, 170, 180, 190, 200, 210, 0}));
  // "\0yamada\0p表w" in Base64.
  EXPECT_EQ(rig.Commands(),
            (std::vector<std::string>{
                "EHLO desk1\r\n", "STARTTLS\r\n", "EHLO desk1\r\n",
                "AUTH PLAIN AHlhbWFkYQBwlVx3\r\n", "MAIL FROM:<DummySender> SIZE=20\r\n",
                "RCPT TO:<to@example.jp>\r\n", "DATA\r\n", "<message>", "QUIT\r\n"}));
  ASSERT_EQ(rig.socket.tlsRequests.size(), 1u);
  EXPECT_EQ(rig.socket.tlsRequests[0].host, "mail.example.jp");
  EXPECT_EQ(rig.socket.tlsRequests[0].caPem, rig.st.Submit.caPem);
  // TLS starts between STARTTLS and the second EHLO.
  std::vector<std::string> order;
  for (const auto& call : rig.socket.calls) order.push_back(call.what + ":" + call.text);
  const auto at = [&](const std::string& s) { return std::find(order.begin(), order.end(), s); };
  EXPECT_LT(at("SendData:STARTTLS\r\n"), at("StartTls:mail.example.jp"));
  EXPECT_LT(at("StartTls:mail.example.jp"), at("SendData:AUTH PLAIN AHlhbWFkYQBwlVx3\r\n"));
  // Sent once and not repeated: the secret is gone after AUTH.
  EXPECT_TRUE(rig.st.Submit.password.Empty());
}

// A server offering only LOGIN under TLS that answers AUTH LOGIN and the
// lines after it with `prompts`, one each; returns commands 4 to 6 of the
// delivered session.
std::vector<std::string> LoginSession(std::vector<std::string> prompts) {
  ServerScript script = Submission(kBeforeTls, "250-mail.example\r\n250 AUTH=LOGIN\r\n");
  auto under = script.tlsReply;
  const std::size_t count = prompts.size();
  script.tlsReply = [under, prompts, count,
                     n = std::size_t{0}](const std::string& c) mutable -> std::string {
    if (c.rfind("AUTH", 0) == 0 || (n > 0 && n < count)) return prompts[n++];
    return under(c);
  };
  Rig rig(script);
  rig.Start();
  EXPECT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << rig.Log().reply;
  const std::vector<std::string> commands = rig.Commands();
  if (commands.size() < 6) return commands;
  return std::vector<std::string>(commands.begin() + 3, commands.begin() + 6);
}

TEST(SubmissionSession, LoginWhenPlainIsNotOffered) {
  EXPECT_EQ(LoginSession({"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "235 2.7.0 ok\r\n"}),
            (std::vector<std::string>{"AUTH LOGIN\r\n", "eWFtYWRh\r\n", "cJVcdw==\r\n"}));
}

// A server that takes the user name as enough never sees the password.
TEST(SubmissionSession, LoginEndsAtA235WithoutSendingThePassword) {
  EXPECT_EQ(
      LoginSession({"334 VXNlcm5hbWU6\r\n", "235 2.7.0 ok\r\n"}),
      (std::vector<std::string>{"AUTH LOGIN\r\n", "eWFtYWRh\r\n", "MAIL FROM:<DummySender>\r\n"}));
}

// #AUT and #OAU against what the server offers: the AUTH line sent, or
// none at all (137) when nothing allowed is offered.
TEST(SubmissionSession, MechanismChosenByAutAndOffer) {
  // base64("user=yamada\1auth=Bearer t0k\1\1")
  const std::string xoauth2 = "AUTH XOAUTH2 dXNlcj15YW1hZGEBYXV0aD1CZWFyZXIgdDBrAQE=\r\n";
  // base64("n,a=yamada,\1host=mail.example.jp\1port=587\1auth=Bearer t0k\1\1")
  const std::string bearer =
      "AUTH OAUTHBEARER "
      "bixhPXlhbWFkYSwBaG9zdD1tYWlsLmV4YW1wbGUuanABcG9ydD01ODcBYXV0aD1CZWFyZXIgdDBrAQE=\r\n";
  const std::string plain = "AUTH PLAIN AHlhbWFkYQBwlVx3\r\n";
  const struct {
    AuthChoice aut;
    bool oauth;
    const char* offered;
    std::string sent;  // "" = ends in 137 with nothing sent
  } cases[] = {
      {AuthChoice::Auto, true, "PLAIN OAUTHBEARER XOAUTH2", xoauth2},
      {AuthChoice::Auto, true, "PLAIN OAUTHBEARER", bearer},
      {AuthChoice::Auto, true, "PLAIN LOGIN", ""},
      {AuthChoice::XOAuth2, true, "OAUTHBEARER", ""},
      {AuthChoice::OAuthBearer, true, "XOAUTH2 OAUTHBEARER", bearer},
      {AuthChoice::Plain, true, "XOAUTH2 PLAIN", plain},
      {AuthChoice::Login, false, "PLAIN", ""},
      {AuthChoice::Auto, false, "XOAUTH2 OAUTHBEARER", ""},
  };
  for (const auto& c : cases) {
    Rig rig(
        Submission(kBeforeTls, std::string("250-mail.example\r\n250 AUTH ") + c.offered + "\r\n"));
    rig.st.Submit.auth = c.aut;
    if (c.oauth) {
      rig.st.Submit.oauth.provider = "https://idp.example.jp/token";
      rig.st.Submit.oauth.accessToken.Assign("t0k");
    }
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    const std::vector<std::string> commands = rig.Commands();
    if (c.sent.empty()) {
      EXPECT_EQ(rig.Log().step, SmtpStep::AUTH_MECHANISM) << c.offered;
      EXPECT_EQ(commands.size(), 4u) << c.offered;  // the second EHLO, then QUIT
      EXPECT_EQ(commands.back(), "QUIT\r\n") << c.offered;
    } else {
      EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << c.offered;
      ASSERT_GE(commands.size(), 4u) << c.offered;
      EXPECT_EQ(commands[3], c.sent) << c.offered;
    }
    EXPECT_TRUE(rig.st.Submit.oauth.accessToken.Empty()) << c.offered;
  }
}

TEST(SubmissionSession, StartTlsNotOfferedFailsIn132WithTheEhloReplyAndSendsOnlyQuit) {
  const std::string ehlo = "250-mail.example\r\n250-AUTH PLAIN\r\n250 8BITMIME\r\n";
  Rig rig(Submission(ehlo));
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::AWAIT_STARTTLS_RESPONSE);
  EXPECT_EQ(rig.Log().reply, ehlo);
  EXPECT_EQ(rig.Commands(), (std::vector<std::string>{"EHLO desk1\r\n", "QUIT\r\n"}));
  EXPECT_TRUE(rig.socket.tlsRequests.empty());
}

TEST(SubmissionSession, StartTlsRefusedFailsIn132WithItsReply) {
  ServerScript script = Submission();
  auto before = script.reply;
  script.reply = [before](const std::string& c) {
    return c == "STARTTLS\r\n" ? std::string("454 4.7.0 not now\r\n") : before(c);
  };
  Rig rig(script);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::AWAIT_STARTTLS_RESPONSE);
  EXPECT_EQ(rig.Log().reply, "454 4.7.0 not now\r\n");
  EXPECT_TRUE(rig.socket.tlsRequests.empty());
}

TEST(SubmissionSession, FailedHandshakeFailsIn133WithTheSocketsReason) {
  ServerScript script = Submission();
  script.tls = [](const TlsRequest&) {
    return std::string("certificate verify failed: host name mismatch");
  };
  Rig rig(script);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::AWAIT_TLS_HANDSHAKE);
  EXPECT_EQ(rig.Log().reply, "certificate verify failed: host name mismatch");
  EXPECT_EQ(rig.Commands(), (std::vector<std::string>{"EHLO desk1\r\n", "STARTTLS\r\n"}));
  EXPECT_FALSE(rig.host[1].catchAll);
}

TEST(SubmissionSession, HandshakeThatNeverEndsTimesOutLikeAnyState) {
  ServerScript script = Submission();
  script.handshakeEnds = false;
  Rig rig(script);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded(5 * 60000));
  EXPECT_EQ(rig.Log().step, SmtpStep::FAILED);
  EXPECT_GT(rig.Log().at, 1200 * 100);
  EXPECT_LT(rig.Log().at, 1220 * 100);
  EXPECT_EQ(rig.Commands().back(), "STARTTLS\r\n");
}

TEST(SubmissionSession, AuthMissingUnderTlsFailsIn137WithoutACredential) {
  const std::string bare = "250-mail.example\r\n250 8BITMIME\r\n";
  Rig rig(Submission(kBeforeTls + "", bare));
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::AUTH_MECHANISM);
  EXPECT_EQ(rig.Log().reply, bare);
  const std::vector<std::string> sent = rig.Commands();
  EXPECT_EQ(std::vector<std::string>(sent.end() - 2, sent.end()),
            (std::vector<std::string>{"EHLO desk1\r\n", "QUIT\r\n"}));
  EXPECT_EQ(rig.socket.wire.find("AHlhbWFk"), std::string::npos);
}

TEST(SubmissionSession, RejectedCredentialsFailIn139WithThe535Reply) {
  ServerScript script = Submission();
  auto under = script.tlsReply;
  script.tlsReply = [under](const std::string& c) {
    return c.rfind("AUTH", 0) == 0 ? std::string("535 5.7.8 Error: authentication failed\r\n")
                                   : under(c);
  };
  Rig rig(script);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::AWAIT_AUTH_RESPONSE);
  EXPECT_EQ(rig.Log().reply, "535 5.7.8 Error: authentication failed\r\n");
  EXPECT_EQ(rig.Commands().size(), 5u);  // nothing after AUTH but QUIT
  EXPECT_EQ(rig.Commands().back(), "QUIT\r\n");
}

TEST(SubmissionSession, ImplicitTlsStartsRightAfterTheConnectAndGreetsUnderIt) {
  ServerScript script = Submission("250-mail.example\r\n250 AUTH PLAIN\r\n");
  script.greetAfterTls = true;
  script.tlsReply = nullptr;
  Rig rig(script, Security::Tls);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << rig.Log().reply;
  const std::vector<int> steps = rig.Steps();
  EXPECT_EQ(std::vector<int>(steps.begin(), steps.begin() + 8),
            (std::vector<int>{100, 110, 115, 133, 120, 125, 130, 138}));
  EXPECT_EQ(rig.socket.calls.at(1).what, "StartTls");
  EXPECT_EQ(rig.Commands().front(), "EHLO desk1\r\n");
}

TEST(SubmissionSession, SecNoneAuthenticatesWithoutTls) {
  Rig rig(Submission("250-mail.example\r\n250 AUTH PLAIN\r\n"), Security::None);
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE);
  EXPECT_TRUE(rig.socket.tlsRequests.empty());
  EXPECT_EQ(rig.Commands().at(1), "AUTH PLAIN AHlhbWFkYQBwlVx3\r\n");
}

TEST(SubmissionSession, StartTlsWithoutUserGoesFromTheSecondEhloToMailFrom) {
  Rig rig(Submission(), Security::StartTls, "", "");
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE);
  EXPECT_EQ(rig.Commands().at(3), "MAIL FROM:<DummySender> SIZE=20\r\n");
}

// Servers refuse an empty or non-FQDN name: an empty #LOC greets with the
// connection's own address as a literal, in both EHLOs and in HELO.
TEST(SubmissionSession, EmptyLocalNameGreetsWithAnAddressLiteral) {
  Rig rig(Submission());
  rig.st.LocalName.clear();
  rig.socket.localAddress = "2001:db8::7";
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE);
  const std::vector<std::string> commands = rig.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[0], "EHLO [IPv6:2001:db8::7]\r\n");
  EXPECT_EQ(commands[2], "EHLO [IPv6:2001:db8::7]\r\n");

  Rig plain(AcceptingServer(), Security::Unset, "", "");
  plain.st.LocalName.clear();
  plain.Start();
  ASSERT_TRUE(plain.RunUntilEnded());
  EXPECT_EQ(plain.Commands().at(0), "HELO [192.0.2.10]\r\n");
}

TEST(SubmissionSession, HelloNameForms) {
  const struct {
    const char* name;
    const char* address;
    const char* want;
  } cases[] = {
      {"pc01.example.jp", "192.0.2.10", "pc01.example.jp"},
      {"", "192.0.2.10", "[192.0.2.10]"},
      {"", "::1", "[IPv6:::1]"},
      {"", "::ffff:192.0.2.3", "[192.0.2.3]"},
      {"", "fe80::1%eth0", "[IPv6:fe80::1]"},
      {"", "", "[127.0.0.1]"},
  };
  for (const auto& c : cases) EXPECT_EQ(HelloName(c.name, c.address), c.want) << c.address;
  EXPECT_EQ(EnvelopePath("DummySender"), "<DummySender>");
}

TEST(SubmissionSession, RepliesInPiecesAreJudgedWhole) {
  // The capability list comes in three arrivals, the second cut inside
  // "STARTTLS": a session that judged the last piece would fail.
  ServerScript script = Submission();
  auto before = script.reply;
  SessionRig* self = nullptr;
  script.reply = [&self, before](const std::string& c) -> std::string {
    if (c.rfind("EHLO", 0) != 0) return before(c);
    for (const char* piece :
         {"250-mail.example\r\n250-PIPE", "LINING\r\n250-START", "TLS\r\n250 8BITMIME\r\n"}) {
      self->socket.QueueData(piece);
    }
    return {};
  };
  Rig rig(script);
  self = &rig;
  rig.Start();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << rig.Log().reply;
  EXPECT_EQ(rig.Commands().at(1), "STARTTLS\r\n");
}

// Replies out of step with the commands end the session as a protocol
// error (999) before anything further goes out; a server echoing the AUTH
// line into its refusal gets every form of the credential masked.
TEST(SubmissionSession, RepliesOutOfStepAndEchoedCredentials) {
  const std::string echoPlain = "AHlhbWFkYQBwlVx3";  // \0yamada\0p\x95\x5Cw
  const struct {
    const char* name;
    std::string command;  // answered with `reply` instead of the script's
    std::string reply;
    std::string greeting;
    SmtpStep step;
    std::string logged;  // a part of the record's text
    std::string lastCommand;
  } cases[] = {
      {"injected after the STARTTLS reply", "STARTTLS\r\n", "220 go\r\n250-injected\r\n",
       "220 mail.example ESMTP\r\n", SmtpStep::FAILED, "protocol error: a reply that no command",
       "STARTTLS\r\n"},
      {"replies before the client asked", "", "", "220 hi\r\n250 ok\r\n250 ok\r\n250 ok\r\n",
       SmtpStep::FAILED, "no command asked for: 250 ok", ""},
      {"multi-line reply ending in a refusal", "MAIL FROM:<DummySender> SIZE=20\r\n",
       "250-accepted\r\n550 5.7.1 rejected\r\n", "220 mail.example ESMTP\r\n", SmtpStep::FAILED,
       "differing codes: 250-accepted\r\n550 5.7.1 rejected",
       "MAIL FROM:<DummySender> SIZE=20\r\n"},
      {"reply without a code", "MAIL FROM:<DummySender> SIZE=20\r\n", "hello there\r\n",
       "220 mail.example ESMTP\r\n", SmtpStep::FAILED,
       "protocol error: a reply without a code: hello there",
       "MAIL FROM:<DummySender> SIZE=20\r\n"},
      {"greeting without a code", "", "", "\r\n", SmtpStep::FAILED,
       "protocol error: a reply without a code: \r\n", ""},
      {"code of four digits", "RCPT TO:<to@example.jp>\r\n", "2500 ok\r\n",
       "220 mail.example ESMTP\r\n", SmtpStep::FAILED, "a reply without a code: 2500 ok",
       "RCPT TO:<to@example.jp>\r\n"},
      {"EHLO reply ending in a refusal", "EHLO desk1\r\n", "250-x\r\n554 go away\r\n",
       "220 mail.example ESMTP\r\n", SmtpStep::FAILED, "differing codes", "EHLO desk1\r\n"},
      {"535 echoing the AUTH line", "AUTH PLAIN " + echoPlain + "\r\n",
       "535 5.7.8 bad: AUTH PLAIN " + echoPlain + " p\x95\x5Cw cA==\r\n",
       "220 mail.example ESMTP\r\n", SmtpStep::AWAIT_AUTH_RESPONSE,
       "535 5.7.8 bad: AUTH PLAIN *** *** cA==", "QUIT\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script = Submission();
    script.greeting = c.greeting;
    for (auto* answer : {&script.reply, &script.tlsReply}) {
      *answer = [next = *answer, c](const std::string& command) {
        return command == c.command ? c.reply : next(command);
      };
    }
    Rig rig(script);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, c.step);
    EXPECT_NE(rig.Log().reply.find(c.logged), std::string::npos) << rig.Log().reply;
    EXPECT_EQ(rig.Log().reply.find(echoPlain), std::string::npos);
    const std::vector<std::string> sent = rig.Commands();
    EXPECT_EQ(sent.empty() ? std::string() : sent.back(), c.lastCommand);
  }
}

// A server that echoes the token into its refusal, as it came (the AUTH
// line's Base64), raw, decoded, or in Base64 at another alignment, gets
// "***" in the record, which still ends in 139.
TEST(SubmissionSession, EchoedTokenIsMaskedInEveryForm) {
  const std::string token = "ya29.Kq7-tolvex_Zr9w~token+/==";
  // What must not show: the token, and the middle of its Base64 after 0,
  // 1 and 2 bytes of something else.
  std::vector<std::string> traces = {token};
  for (int k = 0; k < 3; ++k) {
    const std::string b64 = EncodeBase64(std::string(static_cast<std::size_t>(k), 'x') + token);
    traces.push_back(b64.substr(4, b64.size() - 8));
  }
  const auto sentBase64 = [](const std::string& line) {
    return line.substr(line.find(' ', 5) + 1, line.size() - line.find(' ', 5) - 3);
  };
  const struct {
    const char* name;
    AuthChoice aut;
    std::function<std::string(const std::string& authLine)> echo;
  } cases[] = {
      {"XOAUTH2 line as received", AuthChoice::XOAuth2, sentBase64},
      {"OAUTHBEARER line as received", AuthChoice::OAuthBearer, sentBase64},
      {"the raw token", AuthChoice::XOAuth2, [&](const std::string&) { return token; }},
      {"the decoded response", AuthChoice::XOAuth2,
       [&](const std::string&) {
         return "user=yamada\x01"
                "auth=Bearer " +
                token + "\x01\x01";
       }},
      {"Base64 one byte on", AuthChoice::OAuthBearer,
       [&](const std::string&) { return EncodeBase64("B" + token + "\x01"); }},
      {"Base64 two bytes on", AuthChoice::XOAuth2,
       [&](const std::string&) { return EncodeBase64("Be" + token); }},
      {"a multi-line echo", AuthChoice::XOAuth2,
       [&](const std::string& line) {
         return "no\r\n535-" + sentBase64(line) + "\r\n535-" + token;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script =
        Submission(kBeforeTls, "250-mail.example\r\n250 AUTH XOAUTH2 OAUTHBEARER\r\n");
    script.tlsReply = [next = script.tlsReply, &c](const std::string& command) {
      if (!command.starts_with("AUTH ")) return next(command);
      return "535-5.7.8 not accepted: " + c.echo(command) + "\r\n535 5.7.8 end\r\n";
    };
    Rig rig(script);
    rig.st.Submit.auth = c.aut;
    rig.st.Submit.oauth.provider = "https://idp.example.jp/token";
    rig.st.Submit.oauth.accessToken.Assign(token);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, SmtpStep::AWAIT_AUTH_RESPONSE);
    EXPECT_EQ(rig.host.at(1).failure, FailureClass::NoPermission);
    const std::string& logged = rig.Log().reply;
    EXPECT_TRUE(logged.starts_with("535-5.7.8 not accepted: ")) << logged;
    EXPECT_NE(logged.find("***"), std::string::npos) << logged;
    for (const std::string& t : traces) EXPECT_EQ(logged.find(t), std::string::npos) << logged;
  }
}

// SIZE under TLS: declared with MAIL FROM, and a message over the limit is
// refused before the credential or MAIL FROM goes out. Both count the
// message as RFC 1870 does: without the end-of-data line or the doubled
// dots, every line end as CR LF ("Subject: x\r\n\r\nbody\r\n" is 20).
TEST(SubmissionSession, SizeAnnouncedByTheServer) {
  const std::string head = "250-mail.example\r\n250-AUTH PLAIN\r\n";
  // 21 octets in the spool, 22 on the wire: the lone LF goes out as CR LF.
  const std::string dotted = "Subject: x\r\n\r\n.a\n..\r\n.\r\n";
  const struct {
    std::string sizeLine;
    SmtpStep step;
    std::string lastCommand;  // MAIL FROM when delivered, else before QUIT
    std::string mail = "Subject: x\r\n\r\nbody\r\n.\r\n";
  } cases[] = {
      {"250 SIZE 10240000\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender> SIZE=20\r\n"},
      {"250 SIZE\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender> SIZE=20\r\n"},
      {"250 SIZE 20\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender> SIZE=20\r\n"},
      {"250 8BITMIME\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender>\r\n"},
      {"250 SIZE 19\r\n", SmtpStep::SIZE_EXCEEDED, "EHLO desk1\r\n"},
      {"250 SIZE 22\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender> SIZE=22\r\n", dotted},
      {"250 SIZE 21\r\n", SmtpStep::SIZE_EXCEEDED, "EHLO desk1\r\n", dotted},
      {"250 SIZE 290\r\n", SmtpStep::IDLE, "MAIL FROM:<DummySender> SIZE=290\r\n",
       std::string(288, 'x') + "\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sizeLine + c.mail.substr(0, 12));
    Rig rig(Submission(kBeforeTls, head + c.sizeLine));
    rig.SetMail(c.mail);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, c.step) << rig.Log().reply;
    const std::vector<std::string> sent = rig.Commands();
    const auto mail = std::find_if(sent.begin(), sent.end(),
                                   [](const std::string& s) { return s.starts_with("MAIL"); });
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(c.step == SmtpStep::IDLE ? *mail : sent[sent.size() - 2], c.lastCommand);
    if (c.step == SmtpStep::SIZE_EXCEEDED) {
      EXPECT_EQ(sent.back(), "QUIT\r\n");
      EXPECT_EQ(rig.Log().reply,
                "message too large: " + std::string(c.mail == dotted ? "22" : "20") +
                    " octets, the server takes at most " + c.sizeLine.substr(9, 2) + " (SIZE)");
    }
  }
}

// #DSN under TLS: RET and ENVID after SIZE with MAIL FROM, NOTIFY and
// ORCPT with each RCPT TO, when the last EHLO reply offers DSN; else none,
// and the user is told once. The ENVID is the Message-ID's, in xtext; the
// ORCPT the address as the path carries it ("+" and "=" escaped), never a
// display name. A probe has no message: no DSN parameter.
TEST(SubmissionSession, DsnParametersWhenTheServerOffersDsn) {
  const std::string under = "250-mail.example\r\n250-SIZE 100\r\n250-AUTH PLAIN\r\n";
  const std::string stamp = "Date: x\r\nMessage-ID: <20261208.ab+c=1@example.jp>\r\n";
  DsnRequest failureDelay;
  failureDelay.failure = failureDelay.delay = true;
  DsnRequest never;
  never.never = true;
  const struct {
    const char* name;
    std::string lastEhloLine;
    DsnRequest dsn;
    bool probe;
    std::vector<std::string> envelope;  // MAIL FROM and the RCPT TOs
  } cases[] = {
      {"offered",
       "250 DSN\r\n",
       failureDelay,
       false,
       {"MAIL FROM:<DummySender> SIZE=20 RET=HDRS ENVID=20261208.ab+2Bc+3D1@example.jp\r\n",
        "RCPT TO:<a+b=c@example.jp> NOTIFY=FAILURE,DELAY ORCPT=rfc822;a+2Bb+3Dc@example.jp\r\n",
        "RCPT TO:<to@example.jp> NOTIFY=FAILURE,DELAY ORCPT=rfc822;to@example.jp\r\n"}},
      {"never, offered in lower case",
       "250 dsn\r\n",
       never,
       false,
       {"MAIL FROM:<DummySender> SIZE=20 RET=HDRS ENVID=20261208.ab+2Bc+3D1@example.jp\r\n",
        "RCPT TO:<a+b=c@example.jp> NOTIFY=NEVER ORCPT=rfc822;a+2Bb+3Dc@example.jp\r\n",
        "RCPT TO:<to@example.jp> NOTIFY=NEVER ORCPT=rfc822;to@example.jp\r\n"}},
      {"not offered",
       "250 8BITMIME\r\n",
       failureDelay,
       false,
       {"MAIL FROM:<DummySender> SIZE=20\r\n", "RCPT TO:<a+b=c@example.jp>\r\n",
        "RCPT TO:<to@example.jp>\r\n"}},
      {"offered, not asked",
       "250 DSN\r\n",
       DsnRequest{},
       false,
       {"MAIL FROM:<DummySender> SIZE=20\r\n", "RCPT TO:<a+b=c@example.jp>\r\n",
        "RCPT TO:<to@example.jp>\r\n"}},
      {"probe",
       "250 DSN\r\n",
       failureDelay,
       true,
       {"MAIL FROM:<DummySender>\r\n", "RCPT TO:<a+b=c@example.jp>\r\n",
        "RCPT TO:<to@example.jp>\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(Submission(kBeforeTls, under + c.lastEhloLine));
    rig.st.StampLines = stamp;
    rig.st.Submit.dsn = c.dsn;
    rig.Recipients({"\x95\x5C\x83\x5C <a+b=c@example.jp>", "to@example.jp"});
    rig.session.SetProbe(c.probe);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << rig.Log().reply;
    std::vector<std::string> envelope;
    for (const std::string& sent : rig.Commands()) {
      if (sent.starts_with("MAIL ") || sent.starts_with("RCPT ")) envelope.push_back(sent);
    }
    EXPECT_EQ(envelope, c.envelope);
    const bool told = c.dsn.Asked() && !c.probe && c.lastEhloLine == "250 8BITMIME\r\n";
    ASSERT_EQ(rig.notices.size(), told ? 1u : 0u);
    if (told) {
      EXPECT_NE(rig.notices[0].find("does not offer DSN"), std::string::npos);
    }
  }
}

// An address whose local part is not ASCII (山田, code page 932 or UTF-8):
// with SMTPUTF8 offered, MAIL FROM says SMTPUTF8 and every envelope address
// goes in UTF-8; not offered, the session ends in 142 naming the address
// before MAIL FROM or the credential. Without such an address nothing
// changes, SMTPUTF8 offered or not.
TEST(SubmissionSession, SmtpUtf8ForALocalPartNotInAscii) {
  const std::string under = "250-mail.example\r\n250-AUTH PLAIN\r\n";
  const std::string yamadaSjis = "\x8E\x52\x93\x63@example.jp";
  const std::string yamadaUtf8 = "\xE5\xB1\xB1\xE7\x94\xB0@example.jp";
  const struct {
    const char* name;
    std::string lastEhloLine;
    MessageCharset charset;
    std::string needs;  // SmtpUtf8Address
    std::string to;
    SmtpStep step;
    std::vector<std::string> envelope;
  } cases[] = {
      {"offered, code page 932",
       "250 SMTPUTF8\r\n",
       MessageCharset::Iso2022Jp,
       yamadaSjis,
       "\x95\x5C <" + yamadaSjis + ">",
       SmtpStep::IDLE,
       {"MAIL FROM:<from@example.jp> SMTPUTF8\r\n", "RCPT TO:<" + yamadaUtf8 + ">\r\n"}},
      {"offered, UTF-8 message",
       "250 smtputf8\r\n",
       MessageCharset::Utf8,
       yamadaSjis,
       yamadaUtf8,
       SmtpStep::IDLE,
       {"MAIL FROM:<from@example.jp> SMTPUTF8\r\n", "RCPT TO:<" + yamadaUtf8 + ">\r\n"}},
      {"not offered",
       "250 8BITMIME\r\n",
       MessageCharset::Iso2022Jp,
       yamadaSjis,
       yamadaSjis,
       SmtpStep::SMTPUTF8_MISSING,
       {}},
      {"ASCII, offered",
       "250 SMTPUTF8\r\n",
       MessageCharset::Iso2022Jp,
       "",
       "to@example.jp",
       SmtpStep::IDLE,
       {"MAIL FROM:<from@example.jp>\r\n", "RCPT TO:<to@example.jp>\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig(Submission(kBeforeTls, under + c.lastEhloLine));
    rig.st.Charset = c.charset;
    rig.st.FromAddr = "from@example.jp";
    rig.st.SmtpUtf8Address = c.needs;
    rig.Recipients({c.to});
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, c.step) << rig.Log().reply;
    std::vector<std::string> envelope;
    bool authSent = false;
    for (const std::string& sent : rig.Commands()) {
      if (sent.starts_with("MAIL ") || sent.starts_with("RCPT ")) envelope.push_back(sent);
      authSent = authSent || sent.starts_with("AUTH ");
    }
    EXPECT_EQ(envelope, c.envelope);
    EXPECT_EQ(authSent, c.step == SmtpStep::IDLE);
    if (c.step == SmtpStep::SMTPUTF8_MISSING) {
      EXPECT_EQ(rig.Log().reply,
                "the address " + yamadaSjis + " needs SMTPUTF8, which the server does not offer");
      EXPECT_EQ(rig.host.at(1).failure, FailureClass::Permanent);
    }
  }
}

// The kind of failure each ending reports: what exit status and retries
// are decided from. After the server took the message nothing is temporary.
TEST(SubmissionSession, FailureClassOfEachEnding) {
  const struct {
    const char* name;
    std::string command;  // answered with `reply`
    std::string reply;
    std::string tls;  // the handshake's failure reason
    FailureClass failure;
  } cases[] = {
      {"delivered", "", "", "", FailureClass::None},
      {"4xx to MAIL FROM", "MAIL", "451 4.3.0 try later\r\n", "", FailureClass::Temporary},
      {"5xx to RCPT TO", "RCPT", "550 5.1.1 no such user\r\n", "", FailureClass::Permanent},
      {"535 to AUTH", "AUTH", "535 5.7.8 bad\r\n", "", FailureClass::NoPermission},
      {"454 to AUTH", "AUTH", "454 4.7.0 later\r\n", "", FailureClass::Temporary},
      {"certificate refused", "", "", "certificate verify failed: unknown CA",
       FailureClass::NoPermission},
      {"handshake cut", "", "", "connection closed during handshake", FailureClass::Temporary},
      {"4xx to the message", "<message>", "451 4.3.0 later\r\n", "", FailureClass::Temporary},
      {"no 221 after the message was taken", "QUIT", "500 what\r\n", "", FailureClass::Permanent},
      {"differing codes", "DATA", "354-go\r\n550 no\r\n", "", FailureClass::Protocol},
      {"silence after DATA", "DATA", "", "", FailureClass::Temporary},
      {"TLS version refused", "", "", "handshake: protocol version", FailureClass::Permanent},
      {"TLS version offered refused", "", "",
       "handshake: protocol version (the server offers TLS 1.0)", FailureClass::Permanent},
      {"no shared cipher", "", "",
       "handshake: no shared cipher (the server sent alert handshake failure)",
       FailureClass::Permanent},
      {"not TLS at all", "", "", "handshake: the server does not answer in TLS",
       FailureClass::Temporary},
      {"reply without a code", "MAIL", "hello\r\n", "", FailureClass::Protocol},
      {"lines disagreeing after the message was taken", "QUIT", "221-x\r\n500 y\r\n", "",
       FailureClass::Permanent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script = Submission();
    for (auto* answer : {&script.reply, &script.tlsReply}) {
      *answer = [next = *answer, c](const std::string& command) {
        return !c.command.empty() && command.starts_with(c.command) ? c.reply : next(command);
      };
    }
    if (!c.tls.empty()) script.tls = [c](const TlsRequest&) { return c.tls; };
    Rig rig(script);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded(5 * 60000));
    EXPECT_EQ(rig.host.at(1).failure, c.failure) << rig.Log().reply;
  }
}

// A probe with the password runs the envelope and resets it; with OAuth it
// quits after EHLO, the token never sent even when one is held.
// Each reply is judged while LastCommand is the command it answers, the
// credential in it masked.
TEST(SubmissionSession, ProbeRunsTheEnvelopeThenResetsAndQuits) {
  const struct {
    bool oauth;
    std::vector<std::string> commands;
    std::vector<int> replySteps;
    std::vector<std::string> answered;
  } cases[] = {
      // No SIZE with MAIL FROM although the server announces it: there is
      // no message to measure.
      {false,
       {"EHLO desk1\r\n", "STARTTLS\r\n", "EHLO desk1\r\n", "AUTH PLAIN AHlhbWFkYQBwlVx3\r\n",
        "MAIL FROM:<DummySender>\r\n", "RCPT TO:<to@example.jp>\r\n", "RSET\r\n", "QUIT\r\n"},
       {120, 130, 132, 136, 139, 140, 150, 152, 200},
       {"", "EHLO desk1", "STARTTLS", "EHLO desk1", "AUTH PLAIN ***", "MAIL FROM:<DummySender>",
        "RCPT TO:<to@example.jp>", "RSET", "QUIT"}},
      {true,
       {"EHLO desk1\r\n", "STARTTLS\r\n", "EHLO desk1\r\n", "QUIT\r\n"},
       {120, 130, 132, 136, 200},
       {"", "EHLO desk1", "STARTTLS", "EHLO desk1", "QUIT"}},
  };
  for (const auto& c : cases) {
    Rig rig(Submission(kBeforeTls,
                       "250-mail.example\r\n250-SIZE 10240000\r\n"
                       "250 AUTH LOGIN PLAIN XOAUTH2\r\n"));
    if (c.oauth) {
      rig.st.Submit.oauth.provider = "https://idp.example.jp/token";
      rig.st.Submit.oauth.accessToken.Assign("t0k");
    }
    rig.session.SetProbe(true);
    std::vector<int> steps;
    std::vector<std::string> answered;
    rig.session.SetReplyTrace([&](SmtpStep step, std::string_view) {
      steps.push_back(StepNumber(step));
      answered.push_back(rig.session.LastCommand());
    });
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.Log().step, SmtpStep::IDLE) << c.oauth;
    EXPECT_EQ(rig.Commands(), c.commands) << c.oauth;
    EXPECT_EQ(steps, c.replySteps) << c.oauth;
    EXPECT_EQ(answered, c.answered) << c.oauth;
  }
}

// A submission server whose answers to the commands beginning with
// `command` ("<message>" for the message) are `reply` instead, before TLS
// and under it; "|" in a reply splits it into arrivals.
ServerScript Answering(ServerScript script, std::string command, std::string reply) {
  script.pieceBreak = "|";
  for (auto* answer : {&script.reply, &script.tlsReply}) {
    *answer = [next = *answer, command, reply](const std::string& c) {
      return !command.empty() && c.starts_with(command) ? reply : next(c);
    };
  }
  return script;
}

int Count(const std::vector<std::string>& sent, const std::string& command) {
  return static_cast<int>(std::count(sent.begin(), sent.end(), command));
}

// What a server may say at any moment, and how each session ends: the
// record (state and text), the class run control decides from, the last
// command sent. The message's 250 stands whatever follows it (the end
// tells run control the server has it), however TCP splits the bytes. A 421 ends the session at
// once as temporary, QUIT not sent (RFC 5321 §3.8). A reply read with the close is judged before
// the close. A refusal is logged, then QUIT goes out (RFC 5321 §4.1.1.10)
// and its answer is waited for at most kQuitWaitTicks; no QUIT after a
// 421, a TLS failure, a reply out of step, a known loss, the time-out, nor
// in the plain session.
TEST(SubmissionSession, WhatAServerSaysAtAnyMoment) {
  using enum SmtpStep;
  using enum FailureClass;
  const std::string bye = "421 4.3.2 closing\r\n";
  const std::string queued = "250 2.0.0 queued\r\n";
  const std::string closed = "connection closed by the server";
  const std::string mail = "MAIL FROM:<DummySender> SIZE=20\r\n";
  const std::string rcpt = "RCPT TO:<to@example.jp>\r\n";
  const std::string quit = "QUIT\r\n";
  const struct {
    const char* name;
    std::string command;  // answered with `reply`; "" = the greeting is `reply`
    std::string reply;    // "|" between arrivals
    SmtpStep step;
    std::string logged;
    FailureClass failure;
    std::string last;  // the last command sent
    bool farewell;     // QUIT went out after the record
    std::string quitAnswer = "221 bye\r\n";
    std::string closesAfter = {};  // the server closes after answering this
    std::string tls = {};          // the handshake's failure
    bool probe = false;
    bool plain = false;
  } cases[] = {
      {"250 then 421, one read", "<message>", queued + bye, FAILED, bye, Permanent, quit, false,
       ""},
      {"250 then 421, one read, the close", "<message>", queued + bye, FAILED, bye, Permanent, quit,
       false, "", "<message>"},
      {"250 then 421, two reads", "<message>", queued + "|" + bye, FAILED, bye, Permanent, quit,
       false, ""},
      {"421 answering QUIT", "<message>", queued, FAILED, bye, Permanent, quit, false, bye},
      {"the close instead of 221", "<message>", queued, FAILED, closed, Permanent, quit, false, "",
       "<message>"},
      {"one reply ending in 421", "<message>", "250-queued\r\n" + bye, IDLE, "", None, quit, false},
      {"more after the 221", "QUIT", "221 bye\r\n250 more\r\n", IDLE, "", None, quit, false},
      {"421 answering RCPT TO", "RCPT", bye, AWAIT_RCPT_TO_RESPONSE, bye, Temporary, rcpt, false},
      {"421 after MAIL's 250, one read", "MAIL", "250 ok\r\n" + bye, FAILED, bye, Temporary, mail,
       false},
      {"421 after MAIL's 250, next read", "MAIL", "250 ok\r\n|" + bye, AWAIT_RCPT_TO_RESPONSE, bye,
       Temporary, rcpt, false},
      {"421 between commands", "MAIL", "250 ok\r\n|" + bye, FAILED, bye, Temporary,
       "MAIL FROM:<DummySender>\r\n", false, "221 bye\r\n", "", "", true},
      {"421 after STARTTLS's 220, one read", "STARTTLS", "220 go\r\n" + bye, FAILED, bye, Temporary,
       "STARTTLS\r\n", false},
      {"421 answering AUTH", "AUTH", bye, AWAIT_AUTH_RESPONSE, bye, Temporary,
       "AUTH PLAIN AHlhbWFkYQBwlVx3\r\n", false},
      {"421 answering the message", "<message>", bye, FAILED, bye, Temporary, "<message>", false},
      {"greeting refused", "", "554 5.7.1 no\r\n", AWAIT_GREETING, "554 5.7.1 no\r\n", Permanent,
       quit, true},
      {"EHLO refused", "EHLO", "550 go away\r\n", AWAIT_HELLO_RESPONSE, "550 go away\r\n",
       Permanent, quit, true},
      {"STARTTLS refused", "STARTTLS", "454 4.7.0 not now\r\n", AWAIT_STARTTLS_RESPONSE,
       "454 4.7.0 not now\r\n", Temporary, quit, true},
      {"AUTH refused", "AUTH", "535 5.7.8 no\r\n", AWAIT_AUTH_RESPONSE, "535 5.7.8 no\r\n",
       NoPermission, quit, true},
      {"recipient refused", "RCPT", "550 5.1.1 unknown\r\n", AWAIT_RCPT_TO_RESPONSE,
       "550 5.1.1 unknown\r\n", Permanent, quit, true},
      {"DATA refused", "DATA", "554 5.5.1 none\r\n", AWAIT_DATA_RESPONSE, "554 5.5.1 none\r\n",
       Permanent, quit, true},
      {"message refused", "<message>", "554 5.6.0 no\r\n", FAILED, "554 5.6.0 no\r\n", Permanent,
       quit, true},
      {"QUIT never answered", "MAIL", "553 5.1.8 bad\r\n", AWAIT_MAIL_FROM_RESPONSE,
       "553 5.1.8 bad\r\n", Permanent, quit, true, ""},
      {"the server closes at QUIT", "MAIL", "451 4.3.0 later\r\n", AWAIT_MAIL_FROM_RESPONSE,
       "451 4.3.0 later\r\n", Temporary, quit, true, "", "QUIT"},
      {"refusal read with the close, judged before the close is known", "MAIL", "553 5.1.8 bad\r\n",
       AWAIT_MAIL_FROM_RESPONSE, "553 5.1.8 bad\r\n", Permanent, quit, true, "", "MAIL"},
      {"reply out of step", "MAIL", "250-a\r\n550 b\r\n", FAILED,
       "protocol error: reply lines with differing codes: 250-a\r\n550 b\r\n", Protocol, mail,
       false},
      {"TLS failure", "", "220 hi\r\n", AWAIT_TLS_HANDSHAKE,
       "certificate verify failed: unknown CA", NoPermission, "STARTTLS\r\n", false, "221 bye\r\n",
       "", "certificate verify failed: unknown CA"},
      {"time-out", "MAIL", "", FAILED, "", Temporary, mail, false},
      {"plain session", "RCPT", "550 5.1.1 unknown\r\n", AWAIT_RCPT_TO_RESPONSE,
       "550 5.1.1 unknown\r\n", Permanent, rcpt, false, "221 bye\r\n", "", "", false, true},
      {"probe: 221 with the close", "QUIT", "221 bye\r\n", IDLE, "", None, quit, false, "", "QUIT",
       "", true},
      {"probe: RSET's 250 with the close", "RSET", "250 ok\r\n", FAILED, closed, Temporary, quit,
       false, "", "RSET", "", true},
      {"probe: a refusal with the close", "RCPT", "550 5.1.1 unknown\r\n", AWAIT_RCPT_TO_RESPONSE,
       "550 5.1.1 unknown\r\n", Permanent, rcpt, false, "", "RCPT", "", true},
      {"221 with the close", "QUIT", "221 bye\r\n", IDLE, "", None, quit, false, "", "QUIT"},
      {"EHLO's reply with the close", "EHLO", "250-mail.example\r\n250 STARTTLS\r\n", FAILED,
       closed, Temporary, "STARTTLS\r\n", false, "", "EHLO"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script =
        Answering(Answering(c.plain ? AcceptingServer() : Submission(), "QUIT", c.quitAnswer),
                  c.command, c.reply);
    if (c.command.empty()) script.greeting = c.reply;
    if (!c.tls.empty()) script.tls = [&c](const TlsRequest&) { return c.tls; };
    script.closesAfter = [&c](const std::string& cmd) {
      return !c.closesAfter.empty() && cmd.starts_with(c.closesAfter);
    };
    Rig* self = nullptr;
    std::size_t recordsAtQuit = 0;
    for (auto* answer : {&script.reply, &script.tlsReply}) {
      *answer = [&self, &recordsAtQuit, next = *answer](const std::string& cmd) {
        if (cmd == "QUIT\r\n") recordsAtQuit = self->host.size();
        return next(cmd);
      };
    }
    Rig rig(script, c.plain ? Security::Unset : Security::StartTls, c.plain ? "" : "yamada");
    self = &rig;
    rig.session.SetProbe(c.probe);
    rig.Start();
    ASSERT_TRUE(rig.RunUntilEnded(5 * 60000));
    ASSERT_EQ(rig.host.size(), 2u);
    EXPECT_EQ(rig.Log().step, c.step);
    EXPECT_EQ(rig.Log().reply, c.logged);
    EXPECT_EQ(rig.host[1].step, c.step);
    EXPECT_EQ(rig.host[1].failure, c.failure);
    const std::vector<std::string> sent = rig.Commands();
    EXPECT_EQ(sent.back(), c.last);
    EXPECT_LE(Count(sent, quit), 1);
    EXPECT_EQ(rig.socket.calls.back().what, "Close");
    const std::vector<int> steps = rig.Steps();
    const int taken[] = {180, 190};
    const bool accepted = c.last == quit && !c.farewell && !c.probe;  // QUIT in its course
    EXPECT_EQ(
        std::search(steps.begin(), steps.end(), std::begin(taken), std::end(taken)) != steps.end(),
        accepted);
    EXPECT_EQ(rig.host[1].accepted, accepted);
    // QUIT after the record, then the end at its answer, the close or the
    // time limit.
    if (Count(sent, quit) == 1) {
      EXPECT_EQ(recordsAtQuit, c.farewell ? 1u : 0u);
    }
    const Millis wait = rig.host[1].at - rig.host[0].at;
    if (!c.farewell) {
      EXPECT_EQ(wait, 0);
    } else if (c.quitAnswer.empty() && c.closesAfter.empty()) {
      EXPECT_GE(wait, (kQuitWaitTicks - 1) * 100);
      EXPECT_LE(wait, (kQuitWaitTicks + 1) * 100);
    } else {
      EXPECT_LE(wait, 100);
    }
    // A probe's caller, and a farewell, look for the end at the ticks.
    if (c.probe || c.farewell) {
      EXPECT_TRUE(rig.host[1].atTick);
    }
  }
}

TEST(SubmissionSession, PlainSessionIgnoresAnErrorEvent) {
  SessionRig rig;
  rig.Start();
  rig.scheduler.RunUntil(3 * 100);
  rig.session.WSOCK_Error("anything");
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.host.at(0).step, SmtpStep::IDLE);
  EXPECT_EQ(rig.Commands().front(), "HELO [192.0.2.10]\r\n");
}

}  // namespace
}  // namespace tolvex::test
