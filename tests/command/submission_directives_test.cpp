// The submission directives as command.txt gives them: values, the start-up
// refusals with exit status 65 naming the directive, and where the secret
// may not show.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "command/command_effects.hpp"
#include "command/command_file.hpp"
#include "platform/posix/work_folder.hpp"

namespace tolvex {
namespace {

namespace fs = std::filesystem;

class SubmissionDirectives : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tolvex-sub-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Status Read(const std::string& text) {
    std::ofstream(dir_ / kCommandFileName, std::ios::binary) << text;
    posix::PosixWorkFolder files(dir_);
    st_ = RunState{};
    return ReadCommandFile(st_, effects_, files);
  }
  void ExpectBad(const std::string& text, const std::string& part) {
    Status status = Read(text);
    ASSERT_TRUE(status) << text;
    EXPECT_EQ(status->kind, FailureKind::CommandFileBad);
    EXPECT_NE(status->message.find(part), std::string::npos) << status->message;
  }

  fs::path dir_;
  RunState st_;
  EffectRecorder effects_;
};

TEST_F(SubmissionDirectives, ValuesAndTheirDefaults) {
  ASSERT_FALSE(Read("#HOS=mail.example.jp\r\n#TO=a@example.jp\r\n\r\nx\r\n"));
  EXPECT_FALSE(st_.Submit.Extended());
  EXPECT_EQ(st_.Submit.RemotePort(), 25);
  EXPECT_EQ(st_.Submit.host, "mail.example.jp");

  ASSERT_FALSE(
      Read("#SEC = STARTTLS\r\n#USR=yamada@example.jp\r\n#PAS= p\x95\x5Cw \r\n"
           "#CAF=\x95\x5C\\ca.pem\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.security, Security::StartTls);
  EXPECT_EQ(st_.Submit.RemotePort(), 587);
  EXPECT_EQ(st_.Submit.user, "yamada@example.jp");
  EXPECT_EQ(st_.Submit.password.View(), "p\x95\x5Cw");
  EXPECT_EQ(st_.Submit.origin, SecretOrigin::CommandFile);
  EXPECT_EQ(st_.Submit.caFile, "\x95\x5C\\ca.pem");
  EXPECT_TRUE(st_.Submit.Extended());

  ASSERT_FALSE(Read("#SEC=tls\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.RemotePort(), 465);
  ASSERT_FALSE(Read("#SEC=tls\r\n#POR=10465\r\n#POR=2465\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.RemotePort(), 2465);  // the last one wins
  ASSERT_FALSE(Read("#POR=65535\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.RemotePort(), 65535);
  EXPECT_FALSE(st_.Submit.Extended());  // a port alone keeps HELO
}

TEST_F(SubmissionDirectives, BadValuesStopTheRunNamingTheDirective) {
  for (const char* port : {"0", "65536", "587a", "", "-25", "+25", "99999999999"}) {
    ExpectBad(std::string("#POR=") + port + "\r\n\r\nx\r\n", "line 1: \"#POR\" value");
  }
  ExpectBad("#TO=a@example.jp\r\n#SEC=ssl\r\n\r\nx\r\n", "line 2: \"#SEC\" value \"ssl\"");
  ExpectBad("#USR=\r\n", "\"#USR\" has no user name");
  ExpectBad("#CAF= \r\n", "\"#CAF\" names no file");
  ExpectBad("#SEC=tls\r\n#PAS=\r\n", "\"#PAS\" has no password");
}

TEST_F(SubmissionDirectives, CredentialsOnlyOverTlsUnlessSecNoneIsWritten) {
  ExpectBad("#USR=yamada\r\n#PAS=Zq9-secret\r\n\r\nx\r\n", "\"#USR\"");
  Status status = Read("#USR=yamada\r\n#PAS=Zq9-secret\r\n#POR=587\r\n\r\nx\r\n");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->message.find("Zq9-secret"), std::string::npos);
  EXPECT_NE(status->message.find("#SEC=starttls"), std::string::npos);
  EXPECT_FALSE(Read("#USR=yamada\r\n#SEC=none\r\n\r\nx\r\n"));
  EXPECT_FALSE(Read("#SEC=starttls\r\n#USR=yamada\r\n\r\nx\r\n"));
}

TEST_F(SubmissionDirectives, OAuthSettingsAndWhatTheyNeed) {
  const std::string base = "#SEC=starttls\r\n#USR=yamada@example.jp\r\n";
  ASSERT_FALSE(Read(base + "#AUT=XOAUTH2\r\n#OAU=Microsoft\r\n#OTE=contoso.jp\r\n#OID=c-1\r\n"
                           "#OSC= s\x95\x5C"
                           "c \r\n#OSP=https://x/.default\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.auth, AuthChoice::XOAuth2);
  EXPECT_TRUE(st_.Submit.UsesOAuth());
  EXPECT_EQ(st_.Submit.oauth.clientSecret.View(),
            "s\x95\x5C"
            "c");
  EXPECT_EQ(st_.Submit.oauth.secretOrigin, SecretOrigin::CommandFile);
  EXPECT_EQ(st_.Submit.oauth.tenant, "contoso.jp");
  EXPECT_EQ(st_.Submit.oauth.scope, "https://x/.default");
  ASSERT_FALSE(Read(base + "#OAU=https://idp.test/token\r\n#OID=c\r\n"
                           "#OAZ=https://idp.test/authorize\r\n\r\nx\r\n"));
  EXPECT_EQ(st_.Submit.oauth.authorizeUrl, "https://idp.test/authorize");
  // #AUT=plain with OAuth settings keeps the password.
  ASSERT_FALSE(Read(base + "#AUT=plain\r\n#OAU=google\r\n\r\nx\r\n"));
  EXPECT_FALSE(st_.Submit.UsesOAuth());
  // #OSA alone is Google's OAuth: no #OAU, #OID or #OSC needed.
  for (const char* more : {"", "#OAU=Google\r\n#AUT=oauthbearer\r\n"}) {
    ASSERT_FALSE(Read(base + more + "#OSA=\x95\x5C.json\r\n\r\nx\r\n"));
    EXPECT_TRUE(st_.Submit.UsesOAuth());
    EXPECT_EQ(st_.Submit.oauth.serviceAccountFile, "\x95\x5C.json");
  }

  const struct {
    std::string lines;
    const char* part;
  } bad[] = {
      {base + "#AUT=cram-md5\r\n", "\"#AUT\" value \"cram-md5\" is not one of"},
      {base + "#OAU=http://idp.test/token\r\n", "is not microsoft, google or an https:// URL"},
      {base + "#OAU=yahoo\r\n", "\"#OAU\" value \"yahoo\""},
      {base + "#AUT=oauthbearer\r\n\r\nx\r\n", "add \"#OAU\""},
      {base + "#OAU=google\r\n\r\nx\r\n", "needs \"#OID\""},
      {base + "#OAU=microsoft\r\n#OID=c\r\n\r\nx\r\n", "needs \"#OTE\""},
      {"#SEC=tls\r\n#OAU=google\r\n#OID=c\r\n\r\nx\r\n", "needs \"#USR\""},
      {base + "#OSC=\r\n", "\"#OSC\" has no client secret"},
      {base + "#OAZ=http://idp.test/authorize\r\n", "\"#OAZ\" value \"http://"},
      {base + "#OAU=google\r\n#OID=c\r\n#OAZ=https://a.test/auth\r\n\r\nx\r\n",
       "\"#OAZ\" belongs to a token endpoint of its own"},
      {base + "#OSA=\r\n", "\"#OSA\" names no key file"},
      {base + "#OSA=k.json\r\n#OAU=microsoft\r\n\r\nx\r\n", "leave \"#OAU\" out"},
      {base + "#OSA=k.json\r\n#AUT=login\r\n\r\nx\r\n", "\"#AUT\" may be auto"},
      {base + "#OSA=k.json\r\n#OAZ=https://a.test/auth\r\n\r\nx\r\n", "no part of"},
      {"#SEC=tls\r\n#OSA=k.json\r\n\r\nx\r\n", "needs \"#USR\", the mailbox it acts for"},
  };
  for (const auto& b : bad) ExpectBad(b.lines, b.part);
}

// #VIA and #API: an API transport needs a token for the mailbox and no
// #SEC; #API only https://host[:port] and only with an API transport.
TEST_F(SubmissionDirectives, ApiTransportsAndWhatTheyNeed) {
  const std::string job = "#USR=info@example.jp\r\n#OAU=https://idp.test/token\r\n#OID=c\r\n";
  const struct {
    std::string lines;
    const char* refusal;  // nullptr: read, giving `via` and `base`
    Via via;
    const char* base;
  } cases[] = {
      {job + "#VIA=Graph\r\n", nullptr, Via::Graph, ""},
      {job + "#VIA=gmail\r\n#API=https://127.0.0.1:8443/\r\n", nullptr, Via::Gmail,
       "https://127.0.0.1:8443"},
      {job + "#VIA=graph\r\n#AUT=plain\r\n#API=https://graph.microsoft.us\r\n", nullptr, Via::Graph,
       "https://graph.microsoft.us"},
      {"#SEC=tls\r\n" + job + "#VIA=smtp\r\n", nullptr, Via::Smtp, ""},
      {job + "#VIA=ews\r\n", "\"#VIA\" value \"ews\" is not one of smtp, graph, gmail", {}, ""},
      {job + "#VIA=graph\r\n#API=http://graph.test\r\n", "\"#API\" value \"http://", {}, ""},
      {job + "#VIA=graph\r\n#API=https://graph.test/v1.0\r\n", "https://host[:port]", {}, ""},
      {"#SEC=tls\r\n" + job + "#API=https://graph.test\r\n", "add \"#VIA=graph\"", {}, ""},
      {"#USR=info@example.jp\r\n#VIA=graph\r\n", "\"#VIA=graph\" needs \"#OAU\"", {}, ""},
      {"#OAU=google\r\n#OID=c\r\n#VIA=gmail\r\n", "\"#VIA=gmail\" needs \"#USR\"", {}, ""},
      // A service account needs no #OAU or #OID, and its token is Google's.
      {"#USR=info@example.jp\r\n#OSA=k.json\r\n#VIA=gmail\r\n", nullptr, Via::Gmail, ""},
      {"#USR=info@example.jp\r\n#OSA=k.json\r\n#VIA=graph\r\n", "use \"#VIA=gmail\"", {}, ""},
  };
  for (const auto& c : cases) {
    const std::string text = "#TO=a@example.jp\r\n" + c.lines + "\r\nx\r\n";
    if (c.refusal) {
      ExpectBad(text, c.refusal);
      continue;
    }
    ASSERT_FALSE(Read(text)) << c.lines;
    EXPECT_EQ(st_.Submit.oauth.via, c.via) << c.lines;
    EXPECT_EQ(st_.Submit.apiBase, c.base) << c.lines;
    EXPECT_TRUE(st_.Submit.UsesOAuth()) << c.lines;  // with #AUT=plain too
  }
}

// #DSN: a list of success, failure and delay in any case and spacing, or
// never alone; only under EHLO. Every refusal stops the run (65).
TEST_F(SubmissionDirectives, DsnValuesAndRefusals) {
  const struct {
    const char* lines;
    const char* refusal;  // nullptr: read, giving `dsn`
    DsnRequest dsn;
  } cases[] = {
      {"#SEC=starttls\r\n#DSN=failure,delay\r\n", nullptr, {.failure = true, .delay = true}},
      {"#USR=u\r\n#SEC=none\r\n#DSN= Delay , SUCCESS,failure \r\n",
       nullptr,
       {.success = true, .failure = true, .delay = true}},
      {"#SEC=tls\r\n#DSN=never\r\n", nullptr, {.never = true}},
      {"#SEC=tls\r\n#DSN=delay\r\n#DSN=success\r\n", nullptr, {.success = true}},
      {"#SEC=tls\r\n", nullptr, {}},
      {"#SEC=tls\r\n#DSN=never,failure\r\n",
       "line 3: \"#DSN\" value \"never,failure\" has never",
       {}},
      {"#SEC=tls\r\n#DSN=failure,NEVER\r\n", "never stands alone", {}},
      {"#SEC=tls\r\n#DSN=failure,bounce\r\n", "\"#DSN\" value \"failure,bounce\" is not", {}},
      {"#SEC=tls\r\n#DSN=failure,\r\n", "\"#DSN\" value \"failure,\" is not", {}},
      {"#SEC=tls\r\n#DSN=\r\n", "\"#DSN\" value \"\" is empty", {}},
      {"#SEC=tls\r\n#DSN=\x95\x5C\r\n", "is not a list", {}},
      {"#DSN=failure\r\n", "\"#DSN\" asks for delivery status notifications, which need EHLO", {}},
      {"#POR=587\r\n#DSN=never\r\n", "need EHLO", {}},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("#TO=a@example.jp\r\n") + c.lines + "\r\nx\r\n";
    if (c.refusal) {
      ExpectBad(text, c.refusal);
      continue;
    }
    ASSERT_FALSE(Read(text)) << c.lines;
    EXPECT_EQ(st_.Submit.dsn.success, c.dsn.success) << c.lines;
    EXPECT_EQ(st_.Submit.dsn.failure, c.dsn.failure) << c.lines;
    EXPECT_EQ(st_.Submit.dsn.delay, c.dsn.delay) << c.lines;
    EXPECT_EQ(st_.Submit.dsn.never, c.dsn.never) << c.lines;
  }
}

TEST_F(SubmissionDirectives, AfterTheDirectiveSectionTheyAreBodyText) {
  ASSERT_FALSE(Read("#TO=a@example.jp\r\n\r\n#SEC=tls\r\n#USR=x\r\n"));
  EXPECT_FALSE(st_.Submit.Extended());
  EXPECT_NE(st_.BodyText.find("#SEC=tls"), std::string::npos);
}

// After a misspelled "#SEC" every submission directive, the secrets above
// all, stops the run instead of going out as text; no value is shown.
TEST_F(SubmissionDirectives, AfterAMisspelledDirectiveTheyStopTheRun) {
  for (const char* key : {"#POR", "#SEC", "#USR", "#PAS", "#CAF", "#AUT", "#OAU", "#OID", "#OSC",
                          "#OTE", "#OSP", "#OAZ", "#OSA"}) {
    const std::string text = std::string("#TO=a@example.jp\r\n#SCE=starttls\r\n#USR=yamada\r\n") +
                             key + "=Zq9-secret\r\n\r\nbody\r\n";
    ExpectBad(text, "line 2: \"#SCE\" is no directive");
    Status status = Read(text);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->message.find("Zq9-secret"), std::string::npos) << status->message;
    EXPECT_EQ(status->message.find("starttls"), std::string::npos) << status->message;
    // Without the "#USR" line, the secret's own line is the one named.
    ExpectBad("#SVR=x\r\n" + std::string(key) + "=Zq9-secret\r\n",
              std::string("line 2 (\"") + key + "\")");
  }
}

}  // namespace
}  // namespace tolvex
