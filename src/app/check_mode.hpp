// "--check": reads command.txt exactly as a run would, composes the first
// message in memory and prints what would be sent: the server, the
// envelope and the message made readable (or, with --raw, its exact
// bytes). Sends nothing, writes no file and deletes nothing.
#pragma once

#include "app/platform_bundle.hpp"

namespace tolvex {

// The window receives the command file's window directives and reports a
// failure the way a run would; `p.out` gets the listing (UTF-8 text), or
// with `raw` `p.bytes` the message's bytes. The clock dates the message;
// an AUTH secret not in command.txt is looked up but never shown; the
// sign-in store says whether --login stored a sign-in (then no client
// secret is needed). Returns the exit status.
int RunCheck(PlatformBundle& p, bool raw);

}  // namespace tolvex
