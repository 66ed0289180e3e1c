// SMTP transparency for the message body, produced in chunks so the socket
// can stream the composed message without copying it whole.
#pragma once

#include <cstddef>
#include <string_view>

namespace tolvex {

// Streams `data` with a "." doubled at the start of the data and after
// every CR LF, except in the final "." CR LF terminator (the data normally
// ends with CR LF "." CR LF), which goes out once, unchanged. Every other
// byte is copied as is; a lone CR or LF does not start a line.
// `data` must stay alive and unchanged while the stuffer is used.
class DotStuffer {
 public:
  explicit DotStuffer(std::string_view data);

  // Writes the next at most `cap` bytes of the stuffed stream into `buf`
  // and returns how many were written (0 once Done(), or when cap is 0).
  std::size_t Fill(char* buf, std::size_t cap);

  // True once every byte of the stuffed stream has been produced.
  bool Done() const { return pos_ >= data_.size(); }

  // Size of the whole stuffed stream.
  static std::size_t StuffedSize(std::string_view data);

 private:
  bool LineStart(std::size_t pos) const;

  std::string_view data_;
  std::size_t pos_ = 0;
  std::size_t terminator_;    // offset of the final "." CR LF, or npos
  std::size_t extraDotAt_;    // line start whose extra "." is already out
};

}  // namespace tolvex
