#include "compose/address_list.hpp"

#include "base/sjis_text.hpp"

namespace tolvex {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// Bytes of the character at `i`: whole code page 932 characters; in UTF-8
// byte by byte, as only ASCII bytes are looked at.
std::size_t Step(std::string_view s, std::size_t i, MessageCharset charset) {
  return charset == MessageCharset::Utf8 ? 1 : sjis::CharLen(s, i);
}

// Just past the closing quote of the quoted string opening at `open` (a
// backslash takes the next character with it), or npos when none closes it.
std::size_t QuotedEnd(std::string_view s, std::size_t open, MessageCharset charset) {
  for (std::size_t i = open + 1; i < s.size();) {
    std::size_t len = Step(s, i, charset);
    if (len == 1 && s[i] == '"') return i + 1;
    if (len == 1 && s[i] == '\\' && i + 1 < s.size()) len += Step(s, i + 1, charset);
    i += len;
  }
  return npos;
}

// Calls `stop(i)` for each character at or after `from` outside closed
// quoted strings, until it returns true; returns that position or npos.
// Once a quote is found unclosed no later one closes either (the search for
// it walked the same characters), so the walk stays linear.
template <class Stop>
std::size_t WalkOutside(std::string_view s, std::size_t from, MessageCharset charset, Stop stop) {
  bool quotesMayClose = true;
  for (std::size_t i = from; i < s.size();) {
    if (quotesMayClose && s[i] == '"') {
      const std::size_t end = QuotedEnd(s, i, charset);
      if (end != npos) {
        i = end;
        continue;
      }
      quotesMayClose = false;
    }
    if (stop(i)) return i;
    i += Step(s, i, charset);
  }
  return npos;
}

}  // namespace

bool HasQuotedString(std::string_view text, MessageCharset charset) {
  for (std::size_t i = 0; i < text.size(); i += Step(text, i, charset)) {
    if (text[i] == '"') return QuotedEnd(text, i, charset) != npos;
  }
  return false;
}

std::size_t FindOutsideQuotes(std::string_view text, char c, std::size_t from,
                              MessageCharset charset) {
  return WalkOutside(text, from, charset, [&](std::size_t i) { return text[i] == c; });
}

std::vector<std::string_view> AddressListEntries(std::string_view list, MessageCharset charset) {
  std::vector<std::string_view> entries;
  std::size_t start = 0;
  WalkOutside(list, 0, charset, [&](std::size_t i) {
    if (list[i] == ',') {
      entries.push_back(list.substr(start, i - start));
      start = i + 1;
    }
    return false;
  });
  entries.push_back(list.substr(start));
  return entries;
}

std::string_view QuotedEntryAddress(std::string_view entry, MessageCharset charset) {
  const std::size_t open = FindOutsideQuotes(entry, '<', 0, charset);
  if (open == npos) return entry;
  const std::size_t close = FindOutsideQuotes(entry, '>', open + 1, charset);
  return entry.substr(open + 1, close == npos ? npos : close - open - 1);
}

}  // namespace tolvex
