// The delivery directives of command.txt: "#CC=" and "#BCC=" (copy
// recipients), "#RTY=<retries>,<minutes>" (retries of deliveries that
// failed for the time being), "#QUE=<days>" (kept mail sent again), "#EVT="
// (what goes to syslog or the Event Log), and the recipients' assembly once
// the whole file is read.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/failure.hpp"
#include "base/run_state.hpp"

namespace tolvex {

// The line that last set each copy list (0: none), for failure texts.
struct CopyListLines {
  std::size_t cc = 0;
  std::size_t bcc = 0;
};

inline constexpr std::int16_t kMaxRetries = 100;
inline constexpr std::int16_t kMaxRetryMinutes = 1440;
inline constexpr std::int16_t kMaxQueueDays = 365;

// True for "#CC=", "#CC ", "#BCC", "#RTY", "#EVT" and "#QUE".
bool IsDeliveryKeyword(std::string_view key);

// Takes one such directive line (number `lineNo`) into `st`. A line without
// "=" or a bad "#RTY" or "#EVT" value stops the reading with CommandFileBad.
Status DeliveryDirective(std::string_view key, std::string_view line, std::size_t lineNo,
                         RunState& st, CopyListLines& lines);

// After ToAddr 1..ToCount holds the To addresses: appends the Cc and then
// the Bcc addresses (each trimmed; empty pieces are skipped) and raises
// ToCount to all of them. More than kMaxRecipients in all, or a control
// byte in a copy address, stops the reading with CommandFileBad.
Status AddCopyRecipients(RunState& st, const CopyListLines& lines);

}  // namespace tolvex
