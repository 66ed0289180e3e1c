// tolvex --login in a browser: the authorization URL printed, the
// browser's requests on the loopback port answered (one without this
// sign-in's state refused and the wait going on), the code exchanged with
// the verifier, and the refresh token stored only when all went well. By
// the device code: the polls held to the code's life, in virtual time.
// A sign-in the store refuses ends the start-up.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <sstream>

#include "app/exit_status.hpp"
#include "app/load_job.hpp"
#include "app/login_mode.hpp"
#include "support/fake_platform.hpp"
#include "support/memory_folder.hpp"
#include "support/virtual_platform.hpp"

namespace tolvex::test {
namespace {

struct NoSecrets final : SecretSource {
  std::optional<std::string> Environment(const char*) override { return std::nullopt; }
  std::optional<std::string> Stored(std::string_view) override { return std::nullopt; }
};

struct ScriptedHttps final : Https {
  HttpsReply PostForm(const HttpsRequest& request) override {
    urls.push_back(request.url);
    forms.emplace_back(request.form->View());
    HttpsReply r;
    r.done = true;
    r.status = status;
    r.body.Assign(body);
    if (!script.empty()) {  // else the same reply each time
      r.status = script.front().first;
      r.body.Assign(script.front().second);
      script.pop_front();
    }
    return r;
  }
  // A sign-in makes token requests only.
  HttpsReply Send(const HttpsCall& call) override {
    ADD_FAILURE() << "API call during a sign-in: " << call.target.url;
    return {};
  }
  long status = 200;
  std::string body = R"({"access_token":"at","refresh_token":"rt-new","expires_in":3599})";
  std::deque<std::pair<long, std::string>> script;
  std::vector<std::string> urls;
  std::vector<std::string> forms;
};

// The browser: request heads made from the state of the URL printed (the
// random bytes and the digest are FakeCrypto's).
struct ScriptedBrowser final : BrowserSignIn {
  int Listen(std::string&) override { return 49152; }
  std::optional<Secret> NextRequest(std::int64_t seconds) override {
    waits.push_back(seconds);
    if (requests.empty()) {
      scheduler->RunFor(seconds * 1000);
      return std::nullopt;
    }
    std::string head = requests.front();
    requests.pop_front();
    const std::size_t at = head.find("STATE");
    if (at != std::string::npos) head.replace(at, 5, state);
    return Secret(head);
  }
  void Answer(int status, std::string_view html) override {
    answers.emplace_back(status, std::string(html));
  }
  bool OpenBrowser(const std::string& url) override {
    opened = url;
    return true;
  }
  VirtualScheduler* scheduler = nullptr;
  std::string state;  // set by the test from the URL
  std::deque<std::string> requests;
  std::vector<std::int64_t> waits;
  std::vector<std::pair<int, std::string>> answers;
  std::string opened;
};

struct Login : VirtualPlatform {
  Login() {
    files.files["command.txt"] =
        "#HOS=smtp.gmail.com\r\n#FRO=you@gmail.com\r\n#TO=to@example.jp\r\n#SUB=x\r\n"
        "#SEC=starttls\r\n#USR=you@gmail.com\r\n#OAU=google\r\n#OID=id-1.apps\r\n\r\nbody\r\n";
    browser.scheduler = &scheduler;
  }
  int Run() {
    // The state: Base64Url of the second random block, 16 bytes of 0xA5.
    browser.state = "paWlpaWlpaWlpaWlpaWlpQ";
    PlatformBundle p = Parts();
    return RunLogin(p);
  }
  PlatformBundle Parts() {
    PlatformBundle p = Bundle(files, secrets, https, signIns, &browser, out);
    p.display = [](std::string_view t) { return std::string(t); };
    return p;
  }
  MemoryFolder files;
  NoSecrets secrets;
  ScriptedHttps https;
  MapSignIns signIns;
  std::ostringstream out;
  ScriptedBrowser browser;
};

constexpr char kKey[] = "https://oauth2.googleapis.com/token id-1.apps you@gmail.com";

TEST(LoginBrowser, CodeExchangedWithTheVerifierAndTheRefreshTokenStored) {
  Login l;
  l.browser.requests = {"GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                        "GET /?state=STATE&code=4%2F0Ab-c+d&scope=x HTTP/1.1\r\n\r\n"};
  EXPECT_EQ(l.Run(), kExitOk);
  const std::string url =
      "https://accounts.google.com/o/oauth2/v2/auth?response_type=code&client_id=id-1.apps&"
      "redirect_uri=http%3A%2F%2F127.0.0.1%3A49152%2F&scope=https%3A%2F%2Fmail.google.com%2F&"
      "code_challenge=ZGlnZXN0LW9mLXBhV2xwYVdscGFXbHBhV2xwYVdscGFXbHBhV2xwYVdscGFXbHBhV2xwYVU&"
      "code_challenge_method=S256&state=" +
      l.browser.state + "&access_type=offline&prompt=consent";
  EXPECT_EQ(l.browser.opened, url);
  EXPECT_NE(l.out.str().find("\n" + url + "\n"), std::string::npos) << l.out.str();
  EXPECT_EQ(l.https.urls, std::vector<std::string>{"https://oauth2.googleapis.com/token"});
  EXPECT_EQ(
      l.https.forms.at(0),
      "grant_type=authorization_code&code=4%2F0Ab-c+d&redirect_uri=http%3A%2F%2F127.0.0.1%"
      "3A49152%2F&client_id=id-1.apps&code_verifier=paWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaU");
  ASSERT_EQ(l.browser.answers.size(), 2u);
  EXPECT_EQ(l.browser.answers[0].first, 404);
  EXPECT_EQ(l.browser.answers[1].first, 200);
  EXPECT_NE(l.browser.answers[1].second.find("Signed in."), std::string::npos);
  EXPECT_EQ(l.signIns.tokens, (std::map<std::string, std::string>{{kKey, "rt-new"}}));
  EXPECT_EQ(l.browser.waits, (std::vector<std::int64_t>{300, 300}));
  EXPECT_TRUE(l.window.failures.empty());
}

// Every way the browser's sign-in can fail ends non-zero, stores nothing
// and says why.
TEST(LoginBrowser, FailuresStoreNothing) {
  struct Case {
    std::vector<std::string> requests;
    long status;
    const char* body;
    const char* failure;
    const char* saveError = "";
    FailureKind kind = FailureKind::SignInFailed;
    int exit = kExitUnavailable;
    bool hasRandom = true;
  };
  const Case cases[] = {
      {{"GET /?error=access_denied&state=STATE HTTP/1.1\r\n\r\n"},
       200,
       "",
       "sign-in refused: "
       "access_denied"},
      {{}, 200, "", "the browser did not come back within 5 minutes: run tolvex --login again"},
      {{"GET /?code=c&state=STATE HTTP/1.1\r\n\r\n"},
       400,
       R"({"error":"invalid_grant","error_description":"Bad Request"})",
       "code exchange refused: invalid_grant: Bad Request"},
      {{"GET /?code=c&state=STATE HTTP/1.1\r\n\r\n"},
       200,
       R"({"access_token":"at"})",
       "the sign-in gave no refresh token: the scope needs offline_access"},
      // The endpoint echoes the code and the verifier; a refresh token that
      // is not a b64token is not stored.
      {{"GET /?code=c-4711-code&state=STATE HTTP/1.1\r\n\r\n"},
       400,
       R"({"error":"invalid_grant","error_description":"c-4711-code and )"
       R"(paWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaWlpaU"})",
       "code exchange refused: invalid_grant: *** and ***"},
      {{"GET /?code=c&state=STATE HTTP/1.1\r\n\r\n"},
       200,
       R"({"access_token":"at","refresh_token":"rt\u0001x"})",
       "code exchange refused: malformed_reply: the refresh_token holds characters a bearer token "
       "cannot have (RFC 6750 b64token)"},
      {{"GET /?code=c&state=STATE HTTP/1.1\r\n\r\n"},
       200,
       R"({"access_token":"at","refresh_token":"rt-new"})",
       "the refresh token could not be stored: disk full",
       "disk full",
       FailureKind::SignInStoreFailed,
       kExitCantCreate},
      // No random source: no PKCE, so no listener and no URL.
      {{},
       200,
       "",
       "no random bytes for the sign-in could be had",
       "",
       FailureKind::SignInFailed,
       kExitUnavailable,
       false},
  };
  for (const Case& c : cases) {
    Login l;
    l.crypto.hasRandom = c.hasRandom;
    l.browser.requests.assign(c.requests.begin(), c.requests.end());
    l.https.status = c.status;
    l.https.body = c.body;
    l.signIns.saveError = c.saveError;
    EXPECT_EQ(l.Run(), c.exit) << c.failure;
    ASSERT_EQ(l.window.failures.size(), 1u) << c.failure;
    EXPECT_EQ(l.window.failures[0].message, c.failure);
    EXPECT_EQ(l.window.failures[0].kind, c.kind) << c.failure;
    EXPECT_TRUE(l.signIns.tokens.empty()) << c.failure;
    EXPECT_EQ(l.browser.opened.empty(), !c.hasRandom) << c.failure;
    if (!c.requests.empty()) {  // the browser is told too
      ASSERT_EQ(l.browser.answers.size(), 1u) << c.failure;
      EXPECT_NE(l.browser.answers[0].second.find("The sign-in did not complete."),
                std::string::npos)
          << c.failure;
    }
  }
}

