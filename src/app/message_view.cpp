// A composed message made readable: head words decoded, parts summarised.
#include "app/message_view.hpp"

#include "encoding/jis_decode.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";

struct Field {
  std::string name;
  std::string value;  // unfolded
};

struct Entity {
  std::vector<Field> fields;
  std::string_view body;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const Field* Find(const Entity& e, std::string_view name);

// Head fields up to the first empty line; `endAfter` (a field name) also
// ends the head once a Content-Type has been seen, for the plain message
// whose body follows its last field directly.
Entity Split(std::string_view text, std::string_view endAfter) {
  Entity e;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find(kCrLf, pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    const std::size_t next = std::min(end + 2, text.size());
    if (line.empty()) {
      e.body = text.substr(next);
      return e;
    }
    if ((line[0] == ' ' || line[0] == '\t') && !e.fields.empty()) {
      e.fields.back().value.append(line);
    } else {
      const std::size_t colon = line.find(':');
      if (colon == std::string_view::npos) {  // not a field: the body begins
        e.body = text.substr(pos);
        return e;
      }
      std::string_view value = line.substr(colon + 1);
      if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
      e.fields.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }
    pos = next;
    if (!endAfter.empty() && EqualsNoCase(e.fields.back().name, endAfter) &&
        Find(e, "Content-Type") != nullptr &&
        !(pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))) {
      e.body = text.substr(pos);
      return e;
    }
  }
  return e;
}

const Field* Find(const Entity& e, std::string_view name) {
  for (const Field& f : e.fields) {
    if (EqualsNoCase(f.name, name)) return &f;
  }
  return nullptr;
}

// A parameter of a structured field: name=value or name="value".
std::string Param(std::string_view value, std::string_view name) {
  for (std::size_t at = 0; (at = value.find(name, at)) != std::string_view::npos;
       at += name.size()) {
    const bool start = at == 0 || value[at - 1] == ';' || value[at - 1] == ' ';
    if (!start || at + name.size() >= value.size() || value[at + name.size()] != '=') continue;
    std::string_view rest = value.substr(at + name.size() + 1);
    if (!rest.empty() && rest[0] == '"') {
      rest.remove_prefix(1);
      return std::string(rest.substr(0, rest.find('"')));
    }
    return std::string(rest.substr(0, rest.find(';')));
  }
  return {};
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// "%XX" (RFC 2231) or "=XX" (the Q encoding, where "_" is a space).
std::string HexDecode(std::string_view text, char escape) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (escape == '=' && text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] == escape && i + 2 < text.size() && Hex(text[i + 1]) >= 0 &&
               Hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// An attachment's name: RFC 2231 filename* (UTF-8) when present, else the
// name parameter of its Content-Type.
std::string AttachmentName(const Entity& part, const DisplayText& display) {
  if (const Field* cd = Find(part, "Content-Disposition")) {
    std::string star = Param(cd->value, "filename*");
    if (star.empty()) {
      // Continuations: filename*0*=, filename*1*=, ...
      for (int k = 0;; ++k) {
        std::string piece = Param(cd->value, "filename*" + std::to_string(k) + "*");
        if (piece.empty()) break;
        star += piece;
      }
    }
    const std::size_t quote = star.find("''");
    if (quote != std::string::npos) return HexDecode(star.substr(quote + 2), '%');
  }
  if (const Field* ct = Find(part, "Content-Type")) {
    return DecodeHeaderValue(Param(ct->value, "name"), display);
  }
  return {};
}

std::uint64_t Base64Bytes(std::string_view text) {
  std::uint64_t chars = 0;
  std::uint64_t pad = 0;
  for (char c : text) {
    if (c == '=') {
      ++pad;
    } else if (c != '\r' && c != '\n') {
      ++chars;
    }
  }
  return (chars + pad) / 4 * 3 - pad;
}

void AppendFields(const Entity& e, const DisplayText& display, std::string& out) {
  for (const Field& f : e.fields) {
    out.append(display(f.name))
        .append(": ")
        .append(DecodeHeaderValue(f.value, display))
        .append("\n");
  }
}

// Text with CR LF line ends, shown with LF.
void AppendText(std::string_view text, const DisplayText& display, std::string& out) {
  const std::string shown = display(JisToSjis(text));
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\r' && i + 1 < shown.size() && shown[i + 1] == '\n') continue;
    out.push_back(shown[i]);
  }
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
}

