// The session's machinery: every event goes through Handle, which asks the
// current state's handler (a tick) or the event's own (the connection made
// or lost, the first data, the time-out, a 421, a protocol error) what
// happens: stay, go to a named state (Apply enters it, doing what entering
// it does), or finish. The plain session runs one handler per tmrSMTP tick;
// under submission the states run on each event until one waits. The
// states themselves are in plain_states.cpp and submission_states.cpp; the
// end (the record, QUIT after a refusal, the class) is here.
#include "smtp/smtp_session.hpp"

#include <utility>

#include "base/sjis_text.hpp"
#include "compose/message.hpp"
#include "compose/text_functions.hpp"
#include "smtp/dot_stuffer.hpp"
#include "smtp/envelope.hpp"
#include "smtp/session_moves.hpp"

namespace tolvex {

using enum SmtpStep;
using namespace session;

namespace {

// A reply's class by its code: 4xx temporary, 5xx permanent; a text that is
// no reply of that kind where one was due is out of protocol.
FailureClass ClassOfReply(std::string_view reply) {
  if (reply.starts_with('4')) return FailureClass::Temporary;
  if (reply.starts_with('5')) return FailureClass::Permanent;
  if (reply.size() >= 3 && reply[0] >= '1' && reply[0] <= '3') return FailureClass::Permanent;
  return FailureClass::Protocol;
}

// A failed handshake's class by its reason: the certificate refused, the
// peer refusing the versions or ciphers offered (no retry changes that),
// else the connection cut.
FailureClass ClassOfHandshake(std::string_view reason) {
  if (reason.starts_with(kTlsCertificateRefused)) return FailureClass::NoPermission;
  if (reason.starts_with(kTlsVersionRefused) || reason.starts_with(kTlsNoSharedCipher)) {
    return FailureClass::Permanent;
  }
  return FailureClass::Temporary;
}

}  // namespace

SmtpSession::SmtpSession(SessionPorts ports) : p_(std::move(ports)) {}

SmtpSession::~SmtpSession() = default;

void SmtpSession::SetStep(SmtpStep step) {
  const SmtpStep from = smtpSTEP;
  smtpSTEP = step;
  if (trace_ && from != step) trace_(from, step);
}

void SmtpSession::Start() {
  farewell_.reset();
  SetStep(smtpSTART);
  RcptIndex = 1;
  messageAccepted_ = false;
  flagged_ = FailureClass::None;
  ResetSubmission();
  p_.tmrSMTP.SetEnabled(true);
  Advance();  // under submission: connect now, not at the first tick
}

bool SmtpSession::Running() const { return smtpSTEP != IDLE || p_.tmrSMTP.Enabled(); }

const SmtpSession::StateRule* SmtpSession::RuleOf(SmtpStep step) const {
  if (const StateRule* rule = PlainRule(step)) return rule;
  return Submitting() ? SubmissionRule(step) : nullptr;
}

Move SmtpSession::Handle(Event event, std::string text) {
  switch (event) {
    case Event::Tick:
      if (const StateRule* rule = RuleOf(smtpSTEP)) return rule->handle(*this);
      return End();  // idle after a normal end, 999, or any unknown value
    case Event::Connected:
      return OnConnected();
    case Event::Arrived:
      return smtpSTEP == CONFARM_CONNECTION ? Go(AWAIT_GREETING) : Stay();
    case Event::TimedOut:
      return Go(FAILED);
    case Event::Lost:
      return OnConnectionError(text);
    case Event::LostAfterReply:
      return OnLossAfterReply(std::move(text));
    case Event::Closing:
      return OnServerClosing(std::move(text));
    case Event::OutOfStep:
      return OnProtocolError(std::move(text));
  }
  return Stay();
}

void SmtpSession::Enter(SmtpStep step) {
  SetStep(step);
  const StateRule* rule = RuleOf(step);
  if (rule && rule->enter) rule->enter(*this);
}

bool SmtpSession::Apply(Move move) {
  switch (move.kind) {
    case Move::Kind::Stay:
      return false;
    case Move::Kind::Go:
      Enter(move.to);
      return false;
    case Move::Kind::Finish:
      // The state whose check failed is logged, and the caption stays as
      // the send left it.
      SetStep(move.to);
      smtpEROR(false);
      return true;
    case Move::Kind::End:
      smtpEROR(true);
      return true;
  }
  return false;
}

bool SmtpSession::ReplyIn() {
  if (RecvData.empty()) return false;
  replyUnjudged_ = false;
  if (replyTrace_) replyTrace_(smtpSTEP, RecvData);
  return true;
}

// The message's and QUIT's replies pass when a line begins with the code
// (a later line may carry it, as in "500 ..." CR LF "250 ..."); a code that
// merely stands inside the text ("552 size 2500 exceeded") does not.
bool SmtpSession::Accepted(std::string_view code, bool anyLine) const {
  const std::string_view reply = RecvData;
  if (!anyLine) return sjis::LeftChars(reply, code.size()) == code;
  for (std::size_t start = 0; start < reply.size();) {
    if (reply.compare(start, code.size(), code) == 0) return true;
    const std::size_t lf = reply.find('\n', start);
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return false;
}

Move SmtpSession::Flag999() {
  flagged_ = ClassOfReply(RecvData);
  return Go(FAILED);
}

bool SmtpSession::tmrSMTP_Timer() {
  if (farewell_) {
    if (!farewell_->over && ++farewell_->ticks < kQuitWaitTicks) return false;
    CloseSession(farewell_->catchAll);
    return true;
  }

  // Time-out: a state is abandoned at the first tick that counts it
  // unchanged more than kStepTickLimit times. While the message itself is
  // being handed over, bytes the network takes are progress: there the
  // count is of ticks without a byte taken, so a slow uplink that keeps
  // moving is not cut off.
  if (smtpSTEP == LastStep) {
    const std::uint64_t accepted = p_.socket.BytesAccepted();
    if (smtpSTEP == AWAIT_DATA_TRANSFER && accepted != lastAccepted_) {
      StepTicks = 0;
    } else {
      ++StepTicks;
    }
    lastAccepted_ = accepted;
    if (StepTicks > kStepTickLimit) Apply(Handle(Event::TimedOut));
  } else {
    StepTicks = 0;
    lastAccepted_ = p_.socket.BytesAccepted();
  }
  LastStep = smtpSTEP;
  return Dispatch();
}

bool SmtpSession::Dispatch() {
  if (Apply(Handle(Event::Tick))) return true;
  ApplyHeldLoss();
  return false;
}

void SmtpSession::ApplyHeldLoss() {
  if (!heldLoss_ || replyUnjudged_) return;
  std::string reason = std::move(*heldLoss_);
  heldLoss_.reset();
  Apply(Handle(Event::LostAfterReply, std::move(reason)));
}

void SmtpSession::Advance() {
  if (!EventDriven()) return;
  for (;;) {
    const SmtpStep before = smtpSTEP;
    if (before == IDLE && !p_.tmrSMTP.Enabled()) return;  // no session
    if (Dispatch()) return;
    if (smtpSTEP == before) return;
  }
}

Move SmtpSession::OnConnected() {
  if (p_.socket.State() != SocketState::Connected) return Go(FAILED);
  if (smtpSTEP != AWAIT_CONNECTION) return Stay();
  return Go(CONFARM_CONNECTION);
}

void SmtpSession::WSOCK_Connect() {
  if (farewell_) return;
  awaitingReply_ = true;  // the greeting
  Apply(Handle(Event::Connected));
  // 115's handler runs at once, at any pace: with implicit TLS the
  // handshake begins as the connection is made.
  if (smtpSTEP == CONFARM_CONNECTION) Apply(Handle(Event::Tick));
  Advance();
}

void SmtpSession::WSOCK_DataArrival(std::int32_t bytesWaiting) {
  if (!p_.st.Submit.Extended()) {
    p_.socket.GetData(RecvData, bytesWaiting);
  } else {
    // A reply counts once its final line is there.
    std::string piece;
    p_.socket.GetData(piece, bytesWaiting);
    gather_.Add(piece);
    if (farewell_) {
      if (gather_.Take(piece)) farewell_->over = true;  // QUIT's answer: nothing in it counts
      return;
    }
    std::string reply;
    if (gather_.Take(reply)) TakeReply(std::move(reply));
  }
  Apply(Handle(Event::Arrived));
  Advance();
  // What came with the message's acceptance answers the QUIT that follows
  // it, as it would had it come later.
  std::string reply;
  while (messageAccepted_ && awaitingReply_ && !farewell_ && gather_.Take(reply)) {
    TakeReply(std::move(reply));
    Advance();
  }
}

void SmtpSession::WSOCK_SendComplete() {
  if (farewell_) return;
  SendBusy = false;
  Advance();
}

void SmtpSession::WSOCK_Error(const std::string& reason) {
  if (farewell_) {
    farewell_->over = true;
    return;
  }
  Apply(Handle(Event::Lost, reason));
  Advance();
}

void SmtpSession::WSOCK_ProxyRefused(ProxyRefusal refusal, const std::string& text) {
  if (farewell_ || smtpSTEP != AWAIT_CONNECTION) return;
  RecvData = p_.st.Submit.secrets.Masked(text);
  flagged_ = refusal == ProxyRefusal::ForNow   ? FailureClass::Temporary
             : refusal == ProxyRefusal::Denied ? FailureClass::NoPermission
                                               : FailureClass::Permanent;
  connectionLost_ = true;
  Apply(Finish(PROXY_REFUSED));
}

void SmtpSession::smtpEROR(bool catchAll) {
  const SmtpStep endStep = smtpSTEP;
  p_.host.LogSession(endStep, RecvData);
  if (QuitDue(endStep)) {
    // The record stands; QUIT's answer is only waited for, briefly.
    farewell_ = Farewell{catchAll, 0, false};
    gather_.Clear();
    p_.socket.SendData("QUIT\r\n");
    return;
  }
  CloseSession(catchAll);
}

bool SmtpSession::QuitDue(SmtpStep endStep) const {
  const RunState& st = p_.st;
  if (!st.Submit.Extended() || quitSent_ || connectionLost_ || tlsFailed_) return false;
  if (endStep == IDLE || endStep == EXIT || endStep == AWAIT_TLS_HANDSHAKE) return false;
  // A command unanswered (the time-out), or a reply out of step: the
  // dialogue cannot go on.
  if (awaitingReply_ || SendBusy) return false;
  if (endStep == FAILED && (flagged_ == FailureClass::None || flagged_ == FailureClass::Protocol)) {
    return false;
  }
  // 421: the server is closing the connection itself.
  if (RecvData.starts_with("421")) return false;
  return p_.socket.State() == SocketState::Connected;
}

void SmtpSession::CloseSession(bool catchAll) {
  RunState& st = p_.st;
  const SmtpStep endStep = smtpSTEP;
  farewell_.reset();
  p_.socket.Close();
  wireSource_.reset();
  mailSource_.reset();
  ResetSubmission();
  st.Submit.oauth.accessToken.Wipe();
  SetStep(IDLE);
  p_.tmrSMTP.SetEnabled(false);
  const DeliveryEnd end{endStep, ClassOfEnd(endStep), RecvData, messageAccepted_, catchAll};
  messageAccepted_ = false;
  flagged_ = FailureClass::None;
  p_.host.DeliveryEnded(end);
}

FailureClass SmtpSession::ClassOfEnd(SmtpStep endStep) const {
  const std::string& text = RecvData;
  if (endStep == IDLE) return FailureClass::None;
  // The message is with the server: sending it again would duplicate it,
  // and nothing after its acceptance makes it undelivered.
  if (messageAccepted_) return FailureClass::Permanent;
  switch (endStep) {
    case FAILED:
      // Flagged with a reply or a protocol error; else the time-out, a
      // connection not made or lost.
      return flagged_ != FailureClass::None ? flagged_ : FailureClass::Temporary;
    case AWAIT_TLS_HANDSHAKE:
      return ClassOfHandshake(text);
    case PROXY_REFUSED:
      return flagged_;
    case AUTH_MECHANISM:
    case SIZE_EXCEEDED:
    case SMTPUTF8_MISSING:
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
