// The names the session puts on the wire besides the message: the client's
// name after HELO or EHLO, and the envelope's addresses in angle brackets.
#pragma once

#include <string>
#include <string_view>

namespace tolvex {

// The name after HELO/EHLO: #LOC when written, else an address literal of
// the connection's own address ("[192.0.2.10]", "[IPv6:2001:db8::1]"), as
// servers refuse an empty or made-up name. An IPv4-mapped IPv6 address is
// given as IPv4; a zone ("%eth0") is dropped. Without any address (the
// socket cannot tell) the IPv4 loopback literal stands in.
std::string HelloName(std::string_view localName, std::string_view localAddress);

// "<" + address + ">": the form MAIL FROM and RCPT TO carry the address
// AngleAddress picked.
std::string EnvelopePath(std::string_view address);

}  // namespace tolvex
