// The session's states, each with one handler that takes the reply or the
// event and says what happens: stay, go to a named state (which sends its
// command on entry), or finish. The plain session runs one handler per
// tmrSMTP tick; the submission states' handlers are in
// submission_states.cpp.
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

// A message whose end could not be read.
class UnreadableSource final : public ByteSource {
 public:
  std::size_t Fill(char*, std::size_t) override { return 0; }
  bool Done() const override { return false; }
  bool Failed() const override { return true; }
};

}  // namespace

SmtpSession::SmtpSession(SessionPorts ports) : p_(std::move(ports)) {}

SmtpSession::~SmtpSession() = default;

void SmtpSession::SetStep(SmtpStep step) {
  const SmtpStep from = p_.st.smtpSTEP;
  p_.st.smtpSTEP = step;
  if (trace_ && from != step) trace_(from, step);
}

void SmtpSession::Start() {
  farewell_.reset();
  SetStep(smtpSTART);
  RcptIndex = 1;
  dataAccepted_ = false;
  flagged_ = FailureClass::None;
  ResetSubmission();
  p_.tmrSMTP.SetEnabled(true);
  Advance();  // under submission: connect now, not at the first tick
}

bool SmtpSession::Running() const { return p_.st.smtpSTEP != IDLE || p_.tmrSMTP.Enabled(); }

Move SmtpSession::Handle(SmtpStep step) {
  switch (step) {
    case smtpSTART:
      return Go(AWAIT_CONNECTION);
    case AWAIT_CONNECTION:
    case CONFARM_CONNECTION:
      return Stay();  // the connection's events move these
    case AWAIT_GREETING:
      return OnReply("220", AWAIT_HELLO_TRANSFER);
    case AWAIT_HELLO_TRANSFER:
      return OnSent(AWAIT_HELLO_RESPONSE);
    case AWAIT_HELLO_RESPONSE:
      return OnHelloResponse();
    case AWAIT_MAIL_FROM_TRANSFER:
      return OnSent(AWAIT_MAIL_FROM_RESPONSE);
    case AWAIT_MAIL_FROM_RESPONSE:
      return OnReply("250", AWAIT_RCPT_TO_TRANSFER);
    case AWAIT_RCPT_TO_TRANSFER:
      return OnSent(AWAIT_RCPT_TO_RESPONSE);
    case AWAIT_RCPT_TO_RESPONSE:
      return OnRcptToResponse();
    case AWAIT_DATA1_TRANSFER:
      return OnSent(AWAIT_DATA_RESPONSE);
    case AWAIT_DATA_RESPONSE:
      return OnReply("354", AWAIT_DATA_TRANSFER);
    case AWAIT_DATA_TRANSFER:
      return OnSent(AWAIT_DATA_TRANSFER_RESPONSE);
    case AWAIT_DATA_TRANSFER_RESPONSE:
      return OnMessageResponse();
    case AWAIT_QUIT_TRANSFER:
      return OnSent(AWAIT_QUIT_RESPONSE);
    case AWAIT_QUIT_RESPONSE:
      return OnQuitResponse();
    case EXIT:
      p_.st.RecvData.clear();
      return Go(IDLE);
    default:
      break;
  }
  if (Submitting()) return HandleSubmission(step);
  return End();  // idle after a normal end, 999, or any unknown value
}

void SmtpSession::Enter(SmtpStep step) {
  RunState& st = p_.st;
  SetStep(step);
  switch (step) {
    case AWAIT_CONNECTION:
      p_.socket.Connect();
      break;
    case AWAIT_HELLO_TRANSFER:
    case AWAIT_EHLO_TLS_TRANSFER:  // RFC 3207: forget what came before, ask again
      // Servers refuse an empty or made-up name: without #LOC the client
      // names itself by the connection's own address.
      SendData((st.Submit.Extended() ? "EHLO " : "HELO ") +
               HelloName(st.LocalName, p_.socket.LocalAddress()) + "\r\n");
      break;
    case AWAIT_STARTTLS_TRANSFER:
      SendData("STARTTLS\r\n");
      break;
    case AWAIT_TLS_HANDSHAKE:
      BeginTls();
      break;
    case AWAIT_AUTH_TRANSFER:
      SendAuth();
      break;
    case AWAIT_MAIL_FROM_TRANSFER:
      SendMailFrom();
      break;
    case AWAIT_RCPT_TO_TRANSFER: {
      const std::string& to = st.ToAddr[static_cast<std::size_t>(RcptIndex)];
      SendData("RCPT TO:" + EnvelopePath(AngleAddress(to, st.Charset)) + "\r\n");
      break;
    }
    case AWAIT_RSET_TRANSFER:
      SendData("RSET\r\n");
      break;
    case AWAIT_DATA1_TRANSFER:
      SendData("DATA\r\n");
      break;
    case AWAIT_DATA_TRANSFER:
      SendMessage();
      break;
    case AWAIT_QUIT_TRANSFER:
      quitSent_ = true;
      SendData("QUIT\r\n");
      break;
    default:
      break;  // the other states send nothing
  }
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
  if (p_.st.RecvData.empty()) return false;
  replyUnjudged_ = false;
  if (replyTrace_) replyTrace_(p_.st.smtpSTEP, p_.st.RecvData);
  return true;
}

