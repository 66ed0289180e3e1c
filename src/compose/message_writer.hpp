// Where a composition writes the message: piece after piece, attachments
// Base64-encoded block by block, so no part of the message is built twice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/work_folder.hpp"

namespace tolvex {

class MessageWriter {
 public:
  virtual ~MessageWriter() = default;

  IoError Write(std::string_view bytes);
  // The Base64 text (file rule) of the whole file, in blocks of whole lines.
  IoError WriteFileBase64(InputFile& file);
  // Room for `bytes` more, when the writer can use the hint.
  virtual void Reserve(std::uint64_t /*bytes*/) {}

  std::uint64_t Written() const { return written_; }
  // The last failure came from writing, not from reading a file.
  bool WriteFailed() const { return writeFailed_; }
  bool EndsWithCrLf() const { return last_[0] == '\r' && last_[1] == '\n'; }

 protected:
  virtual IoError Put(std::string_view bytes) = 0;

 private:
  std::uint64_t written_ = 0;
  char last_[2] = {0, 0};
  bool writeFailed_ = false;
  std::vector<char> input_;  // one block of the file, reused
  std::vector<char> block_;  // its encoded text, reused
};

// The octets a line of the message may hold before its CR LF (RFC 5322).
inline constexpr std::size_t kMaxLineOctets = 998;

// Writes text into `out` so that no line passes `limit` octets: a longer
// line is broken with CR LF before the character that would pass it. The
// text is read as the composer writes it: ISO-2022-JP, whose escapes are
// never split and whose JIS X 0208 pairs stay whole; in two-byte text a
// break returns to one-byte text first and enters two-byte text again after
// it (ESC ( J CR LF ESC $ B), and the return must always fit. One-byte text
// is walked by code page 932 characters, so a part file in Shift_JIS is
// not split inside a character either. A CR or an LF ends a line (the
// session sends each as CR LF). Text whose lines fit goes through
// unchanged; nothing is copied but the breaks. Starts at the start of a
// line in the one-byte state; keeps its state from one Write to the next.
class LineLimiter {
 public:
  explicit LineLimiter(MessageWriter& out, std::size_t limit = kMaxLineOctets);
  IoError Write(std::string_view text);

 private:
  MessageWriter& out_;
  std::size_t limit_;
  std::size_t column_ = 0;  // octets written on the current line
  bool kanji_ = false;      // in JIS X 0208 text
};

// Writes into a string (the --check view, tests).
class StringWriter final : public MessageWriter {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void Reserve(std::uint64_t bytes) override;

 protected:
  IoError Put(std::string_view bytes) override;

 private:
  std::string& out_;
};

// Writes into a file (the new spool file) through a buffer of its own;
// large pieces go to the file directly.
class SpoolWriter final : public MessageWriter {
 public:
  explicit SpoolWriter(OutputFile& file, std::size_t bufferBytes = 64 * 1024);
  // Writes what is buffered; the caller then finishes the file.
  IoError Flush();

 protected:
  IoError Put(std::string_view bytes) override;

 private:
  OutputFile& file_;
  std::string buffer_;
  std::size_t capacity_;
};

}  // namespace tolvex
