// Reading the token endpoint's JSON replies (inside oauth/ only: the
// library's headers stay private to this layer).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace tolvex::oauth {

// The value's text when it is a string, else "".
inline std::string JsonText(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

// A number of seconds a peer sends: a number, or a string of at most nine
// digits (some endpoints quote it). Held to 0..`most` here, so that no
// arithmetic on it can overflow; nullopt when absent or of another form.
inline std::optional<std::int64_t> JsonSeconds(const nlohmann::json& object, const char* name,
                                               std::int64_t most) {
  const auto it = object.find(name);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    const std::uint64_t v = it->get<std::uint64_t>();
    return v > static_cast<std::uint64_t>(most) ? most : static_cast<std::int64_t>(v);
  }
  if (it->is_number_integer()) {  // signed: negative, as the parser keeps them
    const std::int64_t v = it->get<std::int64_t>();
    return v <= 0 ? 0 : v > most ? most : v;
  }
  if (it->is_number_float()) {
    const double v = it->get<double>();
    if (!(v > 0)) return 0;
    return v >= static_cast<double>(most) ? most : static_cast<std::int64_t>(v);
  }
  if (!it->is_string()) return std::nullopt;
  const std::string& text = it->get_ref<const std::string&>();
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return v > most ? most : v;
}

}  // namespace tolvex::oauth
