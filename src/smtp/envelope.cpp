#include "smtp/envelope.hpp"

namespace tolvex {
namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) on "x" + string.
std::string Enclosed(std::string_view open, std::string_view text, std::string_view close) {
  std::string out;
  out.reserve(open.size() + text.size() + close.size());
  out.append(open);
  out.append(text);
  out.append(close);
  return out;
}

}  // namespace

std::string HelloName(std::string_view localName, std::string_view localAddress) {
  if (!localName.empty()) return std::string(localName);
  std::string_view address = localAddress.substr(0, localAddress.find('%'));
  if (address.empty()) return "[127.0.0.1]";
  constexpr std::string_view kMapped = "::ffff:";
  if (address.size() > kMapped.size() && address.substr(0, kMapped.size()) == kMapped &&
      address.find('.') != std::string_view::npos) {
    address.remove_prefix(kMapped.size());
  }
  if (address.find(':') != std::string_view::npos) return Enclosed("[IPv6:", address, "]");
  return Enclosed("[", address, "]");
}

std::string EnvelopePath(std::string_view address) { return Enclosed("<", address, ">"); }

}  // namespace tolvex
