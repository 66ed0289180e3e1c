// "--login": signs the user of command.txt in once, so that later runs
// take their tokens by the refresh grant without a person. Google, and an
// endpoint of its own with #OAZ, by the authorization code in a browser:
// the URL is opened where there is a browser and printed (in Japanese and
// English), the browser comes back to a port on 127.0.0.1, and the code is
// exchanged with the PKCE verifier. Otherwise the device authorization
// grant: the verification URL and the user code are printed, the token
// endpoint is polled at the interval it asks for. Either way the refresh
// token is kept in the sign-in store under the endpoint, client id and
// #USR.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>

#include "app/message_view.hpp"
#include "base/browser_sign_in.hpp"
#include "base/https.hpp"
#include "base/platform.hpp"
#include "base/sign_in_store.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

struct LoginPorts {
  WorkFolder& files;
  Window& window;  // the command file's window directives, the failure report
  SecretSource& secrets;
  Https& https;
  SignInStore& signIns;
  std::ostream& out;  // the instructions and the outcome (UTF-8)
  DisplayText display;
  std::function<void(std::int64_t seconds)> wait;  // between polls
  BrowserSignIn* browser = nullptr;                // the sign-in in a browser
};

// Returns the exit status: 0 when the sign-in is stored.
int RunLogin(const LoginPorts& p);

}  // namespace tolvex
