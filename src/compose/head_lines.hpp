// The "Date:" and "Message-ID:" head lines every message carries, made
// afresh for each send: the date in RFC 5322 form (English names, numeric
// zone, whatever the locale), and an identifier no other send repeats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/platform.hpp"

namespace tolvex {

// "Date: Mon, 7 Dec 2026 09:32:02 +0900" CR LF.
std::string DateLine(const LocalTime& t);

// The domain of a Message-ID: the sender address's (the part after the
// last "@" of the address inside "<" ">"), else `localName` when it holds a
// dot, else "localhost.localdomain". A candidate with characters a domain
// cannot hold is passed over.
std::string MessageIdDomain(std::string_view fromAddr, std::string_view localName);

// Makes the identifiers of one process: the local time, a random part drawn
// for each one and a counter, so two sends never share one.
class MessageIdMaker {
 public:
  MessageIdMaker();
  // "Message-ID: <20261207093202.5f3c9a0b1d2e4f60.1@example.jp>" CR LF.
  std::string Line(const LocalTime& t, std::string_view domain);

 private:
  std::uint64_t seed_;
  std::uint32_t counter_ = 0;
};

// Both lines, as they go after "To:".
std::string StampLines(const LocalTime& t, std::string_view fromAddr, std::string_view localName,
                       MessageIdMaker& ids);

}  // namespace tolvex
