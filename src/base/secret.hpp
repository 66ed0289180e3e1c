// A secret held in memory (the SMTP AUTH password and what is built from
// it): bytes that are overwritten before their memory is given back. Also
// the two encodings secrets are sent in, built in a Secret.
#pragma once

#include <string>
#include <string_view>

namespace tolvex {

// Overwrites `n` bytes at `p` in a way the compiler may not drop.
void WipeBytes(void* p, std::size_t n);
// Overwrites the string's bytes, then empties it.
void WipeString(std::string& s);

class Secret {
 public:
  Secret() = default;
  explicit Secret(std::string_view bytes) { Assign(bytes); }
  Secret(const Secret& other) { Assign(other.View()); }
  Secret& operator=(const Secret& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  ~Secret() { Wipe(); }

  // Replaces the bytes; the old ones are wiped first.
  void Assign(std::string_view bytes);
  void Append(std::string_view bytes);
  std::string_view View() const { return bytes_; }
  bool Empty() const { return bytes_.empty(); }
  std::size_t Size() const { return bytes_.size(); }
  void Wipe() { WipeString(bytes_); }

 private:
  // Grows in place up to this size, so no copy is left behind by a
  // reallocation.
  static constexpr std::size_t kReserve = 512;
  std::string bytes_;
};

// Appends the Base64 of `bytes` (one line, no breaks) to `out`.
void AppendBase64(std::string_view bytes, Secret& out);
// application/x-www-form-urlencoded: unreserved bytes as they are, the
// space as "+", every other byte as %XX.
void AppendFormEncoded(std::string_view value, Secret& out);

}  // namespace tolvex
