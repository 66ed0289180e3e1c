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
  explicit SpoolWriter(OutputFile& file, std::size_t bufferBytes = 256 * 1024);
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
