#include "compose/intl_address.hpp"

#include "base/idna.hpp"
#include "base/sjis_text.hpp"
#include "compose/address_list.hpp"
#include "compose/header_words.hpp"
#include "compose/message_charset.hpp"
#include "compose/text_functions.hpp"

namespace tolvex {
namespace {

constexpr std::size_t npos = std::string_view::npos;

// Where the address AngleAddress reads out of `entry` begins: after the
// first "<" (outside quoted strings when there are any), else 0.
std::size_t AddressStart(std::string_view entry, MessageCharset charset) {
  const std::size_t open = HasQuotedString(entry, charset)
                               ? FindOutsideQuotes(entry, '<', 0, charset)
                               : sjis::FindChar(entry, '<');
  return open == npos ? 0 : open + 1;
}

// The last "@" of the address, whole characters walked: in code page 932
// 0x40 is also a trail byte.
std::size_t LastAt(std::string_view address, MessageCharset charset) {
  std::size_t at = npos;
  for (std::size_t i = 0; i < address.size();) {
    const std::size_t len = charset == MessageCharset::Utf8 ? 1 : sjis::CharLen(address, i);
    if (len == 1 && address[i] == '@') at = i;
    i += len;
  }
  return at;
}

// An A-label form fit for an address: without STD3 rules the mapping
// turns a full-width space (U+3000) into a space, and such a result stays
// refused; characters that would end the address or the path too.
bool FitsAnAddress(std::string_view ascii) {
  if (ascii.empty()) return false;
  for (char c : ascii) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || std::string_view("<>()[]\\,;:@\"").find(c) != npos) return false;
  }
  return true;
}

}  // namespace

std::string Utf8Address(std::string_view address, MessageCharset charset) {
  return charset == MessageCharset::Utf8 ? std::string(address) : Cp932ToUtf8Lossy(address);
}

std::string Utf8HeadAddressField(std::string_view name, std::string_view value,
                                 MessageCharset charset) {
  std::string field(name);
  return FoldLongLines(field.append(" ").append(Utf8Address(value, charset)));
}

void ConvertAddressDomains(std::string& list, MessageCharset charset, AddressConversion& result) {
  if (!HasNonAscii(list)) return;
  std::string out;
  bool first = true;
  for (std::string_view entry : AddressListEntries(list, charset)) {
    if (!first) out.push_back(',');
    first = false;
    const std::string address = AngleAddress(entry, charset);
    const std::size_t at = LastAt(address, charset);
    if (at == npos) {
      out.append(entry);
      continue;
    }
    const std::string_view local = std::string_view(address).substr(0, at);
    // Spaces after the domain are the list's, trimmed when it is split.
    std::string_view domain = std::string_view(address).substr(at + 1);
    while (!domain.empty() && domain.back() == ' ') domain.remove_suffix(1);
    if (HasNonAscii(local) && result.utf8LocalAddress.empty())
      result.utf8LocalAddress = Utf8Address(address, charset);
    if (!HasNonAscii(domain)) {
      out.append(entry);
      continue;
    }
    const std::optional<std::string> ascii = DomainToAscii(Utf8Address(domain, charset));
    if (!ascii || !FitsAnAddress(*ascii)) {
      result.refusedDomain.assign(domain);
      return;
    }
    // The domain is the address's tail: what follows it in the entry (">"
    // and what comes after) stays.
    const std::size_t domainAt = AddressStart(entry, charset) + at + 1;
    out.append(entry.substr(0, domainAt))
        .append(*ascii)
        .append(entry.substr(domainAt + domain.size()));
  }
  list = std::move(out);
}

}  // namespace tolvex
