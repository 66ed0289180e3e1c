// The writers a composition writes into: a string, the spool file.
#include "compose/message_writer.hpp"

#include <algorithm>
#include <new>

#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {
// Whole lines per block, so block-wise encoding gives the text of the file
// encoded whole.
constexpr std::size_t kBlockBytes = kBase64LineBytes * 19418;  // about 1 MiB
}  // namespace

IoError MessageWriter::Write(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  if (IoError error = Put(bytes)) {
    writeFailed_ = true;
    return error;
  }
  written_ += bytes.size();
  if (bytes.size() >= 2) {
    last_[0] = bytes[bytes.size() - 2];
  } else {
    last_[0] = last_[1];
  }
  last_[1] = bytes.back();
  return std::nullopt;
}

IoError MessageWriter::WriteFileBase64(InputFile& file) {
  const std::uint64_t size = file.Size();
  try {
    const auto first = static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlockBytes));
    if (input_.size() < first) input_.resize(first);
    if (block_.size() < Base64LinesLength(first)) block_.resize(Base64LinesLength(first));
    for (std::uint64_t at = 0; at < size;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, kBlockBytes));
      if (IoError error = ReadExactly(file, at, input_.data(), n)) return error;
      const char* end = WriteBase64Lines(input_.data(), n, block_.data());
      if (IoError error = Write(
              std::string_view(block_.data(), static_cast<std::size_t>(end - block_.data())))) {
        return error;
      }
      at += n;
    }
  } catch (const std::bad_alloc&) {
    return "not enough memory";
  }
  return std::nullopt;
}

void StringWriter::Reserve(std::uint64_t bytes) {
  const std::uint64_t total = out_.size() + bytes;
  if (total < out_.max_size()) out_.reserve(static_cast<std::size_t>(total));
}

IoError StringWriter::Put(std::string_view bytes) {
  try {
    out_.append(bytes);
  } catch (const std::bad_alloc&) {
    return "not enough memory";
  } catch (const std::length_error&) {
    return "the message is too large";
  }
  return std::nullopt;
}

SpoolWriter::SpoolWriter(OutputFile& file, std::size_t bufferBytes)
    : file_(file), capacity_(bufferBytes) {
  buffer_.reserve(capacity_);
}

IoError SpoolWriter::Flush() {
  if (buffer_.empty()) return std::nullopt;
  IoError error = file_.Write(buffer_);
  buffer_.clear();
  return error;
}

IoError SpoolWriter::Put(std::string_view bytes) {
  if (buffer_.size() + bytes.size() > capacity_) {
    if (IoError error = Flush()) return error;
  }
  if (bytes.size() >= capacity_) return file_.Write(bytes);
  buffer_.append(bytes);
  return std::nullopt;
}

}  // namespace tolvex
