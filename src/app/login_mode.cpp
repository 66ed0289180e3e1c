// The --login sign-in: in a browser by the authorization code, or by the
// device authorization grant.
#include "app/login_mode.hpp"

#include <algorithm>
#include <optional>

#include "app/exit_status.hpp"
#include "app/load_job.hpp"
#include "app/submission_setup.hpp"
#include "base/run_state.hpp"
#include "command/command_effects.hpp"
#include "command/command_file.hpp"
#include "oauth/code_flow.hpp"
#include "oauth/device_flow.hpp"
#include "oauth/token.hpp"

namespace tolvex {
namespace {

// ブラウザで <URL> を開き、コード <code> を入力してください。
constexpr char kOpenJa[] =
    "\x83u\x83\x89\x83"
    "E\x83U\x82\xC5 ";
constexpr char kEnterJa[] =
    " \x82\xF0\x8AJ\x82\xAB\x81"
    "A\x83R\x81[\x83h ";
constexpr char kPleaseJa[] =
    " \x82\xF0\x93\xFC\x97\xCD\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81"
    "B";
// サインインしました。
constexpr char kDoneJa[] =
    "\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81"
    "B";
// コードの有効期限が切れました。もう一度 tolvex --login を実行してください。
constexpr char kExpiredJa[] =
    "\x83R\x81[\x83h\x82\xCC\x97L\x8C\xF8\x8A\xFA\x8C\xC0\x82\xAA\x90\xD8\x82\xEA\x82\xDC\x82\xB5"
    "\x82\xBD\x81"
    "B\x82\xE0\x82\xA4\x88\xEA\x93x tolvex --login "
    "\x82\xF0\x8E\xC0\x8Ds\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81"
    "B";
// サインインは拒否されました。
constexpr char kDeniedJa[] =
    "\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xCD\x8B\x91\x94\xDB\x82\xB3\x82\xEA\x82\xDC\x82\xB5"
    "\x82\xBD\x81"
    "B";
// サインインできませんでした。
constexpr char kFailedJa[] =
    "\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5"
    "\x82\xBD\x81"
    "B";

// ブラウザで次の URL を開き、サインインしてください（5 分以内）。
constexpr char kOpenUrlJa[] =
    "\x83u\x83\x89\x83"
    "E\x83U\x82\xC5\x8E\x9F\x82\xCC URL \x82\xF0\x8AJ\x82\xAB\x81"
    "A\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81i5 "
    "\x95\xAA\x88\xC8\x93\xE0\x81j\x81"
    "B";
// 時間内にサインインされませんでした。もう一度 tolvex --login を実行してください。
constexpr char kNoAnswerJa[] =
    "\x8E\x9E\x8A\xD4\x93\xE0\x82\xC9\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xB3\x82\xEA\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81"
    "B\x82\xE0\x82\xA4\x88\xEA\x93x tolvex --login "
    "\x82\xF0\x8E\xC0\x8Ds\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2\x81"
    "B";
// The pages the browser is answered with.
// サインインしました。このページは閉じてかまいません。
constexpr char kPageDoneJa[] =
    "\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xB5\x82\xDC\x82\xB5\x82\xBD\x81"
    "B\x82\xB1\x82\xCC\x83y\x81[\x83W\x82\xCD\x95\xC2\x82\xB6\x82\xC4\x82\xA9\x82\xDC"
    "\x82\xA2\x82\xDC\x82\xB9\x82\xF1\x81"
    "B";
// サインインできませんでした。端末の表示を見てください。
constexpr char kPageFailedJa[] =
    "\x83T\x83"
    "C\x83\x93\x83"
    "C\x83\x93\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81"
    "B\x92[\x96\x96\x82\xCC\x95\x5C\x8E\xA6\x82\xF0\x8C\xA9\x82\xC4\x82\xAD\x82\xBE"
    "\x82\xB3\x82\xA2\x81"
    "B";

int Fail(Window& window, Failure failure) {
  window.ReportFailure(failure);
  return ExitCodeFor(failure.kind);
}

Failure Refused(const std::string& what, const std::string& error, const std::string& description) {
  std::string text = what + " refused: " + error;
  if (!description.empty()) text += ": " + description;
  return Failure{FailureKind::DeliveryFailed, std::move(text)};
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
    return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                  "the sign-in gave no refresh token: the scope needs "
                                  "offline_access"});
  }
  const std::string error = p.signIns.Save(key, token.refreshToken);
  if (!error.empty()) {
    p.out << p.display(kFailedJa) << "\n";
    return Fail(p.window, Failure{FailureKind::SpoolWriteFailed,
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
  if (!oauth::MakePkce(browser, pkce)) {
    return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                  "no random bytes for the sign-in could be had"});
  }
  s.secrets.Add(pkce.verifier.View());
  std::string error;
  const int port = browser.Listen(error);
  if (port == 0) {
    return Fail(p.window, Failure{FailureKind::DeliveryFailed,
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

  const std::int64_t deadline = p.https.NowSeconds() + oauth::kBrowserWait;
  for (;;) {
    const std::int64_t left = deadline - p.https.NowSeconds();
    std::optional<Secret> head;
    if (left > 0) head = browser.NextRequest(left);
    if (!head) {
      p.out << p.display(kNoAnswerJa) << "\n";
      return Fail(p.window, Failure{FailureKind::DeliveryFailed,
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
    HttpsRequest request;
    request.url = oauth::TokenUrl(o);
    request.form = &form;
    request.caPem = s.caPem;
    HttpsReply reply = p.https.PostForm(request);
    form.Wipe();
    const std::string failedPage = Page(p, kPageFailedJa, "The sign-in did not complete.");
    if (!reply.done) {
      browser.Answer(200, failedPage);
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                    "token request to " + request.url + " failed: " +
                                        oauth::Printable(s.secrets.Masked(reply.error))});
    }
    oauth::TokenReply token = oauth::ParseTokenReply(reply.status, reply.body.View(), s.secrets);
    reply.body.Wipe();
    if (!token.ok) {
      browser.Answer(200, failedPage);
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Refused("code exchange", token.error, token.description));
    }
    // The browser is told the outcome once the refresh token is stored.
    const int status = Store(p, s, oauth::SignInKeyOf(s), token, request.url);
    browser.Answer(200, status == kExitOk
                            ? Page(p, kPageDoneJa, "Signed in. You may close this page.")
                            : failedPage);
    return status;
  }
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

  Secret form;
  oauth::DeviceCodeBody(o, form);
  HttpsRequest request;
  request.url = deviceUrl;
  request.form = &form;
  request.caPem = s.caPem;
  HttpsReply reply = p.https.PostForm(request);
  if (!reply.done) {
    return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                  "device code request to " + deviceUrl + " failed: " +
                                      oauth::Printable(s.secrets.Masked(reply.error))});
  }
  oauth::DeviceCode code = oauth::ParseDeviceCode(reply.status, reply.body.View(), s.secrets);
  reply.body.Wipe();
  if (!code.ok) {
    return Fail(p.window, Refused("device code request", code.error, code.description));
  }
  s.secrets.Add(code.deviceCode.View());

  p.out << p.display(kOpenJa + code.verificationUri + kEnterJa + code.userCode + kPleaseJa) << "\n"
        << p.display("To sign in " + s.user + ", open " + code.verificationUri +
                     " in a browser and enter the code " + code.userCode + ".")
        << "\n"
        << std::flush;

  // The reply's numbers are held to kLongestCodeLife and kLongestPollInterval:
  // each wait ends by the code's expiry, and the expiry is looked at before
  // each wait and each poll.
  const std::int64_t deadline = p.https.NowSeconds() + code.expiresIn;
  std::int64_t interval = code.interval;
  const std::string key = oauth::SignInKeyOf(s);
  request.url = oauth::TokenUrl(o);
  const auto expired = [&p] {
    p.out << p.display(kExpiredJa) << "\n";
    return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                  "the code expired before the sign-in was completed: run "
                                  "tolvex --login again"});
  };
  for (;;) {
    const std::int64_t left = deadline - p.https.NowSeconds();
    if (left <= 0) return expired();
    p.wait(std::min(interval, left));
    if (p.https.NowSeconds() >= deadline) return expired();
    oauth::DeviceTokenBody(o, code.deviceCode.View(), form);
    reply = p.https.PostForm(request);
    form.Wipe();
    if (!reply.done) {
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                    "token request to " + request.url + " failed: " +
                                        oauth::Printable(s.secrets.Masked(reply.error))});
    }
    oauth::TokenReply token = oauth::ParseTokenReply(reply.status, reply.body.View(), s.secrets);
    reply.body.Wipe();
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
    return Store(p, s, key, token, request.url);
  }
}

}  // namespace tolvex
