// The events a run writes where administrators look (the platform's
// EventLog), filtered by "#EVT": each delivery's end (every attempt), and
// the fates of kept mail. Every text names the job's folder; the server's
// text is the one LOG.txt gets (the session has masked its secrets).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "app/message_view.hpp"
#include "base/event_log.hpp"
#include "smtp/delivery_end.hpp"

namespace tolvex {

class EventReport {
 public:
  // `folder`: the job's folder (UTF-8); `display`: code page 932 to UTF-8.
  EventReport(EventLog& log, std::string folder, DisplayText display)
      : log_(log), folder_(std::move(folder)), display_(std::move(display)) {}

  // What the command file asks for (failures until it has been read).
  EventsWanted wanted = EventsWanted::Failures;

  // A delivery ended: Error for a permanent, authentication or certificate
  // failure, Warning for a temporary one; under "all" Information when
  // delivered.
  void DeliveryEnded(const DeliveryEnd& end);
  // A message that was not delivered is kept as `file`: Warning.
  void Kept(std::string_view file);
  // Kept mail sent by a later run: delivered (Information), refused for
  // good (Error, with how the delivery ended), or too old to be sent
  // (Error).
  void KeptDelivered(std::string_view file);
  void KeptRefused(std::string_view file, const DeliveryEnd& end);
  // Refused without a delivery: `why` is ASCII text of the program's own.
  void KeptRefused(std::string_view file, std::string_view why);
  void KeptExpired(std::string_view file);

  // Where the events go, one line for --check.
  static std::string Destination(EventsWanted wanted, std::string_view where);

 private:
  void Put(EventLevel level, EventKind kind, std::string_view what, std::string_view file = {});
  // "state N: text", the text cleaned as LOG.txt's record is.
  std::string StateText(const DeliveryEnd& end) const;

  EventLog& log_;
  std::string folder_;
  DisplayText display_;
};

}  // namespace tolvex
