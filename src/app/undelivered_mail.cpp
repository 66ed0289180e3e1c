// Undelivered mail kept as undelivered/<yyyymmdd-hhmmss>-<n>.eml.
#include "app/undelivered_mail.hpp"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "compose/message.hpp"

namespace tolvex {
namespace {

constexpr int kMaxSameSecond = 9999;

Failure SaveFailure(std::string_view name, std::string_view reason) {
  std::string text = "cannot keep the undelivered message as ";
  text += name;
  text += ": ";
  text += reason;
  return Failure{FailureKind::SpoolWriteFailed, std::move(text)};
}

IoError CopyMessage(const MailSpool& mail, OutputFile& out) {
  IoError error;
  const std::uint64_t size = MessageSize(mail, error);
  if (error) return error;
  std::vector<char> buf(64 * 1024);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), size - at));
    if ((error = ReadExactly(*mail.File(), at, buf.data(), n))) return error;
    if ((error = out.Write(std::string_view(buf.data(), n)))) return error;
    at += n;
  }
  return out.Finish();
}

}  // namespace

Status SaveUndelivered(WorkFolder& files, const MailSpool& mail, const LocalTime& now,
                       std::string& savedName) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", now.year % 10000, now.month % 100,
                now.day % 100, now.hour % 100, now.minute % 100, now.second % 100);
  const std::string base = std::string(kUndeliveredFolder) + "/" + stamp;
  if (!mail.File()) return SaveFailure(base + "-1.eml", "no message");
  if (IoError error = files.MakeFolder(kUndeliveredFolder)) {
    return SaveFailure(kUndeliveredFolder, *error);
  }
  // The temporary file is new and the program's own: a name already there
  // (a link planted there included) is passed over, never written through.
  IoError error;
  std::string partial;
  std::unique_ptr<OutputFile> out;
  for (int n = 1; !out && n <= kMaxSameSecond; ++n) {
    partial = base;
    if (n > 1) partial.append("-").append(std::to_string(n));
    partial.append(".eml.new");
    bool taken = false;
    out = files.CreateNew(partial, error, taken);
    if (!out && !taken) return SaveFailure(partial, *error);
  }
  if (!out) return SaveFailure(base + ".eml.new", "every temporary name is taken");
  error = CopyMessage(mail, *out);
  out.reset();
  if (error) {
    files.Remove(partial);
    return SaveFailure(partial, *error);
  }
  for (int n = 1; n <= kMaxSameSecond; ++n) {
    const std::string name = base + "-" + std::to_string(n) + ".eml";
    bool taken = false;
    error = files.PlaceNew(partial, name, taken);
    if (!error) {
      savedName = name;
      return std::nullopt;
    }
    if (!taken) {
      files.Remove(partial);
      return SaveFailure(name, *error);
    }
  }
  files.Remove(partial);
  return SaveFailure(base + ".eml", "every number is taken");
}

}  // namespace tolvex
