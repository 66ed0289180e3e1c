// The HTML alternative's rewriting and its text form. A small tag scanner
// that knows just enough HTML for both: tags with quoted or bare attribute
// values, comments, declarations, and the raw text of <script> and <style>.
// Text that is no tag is copied (rewriting) or decoded (text form) as it is.
#include "compose/html_body.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

std::size_t FindNoCase(std::string_view s, std::string_view what, std::size_t from = 0) {
  for (std::size_t i = from; i + what.size() <= s.size(); ++i) {
    if (EqualsNoCase(s.substr(i, what.size()), what)) return i;
  }
  return std::string_view::npos;
}

struct Attribute {
  std::string name;                // lower case
  std::size_t begin = 0, end = 0;  // the value, quotes excluded
  bool hasValue = false;
};

struct Tag {
  std::string name;  // lower case; empty for a comment or declaration
  bool closing = false;
  std::size_t end = 0;  // just after the ">"
  std::vector<Attribute> attributes;

  const Attribute* Find(std::string_view n) const {
    for (const Attribute& a : attributes) {
      if (a.name == n && a.hasValue) return &a;
    }
    return nullptr;
  }
};

// What starts at a '<': a tag, the text's own "<", or a tag (or comment, or
// quoted value) the document leaves open. Nothing after an open one can be
// read as a tag either, so the readers stop there: each '<' would otherwise
// scan to the end again, quadratic in a large damaged page.
enum class TagScan : std::uint8_t { Tag, Text, Open };

// The tag starting at s[at] == '<'.
TagScan ParseTag(std::string_view s, std::size_t at, Tag& tag) {
  tag = Tag{};
  std::size_t i = at + 1;
  if (s.substr(at, 4) == "<!--") {
    const std::size_t close = s.find("-->", at + 4);
    if (close == std::string_view::npos) return TagScan::Open;
    tag.end = close + 3;
    return TagScan::Tag;
  }
  if (i < s.size() && (s[i] == '!' || s[i] == '?')) {
    const std::size_t close = s.find('>', i);
    if (close == std::string_view::npos) return TagScan::Open;
    tag.end = close + 1;
    return TagScan::Tag;
  }
  if (i < s.size() && s[i] == '/') {
    tag.closing = true;
    ++i;
  }
  if (i >= s.size() || !IsLetter(s[i])) return TagScan::Text;
  while (i < s.size() && !IsBlank(s[i]) && s[i] != '/' && s[i] != '>') tag.name += Lower(s[i++]);
  while (i < s.size()) {
    while (i < s.size() && (IsBlank(s[i]) || s[i] == '/')) ++i;
    if (i >= s.size()) return TagScan::Open;
    if (s[i] == '>') {
      tag.end = i + 1;
      return TagScan::Tag;
    }
    Attribute a;
    while (i < s.size() && !IsBlank(s[i]) && s[i] != '=' && s[i] != '>' && s[i] != '/') {
      a.name += Lower(s[i++]);
    }
    if (a.name.empty()) a.name += s[i++];  // a stray "=" stands for a name
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i < s.size() && s[i] == '=') {
      ++i;
      while (i < s.size() && IsBlank(s[i])) ++i;
      if (i >= s.size()) return TagScan::Open;
      a.hasValue = true;
      if (s[i] == '"' || s[i] == '\'') {
        const std::size_t close = s.find(s[i], i + 1);
        if (close == std::string_view::npos) return TagScan::Open;
        a.begin = i + 1;
        a.end = close;
        i = close + 1;
      } else {
        a.begin = i;
        while (i < s.size() && !IsBlank(s[i]) && s[i] != '>') ++i;
        a.end = i;
      }
    }
    tag.attributes.push_back(std::move(a));
  }
  return TagScan::Open;
}

// Where the raw text of <script> or <style> opened by `tag` ends: at its
// closing tag, else at the end of the document.
std::size_t RawTextEnd(std::string_view s, const Tag& tag) {
  if (tag.closing || (tag.name != "script" && tag.name != "style")) return tag.end;
  const std::size_t close = FindNoCase(s, "</" + tag.name, tag.end);
  return close == std::string_view::npos ? s.size() : close;
}

struct NamedEntity {
  std::string_view name;
  char32_t cp;
};

constexpr std::array<NamedEntity, 19> kNamedEntities{{
    {"amp", U'&'},     {"lt", U'<'},       {"gt", U'>'},     {"quot", U'"'},  {"apos", U'\''},
    {"nbsp", 0xA0},    {"copy", 0xA9},     {"reg", 0xAE},    {"yen", 0xA5},   {"times", 0xD7},
    {"divide", 0xF7},  {"middot", 0xB7},   {"laquo", 0xAB},  {"raquo", 0xBB}, {"ndash", 0x2013},
    {"mdash", 0x2014}, {"hellip", 0x2026}, {"bull", 0x2022}, {"deg", 0xB0},
}};

