// The delivery directives. Values are taken like every other directive's
// (the text after "=", spaces trimmed); unlike "#TO ", a line without "="
// is refused rather than taken whole as an address.
#include "command/delivery_directives.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/ascii.hpp"
#include "base/sjis_text.hpp"
#include "command/command_file.hpp"
#include "compose/address_list.hpp"
#include "compose/text_functions.hpp"

namespace tolvex {
namespace {

// A whole decimal number from `low` to `high`, nothing else.
bool ParseRange(std::string_view text, int low, int high, std::int16_t& out) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = static_cast<std::int16_t>(value);
  return true;
}

Status Retry(std::string_view value, std::size_t lineNo, RunState& st) {
  const std::size_t comma = sjis::FindChar(value, ',');
  std::int16_t retries = 0;
  std::int16_t minutes = 0;
  if (comma == sjis::npos ||
      !ParseRange(sjis::Trim(value.substr(0, comma)), 0, kMaxRetries, retries) ||
      !ParseRange(sjis::Trim(value.substr(comma + 1)), 1, kMaxRetryMinutes, minutes)) {
    std::string what = "\"#RTY\" value \"";
    what += value;
    what += "\" is not <retries>,<minutes> (retries 0 to " + std::to_string(kMaxRetries) +
            ", minutes 1 to " + std::to_string(kMaxRetryMinutes) + ")";
    return BadLine(lineNo, what);
  }
  st.RetryOn = true;
  st.RetryCount = retries;
  st.RetryMinutes = minutes;
  return std::nullopt;
}

// "#EVT=failures", "all" or "off", any case.
Status Events(std::string_view value, std::size_t lineNo, RunState& st) {
  if (SameAscii(value, "failures")) {
    st.Events = EventsWanted::Failures;
  } else if (SameAscii(value, "all")) {
    st.Events = EventsWanted::All;
  } else if (SameAscii(value, "off")) {
    st.Events = EventsWanted::Off;
  } else {
    std::string what = "\"#EVT\" value \"";
    what += value;
    what += "\" is not failures, all or off";
    return BadLine(lineNo, what);
  }
  return std::nullopt;
}

Status Queue(std::string_view value, std::size_t lineNo, RunState& st) {
  std::int16_t days = 0;
  if (!ParseRange(value, 0, kMaxQueueDays, days)) {
    std::string what = "\"#QUE\" value \"";
    what += value;
    what += "\" is not a number of days (0, or 1 to " + std::to_string(kMaxQueueDays) + ")";
    return BadLine(lineNo, what);
  }
  st.QueueLine = true;
  st.QueueDays = days;
  return std::nullopt;
}

// The trimmed, non-empty entries of an address list.
std::vector<std::string_view> Pieces(std::string_view list, MessageCharset charset) {
  std::vector<std::string_view> out;
  for (std::string_view entry : AddressListEntries(list, charset)) {
    const std::string_view piece = sjis::Trim(entry);
    if (!piece.empty()) out.push_back(piece);
  }
  return out;
}

}  // namespace

bool IsDeliveryKeyword(std::string_view key) {
  return key == "#CC=" || key == "#CC " || key == "#BCC" || key == "#RTY" || key == "#EVT" ||
         key == "#QUE";
}

Status DeliveryDirective(std::string_view key, std::string_view line, std::size_t lineNo,
                         RunState& st, CopyListLines& lines) {
  if (sjis::FindChar(line, '=') == sjis::npos) {
    std::string what = "\"";
    what += sjis::Trim(key);
    what += "\" line has no \"=\"";
    return BadLine(lineNo, what);
  }
  const std::string value = ValueAfter(line, '=');
  if (key == "#RTY") return Retry(value, lineNo, st);
  if (key == "#EVT") return Events(value, lineNo, st);
  if (key == "#QUE") return Queue(value, lineNo, st);
  if (key == "#BCC") {
    st.BccList = value;
    lines.bcc = lineNo;
  } else {
    st.CcList = value;
    lines.cc = lineNo;
  }
  return std::nullopt;
}

Status AddCopyRecipients(RunState& st, const CopyListLines& lines) {
  const std::vector<std::string_view> cc = Pieces(st.CcList, st.Charset);
  const std::vector<std::string_view> bcc = Pieces(st.BccList, st.Charset);
  const std::size_t total = static_cast<std::size_t>(st.ToCount) + cc.size() + bcc.size();
  if (total > static_cast<std::size_t>(kMaxRecipients)) {
    return BadLine(std::max(lines.cc, lines.bcc),
                   std::to_string(total) + " recipients in To, Cc and Bcc together, at most " +
                       std::to_string(kMaxRecipients) + " are allowed");
  }
  auto add = [&](const std::vector<std::string_view>& list, std::size_t lineNo,
                 std::string_view who) -> Status {
    for (std::size_t i = 0; i < list.size(); ++i) {
      for (char c : list[i]) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", b);
          std::string what(who);
          what += " recipient " + std::to_string(i + 1) + " holds the control byte " + hex;
          return BadLine(lineNo, what);
        }
      }
      ++st.ToCount;
      st.ToAddr[static_cast<std::size_t>(st.ToCount)].assign(list[i]);
    }
    return std::nullopt;
  };
  if (Status status = add(cc, lines.cc, "Cc")) return status;
  if (Status status = add(bcc, lines.bcc, "Bcc")) return status;
  st.CcCount = static_cast<std::int16_t>(cc.size());
  st.BccCount = static_cast<std::int16_t>(bcc.size());
  return std::nullopt;
}

}  // namespace tolvex
