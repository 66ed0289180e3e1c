// The LOG.txt record and the cleaning of the server's text.
#include "smtp/log_record.hpp"

#include "base/sjis_text.hpp"

namespace tolvex {

std::string CleanServerText(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::min(text.size(), limit) + 8);
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t len = sjis::CharLen(text, pos);
    const auto b = static_cast<unsigned char>(text[pos]);
    std::string piece;
    // A lead byte without its second byte is shown as a byte too: kept raw
    // it would pair with the backslash of an escape that follows.
    if (len == 1 && (b < 0x20 || b == 0x7F || sjis::IsLeadByte(b))) {
      if (b == '\r') {
        piece = "\\r";
      } else if (b == '\n') {
        piece = "\\n";
      } else if (b == '\t') {
        piece = "\\t";
      } else {
        piece = {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
      }
    } else {
      piece.assign(text.substr(pos, len));
    }
    if (out.size() + piece.size() > limit) {
      while (out.size() + 3 > limit && !out.empty())
        out.resize(sjis::ByteOffsetOfChar(out, sjis::CharCount(out) - 1));
      out += "...";
      return out;
    }
    out += piece;
    pos += len;
  }
  return out;
}

std::string FormatLogRecord(std::string_view dateTime, SmtpStep step, std::string_view reply) {
  const bool ownLineEnd = reply.ends_with("\r\n");
  if (ownLineEnd) reply.remove_suffix(2);
  const std::string number = std::to_string(StepNumber(step));
  const std::string text = CleanServerText(reply);
  std::string record;
  record.reserve(dateTime.size() + number.size() + text.size() + 6);
  record.append(dateTime).append(" ").append(number).append(" ").append(text);
  if (ownLineEnd) record.append("\r\n");
  record.append("\r\n");
  return record;
}

}  // namespace tolvex
