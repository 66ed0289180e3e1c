// The start-up the run, --check, --probe and --login share: the defaults,
// the command file with its immediate effects, the start-up checks and the
// submission set-up, then the socket's ports.
#pragma once

#include "app/platform_bundle.hpp"
#include "base/failure.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/sign_in_store.hpp"
#include "command/command_effects.hpp"

namespace tolvex {

enum class JobMode {
  Run,    // also removes the TEMP.TXT.new a run that did not end left
  Check,  // reads and checks; the AUTH secret is looked up but never shown
  Probe,  // the password is looked up and sent in AUTH, never shown; with
          // OAuth the probe looks for the client secret itself
  Login,  // tolvex --login: a public client signs in without a client secret
};

// The checks start-up makes of the run state once the command file is
// read, beyond the interpreter's own: what the schedule cannot hold.
Status ValidateStartUp(const RunState& st);

// Fills `st` from command.txt in `p.files`; the first failure ends it.
// With OAuth, except for --login, the sign-in store says whether a sign-in
// of `tolvex --login` is stored for the job's settings (then no client
// secret is needed); one the store refuses ends the start-up, saying why.
// With `signIn` given, what the store keeps is handed there instead, for
// the caller to judge (--probe shows it as its token's outcome).
Status LoadJob(RunState& st, JobMode mode, CommandEffects& effects, PlatformBundle& p,
               StoredSignIn* signIn = nullptr);

// The ports a delivery or a probe connects with.
void SetPorts(const RunState& st, Socket& socket);

}  // namespace tolvex
