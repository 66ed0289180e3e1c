// Address lists (#FRO, #TO, #CC, #BCC, #REP and the recipients of "mail",
// "cat " and "bin " lines) read the way RFC 5322 reads them where the plain
// reading would be plainly wrong: a "," or "<" inside a quoted string
// ("Suzuki, Ichiro" <s@example.jp>) belongs to the display name, so the
// envelope carries the mailbox the head shows. A quoted
// string counts only when its closing quote is there; a lone '"' is a
// character like any other, so a text without a closed quoted string is
// read exactly by the plain rules (split at every ",", the first "<").
//
// Texts are in the message's charset: code page 932 bytes are walked whole
// characters, so the trail byte 0x5C of 表 is no quoted-pair backslash; in
// UTF-8 every ASCII byte is a character of its own.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/text_encoding.hpp"

namespace tolvex {

// True when `text` holds a quoted string with its closing quote.
bool HasQuotedString(std::string_view text, MessageCharset charset);

// Position of the first character `c` at or after byte `from` that is not
// inside a closed quoted string; npos when there is none.
std::size_t FindOutsideQuotes(std::string_view text, char c, std::size_t from,
                              MessageCharset charset);

// The entries of an address list, untrimmed: the pieces between the commas
// outside quoted strings. An empty list is one empty entry; a trailing
// comma gives a last empty entry.
std::vector<std::string_view> AddressListEntries(std::string_view list, MessageCharset charset);

// The address of one entry that holds a closed quoted string: what lies
// between the first "<" outside quoted strings and the next ">" outside
// them (or the end of the text), the mailbox mail readers show for it; the
// entry unchanged when no "<" stands outside ("john doe"@example.jp).
std::string_view QuotedEntryAddress(std::string_view entry, MessageCharset charset);

}  // namespace tolvex
