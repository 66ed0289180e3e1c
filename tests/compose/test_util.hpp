// Helpers shared by the composition tests: a fresh work folder per test and
// file writing with exact bytes.
#pragma once

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include <unistd.h>

#include "platform/posix/work_folder.hpp"

namespace tolvex::testing {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> serial{0};
    path_ = std::filesystem::temp_directory_path() /
            ("tolvex-compose-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
    folder_ = std::make_unique<posix::PosixWorkFolder>(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder's files as the program opens them.
  WorkFolder& folder() { return *folder_; }

 private:
  std::filesystem::path path_;
  std::unique_ptr<WorkFolder> folder_;
};

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Test-side Base64 decoder, independent of the encoders under test.
inline std::string DecodeBase64(std::string_view text) {
  static const auto table = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
      t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
    return t;
  }();
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned bits = 0;
  int have = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    if (c == '=') break;
    const int v = table[static_cast<unsigned char>(c)];
    if (v < 0) return "<not Base64>";
    bits = ((bits << 6) | static_cast<unsigned>(v)) & 0xFFFFFF;
    have += 6;
    if (have >= 8) {
      have -= 8;
      out.push_back(static_cast<char>((bits >> have) & 0xFF));
    }
  }
  return out;
}

}  // namespace tolvex::testing
