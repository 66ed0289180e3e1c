// The session's submission states: EHLO's answer decides between STARTTLS,
// AUTH and MAIL FROM; STARTTLS and the TLS handshake (or the handshake right
// after the connection, for implicit TLS); EHLO again under TLS; AUTH PLAIN,
// LOGIN, XOAUTH2 or OAUTHBEARER; a probe's RSET. They run whenever #SEC or
// #USR is set, and in a probe: each row of the table says what entering the
// state does and what its handler does. The TLS itself is the socket's: the
// session only asks for it and waits for its end. Then what a server may say
// at any moment (replies gathered whole, a 421, a protocol error) and the
// connection's loss.
#include <string>

#include "base/base64.hpp"
#include "base/sjis_text.hpp"
#include "base/socket_buffers.hpp"
#include "oauth/sasl.hpp"
#include "smtp/session_moves.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

using enum SmtpStep;
using namespace session;

namespace {

bool Begins(std::string_view reply, std::string_view code) {
  return sjis::LeftChars(reply, code.size()) == code;
}

}  // namespace

const SmtpSession::StateRule* SmtpSession::SubmissionRule(SmtpStep step) {
  using S = SmtpSession;
  static constexpr StateRule kRules[] = {
      {AWAIT_STARTTLS_TRANSFER, [](S& s) { s.SendData("STARTTLS\r\n"); },
       [](S& s) { return s.OnSent(AWAIT_STARTTLS_RESPONSE); }},
      {AWAIT_STARTTLS_RESPONSE, nullptr,
       [](S& s) { return s.OnReply("220", AWAIT_TLS_HANDSHAKE); }},
      {AWAIT_TLS_HANDSHAKE, [](S& s) { s.BeginTls(); }, [](S& s) { return s.OnHandshake(); }},
      {AWAIT_EHLO_TLS_TRANSFER, [](S& s) { s.SendHello(); },
       [](S& s) { return s.OnSent(AWAIT_EHLO_TLS_RESPONSE); }},
      {AWAIT_EHLO_TLS_RESPONSE, nullptr, [](S& s) { return s.OnHelloResponse(); }},
      {AWAIT_AUTH_TRANSFER, [](S& s) { s.SendAuth(); },
       [](S& s) { return s.OnSent(AWAIT_AUTH_RESPONSE); }},
      {AWAIT_AUTH_RESPONSE, nullptr, [](S& s) { return s.OnAuthResponse(); }},
      {AWAIT_RSET_TRANSFER, [](S& s) { s.SendData("RSET\r\n"); },
       [](S& s) { return s.OnSent(AWAIT_RSET_RESPONSE); }},
      {AWAIT_RSET_RESPONSE, nullptr, [](S& s) { return s.OnReply("250", AWAIT_QUIT_TRANSFER); }},
  };
  for (const StateRule& rule : kRules) {
    if (rule.step == step) return &rule;
  }
  return nullptr;
}

void SmtpSession::ResetSubmission() {
  gather_.Clear();
  awaitingReply_ = false;
  sizeLimit_.reset();
  dsnOffered_ = false;
  smtpUtf8_ = false;
  tlsFailed_ = false;
  tlsUp_ = false;
  mechanism_ = Mechanism::None;
  loginLinesSent_ = 0;
  messageOctets_.reset();
  replyUnjudged_ = false;
  connectionLost_ = false;
  heldLoss_.reset();
  quitSent_ = false;
}

