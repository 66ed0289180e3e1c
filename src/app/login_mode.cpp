// The --login sign-in by the device authorization grant.
#include "app/login_mode.hpp"

#include <algorithm>

#include "app/exit_status.hpp"
#include "app/load_job.hpp"
#include "app/submission_setup.hpp"
#include "base/run_state.hpp"
#include "command/command_effects.hpp"
#include "command/command_file.hpp"
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

// A code is polled for at most this long, whatever the provider says.
constexpr std::int64_t kLongestWait = 30 * 60;

int Fail(Window& window, Failure failure) {
  window.ReportFailure(failure);
  return ExitCodeFor(failure.kind);
}

Failure Refused(const std::string& what, const std::string& error, const std::string& description) {
  std::string text = what + " refused: " + error;
  if (!description.empty()) text += ": " + description;
  return Failure{FailureKind::DeliveryFailed, std::move(text)};
}

}  // namespace

int RunLogin(const LoginPorts& p) {
  RunState st;
  EffectRecorder effects;  // no window to hide, no connection to make
  if (Status failure = LoadJob(st, JobMode::Login, effects, p.files, p.secrets)) {
    return Fail(p.window, *failure);
  }
  Submission& s = st.Submit;
  if (!s.UsesOAuth()) {
    return Fail(p.window, Failure{FailureKind::CommandFileBad,
                                  "command.txt: --login needs \"#USR\" and \"#OAU\""});
  }
  const OAuthSettings& o = s.oauth;
  const std::string deviceUrl = oauth::DeviceCodeUrl(o);
  if (deviceUrl.empty()) {
    return Fail(p.window,
                Failure{FailureKind::CommandFileBad,
                        "command.txt: \"#OAU\" " + o.provider +
                            ": --login signs in by the device code only (Microsoft with \"#OTE\", "
                            "or a token endpoint ending in /token)"});
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
                                  "device code request to " + deviceUrl +
                                      " failed: " + oauth::Printable(reply.error)});
  }
  oauth::DeviceCode code = oauth::ParseDeviceCode(reply.status, reply.body.View());
  reply.body.Wipe();
  if (!code.ok) {
    return Fail(p.window, Refused("device code request", code.error, code.description));
  }

  p.out << p.display(kOpenJa + code.verificationUri + kEnterJa + code.userCode + kPleaseJa) << "\n"
        << p.display("To sign in " + s.user + ", open " + code.verificationUri +
                     " in a browser and enter the code " + code.userCode + ".")
        << "\n"
        << std::flush;

  const std::int64_t start = p.https.NowSeconds();
  const std::int64_t deadline = start + std::min(code.expiresIn, kLongestWait);
  std::int64_t interval = code.interval;
  const std::string key = oauth::SignInKeyOf(s);
  request.url = oauth::TokenUrl(o);
  for (;;) {
    p.wait(interval);
    if (p.https.NowSeconds() >= deadline) {
      p.out << p.display(kExpiredJa) << "\n";
      return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                    "the code expired before the sign-in was completed: run "
                                    "tolvex --login again"});
    }
    oauth::DeviceTokenBody(o, code.deviceCode.View(), form);
    reply = p.https.PostForm(request);
    form.Wipe();
    if (!reply.done) {
      p.out << p.display(kFailedJa) << "\n";
      return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                    "token request to " + request.url +
                                        " failed: " + oauth::Printable(reply.error)});
    }
    oauth::TokenReply token = oauth::ParseTokenReply(reply.status, reply.body.View());
    reply.body.Wipe();
    switch (oauth::ClassifyPoll(token)) {
      case oauth::PollOutcome::Pending:
        continue;
      case oauth::PollOutcome::SlowDown:
        interval += 5;  // as RFC 8628 asks
        continue;
      case oauth::PollOutcome::Refused:
        if (token.error == "expired_token") {
          p.out << p.display(kExpiredJa) << "\n";
          return Fail(p.window, Failure{FailureKind::DeliveryFailed,
                                        "the code expired before the sign-in was completed: "
                                        "run tolvex --login again"});
        }
        p.out << p.display(token.error == "access_denied" ? kDeniedJa : kFailedJa) << "\n";
        return Fail(p.window, Refused("sign-in", token.error, token.description));
      case oauth::PollOutcome::Tokens:
        break;
    }
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
          << p.display("Signed in: " + s.user + " at " + request.url +
                       "; later runs in this folder use the stored sign-in.")
          << "\n"
          << std::flush;
    return kExitOk;
  }
}

}  // namespace tolvex
