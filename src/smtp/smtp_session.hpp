// The SMTP client: one delivery of MailData per session. The plain session
// (and a probe) takes one step per tmrSMTP tick; under submission each step
// acts on the socket's event that completes it, the tick only counting the
// time-out. The protocol only: the LOG.txt record, the caption and the end
// of the run belong to run control, which the session tells through
// SessionHost.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/secret.hpp"
#include "smtp/delivery_end.hpp"
#include "smtp/reply_gatherer.hpp"
#include "smtp/smtp_step.hpp"

namespace tolvex {

// Ticks a state may stay unchanged before the session is abandoned.
inline constexpr std::int16_t kStepTickLimit = 1200;
// Ticks the answer to the QUIT that follows a refusal is waited for.
inline constexpr int kQuitWaitTicks = 20;

// What the session needs from run control.
class SessionHost {
 public:
  virtual ~SessionHost() = default;
  // The session has finished: write its LOG.txt record. `endStep` is the
  // state it ended in (IDLE = delivered), `reply` the text it holds.
  // Under submission a refusal is logged before the QUIT that follows it.
  virtual void LogSession(SmtpStep endStep, std::string_view reply) = 0;
  // Then: logged, socket closed, smtpSTEP IDLE, tmrSMTP off; how the
  // delivery ended, told once. This is the session's last act in the tick.
  virtual void DeliveryEnded(const DeliveryEnd& end) = 0;
  // Something the delivery goes on after, for the user (a line of ASCII
  // text): #DSN's parameters left out, the server not offering DSN.
  virtual void Notice(std::string_view /*text*/) {}
  // DATA's 354 has come and the message's bytes are about to go: false
  // stops them (the connection fails as for an unreadable message).
  virtual bool MessageGoing() { return true; }
};

struct SessionPorts {
  RunState& st;
  Socket& socket;
  Timer& tmrSMTP;
  SessionHost& host;
};

class SmtpSession {
 public:
  explicit SmtpSession(SessionPorts ports);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // Begins a session: smtpSTEP := 100, first recipient, tmrSMTP enabled.
  void Start();

  // One tick. Returns true when the session's dialogue finished in it.
  bool tmrSMTP_Timer();
  void WSOCK_Connect();
  void WSOCK_DataArrival(std::int32_t bytesWaiting);
  void WSOCK_SendComplete();
  // A TLS handshake failed: the session ends in 133 with `reason`. Under
  // submission any other failure of the connection (refused, reset, closed
  // by the server) ends the session at once, 999 with `reason`; a reply
  // that came with it is judged first.
  void WSOCK_Error(const std::string& reason);
  // The proxy did not open the way: the session ends in 112 with `text`,
  // its class by `refusal`, in the plain session too.
  void WSOCK_ProxyRefused(ProxyRefusal refusal, const std::string& text);

  // A session is under way: not idle, or the timer still has to run the
  // finishing step.
  bool Running() const;

  // Every change of smtpSTEP passes through here; `trace` (optional) sees
  // each one.
  void SetStep(SmtpStep step);
  void SetTrace(std::function<void(SmtpStep from, SmtpStep to)> trace) {
    trace_ = std::move(trace);
  }
  // `trace` sees every reply as it is judged, in the state judging it.
  void SetReplyTrace(std::function<void(SmtpStep step, std::string_view reply)> trace) {
    replyTrace_ = std::move(trace);
  }
  // A probe goes as far as a delivery would before DATA (greeting, EHLO,
  // TLS, AUTH, MAIL FROM without SIZE, every RCPT TO), then sends RSET and
  // QUIT. With OAuth it sends QUIT after EHLO: the token is never sent.
  void SetProbe(bool probe) { probe_ = probe; }

  // The message is going out: after the 354, until the socket has taken
  // its last byte.
  bool SendingMessage() const { return smtpSTEP == SmtpStep::AWAIT_DATA_TRANSFER && SendBusy; }
  // While it is: the bytes of it the socket has taken, of the octets it has
  // on the wire with its end-of-data line (doubled dots aside). The first
  // call of a session reads the message through once to count them.
  struct MessageProgress {
    std::uint64_t sent = 0;
    std::uint64_t total = 0;
  };
  MessageProgress MessageSent();

  std::int16_t RcptIndexValue() const { return RcptIndex; }
  // The server has accepted this session's message (a 250 to it); false
  // again once the session has ended and said so.
  bool MessageAccepted() const { return messageAccepted_; }
  SmtpStep Step() const { return smtpSTEP; }
  // RecvData: the server's last text, or why the connection failed.
  const std::string& Received() const { return RecvData; }
  // The last command line sent, without its CR LF and with the secrets it
  // carries masked: while a reply is judged, the command it answers.
  const std::string& LastCommand() const { return lastCommand_; }

