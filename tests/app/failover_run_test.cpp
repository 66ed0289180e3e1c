// A backup server in whole runs: #HOS's list tried in turn after a
// temporary failure, in the plain session and under submission, each try
// with its own LOG.txt record; a permanent refusal stays with its host; a
// retry starts again at the first host.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "support/form_rig.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::test {
namespace {

constexpr char kList[] = "#HOS=primary.example, backup.example";

// The server at "primary.example" fails as `primary` says: "refused" (no
// one listens), or the greeting it sends; "backup.example" takes the
// message with `message`'s reply.
ServerScript Servers(std::string primary, std::string message = "250 queued\r\n") {
  ServerScript script = AcceptingServer();
  const ServerScript accepting = script;
  script.atHost = [=](const std::string& host, ServerScript& server) {
    server.connect = ServerScript::ConnectMode::Accept;
    server.greeting = accepting.greeting;
    server.reply = [message](const std::string& command) -> std::string {
      if (command == "DATA\r\n") return "354 go ahead\r\n";
      if (command == "QUIT\r\n") return "221 bye\r\n";
      if (command == "<message>") return message;
      if (command.starts_with("EHLO")) return "250-ok\r\n250 AUTH XOAUTH2\r\n";
      if (command.starts_with("AUTH")) return "235 ok\r\n";
      return "250 ok\r\n";
    };
    if (host != "primary.example") return;
    if (primary == "refused") {
      server.connect = ServerScript::ConnectMode::Refused;
    } else {
      server.greeting = primary;
    }
  };
  return script;
}

std::vector<std::string> HostsConnected(const FormRig& rig) {
  std::vector<std::string> hosts;
  for (const auto& call : rig.socket.CallsOf("Connect")) hosts.push_back(call.text);
  return hosts;
}

// The state numbers of LOG.txt's records, in order.
std::vector<std::string> LoggedSteps(const FormRig& rig) {
  std::vector<std::string> steps;
  const std::string log = rig.Log();
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = log.find("\r\n", at);
    const std::string line = log.substr(at, end - at);
    // "<date> <time> <state> <text>"
    const std::size_t from = line.find(' ', line.find(' ') + 1);
    if (from != std::string::npos) {
      steps.push_back(line.substr(from + 1, line.find(' ', from + 1) - from - 1));
    }
    if (end == std::string::npos) break;
    at = end + 2;
  }
  return steps;
}

TEST(FailoverRun, BackupServer) {
  const struct {
    const char* name;
    ServerScript script;
    std::vector<std::string> extra;
    std::vector<std::string> hosts;  // connected to, in order
    std::vector<std::string> steps;  // LOG.txt's records
    int exitCode;
    Millis within;  // the run ends before this
  } cases[] = {
      // Noticed at once, not after the plain session's two minutes.
      {"plain: refused, then delivered",
       Servers("refused"),
       {kList},
       {"primary.example", "backup.example"},
       {"999", "0"},
       kExitOk,
       5000},
      {"plain: 421 greeting, then delivered",
       Servers("421 busy\r\n"),
       {kList},
       {"primary.example", "backup.example"},
       {"120", "0"},
       kExitOk,
       5000},
      {"submission: refused, then delivered",
       Servers("refused"),
       {kList, "#SEC=none"},
       {"primary.example", "backup.example"},
       {"999", "0"},
       kExitOk,
       5000},
      {"submission: 421 greeting, then delivered",
       Servers("421 busy\r\n"),
       {kList, "#SEC=none"},
       {"primary.example", "backup.example"},
       {"120", "0"},
       kExitOk,
       5000},
      {"550 greeting: no second try",
       Servers("554 go away\r\n"),
       {kList},
       {"primary.example"},
       {"120"},
       kExitUnavailable,
       5000},
      // Both fail for now: the attempt ends as the last host's did, and
      // the retry begins again at the first.
      {"every host for now, retried from the first",
       Servers("421 busy\r\n", "451 later\r\n"),
       {kList, "#SEC=none", "#RTY=1,1"},
       {"primary.example", "backup.example", "primary.example", "backup.example"},
       {"120", "999", "120", "999"},
       kExitTempFail,
       2 * kMinute},
      // One name: the refused connection waits out the time-out as before.
      {"one host refused",
       Servers("refused"),
       {"#HOS=primary.example"},
       {"primary.example"},
       {"999"},
       kExitUnavailable,
       3 * kMinute},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormRig rig(c.script);
    rig.WriteSimpleCommandFile(c.extra);
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded(c.within));
    // Without a list a refused connection still waits out the time-out.
    if (c.hosts.size() == 1 && c.steps == std::vector<std::string>{"999"}) {
      EXPECT_GE(rig.scheduler.Now(), 2 * kMinute);
    }
    EXPECT_EQ(HostsConnected(rig), c.hosts);
    EXPECT_EQ(LoggedSteps(rig), c.steps);
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    // Each move to the backup is told (code page 932 text, like any report).
    int told = 0;
    for (const Failure& f : rig.window.failures) {
      if (f.message.starts_with("primary.example: delivery failed in state ") &&
          f.message.ends_with("; trying backup.example")) {
        ++told;
      }
    }
    EXPECT_EQ(told, c.hosts.size() > 1 ? static_cast<int>(c.hosts.size()) / 2 : 0);
  }
}

