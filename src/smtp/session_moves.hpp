// The moves a handler returns, by name, for the files of the session's
// handlers.
#pragma once

#include "smtp/smtp_session.hpp"

namespace tolvex::session {

using Move = SmtpSession::Move;

constexpr Move Stay() { return {}; }
constexpr Move Go(SmtpStep to) { return {Move::Kind::Go, to}; }
constexpr Move Finish(SmtpStep in) { return {Move::Kind::Finish, in}; }
constexpr Move End() { return {Move::Kind::End, SmtpStep::IDLE}; }

}  // namespace tolvex::session
