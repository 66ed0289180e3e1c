// Whole runs (Form_Load to the end, virtual time) of each message kind,
// once and with repeats, with one injected fault at every point in turn:
// the Nth socket call (connect, send, receive) or the Nth file operation,
// for N = 1, 2, ... until a run passes without reaching N. Whatever fails,
// the run ends, logs at most one record per delivery, keeps what LOG.txt
// held, removes its spool files and reports exactly when something failed.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/exit_status.hpp"
#include "app/kept_mail.hpp"
#include "support/faulty_folder.hpp"
#include "support/form_rig.hpp"

namespace tolvex::test {
namespace {

struct Kind {
  const char* name;
  std::vector<std::string> directives;
  std::vector<std::pair<std::string, std::string>> files;  // UTF-8 name on disk, bytes
};

const Kind kKinds[] = {
    {"plain", {}, {}},
    {"text_file", {"#TEX=\x95\x5C.txt"}, {{"表.txt", "\x95\x5C\x8E\xA6\r\nline two\r\n"}}},
    {"attachments",
     {"#TO=a@example.jp, b@example.jp", "#ATT=a.bin, \x83\x5C.pdf"},
     {{"a.bin", std::string("\x00\xFF\r\n.\r\n", 6)}, {"ソ.pdf", "%PDF-1.4"}}},
    {"parts",
     {"#MUL=part1.txt,part2.txt"},
     {{"part1.txt", "Content-Type: text/plain\r\n\r\none\r\n"},
      {"part2.txt", "Content-Type: text/plain\r\n\r\n.two\r\n"}}},
};

enum class Source { SocketQuiet, SocketLoud, Files };

constexpr char kOldLog[] = "2026/12/06 23:59:00 0 \r\n";

// The records after the first `from` bytes: the lines that start with a
// date (a reply's own line breaks may follow a record's first line).
std::vector<std::string> RecordsAfter(const std::string& log, std::size_t from) {
  std::vector<std::string> records;
  for (std::size_t at = from; at < log.size();) {
    std::size_t end = log.find("\r\n", at);
    if (end == std::string::npos) end = log.size();
    if (log.compare(at, 5, "2026/") == 0) records.push_back(log.substr(at, end - at));
    at = end + 2;
  }
  return records;
}

// The state number of a record: "date time state reply".
std::string StateOf(const std::string& record) {
  const std::size_t a = record.find(' ');
  const std::size_t b = a == std::string::npos ? a : record.find(' ', a + 1);
  const std::size_t c = b == std::string::npos ? b : record.find(' ', b + 1);
  return c == std::string::npos ? "?" : record.substr(b + 1, c - b - 1);
}

// One run with the fault at `n`; returns whether the fault was reached.
bool RunWithFault(const Kind& kind, bool repeats, Source source, int n) {
  FormRig rig;
  std::vector<std::string> directives = kind.directives;
  if (repeats) directives.insert(directives.end(), {"#MOR=2", "#TER=2"});
  rig.WriteSimpleCommandFile(directives);
  for (const auto& [name, bytes] : kind.files) rig.WriteFile(name, bytes);
  rig.WriteFile("LOG.txt", kOldLog);
  FaultyFolder* folder = nullptr;
  if (source == Source::Files) {
    auto faulty = std::make_unique<FaultyFolder>(std::move(rig.files), n);
    folder = faulty.get();
    rig.files = std::move(faulty);
  } else {
    rig.socket.FailCallAt(n, source == Source::SocketLoud ? SocketFault::Loud : SocketFault::Quiet);
  }
  rig.Load();
  const bool ended = rig.RunUntilEnded();
  const std::string what = folder != nullptr ? folder->InjectedOp() : rig.socket.InjectedCall();
  const bool injected = !what.empty();
  SCOPED_TRACE(std::string(kind.name) + (repeats ? " with repeats" : "") + ", fault " +
               std::to_string(n) + (injected ? ": " + what : ": not reached"));
  EXPECT_TRUE(ended);

  // LOG.txt keeps what it had; one record per delivery attempt (one
  // connect each), less one whose own append failed.
  const std::string log = rig.Log();
  EXPECT_EQ(log.rfind(kOldLog, 0), 0u) << log;
  const std::vector<std::string> records = RecordsAfter(log, sizeof kOldLog - 1);
  const std::size_t attempts = rig.socket.CallsOf("Connect").size();
  const bool logAppendFailed = what == "append LOG.txt";
  EXPECT_EQ(records.size() + (logAppendFailed ? 1 : 0), attempts) << log;
  std::size_t failedRecords = 0;
  for (const std::string& record : records) failedRecords += StateOf(record) != "0";

  // The spool files are gone, unless removing TEMP.TXT is what failed.
  if (what != "remove TEMP.TXT") {
    EXPECT_FALSE(rig.Exists("TEMP.TXT"));
  }
  EXPECT_FALSE(rig.Exists("TEMP.TXT.new"));

  // Removing a work file that is not needed any more fails silently by
  // design; every other fault is reported and sets the exit status.
  const bool fails = injected && what.rfind("remove ", 0) != 0;
  if (fails) {
    EXPECT_NE(rig.window.exitCode.value_or(0), 0);
    EXPECT_FALSE(rig.window.failures.empty());
  } else {
    EXPECT_EQ(rig.window.exitCode, kExitOk);
    EXPECT_TRUE(rig.window.failures.empty()) << rig.window.failures.front().message;
    EXPECT_EQ(failedRecords, 0u) << log;
  }
  if (source != Source::Files && injected) {
    // A socket fault spoils the one delivery it hits.
    EXPECT_EQ(rig.window.exitCode, kExitUnavailable);
    EXPECT_EQ(failedRecords, 1u) << log;
  }
  return injected;
}

class FaultRuns : public ::testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(FaultRuns, EveryFaultPointEndsCleanly) {
  const Kind& kind = kKinds[std::get<0>(GetParam())];
  const bool repeats = std::get<1>(GetParam());
  for (Source source : {Source::SocketQuiet, Source::SocketLoud, Source::Files}) {
    int n = 1;
    while (RunWithFault(kind, repeats, source, n)) {
      ASSERT_LT(++n, 300) << "the run never passes";
    }
    // Every delivery has a dozen socket calls and a run at least as many
    // file operations: the loop has been through them all.
    EXPECT_GE(n, repeats ? 20 : 10);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultRuns,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].name) +
                                  (std::get<1>(info.param) ? "_repeats" : "_once");
                         });

