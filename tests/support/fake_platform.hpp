// Fakes of the platform surface for run-control and SMTP tests: timers in
// virtual time, a scripted socket, a recording window, a clock and fixed
// cryptography. Nothing sleeps; hours of schedule run in milliseconds.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/crypto.hpp"
#include "base/event_log.hpp"
#include "base/platform.hpp"
#include "base/socket_buffers.hpp"

namespace tolvex::test {

using Millis = std::int64_t;

class VirtualScheduler;

// A periodic timer of the scheduler. Enabling a disabled timer makes its
// first tick fall one period later; enabling it again while enabled does
// not move that tick.
class FakeTimer : public Timer {
 public:
  FakeTimer(VirtualScheduler& scheduler, std::string name, Millis period);
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }

  const std::string& Name() const { return name_; }
  Millis Period() const { return period_; }
  Millis NextDue() const { return nextDue_; }
  int Ticks() const { return ticks_; }

 private:
  friend class VirtualScheduler;
  VirtualScheduler& scheduler_;
  std::string name_;
  Millis period_;
  bool enabled_ = false;
  Millis nextDue_ = 0;
  int ticks_ = 0;
  std::function<void()> handler_;
};

// Owns virtual time. Between two ticks it first delivers every pending
// event of the registered pumps (the socket's), then fires the earliest due
// enabled timer; timers due at the same moment fire in creation order.
class VirtualScheduler {
 public:
  Millis Now() const { return now_; }

  FakeTimer& AddTimer(std::string name, Millis period);
  void SetHandler(FakeTimer& timer, std::function<void()> handler);
  // Called between ticks; returns true while it delivered something.
  void AddPump(std::function<bool()> pump);
  // Stops the run loop once it returns true (the process ended).
  void SetStopCondition(std::function<bool()> stop);

  // Runs events and ticks up to and including time `until`.
  void RunUntil(Millis until);
  void RunFor(Millis span) { RunUntil(now_ + span); }
  // Delivers pending events without advancing time.
  void Pump();
  bool Stopped() const { return stop_ && stop_(); }

 private:
  std::vector<std::unique_ptr<FakeTimer>> timers_;
  std::vector<std::function<bool()>> pumps_;
  std::function<bool()> stop_;
  Millis now_ = 0;
};

// What the scripted server answers.
struct ServerScript {
  // Refused: nothing listens there; the socket reports "connection refused".
  enum class ConnectMode { Accept, NoEvent, EventNotConnected, Refused };
  ConnectMode connect = ConnectMode::Accept;
  // Several hosts (#HOS with backups): sets the script up for the server at
  // `host` at each Connect; unset: one server wherever the socket goes.
  std::function<void(const std::string& host, ServerScript& server)> atHost;
  // Sent as one arrival right after the connect event; empty sends nothing.
  std::string greeting = "220 mail.example ESMTP\r\n";
  // Reply to each command line (SendData text) or to the message
  // (SendMessageData, given "<message>"); an empty reply sends nothing.
  std::function<std::string(const std::string& command)> reply;
  // When false, no SendComplete follows the sends.
  bool completeSends = true;
  // TLS: the handshake's outcome for a request, "" for success or the
  // reason the socket reports. Unset: every handshake succeeds.
  std::function<std::string(const TlsRequest& request)> tls;
  // When false, a handshake reports neither success nor failure.
  bool handshakeEnds = true;
  // Replies once TLS is up; unset: `reply` answers then too.
  std::function<std::string(const std::string& command)> tlsReply;
  // A reply holding this text arrives in pieces, one arrival each, split
  // where it stands (the text itself is not sent); empty: whole.
  std::string pieceBreak;
  // The server closes the connection right after its answer to a command
  // for which this says true: the close follows the reply between the
  // same two ticks, as a socket reports a reply read together with it.
  std::function<bool(const std::string& command)> closesAfter;
  // Implicit TLS: the greeting comes after the handshake, not the connect.
  bool greetAfterTls = false;
  // A slow uplink: the message goes to the network only as Uplink hands it
  // over; its send completes (and is answered) once the last byte has gone.
  bool slowMessage = false;
  // A proxy in front of the server: what it answers to each of the first
  // sends of a connection (the handshake), in order. The greeting comes in
  // the same arrival as the last of them, not at the connect.
  std::vector<std::string> proxyReplies;
  // What TlsPeer() reports once TLS is up.
  TlsInfo tlsInfo{"TLS 1.3", "TLS_AES_128_GCM_SHA256", "CN=mail.example", "CN=Fake CA",
                  "2030-01-01 00:00:00 UTC"};
};

