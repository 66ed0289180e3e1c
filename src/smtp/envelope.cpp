#include "smtp/envelope.hpp"

namespace tolvex {

std::string HelloName(std::string_view localName, std::string_view localAddress) {
  if (!localName.empty()) return std::string(localName);
  std::string_view address = localAddress.substr(0, localAddress.find('%'));
  if (address.empty()) return "[127.0.0.1]";
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && address.substr(0, kMapped.size()) == kMapped &&
      address.find('.') != std::string_view::npos) {
    address.remove_prefix(kMapped.size());
  }
  if (address.find(':') != std::string_view::npos) return "[IPv6:" + std::string(address) + "]";
  return "[" + std::string(address) + "]";
}

std::string EnvelopePath(std::string_view address) { return "<" + std::string(address) + ">"; }

}  // namespace tolvex
