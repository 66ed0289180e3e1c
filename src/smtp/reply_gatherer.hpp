// Replies of the extended session, taken whole: a reply may come in any
// number of pieces and ends with its final line (code and a space, or the
// code alone). Also what an EHLO reply offers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

class ReplyGatherer {
 public:
  // A reply that grows past this without a final line is handed over as
  // far as it came, so a server cannot make the program hold ever more.
  static constexpr std::size_t kLimit = 64 * 1024;

  void Add(std::string_view bytes);
  // Moves the first complete reply (line ends included) into `out` and
  // returns true; false, leaving `out` alone, while none is complete.
  bool Take(std::string& out);
  void Clear();
  bool Empty() const { return data_.empty(); }
  // Bytes not yet taken.
  std::string_view Pending() const { return data_; }

 private:
  std::string data_;
  std::size_t scanned_ = 0;  // bytes of whole continuation lines already seen
};

// True when the reply begins with a code: three digits, then a space, a
// "-" or the end of the line.
bool HasReplyCode(std::string_view reply);

// True when every line of the reply carries the code of its first line
// (a multi-line reply is judged by its final line, which then says the same).
bool SameCodes(std::string_view reply);

// True when a line of the EHLO reply after the first (which names the
// server) offers `keyword` (ASCII case ignored): "250-STARTTLS".
bool OffersKeyword(std::string_view ehloReply, std::string_view keyword);

// The EHLO reply's SIZE extension: nullopt when not announced, else its
// limit in octets (0 when it gives none: no fixed limit).
std::optional<std::uint64_t> SizeLimit(std::string_view ehloReply);

// The mechanisms of the EHLO reply's "AUTH" lines (also the old
// "AUTH=LOGIN" form), upper-cased, in order.
std::vector<std::string> AuthMechanisms(std::string_view ehloReply);

}  // namespace tolvex
