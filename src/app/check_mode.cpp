// The --check listing.
#include "app/check_mode.hpp"

#include "app/exit_status.hpp"
#include "app/form1.hpp"
#include "app/submission_setup.hpp"
#include "base/run_state.hpp"
#include "command/command_file.hpp"
#include "compose/head_lines.hpp"
#include "compose/message.hpp"
#include "compose/text_functions.hpp"
#include "oauth/token.hpp"

namespace tolvex {
namespace {

int Fail(Window& window, const Failure& failure) {
  window.ReportFailure(failure);
  return ExitCodeFor(failure.kind);
}

}  // namespace

int RunCheck(WorkFolder& files, Window& window, bool raw, std::ostream& out,
             const DisplayText& display, Clock& clock, SecretSource& secrets,
             SignInStore* signIns) {
  RunState st;
  st.FromAddr = "DummySender";
  HostRecorder socket;
  if (Status failure = ReadCommandFile(st, window, socket, files)) return Fail(window, *failure);
  if (Status failure = ValidateStartUp(st)) return Fail(window, *failure);
  if (signIns && st.Submit.UsesOAuth()) {
    st.Submit.oauth.signedIn = signIns->Load(oauth::SignInKeyOf(st.Submit)).has_value();
  }
  if (Status failure = PrepareSubmission(st.Submit, files, secrets)) return Fail(window, *failure);
  MessageIdMaker ids;
  st.StampLines = StampLines(clock.Now(), st.FromAddr, st.LocalName, ids);
  std::string mail;
  StringWriter writer(mail);
  if (Status failure = ComposeMessage(st, files, writer)) return Fail(window, *failure);

  if (raw) {
    out.write(mail.data(), static_cast<std::streamsize>(mail.size()));
    out.flush();
    return kExitOk;
  }
  const std::string host = socket.Host().empty() ? "(no #HOS line)" : display(socket.Host());
  out << "Server:   " << host << ", port " << st.Submit.RemotePort() << "\n";
  out << "Security: " << display(DescribeSubmission(st.Submit)) << "\n";
  out << "Envelope: MAIL FROM:" << display(AngleAddress(st.FromAddr)) << "\n";
  for (int k = 1; k <= st.ToCount; ++k) {
    out << "          RCPT TO:" << display(AngleAddress(st.ToAddr[static_cast<std::size_t>(k)]))
        << "\n";
  }
  out << "Message:  " << mail.size() << " bytes\n\n";
  const MessageView view = ViewMessage(mail, display);
  out << view.text;
  if (!view.attachments.empty()) {
    out << "\nAttachments:\n";
    for (const AttachmentSummary& a : view.attachments) {
      out << "  " << a.name << "  " << a.bytes << " bytes\n";
    }
  }
  out.flush();
  return out ? kExitOk : kExitCantCreate;
}

}  // namespace tolvex
