// The session's submission states: EHLO's answer decides between STARTTLS,
// AUTH and MAIL FROM; STARTTLS and the TLS handshake (or the handshake right
// after the connection, for implicit TLS); EHLO again under TLS; AUTH PLAIN
// or AUTH LOGIN; a probe's RSET. Their rows are read before the plain
// table's whenever #SEC or #USR is set, and in a probe, so the one row they
// share (130) takes the submission path then. The TLS itself is the
// socket's: the session only asks for it and waits for its end.
#include <array>
#include <string>

#include "base/sjis_text.hpp"
#include "base/socket_buffers.hpp"
#include "oauth/sasl.hpp"
#include "smtp/session_rules.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

using enum SmtpStep;

namespace {

using Rule = SmtpSession::Rule;
using C = SmtpSession::Command;
using session::Await;

constexpr std::array kSubmissionRules = {
    // The next state is the command's choice: the rule stays where it is.
    Rule{AWAIT_HELLO_RESPONSE, Await::Reply, AWAIT_HELLO_RESPONSE, C::AfterEhlo, "250"},
    Rule{AWAIT_STARTTLS_TRANSFER, Await::SendComplete, AWAIT_STARTTLS_RESPONSE},
    Rule{AWAIT_STARTTLS_RESPONSE, Await::Reply, AWAIT_TLS_HANDSHAKE, C::BeginTls, "220"},
    Rule{AWAIT_TLS_HANDSHAKE, Await::Handshake, AWAIT_TLS_HANDSHAKE, C::AfterTls},
    Rule{AWAIT_EHLO_TLS_TRANSFER, Await::SendComplete, AWAIT_EHLO_TLS_RESPONSE},
    Rule{AWAIT_EHLO_TLS_RESPONSE, Await::Reply, AWAIT_EHLO_TLS_RESPONSE, C::AfterEhlo, "250"},
    Rule{AWAIT_AUTH_TRANSFER, Await::SendComplete, AWAIT_AUTH_RESPONSE},
    // Every reply is looked at: 235, or 334 in the middle of AUTH LOGIN.
    Rule{AWAIT_AUTH_RESPONSE, Await::Reply, AWAIT_AUTH_RESPONSE, C::AfterAuth, ""},
    // A probe's end of the envelope: RSET, then QUIT.
    Rule{AWAIT_RSET_TRANSFER, Await::SendComplete, AWAIT_RSET_RESPONSE},
    Rule{AWAIT_RSET_RESPONSE, Await::Reply, AWAIT_QUIT_TRANSFER, C::Quit, "250"},
};

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Base64 in one line (no breaks), appended to `out`.
void AppendBase64(std::string_view in, std::string& out) {
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(in[i]) << 16 |
                       static_cast<unsigned char>(in[i + 1]) << 8 |
                       static_cast<unsigned char>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kBase64[(v >> s) & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kBase64[(v >> 18) & 63];
    out += kBase64[(v >> 12) & 63];
    out += i + 1 < in.size() ? kBase64[(v >> 6) & 63] : '=';
    out += '=';
  }
}

bool Begins(std::string_view reply, std::string_view code) {
  return sjis::LeftChars(reply, code.size()) == code;
}

}  // namespace

const SmtpSession::Rule* SmtpSession::FindSubmissionRule(SmtpStep step) {
  for (const Rule& rule : kSubmissionRules) {
    if (rule.step == step) return &rule;
  }
  return nullptr;
}

void SmtpSession::ResetSubmission() {
  gather_.Clear();
  awaitingReply_ = false;
  sizeLimit_.reset();
  credentialForms_.clear();
  tlsFailed_ = false;
  tlsUp_ = false;
  mechanism_ = Mechanism::None;
  loginLinesSent_ = 0;
}

bool SmtpSession::SendSubmissionCommand(Command command) {
  switch (command) {
    case Command::AfterEhlo:
      return AfterEhlo();
    case Command::StartTls:
      SendData("STARTTLS\r\n");
      return false;
    case Command::BeginTls:
      BeginTls();
      return false;
    case Command::AfterTls:
      tlsUp_ = true;
      if (p_.st.Submit.security == Security::Tls) {
        SetStep(AWAIT_GREETING);  // the greeting comes under TLS
      } else {
        SetStep(AWAIT_EHLO_TLS_TRANSFER);
        SendCommand(Command::Hello);  // RFC 3207: forget what came before, ask again
      }
      return false;
    case Command::AfterAuth:
      return AfterAuth();
    default:
      return false;
  }
}

