// The states every session runs: the connection, the greeting, HELO, the
// envelope, DATA, the message and QUIT. Each state's row says what entering
// it does and what its handler does with a tick (under submission: with the
// event that may complete it); the handlers follow the table. A transfer
// state sends its command on entry and waits for the send to complete; the
// response state after it judges the reply.
#include <utility>

#include "compose/intl_address.hpp"
#include "compose/message.hpp"
#include "compose/text_functions.hpp"
#include "smtp/dot_stuffer.hpp"
#include "smtp/dsn.hpp"
#include "smtp/envelope.hpp"
#include "smtp/session_moves.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

using enum SmtpStep;
using namespace session;

namespace {

// A message whose end could not be read.
class UnreadableSource final : public ByteSource {
 public:
  std::size_t Fill(char*, std::size_t) override { return 0; }
  bool Done() const override { return false; }
  bool Failed() const override { return true; }
};

}  // namespace

const SmtpSession::StateRule* SmtpSession::PlainRule(SmtpStep step) {
  using S = SmtpSession;
  static constexpr StateRule kRules[] = {
      {smtpSTART, nullptr, [](S&) { return Go(AWAIT_CONNECTION); }},
      // The connection's event moves 110 on (OnConnected).
      {AWAIT_CONNECTION, [](S& s) { s.p_.socket.Connect(); }, [](S&) { return Stay(); }},
      {CONFARM_CONNECTION, nullptr, [](S& s) { return s.OnConnectionMade(); }},
      {AWAIT_GREETING, nullptr, [](S& s) { return s.OnReply("220", AWAIT_HELLO_TRANSFER); }},
      {AWAIT_HELLO_TRANSFER, [](S& s) { s.SendHello(); },
       [](S& s) { return s.OnSent(AWAIT_HELLO_RESPONSE); }},
      {AWAIT_HELLO_RESPONSE, nullptr, [](S& s) { return s.OnHelloResponse(); }},
      {AWAIT_MAIL_FROM_TRANSFER, [](S& s) { s.SendMailFrom(); },
       [](S& s) { return s.OnSent(AWAIT_MAIL_FROM_RESPONSE); }},
      // 140 waits for the 250 to MAIL FROM and, while more recipients
      // follow, for the 250 to the previous RCPT TO: 150 hands every
      // recipient's reply but the last's on to it unjudged, so a refused
      // recipient other than the last is logged in 140.
      {AWAIT_MAIL_FROM_RESPONSE, nullptr,
       [](S& s) { return s.OnReply("250", AWAIT_RCPT_TO_TRANSFER); }},
      {AWAIT_RCPT_TO_TRANSFER, [](S& s) { s.SendRcptTo(); },
       [](S& s) { return s.OnSent(AWAIT_RCPT_TO_RESPONSE); }},
      {AWAIT_RCPT_TO_RESPONSE, nullptr, [](S& s) { return s.OnRcptToResponse(); }},
      {AWAIT_DATA1_TRANSFER, [](S& s) { s.SendData("DATA\r\n"); },
       [](S& s) { return s.OnSent(AWAIT_DATA_RESPONSE); }},
      {AWAIT_DATA_RESPONSE, nullptr, [](S& s) { return s.OnReply("354", AWAIT_DATA_TRANSFER); }},
      {AWAIT_DATA_TRANSFER, [](S& s) { s.SendMessage(); },
       [](S& s) { return s.OnSent(AWAIT_DATA_TRANSFER_RESPONSE); }},
      {AWAIT_DATA_TRANSFER_RESPONSE, nullptr, [](S& s) { return s.OnMessageResponse(); }},
      {AWAIT_QUIT_TRANSFER, [](S& s) { s.SendQuit(); },
       [](S& s) { return s.OnSent(AWAIT_QUIT_RESPONSE); }},
      {AWAIT_QUIT_RESPONSE, nullptr, [](S& s) { return s.OnQuitResponse(); }},
      {EXIT, nullptr,
       [](S& s) {
         s.RecvData.clear();
         return Go(IDLE);
       }},
  };
  for (const StateRule& rule : kRules) {
    if (rule.step == step) return &rule;
  }
  return nullptr;
}

// ---- what entering a state sends --------------------------------------

void SmtpSession::ExpectReply() {
  awaitingReply_ = true;
  replyUnjudged_ = false;
  RecvData.clear();
  SendBusy = true;
}

void SmtpSession::SendData(std::string text) {
  std::string_view line = text;
  if (line.ends_with("\r\n")) line.remove_suffix(2);
  lastCommand_ = p_.st.Submit.secrets.Masked(line);
  ExpectReply();
  p_.socket.SendData(std::move(text));
}

// HELO, EHLO under submission, and EHLO again under TLS (RFC 3207: what
// came before is forgotten). Servers refuse an empty or made-up name:
// without #LOC the client names itself by the connection's own address.
void SmtpSession::SendHello() {
  SendData((p_.st.Submit.Extended() ? "EHLO " : "HELO ") +
           HelloName(p_.st.LocalName, p_.socket.LocalAddress()) + "\r\n");
}

