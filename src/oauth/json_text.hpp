// Reading the token endpoint's JSON replies (inside oauth/ only: the
// library's headers stay private to this layer).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace tolvex::oauth {

// The value's text when it is a string, else "".
inline std::string JsonText(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_string()) return {};
  return it->get<std::string>();
}

}  // namespace tolvex::oauth
