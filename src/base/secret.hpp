// A secret held in memory (the SMTP AUTH password and what is built from
// it): bytes that are overwritten before their memory is given back. Also
// the form encoding secrets are sent in, built in a Secret (their Base64:
// base/base64.hpp).
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
  // Makes room for `n` more bytes at the end and returns where they start,
  // for the caller to write them there.
  char* Extend(std::size_t n);
  std::string_view View() const { return bytes_; }
  bool Empty() const { return bytes_.empty(); }
  std::size_t Size() const { return bytes_.size(); }
  void Wipe() { WipeString(bytes_); }

 private:
  // Grows in place up to this size, so no copy is left behind by a
  // reallocation.
  static constexpr std::size_t kReserve = 512;
  // Room for `more` bytes past the end, moving to a larger buffer by hand.
  void Reserve(std::size_t more);
  std::string bytes_;
};

// application/x-www-form-urlencoded: unreserved bytes as they are, the
// space as "+", every other byte as %XX.
void AppendFormEncoded(std::string_view value, Secret& out);

}  // namespace tolvex
