// Base64 (RFC 4648), the program's one encoder: the standard alphabet or
// the URL-safe one, padded or not, in one line or in lines with CR LF.
// It writes into a buffer, a string or a Secret; a secret's Base64 is
// written straight into its Secret, so no other copy is left behind. It
// lives here, below encoding/, because the secret registry masks the
// Base64 forms of each secret.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/secret.hpp"

namespace tolvex {

struct Base64Form {
  bool urlSafe = false;  // "-" and "_" for "+" and "/" (RFC 4648 section 5)
  bool padded = true;    // "=" to a whole group of four characters
  // Lines of this many characters (a multiple of 4) with CR LF between
  // them; 0: one line.
  std::size_t lineChars = 0;
  bool breakAfterFullLast = false;  // a CR LF after a last line that is full too
};

// One line: the AUTH lines and the forms of a secret.
inline constexpr Base64Form kBase64OneLine{};
// PKCE's verifier, challenge and state.
inline constexpr Base64Form kBase64Url{.urlSafe = true, .padded = false};
// A message's text: lines of 72 characters, CR LF between them.
inline constexpr Base64Form kBase64TextLines{.lineChars = 72};
// A message's file: each full line of 72 characters followed by CR LF.
inline constexpr Base64Form kBase64FileLines{.lineChars = 72, .breakAfterFullLast = true};

// Exactly how many characters `n` bytes take.
std::size_t Base64Length(std::size_t n, const Base64Form& form);

// Writes Base64Length(n, form) characters at `out` and returns their end.
// Under breakAfterFullLast, input given in blocks of whole lines
// (lineChars / 4 * 3 bytes each; the last block excepted) comes out as it
// would whole.
char* WriteBase64(const char* bytes, std::size_t n, char* out, const Base64Form& form);

void AppendBase64(std::string_view bytes, std::string& out, const Base64Form& form = {});
void AppendBase64(std::string_view bytes, Secret& out, const Base64Form& form = {});

}  // namespace tolvex