// Through a proxy: each host's tunnel is asked for by its name; the proxy's
// refusal for now (112) moves on like a refused connection.
TEST(FailoverRun, ThroughAProxy) {
  ServerScript script = Servers("");
  auto tunnels = std::make_shared<int>(0);
  script.atHost = [base = script.atHost, tunnels](const std::string& host, ServerScript& server) {
    base(host, server);
    server.proxyReplies = {++*tunnels == 1 ? "HTTP/1.1 503 Service Unavailable\r\n\r\n"
                                           : "HTTP/1.1 200 Connection established\r\n\r\n"};
  };
  FormRig rig(script);
  rig.WriteSimpleCommandFile({kList, "#PRX=http://proxy.example:8080"});
  rig.Load();
  ASSERT_TRUE(rig.RunUntilEnded(5000));
  EXPECT_EQ(HostsConnected(rig), (std::vector<std::string>{"proxy.example", "proxy.example"}));
  std::vector<std::string> asked;
  for (const auto& call : rig.socket.CallsOf("SendData")) {
    if (call.text.starts_with("CONNECT "))
      asked.push_back(call.text.substr(0, call.text.find('\r')));
  }
  EXPECT_EQ(asked, (std::vector<std::string>{"CONNECT primary.example:25 HTTP/1.1",
                                             "CONNECT backup.example:25 HTTP/1.1"}));
  EXPECT_EQ(LoggedSteps(rig), (std::vector<std::string>{"112", "0"}));
  EXPECT_EQ(rig.window.exitCode, kExitOk);
}

// Under OAuth the backup gets the token the first host's attempt fetched;
// one that serves a single send (no expires_in) is asked for again, with
// the client secret still there.
TEST(FailoverRun, TokensForTheBackup) {
  for (const char* reply :
       {R"({"access_token":"at","expires_in":3600})", R"({"access_token":"at"})"}) {
    SCOPED_TRACE(reply);
    ScriptedHttps https;
    https.replies = {ScriptedHttps::Reply(200, reply), ScriptedHttps::Reply(200, reply)};
    FormRig rig(Servers("refused"));
    rig.https = &https;
    rig.WriteSimpleCommandFile({kList, "#SEC=none", "#USR=u@example.jp",
                                "#OAU=https://idp.test/token", "#OID=c", "#OSC=s"});
    rig.Load();
    ASSERT_TRUE(rig.RunUntilEnded(5000));
    const bool cached = std::string_view(reply).find("expires_in") != std::string_view::npos;
    ASSERT_EQ(https.forms.size(), cached ? 1u : 2u);
    for (const std::string& form : https.forms) {
      EXPECT_NE(form.find("client_secret=s"), std::string::npos) << form;
    }
    EXPECT_EQ(HostsConnected(rig), (std::vector<std::string>{"primary.example", "backup.example"}));
    EXPECT_EQ(LoggedSteps(rig), (std::vector<std::string>{"999", "0"}));
    int auths = 0;
    for (const auto& call : rig.socket.CallsOf("SendData")) {
      if (call.text.starts_with("AUTH XOAUTH2 ")) ++auths;
    }
    EXPECT_EQ(auths, 1);
    EXPECT_EQ(rig.window.exitCode, kExitOk);
  }
}

}  // namespace
}  // namespace tolvex::test