  // As if the session had come to `step` with `received` taken and a send
  // under way or not: one state's handler can then run alone (tests).
  void PutInState(SmtpStep step, std::string received, bool sendBusy) {
    SetStep(step);
    RecvData = std::move(received);
    SendBusy = sendBusy;
  }

  // What a handler decides: at a tick, at the event that may complete its
  // state (under submission), or at one of the connection's events.
  struct Move {
    enum class Kind : std::uint8_t {
      Stay,    // nothing yet
      Go,      // enter `to`, doing what entering it does
      Finish,  // end now, logged in `to` with RecvData's text
      End,     // the catch-all end: idle after a normal end, 999, unknown
    };
    Kind kind = Kind::Stay;
    SmtpStep to = SmtpStep::IDLE;
  };

 private:
  // What happens to the session.
  enum class Event : std::uint8_t {
    Tick,            // the current state's handler: its reply, its send's end
    Connected,       // the connection was made, or failed to be
    Arrived,         // data arrived: the first moves 115 on to the greeting
    TimedOut,        // the state stayed unchanged past kStepTickLimit ticks
    Lost,            // the connection failed or closed (`text`: the reason)
    LostAfterReply,  // such a loss, held back until a reply that came with
                     // it was judged (`text`: the reason)
    Closing,         // a 421 outside a reply to a command (`text`: the reply)
    OutOfStep,       // a protocol error (`text`: what was wrong)
  };
  // The one place that says where the session goes: a tick goes to the
  // current state's handler, every other event to its own.
  Move Handle(Event event, std::string text = {});
  // Sets smtpSTEP to `step` and does what entering it does (mostly: send
  // its command). Only Apply enters a state.
  void Enter(SmtpStep step);
  // Carries out a move; true when the session finished.
  bool Apply(Move move);

  // A state of the dialogue: what entering it does, and its handler. Each
  // group keeps its states' table beside their handlers: the states every
  // session runs in plain_states.cpp, those of submission and the probe
  // in submission_states.cpp.
  struct StateRule {
    SmtpStep step;
    void (*enter)(SmtpSession&);  // nullptr: entering it sends nothing
    Move (*handle)(SmtpSession&);
  };
  static const StateRule* PlainRule(SmtpStep step);
  static const StateRule* SubmissionRule(SmtpStep step);
  // The rule of `step` in this session; nullptr when it has none (idle,
  // 999, an unknown value, or a submission state in the plain session).
  const StateRule* RuleOf(SmtpStep step) const;

  // Handlers of the states (plain_states.cpp).
  Move OnSent(SmtpStep next) const;
  Move OnReply(std::string_view code, SmtpStep next);
  Move OnHelloResponse();
  Move OnRcptToResponse();
  Move OnMessageResponse();
  Move OnQuitResponse();
  // Handlers of the submission states (submission_states.cpp).
  Move AfterEhlo();
  Move OnHandshake();
  Move OnAuthResponse();
  // Handlers of the connection's events.
  Move OnConnected();
  Move OnConnectionMade();
  Move OnConnectionError(const std::string& reason);
  Move OnLossAfterReply(std::string reason);
  Move OnServerClosing(std::string reply);
  Move OnProtocolError(std::string text);

  // A reply has arrived for the current state: traced, and true; false
  // while none has.
  bool ReplyIn();
  // The reply begins with `code`, or (`anyLine`) some line of it does.
  bool Accepted(std::string_view code, bool anyLine = false) const;
  // A reply check failed where the next tick finishes through 999.
  Move Flag999();
  // The server said 421 outside a reply to a command: it is closing.
  void ServerClosing(std::string reply);
  void ProtocolError(std::string_view what, std::string_view reply);
  bool Submitting() const { return p_.st.Submit.Extended() || probe_; }

