// Where administrators look for failures: the Windows Event Log, syslog on
// Linux. Run control decides what is worth an event and words it
// (app/event_report.*); each platform writes it (the bundle's `events`).
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvex {

enum class EventLevel : std::uint8_t { Error, Warning, Information };

// "#EVT=": failures and kept mail's fates (the default), also each
// delivery, or nothing.
enum class EventsWanted : std::uint8_t { Failures, All, Off };

// What happened; the number is the event's ID in the Event Log and in the
// message table built into tolvex.exe.
enum class EventKind : std::uint16_t {
  DeliveryFailed = 1,
  Delivered = 2,
  Kept = 3,
  KeptDelivered = 4,
  KeptRefused = 5,
  KeptExpired = 6,
};

class EventLog {
 public:
  virtual ~EventLog() = default;
  // `text`: one line of UTF-8 naming the job's folder, the state, the
  // server's text and the kept file; never a secret or the message's text.
  // A log that cannot be written is passed over: the run goes on.
  virtual void Report(EventLevel level, EventKind kind, std::string_view text) = 0;
  // Where the events go, for --check ("syslog (tolvex, mail)").
  virtual std::string_view Where() const = 0;
};

}  // namespace tolvex