// A request without this sign-in's state (any local process can reach the
// port) is answered 400 and the browser still awaited, until the 5 minutes
// are over.
TEST(LoginBrowser, RequestsWithoutTheStateAreRefusedAndTheWaitGoesOn) {
  const std::vector<std::string> forged = {
      "GET /?error=x HTTP/1.1\r\n\r\n",
      "GET /?error=access_denied&state=other HTTP/1.1\r\n\r\n",
      "GET /?code=c&state=STATEx HTTP/1.1\r\n\r\n",
      "GET /?code=c HTTP/1.1\r\n\r\n",
  };
  for (bool browserComes : {true, false}) {
    Login l;
    l.browser.requests.assign(forged.begin(), forged.end());
    if (browserComes) l.browser.requests.push_back("GET /?code=c&state=STATE HTTP/1.1\r\n\r\n");
    l.scheduler.RunFor(5000 * 1000);
    EXPECT_EQ(l.Run(), browserComes ? kExitOk : kExitUnavailable);
    ASSERT_EQ(l.browser.answers.size(), forged.size() + (browserComes ? 1 : 0));
    for (std::size_t i = 0; i < forged.size(); ++i) {
      EXPECT_EQ(l.browser.answers[i].first, 400) << forged[i];
    }
    if (browserComes) {
      EXPECT_EQ(l.browser.answers.back().first, 200);
      EXPECT_EQ(l.signIns.tokens, (std::map<std::string, std::string>{{kKey, "rt-new"}}));
      EXPECT_EQ(l.https.forms.size(), 1u);  // the code of the request with the state only
    } else {
      ASSERT_EQ(l.window.failures.size(), 1u);
      EXPECT_EQ(l.window.failures[0].message,
                "the browser did not come back within 5 minutes: run tolvex --login again");
      EXPECT_EQ(l.clock.SteadySeconds(), 5000 + 300);
      EXPECT_TRUE(l.https.urls.empty());
      EXPECT_TRUE(l.signIns.tokens.empty());
    }
  }
}