// A UTF-8 text part in Base64 (the UTF-8 message form), shown decoded.
bool AppendUtf8Text(const Entity& e, std::string& out, bool blankFirst = false) {
  const Field* type = Find(e, "Content-Type");
  const Field* encoding = Find(e, "Content-Transfer-Encoding");
  if (!type || !encoding || !EqualsNoCase(encoding->value, "base64") ||
      !EqualsNoCase(Param(type->value, "charset"), "UTF-8")) {
    return false;
  }
  const std::optional<std::string> text = DecodeBase64(e.body);
  if (!text) return false;
  if (blankFirst) out.push_back('\n');
  for (std::size_t i = 0; i < text->size(); ++i) {
    if ((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n') continue;
    out.push_back((*text)[i]);
  }
  if (!out.empty() && out.back() != '\n') out.push_back('\n');
  return true;
}

// A multipart/alternative or multipart/related: its parts are the body
// (text, HTML, inline images), not attachments.
bool IsBodyMultipart(std::string_view type) {
  const std::string_view mime = type.substr(0, type.find(';'));
  return EqualsNoCase(mime, "multipart/alternative") || EqualsNoCase(mime, "multipart/related");
}

// The parts between the delimiters of `boundary`, a multipart part's own
// parts indented below it in the structure; `body` when they belong to the
// body.
void AppendParts(std::string_view rest, const std::string& boundary, const DisplayText& display,
                 MessageView& view, int depth, bool body) {
  const std::string delimiter = "--" + boundary;
  for (std::size_t at = rest.find(delimiter); at != std::string_view::npos;) {
    std::size_t start = at + delimiter.size();
    if (rest.substr(start, 2) == "--") break;  // the closing delimiter
    if (rest.substr(start, 2) == kCrLf) start += 2;
    std::size_t next = rest.find("\r\n" + delimiter, start);
    const std::string_view partText =
        rest.substr(start, next == std::string_view::npos ? std::string_view::npos : next - start);
    const Entity part = Split(partText, {});
    view.text.append(delimiter).append("\n");
    AppendFields(part, display, view.text);
    const Field* encoding = Find(part, "Content-Transfer-Encoding");
    const Field* type = Find(part, "Content-Type");
    const std::string mimeType = type ? type->value.substr(0, type->value.find(';')) : "text/plain";
    std::string shape(static_cast<std::size_t>(depth) * 2 + 2, ' ');
    shape.append(mimeType);
    const bool base64 = encoding && EqualsNoCase(encoding->value, "base64");
    const std::string inner = type ? Param(type->value, "boundary") : std::string();
    if (!inner.empty()) {
      view.structure.push_back(shape);
      view.text.append("\n");
      AppendParts(part.body, inner, display, view, depth + 1, body || IsBodyMultipart(type->value));
      if (next == std::string_view::npos) break;
      at = next + 2;
      continue;
    }
    shape.append("  ").append(std::to_string(base64 ? Base64Bytes(part.body) : part.body.size()));
    view.structure.push_back(shape.append(" bytes"));
    // The HTML alternative is shown by its size, like an attachment.
    if (!(body && EqualsNoCase(mimeType, "text/html")) && AppendUtf8Text(part, view.text, true)) {
      // shown as text
    } else if (base64) {
      AttachmentSummary a{AttachmentName(part, display), Base64Bytes(part.body)};
      view.text.append("[").append(std::to_string(a.bytes)).append(" bytes, Base64]\n");
      // The HTML and its inline images belong to the body.
      if (!body) view.attachments.push_back(std::move(a));
    } else {
      view.text.append("\n");
      AppendText(part.body, display, view.text);
    }
    if (next == std::string_view::npos) break;
    at = next + 2;
  }
  view.text.append(delimiter).append("--\n");
}

}  // namespace

std::string DecodeHeaderValue(std::string_view value, const DisplayText& display) {
  std::string out;
  std::size_t pos = 0;
  bool lastWasWord = false;
  while (pos < value.size()) {
    const std::size_t open = value.find("=?", pos);
    std::size_t q1 = open == std::string_view::npos ? open : value.find('?', open + 2);
    std::size_t q2 = q1 == std::string_view::npos ? q1 : value.find('?', q1 + 1);
    std::size_t close = q2 == std::string_view::npos ? q2 : value.find("?=", q2 + 1);
    if (close == std::string_view::npos) {
      out.append(display(value.substr(pos)));
      break;
    }
    std::string_view between = value.substr(pos, open - pos);
    // White space between two encoded words is not part of the text.
    if (!(lastWasWord && between.find_first_not_of(" \t") == std::string_view::npos)) {
      out.append(display(between));
    }
    const std::string_view charset = value.substr(open + 2, q1 - open - 2);
    const std::string_view encoding = value.substr(q1 + 1, q2 - q1 - 1);
    const std::string_view text = value.substr(q2 + 1, close - q2 - 1);
    std::optional<std::string> bytes;
    if (EqualsNoCase(encoding, "B")) {
      bytes = DecodeBase64(text);
    } else if (EqualsNoCase(encoding, "Q")) {
      bytes = HexDecode(text, '=');
    }
    if (bytes && EqualsNoCase(charset, "ISO-2022-JP")) {
      out.append(display(JisToSjis(*bytes)));
    } else if (bytes && EqualsNoCase(charset, "UTF-8")) {
      out.append(*bytes);
    } else {
      out.append(display(value.substr(open, close + 2 - open)));
    }
    lastWasWord = true;
    pos = close + 2;
  }
  return out;
}

MessageView ViewMessage(std::string_view message, const DisplayText& display) {
  if (message.ends_with("\r\n.\r\n")) {
    message.remove_suffix(3);
  } else if (message == ".\r\n") {
    message = {};
  }
  MessageView view;
  const Entity head = Split(message, "X-Mailer");
  AppendFields(head, display, view.text);
  view.text.append("\n");
  const Field* type = Find(head, "Content-Type");
  const std::string boundary = type ? Param(type->value, "boundary") : std::string();
  if (boundary.empty()) {
    if (!AppendUtf8Text(head, view.text)) AppendText(head.body, display, view.text);
    return view;
  }
  view.structure.push_back(type->value.substr(0, type->value.find(';')));
  AppendParts(head.body, boundary, display, view, 0, IsBodyMultipart(type->value));
  return view;
}

}  // namespace tolvex
