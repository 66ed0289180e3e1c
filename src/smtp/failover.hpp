// A backup server: with "#HOS" listing several hosts, a session that failed
// for the time being before the server took the message (no connection or
// one lost, the time-out, a 4xx greeting, EHLO/HELO or later reply, a TLS
// handshake cut by the network) is made again at once to the next host,
// with the same port, security and credentials. A permanent refusal (5xx,
// AUTH or the certificate refused) stays with the host that gave it, and so
// does a failed token request (105) or a mail API's end (106): neither is
// the host's doing. One pass through the list is one attempt; the pass
// ends with the last host's end, and the next begins at the first.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "smtp/delivery_end.hpp"

namespace tolvex {

// `end` sends the message on to the next host, when there is one.
bool FailsOver(const DeliveryEnd& end);

// Where the pass through the list stands.
class HostCursor {
 public:
  // After a session's end on the current host: the next host of `hosts`
  // when `end` fails over and one is left; else null, and the next pass
  // begins at the first.
  const std::string* After(const DeliveryEnd& end, const std::vector<std::string>& hosts);
  // The pass ended otherwise (an attempt that failed before connecting).
  void Rewind() { index_ = 0; }
  // The host the session goes to (0: the first).
  std::size_t Index() const { return index_; }

 private:
  std::size_t index_ = 0;
};

}  // namespace tolvex