// The character of the reference "&name;" (name without "&" and ";").
std::optional<char32_t> EntityChar(std::string_view name) {
  if (name.size() > 1 && name[0] == '#') {
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    char32_t cp = 0;
    for (char c : digits) {
      int d = -1;
      if (IsDigit(c)) d = c - '0';
      if (hex && Lower(c) >= 'a' && Lower(c) <= 'f') d = Lower(c) - 'a' + 10;
      if (d < 0) return std::nullopt;
      cp = cp * (hex ? 16 : 10) + static_cast<char32_t>(d);
    }
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return U'\uFFFD';
    return cp;
  }
  for (const NamedEntity& e : kNamedEntities) {
    if (e.name == name) return e.cp;
  }
  return std::nullopt;
}

bool HasScheme(std::string_view src) {
  if (src.empty() || !IsLetter(src[0])) return false;
  for (char c : src) {
    if (c == ':') return true;
    if (!IsLetter(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

// Block elements that end the line they are on; those in kParagraphs also
// leave an empty line.
constexpr std::array<std::string_view, 24> kBlocks{
    "div", "li",         "tr",      "table",  "ul",         "ol",      "dl",     "dt",
    "dd",  "blockquote", "pre",     "hr",     "section",    "article", "header", "footer",
    "nav", "form",       "address", "figure", "figcaption", "caption", "main",   "aside"};
constexpr std::array<std::string_view, 7> kParagraphs{"p", "h1", "h2", "h3", "h4", "h5", "h6"};
// Elements whose text is not shown.
constexpr std::array<std::string_view, 4> kHidden{"script", "style", "title", "template"};

template <std::size_t N>
bool OneOf(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The lines of the text form as they are made.
class TextLines {
 public:
  void Text(std::string_view text, bool pre) {
    for (char c : text) {
      if (pre) {
        if (c == '\n') {
          EndLine();
        } else if (c != '\r') {
          Put(c);
        }
      } else if (IsBlank(c)) {
        blank_ = true;
      } else {
        if (blank_ && !line_.empty()) Put(' ');
        blank_ = false;
        Put(c);
      }
    }
  }

  void EndLine() {
    while (!line_.empty() && (line_.back() == ' ' || line_.back() == '\t')) line_.pop_back();
    lines_.push_back(std::move(line_));
    line_.clear();
    blank_ = false;
  }

  void Break() {
    if (!line_.empty()) EndLine();
  }

  void Paragraph() {
    Break();
    if (!lines_.empty() && !lines_.back().empty()) lines_.emplace_back();
  }

  void Cell() {
    if (!line_.empty()) Put('\t');
    blank_ = false;
  }

  void OpenLink(std::string href) {
    href_ = std::move(href);
    linkText_.clear();
  }

  void CloseLink() {
    if (!href_.empty() && href_[0] != '#' && linkText_ != href_) {
      const std::string shown = " (" + href_ + ")";
      href_.clear();
      Text(shown, false);
    }
    href_.clear();
  }

  std::string Take() {
    Break();
    std::string out;
    bool empty = true;  // no empty line first, nor two in a row
    for (const std::string& line : lines_) {
      if (line.empty() && empty) continue;
      empty = line.empty();
      out.append(line).append("\r\n");
    }
    if (out.ends_with("\r\n\r\n")) out.resize(out.size() - 2);
    return out;
  }

 private:
  void Put(char c) {
    line_.push_back(c);
    if (!href_.empty() && !(c == ' ' && linkText_.empty())) linkText_.push_back(c);
  }

  std::vector<std::string> lines_;
  std::string line_;
  bool blank_ = false;
  std::string href_, linkText_;
};

}  // namespace

std::string DecodeEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '&') {
      const std::size_t semi = text.find(';', i + 1);
      if (semi != std::string_view::npos && semi - i <= 12) {
        if (std::optional<char32_t> cp = EntityChar(text.substr(i + 1, semi - i - 1))) {
          utf8::Append(out, *cp);
          i = semi + 1;
          continue;
        }
      }
    }
    out.push_back(text[i++]);
  }
  return out;
}

bool IsLocalImageSource(std::string_view src) {
  if (src.empty() || HasScheme(src) || src[0] == '/' || src[0] == '\\') return false;
  if (src.find_first_of("?#") != std::string_view::npos) return false;
  for (std::size_t at = 0; at <= src.size();) {
    std::size_t end = src.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = src.size();
    if (src.substr(at, end - at) == "..") return false;
    at = end + 1;
  }
  return true;
}

std::string InlineImageId(std::size_t k) {
  return "img" + std::to_string(k + 1) + "@tolvex.inline";
}

std::string_view ImageMimeType(std::string_view path) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kTypes{{
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".webp", "image/webp"},
      {".svg", "image/svg+xml"},
  }};
  for (const auto& [ext, type] : kTypes) {
    if (path.size() > ext.size() && EqualsNoCase(path.substr(path.size() - ext.size()), ext))
      return type;
  }
  return "application/octet-stream";
}

