// The SMTP session alone, fed arbitrary server behaviour through the
// scripted socket in virtual time. Input: one set-up byte (how the connect
// goes, how many recipients, which message), then records separated by NUL:
// the greeting, then the answer to each send in turn. A record's first byte
// chooses what the network does (bit 0: the send completes; bit 1: the reply
// arrives before the completion; bit 2: the reply comes in two arrivals;
// bit 3: no reply; bit 4: the server closes after it), the rest is the
// reply. After the last record every send completes and nothing more
// arrives.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "compose/message.hpp"
#include "fuzz_check.hpp"
#include "support/session_rig.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

using enum SmtpStep;

constexpr test::Millis kTickMs = 100;

bool Named(SmtpStep step) {
  switch (step) {
    case IDLE:
    case smtpSTART:
    case OAUTH_TOKEN:
    case API_REQUEST:
    case AWAIT_CONNECTION:
    case PROXY_REFUSED:
    case CONFARM_CONNECTION:
    case AWAIT_GREETING:
    case AWAIT_HELLO_TRANSFER:
    case AWAIT_HELLO_RESPONSE:
    case AWAIT_MAIL_FROM_TRANSFER:
    case AWAIT_MAIL_FROM_RESPONSE:
    case SIZE_EXCEEDED:
    case SMTPUTF8_MISSING:
    case AWAIT_RCPT_TO_TRANSFER:
    case AWAIT_RCPT_TO_RESPONSE:
    case AWAIT_RSET_TRANSFER:
    case AWAIT_RSET_RESPONSE:
    case AWAIT_DATA1_TRANSFER:
    case AWAIT_DATA_RESPONSE:
    case AWAIT_DATA_TRANSFER:
    case AWAIT_DATA_TRANSFER_RESPONSE:
    case AWAIT_QUIT_TRANSFER:
    case AWAIT_QUIT_RESPONSE:
    case EXIT:
    case AWAIT_STARTTLS_TRANSFER:
    case AWAIT_STARTTLS_RESPONSE:
    case AWAIT_TLS_HANDSHAKE:
    case AWAIT_EHLO_TLS_TRANSFER:
    case AWAIT_EHLO_TLS_RESPONSE:
    case AUTH_MECHANISM:
    case AWAIT_AUTH_TRANSFER:
    case AWAIT_AUTH_RESPONSE:
    case FAILED:
      return true;
  }
  return false;
}

struct Record {
  bool complete = true;
  bool replyFirst = false;
  bool split = false;
  bool silent = false;
  bool closes = false;
  std::string reply;
};

Record ParseRecord(std::string_view piece) {
  Record r;
  if (piece.empty()) return r;
  const auto control = static_cast<unsigned char>(piece[0]);
  r.complete = (control & 1) != 0;
  r.replyFirst = (control & 2) != 0;
  r.split = (control & 4) != 0;
  r.silent = (control & 8) != 0;
  r.closes = (control & 16) != 0;
  r.reply = std::string(piece.substr(1));
  return r;
}