// Under "#RTY=" with #DEL no fault loses the message: it ends taken by the
// server, kept in undelivered/, or still in command.txt. Against a server
// that takes it and one that keeps answering 421 (so that the keeping's own
// file operations are fault points too).
TEST(FaultRunsWithRetries, EveryMessageEndsDeliveredKeptOrInCommandTxt) {
  for (const bool refusing : {false, true}) {
    for (Source source : {Source::SocketQuiet, Source::SocketLoud, Source::Files}) {
      for (int n = 1;; ++n) {
        ASSERT_LT(n, 300) << "the run never passes";
        auto taken = std::make_shared<int>(0);
        ServerScript script = AcceptingServer();
        script.reply = [accept = script.reply, refusing, taken](const std::string& c) {
          if (refusing && c.rfind("HELO", 0) == 0) return std::string("421 busy\r\n");
          if (c == "<message>") ++*taken;
          return accept(c);
        };
        FormRig rig(script);
        rig.WriteSimpleCommandFile({"#RTY=1,1", "#DEL"});
        FaultyFolder* folder = nullptr;
        if (source == Source::Files) {
          auto faulty = std::make_unique<FaultyFolder>(std::move(rig.files), n);
          folder = faulty.get();
          rig.files = std::move(faulty);
        } else {
          rig.socket.FailCallAt(
              n, source == Source::SocketLoud ? SocketFault::Loud : SocketFault::Quiet);
        }
        rig.Load();
        const bool ended = rig.RunUntilEnded();
        const std::string what = folder ? folder->InjectedOp() : rig.socket.InjectedCall();
        SCOPED_TRACE(std::string(refusing ? "421 server" : "accepting server") + ", fault " +
                     std::to_string(n) + ": " + (what.empty() ? "not reached" : what));
        ASSERT_TRUE(ended);
        std::error_code ec;
        const bool kept = !std::filesystem::is_empty(rig.dir / "undelivered", ec) && !ec;
        EXPECT_TRUE(*taken > 0 || kept || rig.Exists("command.txt"));
        if (what.empty()) break;
      }
    }
  }
}

