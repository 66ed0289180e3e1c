// "--check": reads command.txt exactly as a run would, composes the first
// message in memory and prints what would be sent: the server, the
// envelope and the message made readable (or, with --raw, its exact
// bytes). Sends nothing, writes no file and deletes nothing.
#pragma once

#include <ostream>

#include "app/message_view.hpp"
#include "base/platform.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// `window` receives the command file's window directives and reports a
// failure the way a run would; `out` gets the listing (UTF-8 text, or the
// message's bytes with `raw`). Returns the exit status.
// `clock` dates the message, `secrets` is where an AUTH secret not in
// command.txt is looked for (it is never shown), `signIns` whether a
// sign-in of --login is stored (then no client secret is needed).
int RunCheck(WorkFolder& files, Window& window, bool raw, std::ostream& out,
             const DisplayText& display, Clock& clock, SecretSource& secrets,
             SignInStore* signIns = nullptr);

}  // namespace tolvex
