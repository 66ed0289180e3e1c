// Kept mail in whole runs (FormRig, virtual time): kept by a first run
// with #QUE, sent first by the next with its Bcc, and each fate of a kept
// message (delivered, waiting, refused, expired, a sending mark left by a
// stopped run) in a send cycle and under --flush, with the exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/exit_status.hpp"
#include "app/kept_mail.hpp"
#include "encoding/jis_decode.hpp"
#include "support/form_rig.hpp"
#include "support/scripted_https.hpp"

namespace tolvex::test {
namespace {

namespace fs = std::filesystem;

constexpr char kKept[] = "undelivered/20261130-120000-1";

// The envelope lines of every session, in order.
std::vector<std::string> Envelope(const FormRig& rig) {
  std::vector<std::string> lines;
  for (const FakeSocket::Call& call : rig.socket.CallsOf("SendData")) {
    if (call.text.starts_with("MAIL FROM:") || call.text.starts_with("RCPT TO:"))
      lines.push_back(call.text.substr(0, call.text.size() - 2));
  }
  return lines;
}

// A server that accepts everything, but answers the kept message's
// sessions (MAIL FROM:<kept@…>) at `command` with `reply`; `all421`: 421
// to every HELO.
ServerScript Server(std::string command, std::string reply, bool all421 = false) {
  ServerScript script = AcceptingServer();
  auto keptSession = std::make_shared<bool>(false);
  script.reply = [accept = script.reply, command, reply, all421,
                  keptSession](const std::string& c) {
    if (all421 && c.starts_with("HELO")) return std::string("421 busy\r\n");
    if (c.starts_with("MAIL FROM:")) *keptSession = c.starts_with("MAIL FROM:<kept@");
    if (*keptSession && !command.empty() && c.starts_with(command)) return reply;
    return accept(c);
  };
  return script;
}

// A message kept `days` ago: 能 <hidden@…> is its Bcc.
void Seed(FormRig& rig, int days, bool sending) {
  KeptSidecar s;
  s.envelope.from = "kept@example.jp";
  s.envelope.to = {"kept-to@example.jp", "\x94\x5C <hidden@example.jp>"};
  s.envelope.bcc = 1;
  s.firstTried = rig.clock.Now();
  ASSERT_LE(days, 6);
  s.firstTried.day -= days;  // the 7th, less up to 6 days
  s.attempts = 1;
  s.sending = sending;
  fs::create_directories(rig.dir / "undelivered");
  // Its last line is a lone ".": the message's own, sent stuffed.
  rig.WriteFile(std::string(kKept) + ".eml", "Subject: kept\r\n\r\nold\r\n.\r\n");
  rig.WriteFile(std::string(kKept) + ".json", SidecarText(s));
}

const std::vector<std::string> kKeptEnvelope = {
    "MAIL FROM:<kept@example.jp>", "RCPT TO:<kept-to@example.jp>", "RCPT TO:<hidden@example.jp>"};
const std::vector<std::string> kNewEnvelope = {"MAIL FROM:<from@example.jp>",
                                               "RCPT TO:<to@example.jp>"};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(QueueRun, KeptByOneRunSentFirstByTheNext) {
  FormRig first(Server("", "", true));
  first.WriteSimpleCommandFile({"#QUE=3", "#BCC=\x94\x5C <hidden@example.jp>"});
  first.Load();
  ASSERT_TRUE(first.RunUntilEnded());
  EXPECT_EQ(first.window.exitCode, kExitTempFail);
  const std::string name = "undelivered/20261207-000000-1";
  ASSERT_TRUE(first.Exists(name + ".eml"));
  const std::string eml = first.ReadFile(name + ".eml");
  EXPECT_EQ(eml.find("hidden"), std::string::npos);  // no Bcc in the message
  const std::optional<KeptSidecar> sidecar = ReadSidecarText(first.ReadFile(name + ".json"));
  ASSERT_TRUE(sidecar.has_value());
  EXPECT_EQ(sidecar->envelope.bcc, 1);
  EXPECT_EQ(sidecar->envelope.to.back(), "\x94\x5C <hidden@example.jp>");
  EXPECT_EQ(sidecar->attempts, 1);
  EXPECT_EQ(sidecar->lastFailure, "delivery failed in state 130: 421 busy");
  EXPECT_FALSE(sidecar->sending);

  FormRig second;
  second.WriteSimpleCommandFile({"#QUE=3"});
  fs::copy(first.dir / "undelivered", second.dir / "undelivered");
  second.Load();
  ASSERT_TRUE(second.RunUntilEnded());
  EXPECT_EQ(second.window.exitCode, kExitOk);
  EXPECT_EQ(Envelope(second), Join({"MAIL FROM:<from@example.jp>", "RCPT TO:<to@example.jp>",
                                    "RCPT TO:<hidden@example.jp>"},
                                   kNewEnvelope));
  const std::vector<FakeSocket::Call> messages = second.socket.CallsOf("SendMessageData");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].text, eml + ".\r\n");
  EXPECT_TRUE(fs::is_empty(second.dir / "undelivered"));
  EXPECT_EQ(second.LogRecordCount(), 2);
  EXPECT_NE(second.Log().find(" 0 (kept " + name + ".eml)\r\n"), std::string::npos) << second.Log();
}

