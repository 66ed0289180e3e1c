// Internationalised addresses. A domain not in ASCII goes out as its
// A-label (DomainToAscii), in the envelope and in the head alike; a local
// part not in ASCII has no ASCII form and can go only with SMTPUTF8 (RFC
// 6531), which the session asks of the server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/text_encoding.hpp"

namespace tolvex {

struct AddressConversion {
  // A domain refused by the conversion, as written; empty when none.
  std::string refusedDomain;
  // The first address whose local part is not ASCII, in UTF-8; empty when
  // none.
  std::string utf8LocalAddress;
};

// Replaces the domain of each address of `list` (code page 932, or UTF-8
// when `charset` is) that is not ASCII by its A-label, the domain first
// made UTF-8. Stops at the first domain refused, `list` then partly
// converted. An ASCII list is left byte for byte.
void ConvertAddressDomains(std::string& list, MessageCharset charset, AddressConversion& result);

// The address as it goes out with SMTPUTF8: UTF-8.
std::string Utf8Address(std::string_view address, MessageCharset charset);

// An address field of a message that goes only with SMTPUTF8: "name "
// and the value in UTF-8 as written (RFC 6532), folded; CR LF not added.
std::string Utf8HeadAddressField(std::string_view name, std::string_view value,
                                 MessageCharset charset);

}  // namespace tolvex