RewrittenHtml RewriteHtml(std::string_view html) {
  RewrittenHtml result;
  result.html.reserve(html.size() + 64);
  std::size_t copied = 0;  // html[..copied) is in result.html
  auto replace = [&](std::size_t begin, std::size_t end, std::string_view with) {
    result.html.append(html.substr(copied, begin - copied)).append(with);
    copied = end;
  };
  Tag tag;
  for (std::size_t i = html.find('<'); i != std::string_view::npos; i = html.find('<', i)) {
    const TagScan scan = ParseTag(html, i, tag);
    if (scan == TagScan::Open) break;
    if (scan == TagScan::Text) {
      ++i;
      continue;
    }
    if (!tag.closing && tag.name == "img") {
      if (const Attribute* src = tag.Find("src")) {
        const std::string path = DecodeEntities(html.substr(src->begin, src->end - src->begin));
        if (IsLocalImageSource(path)) {
          auto at = std::find(result.images.begin(), result.images.end(), path);
          if (at == result.images.end()) at = result.images.insert(at, path);
          const auto k = static_cast<std::size_t>(at - result.images.begin());
          replace(src->begin, src->end, "cid:" + InlineImageId(k));
        }
      }
    } else if (!tag.closing && tag.name == "meta") {
      const Attribute* equiv = tag.Find("http-equiv");
      const Attribute* content = tag.Find("content");
      if (const Attribute* charset = tag.Find("charset")) {
        replace(charset->begin, charset->end, "utf-8");
      } else if (equiv && content &&
                 EqualsNoCase(html.substr(equiv->begin, equiv->end - equiv->begin),
                              "content-type")) {
        const std::string_view value = html.substr(content->begin, content->end - content->begin);
        std::size_t at = FindNoCase(value, "charset=");
        if (at != std::string_view::npos) {
          at += 8;
          std::size_t end = at;
          while (end < value.size() && value[end] != ';' && !IsBlank(value[end])) ++end;
          replace(content->begin + at, content->begin + end, "utf-8");
        }
      }
    }
    i = RawTextEnd(html, tag);
  }
  result.html.append(html.substr(copied));
  return result;
}

std::string TextFromHtml(std::string_view html) {
  TextLines lines;
  int pre = 0;
  auto text = [&](std::string_view raw) {
    const std::string decoded = DecodeEntities(raw);
    // A no-break space reads as a space.
    std::string spaced;
    spaced.reserve(decoded.size());
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      const bool noBreak = decoded.compare(i, 2, "\xC2\xA0") == 0;
      spaced.push_back(noBreak ? ' ' : decoded[i]);
      if (noBreak) ++i;
    }
    lines.Text(spaced, pre > 0);
  };
  std::size_t from = 0;
  Tag tag;
  for (std::size_t i = html.find('<'); i != std::string_view::npos; i = html.find('<', i)) {
    const TagScan scan = ParseTag(html, i, tag);
    if (scan == TagScan::Open) {  // it takes the rest, as a browser reads it
      text(html.substr(from, i - from));
      from = html.size();
      break;
    }
    if (scan == TagScan::Text) {
      ++i;
      continue;
    }
    text(html.substr(from, i - from));
    from = tag.end;
    const std::string& name = tag.name;
    if (OneOf(kHidden, name) && !tag.closing) {
      const std::size_t close = FindNoCase(html, "</" + name, tag.end);
      from = close == std::string_view::npos ? html.size() : close;
    } else if (name == "br") {
      lines.EndLine();
    } else if (OneOf(kParagraphs, name)) {
      lines.Paragraph();
    } else if (OneOf(kBlocks, name)) {
      lines.Break();
      if (name == "pre") pre = std::max(0, pre + (tag.closing ? -1 : 1));
    } else if (name == "td" || name == "th") {
      if (!tag.closing) lines.Cell();
    } else if (name == "a") {
      const Attribute* href = tag.Find("href");
      if (tag.closing) {
        lines.CloseLink();
      } else if (href) {
        lines.OpenLink(DecodeEntities(html.substr(href->begin, href->end - href->begin)));
      }
    }
    i = from;
  }
  text(html.substr(from));
  return lines.Take();
}

}  // namespace tolvex
