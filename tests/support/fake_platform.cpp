#include "support/fake_platform.hpp"

#include <algorithm>
#include <cstdio>

#include "smtp/dot_stuffer.hpp"

namespace tolvex::test {

// ---- timers -------------------------------------------------------------

FakeTimer::FakeTimer(VirtualScheduler& scheduler, std::string name, Millis period)
    : scheduler_(scheduler), name_(std::move(name)), period_(period) {}

void FakeTimer::SetEnabled(bool enabled) {
  if (enabled && !enabled_) nextDue_ = scheduler_.Now() + period_;
  enabled_ = enabled;
}

FakeTimer& VirtualScheduler::AddTimer(std::string name, Millis period) {
  timers_.push_back(std::make_unique<FakeTimer>(*this, std::move(name), period));
  return *timers_.back();
}

void VirtualScheduler::SetHandler(FakeTimer& timer, std::function<void()> handler) {
  timer.handler_ = std::move(handler);
}

void VirtualScheduler::AddPump(std::function<bool()> pump) { pumps_.push_back(std::move(pump)); }

void VirtualScheduler::SetStopCondition(std::function<bool()> stop) { stop_ = std::move(stop); }

void VirtualScheduler::Pump() {
  bool any = true;
  while (any && !Stopped()) {
    any = false;
    for (auto& pump : pumps_) any = pump() || any;
  }
}

void VirtualScheduler::RunUntil(Millis until) {
  while (!Stopped()) {
    Pump();
    if (Stopped()) return;
    FakeTimer* next = nullptr;
    for (auto& timer : timers_) {
      if (timer->enabled_ && (next == nullptr || timer->nextDue_ < next->nextDue_)) next = timer.get();
    }
    if (next == nullptr || next->nextDue_ > until) {
      if (until > now_) now_ = until;
      return;
    }
    now_ = next->nextDue_;
    next->nextDue_ += next->period_;
    ++next->ticks_;
    if (next->handler_) next->handler_();
  }
}

// ---- socket -------------------------------------------------------------

ServerScript AcceptingServer() {
  ServerScript script;
  script.reply = [](const std::string& command) -> std::string {
    if (command == "DATA\r\n") return "354 go ahead\r\n";
    if (command == "QUIT\r\n") return "221 bye\r\n";
    if (command == "<message>") return "250 queued as 1\r\n";
    return "250 ok\r\n";
  };
  return script;
}

FakeSocket::FakeSocket(VirtualScheduler& scheduler, ServerScript script)
    : scheduler_(scheduler), script_(std::move(script)) {}

void FakeSocket::QueueConnect(bool connected) {
  queue_.push_back(Event{Event::Connect, {}, connected});
}

void FakeSocket::QueueData(std::string bytes) {
  queue_.push_back(Event{Event::Data, std::move(bytes), true});
}

void FakeSocket::QueueSendComplete() { queue_.push_back(Event{Event::SendComplete, {}, true}); }

bool FakeSocket::Deliver() {
  bool any = false;
  while (!queue_.empty() && events_ != nullptr) {
    Event event = std::move(queue_.front());
    queue_.pop_front();
    any = true;
    switch (event.kind) {
      case Event::Connect:
        state_ = event.connected ? kStateConnected : 9;  // 9: the error state
        events_->WSOCK_Connect();
        break;
      case Event::Data:
        waiting_ += event.bytes;
        events_->WSOCK_DataArrival(static_cast<std::int32_t>(waiting_.size()));
        break;
      case Event::SendComplete:
        events_->WSOCK_SendComplete();
        break;
    }
  }
  return any;
}

void FakeSocket::Connect() {
  calls.push_back({scheduler_.Now(), "Connect", remoteHost});
  switch (script_.connect) {
    case ServerScript::ConnectMode::Accept:
      QueueConnect(true);
      if (!script_.greeting.empty()) QueueData(script_.greeting);
      break;
    case ServerScript::ConnectMode::NoEvent:
      break;
    case ServerScript::ConnectMode::EventNotConnected:
      QueueConnect(false);
      break;
  }
}

void FakeSocket::Respond(const std::string& command) {
  if (script_.completeSends) QueueSendComplete();
  if (!script_.reply) return;
  std::string reply = script_.reply(command);
  if (!reply.empty()) QueueData(std::move(reply));
}

void FakeSocket::SendData(std::string text) {
  wire += text;
  calls.push_back({scheduler_.Now(), "SendData", text});
  Respond(text);
}

void FakeSocket::SendMessageData(std::string_view mail) {
  calls.push_back({scheduler_.Now(), "SendMessageData", std::string(mail)});
  DotStuffer stuffer(mail);
  char buf[4096];
  while (!stuffer.Done()) wire.append(buf, stuffer.Fill(buf, sizeof buf));
  Respond("<message>");
}

void FakeSocket::GetData(std::string& out, std::int32_t maxBytes) {
  const std::size_t n = maxBytes < 0 ? 0 : std::min<std::size_t>(waiting_.size(), static_cast<std::size_t>(maxBytes));
  out.assign(waiting_, 0, n);
  waiting_.erase(0, n);
}

void FakeSocket::Close() {
  calls.push_back({scheduler_.Now(), "Close", {}});
  state_ = 0;
  queue_.clear();
  waiting_.clear();
}

std::vector<FakeSocket::Call> FakeSocket::CallsOf(const std::string& what) const {
  std::vector<Call> out;
  for (const Call& call : calls) {
    if (call.what == what) out.push_back(call);
  }
  return out;
}

// ---- window and clock ---------------------------------------------------

void FakeWindow::SetCaption(const std::string& caption) {
  captions.push_back({scheduler_.Now(), caption});
}

void FakeWindow::EndProcess(int code) {
  ++endProcessCalls;
  if (!exitCode) {
    exitCode = code;
    endedAt = scheduler_.Now();
  }
}

std::vector<std::string> FakeWindow::CaptionsAt(Millis at) const {
  std::vector<std::string> out;
  for (const Caption& caption : captions) {
    if (caption.at == at) out.push_back(caption.text);
  }
  return out;
}

std::string FakeClock::LogDateTime() {
  const Millis seconds = scheduler_.Now() / 1000;
  const Millis days = seconds / 86400;
  char text[48];
  std::snprintf(text, sizeof text, "2026/12/%02lld %02lld:%02lld:%02lld.%03lld",
                static_cast<long long>(7 + days), static_cast<long long>(seconds / 3600 % 24),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60),
                static_cast<long long>(scheduler_.Now() % 1000));
  return text;
}

}  // namespace tolvex::test
