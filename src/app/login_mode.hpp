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

#include "app/platform_bundle.hpp"

namespace tolvex {

// Its instructions and outcome go to `p.out`, a failure to the window.
// Returns the exit status: 0 when the sign-in is stored.
int RunLogin(PlatformBundle& p);

}  // namespace tolvex
