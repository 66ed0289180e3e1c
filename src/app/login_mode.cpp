// The --login sign-in: in a browser by the authorization code, or by the
// device authorization grant.
#include "app/login_mode.hpp"

#include <algorithm>
#include <optional>

#include "app/exit_status.hpp"
#include "app/japanese_texts.hpp"
#include "app/load_job.hpp"
#include "app/submission_setup.hpp"
#include "base/run_state.hpp"
#include "command/command_effects.hpp"
#include "command/command_file.hpp"
#include "oauth/code_flow.hpp"
#include "oauth/device_flow.hpp"
#include "oauth/request.hpp"
#include "oauth/token.hpp"

namespace tolvex {
namespace {

int Fail(Window& window, Failure failure) {
  window.ReportFailure(failure);
  return ExitCodeFor(failure.kind);
}

Failure Refused(const std::string& what, const std::string& error, const std::string& description) {
  std::string text = what + " refused: " + error;
  if (!description.empty()) text += ": " + description;
  return Failure{FailureKind::SignInFailed, std::move(text)};
}

// The page is code page 932 text; the browser is told UTF-8.
std::string Page(const PlatformBundle& p, const char* ja, const char* en) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tolvex</title></head>"
         "<body><p>" +
         p.display(ja) + "</p><p>" + en + "</p></body></html>\n";
}

// Keeps the refresh token the sign-in gave under `key`.
int Store(const PlatformBundle& p, const Submission& s, const std::string& key,
          const oauth::TokenReply& token, const std::string& tokenUrl) {
  if (token.refreshToken.Empty()) {
    p.out << p.display(kFailedJa) << "\n";
    return Fail(p.window, Failure{FailureKind::SignInFailed,
                                  "the sign-in gave no refresh token: the scope needs "
                                  "offline_access"});
  }
  const std::string error = p.signIns.Save(key, token.refreshToken);
  if (!error.empty()) {
    p.out << p.display(kFailedJa) << "\n";
    return Fail(p.window, Failure{FailureKind::SignInStoreFailed,
                                  "the refresh token could not be stored: " + error});
  }
  p.out << p.display(kDoneJa) << "\n"
        << p.display("Signed in: " + s.user + " at " + tokenUrl +
                     "; later runs in this folder use the stored sign-in.")
        << "\n"
        << std::flush;
  return kExitOk;
}

// The authorization code grant with PKCE and a loopback redirect.
int BrowserLogin(const PlatformBundle& p, Submission& s) {
  const OAuthSettings& o = s.oauth;
  BrowserSignIn& browser = *p.browser;
  oauth::Pkce pkce;
  if (!oauth::MakePkce(p.crypto, pkce)) {
    return Fail(p.window,
                Failure{FailureKind::SignInFailed, "no random bytes for the sign-in could be had"});
  }
  s.secrets.Add(pkce.verifier.View());
  std::string error;
  const int port = browser.Listen(error);
  if (port == 0) {
    return Fail(p.window, Failure{FailureKind::SignInFailed,
                                  "cannot listen on 127.0.0.1 for the browser: " + error});
  }
  const std::string redirectUri = oauth::RedirectUri(port);
  const std::string url = oauth::AuthorizationRequest(o, redirectUri, pkce);
  p.out << p.display(kOpenUrlJa) << "\n"
        << p.display("To sign in " + s.user + ", open this URL in a browser within 5 minutes:")
        << "\n"
        << url << "\n"
        << std::flush;
  browser.OpenBrowser(url);

  const std::int64_t deadline = p.clock.SteadySeconds() + oauth::kBrowserWait;
  for (;;) {
    const std::int64_t left = deadline - p.clock.SteadySeconds();
    std::optional<Secret> head;
    if (left > 0) head = browser.NextRequest(left);
    if (!head) {
      p.out << p.display(kNoAnswerJa) << "\n";
      return Fail(p.window, Failure{FailureKind::SignInFailed,
                                    "the browser did not come back within 5 minutes: run tolvex "
                                    "--login again"});
    }
    oauth::Redirect redirect = oauth::ParseRedirect(head->View(), pkce.state);
    head->Wipe();
    switch (redirect.kind) {
      case oauth::Redirect::Kind::Other:
        browser.Answer(404, "<!DOCTYPE html>\n<title>Not found</title>\n");
        continue;
      case oauth::Redirect::Kind::Forged:
        // Not this sign-in's browser (any local process can reach the
        // port): refused, and the real one still awaited.
        browser.Answer(400, "<!DOCTYPE html>\n<title>Bad request</title>\n");
        continue;
      case oauth::Redirect::Kind::Refused:
        browser.Answer(200, Page(p, kPageFailedJa, "The sign-in did not complete."));
        p.out << p.display(redirect.error == "access_denied" ? kDeniedJa : kFailedJa) << "\n";
        return Fail(p.window, Refused("sign-in", redirect.error, redirect.description));
      case oauth::Redirect::Kind::Code:
        break;
    }
    s.secrets.Add(redirect.code.View());
    Secret form;
    oauth::CodeTokenBody(o, redirect.code.View(), redirectUri, pkce.verifier.View(), form);
    redirect.code.Wipe();
    const std::string tokenUrl = oauth::TokenUrl(o);
    auto answer = oauth::RequestToken(p.https, tokenUrl, s.caPem, form, s.secrets, &s.proxy);
    const std::string failedPage = Page(p, kPageFailedJa, "The sign-in did not complete.");
    if (answer.failure) {
      browser.Answer(200, failedPage);
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Failure{FailureKind::SignInFailed, answer.failure->text});
    }
    const oauth::TokenReply& token = answer.reply;
    if (!token.ok) {
      browser.Answer(200, failedPage);
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Refused("code exchange", token.error, token.description));
    }
    // The browser is told the outcome once the refresh token is stored.
    const int status = Store(p, s, oauth::SignInKeyOf(s), token, tokenUrl);
    browser.Answer(200, status == kExitOk
                            ? Page(p, kPageDoneJa, "Signed in. You may close this page.")
                            : failedPage);
    return status;
  }
}

