// Byte strings written as hexadecimal pairs ("1B 24 42"), for readable
// expectations of encoder output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tolvex::test {

inline std::string Hex(std::string_view pairs) {
  std::string bytes;
  for (std::size_t i = 0; i < pairs.size();) {
    if (pairs[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<char>(std::stoi(std::string(pairs.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

inline std::string ToHex(std::string_view bytes) {
  std::string text;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%s%02X", text.empty() ? "" : " ", b);
    text += buf;
  }
  return text;
}

}  // namespace tolvex::test