// Kept mail: a kept message waits when the run starts; the Nth file step
// fails (`crash` false) or the run stops dead there (`crash`), and a second
// run against a working server follows. The kept message is never sent
// twice and never lost: it arrives at most once over both runs, and when
// it never arrives it lies in undelivered/refused/ (a "sending" mark left
// by a run that stopped between the mark and the removal also lands it
// there, sent once). Each crash point's outcome is recorded as a test property.
TEST(FaultRunsWithKeptMail, NothingLostOrSentTwice) {
  const std::string kept = "undelivered/20261206-120000-1";
  const auto keptSent = [](const FormRig& rig) {
    int n = 0;
    for (const auto& call : rig.socket.CallsOf("SendMessageData"))
      n += call.text.starts_with("Subject: kept") ? 1 : 0;
    return n;
  };
  const auto where = [](const FormRig& rig) {
    std::string at;
    std::error_code ec;
    for (const auto& e : std::filesystem::recursive_directory_iterator(rig.dir / "undelivered", ec))
      if (e.is_regular_file())
        at += (at.empty() ? "" : " ") + e.path().lexically_relative(rig.dir).string();
    return at.empty() ? std::string("none") : at;
  };
  // The first run's server takes everything, refuses the kept message's
  // recipient (its pair is moved), or answers 421 to all (the new message
  // is kept beside it).
  const auto server = [](char kind) {
    ServerScript script = AcceptingServer();
    script.reply = [accept = script.reply, kind](const std::string& c) {
      if (kind == 'R' && c.starts_with("RCPT TO:<kept")) return std::string("550 no\r\n");
      if (kind == '4' && c.starts_with("HELO")) return std::string("421 busy\r\n");
      return accept(c);
    };
    return script;
  };
  for (const char kind : {'A', 'R', '4'}) {
    for (const bool crash : {false, true}) {
      for (int n = 1;; ++n) {
        ASSERT_LT(n, 300) << "the run never passes";
        FormRig first(server(kind));
        first.WriteSimpleCommandFile({"#QUE=7"});
        KeptSidecar sidecar;
        sidecar.envelope.from = "kept@example.jp";
        sidecar.envelope.to = {"kept-to@example.jp"};
        sidecar.firstTried = first.clock.Now();
        std::filesystem::create_directories(first.dir / "undelivered");
        first.WriteFile(kept + ".eml", "Subject: kept\r\n\r\nold\r\n");
        first.WriteFile(kept + ".json", SidecarText(sidecar));
        auto faulty = std::make_unique<FaultyFolder>(std::move(first.files), n);
        faulty->crash = crash;
        FaultyFolder& folder = *faulty;
        first.files = std::move(faulty);
        bool ended = false;
        try {
          first.Load();
          ended = first.RunUntilEnded();
        } catch (const FaultyFolder::Crash&) {
        }
        const std::string what = folder.InjectedOp();
        SCOPED_TRACE(std::string(1, kind) + (crash ? " crash" : " fault") + " at " +
                     std::to_string(n) + ": " + (what.empty() ? "not reached" : what));
        EXPECT_TRUE(ended || (crash && !what.empty()));
        const std::string afterFirst = where(first);

        FormRig second;
        second.WriteSimpleCommandFile({"#QUE=7"});
        std::error_code ec;
        std::filesystem::copy(first.dir / "undelivered", second.dir / "undelivered",
                              std::filesystem::copy_options::recursive, ec);
        second.Load();
        ASSERT_TRUE(second.RunUntilEnded());
        const int sent = keptSent(first) + keptSent(second);
        const bool refused = second.Exists("undelivered/refused/20261206-120000-1.eml");
        EXPECT_LE(sent, 1) << afterFirst << " / " << where(second);
        EXPECT_TRUE(sent == 1 || refused) << afterFirst << " / " << where(second);
        EXPECT_FALSE(second.Exists(kept + ".eml"));
        if (crash && !what.empty()) {
          ::testing::Test::RecordProperty(
              std::string("crash_") + kind + "_" + std::to_string(n),
              what + " | after: " + afterFirst + ", kept message on the wire " +
                  std::to_string(keptSent(first)) + "x | next run: sent " +
                  std::to_string(keptSent(second)) + "x, " + where(second));
        }
        if (what.empty()) break;
      }
    }
  }
}

}  // namespace
}  // namespace tolvex::test
