// The secrets a run holds (the password, the client secret, the tokens, a
// device code) and the forms in which a peer could send one back, so that
// every text from outside is masked before it is logged, printed or kept.
// A form is computed once, when its secret becomes known; each is kept as
// a Secret, wiped when dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/secret.hpp"

namespace tolvex {

inline constexpr char kMaskText[] = "***";

class SecretRegistry {
 public:
  // How long a secret is masked: for the whole run (the password, the
  // client secret), or while it is among the last kRecent (the tokens, a
  // new one at each send of a long run).
  enum class Span : std::uint8_t { Run, Recent };
  static constexpr std::size_t kRecent = 16;
  // A Base64 fragment shorter than this is not masked: its few characters
  // would also match ordinary words. The secret itself and the texts that
  // were sent are masked whatever their length.
  static constexpr std::size_t kShortestFragment = 6;

  // Registers `secret` with its forms: the bytes themselves, their form
  // encoding, and for each of the three alignments a secret can have
  // inside a longer Base64 text (an AUTH line), the Base64 characters that
  // depend on its bytes alone. Nothing for an empty or a known secret.
  void Add(std::string_view secret, Span span = Span::Run);
  // A text as it went out carrying a secret (the Base64 of an AUTH line):
  // masked whole.
  void AddSent(std::string_view text, Span span = Span::Run);

  // Every occurrence of every form replaced by "***", the longest forms
  // first (so a whole AUTH line becomes one "***").
  void Mask(std::string& text) const;
  std::string Masked(std::string_view text) const;
  bool Empty() const { return entries_.empty(); }

 private:
  struct Entry {
    std::vector<Secret> forms;  // forms[0]: the secret or the text itself
    Span span = Span::Run;
  };
  // True, and the span widened to `span`, when `first` is known.
  bool Known(std::string_view first, Span span);
  void Keep(Entry entry);

  std::vector<Entry> entries_;
};

}  // namespace tolvex
