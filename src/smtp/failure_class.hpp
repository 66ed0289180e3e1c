// What kind of failure ended a delivery, as the session reports it with the
// end of each delivery. Run control maps it to an exit status (under
// submission) and decides from it what may be tried again: a Temporary
// failure may succeed later; a failure after the server accepted the
// message is never Temporary, so it is never sent twice.
#pragma once

#include <cstdint>

namespace tolvex {

enum class FailureClass : std::uint8_t {
  None,          // delivered
  Temporary,     // a 4xx reply, no connection or one lost, the time-out
  Permanent,     // a 5xx reply and everything else
  NoPermission,  // AUTH refused, or the server's certificate
  Protocol,      // replies out of step with the commands, or lines that disagree
};

}  // namespace tolvex
