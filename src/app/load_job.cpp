#include "app/load_job.hpp"

#include "app/form1.hpp"
#include "app/submission_setup.hpp"
#include "command/command_file.hpp"
#include "compose/message.hpp"
#include "oauth/token.hpp"

namespace tolvex {

Status LoadJob(RunState& st, JobMode mode, CommandEffects& effects, WorkFolder& files,
               SecretSource& secrets, SignInStore* signIns) {
  st.DeleteCommandFile = false;
  st.FromAddr = "DummySender";
  if (Status failure = ReadCommandFile(st, effects, files)) return failure;
  if (Status failure = ValidateStartUp(st)) return failure;
  if (mode == JobMode::Run) files.Remove(kSpoolNewName);  // left by a run that did not end
  // A probe sends the password's AUTH but never the token's: it asks for
  // the token itself and only tells whether one came.
  bool needSecret = mode != JobMode::Probe || !st.Submit.UsesOAuth();
  if (mode == JobMode::Login) {
    // A secret found is still sent; none is needed.
    st.Submit.oauth.signedIn = true;
    needSecret = st.Submit.UsesOAuth();
  } else if (signIns && st.Submit.UsesOAuth()) {
    NoteSignIn(st.Submit, *signIns);
  }
  return PrepareSubmission(st.Submit, files, secrets, needSecret);
}

void NoteSignIn(Submission& s, SignInStore& signIns) {
  s.oauth.signedIn = signIns.Load(oauth::SignInKeyOf(s)).has_value();
  s.oauth.signInProblem.clear();
  if (s.oauth.signedIn) return;
  if (Status unusable = oauth::UnusableSignIn(s, signIns)) {
    s.oauth.signInProblem = std::move(unusable->message);
  }
}

void SetPorts(const RunState& st, Socket& socket) { socket.SetRemotePort(st.Submit.RemotePort()); }

}  // namespace tolvex