TEST(QueueRun, EachFateOfAKeptMessage) {
  const struct {
    const char* name;
    std::vector<std::string> extra;
    bool flush;
    int days;
    bool sending;
    ServerScript server;
    std::vector<std::string> envelope;
    const char* endsIn;  // where the pair is after; "" gone
    int exitCode;
  } cases[] = {
      {"delivered",
       {"#QUE=7"},
       false,
       0,
       false,
       AcceptingServer(),
       Join(kKeptEnvelope, kNewEnvelope),
       "",
       kExitOk},
      {"neither #QUE nor #RTY: left alone",
       {},
       false,
       0,
       false,
       AcceptingServer(),
       kNewEnvelope,
       "undelivered",
       kExitOk},
      {"with #RTY alone",
       {"#RTY=0,1"},
       false,
       6,
       false,
       AcceptingServer(),
       Join(kKeptEnvelope, kNewEnvelope),
       "",
       kExitOk},
      {"a recipient refused",
       {"#QUE=7"},
       false,
       0,
       false,
       Server("RCPT TO:<hidden", "550 no such user\r\n"),
       Join(kKeptEnvelope, kNewEnvelope),
       "undelivered/refused",
       kExitUnavailable},
      {"421: it waits",
       {"#QUE=7"},
       false,
       0,
       false,
       Server("MAIL", "421 later\r\n"),
       Join({kKeptEnvelope[0]}, kNewEnvelope),
       "undelivered",
       kExitTempFail},
      {"older than #QUE",
       {"#QUE=2"},
       false,
       3,
       false,
       AcceptingServer(),
       kNewEnvelope,
       "undelivered/expired",
       kExitUnavailable},
      {"a sending mark left",
       {"#QUE=7"},
       false,
       0,
       true,
       AcceptingServer(),
       kNewEnvelope,
       "undelivered/refused",
       kExitUnavailable},
      {"#QUE=0",
       {"#QUE=0"},
       false,
       0,
       false,
       AcceptingServer(),
       kNewEnvelope,
       "undelivered",
       kExitOk},
      {"--flush, no age limit",
       {"#QUE=0"},
       true,
       6,
       false,
       AcceptingServer(),
       kKeptEnvelope,
       "",
       kExitOk},
      {"--flush, 421",
       {},
       true,
       0,
       false,
       Server("MAIL", "421 later\r\n"),
       {kKeptEnvelope[0]},
       "undelivered",
       kExitTempFail},
      {"--flush, 554",
       {},
       true,
       0,
       false,
       Server("DATA", "554 no\r\n"),
       kKeptEnvelope,
       "undelivered/refused",
       kExitUnavailable},
      {"--flush, too old",
       {"#QUE=1"},
       true,
       2,
       false,
       AcceptingServer(),
       {},
       "undelivered/expired",
       kExitUnavailable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FormRig rig(c.server);
    std::vector<std::string> extra = c.extra;
    extra.push_back("#DEL");
    rig.WriteSimpleCommandFile(extra);
    Seed(rig, c.days, c.sending);
    rig.Load(c.flush);
    ASSERT_TRUE(rig.RunUntilEnded());
    EXPECT_EQ(rig.window.exitCode, c.exitCode);
    EXPECT_EQ(Envelope(rig), c.envelope);
    if (!*c.endsIn) {
      const std::vector<FakeSocket::Call> messages = rig.socket.CallsOf("SendMessageData");
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages[0].text, "Subject: kept\r\n\r\nold\r\n..\r\n.\r\n");
    }
    const std::string leaf = fs::path(kKept).filename().string();
    for (const char* ext : {".eml", ".json"}) {
      EXPECT_EQ(rig.Exists(std::string(kKept) + ext), std::string(c.endsIn) == "undelivered");
      if (*c.endsIn) {
        EXPECT_TRUE(rig.Exists(std::string(c.endsIn) + "/" + leaf + ext));
      }
    }
    // --flush composes nothing and leaves command.txt to the job.
    EXPECT_EQ(rig.Exists("command.txt"), c.flush);
    if (std::string(c.endsIn) == "undelivered") {
      const auto sidecar = ReadSidecarText(rig.ReadFile(std::string(kKept) + ".json"));
      ASSERT_TRUE(sidecar.has_value());
      EXPECT_FALSE(sidecar->sending);
      EXPECT_EQ(sidecar->attempts, c.envelope.empty() || c.envelope == kNewEnvelope ? 1 : 2);
    }
    // Each fate reaches the event log once, naming the kept file.
    const std::string where = c.endsIn;
    const std::optional<EventKind> fate =
        where == "undelivered"           ? std::nullopt
        : where == "undelivered/refused" ? std::optional(EventKind::KeptRefused)
        : where == "undelivered/expired" ? std::optional(EventKind::KeptExpired)
                                         : std::optional(EventKind::KeptDelivered);
    int fates = 0;
    for (const auto& event : rig.events.events) {
      if (event.kind != EventKind::KeptRefused && event.kind != EventKind::KeptExpired &&
          event.kind != EventKind::KeptDelivered) {
        continue;
      }
      ++fates;
      EXPECT_EQ(std::optional(event.kind), fate) << event.text;
      EXPECT_NE(event.text.find(leaf + ".eml"), std::string::npos) << event.text;
    }
    EXPECT_EQ(fates, fate ? 1 : 0);
    if (*c.endsIn && std::string(c.endsIn) != "undelivered") {
      const auto sidecar =
          ReadSidecarText(rig.ReadFile(std::string(c.endsIn) + "/" + leaf + ".json"));
      ASSERT_TRUE(sidecar.has_value());
      EXPECT_FALSE(sidecar->lastFailure.empty());
    }
  }
}