// The EHLO reply has been accepted (RecvData holds it).
bool SmtpSession::AfterEhlo() {
  const Submission& sub = p_.st.Submit;
  const std::string& reply = p_.st.RecvData;
  if (sub.security == Security::StartTls && !tlsUp_) {
    if (!OffersKeyword(reply, "STARTTLS")) {
      SetStep(AWAIT_STARTTLS_RESPONSE);  // logged with the EHLO reply; nothing sent
      return true;
    }
    SetStep(AWAIT_STARTTLS_TRANSFER);
    SendCommand(Command::StartTls);
    return false;
  }
  sizeLimit_ = SizeLimit(reply);
  // Refused before the credential or the message goes out. A probe has
  // no message.
  if (!probe_ && TooLarge()) return true;
  if (sub.Authenticates()) {
    ChooseMechanism(reply);
    if (mechanism_ == Mechanism::None) {
      SetStep(AUTH_MECHANISM);  // logged with the EHLO reply; no credential sent
      return true;
    }
  }
  if (probe_ && sub.UsesOAuth()) {  // the token is never sent, so no envelope either
    SetStep(AWAIT_QUIT_TRANSFER);
    SendCommand(Command::Quit);
    return false;
  }
  if (sub.Authenticates()) {
    SetStep(AWAIT_AUTH_TRANSFER);
    SendAuth();
    return false;
  }
  SetStep(AWAIT_MAIL_FROM_TRANSFER);
  SendCommand(Command::MailFrom);
  return false;
}

