// The Windows user's proxy settings turned into the proxy of one request.
#include "proxy/system_proxy.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tolvex {
namespace {

TEST(SystemProxy, LookupFirstThenTheManualProxyThenTheDefault) {
  using K = ProxyChoice::Kind;
  const UserProxySettings none;
  const UserProxySettings manual{false, L"", L"proxy.example.jp:8080", L"<local>"};
  const UserProxySettings wpad{true, L"", L"", L""};
  const UserProxySettings pacAndManual{false, L"http://wpad/proxy.pac", L"manual:3128", L""};
  const FoundProxy found{false, L"pac-proxy:8080", L"*.local"};
  const FoundProxy direct{true, L"", L""};
  struct Case {
    const UserProxySettings& user;
    std::optional<FoundProxy> found;
    K kind;
    std::wstring proxy;
    std::wstring bypass;
  };
  const std::vector<Case> cases = {
      {none, std::nullopt, K::Default, L"", L""},
      {manual, std::nullopt, K::Named, L"proxy.example.jp:8080", L"<local>"},
      {wpad, found, K::Named, L"pac-proxy:8080", L"*.local"},
      {wpad, direct, K::Direct, L"", L""},
      {wpad, std::nullopt, K::Direct, L"", L""},                    // detection found nothing
      {pacAndManual, std::nullopt, K::Named, L"manual:3128", L""},  // the script failed
      {pacAndManual, found, K::Named, L"pac-proxy:8080", L"*.local"},
      {pacAndManual, direct, K::Direct, L"", L""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const ProxyChoice choice = ChooseSystemProxy(cases[i].user, cases[i].found);
    EXPECT_EQ(choice.kind, cases[i].kind) << i;
    EXPECT_EQ(choice.proxy, cases[i].proxy) << i;
    EXPECT_EQ(choice.bypass, cases[i].bypass) << i;
  }
  EXPECT_FALSE(WantsAutoProxy(manual));
  EXPECT_TRUE(WantsAutoProxy(pacAndManual));
}

}  // namespace
}  // namespace tolvex
