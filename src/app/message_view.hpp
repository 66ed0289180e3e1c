// A composed message made readable for "--check": head lines unfolded and
// their encoded words decoded, ISO-2022-JP text shown as text, Base64
// parts summarised by name and size. The result is UTF-8.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

// Code page 932 text to UTF-8 for display (the platform's converter).
using DisplayText = std::function<std::string(std::string_view cp932)>;

struct AttachmentSummary {
  std::string name;  // UTF-8
  std::uint64_t bytes = 0;
};

struct MessageView {
  std::string text;  // UTF-8, lines ending in LF
  std::vector<AttachmentSummary> attachments;
  // A multipart message's MIME tree, one part a line, indented by depth:
  // "multipart/mixed", "  text/plain  120 bytes" (sizes decoded).
  std::vector<std::string> structure;
};

// `message`: the message as composed, ending in the "." line.
MessageView ViewMessage(std::string_view message, const DisplayText& display);

// One head field value with RFC 2047 encoded words decoded (ISO-2022-JP in
// B or Q form); anything else is shown as it stands.
std::string DecodeHeaderValue(std::string_view value, const DisplayText& display);

}  // namespace tolvex
