// File names and display text on Linux: code page 932 bytes from the command
// file are converted to UTF-8 with iconv, since Linux file names and
// terminals are UTF-8. Names that do not convert are used as raw bytes.
#include "platform/native_path.hpp"

#include "base/text_convert.hpp"

#include <iconv.h>

#include <cerrno>
#include <optional>

namespace tolvex {
namespace {

std::optional<std::string> ConvertCp932(std::string_view text, bool lossy) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  out.resize(text.size() * 3 + 4);
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  bool ok = true;
  while (inLeft > 0) {
    if (iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1)) break;
    if (!lossy || errno == E2BIG) {
      ok = false;
      break;
    }
    // Skip one undecodable byte and show it as '?'.
    ++in;
    --inLeft;
    if (dstLeft == 0) break;
    *dst++ = '?';
    --dstLeft;
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

}  // namespace

std::filesystem::path NativePath(const std::filesystem::path& workDir, std::string_view cp932Name) {
  std::optional<std::string> utf8 = ConvertCp932(cp932Name, false);
  std::filesystem::path name(utf8 ? *utf8 : std::string(cp932Name));
  if (name.is_absolute()) return name;
  return workDir / name;
}

std::filesystem::path NativePathUtf8(const std::filesystem::path& workDir,
                                     std::string_view utf8Name) {
  std::filesystem::path name{std::string(utf8Name)};
  if (name.is_absolute()) return name;
  return workDir / name;
}

std::string Cp932ToUtf8(std::string_view text) {
  return ConvertCp932(text, true).value_or(std::string(text));
}

std::optional<std::string> Cp932ToUtf8Exact(std::string_view text) {
  if (text.empty()) return std::string();
  return ConvertCp932(text, false);
}

}  // namespace tolvex