constexpr std::string_view kMessages[] = {
    "Subject: x\r\n\r\nbody\r\n.\r\n",
    ".\r\n",
    "Subject: y\r\n\r\n.line\r\n..\r\n.\r\n",
    "",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned setup = data[0];
  const std::vector<std::string_view> pieces =
      fuzz::Split(fuzz::AsText(data + 1, size - 1), std::string_view("\0", 1));
  std::vector<Record> records;
  for (std::string_view piece : pieces) records.push_back(ParseRecord(piece));

  test::ServerScript script;
  switch (setup & 3) {
    case 2:
      script.connect = test::ServerScript::ConnectMode::NoEvent;
      break;
    case 3:
      script.connect = test::ServerScript::ConnectMode::EventNotConnected;
      break;
    default:
      break;
  }
  script.greeting = records[0].silent ? std::string() : records[0].reply;
  script.completeSends = false;
  test::SessionRig* rigPtr = nullptr;
  std::size_t next = 1;
  script.reply = [&](const std::string&) -> std::string {
    test::FakeSocket& socket = rigPtr->socket;
    if (next >= records.size()) {
      socket.QueueSendComplete();
      return {};
    }
    const Record& r = records[next++];
    const bool reply = !r.silent && !r.reply.empty();
    auto arrive = [&] {
      if (!reply) return;
      if (r.split && r.reply.size() > 1) {
        socket.QueueData(r.reply.substr(0, r.reply.size() / 2));
        socket.QueueData(r.reply.substr(r.reply.size() / 2));
      } else {
        socket.QueueData(r.reply);
      }
    };
    if (r.replyFirst) arrive();
    if (r.complete) socket.QueueSendComplete();
    if (!r.replyFirst) arrive();
    if (r.closes) socket.QueueClose();
    return {};
  };

  test::SessionRig rig(script);
  rigPtr = &rig;
  std::vector<test::Millis> changes;
  std::vector<SmtpStep> steps;
  rig.session.SetTrace([&](SmtpStep, SmtpStep to) {
    steps.push_back(to);
    changes.push_back(rig.scheduler.Now());
  });
  const int recipients = 1 + static_cast<int>((setup >> 2) & 3);
  std::vector<std::string> to;
  for (int k = 1; k <= recipients; ++k) to.push_back("r" + std::to_string(k) + "@example.jp");
  rig.Recipients(to);
  rig.SetMail(std::string(kMessages[(setup >> 4) & 3]));
  // The top two bits choose the session: plain, EHLO with AUTH without TLS,
  // STARTTLS with AUTH, implicit TLS without AUTH.
  const unsigned mode = (setup >> 6) & 3;
  switch (mode) {
    case 1:
      rig.st.Submit.security = Security::None;
      rig.st.Submit.user = "user";
      rig.st.Submit.password.Assign("secret");
      break;
    case 2:
      rig.st.Submit.security = Security::StartTls;
      rig.st.Submit.user = "user";
      rig.st.Submit.password.Assign("secret");
      break;
    case 3:
      rig.st.Submit.security = Security::Tls;
      break;
    default:
      break;
  }
  rig.Start();
  const bool ended = rig.RunUntilEnded(24 * 3600 * 1000);

  const std::string trace = [&] {
    std::string t;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      t += std::to_string(StepNumber(steps[i])) + "@" + std::to_string(changes[i]) + " ";
    }
    return t;
  }();
  FUZZ_CHECK(ended, trace);
  // The 1200-tick rule: no state lasts longer than its limit and the tick
  // that notices, and the tick that finishes after it.
  for (std::size_t i = 1; i < changes.size(); ++i) {
    FUZZ_CHECK(changes[i] - changes[i - 1] <= (kStepTickLimit + 2) * kTickMs, trace);
  }
  for (SmtpStep step : steps) FUZZ_CHECK(Named(step), trace);

  // One record, then the end, of the same state.
  FUZZ_CHECK(rig.host.size() == 2 && rig.host[0].what == "log" && rig.host[1].what == "ended",
             trace);
  const SmtpStep end = rig.host[0].step;
  FUZZ_CHECK(rig.host[1].step == end, trace);
  FUZZ_CHECK(end == IDLE || end == AWAIT_GREETING || end == AWAIT_HELLO_RESPONSE ||
                 end == AWAIT_MAIL_FROM_RESPONSE || end == AWAIT_RCPT_TO_RESPONSE ||
                 end == AWAIT_DATA_RESPONSE || end == FAILED ||
                 (rig.st.Submit.Extended() &&
                  (end == AWAIT_STARTTLS_RESPONSE || end == AWAIT_TLS_HANDSHAKE ||
                   end == AWAIT_EHLO_TLS_RESPONSE || end == AUTH_MECHANISM ||
                   end == AWAIT_AUTH_RESPONSE || end == SIZE_EXCEEDED)),
             trace);

  // The password is in no text the session hands over, however a reply
  // echoes it.
  for (const test::HostCall& call : rig.host)
    FUZZ_CHECK(call.reply.find("secret") == std::string::npos, trace);

  // Closed at the end, once, and nothing after it.
  const std::vector<test::FakeSocket::Call>& calls = rig.socket.calls;
  FUZZ_CHECK(rig.socket.CallsOf("Close").size() == 1 && calls.back().what == "Close", trace);
  FUZZ_CHECK(rig.socket.State() == SocketState::Closed, trace);
  FUZZ_CHECK(!rig.session.Running() && !rig.tmrSMTP.Enabled() && rig.session.Step() == IDLE, trace);

  if (end == IDLE) {
    // Delivered: the greeting command and what submission adds (STARTTLS
    // and the second EHLO, AUTH PLAIN in one line or LOGIN in up to three:
    // a 235 ends it wherever it comes), then every command of the delivery
    // in order, each recipient once.
    std::vector<std::string> tail = {"MAIL FROM:<DummySender>\r\n"};
    for (const std::string& r : to) tail.push_back("RCPT TO:<" + r + ">\r\n");
    for (const char* c : {"DATA\r\n", "<message>", "QUIT\r\n"}) tail.emplace_back(c);
    std::vector<std::string> sent = rig.Commands();
    // Under submission MAIL FROM declares the size when SIZE was announced:
    // the message without its end-of-data line (these have CR LF ends only).
    IoError unread;
    const std::string sized =
        "MAIL FROM:<DummySender> SIZE=" + std::to_string(MessageSize(rig.st.MailData, unread)) +
        "\r\n";
    for (std::string& c : sent) {
      if (rig.st.Submit.Extended() && c == sized) c = "MAIL FROM:<DummySender>\r\n";
    }
    FUZZ_CHECK(sent.size() > tail.size() && std::equal(tail.rbegin(), tail.rend(), sent.rbegin()),
               trace);
    const std::vector<std::string> head(sent.begin(), sent.end() - tail.size());
    const std::string ehlo = "EHLO [192.0.2.10]\r\n";
    const auto authAt = [&](std::size_t k) {
      return head.size() > k && head[k].rfind("AUTH ", 0) == 0 &&
             (head.size() == k + 1 || (head.size() <= k + 3 && head[k] == "AUTH LOGIN\r\n"));
    };
    switch (mode) {
      case 0:
        FUZZ_CHECK(head == std::vector<std::string>{"HELO [192.0.2.10]\r\n"}, trace);
        break;
      case 1:
        FUZZ_CHECK(head[0] == ehlo && authAt(1), trace);
        break;
      case 2:
        FUZZ_CHECK(head.size() > 3 && head[0] == ehlo && head[1] == "STARTTLS\r\n" &&
                       head[2] == ehlo && authAt(3),
                   trace);
        break;
      default:
        FUZZ_CHECK(head == std::vector<std::string>{ehlo}, trace);
        break;
    }
  }
  return 0;
}
