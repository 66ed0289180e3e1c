// The writers a composition writes into: a string, the spool file.
#include "compose/message_writer.hpp"

#include <algorithm>
#include <new>
#include <optional>

#include "base/sjis_text.hpp"
#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {
constexpr std::string_view kCrLf = "\r\n";
// Whole lines per block, so block-wise encoding gives the text of the file
// encoded whole.
constexpr std::size_t kBlockBytes = kBase64LineBytes * 1150;  // about 64 KiB
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

LineLimiter::LineLimiter(MessageWriter& out, std::size_t limit)
    : out_(out), limit_(std::max<std::size_t>(limit, 16)) {}

IoError LineLimiter::Write(std::string_view text) {
  constexpr std::string_view kBreakInKanji = "\x1B(J\r\n\x1B$B";
  constexpr std::size_t kEscapeLen = 3;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  std::size_t written = 0;  // text before this is written
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = byte(i);
    if (c == '\r' || c == '\n') {
      column_ = 0;
      ++i;
      continue;
    }
    // The next unit: an escape, a JIS pair, or a code page 932 character;
    // `room` is what it needs on the line, a return to one-byte text
    // included where one must follow.
    std::size_t len = 1;
    std::size_t room = 1;
    std::optional<bool> enters;  // an escape: into two-byte text or out of it
    if (c == 0x1B && i + 2 < text.size() &&
        ((byte(i + 1) == '$' && (byte(i + 2) == 'B' || byte(i + 2) == '@')) ||
         (byte(i + 1) == '(' && (byte(i + 2) == 'B' || byte(i + 2) == 'J')))) {
      enters = byte(i + 1) == '$';
      len = kEscapeLen;
      // Entering: the escape, one pair and the return. Leaving two-byte
      // text: its room was kept.
      room = *enters ? kEscapeLen + 2 + kEscapeLen : kanji_ ? 0 : kEscapeLen;
    } else if (kanji_) {
      len = i + 1 < text.size() && byte(i + 1) != '\r' && byte(i + 1) != '\n' ? 2 : 1;
      room = len + kEscapeLen;
    } else if (sjis::IsLeadByte(c) && i + 1 < text.size() && sjis::IsTrailByte(byte(i + 1))) {
      len = room = 2;
    }
    if (column_ + room > limit_) {
      const std::string_view breakText = kanji_ ? kBreakInKanji : kCrLf;
      if (IoError error = out_.Write(text.substr(written, i - written))) return error;
      if (IoError error = out_.Write(breakText)) return error;
      written = i;
      column_ = kanji_ ? kEscapeLen : 0;
    }
    if (enters) kanji_ = *enters;
    column_ += len;
    i += len;
  }
  return out_.Write(text.substr(written));
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
