// The start-up the run, --check and --probe share: the defaults, the
// command file with its immediate effects, the start-up checks and the
// submission set-up, then the socket's ports.
#pragma once

#include "base/failure.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"
#include "command/command_effects.hpp"

namespace tolvex {

enum class JobMode {
  Run,    // also removes the TEMP.TXT.new a run that did not end left
  Check,  // reads and checks; the AUTH secret is looked up but never shown
  Probe,  // the password is looked up and sent in AUTH, never shown; with
          // OAuth the probe looks for the client secret itself
  Login,  // tolvex --login: a public client signs in without a client secret
};

// Fills `st` from command.txt; the first failure ends it.
// `signIns`, when given, tells whether a sign-in of `tolvex --login` is
// stored for the job's OAuth settings (then no client secret is needed).
Status LoadJob(RunState& st, JobMode mode, CommandEffects& effects, WorkFolder& files,
               SecretSource& secrets, SignInStore* signIns = nullptr);

// Whether `signIns` keeps a sign-in for `s` (oauth.signedIn), and when one
// is kept but cannot be used, why (oauth.signInProblem).
void NoteSignIn(Submission& s, SignInStore& signIns);

// The ports a delivery or a probe connects with.
void SetPorts(const RunState& st, Socket& socket);

}  // namespace tolvex