// #VIA: the kept message goes to the mail API with its Bcc line spliced in
// (the .eml has none), and the sidecar is marked "sending" on the disk
// before the request is made.
TEST(QueueRun, KeptMailThroughTheMailApi) {
  ScriptedHttps https;
  https.replies.push_back(ScriptedHttps::Reply(200, R"({"access_token":"at"})"));
  https.replies.push_back(ScriptedHttps::Reply(202, ""));
  FormRig rig;
  std::vector<bool> markedSending;
  https.onRequest = [&] {
    const auto sidecar = ReadSidecarText(rig.ReadFile(std::string(kKept) + ".json"));
    markedSending.push_back(sidecar && sidecar->sending);
  };
  rig.https = &https;
  rig.WriteSimpleCommandFile({"#SEC=starttls", "#USR=u@example.jp", "#OAU=https://idp.test/token",
                              "#OID=c", "#OSC=s", "#VIA=graph"});
  Seed(rig, 0, false);
  rig.Load(true);
  ASSERT_TRUE(rig.RunUntilEnded());
  EXPECT_EQ(rig.window.exitCode, kExitOk);
  ASSERT_EQ(https.calls.size(), 1u);
  EXPECT_EQ(markedSending, (std::vector<bool>{false, true}));  // the token, then the message
  const std::string mime = DecodeBase64(https.calls[0].body).value_or("");  // Graph's form
  EXPECT_EQ(mime.rfind("Bcc: ", 0), 0u) << mime;
  EXPECT_NE(mime.find("hidden@example.jp"), std::string::npos) << mime;
  EXPECT_NE(mime.find("Subject: kept\r\n\r\nold\r\n"), std::string::npos) << mime;
  EXPECT_FALSE(rig.Exists(std::string(kKept) + ".eml"));
  EXPECT_FALSE(rig.Exists(std::string(kKept) + ".json"));
}

}  // namespace
}  // namespace tolvex::test
