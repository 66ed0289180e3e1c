// One request to an OAuth endpoint, the way every one of them goes (the
// send's token, --login's device code, its polls and its code exchange,
// the probe's token): the form POSTed and wiped, the reply's body parsed
// by the endpoint's parser and wiped, and a request that got no HTTP reply
// told in one line with the run's secrets masked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/https.hpp"
#include "base/secret.hpp"
#include "base/secret_registry.hpp"
#include "oauth/device_flow.hpp"
#include "oauth/token.hpp"

namespace tolvex::oauth {

// A request that got no HTTP reply.
struct RequestFailure {
  std::string text;        // "token request to <url> failed: <why>", printable
  bool lasting = false;    // as HttpsReply's: trying again will not mend it
  bool cancelled = false;  // given up because the run is ending
};

template <class Reply>
struct EndpointAnswer {
  std::optional<RequestFailure> failure;
  long status = 0;  // else the HTTP status, and what the body said:
  Reply reply;
};

// `form` to the token endpoint `url`, through `proxy` (#PRX; null: the
// system's); the reply as ParseTokenReply reads it.
EndpointAnswer<TokenReply> RequestToken(Https& https, const std::string& url,
                                        const std::string& caPem, Secret& form,
                                        const SecretRegistry& known,
                                        const ProxySettings* proxy = nullptr);
// `form` to the device authorization endpoint `url`; the reply as
// ParseDeviceCode reads it.
EndpointAnswer<DeviceCode> RequestDeviceCode(Https& https, const std::string& url,
                                             const std::string& caPem, Secret& form,
                                             const SecretRegistry& known,
                                             const ProxySettings* proxy = nullptr);

}  // namespace tolvex::oauth
