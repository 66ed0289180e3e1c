#include "smtp/dsn.hpp"

#include <utility>

namespace tolvex {

std::string Xtext(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < '!' || b > '~' || b == '+' || b == '=') {
      out += '+';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string EnvelopeId(std::string_view stampLines) {
  constexpr std::string_view kField = "Message-ID: <";
  const std::size_t at = stampLines.find(kField);
  if (at == std::string_view::npos) return {};
  std::string_view id = stampLines.substr(at + kField.size());
  id = id.substr(0, id.find('>'));
  std::string envid = Xtext(id);
  if (envid.size() > kMaxEnvelopeId) {
    std::size_t cut = kMaxEnvelopeId;
    // A "+" within the last two kept places begins an escape cut in two.
    for (std::size_t back = 1; back <= 2; ++back) {
      if (envid[kMaxEnvelopeId - back] == '+') cut = kMaxEnvelopeId - back;
    }
    envid.resize(cut);
  }
  return envid;
}

std::string NotifyList(const DsnRequest& dsn) {
  if (dsn.never) return "NEVER";
  std::string list;
  for (const auto& [asked, name] :
       {std::pair{dsn.success, "SUCCESS"}, std::pair{dsn.failure, "FAILURE"},
        std::pair{dsn.delay, "DELAY"}}) {
    if (!asked) continue;
    if (!list.empty()) list += ',';
    list += name;
  }
  return list;
}

std::string DsnMailParameters(std::string_view envid) {
  std::string text = " RET=HDRS";
  if (!envid.empty()) {
    text += " ENVID=";
    text += envid;
  }
  return text;
}

std::string DsnRcptParameters(const DsnRequest& dsn, std::string_view address) {
  return " NOTIFY=" + NotifyList(dsn) + " ORCPT=rfc822;" + Xtext(address);
}

}  // namespace tolvex
