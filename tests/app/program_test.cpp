// RunProgram: each mode of the command line runs on the one platform
// bundle its host builds (here the fakes in virtual time), and the texts
// that need no bundle, or no current directory, come without one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "app/program.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

struct RigHost final : ProgramHost {
  explicit RigHost(FormRig& r) : rig(r) {}
  void WriteOut(const std::string& text) override { out += text; }
  void WriteError(const std::string& text) override { err += text; }
  int WithPlatform(JobMode mode, const std::filesystem::path& workDir,
                   const std::function<int(PlatformBundle&)>& body) override {
    modes.push_back(mode);
    EXPECT_EQ(workDir, std::filesystem::current_path());
    return body(rig.Bundle());
  }
  FormRig& rig;
  std::string out;
  std::string err;
  std::vector<JobMode> modes;
};

int RunWith(RigHost& host, std::vector<std::string_view> args) {
  const VersionFacts version{"9.9",     "v9.9-2-g1a2b3c4-dirty", "2026-12-08",
                             "GCC 1.2", "OpenSSL 3.9.9",         "libcurl.so.4"};
  return RunProgram(args, "tolvex", version, "\n", host);
}

TEST(Program, EachModeRunsOnTheBundle) {
  const struct Case {
    std::vector<std::string_view> args;
    int exit;
    std::optional<JobMode> mode;  // none: no bundle is built
    std::vector<std::string> printed;
    std::vector<std::string> sent;  // the command lines the server saw
  } cases[] = {
      {{"--version"},
       kExitOk,
       std::nullopt,
       {"tolvex 9.9\ncommit:   v9.9-2-g1a2b3c4-dirty\nbuilt:    2026-12-08\n"
        "compiler: GCC 1.2\nTLS:      OpenSSL 3.9.9\nHTTPS:    libcurl.so.4\n"},
       {}},
      {{"--help"}, kExitOk, std::nullopt, {"Usage: tolvex\n"}, {}},
      {{"--nonsense"}, kExitUsage, std::nullopt, {"Try 'tolvex --help'.\n"}, {}},
      {{"--check"},
       kExitOk,
       JobMode::Check,
       {"Server:   mail.example, port 25\n", "Envelope: MAIL FROM:<from@example.jp>\n",
        "          RCPT TO:<to@example.jp>\n"},
       {}},
      {{"--probe"},
       kExitOk,
       JobMode::Probe,
       {"Server:      mail.example, port 25\n", "EHLO:        250 ok\n",
        "MAIL FROM:   <from@example.jp>\n             250 ok\n",
        "RCPT TO:     <to@example.jp>\n             250 ok\n",
        "Result:      the server would accept this session\n"},
       {"HELO desk1\r\n", "MAIL FROM:<from@example.jp>\r\n", "RCPT TO:<to@example.jp>\r\n",
        "RSET\r\n", "QUIT\r\n"}},
      {{},
       kExitOk,
       JobMode::Run,
       {},
       {"HELO desk1\r\n", "MAIL FROM:<from@example.jp>\r\n", "RCPT TO:<to@example.jp>\r\n",
        "DATA\r\n", "<message>", "QUIT\r\n"}},
      {{"--login"}, kExitDataErr, JobMode::Login, {}, {}},
      {{"--register-eventlog"},
       kExitUsage,
       std::nullopt,
       {"tolvex: --register-eventlog is for Windows; here events go to syslog"},
       {}},
      // Nothing kept: nothing sent, nothing composed.
      {{"--flush"}, kExitOk, JobMode::Run, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(run)" : c.args[0]);
    FormRig rig;
    rig.WriteSimpleCommandFile();
    RigHost host(rig);
    EXPECT_EQ(RunWith(host, c.args), c.exit) << host.err;
    if (c.mode) {
      EXPECT_EQ(host.modes, std::vector<JobMode>{*c.mode});
    } else {
      EXPECT_TRUE(host.modes.empty());
    }
    const std::string printed = c.mode ? rig.out.str() : host.out + host.err;
    for (const std::string& text : c.printed)
      EXPECT_NE(printed.find(text), std::string::npos) << printed;
    std::vector<std::string> sent;
    for (const auto& call : rig.socket.calls) {
      if (call.what == "SendData") sent.push_back(call.text);
      if (call.what == "SendMessageData") sent.push_back("<message>");
    }
    EXPECT_EQ(sent, c.sent);
  }
}

// --version names the compiler that built the program as it calls itself.
TEST(Program, VersionNamesTheCompiler) {
  const std::string_view name = kCompilerText.substr(0, kCompilerText.find(' '));
  const std::string_view number = kCompilerText.substr(name.size() + 1);
  EXPECT_TRUE(name == "GCC" || name == "Clang") << kCompilerText;
  EXPECT_NE(std::string_view(__VERSION__).find(number), std::string_view::npos) << __VERSION__;
}

// A refusal names the command it answers as the session sent it.
TEST(Program, ProbeNamesTheRefusedCommand) {
  const struct {
    const char* command;
    const char* reply;
    const char* result;
  } cases[] = {
      {"HELO", "501 no\r\n", "refused in state 130: 501 no (HELO desk1)\n"},
      {"MAIL", "553 who\r\n", "refused in state 140: 553 who (MAIL FROM <from@example.jp>)\n"},
      {"RCPT", "550 unknown\r\n", "refused in state 150: 550 unknown (RCPT TO <to@example.jp>)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ServerScript script = AcceptingServer();
    script.reply = [next = script.reply, c](const std::string& command) {
      return command.starts_with(c.command) ? std::string(c.reply) : next(command);
    };
    FormRig rig(script);
    rig.WriteSimpleCommandFile();
    RigHost host(rig);
    EXPECT_EQ(RunWith(host, {"--probe"}), kExitUnavailable);
    EXPECT_NE(rig.out.str().find(std::string("Result:      ") + c.result), std::string::npos)
        << rig.out.str();
  }
}

// Without a current directory no mode starts: the same line and 66 on
// every platform.
TEST(Program, NoCurrentDirectoryEndsWith66) {
  const std::filesystem::path before = std::filesystem::current_path();
  std::string gone = (std::filesystem::temp_directory_path() / "tolvex-gone-XXXXXX").string();
  ASSERT_NE(::mkdtemp(gone.data()), nullptr);
  std::filesystem::current_path(gone);
  std::filesystem::remove(gone);
  FormRig rig;
  RigHost host(rig);
  const int status = RunWith(host, {"--check"});
  std::filesystem::current_path(before);
  EXPECT_EQ(status, kExitNoInput);
  EXPECT_TRUE(host.err.starts_with("tolvex: cannot determine the current directory: ")) << host.err;
  EXPECT_TRUE(host.err.ends_with("\n"));
  EXPECT_TRUE(host.modes.empty());
}

}  // namespace
}  // namespace tolvex::test
