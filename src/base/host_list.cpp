#include "base/host_list.hpp"

#include "base/sjis_text.hpp"

namespace tolvex {

std::vector<std::string> SplitHostList(std::string_view value) {
  std::vector<std::string> names;
  for (;;) {
    const std::size_t comma = value.find(',');
    const std::string_view name = sjis::Trim(value.substr(0, comma));
    if (name.empty()) return {};
    names.emplace_back(name);
    if (comma == std::string_view::npos) return names;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace tolvex
