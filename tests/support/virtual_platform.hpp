// The platform bundle's event half in virtual time: the scheduler, the
// three timers, the scripted socket, the window, the clock, the fixed
// cryptography and the loop that delivers their events to a mode, as
// RunProgram's modes receive them.
// The rest of the bundle (files, secrets, HTTPS, sign-ins, output) is the
// test's own.
#pragma once

#include <ostream>
#include <string>

#include "app/platform_bundle.hpp"
#include "support/fake_platform.hpp"
#include "support/map_sign_ins.hpp"

namespace tolvex::test {

// Delivers the timers' ticks and the socket's events to the mode attached;
// Run does so until the mode or the process has ended, or `limit`.
class VirtualLoop final : public EventLoop {
 public:
  VirtualLoop(VirtualScheduler& scheduler, FakeTimer& tmrWait, FakeTimer& tmrMore,
              FakeTimer& tmrSMTP, FakeSocket& socket, FakeWindow& window);
  void Attach(LoopEvents& events);
  int Run(LoopEvents& events, const std::function<void()>& first) override;

  Millis limit = 24 * 60 * 60000;

 private:
  VirtualScheduler& scheduler_;
  FakeTimer& tmrWait_;
  FakeTimer& tmrMore_;
  FakeTimer& tmrSMTP_;
  FakeSocket& socket_;
  FakeWindow& window_;
};

struct VirtualPlatform {
  explicit VirtualPlatform(ServerScript script = AcceptingServer());
  VirtualPlatform(const VirtualPlatform&) = delete;
  VirtualPlatform& operator=(const VirtualPlatform&) = delete;

  // The bundle over the fakes and the parts given; `out` takes the bytes
  // of --check --raw too.
  PlatformBundle Bundle(WorkFolder& files, SecretSource& secrets, Https& https,
                        SignInStore& signIns, BrowserSignIn* browser, std::ostream& out);

  VirtualScheduler scheduler;
  FakeTimer& tmrWait;
  FakeTimer& tmrMore;
  FakeTimer& tmrSMTP;
  FakeSocket socket;
  FakeWindow window;
  FakeClock clock;
  FakeCrypto crypto;
  RecordingEventLog events;
  VirtualLoop loop;
};

}  // namespace tolvex::test
