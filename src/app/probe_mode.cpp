#include "app/probe_mode.hpp"

#include <utility>

#include "api/mail_api.hpp"
#include "app/exit_status.hpp"
#include "app/load_job.hpp"
#include "app/submission_setup.hpp"
#include "command/command_file.hpp"
#include "oauth/token.hpp"
#include "smtp/dsn.hpp"
#include "smtp/reply_gatherer.hpp"

namespace tolvex {
namespace {

constexpr int kLabelWidth = 13;

std::string Label(const char* label) {
  std::string s = label;
  s += ':';
  if (s.size() < kLabelWidth) s.append(kLabelWidth - s.size(), ' ');
  return s;
}

// The reply's lines without their ends.
std::vector<std::string_view> Lines(std::string_view reply) {
  std::vector<std::string_view> out;
  while (!reply.empty()) {
    const std::size_t nl = reply.find('\n');
    std::string_view line = reply.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    if (nl == std::string_view::npos) break;
    reply.remove_prefix(nl + 1);
  }
  return out;
}

}  // namespace

int RunProbe(PlatformBundle& platform) {
  Probe probe(platform);
  return platform.loop.Run(probe, [&probe] { probe.Start(); });
}

Probe::Probe(PlatformBundle& platform)
    : SessionDriver(session_, platform.socket),
      p_(platform),
      session_(SessionPorts{st_, Connection(), p_.tmrSMTP, *this}) {
  session_.SetProbe(true);
  session_.SetReplyTrace([this](SmtpStep step, std::string_view reply) { OnReply(step, reply); });
}

bool Probe::Start() {
  WindowSocketEffects effects(p_.window, p_.socket);
  if (Status failure = LoadJob(st_, JobMode::Probe, effects, p_, &signIn_)) {
    p_.window.ReportFailure(*failure);
    exitStatus_ = ExitCodeFor(failure->kind);
    ended_ = true;
    return false;
  }
  if (st_.Submit.ViaApi()) {
    ProbeApi();
    return false;
  }
  PrintServer();
  p_.out << Label("Security") << p_.display(DescribeSubmission(st_.Submit)) << "\n";
  if (const std::string proxy = DescribeProxy(st_.Submit.proxy); !proxy.empty()) {
    p_.out << Label("Proxy") << p_.display(proxy) << "\n";
  }
  if (st_.Submit.UsesOAuth()) tokenFailed_ = !ProbeToken();
  p_.out.flush();
  SetPorts(st_, p_.socket);
  Connection().Tunnel(&st_.Submit.proxy, st_.Submit.host, st_.Submit.RemotePort());
  session_.Start();
  return true;
}

void Probe::PrintServer() {
  const std::string host = st_.Submit.host.empty() ? "(no #HOS line)" : p_.display(st_.Submit.host);
  p_.out << Label("Server") << host << ", port " << st_.Submit.RemotePort();
  if (const std::size_t hosts = st_.Submit.hosts.size(); hosts > 1) {
    p_.out << " (host " << hostIndex_ + 1 << " of " << hosts << ")";
  }
  p_.out << "\n";
}

// #HOS's list: every host is probed in turn, each with its own report.
bool Probe::NextHost() {
  const std::vector<std::string>& hosts = st_.Submit.hosts;
  if (hostIndex_ + 1 >= hosts.size()) return false;
  st_.Submit.host = hosts[++hostIndex_];
  tlsShown_ = false;
  proxyShown_ = false;
  lastCommand_.clear();
  p_.out << "\n";
  PrintServer();
  p_.out.flush();
  Connection().SetRemoteHost(st_.Submit.host);
  Connection().Tunnel(&st_.Submit.proxy, st_.Submit.host, st_.Submit.RemotePort());
  session_.Start();
  return true;
}

bool Probe::ProbeToken() {
  Submission& sub = st_.Submit;
  // The sign-in as LoadJob found it in the store.
  sub.oauth.signedIn = !signIn_.token.Empty();
  signIn_.token.Wipe();
  Status failure;
  if (!signIn_.refused.empty()) {
    failure = Failure{FailureKind::SignInFailed, oauth::RefusedSignIn(signIn_)};
  } else {
    failure = FindClientSecret(sub, p_.secrets);
  }
  if (!failure) {
    oauth::TokenCache cache;
    failure = cache.Obtain(sub, p_.https, p_.clock, &p_.signIns, &p_.crypto);
    tokenRefused_ = failure && cache.LastFailure() == oauth::TokenFailure::Refused;
  }
  const bool obtained = !failure && !sub.oauth.accessToken.Empty();
  // Shown as the token says, never trusted: the API decides.
  const std::string grants = obtained ? api::TokenGrants(sub.oauth.accessToken.View()) : "";
  // Only whether there is one: the token itself is never shown or sent.
  sub.oauth.accessToken.Wipe();
  sub.oauth.clientSecret.Wipe();
  p_.out << Label("Token")
         << (obtained ? "obtained from " + oauth::TokenUrl(sub.oauth)
                      : p_.display(failure ? failure->message : "none"))
         << "\n";
  if (obtained && sub.ViaApi()) {
    p_.out << Label("Grants")
           << (grants.empty() ? std::string("(the token does not say)")
                              : grants + " (as the token says)")
           << "\n";
  }
  return obtained;
}

// A send permission allows no harmless request: the token is asked for,
// what it says it grants shown, and nothing sent.
void Probe::ProbeApi() {
  const Submission& sub = st_.Submit;
  p_.out << Label("Endpoint") << api::ApiName(sub.oauth.via) << ", POST "
         << p_.display(api::SendUrl(sub)) << "\n";
  p_.out << Label("Security") << p_.display(DescribeSubmission(sub)) << "\n";
  const bool obtained = ProbeToken();
  p_.out << Label("Result")
         << (obtained ? "a token came; nothing was sent" : "no token, so a send would fail")
         << "\n";
  p_.out.flush();
  exitStatus_ = obtained ? kExitOk : tokenRefused_ ? kExitNoPerm : kExitUnavailable;
  ended_ = true;
}

void Probe::PrintReply(const char* label, std::string_view reply, std::string_view subject) {
  bool first = true;
  if (!subject.empty()) {  // the command's address on the label's line, the reply below
    p_.out << Label(label) << p_.display(subject) << "\n";
    first = false;
  }
  for (std::string_view line : Lines(reply)) {
    p_.out << (first ? Label(label) : std::string(kLabelWidth, ' ')) << p_.display(line) << "\n";
    first = false;
  }
}

// Which proxy the connection went through and what it answered, once.
void Probe::PrintProxyAnswer() {
  const std::string answer = Connection().ProxyAnswer();
  if (proxyShown_ || answer.empty()) return;
  proxyShown_ = true;
  p_.out << Label("Via proxy") << Connection().Through() << ": "
         << p_.display(st_.Submit.secrets.Masked(answer)) << "\n";
}

void Probe::PrintTls() {
  if (tlsShown_) return;
  const TlsInfo tls = p_.socket.TlsPeer();
  if (tls.version.empty()) return;
  tlsShown_ = true;
  // The certificate's names are the server's text like its replies.
  const SecretRegistry& known = st_.Submit.secrets;
  p_.out << Label("TLS") << tls.version << ", " << tls.cipher << "\n";
  p_.out << Label("Certificate") << "subject " << known.Masked(tls.subject) << "\n";
  p_.out << std::string(kLabelWidth, ' ') << "issuer  " << known.Masked(tls.issuer) << "\n";
  p_.out << std::string(kLabelWidth, ' ') << "expires " << tls.notAfter << "\n";
}

void Probe::OnReply(SmtpStep step, std::string_view reply) {
  switch (step) {
    case SmtpStep::AWAIT_GREETING:
      PrintProxyAnswer();
      PrintTls();  // implicit TLS: up before the greeting
      PrintReply("Greeting", reply);
      break;
    case SmtpStep::AWAIT_HELLO_RESPONSE:
    case SmtpStep::AWAIT_EHLO_TLS_RESPONSE: {
      PrintTls();
      lastCommand_ = session_.LastCommand();
      PrintReply(step == SmtpStep::AWAIT_HELLO_RESPONSE ? "EHLO" : "EHLO (TLS)", reply);
      const bool final =
          st_.Submit.security != Security::StartTls || step == SmtpStep::AWAIT_EHLO_TLS_RESPONSE;
      if (final) {
        std::string mechanisms;
        for (const std::string& m : AuthMechanisms(reply))
          mechanisms += (mechanisms.empty() ? "" : " ") + m;
        p_.out << Label("AUTH") << (mechanisms.empty() ? "(none offered)" : mechanisms) << "\n";
        if (!st_.SmtpUtf8Address.empty()) {
          p_.out << Label("SMTPUTF8")
                 << (OffersKeyword(reply, "SMTPUTF8")
                         ? "offered: the addresses go in UTF-8"
                         : "not offered: a delivery to " + p_.display(st_.SmtpUtf8Address) +
                               " fails (state 142)")
                 << "\n";
        }
        if (st_.Submit.dsn.Asked()) {
          p_.out << Label("DSN")
                 << (OffersKeyword(reply, "DSN")
                         ? "offered: a delivery asks for NOTIFY=" + NotifyList(st_.Submit.dsn)
                         : std::string("not offered: a delivery goes without #DSN's "
                                       "parameters"))
                 << "\n";
        }
      }
      break;
    }
    case SmtpStep::AWAIT_STARTTLS_RESPONSE:
      PrintReply("STARTTLS", reply);
      break;
    case SmtpStep::AWAIT_AUTH_RESPONSE:
      PrintReply("AUTH reply", reply);  // the credential's forms are masked
      break;
    case SmtpStep::AWAIT_MAIL_FROM_RESPONSE:
    case SmtpStep::AWAIT_RCPT_TO_RESPONSE: {
      // The command the reply answers as the session sent it: "MAIL
      // FROM:<path>" or "RCPT TO:<path>", named "MAIL FROM <path>".
      lastCommand_ = session_.LastCommand();
      const std::size_t colon = lastCommand_.find(':');
      if (colon == std::string::npos) break;
      const bool mail = lastCommand_.starts_with("MAIL FROM:");
      PrintReply(mail ? "MAIL FROM" : "RCPT TO", reply, lastCommand_.substr(colon + 1));
      lastCommand_[colon] = ' ';
      break;
    }
    case SmtpStep::AWAIT_RSET_RESPONSE:
      lastCommand_.clear();
      PrintReply("RSET", reply);
      break;
    case SmtpStep::AWAIT_QUIT_RESPONSE:
      // With OAuth the session quits after EHLO: a server takes MAIL FROM
      // only after AUTH, and the token's AUTH is never sent.
      if (st_.Submit.UsesOAuth()) {
        p_.out << Label("Envelope")
               << "not tried: MAIL FROM and RCPT TO need AUTH with the token, which --probe "
                  "does not send\n";
      }
      PrintReply("QUIT", reply);
      break;
    default:
      break;
  }
  p_.out.flush();
}

void Probe::LogSession(SmtpStep, std::string_view) {}  // a probe writes no file

void Probe::DeliveryEnded(const DeliveryEnd& end) {
  const SmtpStep endStep = end.step;
  const std::string_view reply = end.text;
  int status = kExitUnavailable;
  if (endStep == SmtpStep::IDLE) {
    if (tokenFailed_) {
      p_.out << Label("Result")
             << "the server would accept this session, but no token was obtained\n";
    } else {
      p_.out << Label("Result") << "the server would accept this session\n";
      status = kExitOk;
    }
  } else {
    if (endStep == SmtpStep::PROXY_REFUSED) PrintProxyAnswer();
    std::vector<std::string_view> lines = Lines(reply);
    std::string why =
        lines.empty() || lines[0].empty() ? std::string("(no reply)") : p_.display(lines.back());
    if (endStep == SmtpStep::AWAIT_STARTTLS_RESPONSE && !OffersKeyword(reply, "STARTTLS") &&
        reply.substr(0, 3) == "250") {
      why = "STARTTLS is not offered";
    } else if (endStep == SmtpStep::AUTH_MECHANISM) {
      why = st_.Submit.UsesOAuth() ? "neither AUTH XOAUTH2 nor AUTH OAUTHBEARER is offered"
                                   : "neither AUTH PLAIN nor AUTH LOGIN is offered";
    } else if ((endStep == SmtpStep::AWAIT_HELLO_RESPONSE ||
                endStep == SmtpStep::AWAIT_EHLO_TLS_RESPONSE ||
                endStep == SmtpStep::AWAIT_MAIL_FROM_RESPONSE ||
                endStep == SmtpStep::AWAIT_RCPT_TO_RESPONSE) &&
               !lastCommand_.empty()) {
      why += " (" + p_.display(lastCommand_) + ")";
    }
    p_.out << Label("Result") << "refused in state " << StepNumber(endStep) << ": " << why << "\n";
  }
  p_.out.flush();
  // The first host that failed decides the status.
  if (exitStatus_ == kExitOk) exitStatus_ = status;
  if (!NextHost()) ended_ = true;
}

}  // namespace tolvex