  // What entering a state sends.
  void SendData(std::string text);
  // A command or the message goes out: its reply is awaited, and nothing
  // received before it counts.
  void ExpectReply();
  void SendHello();
  // #DSN's parameters go with MAIL FROM and RCPT TO: asked, offered, and
  // not a probe (which has no message to be notified of).
  bool SendsDsn() const;
  // An envelope address as MAIL FROM and RCPT TO carry it: UTF-8 under
  // SMTPUTF8, else as written.
  std::string EnvelopeAddress(const std::string& text) const;
  void SendMailFrom();
  void SendRcptTo();
  void SendMessage();
  void SendQuit();
  // The message is larger than the server takes: the text of the end in
  // SIZE_EXCEEDED, in RecvData; false when it fits.
  bool TooLarge();
  // The message's size as SIZE counts it (RFC 1870): the octets sent after
  // 354 less the doubled dots and the end-of-data line.
  std::uint64_t MessageOctets();
  void BeginTls();
  void SendAuth();
  // A gathered reply has arrived (submission): masked, checked, kept.
  void TakeReply(std::string reply);
  void ChooseMechanism(std::string_view ehloReply);
  void ResetSubmission();
  // The tick's work after the time-out bookkeeping; true when the session
  // finished in it.
  bool Dispatch();
  // Applies a loss of the connection held back for a reply that came with
  // it, once that reply has been judged.
  void ApplyHeldLoss();
  // Under submission each step acts on the event that completes it: the
  // states are run until one waits. The plain session keeps its tick pace,
  // and so does a probe, whose caller looks for its end at the ticks.
  bool EventDriven() const { return p_.st.Submit.Extended() && !probe_; }
  void Advance();
  void smtpEROR(bool catchAll);
  // Under submission, after a refusal on a connection still in step: QUIT
  // is due before the socket closes (RFC 5321 §4.1.1.10).
  bool QuitDue(SmtpStep endStep) const;
  // The end after the record: socket closed, idle, run control told.
  void CloseSession(bool catchAll);

  // The kind of failure a session that ended in `endStep` had.
  FailureClass ClassOfEnd(SmtpStep endStep) const;

  SessionPorts p_;
  // The state; the last text received from the server (or the reason the
  // connection failed); a socket send (or the TLS handshake) has not
  // completed.
  SmtpStep smtpSTEP = SmtpStep::IDLE;
  std::string RecvData;
  bool SendBusy = false;
  SmtpStep LastStep = SmtpStep::IDLE;
  std::int16_t StepTicks = 0;
  std::int16_t RcptIndex = 1;
  std::uint64_t lastAccepted_ = 0;  // socket bytes taken, at the last tick
  std::uint64_t dataStart_ = 0;     // socket bytes taken before the message
  // The server accepted the message (250 to the data): no later failure
  // is temporary. Kept here alone; the end carries it to run control.
  bool messageAccepted_ = false;
  // What a flagged 999 was, when known at the flag (else: the time-out or
  // a lost connection).
  FailureClass flagged_ = FailureClass::None;
  // The message as the wire carries it, alive while it is being sent.
  std::unique_ptr<ByteSource> mailSource_;
  std::unique_ptr<ByteSource> wireSource_;
  std::function<void(SmtpStep, SmtpStep)> trace_;
  std::function<void(SmtpStep, std::string_view)> replyTrace_;
  bool probe_ = false;
  std::string lastCommand_;
  // Submission: the reply being gathered, the TLS handshake's outcome and
  // the AUTH exchange under way.
  ReplyGatherer gather_;
  bool tlsFailed_ = false;
  bool tlsUp_ = false;
  // A command (or, after the connection, the greeting) awaits its reply:
  // any other reply is a protocol error.
  bool awaitingReply_ = false;
  // The last EHLO reply's SIZE: announced, and its limit (0: none).
  std::optional<std::uint64_t> sizeLimit_;
  // The last EHLO reply offers DSN: #DSN's parameters may go out.
  bool dsnOffered_ = false;
  // The envelope goes in UTF-8 with MAIL FROM's SMTPUTF8 (RFC 6531).
  bool smtpUtf8_ = false;
  std::optional<std::uint64_t> messageOctets_;  // measured once per session
  // RecvData holds a reply taken for the current command, not yet judged.
  bool replyUnjudged_ = false;
  // The connection was reported lost; its reason, while a reply that came
  // with it waits to be judged.
  bool connectionLost_ = false;
  std::optional<std::string> heldLoss_;
  bool quitSent_ = false;
  // The QUIT after a refusal is under way: how the session ended, the ticks
  // waited for the answer, and whether it (or the close) came. The session
  // ends at a tick, as a probe's caller expects.
  struct Farewell {
    bool catchAll = false;
    int ticks = 0;
    bool over = false;
  };
  std::optional<Farewell> farewell_;
  enum class Mechanism : std::uint8_t {
    None,
    Plain,
    Login,
    XOAuth2,
    OAuthBearer
  } mechanism_ = Mechanism::None;
  int loginLinesSent_ = 0;
};

}  // namespace tolvex
