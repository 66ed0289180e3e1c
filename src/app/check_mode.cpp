// The --check listing.
#include "app/check_mode.hpp"

#include "api/mail_api.hpp"
#include "app/event_report.hpp"
#include "app/exit_status.hpp"
#include "app/load_job.hpp"
#include "app/submission_setup.hpp"
#include "base/run_state.hpp"
#include "command/command_file.hpp"
#include "compose/head_lines.hpp"
#include "compose/message.hpp"
#include "compose/message_charset.hpp"
#include "compose/text_functions.hpp"
#include "oauth/token.hpp"
#include "smtp/dsn.hpp"

namespace tolvex {
namespace {

int Fail(Window& window, const Failure& failure) {
  window.ReportFailure(failure);
  return ExitCodeFor(failure.kind);
}

}  // namespace

int RunCheck(PlatformBundle& p, bool raw) {
  Window& window = p.window;
  std::ostream& out = raw ? p.bytes : p.out;
  const DisplayText& display = p.display;
  RunState st;
  // The window directives act on the window as in a run; the remote host
  // is only recorded.
  class CheckEffects final : public CommandEffects {
   public:
    explicit CheckEffects(Window& w) : window(w) {}
    void ShowMinimized() override { window.ShowMinimized(); }
    void Hide() override { window.Hide(); }
    void AddTrayIcon() override { window.AddTrayIcon(); }
    void SetRemoteHost(const std::string& h) override { host = h; }
    Window& window;
    std::string host;
  } effects(window);
  if (Status failure = LoadJob(st, JobMode::Check, effects, p)) return Fail(window, *failure);
  MessageIdMaker ids;
  st.StampLines = StampLines(p.clock.Now(), st.FromAddr, st.LocalName, ids);
  std::string mail;
  StringWriter writer(mail);
  if (Status failure = ComposeMessage(st, p.files, writer)) return Fail(window, *failure);

  if (raw) {
    out.write(mail.data(), static_cast<std::streamsize>(mail.size()));
    out.flush();
    return kExitOk;
  }
  const std::string host = effects.host.empty() ? "(no #HOS line)" : display(effects.host);
  if (st.Submit.ViaApi()) {
    out << "Server:   " << api::ApiName(st.Submit.oauth.via) << ", POST "
        << display(api::SendUrl(st.Submit)) << " (#HOS, #POR, #SEC and #AUT unused)\n";
  } else {
    out << "Server:   " << host << ", port " << st.Submit.RemotePort() << "\n";
    // #HOS's list: the hosts tried in turn when one fails for the time being.
    for (std::size_t k = 1; k < st.Submit.hosts.size(); ++k) {
      out << "Backup:   " << display(st.Submit.hosts[k]) << ", port " << st.Submit.RemotePort()
          << "\n";
    }
  }
  out << "Security: " << display(DescribeSubmission(st.Submit)) << "\n";
  if (const std::string proxy = DescribeProxy(st.Submit.proxy); !proxy.empty()) {
    out << "Proxy:    " << display(proxy) << "\n";
  }
  out << "Encoding: " << EncodingName(st.CommandEncoding) << " (" << kCommandFileName << ")\n";
  for (const std::string& note : st.TextNotices) out << "Warning:  " << note << "\n";
  out << "Charset:  " << st.CharsetReason << "\n";
  if (st.CharsetLost > 0) out << "Warning:  " << CharsetLostNote(st.CharsetLost) << "\n";
  const bool smtpUtf8 = !st.SmtpUtf8Address.empty();
  out << "Envelope: MAIL FROM:<" << display(AngleAddress(st.FromAddr, st.Charset)) << ">"
      << (smtpUtf8 ? " SMTPUTF8" : "") << "\n";
  const int firstCopy = st.ToCount - st.CcCount - st.BccCount + 1;
  for (int k = 1; k <= st.ToCount; ++k) {
    out << "          RCPT TO:<"
        << display(AngleAddress(st.ToAddr[static_cast<std::size_t>(k)], st.Charset)) << ">";
    if (k >= firstCopy) out << (k < firstCopy + st.CcCount ? "  (Cc)" : "  (Bcc)");
    out << "\n";
  }
  if (smtpUtf8) {
    out << "SMTPUTF8: " << display(st.SmtpUtf8Address)
        << " has no ASCII form: the addresses go in UTF-8, and only to a server that offers "
           "SMTPUTF8\n";
  }
  if (st.Submit.dsn.Asked()) {
    out << "DSN:      RET=HDRS ENVID=" << EnvelopeId(st.StampLines)
        << " NOTIFY=" << NotifyList(st.Submit.dsn)
        << "; sent only when the server offers DSN, else left out\n";
  }
  if (st.RetryOn) {
    out << "Retries:  " << st.RetryCount << ", " << st.RetryMinutes
        << " minutes apart; undelivered mail kept in undelivered/\n";
  }
  out << "Events:   " << EventReport::Destination(st.Events, p.events.Where()) << "\n";
  for (const std::string& expansion : st.FileExpansions) out << "Pattern:  " << expansion << "\n";
  out << "Message:  " << mail.size() << " bytes\n\n";
  const MessageView view = ViewMessage(mail, display);
  if (st.HtmlFlag) {
    out << "Structure:\n";
    for (const std::string& line : view.structure) out << "  " << line << "\n";
    out << "\n";
  }
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