// Polls the token endpoint until the user has signed in with the device
// code, then keeps the sign-in. The reply's numbers are held to
// kLongestCodeLife and kLongestPollInterval: each wait ends by the code's
// expiry, and the expiry is looked at before each wait and each poll.
int PollDeviceToken(PlatformBundle& p, Submission& s, const oauth::DeviceCode& code) {
  const OAuthSettings& o = s.oauth;
  const std::int64_t deadline = p.clock.SteadySeconds() + code.expiresIn;
  std::int64_t interval = code.interval;
  const std::string tokenUrl = oauth::TokenUrl(o);
  const auto expired = [&p] {
    p.out << p.display(kExpiredJa) << "\n";
    return Fail(p.window, Failure{FailureKind::SignInFailed,
                                  "the code expired before the sign-in was completed: run "
                                  "tolvex --login again"});
  };
  Secret form;
  for (;;) {
    const std::int64_t left = deadline - p.clock.SteadySeconds();
    if (left <= 0) return expired();
    p.clock.Wait(std::min(interval, left));
    if (p.clock.SteadySeconds() >= deadline) return expired();
    oauth::DeviceTokenBody(o, code.deviceCode.View(), form);
    auto poll = oauth::RequestToken(p.https, tokenUrl, s.caPem, form, s.secrets, &s.proxy);
    if (poll.failure) {
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Failure{FailureKind::SignInFailed, poll.failure->text});
    }
    const oauth::TokenReply& token = poll.reply;
    switch (oauth::ClassifyPoll(token)) {
      case oauth::PollOutcome::Pending:
        continue;
      case oauth::PollOutcome::SlowDown:
        interval = std::min(interval + 5, oauth::kLongestPollInterval);  // as RFC 8628 asks
        continue;
      case oauth::PollOutcome::Refused:
        if (token.error == "expired_token") return expired();
        p.out << p.display(token.error == "access_denied" ? kDeniedJa : kFailedJa) << "\n";
        return Fail(p.window, Refused("sign-in", token.error, token.description));
      case oauth::PollOutcome::Tokens:
        break;
    }
    return Store(p, s, oauth::SignInKeyOf(s), token, tokenUrl);
  }
}

// The device authorization grant: a code the user enters in a browser
// anywhere, then the polls.
int DeviceLogin(PlatformBundle& p, Submission& s, const std::string& deviceUrl) {
  Secret form;
  oauth::DeviceCodeBody(s.oauth, form);
  auto device = oauth::RequestDeviceCode(p.https, deviceUrl, s.caPem, form, s.secrets, &s.proxy);
  if (device.failure) {
    return Fail(p.window, Failure{FailureKind::SignInFailed, device.failure->text});
  }
  const oauth::DeviceCode& code = device.reply;
  if (!code.ok) {
    return Fail(p.window, Refused("device code request", code.error, code.description));
  }
  s.secrets.Add(code.deviceCode.View());

  p.out << p.display(kOpenJa + code.verificationUri + kEnterJa + code.userCode + kPleaseJa) << "\n"
        << p.display("To sign in " + s.user + ", open " + code.verificationUri +
                     " in a browser and enter the code " + code.userCode + ".")
        << "\n"
        << std::flush;
  return PollDeviceToken(p, s, code);
}

}  // namespace

int RunLogin(PlatformBundle& p) {
  RunState st;
  EffectRecorder effects;  // no window to hide, no connection to make
  if (Status failure = LoadJob(st, JobMode::Login, effects, p)) {
    return Fail(p.window, *failure);
  }
  Submission& s = st.Submit;
  if (!s.UsesOAuth()) {
    return Fail(p.window, Failure{FailureKind::CommandFileBad,
                                  "command.txt: --login needs \"#USR\" and \"#OAU\""});
  }
  const OAuthSettings& o = s.oauth;
  if (o.UsesServiceAccount()) {
    return Fail(p.window, Failure{FailureKind::CommandFileBad,
                                  "command.txt: \"#OSA\": a service account signs its own token "
                                  "requests; there is no sign-in to make"});
  }
  if (p.browser && !oauth::AuthorizeUrl(o).empty()) return BrowserLogin(p, s);
  const std::string deviceUrl = oauth::DeviceCodeUrl(o);
  if (deviceUrl.empty()) {
    return Fail(p.window,
                Failure{FailureKind::CommandFileBad,
                        "command.txt: \"#OAU\" " + o.provider +
                            ": --login signs in by the device code (Microsoft with \"#OTE\", or "
                            "a token endpoint ending in /token) or in a browser (Google, or "
                            "\"#OAZ\" naming the authorization endpoint)"});
  }
  return DeviceLogin(p, s, deviceUrl);
}

}  // namespace tolvex