// A server that accepts everything: 250 to each command, 354 to DATA,
// 221 to QUIT.
ServerScript AcceptingServer();

// How an injected socket fault shows. A send that fails always drops the
// connection: no completion follows and nothing more arrives.
enum class SocketFault {
  Quiet,  // connect: no event; receive: the bytes never come
  Loud,   // connect: an event while not connected; receive: the peer closes
};

class FakeSocket : public Socket {
 public:
  struct Call {
    Millis at;
    std::string what;  // "Connect", "SendData", "SendMessageData", "Close", ...
    std::string text;  // the bytes sent (the message as the wire carries it)
  };

  FakeSocket(VirtualScheduler& scheduler, ServerScript script = AcceptingServer());

  void Attach(SocketEvents& events) { events_ = &events; }
  ServerScript& Script() { return script_; }

  // Queue events as the network would deliver them, between ticks.
  void QueueConnect(bool connected);
  void QueueData(std::string bytes);
  void QueueSendComplete();
  void QueueError(std::string reason);
  // The peer closes: "connection closed by the server", and from then on
  // the socket is PeerClosed.
  void QueueClose();
  // Delivers every queued event; true when there was any.
  bool Deliver();

  void SetRemotePort(std::int32_t port) override { remotePort = port; }
  void SetRemoteHost(const std::string& host) override { remoteHost = host; }
  void Connect() override;
  SocketState State() const override { return state_; }
  void SendData(std::string text) override;
  void SendMessageData(ByteSource& source) override;
  void GetData(std::string& out, std::int32_t maxBytes) override;
  std::uint64_t BytesAccepted() const override { return sends_.BytesAccepted() + trickled_; }
  std::string LocalAddress() const override {
    return state_ == SocketState::Connected ? localAddress : std::string();
  }
  // A slow network taking `n` more bytes of a send that has not completed.
  void Trickle(std::uint64_t n) { trickled_ += n; }
  // Under slowMessage: the network takes `n` more bytes of the message.
  void Uplink(std::uint64_t n);
  void StartTls(const TlsRequest& request) override;
  TlsInfo TlsPeer() const override { return tlsUp_ ? script_.tlsInfo : TlsInfo{}; }
  void Close() override;
  bool TlsUp() const { return tlsUp_; }

  // Fault injection, as FaultyFolder does for files: the Nth call of
  // Connect, SendData, SendMessageData or GetData (counted together from 1)
  // fails in the given way; 0 never fails.
  void FailCallAt(int n, SocketFault fault = SocketFault::Quiet) {
    failAt_ = n;
    fault_ = fault;
  }
  int FaultableCalls() const { return faultCount_; }
  // The call that failed ("Connect", "SendData", ...), empty while none has.
  const std::string& InjectedCall() const { return injected_; }

  // Calls of one kind, in order.
  std::vector<Call> CallsOf(const std::string& what) const;
  // Every byte written to the connection (the message dot-stuffed), in order.
  std::string wire;
  std::vector<Call> calls;
  std::int32_t remotePort = -1;
  std::string remoteHost;
  std::string localAddress = "192.0.2.10";  // the connection's own address
  std::vector<TlsRequest> tlsRequests;      // every StartTls, in order

 private:
  struct Event {
    enum Kind { Connect, Data, SendComplete, Error, Closed } kind;
    std::string bytes;
    bool connected = true;
  };
  void Respond(const std::string& command);
  // Counts a faultable call; true when this one is to fail.
  bool Trip(const char* what);
  // The connection is gone: nothing queued is sent or delivered.
  void Drop(SocketState state);
  // Hands everything queued to the "network" at once; returns the bytes.
  std::string Drain();

