#include "app/event_report.hpp"

#include "smtp/log_record.hpp"

namespace tolvex {

void EventReport::Put(EventLevel level, EventKind kind, std::string_view what,
                      std::string_view file) {
  if (wanted == EventsWanted::Off) return;
  std::string text = "folder " + folder_ + ": ";
  text.append(what);
  if (!file.empty()) text.append(" (file ").append(display_(file)).append(")");
  log_.Report(level, kind, text);
}

std::string EventReport::StateText(const DeliveryEnd& end) const {
  std::string_view reply = end.text;
  if (reply.ends_with("\r\n")) reply.remove_suffix(2);
  std::string text = CleanServerText(reply);
  if (text.empty()) text = "(no reply)";
  return "state " + std::to_string(StepNumber(end.step)) + ": " + display_(text);
}

void EventReport::DeliveryEnded(const DeliveryEnd& end) {
  if (end.Delivered()) {
    if (wanted == EventsWanted::All)
      Put(EventLevel::Information, EventKind::Delivered, "delivered");
    return;
  }
  const EventLevel level = end.Temporary() ? EventLevel::Warning : EventLevel::Error;
  Put(level, EventKind::DeliveryFailed, StateText(end));
}

void EventReport::Kept(std::string_view file) {
  Put(EventLevel::Warning, EventKind::Kept, "the undelivered message is kept", file);
}

void EventReport::KeptDelivered(std::string_view file) {
  Put(EventLevel::Information, EventKind::KeptDelivered, "a kept message was delivered", file);
}

void EventReport::KeptRefused(std::string_view file, const DeliveryEnd& end) {
  Put(EventLevel::Error, EventKind::KeptRefused, "a kept message was refused, " + StateText(end),
      file);
}

void EventReport::KeptRefused(std::string_view file, std::string_view why) {
  Put(EventLevel::Error, EventKind::KeptRefused, "a kept message was refused: " + std::string(why),
      file);
}

void EventReport::KeptExpired(std::string_view file) {
  Put(EventLevel::Error, EventKind::KeptExpired, "a kept message expired unsent", file);
}

std::string EventReport::Destination(EventsWanted wanted, std::string_view where) {
  switch (wanted) {
    case EventsWanted::Off:
      return "none (#EVT=off)";
    case EventsWanted::All:
      return std::string(where) + ": failures, kept mail and each delivery";
    case EventsWanted::Failures:
      break;
  }
  return std::string(where) + ": failures and kept mail";
}

}  // namespace tolvex
