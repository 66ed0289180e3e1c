#include "smtp/reply_gatherer.hpp"

namespace tolvex {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A continuation line: three digits and "-". Every other whole line ends
// the reply, so a server that answers out of form is judged, not waited on.
bool IsContinuation(std::string_view line) {
  return line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
         line[3] == '-';
}

// The text after the code and its separator of each line but the first
// (which names the server), line ends removed.
template <class F>
void ForEachKeywordLine(std::string_view reply, F&& f) {
  bool first = true;
  while (!reply.empty()) {
    std::size_t end = reply.find('\n');
    std::string_view line = reply.substr(0, end);
    reply = end == std::string_view::npos ? std::string_view() : reply.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (!first && line.size() >= 4 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2])) {
      f(line.substr(4));
    }
    first = false;
  }
}

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) {
      std::string w(text.substr(start, i - start));
      for (char& c : w) c = Upper(c);
      out.push_back(std::move(w));
    }
  }
  return out;
}

}  // namespace

void ReplyGatherer::Add(std::string_view bytes) { data_.append(bytes); }

bool ReplyGatherer::Take(std::string& out) {
  while (scanned_ < data_.size()) {
    const std::size_t nl = data_.find('\n', scanned_);
    if (nl == std::string::npos) break;
    const std::string_view line = std::string_view(data_).substr(scanned_, nl + 1 - scanned_);
    scanned_ = nl + 1;
    if (!IsContinuation(line)) {
      out.assign(data_, 0, scanned_);
      data_.erase(0, scanned_);
      scanned_ = 0;
      return true;
    }
  }
  if (data_.size() >= kLimit) {
    out.assign(data_, 0, kLimit);
    Clear();
    return true;
  }
  return false;
}

void ReplyGatherer::Clear() {
  data_.clear();
  scanned_ = 0;
}

bool HasReplyCode(std::string_view reply) {
  if (reply.size() < 3 || !IsDigit(reply[0]) || !IsDigit(reply[1]) || !IsDigit(reply[2])) {
    return false;
  }
  return reply.size() == 3 || reply[3] == ' ' || reply[3] == '-' || reply[3] == '\r' ||
         reply[3] == '\n';
}

bool SameCodes(std::string_view reply) {
  const std::string_view code = reply.substr(0, 3);
  for (std::size_t start = 0; start < reply.size();) {
    if (reply.compare(start, 3, code) != 0) return false;
    const std::size_t lf = reply.find('\n', start);
    if (lf == std::string_view::npos) break;
    start = lf + 1;
  }
  return true;
}

bool OffersKeyword(std::string_view ehloReply, std::string_view keyword) {
  bool found = false;
  ForEachKeywordLine(ehloReply, [&](std::string_view text) {
    const std::vector<std::string> words = Words(text);
    if (words.empty() || words[0].size() != keyword.size()) return;
    bool same = true;
    for (std::size_t i = 0; i < keyword.size(); ++i)
      same = same && words[0][i] == Upper(keyword[i]);
    found = found || same;
  });
  return found;
}

std::optional<std::uint64_t> SizeLimit(std::string_view ehloReply) {
  std::optional<std::uint64_t> limit;
  ForEachKeywordLine(ehloReply, [&](std::string_view text) {
    const std::vector<std::string> words = Words(text);
    if (words.empty() || words[0] != "SIZE") return;
    std::uint64_t n = 0;
    if (words.size() > 1) {
      for (char c : words[1]) {
        if (!IsDigit(c) || n > (UINT64_MAX - 9) / 10) return;  // not a limit: ignored
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
      }
    }
    limit = n;
  });
  return limit;
}

std::vector<std::string> AuthMechanisms(std::string_view ehloReply) {
  std::vector<std::string> out;
  ForEachKeywordLine(ehloReply, [&](std::string_view text) {
    std::vector<std::string> words = Words(text);
    if (words.empty()) return;
    std::size_t first = 1;
    if (words[0].rfind("AUTH=", 0) == 0) {
      words[0] = words[0].substr(5);  // "AUTH=LOGIN PLAIN"
      first = 0;
    } else if (words[0] != "AUTH") {
      return;
    }
    for (std::size_t i = first; i < words.size(); ++i) {
      if (words[i].empty()) continue;
      bool seen = false;
      for (const std::string& m : out) seen = seen || m == words[i];
      if (!seen) out.push_back(words[i]);
    }
  });
  return out;
}

}  // namespace tolvex