// The message's and QUIT's replies pass when a line begins with the code
// (a later line may carry it, as in "500 ..." CR LF "250 ..."); a code that
// merely stands inside the text ("552 size 2500 exceeded") does not.
bool SmtpSession::Accepted(std::string_view code, bool anyLine) const {
  const std::string_view reply = p_.st.RecvData;
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
  flagged_ = ClassOfReply(p_.st.RecvData);
  return Go(FAILED);
}

Move SmtpSession::OnSent(SmtpStep next) const { return p_.st.SendBusy ? Stay() : Go(next); }

Move SmtpSession::OnReply(std::string_view code, SmtpStep next) {
  if (!ReplyIn()) return Stay();
  return Accepted(code) ? Go(next) : Finish(p_.st.smtpSTEP);
}

Move SmtpSession::OnHelloResponse() {
  if (!ReplyIn()) return Stay();
  if (!Accepted("250")) return Finish(p_.st.smtpSTEP);
  return Submitting() ? AfterEhlo() : Go(AWAIT_MAIL_FROM_TRANSFER);
}

Move SmtpSession::OnRcptToResponse() {
  const RunState& st = p_.st;
  if (RcptIndex < st.ToCount && RcptIndex < kMaxRecipients) {
    ++RcptIndex;  // this reply is judged in 140, before the next RCPT TO
    return Go(AWAIT_MAIL_FROM_RESPONSE);
  }
  // A probe resets the envelope where the message would begin.
  return OnReply("250", probe_ ? AWAIT_RSET_TRANSFER : AWAIT_DATA1_TRANSFER);
}

Move SmtpSession::OnMessageResponse() {
  if (!ReplyIn()) return Stay();
  if (!Accepted("250", true)) return Flag999();
  dataAccepted_ = true;
  return Go(AWAIT_QUIT_TRANSFER);
}

Move SmtpSession::OnQuitResponse() {
  if (!ReplyIn()) return Stay();
  return Accepted("221", true) ? Go(EXIT) : Flag999();
}

void SmtpSession::SendData(std::string text) {
  std::string_view line = text;
  if (line.ends_with("\r\n")) line.remove_suffix(2);
  lastCommand_ = p_.st.Submit.secrets.Masked(line);
  awaitingReply_ = true;
  replyUnjudged_ = false;
  p_.st.RecvData.clear();
  p_.st.SendBusy = true;
  p_.socket.SendData(std::move(text));
}

void SmtpSession::SendMailFrom() {
  const RunState& st = p_.st;
  // RFC 1870: the size goes with MAIL FROM when the server announced SIZE.
  // A probe has no message.
  SendData("MAIL FROM:" + EnvelopePath(AngleAddress(st.FromAddr, st.Charset)) +
           (sizeLimit_ && !probe_ ? " SIZE=" + std::to_string(MessageOctets()) : std::string()) +
           "\r\n");
}

std::uint64_t SmtpSession::MessageOctets() {
  if (messageOctets_) return *messageOctets_;
  const MailSpool& mail = p_.st.MailData;
  IoError error;
  const std::uint64_t size = MessageSize(mail, error);
  std::optional<std::uint64_t> octets;
  if (!error) {
    FileSource source(mail.File(), 0, size);
    octets = OctetsOnTheWire(source, size);
  }
  // Unreadable: the send fails as well; the spool's size stands in.
  messageOctets_ = octets.value_or(mail.Size());
  return *messageOctets_;
}