// The EHLO reply has been accepted (RecvData holds it).
Move SmtpSession::AfterEhlo() {
  const Submission& sub = p_.st.Submit;
  const std::string& reply = RecvData;
  if (sub.security == Security::StartTls && !tlsUp_) {
    // Not offered: logged with the EHLO reply; nothing sent.
    if (!OffersKeyword(reply, "STARTTLS")) return Finish(AWAIT_STARTTLS_RESPONSE);
    return Go(AWAIT_STARTTLS_TRANSFER);
  }
  sizeLimit_ = SizeLimit(reply);
  dsnOffered_ = OffersKeyword(reply, "DSN");
  // Refused before the credential or the message goes out. A probe has
  // no message.
  if (!probe_ && TooLarge()) return Finish(SIZE_EXCEEDED);
  smtpUtf8_ = !p_.st.SmtpUtf8Address.empty();
  if (smtpUtf8_ && !OffersKeyword(reply, "SMTPUTF8")) {
    RecvData =
        "the address " + p_.st.SmtpUtf8Address + " needs SMTPUTF8, which the server does not offer";
    return Finish(SMTPUTF8_MISSING);
  }
  if (sub.Authenticates()) {
    ChooseMechanism(reply);
    // None allowed is offered: logged with the EHLO reply; no credential sent.
    if (mechanism_ == Mechanism::None) return Finish(AUTH_MECHANISM);
  }
  // The probe never sends the token, so no envelope either.
  if (probe_ && sub.UsesOAuth()) return Go(AWAIT_QUIT_TRANSFER);
  return Go(sub.Authenticates() ? AWAIT_AUTH_TRANSFER : AWAIT_MAIL_FROM_TRANSFER);
}

bool SmtpSession::TooLarge() {
  const std::uint64_t size = MessageOctets();
  if (!sizeLimit_ || *sizeLimit_ == 0 || size <= *sizeLimit_) return false;
  RecvData = "message too large: " + std::to_string(size) + " octets, the server takes at most " +
             std::to_string(*sizeLimit_) + " (SIZE)";
  return true;
}

// The mechanism #AUT allows among those the EHLO reply offers: with a
// token XOAUTH2 before OAUTHBEARER, with the password PLAIN before LOGIN.
void SmtpSession::ChooseMechanism(std::string_view ehloReply) {
  const Submission& sub = p_.st.Submit;
  const AuthChoice a = sub.auth;
  mechanism_ = Mechanism::None;
  for (const std::string& m : AuthMechanisms(ehloReply)) {
    if (sub.UsesOAuth()) {
      if (m == "XOAUTH2" && a != AuthChoice::OAuthBearer) mechanism_ = Mechanism::XOAuth2;
      if (m == "OAUTHBEARER" && a != AuthChoice::XOAuth2 && mechanism_ == Mechanism::None) {
        mechanism_ = Mechanism::OAuthBearer;
      }
    } else {
      if (m == "PLAIN" && a != AuthChoice::Login) mechanism_ = Mechanism::Plain;
      if (m == "LOGIN" && a != AuthChoice::Plain && mechanism_ == Mechanism::None) {
        mechanism_ = Mechanism::Login;
      }
    }
  }
}

// The AUTH command, or the next line of AUTH LOGIN. The line is built in a
// Secret, copied once into a buffer of its exact size (so never
// reallocated) that the socket's send queue wipes once sent. Every form of
// the credential that goes out is registered first, to be masked in
// whatever the server answers.
void SmtpSession::SendAuth() {
  Submission& sub = p_.st.Submit;
  SecretRegistry& known = sub.secrets;
  using Span = SecretRegistry::Span;
  Secret wire;
  if (mechanism_ == Mechanism::XOAuth2 || mechanism_ == Mechanism::OAuthBearer) {
    const bool xoauth2 = mechanism_ == Mechanism::XOAuth2;
    if (loginLinesSent_ == 0) {
      wire.Append(xoauth2 ? "AUTH XOAUTH2 " : "AUTH OAUTHBEARER ");
      const std::size_t start = wire.Size();
      const std::string_view token = sub.oauth.accessToken.View();
      known.Add(token, Span::Recent);
      if (xoauth2) {
        oauth::Xoauth2Response(sub.user, token, wire);
      } else {
        oauth::OAuthBearerResponse(sub.user, HostForResolver(sub.host), sub.RemotePort(), token,
                                   wire);
      }
      known.AddSent(wire.View().substr(start), Span::Recent);
    } else {  // the answer to the error challenge
      wire.Append(xoauth2 ? oauth::kXoauth2ChallengeAnswer : oauth::kOAuthBearerChallengeAnswer);
    }
    ++loginLinesSent_;
  } else {
    // The password, and what LOGIN sends: its Base64 and the user's.
    known.Add(sub.password.View());
    for (std::string_view clear : {std::string_view(sub.user), sub.password.View()}) {
      Secret encoded;
      AppendBase64(clear, encoded);
      known.AddSent(encoded.View());
    }
    if (mechanism_ == Mechanism::Plain) {
      Secret clear;
      clear.Append(std::string_view("\0", 1));
      clear.Append(sub.user);
      clear.Append(std::string_view("\0", 1));
      clear.Append(sub.password.View());
      wire.Append("AUTH PLAIN ");
      const std::size_t start = wire.Size();
      AppendBase64(clear.View(), wire);
      known.AddSent(wire.View().substr(start));
    } else {
      if (loginLinesSent_ == 0) {
        wire.Append("AUTH LOGIN");
      } else {
        AppendBase64(loginLinesSent_ == 1 ? std::string_view(sub.user) : sub.password.View(), wire);
      }
      ++loginLinesSent_;
    }
  }
  wire.Append("\r\n");
  std::string line;
  line.reserve(wire.Size());
  line.append(wire.View());
  SendData(std::move(line));
}

