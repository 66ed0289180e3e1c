#include "compose/head_lines.hpp"

#include <chrono>
#include <cstdio>
#include <random>

#include "compose/text_functions.hpp"

namespace tolvex {
namespace {

constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Letters, digits, "-" and ".", not starting or ending with a dot, no
// empty label: what a domain of a Message-ID may be.
bool UsableDomain(std::string_view d) {
  if (d.empty() || d.size() > 253 || d.front() == '.' || d.back() == '.') return false;
  char prev = 0;
  for (char c : d) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.';
    if (!ok || (c == '.' && prev == '.')) return false;
    prev = c;
  }
  return true;
}

std::uint64_t Mix(std::uint64_t x) {  // splitmix64
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

std::string DateLine(const LocalTime& t) {
  const int offset = t.utcOffsetMinutes;
  const int absOffset = offset < 0 ? -offset : offset;
  char buf[80];
  const int n = std::snprintf(
      buf, sizeof buf, "Date: %s, %d %s %04d %02d:%02d:%02d %c%02d%02d\r\n",
      kDays[((t.weekday % 7) + 7) % 7], t.day, kMonths[((t.month - 1) % 12 + 12) % 12], t.year,
      t.hour, t.minute, t.second, offset < 0 ? '-' : '+', absOffset / 60 % 100, absOffset % 60);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::string MessageIdDomain(std::string_view fromAddr, std::string_view localName) {
  const std::string address = AngleAddress(fromAddr);
  const std::size_t at = address.rfind('@');
  if (at != std::string::npos) {
    const std::string_view domain = std::string_view(address).substr(at + 1);
    if (UsableDomain(domain)) return std::string(domain);
  }
  if (localName.find('.') != std::string_view::npos && UsableDomain(localName)) {
    return std::string(localName);
  }
  return "localhost.localdomain";
}

MessageIdMaker::MessageIdMaker() {
  std::random_device device;
  const auto now = std::chrono::system_clock::now().time_since_epoch().count();
  seed_ = (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
          Mix(static_cast<std::uint64_t>(now)) ^ Mix(reinterpret_cast<std::uintptr_t>(this));
}

std::string MessageIdMaker::Line(const LocalTime& t, std::string_view domain) {
  ++counter_;
  std::random_device device;
  const std::uint64_t random =
      Mix(seed_ ^ (static_cast<std::uint64_t>(device()) << 32) ^ device() ^ counter_);
  char local[80];
  std::snprintf(local, sizeof local, "%04d%02d%02d%02d%02d%02d.%016llx.%u", t.year, t.month, t.day,
                t.hour, t.minute, t.second, static_cast<unsigned long long>(random),
                static_cast<unsigned>(counter_));
  std::string line = "Message-ID: <";
  line += local;
  line += '@';
  line += domain;
  line += ">\r\n";
  return line;
}

std::string StampLines(const LocalTime& t, std::string_view fromAddr, std::string_view localName,
                       MessageIdMaker& ids) {
  return DateLine(t) + ids.Line(t, MessageIdDomain(fromAddr, localName));
}

}  // namespace tolvex
