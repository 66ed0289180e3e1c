// Run control with the submission directives in virtual time: the port,
// where the secret comes from, the CA file read at start-up, the head
// lines of each send, and the secret kept out of every file and report.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "app/exit_status.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

const char kSecret[] = "Kq7-run-secret";
const char kCa[] = "-----BEGIN CERTIFICATE-----\r\nMIIB\r\n-----END CERTIFICATE-----\r\n";

struct Secrets final : SecretSource {
  std::optional<std::string> Environment(const char* name) override {
    asked.push_back(std::string("env:") + name);
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
  }
  std::optional<std::string> Stored(std::string_view target) override {
    asked.push_back("store:" + std::string(target));
    return stored;
  }
  std::string StoreName() const override { return "the store"; }
  std::map<std::string, std::string> env;
  std::optional<std::string> stored;
  std::vector<std::string> asked;
};

// A submission server: EHLO with STARTTLS and AUTH, AUTH answered `auth`.
ServerScript Server(std::string auth = "235 ok\r\n") {
  ServerScript script = AcceptingServer();
  auto accept = script.reply;
  script.reply = [accept, auth](const std::string& c) -> std::string {
    if (c.rfind("EHLO", 0) == 0) return "250-x\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n";
    if (c == "STARTTLS\r\n") return "220 go\r\n";
    if (c.rfind("AUTH", 0) == 0) return auth;
    return accept(c);
  };
  return script;
}

TEST(SubmissionRun, PortFollowsSecurityUnlessGiven) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{}, 25},
      {{"#SEC=none"}, 25},
      {{"#SEC=starttls"}, 587},
      {{"#SEC=tls"}, 465},
      {{"#SEC=tls", "#POR=2465"}, 2465},
      {{"#POR=2525"}, 2525}};
  for (const auto& [extra, port] : cases) {
    FormRig rig(Server());
    rig.WriteSimpleCommandFile(extra);
    rig.Load();
    EXPECT_EQ(rig.socket.remotePort, port) << (extra.empty() ? "" : extra.back());
  }
}

// The AUTH line the delivery sent (the secret is wiped once it is accepted).
std::string AuthLine(FormRig& rig) {
  rig.RunFor(kMinute);
  for (const auto& call : rig.socket.CallsOf("SendData")) {
    if (call.text.starts_with("AUTH ")) return call.text;
  }
  return {};
}

TEST(SubmissionRun, SecretFromTheCommandFileThenTheEnvironmentThenTheStore) {
  {
    Secrets secrets;
    secrets.env["TOLVEX_PASSWORD"] = "from-env";
    FormRig rig(Server());
    rig.secrets = &secrets;
    rig.WriteSimpleCommandFile({"#SEC=starttls", "#USR=yamada", "#PAS=from-file"});
    rig.Load();
    EXPECT_TRUE(secrets.asked.empty());
    EXPECT_EQ(AuthLine(rig), "AUTH PLAIN AHlhbWFkYQBmcm9tLWZpbGU=\r\n");  // \0yamada\0from-file
  }
  {
    Secrets secrets;
    secrets.env["TOLVEX_PASSWORD"] = "from-env";
    secrets.stored = "from-store";
    FormRig rig(Server());
    rig.secrets = &secrets;
    rig.WriteSimpleCommandFile({"#SEC=starttls", "#USR=yamada"});
    rig.Load();
    EXPECT_EQ(AuthLine(rig), "AUTH PLAIN AHlhbWFkYQBmcm9tLWVudg==\r\n");  // \0yamada\0from-env
    EXPECT_EQ(rig.form->State().Submit.origin, SecretOrigin::Environment);
  }
  {
    Secrets secrets;
    secrets.stored = "from-store";
    FormRig rig(Server());
    rig.secrets = &secrets;
    rig.WriteSimpleCommandFile({"#SEC=tls", "#USR=yamada"});
    rig.Load();
    EXPECT_EQ(secrets.asked,
              (std::vector<std::string>{"env:TOLVEX_PASSWORD", "store:Tolvex:mail.example"}));
    EXPECT_EQ(rig.form->State().Submit.origin, SecretOrigin::CredentialStore);
  }
}