// Every reply to an AUTH line is looked at: 235, or 334 in the middle of
// AUTH LOGIN or as a token's error challenge.
Move SmtpSession::OnAuthResponse() {
  if (!ReplyIn()) return Stay();
  const std::string& reply = RecvData;
  if (Begins(reply, "235")) {
    // Without repeats or retries no later send needs the secret.
    if (p_.st.MoreInterval <= 0 && !p_.st.RetryOn) p_.st.Submit.password.Wipe();
    p_.st.Submit.oauth.accessToken.Wipe();
    return Go(AWAIT_MAIL_FROM_TRANSFER);
  }
  if (Begins(reply, "334") && mechanism_ == Mechanism::Login && loginLinesSent_ < 3) {
    return Go(AWAIT_AUTH_TRANSFER);
  }
  // A token refused with an error challenge (RFC 7628): answered once, and
  // the failure reply that follows is what 139 logs.
  if (Begins(reply, "334") &&
      (mechanism_ == Mechanism::XOAuth2 || mechanism_ == Mechanism::OAuthBearer) &&
      loginLinesSent_ == 1) {
    return Go(AWAIT_AUTH_TRANSFER);
  }
  return Finish(AWAIT_AUTH_RESPONSE);  // 535 and the like
}

// Under submission a reply is taken whole, with every form of every
// secret of the run masked, and only while a command awaits it: a reply
// nobody asked for, one without a code or one whose lines disagree on the
// code would put the dialogue out of step, so the session ends instead. Two
// replies stand apart: a 421, which a server may send at any time before
// it closes (RFC 5321 §3.8), and the message's acceptance, which nothing
// after it undoes (what came with it answers the QUIT that follows).
void SmtpSession::TakeReply(std::string reply) {
  const SmtpStep step = smtpSTEP;
  if (step == EXIT) return;  // QUIT was answered: the dialogue is over
  const SecretRegistry& known = p_.st.Submit.secrets;
  known.Mask(reply);
  if (!awaitingReply_) {
    if (Begins(reply, "421")) {
      ServerClosing(std::move(reply));
    } else {
      ProtocolError("a reply that no command asked for", reply);
    }
    return;
  }
  const bool coded = HasReplyCode(reply);
  const bool acceptance = coded && Begins(reply, "250") &&
                          (step == AWAIT_DATA_TRANSFER || step == AWAIT_DATA_TRANSFER_RESPONSE);
  const bool quitAnswered = step == AWAIT_QUIT_TRANSFER || step == AWAIT_QUIT_RESPONSE;
  if (quitAnswered) gather_.Clear();
  if (!gather_.Empty() && !acceptance) {  // more came after the reply, before any command
    std::string more(gather_.Pending());
    known.Mask(more);
    if (Begins(more, "421")) {
      ServerClosing(std::move(more));
    } else {
      ProtocolError("a reply that no command asked for", more);
    }
    return;
  }
  awaitingReply_ = false;
  if (!coded) {
    ProtocolError("a reply without a code", reply);
    return;
  }
  if (!acceptance && !SameCodes(reply)) {
    ProtocolError("reply lines with differing codes", reply);
    return;
  }
  RecvData = std::move(reply);
  replyUnjudged_ = true;
}

