#include "app/load_job.hpp"

#include <cstdint>
#include <limits>
#include <utility>

#include "app/submission_setup.hpp"
#include "command/command_file.hpp"
#include "compose/message.hpp"
#include "oauth/token.hpp"

namespace tolvex {

Status ValidateStartUp(const RunState& st) {
  // The repeat countdown is reset to MoreInterval + 1 after each send.
  if (st.MoreInterval == std::numeric_limits<std::int16_t>::max()) {
    return Failure{FailureKind::CommandFileBad,
                   "command.txt: #TER value 32767 is too large (at most 32766)"};
  }
  return std::nullopt;
}

Status LoadJob(RunState& st, JobMode mode, CommandEffects& effects, PlatformBundle& p,
               StoredSignIn* signIn) {
  st.DeleteCommandFile = false;
  st.FromAddr = "DummySender";
  if (Status failure = ReadCommandFile(st, effects, p.files)) return failure;
  if (Status failure = ValidateStartUp(st)) return failure;
  if (mode == JobMode::Run) p.files.Remove(kSpoolNewName);  // left by a run that did not end
  // A probe sends the password's AUTH but never the token's: it asks for
  // the token itself and only tells whether one came.
  bool needSecret = mode != JobMode::Probe || !st.Submit.UsesOAuth();
  if (mode == JobMode::Login) {
    // A secret found is still sent; none is needed.
    st.Submit.oauth.signedIn = true;
    needSecret = st.Submit.UsesOAuth();
  } else if (st.Submit.UsesOAuth() && !st.Submit.oauth.UsesServiceAccount()) {
    StoredSignIn stored = p.signIns.Load(oauth::SignInKeyOf(st.Submit));
    if (signIn) {
      *signIn = std::move(stored);
    } else {
      if (!stored.refused.empty())
        return Failure{FailureKind::InputMissing, oauth::RefusedSignIn(stored)};
      st.Submit.oauth.signedIn = !stored.token.Empty();
    }
  }
  return PrepareSubmission(st.Submit, p.files, p.secrets, needSecret);
}

void SetPorts(const RunState& st, Socket& socket) { socket.SetRemotePort(st.Submit.RemotePort()); }

}  // namespace tolvex
