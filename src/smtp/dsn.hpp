// Delivery status notifications (RFC 3461): the parameters MAIL FROM and
// RCPT TO carry when #DSN is written and the server offers DSN, and the
// xtext they are written in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/submission.hpp"

namespace tolvex {

inline constexpr std::size_t kMaxEnvelopeId = 100;

// xtext: every byte outside "!".."~", and "+" and "=", as "+XX" in
// upper-case hex; the rest as it is.
std::string Xtext(std::string_view bytes);

// The ENVID of a message: the xtext of its Message-ID without the angle
// brackets, taken from `stampLines` (the "Date:" and "Message-ID:" lines,
// made once per message, so the same over its retries), cut to at most
// kMaxEnvelopeId characters, never inside a "+XX". Its unique part comes
// first, so a cut takes only the end of the domain. Empty when there is
// no Message-ID line.
std::string EnvelopeId(std::string_view stampLines);

// "SUCCESS,FAILURE,DELAY" (those asked, in that order) or "NEVER".
std::string NotifyList(const DsnRequest& dsn);

// What follows MAIL FROM's path: " RET=HDRS ENVID=<envid>" (without
// ENVID when `envid` is empty).
std::string DsnMailParameters(std::string_view envid);

// What follows RCPT TO's path: " NOTIFY=<list> ORCPT=rfc822;<xtext of
// `address`>", the address as the path carries it.
std::string DsnRcptParameters(const DsnRequest& dsn, std::string_view address);

}  // namespace tolvex