void SmtpSession::ServerClosing(std::string reply) {
  Apply(Handle(Event::Closing, std::move(reply)));
}

void SmtpSession::ProtocolError(std::string_view what, std::string_view reply) {
  std::string text = "protocol error: ";
  text += what;
  text += ": ";
  text += reply;
  Apply(Handle(Event::OutOfStep, std::move(text)));
}

Move SmtpSession::OnServerClosing(std::string reply) {
  if (smtpSTEP == FAILED || smtpSTEP == IDLE) return Stay();
  RecvData = std::move(reply);
  gather_.Clear();
  awaitingReply_ = false;
  flagged_ = FailureClass::Temporary;  // try later
  return Go(FAILED);
}

Move SmtpSession::OnProtocolError(std::string text) {
  if (smtpSTEP == FAILED || smtpSTEP == IDLE) return Stay();
  RecvData = std::move(text);
  gather_.Clear();
  awaitingReply_ = false;
  flagged_ = FailureClass::Protocol;
  return Go(FAILED);
}

// Entering AWAIT_TLS_HANDSHAKE.
void SmtpSession::BeginTls() {
  RunState& st = p_.st;
  // Whatever came before TLS is not to be trusted; the socket drops its
  // own unread bytes as well.
  gather_.Clear();
  RecvData.clear();
  SendBusy = true;  // the socket reports the end like a send
  tlsFailed_ = false;
  p_.socket.StartTls(TlsRequest{HostForResolver(st.Submit.host), st.Submit.caPem});
}

Move SmtpSession::OnHandshake() {
  if (tlsFailed_) return Finish(AWAIT_TLS_HANDSHAKE);  // RecvData holds the reason
  if (SendBusy) return Stay();
  tlsUp_ = true;
  // Implicit TLS: the greeting comes under TLS; STARTTLS: EHLO again.
  return Go(p_.st.Submit.security == Security::Tls ? AWAIT_GREETING : AWAIT_EHLO_TLS_TRANSFER);
}

Move SmtpSession::OnConnectionError(const std::string& reason) {
  RunState& st = p_.st;
  if (smtpSTEP == AWAIT_TLS_HANDSHAKE && SendBusy) {
    tlsFailed_ = true;  // the handshake's handler ends the session
    RecvData =
        reason.empty() ? std::string("TLS handshake failed") : st.Submit.secrets.Masked(reason);
    return Stay();
  }
  // With a backup server to go to, the plain session does not wait out the
  // time-out for a connection that was never made either.
  const bool toBackup = st.Submit.hosts.size() > 1 && smtpSTEP == AWAIT_CONNECTION;
  if ((st.Submit.Extended() || toBackup) && smtpSTEP != IDLE && smtpSTEP != FAILED &&
      smtpSTEP != EXIT) {
    // The connection is gone: waiting two minutes for it would tell no more.
    connectionLost_ = true;
    std::string text =
        reason.empty() ? std::string("connection failed") : st.Submit.secrets.Masked(reason);
    if (replyUnjudged_) {
      // A reply that came with the close is judged first: a 221 read
      // together with the close ends the session as one read before it.
      heldLoss_ = std::move(text);
      SendBusy = false;  // nothing more completes on this connection
      return Stay();
    }
    RecvData = std::move(text);
    return Go(FAILED);
  }
  return Stay();  // the plain session notices through its time-out
}

Move SmtpSession::OnLossAfterReply(std::string reason) {
  if (smtpSTEP == IDLE || smtpSTEP == FAILED || smtpSTEP == EXIT) return Stay();
  RecvData = std::move(reason);
  return Go(FAILED);
}

}  // namespace tolvex