bool SmtpSession::SendsDsn() const { return !probe_ && dsnOffered_ && p_.st.Submit.dsn.Asked(); }

std::string SmtpSession::EnvelopeAddress(const std::string& text) const {
  const MessageCharset charset = p_.st.Charset;
  std::string address = AngleAddress(text, charset);
  return smtpUtf8_ ? Utf8Address(address, charset) : address;
}

void SmtpSession::SendMailFrom() {
  const RunState& st = p_.st;
  // RFC 1870: the size goes with MAIL FROM when the server announced SIZE.
  // A probe has no message. #DSN's RET and ENVID follow it.
  std::string line = "MAIL FROM:" + EnvelopePath(EnvelopeAddress(st.FromAddr));
  if (smtpUtf8_) line += " SMTPUTF8";
  if (sizeLimit_ && !probe_) line += " SIZE=" + std::to_string(MessageOctets());
  if (SendsDsn()) line += DsnMailParameters(EnvelopeId(st.StampLines));
  if (!probe_ && !dsnOffered_ && st.Submit.dsn.Asked()) {
    p_.host.Notice(
        "the server does not offer DSN: this message goes without the delivery status "
        "notifications #DSN asks for");
  }
  SendData(line + "\r\n");
}

void SmtpSession::SendRcptTo() {
  const RunState& st = p_.st;
  const std::string& to = st.ToAddr[static_cast<std::size_t>(RcptIndex)];
  const std::string address = EnvelopeAddress(to);
  std::string line = "RCPT TO:" + EnvelopePath(address);
  if (SendsDsn()) line += DsnRcptParameters(st.Submit.dsn, address);
  SendData(line + "\r\n");
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
  const MailSpool& mail = p_.st.MailData;
  ExpectReply();
  // TEMP.TXT keeps the end-of-data line the composition wrote; the stuffer
  // ends the data itself.
  IoError error;
  std::uint64_t size = MessageSize(mail, error);
  if (error ||
      !p_.host.MessageGoing()) {  // the socket fails the connection, as for any unreadable byte
    size = mail.Size();
    mailSource_ = std::make_unique<UnreadableSource>();
  } else {
    mailSource_ = std::make_unique<FileSource>(mail.File(), 0, size);
  }
  wireSource_ = std::make_unique<DotStuffer>(*mailSource_, size);
  dataStart_ = p_.socket.BytesAccepted();
  p_.socket.SendMessageData(*wireSource_);
}

SmtpSession::MessageProgress SmtpSession::MessageSent() {
  constexpr std::uint64_t kEndOfData = 3;  // "." CR LF
  const std::uint64_t accepted = p_.socket.BytesAccepted();
  return {accepted > dataStart_ ? accepted - dataStart_ : 0, MessageOctets() + kEndOfData};
}

void SmtpSession::SendQuit() {
  quitSent_ = true;
  SendData("QUIT\r\n");
}

// ---- the handlers -----------------------------------------------------

Move SmtpSession::OnSent(SmtpStep next) const { return SendBusy ? Stay() : Go(next); }

Move SmtpSession::OnReply(std::string_view code, SmtpStep next) {
  if (!ReplyIn()) return Stay();
  return Accepted(code) ? Go(next) : Finish(smtpSTEP);
}

// 115: the connection is made and the greeting awaited; with implicit TLS
// the handshake comes first.
Move SmtpSession::OnConnectionMade() {
  return p_.st.Submit.security == Security::Tls ? Go(AWAIT_TLS_HANDSHAKE) : Stay();
}

Move SmtpSession::OnHelloResponse() {
  if (!ReplyIn()) return Stay();
  if (!Accepted("250")) return Finish(smtpSTEP);
  return Submitting() ? AfterEhlo() : Go(AWAIT_MAIL_FROM_TRANSFER);
}

// The last recipient's reply is judged here. With more recipients to come
// the session goes back to 140 without looking at the reply: 140 judges it,
// and its 250 sends RCPT TO for the next.
Move SmtpSession::OnRcptToResponse() {
  const RunState& st = p_.st;
  if (RcptIndex < st.ToCount && RcptIndex < kMaxRecipients) {
    ++RcptIndex;
    return Go(AWAIT_MAIL_FROM_RESPONSE);
  }
  // A probe resets the envelope where the message would begin.
  return OnReply("250", probe_ ? AWAIT_RSET_TRANSFER : AWAIT_DATA1_TRANSFER);
}

Move SmtpSession::OnMessageResponse() {
  if (!ReplyIn()) return Stay();
  if (!Accepted("250", true)) return Flag999();
  messageAccepted_ = true;
  return Go(AWAIT_QUIT_TRANSFER);
}

Move SmtpSession::OnQuitResponse() {
  if (!ReplyIn()) return Stay();
  return Accepted("221", true) ? Go(EXIT) : Flag999();
}

}  // namespace tolvex
