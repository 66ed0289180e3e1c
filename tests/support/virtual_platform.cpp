#include "support/virtual_platform.hpp"

#include "platform/native_path.hpp"

namespace tolvex::test {

VirtualLoop::VirtualLoop(VirtualScheduler& scheduler, FakeTimer& tmrWait, FakeTimer& tmrMore,
                         FakeTimer& tmrSMTP, FakeSocket& socket, FakeWindow& window)
    : scheduler_(scheduler),
      tmrWait_(tmrWait),
      tmrMore_(tmrMore),
      tmrSMTP_(tmrSMTP),
      socket_(socket),
      window_(window) {}

void VirtualLoop::Attach(LoopEvents& events) {
  scheduler_.SetHandler(tmrWait_, [&events] { events.tmrWait_Timer(); });
  scheduler_.SetHandler(tmrMore_, [&events] { events.tmrMore_Timer(); });
  scheduler_.SetHandler(tmrSMTP_, [&events] { events.tmrSMTP_Timer(); });
  socket_.Attach(events);
}

int VirtualLoop::Run(LoopEvents& events, const std::function<void()>& first) {
  Attach(events);
  scheduler_.SetStopCondition(
      [this, &events] { return window_.exitCode.has_value() || events.Ended(); });
  first();
  scheduler_.RunUntil(limit);
  scheduler_.SetStopCondition([this] { return window_.exitCode.has_value(); });
  return window_.exitCode ? *window_.exitCode : events.ExitStatus();
}

VirtualPlatform::VirtualPlatform(ServerScript script)
    : tmrWait(scheduler.AddTimer("tmrWait", 60000)),
      tmrMore(scheduler.AddTimer("tmrMore", 60000)),
      tmrSMTP(scheduler.AddTimer("tmrSMTP", 100)),
      socket(scheduler, std::move(script)),
      window(scheduler),
      clock(scheduler),
      loop(scheduler, tmrWait, tmrMore, tmrSMTP, socket, window) {
  scheduler.AddPump([this] { return socket.Deliver(); });
  scheduler.SetStopCondition([this] { return window.exitCode.has_value(); });
}

PlatformBundle VirtualPlatform::Bundle(WorkFolder& files, SecretSource& secrets, Https& https,
                                       SignInStore& signIns, BrowserSignIn* browser,
                                       std::ostream& out) {
  return PlatformBundle{
      files,   window,       clock,   tmrWait,
      tmrMore, tmrSMTP,      socket,  loop,
      secrets, https,        signIns, crypto,
      browser, out,          out,     [](std::string_view text) { return Cp932ToUtf8(text); },
      events,  "/jobs/daily"};
}

}  // namespace tolvex::test