// The device code's polls: the interval held to 1..60 s and to the time
// left, the code's life to 30 minutes, each wait ending by the expiry
// (the numbers a hostile endpoint sends cannot overflow or hang the run).
TEST(LoginDevice, PollsHeldToTheCodesLife) {
  const std::string pending = R"({"error":"authorization_pending"})";
  const std::string slow = R"({"error":"slow_down"})";
  struct Case {
    const char* numbers;  // the device reply's expires_in and interval
    std::vector<std::string> polls;
    std::vector<std::int64_t> waits;
    int exit;
  };
  const Case cases[] = {
      {R"("expires_in":5,"interval":3600)", {}, {5}, kExitUnavailable},
      {R"("expires_in":900,"interval":1000000000)", std::vector<std::string>(14, pending),
       std::vector<std::int64_t>(15, 60), kExitUnavailable},
      {R"("expires_in":9223372036854775807,"interval":9223372036854775807)",
       std::vector<std::string>(29, slow), std::vector<std::int64_t>(30, 60), kExitUnavailable},
      {R"("expires_in":"20","interval":"7")", {pending, pending}, {7, 7, 6}, kExitUnavailable},
      {R"("expires_in":10,"interval":-3)", {pending}, {5, 5}, kExitUnavailable},
      {R"("expires_in":900.5,"interval":58)", {slow, pending, "tokens"}, {58, 60, 60}, kExitOk},
      {R"("expires_in":900,"interval":5)", {R"({"error":"expired_token"})"}, {5}, kExitUnavailable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.numbers);
    Login l;
    l.files.files["command.txt"] =
        "#HOS=smtp.idp.test\r\n#FRO=u@idp.test\r\n#TO=to@example.jp\r\n#SUB=x\r\n"
        "#SEC=starttls\r\n#USR=u@idp.test\r\n#OAU=https://idp.test/token\r\n#OID=c\r\n\r\nb\r\n";
    l.https.script.emplace_back(200, std::string(R"({"device_code":"d","user_code":"U-1",)") +
                                         R"("verification_uri":"https://idp.test/d",)" + c.numbers +
                                         "}");
    for (const std::string& poll : c.polls) {
      if (poll == "tokens") {
        l.https.script.emplace_back(200, R"({"access_token":"at","refresh_token":"rt-d"})");
      } else {
        l.https.script.emplace_back(400, poll);
      }
    }
    EXPECT_EQ(l.Run(), c.exit);
    EXPECT_EQ(l.clock.waits, c.waits);  // between the device code's polls
    EXPECT_EQ(l.https.urls.size(), 1 + c.polls.size());
    EXPECT_TRUE(l.https.script.empty());
    if (c.exit == kExitOk) {
      EXPECT_EQ(l.signIns.tokens.size(), 1u);
    } else {
      ASSERT_EQ(l.window.failures.size(), 1u);
      EXPECT_EQ(l.window.failures[0].message,
                "the code expired before the sign-in was completed: run tolvex --login again");
      EXPECT_TRUE(l.signIns.tokens.empty());
    }
  }
}

