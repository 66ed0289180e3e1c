// How one delivery ended, as the session tells run control once at its end
// (SessionHost::DeliveryEnded): delivered, or the failure's class, the
// state it ended in, the server's last text, and whether the server had
// accepted the message. Run control reports it, maps it to an exit status
// and decides from it what may be tried again.
#pragma once

#include <cstdint>
#include <string>

#include "smtp/smtp_step.hpp"

namespace tolvex {

enum class FailureClass : std::uint8_t {
  None,          // delivered
  Temporary,     // a 4xx reply, no connection or one lost, the time-out
  Permanent,     // a 5xx reply and everything else
  NoPermission,  // AUTH refused, or the server's certificate
  Protocol,      // replies out of step with the commands, or lines that disagree
};

struct DeliveryEnd {
  SmtpStep step = SmtpStep::IDLE;  // the state logged; IDLE: delivered
  // Never Temporary once the server had accepted the message.
  FailureClass failure = FailureClass::None;
  std::string text;  // the server's last text, or why the delivery failed
  // The server had accepted the message (a 250 to it): it is the server's,
  // and sending it again would deliver it twice.
  bool accepted = false;
  // Ended through the catch-all branch (a normal end or a flagged 999),
  // after which the caption returns to "Tolvex" when the run goes on.
  bool catchAll = false;
  // Seconds a mail API asked to be left alone (its Retry-After); 0: none.
  std::int64_t retryAfter = 0;

  bool Delivered() const { return step == SmtpStep::IDLE; }
  // Worth another attempt: a temporary failure (4xx, no or a lost
  // connection, silence, a cut handshake) before the server took the
  // message.
  bool Temporary() const { return failure == FailureClass::Temporary && !accepted; }
  // The exit status goes by the class: under submission, and for a proxy's
  // refusal whatever #SEC says.
  bool ExitByClass(bool submission) const { return submission || step == SmtpStep::PROXY_REFUSED; }
};

}  // namespace tolvex