  VirtualScheduler& scheduler_;
  ServerScript script_;
  SocketEvents* events_ = nullptr;
  std::deque<Event> queue_;
  SendQueue sends_{4096};
  ReceiveBuffer received_;
  SocketState state_ = SocketState::Closed;
  std::uint64_t trickled_ = 0;
  std::size_t proxyStep_ = 0;  // the proxy replies given on this connection
  bool messageHeld_ = false;   // slowMessage: a message is going out
  bool tlsUp_ = false;
  int failAt_ = 0;
  SocketFault fault_ = SocketFault::Quiet;
  int faultCount_ = 0;
  std::string injected_;
};

class FakeWindow : public Window {
 public:
  struct Caption {
    Millis at;
    std::string text;
  };

  explicit FakeWindow(VirtualScheduler& scheduler) : scheduler_(scheduler) {}

  void SetCaption(const std::string& caption) override;
  void HideDebugButton() override { debugButtonHidden = true; }
  void ShowMinimized() override { minimized = true; }
  void Hide() override { hidden = true; }
  void AddTrayIcon() override { ++trayAdds; }
  void DeleteTrayIcon() override { ++trayDeletes; }
  void ReportFailure(const Failure& failure) override { failures.push_back(failure); }
  void EndProcess(int exitCode) override;

  std::string LastCaption() const {
    return captions.empty() ? std::string() : captions.back().text;
  }
  // Captions set at exactly virtual time `at`, in order.
  std::vector<std::string> CaptionsAt(Millis at) const;

  std::vector<Caption> captions;
  std::vector<Failure> failures;
  bool debugButtonHidden = false;
  bool minimized = false;
  bool hidden = false;
  int trayAdds = 0;
  int trayDeletes = 0;
  std::optional<int> exitCode;  // set by EndProcess
  Millis endedAt = -1;
  int endProcessCalls = 0;

 private:
  VirtualScheduler& scheduler_;
};

// "YYYY/MM/DD hh:mm:ss.mmm" from virtual time, starting at a fixed date.
class FakeClock : public Clock {
 public:
  explicit FakeClock(VirtualScheduler& scheduler) : scheduler_(scheduler) {}
  std::string LogDateTime() override;
  // 2026-12-07 (a Monday) 00:00:00 +0900 plus virtual time.
  LocalTime Now() override;
  // Whole seconds of virtual time.
  std::int64_t SteadySeconds() override { return scheduler_.Now() / 1000; }
  // Kept in `waits`; virtual time runs on by as much.
  void Wait(std::int64_t seconds) override {
    waits.push_back(seconds);
    scheduler_.RunFor(seconds * 1000);
  }

  std::vector<std::int64_t> waits;

 private:
  VirtualScheduler& scheduler_;
};

// Random bytes all 0xA5, a stand-in digest ("digest-of-" and the data) and
// a stand-in signature ("signed(" the key ":" the data ")"), so a test can
// write PKCE's values and a signed token out; or no random source at all.
struct FakeCrypto final : Crypto {
  bool RandomBytes(std::size_t n, Secret& out) override {
    if (!hasRandom) return false;
    out.Assign(std::string(n, static_cast<char>(0xA5)));
    return true;
  }
  std::string Sha256(std::string_view data) override { return "digest-of-" + std::string(data); }
  bool SignRs256(const Secret& key, std::string_view data, std::string& signature) override {
    signature = canSign ? "signed(" + std::string(key.View()) + ":" + std::string(data) + ")" : "";
    return canSign;
  }
  bool hasRandom = true;
  bool canSign = true;
};

// Every event reported, in order.
struct RecordingEventLog final : EventLog {
  struct Event {
    EventLevel level;
    EventKind kind;
    std::string text;
    bool operator==(const Event&) const = default;
  };
  void Report(EventLevel level, EventKind kind, std::string_view text) override {
    events.push_back({level, kind, std::string(text)});
  }
  std::string_view Where() const override { return "the test's event log"; }
  std::vector<Event> events;
};

}  // namespace tolvex::test
