// The SMTP session's state numbers, held in SmtpSession::smtpSTEP. Every
// 16-bit value is representable: values without a name (0 and 999
// included) take the session's catch-all branch.
#pragma once

#include <cstdint>

namespace tolvex {

enum class SmtpStep : std::int16_t {
  IDLE = 0,
  smtpSTART = 100,
  // OAuth: the token request made before connecting was refused or failed.
  OAUTH_TOKEN = 105,
  // #VIA: the mail API refused the message or could not be reached.
  API_REQUEST = 106,
  AWAIT_CONNECTION = 110,
  // The proxy (#PRX) refused the way to the mail server, or was not there.
  PROXY_REFUSED = 112,
  CONFARM_CONNECTION = 115,
  AWAIT_GREETING = 120,
  AWAIT_HELLO_TRANSFER = 125,
  AWAIT_HELLO_RESPONSE = 130,
  // Submission: STARTTLS, the TLS handshake, EHLO under TLS, AUTH.
  AWAIT_STARTTLS_TRANSFER = 131,
  AWAIT_STARTTLS_RESPONSE = 132,
  AWAIT_TLS_HANDSHAKE = 133,
  AWAIT_EHLO_TLS_TRANSFER = 134,
  AWAIT_EHLO_TLS_RESPONSE = 136,
  AUTH_MECHANISM = 137,
  AWAIT_AUTH_TRANSFER = 138,
  AWAIT_AUTH_RESPONSE = 139,
  AWAIT_MAIL_FROM_TRANSFER = 135,
  // The 250 to MAIL FROM, and to each RCPT TO but the last: 150 goes back
  // here for the next recipient.
  AWAIT_MAIL_FROM_RESPONSE = 140,
  // Submission: the message is larger than the server's SIZE; no MAIL FROM.
  SIZE_EXCEEDED = 141,
  // Submission: an address needs SMTPUTF8 and the server does not offer
  // it; no MAIL FROM.
  SMTPUTF8_MISSING = 142,
  AWAIT_RCPT_TO_TRANSFER = 145,
  AWAIT_RCPT_TO_RESPONSE = 150,
  // A probe: RSET after the last recipient instead of DATA.
  AWAIT_RSET_TRANSFER = 151,
  AWAIT_RSET_RESPONSE = 152,
  AWAIT_DATA1_TRANSFER = 155,
  AWAIT_DATA_RESPONSE = 160,
  AWAIT_DATA_TRANSFER = 170,
  AWAIT_DATA_TRANSFER_RESPONSE = 180,
  AWAIT_QUIT_TRANSFER = 190,
  AWAIT_QUIT_RESPONSE = 200,
  EXIT = 210,
  FAILED = 999,
};

constexpr std::int16_t StepNumber(SmtpStep step) { return static_cast<std::int16_t>(step); }

}  // namespace tolvex
