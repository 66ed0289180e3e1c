#include "base/secret_registry.hpp"

#include <algorithm>

#include "base/base64.hpp"

namespace tolvex {

bool SecretRegistry::Known(std::string_view first, Span span) {
  for (Entry& e : entries_) {
    if (e.forms.front().View() != first) continue;
    if (span == Span::Run) e.span = Span::Run;
    return true;
  }
  return false;
}

void SecretRegistry::Keep(Entry entry) {
  const bool recent = entry.span == Span::Recent;
  entries_.push_back(std::move(entry));
  if (!recent) return;
  const auto isRecent = [](const Entry& e) { return e.span == Span::Recent; };
  if (static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), isRecent)) >
      kRecent) {
    entries_.erase(std::find_if(entries_.begin(), entries_.end(), isRecent));
  }
}

void SecretRegistry::Add(std::string_view secret, Span span) {
  if (secret.empty() || Known(secret, span)) return;
  Entry e;
  e.span = span;
  e.forms.emplace_back(secret);
  Secret form;
  AppendFormEncoded(secret, form);
  if (form.View() != secret) e.forms.push_back(form);
  // Inside a longer Base64 text the secret starts at bit 8 * shift of a
  // group of three bytes: the characters from the first whole sextet of
  // its bits to the last one depend on its bytes alone.
  for (std::size_t shift = 0; shift < 3; ++shift) {
    Secret padded;
    padded.Append(std::string_view("\0\0", shift));
    padded.Append(secret);
    form.Wipe();
    AppendBase64(padded.View(), form);
    const std::size_t first = (8 * shift + 5) / 6;
    const std::size_t end = (8 * (shift + secret.size())) / 6;
    if (end >= first + kShortestFragment) {
      e.forms.emplace_back(form.View().substr(first, end - first));
    }
  }
  Keep(std::move(e));
}

void SecretRegistry::AddSent(std::string_view text, Span span) {
  if (text.empty() || Known(text, span)) return;
  Entry e;
  e.span = span;
  e.forms.emplace_back(text);
  Keep(std::move(e));
}

void SecretRegistry::Mask(std::string& text) const {
  if (entries_.empty() || text.empty()) return;
  std::vector<std::string_view> forms;
  for (const Entry& e : entries_) {
    for (const Secret& f : e.forms) forms.push_back(f.View());
  }
  std::stable_sort(forms.begin(), forms.end(),
                   [](std::string_view a, std::string_view b) { return a.size() > b.size(); });
  constexpr std::size_t kMaskSize = sizeof kMaskText - 1;
  for (std::string_view form : forms) {
    for (std::size_t at = text.find(form); at != std::string::npos;
         at = text.find(form, at + kMaskSize)) {
      text.replace(at, form.size(), kMaskText);
    }
  }
}

std::string SecretRegistry::Masked(std::string_view text) const {
  std::string out(text);
  Mask(out);
  return out;
}

}  // namespace tolvex
