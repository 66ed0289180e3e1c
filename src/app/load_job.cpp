#include "app/load_job.hpp"

#include "app/form1.hpp"
#include "app/submission_setup.hpp"
#include "command/command_file.hpp"
#include "compose/message.hpp"

namespace tolvex {

Status LoadJob(RunState& st, JobMode mode, CommandEffects& effects, WorkFolder& files,
               SecretSource& secrets) {
  st.DeleteCommandFile = false;
  st.FromAddr = "DummySender";
  if (Status failure = ReadCommandFile(st, effects, files)) return failure;
  if (Status failure = ValidateStartUp(st)) return failure;
  if (mode == JobMode::Run) files.Remove(kSpoolNewName);  // left by a run that did not end
  Status failure = PrepareSubmission(st.Submit, files, secrets, mode != JobMode::Probe);
  if (mode == JobMode::Probe) st.Submit.password.Wipe();  // a probe never sends it
  return failure;
}

void SetPorts(const RunState& st, Socket& socket) {
  socket.SetLocalPort(0);
  socket.SetRemotePort(st.Submit.RemotePort());
}

}  // namespace tolvex