// The run and --check: a sign-in the store refuses (open to other users,
// too large, corrupt) ends the start-up saying so, not "no client secret";
// one it keeps needs no secret. --probe is handed what the store said and
// goes on (it shows the refusal as its token's outcome).
TEST(StoredSignIn, RefusedEndsTheStartUpSayingWhy) {
  for (const char* refusal : {"", "the sign-in store /c/tolvex/signin-1 is corrupt: x"}) {
    Login l;
    l.signIns.tokens[kKey] = "rt";
    l.signIns.refusal = refusal;
    PlatformBundle p = l.Parts();
    RunState probed;
    EffectRecorder effects;
    StoredSignIn found;
    EXPECT_FALSE(LoadJob(probed, JobMode::Probe, effects, p, &found));
    EXPECT_EQ(found.refused, refusal);
    EXPECT_EQ(found.token.View(), *refusal ? "" : "rt");
    EXPECT_FALSE(probed.Submit.oauth.signedIn);  // the probe judges it itself
    RunState st;
    const Status failure = LoadJob(st, JobMode::Check, effects, p);
    if (*refusal) {
      ASSERT_TRUE(failure);
      EXPECT_EQ(failure->kind, FailureKind::InputMissing);
      EXPECT_EQ(failure->message,
                std::string(refusal) + ": run tolvex --login in this folder again");
    } else {
      EXPECT_FALSE(failure);
      EXPECT_TRUE(st.Submit.oauth.signedIn);
    }
  }
}

}  // namespace
}  // namespace tolvex::test
