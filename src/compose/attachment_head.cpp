// Content-Type and Content-Disposition lines of an attachment part, every
// line within 76 characters where the name is not ASCII.
#include "compose/attachment_head.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "base/text_convert.hpp"
#include "compose/header_words.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kOctet = "Content-Type: application/octet-stream;";
constexpr std::string_view kNameOpen = " name=\"";
constexpr std::string_view kDisposition = "Content-Disposition: attachment;";
constexpr std::string_view kUtf8Tag = "UTF-8''";

// RFC 2231 attribute characters, written as they are; every other byte is
// written as %XX.
bool IsAttributeChar(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// The percent-encoded UTF-8 text, one entry per character, so that a
// continuation never splits a character (some readers decode each
// continuation on its own).
std::vector<std::string> PercentChars(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::vector<std::string> chars;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    len = std::min(len, utf8.size() - i);
    std::string c;
    for (std::size_t k = 0; k < len; ++k) {
      const auto b = static_cast<unsigned char>(utf8[i + k]);
      if (IsAttributeChar(b)) {
        c.push_back(static_cast<char>(b));
      } else {
        c.push_back('%');
        c.push_back(kHex[b >> 4]);
        c.push_back(kHex[b & 15]);
      }
    }
    chars.push_back(std::move(c));
    i += len;
  }
  return chars;
}

void AppendContentType(std::string& out, std::string_view name) {
  // The whole name in one word after "name=" on the first line when it fits
  // there; else the name= parameter opens the next line. A fold just inside
  // the quotes would add a blank to the name; later words follow one.
  FoldedField first(kOctet);
  first.Raw(kNameOpen);
  first.Encoded("", name, 1);
  std::string line = first.Take();
  if (line.find('\n') != std::string::npos || line.size() + 1 > kFoldColumn) {
    FoldedField next(kNameOpen);
    next.Encoded("", name, 1);
    line = std::string(kOctet).append(kCrLf).append(next.Take());
  }
  out.append(line).append("\"").append(kCrLf);
}

void AppendDisposition(std::string& out, const std::string& utf8) {
  const std::vector<std::string> chars = PercentChars(utf8);
  std::string single(kDisposition);
  single.append(" filename*=").append(kUtf8Tag);
  for (const std::string& c : chars) single.append(c);
  if (single.size() <= kFoldColumn) {
    out.append(single).append(kCrLf);
    return;
  }
  const std::size_t folded =
      single.size() - kDisposition.size();  // the parameter on a line of its own
  if (folded <= kFoldColumn) {
    out.append(kDisposition)
        .append(kCrLf)
        .append(std::string_view(single).substr(kDisposition.size()));
    out.append(kCrLf);
    return;
  }
  // Continuations filename*0*=, filename*1*=, ... one a line, each line
  // but the last ending in ";".
  out.append(kDisposition);
  std::size_t k = 0;
  std::size_t n = 0;
  while (k < chars.size()) {
    std::string line = " filename*" + std::to_string(n) + "*=";
    if (n == 0) line.append(kUtf8Tag);
    const std::size_t head = line.size();
    while (k < chars.size() &&
           (line.size() == head || line.size() + chars[k].size() + 1 <= kFoldColumn)) {
      line.append(chars[k++]);
    }
    out.append(kCrLf).append(line);
    if (k < chars.size()) out.append(";");
    ++n;
  }
  out.append(kCrLf);
}

}  // namespace

std::string DispositionLines(const std::string& utf8) {
  std::string out;
  AppendDisposition(out, utf8);
  return out;
}

std::string QuotedName(std::string_view ascii) {
  std::string out = "\"";
  for (char c : ascii) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out.append("\"");
}

std::string AttachmentTypeLines(std::string_view name) {
  std::string out;
  if (!HasNonAscii(name)) {
    out.append(kOctet).append(" name=").append(QuotedName(name)).append(kCrLf);
    // A quote or a backslash escaped in name= is read wrongly by some
    // readers; filename* holds the name in a form all of them agree on.
    if (name.find_first_of("\"\\") != std::string_view::npos)
      AppendDisposition(out, std::string(name));
    return out;
  }
  AppendContentType(out, name);
  if (std::optional<std::string> utf8 = Cp932ToUtf8Exact(name)) AppendDisposition(out, *utf8);
  return out;
}

}  // namespace tolvex
