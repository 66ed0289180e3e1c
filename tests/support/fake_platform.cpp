#include "support/fake_platform.hpp"

#include <algorithm>
#include <cstdio>

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
      if (timer->enabled_ && (next == nullptr || timer->nextDue_ < next->nextDue_))
        next = timer.get();
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

void FakeSocket::QueueError(std::string reason) {
  queue_.push_back(Event{Event::Error, std::move(reason), true});
}

void FakeSocket::QueueClose() {
  queue_.push_back(Event{Event::Closed, "connection closed by the server", true});
}

bool FakeSocket::Deliver() {
  bool any = false;
  while (!queue_.empty() && events_ != nullptr) {
    Event& front = queue_.front();
    if (front.kind == Event::Data) {
      // The receive buffer is bounded: the rest waits until GetData makes room.
      const std::size_t n = std::min(front.bytes.size(), received_.Room());
      if (n == 0) break;
      received_.Append(std::string_view(front.bytes).substr(0, n));
      front.bytes.erase(0, n);
      if (front.bytes.empty()) queue_.pop_front();
      any = true;
      events_->WSOCK_DataArrival(received_.WaitingCount());
      continue;
    }
    Event event = std::move(front);
    queue_.pop_front();
    any = true;
    if (event.kind == Event::Connect) {
      state_ = event.connected ? SocketState::Connected : SocketState::Error;
      events_->WSOCK_Connect();
    } else if (event.kind == Event::Error) {
      events_->WSOCK_Error(event.bytes);
    } else if (event.kind == Event::Closed) {
      state_ = SocketState::PeerClosed;
      events_->WSOCK_Error(event.bytes);
    } else {
      events_->WSOCK_SendComplete();
    }
  }
  return any;
}

bool FakeSocket::Trip(const char* what) {
  ++faultCount_;
  if (failAt_ == 0 || faultCount_ != failAt_) return false;
  injected_ = what;
  return true;
}

void FakeSocket::Drop(SocketState state) {
  state_ = state;
  messageHeld_ = false;
  queue_.clear();
  sends_.Clear();
  received_.Clear();
}

void FakeSocket::Connect() {
  calls.push_back({scheduler_.Now(), "Connect", remoteHost});
  if (Trip("Connect")) {
    if (fault_ == SocketFault::Loud) QueueConnect(false);
    return;
  }
  if (script_.atHost) script_.atHost(remoteHost, script_);
  switch (script_.connect) {
    case ServerScript::ConnectMode::Refused:
      state_ = SocketState::Error;
      QueueError("connection refused");
      break;
    case ServerScript::ConnectMode::Accept:
      QueueConnect(true);
      proxyStep_ = 0;
      if (!script_.proxyReplies.empty()) break;  // the greeting follows the handshake
      if (!script_.greeting.empty() && !script_.greetAfterTls) QueueData(script_.greeting);
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
  if (proxyStep_ < script_.proxyReplies.size()) {
    std::string reply = script_.proxyReplies[proxyStep_++];
    if (proxyStep_ == script_.proxyReplies.size() && !script_.greetAfterTls) {
      reply += script_.greeting;
    }
    if (!reply.empty()) QueueData(std::move(reply));
    return;
  }
  const auto& answer = tlsUp_ && script_.tlsReply ? script_.tlsReply : script_.reply;
  if (!answer) return;
  std::string reply = answer(command);
  const std::string& cut = script_.pieceBreak;
  for (std::size_t at; !cut.empty() && (at = reply.find(cut)) != std::string::npos;) {
    if (at > 0) QueueData(reply.substr(0, at));
    reply.erase(0, at + cut.size());
  }
  if (!reply.empty()) QueueData(std::move(reply));
  if (script_.closesAfter && script_.closesAfter(command)) QueueClose();
}

std::string FakeSocket::Drain() {
  std::string bytes;
  for (std::string_view p = sends_.Pending(); !p.empty(); p = sends_.Pending()) {
    bytes.append(p);
    sends_.Consume(p.size());
  }
  sends_.TakeCompleted();
  wire += bytes;
  return bytes;
}

void FakeSocket::SendData(std::string text) {
  calls.push_back({scheduler_.Now(), "SendData", text});
  if (Trip("SendData")) {
    Drop(SocketState::Error);
    return;
  }
  if (state_ != SocketState::Connected) return;  // no connection: no completion
  sends_.PushText(std::move(text));
  Respond(Drain());
}

void FakeSocket::SendMessageData(ByteSource& source) {
  if (Trip("SendMessageData")) {
    calls.push_back({scheduler_.Now(), "SendMessageData", {}});
    Drop(SocketState::Error);
    return;
  }
  if (state_ != SocketState::Connected) {
    calls.push_back({scheduler_.Now(), "SendMessageData", {}});
    return;
  }
  sends_.PushSource(source);
  if (script_.slowMessage) {
    calls.push_back({scheduler_.Now(), "SendMessageData", {}});
    messageHeld_ = true;
    return;
  }
  calls.push_back({scheduler_.Now(), "SendMessageData", Drain()});
  // A stream that cannot be read to its end never completes.
  if (sends_.Failed()) return;
  Respond("<message>");
}

void FakeSocket::Uplink(std::uint64_t n) {
  if (!messageHeld_) return;
  for (std::string_view p = sends_.Pending(); n > 0 && !p.empty(); p = sends_.Pending()) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, p.size()));
    wire.append(p.substr(0, take));
    sends_.Consume(take);
    n -= take;
  }
  if (sends_.TakeCompleted() == 0) return;
  messageHeld_ = false;
  Respond("<message>");
}

void FakeSocket::StartTls(const TlsRequest& request) {
  calls.push_back({scheduler_.Now(), "StartTls", request.host});
  tlsRequests.push_back(request);
  if (state_ != SocketState::Connected || tlsUp_ || !sends_.Empty()) {
    QueueError("TLS: the connection is not ready");
    return;
  }
  // Bytes that came before TLS are dropped, queued ones included.
  received_.Clear();
  std::erase_if(queue_, [](const Event& e) { return e.kind == Event::Data; });
  if (!script_.handshakeEnds) return;
  const std::string failure = script_.tls ? script_.tls(request) : std::string();
  if (!failure.empty()) {
    state_ = SocketState::Error;
    QueueError(failure);
    return;
  }
  tlsUp_ = true;
  QueueSendComplete();
  if (script_.greetAfterTls && !script_.greeting.empty()) QueueData(script_.greeting);
}

void FakeSocket::GetData(std::string& out, std::int32_t maxBytes) {
  if (Trip("GetData")) {
    out.clear();
    if (fault_ == SocketFault::Loud) {
      Drop(SocketState::PeerClosed);
    } else {
      received_.Clear();  // these bytes are lost; the connection stays
    }
    return;
  }
  received_.Take(out, maxBytes);
}

void FakeSocket::Close() {
  calls.push_back({scheduler_.Now(), "Close", {}});
  state_ = SocketState::Closed;
  tlsUp_ = false;
  messageHeld_ = false;
  queue_.clear();
  sends_.Clear();
  received_.Clear();
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

LocalTime FakeClock::Now() {
  const Millis seconds = scheduler_.Now() / 1000;
  const Millis days = seconds / 86400;
  LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = static_cast<int>(7 + days);
  t.weekday = static_cast<int>((1 + days) % 7);
  t.hour = static_cast<int>(seconds / 3600 % 24);
  t.minute = static_cast<int>(seconds / 60 % 60);
  t.second = static_cast<int>(seconds % 60);
  t.utcOffsetMinutes = 9 * 60;
  return t;
}

}  // namespace tolvex::test
