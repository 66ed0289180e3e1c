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
  std::string block_;  // encoded text of one block, reused
  std::vector<char> input_;
};

// Writes into a string (MailData).
class StringWriter final : public MessageWriter {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void Reserve(std::uint64_t bytes) override;

 protected:
  IoError Put(std::string_view bytes) override;

 private:
  std::string& out_;
};

}  // namespace tolvex