TEST(SubmissionRun, NoSecretAnywhereStopsTheRunBeforeAConnection) {
  Secrets secrets;
  FormRig rig(Server());
  rig.secrets = &secrets;
  rig.WriteSimpleCommandFile({"#SEC=starttls", "#USR=yamada"});
  rig.Load();
  EXPECT_EQ(rig.window.exitCode, kExitDataErr);
  ASSERT_EQ(rig.window.failures.size(), 1u);
  EXPECT_NE(rig.window.failures[0].message.find("TOLVEX_PASSWORD"), std::string::npos);
  EXPECT_NE(rig.window.failures[0].message.find("the store Tolvex:mail.example"),
            std::string::npos);
  rig.RunFor(kMinute);
  EXPECT_TRUE(rig.socket.CallsOf("Connect").empty());
  EXPECT_FALSE(rig.Exists("LOG.txt"));
}

TEST(SubmissionRun, CaFileIsReadAtStartUpAndHandedToTheHandshake) {
  FormRig rig(Server());
  rig.WriteFile("ca.pem", kCa);
  rig.WriteSimpleCommandFile({"#SEC=starttls", "#CAF=ca.pem"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  ASSERT_EQ(rig.socket.tlsRequests.size(), 1u);
  EXPECT_EQ(rig.socket.tlsRequests[0].caPem, kCa);
  EXPECT_EQ(rig.socket.tlsRequests[0].host, "mail.example");
}

TEST(SubmissionRun, UnusableCaFileStopsTheRunNamingIt) {
  for (const auto& [file, status] :
       std::vector<std::pair<std::string, int>>{{"", kExitNoInput}, {"not a PEM", kExitDataErr}}) {
    FormRig rig(Server());
    if (!file.empty()) rig.WriteFile("ca.pem", file);
    rig.WriteSimpleCommandFile({"#SEC=starttls", "#CAF=ca.pem"});
    rig.Load();
    EXPECT_EQ(rig.window.exitCode, status);
    ASSERT_EQ(rig.window.failures.size(), 1u);
    EXPECT_NE(rig.window.failures[0].message.find("\"#CAF\" file ca.pem"), std::string::npos);
    rig.RunFor(kMinute);
    EXPECT_TRUE(rig.socket.CallsOf("Connect").empty());
  }
}

TEST(SubmissionRun, EachSendHasItsDateAndItsOwnMessageId) {
  FormRig rig;
  rig.WriteSimpleCommandFile({"#MOR=2", "#TER=2"});
  std::vector<std::string> messages;
  rig.Load();
  messages.push_back(rig.form->State().MailData.Bytes());
  rig.RunUntil(3 * kMinute);
  messages.push_back(rig.form->State().MailData.Bytes());
  ASSERT_TRUE(rig.RunUntilEnded());
  const std::regex id(R"(\r\nMessage-ID: <([^>]+)@example\.jp>\r\n)");
  std::smatch first, second;
  ASSERT_TRUE(std::regex_search(messages[0], first, id)) << messages[0];
  ASSERT_TRUE(std::regex_search(messages[1], second, id)) << messages[1];
  EXPECT_NE(first[1].str(), second[1].str());
  EXPECT_NE(messages[0].find("\r\nDate: Mon, 7 Dec 2026 00:00:00 +0900\r\n"), std::string::npos);
  EXPECT_NE(messages[1].find("\r\nDate: Mon, 7 Dec 2026 00:02:00 +0900\r\n"), std::string::npos);
}

TEST(SubmissionRun, RejectedSecretShowsInNoFileAndNoReport) {
  FormRig rig(Server("535 5.7.8 authentication failed\r\n"));
  rig.WriteSimpleCommandFile({"#SEC=starttls", "#USR=yamada", std::string("#PAS=") + kSecret});
  rig.Load();
  const std::string spool = rig.ReadFile("TEMP.TXT");
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.exitCode, kExitNoPerm);
  EXPECT_NE(rig.Log().find(" 139 535 5.7.8"), std::string::npos) << rig.Log();
  for (const std::string& text : {rig.Log(), spool}) {
    EXPECT_EQ(text.find(kSecret), std::string::npos);
  }
  for (const Failure& f : rig.window.failures)
    EXPECT_EQ(f.message.find(kSecret), std::string::npos);
  EXPECT_TRUE(rig.form->State().Submit.password.Empty() ||
              rig.form->State().Submit.password.View() == kSecret);
}

}  // namespace
}  // namespace tolvex::test
