// The row type of the session's tables: what a state waits for, which
// reply code it accepts, what it sends then and where it goes. Shared by
// the plain table (smtp_session.cpp) and the submission rows
// (submission_states.cpp).
#pragma once

#include <cstdint>
#include <string_view>

#include "smtp/smtp_session.hpp"

namespace tolvex {

enum class SmtpSession::Command : std::uint8_t {
  None,
  Hello,
  MailFrom,
  RcptTo,
  Data,
  Message,
  Quit,
  // Submission: each decides its own next state (see submission_states.cpp).
  AfterEhlo,  // STARTTLS, AUTH or MAIL FROM, as the settings and the reply say
  StartTls,   // "STARTTLS"
  BeginTls,   // the socket's TLS handshake
  AfterTls,   // the greeting (implicit TLS) or EHLO under TLS
  AfterAuth,  // the next AUTH LOGIN line, or MAIL FROM
};

namespace session {

enum class Await : std::uint8_t {
  Nothing,       // events move the state (110, 115)
  SendComplete,  // the last send has been handed on (SendBusy false)
  Reply,         // a reply has arrived (RecvData not empty)
  Handshake,     // the TLS handshake has ended, one way or the other
};

enum class Match : std::uint8_t {
  FirstChars,  // the reply's first three characters are the code
  LineStart,   // some line of the reply begins with the code
};

enum class OnReject : std::uint8_t {
  FinishNow,  // finish in this tick, logging this state
  Flag999,    // set 999; the next tick finishes
};

}  // namespace session

struct SmtpSession::Rule {
  SmtpStep step;
  session::Await await;
  SmtpStep next;
  Command command = Command::None;  // sent when the reply is accepted
  std::string_view code = {};
  session::Match match = session::Match::FirstChars;
  session::OnReject onReject = session::OnReject::FinishNow;
};

}  // namespace tolvex