bool SmtpSession::TooLarge() {
  const std::uint64_t size = p_.st.MailData.Size();
  if (!sizeLimit_ || *sizeLimit_ == 0 || size <= *sizeLimit_) return false;
  SetStep(SIZE_EXCEEDED);
  p_.st.RecvData = "message too large: " + std::to_string(size) +
                   " octets, the server takes at most " + std::to_string(*sizeLimit_) + " (SIZE)";
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

// The AUTH command, or the next line of AUTH LOGIN. The lines are built in
// buffers large enough never to be reallocated (and so copied) and are
// wiped by the socket's send queue once sent.
void SmtpSession::SendAuth() {
  const Submission& sub = p_.st.Submit;
  if (mechanism_ == Mechanism::XOAuth2 || mechanism_ == Mechanism::OAuthBearer) {
    const bool xoauth2 = mechanism_ == Mechanism::XOAuth2;
    Secret wire;
    if (loginLinesSent_ == 0) {
      wire.Append(xoauth2 ? "AUTH XOAUTH2 " : "AUTH OAUTHBEARER ");
      const std::string_view token = sub.oauth.accessToken.View();
      if (xoauth2) {
        oauth::Xoauth2Response(sub.user, token, wire);
      } else {
        oauth::OAuthBearerResponse(sub.user, HostForResolver(sub.host), sub.RemotePort(), token,
                                   wire);
      }
    } else {  // the answer to the error challenge
      wire.Append(xoauth2 ? oauth::kXoauth2ChallengeAnswer : oauth::kOAuthBearerChallengeAnswer);
    }
    wire.Append("\r\n");
    ++loginLinesSent_;
    std::string line;
    line.reserve(wire.Size());
    line.append(wire.View());
    SendData(std::move(line));
    return;
  }
  Secret clear;
  std::string line;
  line.reserve(64 + 2 * (sub.user.size() + sub.password.Size()));
  if (mechanism_ == Mechanism::Plain) {
    clear.Append(std::string_view("\0", 1));
    clear.Append(sub.user);
    clear.Append(std::string_view("\0", 1));
    clear.Append(sub.password.View());
    line = "AUTH PLAIN ";
    AppendBase64(clear.View(), line);
  } else if (loginLinesSent_ == 0) {
    line = "AUTH LOGIN";
  } else {
    AppendBase64(loginLinesSent_ == 1 ? std::string_view(sub.user) : sub.password.View(), line);
  }
  // What a server could echo back: the password, the user and password
  // in Base64 (LOGIN) and the PLAIN line's Base64.
  if (credentialForms_.empty()) {
    std::string encoded;
    credentialForms_.emplace_back(sub.password.View());
    AppendBase64(sub.password.View(), encoded);
    credentialForms_.emplace_back(encoded);
    WipeString(encoded);
    encoded.reserve(64 + 2 * (sub.user.size() + sub.password.Size()));
    AppendBase64(sub.user, encoded);
    credentialForms_.emplace_back(encoded);
    WipeString(encoded);
  }
  if (mechanism_ == Mechanism::Plain) credentialForms_.emplace_back(line.substr(11));
  line += "\r\n";
  if (mechanism_ == Mechanism::Login) ++loginLinesSent_;
  SendData(std::move(line));
}

// RecvData holds the reply to the last AUTH line.
bool SmtpSession::AfterAuth() {
  const std::string& reply = p_.st.RecvData;
  if (Begins(reply, "235")) {
    // Without repeats or retries no later send needs the secret.
    if (p_.st.MoreInterval <= 0 && !p_.st.RetryOn) p_.st.Submit.password.Wipe();
    p_.st.Submit.oauth.accessToken.Wipe();
    SetStep(AWAIT_MAIL_FROM_TRANSFER);
    SendCommand(Command::MailFrom);
    return false;
  }
  if (Begins(reply, "334") && mechanism_ == Mechanism::Login && loginLinesSent_ < 3) {
    SetStep(AWAIT_AUTH_TRANSFER);
    SendAuth();
    return false;
  }
  // A token refused with an error challenge (RFC 7628): answered once, and
  // the failure reply that follows is what 139 logs.
  if (Begins(reply, "334") &&
      (mechanism_ == Mechanism::XOAuth2 || mechanism_ == Mechanism::OAuthBearer) &&
      loginLinesSent_ == 1) {
    SetStep(AWAIT_AUTH_TRANSFER);
    SendAuth();
    return false;
  }
  return true;  // 535 and the like: logged in 139
}

// Under submission a reply is taken whole, with every form of the
// credential masked, and only while a command awaits it: a reply nobody
// asked for, or one whose lines disagree on the code, would put the
// dialogue out of step, so the session ends instead.
void SmtpSession::TakeReply(std::string reply) {
  std::vector<std::string_view> forms;
  for (const Secret& form : credentialForms_) forms.push_back(form.View());
  MaskSecrets(reply, forms);
  if (!awaitingReply_) {
    ProtocolError("a reply that no command asked for", reply);
    return;
  }
  if (!gather_.Empty()) {  // more came after the reply, before any command
    std::string more(gather_.Pending());
    MaskSecrets(more, forms);
    ProtocolError("a reply that no command asked for", more);
    return;
  }
  awaitingReply_ = false;
  if (!SameCodes(reply)) {
    ProtocolError("reply lines with differing codes", reply);
    return;
  }
  p_.st.RecvData = std::move(reply);
}

void SmtpSession::ProtocolError(std::string_view what, std::string_view reply) {
  RunState& st = p_.st;
  if (st.smtpSTEP == FAILED || st.smtpSTEP == IDLE) return;
  st.RecvData = "protocol error: ";
  st.RecvData += what;
  st.RecvData += ": ";
  st.RecvData += reply;
  gather_.Clear();
  awaitingReply_ = false;
  flagged_ = FailureClass::Protocol;
  SetStep(FAILED);
}

void SmtpSession::BeginTls() {
  RunState& st = p_.st;
  SetStep(AWAIT_TLS_HANDSHAKE);
  // Whatever came before TLS is not to be trusted; the socket drops its
  // own unread bytes as well.
  gather_.Clear();
  st.RecvData.clear();
  st.SendBusy = true;  // the socket reports the end like a send
  tlsFailed_ = false;
  p_.socket.StartTls(TlsRequest{HostForResolver(st.Submit.host), st.Submit.caPem});
}

bool SmtpSession::HandshakeEnded(const Rule& rule) {
  if (tlsFailed_) return true;  // RecvData holds the reason
  if (p_.st.SendBusy) return false;
  return SendCommand(rule.command);
}

void SmtpSession::WSOCK_Error(const std::string& reason) {
  RunState& st = p_.st;
  if (st.smtpSTEP == AWAIT_TLS_HANDSHAKE && st.SendBusy) {
    tlsFailed_ = true;
    st.RecvData = reason.empty() ? std::string("TLS handshake failed") : reason;
  } else if (st.Submit.Extended() && st.smtpSTEP != IDLE && st.smtpSTEP != FAILED &&
             st.smtpSTEP != EXIT) {
    // The connection is gone: waiting two minutes for it would tell no more.
    st.RecvData = reason.empty() ? std::string("connection failed") : reason;
    SetStep(FAILED);
  }
  Advance();
}

}  // namespace tolvex
