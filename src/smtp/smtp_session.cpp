// The session's steps as one table: what each state waits for, which reply
// code it accepts, what it sends then and where it goes. The few states
// that do something else (connect, the recipient walk, the normal end, the
// catch-all) are handled before the table.
#include "smtp/smtp_session.hpp"

#include <array>
#include <utility>

#include "base/sjis_text.hpp"
#include "compose/text_functions.hpp"
#include "smtp/dot_stuffer.hpp"
#include "smtp/envelope.hpp"
#include "smtp/session_rules.hpp"

namespace tolvex {

using enum SmtpStep;

namespace {

// A reply's class by its code: 4xx temporary, 5xx permanent; a text that is
// no reply of that kind where one was due is out of protocol.
FailureClass ClassOfReply(std::string_view reply) {
  if (reply.starts_with('4')) return FailureClass::Temporary;
  if (reply.starts_with('5')) return FailureClass::Permanent;
  if (reply.size() >= 3 && reply[0] >= '1' && reply[0] <= '3') return FailureClass::Permanent;
  return FailureClass::Protocol;
}

using Rule = SmtpSession::Rule;
using C = SmtpSession::Command;
using session::Await;
using session::Match;
using session::OnReject;

constexpr std::array kRules = {
    Rule{AWAIT_CONNECTION, Await::Nothing, AWAIT_CONNECTION},
    Rule{CONFARM_CONNECTION, Await::Nothing, CONFARM_CONNECTION},
    Rule{AWAIT_GREETING, Await::Reply, AWAIT_HELLO_TRANSFER, C::Hello, "220"},
    Rule{AWAIT_HELLO_TRANSFER, Await::SendComplete, AWAIT_HELLO_RESPONSE},
    Rule{AWAIT_HELLO_RESPONSE, Await::Reply, AWAIT_MAIL_FROM_TRANSFER, C::MailFrom, "250"},
    Rule{AWAIT_MAIL_FROM_TRANSFER, Await::SendComplete, AWAIT_MAIL_FROM_RESPONSE},
    Rule{AWAIT_MAIL_FROM_RESPONSE, Await::Reply, AWAIT_RCPT_TO_TRANSFER, C::RcptTo, "250"},
    Rule{AWAIT_RCPT_TO_TRANSFER, Await::SendComplete, AWAIT_RCPT_TO_RESPONSE},
    // After the last recipient (the walk to the next one comes first).
    Rule{AWAIT_RCPT_TO_RESPONSE, Await::Reply, AWAIT_DATA1_TRANSFER, C::Data, "250"},
    Rule{AWAIT_DATA1_TRANSFER, Await::SendComplete, AWAIT_DATA_RESPONSE},
    Rule{AWAIT_DATA_RESPONSE, Await::Reply, AWAIT_DATA_TRANSFER, C::Message, "354"},
    Rule{AWAIT_DATA_TRANSFER, Await::SendComplete, AWAIT_DATA_TRANSFER_RESPONSE},
    Rule{AWAIT_DATA_TRANSFER_RESPONSE, Await::Reply, AWAIT_QUIT_TRANSFER, C::Quit, "250",
         Match::LineStart, OnReject::Flag999},
    Rule{AWAIT_QUIT_TRANSFER, Await::SendComplete, AWAIT_QUIT_RESPONSE},
    Rule{AWAIT_QUIT_RESPONSE, Await::Reply, EXIT, C::None, "221", Match::LineStart,
         OnReject::Flag999},
};

}  // namespace

const SmtpSession::Rule* SmtpSession::FindRule(SmtpStep step) const {
  if (p_.st.Submit.Extended() || probe_) {
    if (const Rule* rule = FindSubmissionRule(step)) return rule;
  }
  for (const Rule& rule : kRules) {
    if (rule.step == step) return &rule;
  }
  return nullptr;
}

SmtpSession::SmtpSession(SessionPorts ports) : p_(std::move(ports)) {}

SmtpSession::~SmtpSession() = default;

void SmtpSession::SetStep(SmtpStep step) {
  const SmtpStep from = p_.st.smtpSTEP;
  p_.st.smtpSTEP = step;
  if (trace_ && from != step) trace_(from, step);
}

void SmtpSession::Start() {
  SetStep(smtpSTART);
  RcptIndex = 1;
  dataAccepted_ = false;
  flagged_ = FailureClass::None;
  ResetSubmission();
  p_.tmrSMTP.SetEnabled(true);
  Advance();  // under submission: connect now, not at the first tick
}

bool SmtpSession::Running() const { return p_.st.smtpSTEP != IDLE || p_.tmrSMTP.Enabled(); }

void SmtpSession::SendData(std::string text) {
  awaitingReply_ = true;
  p_.st.RecvData.clear();
  p_.st.SendBusy = true;
  p_.socket.SendData(std::move(text));
}

bool SmtpSession::SendCommand(Command command) {
  RunState& st = p_.st;
  switch (command) {
    case Command::None:
      return false;
    case Command::Hello:
      // Servers refuse an empty or made-up name: without #LOC the client
      // names itself by the connection's own address.
      SendData((st.Submit.Extended() ? "EHLO " : "HELO ") +
               HelloName(st.LocalName, p_.socket.LocalAddress()) + "\r\n");
      return false;
    case Command::MailFrom:
      // RFC 1870: the size goes with MAIL FROM when the server announced SIZE.
      SendData(
          "MAIL FROM:" + EnvelopePath(AngleAddress(st.FromAddr)) +
          (sizeLimit_ && !probe_ ? " SIZE=" + std::to_string(st.MailData.Size()) : std::string()) +
          "\r\n");
      return false;
    case Command::RcptTo:
      SendData("RCPT TO:" +
               EnvelopePath(AngleAddress(st.ToAddr[static_cast<std::size_t>(RcptIndex)])) + "\r\n");
      return false;
    case Command::Data:
      if (probe_) {  // every recipient accepted: nothing is sent
        SetStep(AWAIT_RSET_TRANSFER);
        SendData("RSET\r\n");
        return false;
      }
      SendData("DATA\r\n");
      return false;
    case Command::Message:
      awaitingReply_ = true;
      st.RecvData.clear();
      st.SendBusy = true;
      mailSource_ = std::make_unique<FileSource>(st.MailData.File(), 0, st.MailData.Size());
      wireSource_ = std::make_unique<DotStuffer>(*mailSource_, st.MailData.Size());
      p_.socket.SendMessageData(*wireSource_);
      return false;
    case Command::Quit:
      SendData("QUIT\r\n");
      return false;
    default:
      return SendSubmissionCommand(command);
  }
}

// The message's and QUIT's replies pass when a line begins with the code
// (a later line may carry it, as in "500 ..." CR LF "250 ..."); a code that
// merely stands inside the text ("552 size 2500 exceeded") does not.
bool SmtpSession::ReplyAccepted(const Rule& rule) const {
  const std::string_view reply = p_.st.RecvData;
  if (rule.match == Match::FirstChars) return sjis::LeftChars(reply, rule.code.size()) == rule.code;
  for (std::size_t start = 0; start < reply.size();) {
    if (reply.compare(start, rule.code.size(), rule.code) == 0) return true;
    const std::size_t lf = reply.find('\n', start);
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return false;
}

bool SmtpSession::Apply(const Rule& rule) {
  switch (rule.await) {
    case Await::Nothing:
      return false;
    case Await::SendComplete:
      if (!p_.st.SendBusy) SetStep(rule.next);
      return false;
    case Await::Reply:
      break;
    case Await::Handshake:
      return HandshakeEnded(rule);
  }
  if (p_.st.RecvData.empty()) return false;
  if (replyTrace_) replyTrace_(rule.step, p_.st.RecvData);
  if (!ReplyAccepted(rule)) {
    if (rule.onReject == OnReject::FinishNow) return true;
    flagged_ = ClassOfReply(p_.st.RecvData);
    SetStep(FAILED);
    return false;
  }
  if (rule.step == AWAIT_DATA_TRANSFER_RESPONSE) dataAccepted_ = true;
  SetStep(rule.next);
  return SendCommand(rule.command);
}

bool SmtpSession::tmrSMTP_Timer() {
  RunState& st = p_.st;

  // Time-out: a state is abandoned at the first tick that counts it
  // unchanged more than kStepTickLimit times. While the message itself is
  // being handed over, bytes the network takes are progress: there the
  // count is of ticks without a byte taken, so a slow uplink that keeps
  // moving is not cut off.
  if (st.smtpSTEP == LastStep) {
    const std::uint64_t accepted = p_.socket.BytesAccepted();
    if (st.smtpSTEP == AWAIT_DATA_TRANSFER && accepted != lastAccepted_) {
      StepTicks = 0;
    } else {
      ++StepTicks;
    }
    lastAccepted_ = accepted;
    if (StepTicks > kStepTickLimit) SetStep(FAILED);
  } else {
    StepTicks = 0;
    lastAccepted_ = p_.socket.BytesAccepted();
  }
  LastStep = st.smtpSTEP;
  return Dispatch();
}

bool SmtpSession::Dispatch() {
  RunState& st = p_.st;
  switch (st.smtpSTEP) {
    case smtpSTART:
      SetStep(AWAIT_CONNECTION);
      p_.socket.Connect();
      return false;
    case AWAIT_RCPT_TO_RESPONSE:
      if (RcptIndex < st.ToCount && RcptIndex < kMaxRecipients) {
        ++RcptIndex;  // its reply is judged in 140 before the next RCPT TO
        SetStep(AWAIT_MAIL_FROM_RESPONSE);
        return false;
      }
      break;
    case EXIT:
      SetStep(IDLE);
      st.RecvData.clear();
      return false;
    default:
      break;
  }
  const Rule* rule = FindRule(st.smtpSTEP);
  if (rule == nullptr) {  // idle after a normal end, 999, or any unknown value
    smtpEROR(true);
    return true;
  }
  if (!Apply(*rule)) return false;
  // A reply check that finishes at once: the state whose check failed is
  // logged, and the caption stays as the send left it.
  smtpEROR(false);
  return true;
}

void SmtpSession::Advance() {
  if (!EventDriven()) return;
  for (;;) {
    const SmtpStep before = p_.st.smtpSTEP;
    if (before == IDLE && !p_.tmrSMTP.Enabled()) return;  // no session
    if (Dispatch()) return;
    if (p_.st.smtpSTEP == before) return;
  }
}

void SmtpSession::WSOCK_Connect() {
  if (p_.socket.State() != SocketState::Connected) SetStep(FAILED);
  if (p_.st.smtpSTEP == AWAIT_CONNECTION) SetStep(CONFARM_CONNECTION);
  awaitingReply_ = true;  // the greeting
  // Implicit TLS: the handshake comes before the greeting.
  if (p_.st.smtpSTEP == CONFARM_CONNECTION && p_.st.Submit.security == Security::Tls) BeginTls();
  Advance();
}

void SmtpSession::WSOCK_DataArrival(std::int32_t bytesWaiting) {
  if (!p_.st.Submit.Extended()) {
    p_.socket.GetData(p_.st.RecvData, bytesWaiting);
  } else {
    // A reply counts once its final line is there.
    std::string piece;
    p_.socket.GetData(piece, bytesWaiting);
    gather_.Add(piece);
    std::string reply;
    if (gather_.Take(reply)) TakeReply(std::move(reply));
  }
  if (p_.st.smtpSTEP == CONFARM_CONNECTION) SetStep(AWAIT_GREETING);
  Advance();
}

void SmtpSession::WSOCK_SendComplete() {
  p_.st.SendBusy = false;
  Advance();
}

void SmtpSession::smtpEROR(bool catchAll) {
  RunState& st = p_.st;
  const SmtpStep endStep = st.smtpSTEP;
  p_.host.LogSession(endStep, st.RecvData);
  p_.socket.Close();
  wireSource_.reset();
  mailSource_.reset();
  ResetSubmission();
  st.Submit.oauth.accessToken.Wipe();
  SetStep(IDLE);
  p_.tmrSMTP.SetEnabled(false);
  const FailureClass failure = ClassOfEnd(endStep);
  dataAccepted_ = false;
  flagged_ = FailureClass::None;
  p_.host.DeliveryEnded(endStep, st.RecvData, catchAll, failure);
}

FailureClass SmtpSession::ClassOfEnd(SmtpStep endStep) const {
  const std::string& text = p_.st.RecvData;
  if (endStep == IDLE) return FailureClass::None;
  // The message is with the server: sending it again would duplicate it.
  if (dataAccepted_) {
    return flagged_ == FailureClass::Protocol ? FailureClass::Protocol : FailureClass::Permanent;
  }
  switch (endStep) {
    case FAILED:
      // Flagged with a reply or a protocol error; else the time-out, a
      // connection not made or lost.
      return flagged_ != FailureClass::None ? flagged_ : FailureClass::Temporary;
    case AWAIT_TLS_HANDSHAKE:
      return text.starts_with("certificate") ? FailureClass::NoPermission : FailureClass::Temporary;
    case AUTH_MECHANISM:
    case SIZE_EXCEEDED:
      return FailureClass::Permanent;
    case AWAIT_AUTH_RESPONSE: {
      const FailureClass byCode = ClassOfReply(text);
      return byCode == FailureClass::Permanent ? FailureClass::NoPermission : byCode;
    }
    case AWAIT_STARTTLS_RESPONSE:
      // STARTTLS not offered: the EHLO reply, which itself was a success.
      return text.starts_with("2") ? FailureClass::Permanent : ClassOfReply(text);
    default:
      return ClassOfReply(text);
  }
}

}  // namespace tolvex
