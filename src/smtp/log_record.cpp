#include "smtp/log_record.hpp"

namespace tolvex {

std::string FormatLogRecord(std::string_view dateTime, SmtpStep step, std::string_view reply) {
  const std::string number = std::to_string(StepNumber(step));
  std::string record;
  record.reserve(dateTime.size() + number.size() + reply.size() + 4);
  record.append(dateTime).append(" ").append(number).append(" ").append(reply).append("\r\n");
  return record;
}

}  // namespace tolvex
