// MailSpool (the type of RunState::MailData): the composed message as a handle to its spool copy,
// not a copy in memory. The message is the first Size() bytes of the file (the spool holds one CR
// LF more). The file stays open from composition to the end of the delivery, so renaming or
// replacing TEMP.TXT cannot change what is sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/platform.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

class MailSpool {
 public:
  // `endOfData`: the file ends with the SMTP end-of-data line, as a
  // composed spool does; a kept .eml file does not.
  void Assign(std::shared_ptr<InputFile> file, std::uint64_t size, bool endOfData = true) {
    file_ = std::move(file);
    size_ = size;
    endOfData_ = endOfData;
  }
  // Lets go of the file; the message is empty.
  void Clear() {
    file_.reset();
    size_ = 0;
    endOfData_ = true;
  }
  bool Empty() const { return size_ == 0; }
  std::uint64_t Size() const { return size_; }
  const std::shared_ptr<InputFile>& File() const { return file_; }
  bool EndsWithEndOfData() const { return endOfData_; }

  // The message read whole: for tests and small messages only.
  std::string Bytes() const;

 private:
  std::shared_ptr<InputFile> file_;
  std::uint64_t size_ = 0;
  bool endOfData_ = true;
};

// The bytes [offset, offset + size) of a file, as a ByteSource. A file that
// comes up short makes it fail rather than end early.
class FileSource final : public ByteSource {
 public:
  FileSource(std::shared_ptr<InputFile> file, std::uint64_t offset, std::uint64_t size)
      : file_(std::move(file)), pos_(offset), end_(offset + size) {}

  std::size_t Fill(char* buf, std::size_t cap) override;
  bool Done() const override { return pos_ == end_; }
  bool Failed() const override { return failed_; }

 private:
  std::shared_ptr<InputFile> file_;
  std::uint64_t pos_;
  std::uint64_t end_;
  bool failed_ = false;
};

}  // namespace tolvex
