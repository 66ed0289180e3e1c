// ASCII helpers for keywords and values that are ASCII by definition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvex {

// Whether `text` equals `lower` (written in lower case) in any case.
constexpr bool SameAscii(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// A port: a whole decimal number from 1 to 65535, nothing else.
constexpr bool ParsePort(std::string_view text, std::int32_t& out) {
  if (text.empty() || text.size() > 5) return false;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  out = value;
  return true;
}

}  // namespace tolvex