void SmtpSession::SendMessage() {
  RunState& st = p_.st;
  awaitingReply_ = true;
  replyUnjudged_ = false;
  st.RecvData.clear();
  st.SendBusy = true;
  // TEMP.TXT keeps the end-of-data line the composition wrote; the stuffer
  // ends the data itself.
  IoError error;
  std::uint64_t size = MessageSize(st.MailData, error);
  if (error) {  // the socket fails the connection, as for any unreadable byte
    size = st.MailData.Size();
    mailSource_ = std::make_unique<UnreadableSource>();
  } else {
    mailSource_ = std::make_unique<FileSource>(st.MailData.File(), 0, size);
  }
  wireSource_ = std::make_unique<DotStuffer>(*mailSource_, size);
  p_.socket.SendMessageData(*wireSource_);
}

bool SmtpSession::tmrSMTP_Timer() {
  RunState& st = p_.st;
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
  if (Apply(Handle(p_.st.smtpSTEP))) return true;
  ApplyHeldLoss();
  return false;
}

void SmtpSession::ApplyHeldLoss() {
  if (!heldLoss_ || replyUnjudged_) return;
  std::string reason = std::move(*heldLoss_);
  heldLoss_.reset();
  const SmtpStep step = p_.st.smtpSTEP;
  if (step == IDLE || step == FAILED || step == EXIT) return;
  p_.st.RecvData = std::move(reason);
  Enter(FAILED);
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

Move SmtpSession::OnConnected() {
  if (p_.socket.State() != SocketState::Connected) return Go(FAILED);
  if (p_.st.smtpSTEP != AWAIT_CONNECTION) return Stay();
  return Go(CONFARM_CONNECTION);
}

void SmtpSession::WSOCK_Connect() {
  if (farewell_) return;
  awaitingReply_ = true;  // the greeting
  Apply(OnConnected());
  // Implicit TLS: the handshake comes before the greeting.
  if (p_.st.smtpSTEP == CONFARM_CONNECTION && p_.st.Submit.security == Security::Tls) {
    Enter(AWAIT_TLS_HANDSHAKE);
  }
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
    if (farewell_) {
      if (gather_.Take(piece)) farewell_->over = true;  // QUIT's answer: nothing in it counts
      return;
    }
    std::string reply;
    if (gather_.Take(reply)) TakeReply(std::move(reply));
  }
  if (p_.st.smtpSTEP == CONFARM_CONNECTION) Enter(AWAIT_GREETING);
  Advance();
  // What came with the message's acceptance answers the QUIT that follows
  // it, as it would had it come later.
  std::string reply;
  while (dataAccepted_ && awaitingReply_ && !farewell_ && gather_.Take(reply)) {
    TakeReply(std::move(reply));
    Advance();
  }
}

void SmtpSession::WSOCK_SendComplete() {
  if (farewell_) return;
  p_.st.SendBusy = false;
  Advance();
}

void SmtpSession::WSOCK_Error(const std::string& reason) {
  if (farewell_) {
    farewell_->over = true;
    return;
  }
  Apply(OnConnectionError(reason));
  Advance();
}

void SmtpSession::smtpEROR(bool catchAll) {
  const SmtpStep endStep = p_.st.smtpSTEP;
  p_.host.LogSession(endStep, p_.st.RecvData);
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
  if (awaitingReply_ || st.SendBusy) return false;
  if (endStep == FAILED && (flagged_ == FailureClass::None || flagged_ == FailureClass::Protocol)) {
    return false;
  }
  // 421: the server is closing the connection itself.
  if (st.RecvData.starts_with("421")) return false;
  return p_.socket.State() == SocketState::Connected;
}

void SmtpSession::CloseSession(bool catchAll) {
  RunState& st = p_.st;
  const SmtpStep endStep = st.smtpSTEP;
  farewell_.reset();
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
  // The message is with the server: sending it again would duplicate it,
  // and nothing after its acceptance makes it undelivered.
  if (dataAccepted_) return FailureClass::Permanent;
  switch (endStep) {
    case FAILED:
      // Flagged with a reply or a protocol error; else the time-out, a
      // connection not made or lost.
      return flagged_ != FailureClass::None ? flagged_ : FailureClass::Temporary;
    case AWAIT_TLS_HANDSHAKE:
      return ClassOfHandshake(text);
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
