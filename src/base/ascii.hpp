// ASCII helpers for keywords and values that are ASCII by definition.
#pragma once

#include <cstddef>
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

}  // namespace tolvex
