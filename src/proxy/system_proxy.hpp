// Which proxy an HTTPS request takes on Windows without #PRX, from the
// user's settings as Internet Options keep them (automatic detection, a
// PAC script, a manual proxy) and what WinHTTP's automatic lookup found
// for the URL. Pure: the platform makes the calls, this decides.
#pragma once

#include <optional>
#include <string>

namespace tolvex {

struct UserProxySettings {
  bool autoDetect = false;     // "Automatically detect settings" (WPAD)
  std::wstring autoConfigUrl;  // "Use automatic configuration script" (PAC)
  std::wstring proxy;          // the manual proxy ("host:port", "https=host:port;...")
  std::wstring bypass;         // its exceptions ("<local>;*.example.jp")
};

// What the automatic lookup (WPAD or the PAC script) said for the URL.
struct FoundProxy {
  bool direct = false;  // the script says DIRECT
  std::wstring proxy;   // else the proxy list to use
  std::wstring bypass;
};

struct ProxyChoice {
  enum class Kind { Default, Direct, Named };
  Kind kind = Kind::Default;  // Default: WinHTTP's own setting (netsh winhttp)
  std::wstring proxy;         // Named
  std::wstring bypass;        // Named
};

// Whether the automatic lookup is worth asking for.
inline bool WantsAutoProxy(const UserProxySettings& user) {
  return user.autoDetect || !user.autoConfigUrl.empty();
}

// The lookup's answer first; when it failed or was not asked for, the
// manual proxy; with no setting at all, WinHTTP's default.
ProxyChoice ChooseSystemProxy(const UserProxySettings& user,
                              const std::optional<FoundProxy>& found);

}  // namespace tolvex
