#include "proxy/system_proxy.hpp"

namespace tolvex {

ProxyChoice ChooseSystemProxy(const UserProxySettings& user,
                              const std::optional<FoundProxy>& found) {
  ProxyChoice choice;
  if (found && found->direct) {
    choice.kind = ProxyChoice::Kind::Direct;
  } else if (found && !found->proxy.empty()) {
    choice = {ProxyChoice::Kind::Named, found->proxy, found->bypass};
  } else if (!user.proxy.empty()) {
    choice = {ProxyChoice::Kind::Named, user.proxy, user.bypass};
  } else if (WantsAutoProxy(user)) {
    // Automatic configuration that found nothing, and no manual proxy:
    // the browser would go directly as well.
    choice.kind = ProxyChoice::Kind::Direct;
  }
  return choice;
}

}  // namespace tolvex
