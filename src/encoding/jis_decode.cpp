// ISO-2022-JP and Base64 decoders for reading messages back.
#include "encoding/jis_decode.hpp"

namespace tolvex {

std::string JisToSjis(std::string_view jis) {
  enum class Set { OneByte, Kanji, Katakana } set = Set::OneByte;
  std::string out;
  out.reserve(jis.size());
  for (std::size_t i = 0; i < jis.size();) {
    const auto c = static_cast<unsigned char>(jis[i]);
    if (c == 0x1B && i + 2 < jis.size()) {
      const char a = jis[i + 1];
      const char b = jis[i + 2];
      if (a == '$' && (b == 'B' || b == '@')) {
        set = Set::Kanji;
        i += 3;
        continue;
      }
      if (a == '(' && (b == 'B' || b == 'J')) {
        set = Set::OneByte;
        i += 3;
        continue;
      }
      if (a == '(' && b == 'I') {
        set = Set::Katakana;
        i += 3;
        continue;
      }
    }
    if (c == '\r' || c == '\n' || set == Set::OneByte || i + 1 >= jis.size()) {
      if (set == Set::Katakana && c >= 0x21 && c <= 0x5F) {
        out.push_back(static_cast<char>(c + 0x80));
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    if (set == Set::Katakana) {
      out.push_back(c >= 0x21 && c <= 0x5F ? static_cast<char>(c + 0x80) : static_cast<char>(c));
      ++i;
      continue;
    }
    const auto j1 = static_cast<unsigned>(c);
    const auto j2 = static_cast<unsigned char>(jis[i + 1]);
    i += 2;
    if (j1 < 0x21 || j1 > 0x7E || j2 < 0x21 || j2 > 0x7E) {
      out.append("\x81\xAC");  // 〓
      continue;
    }
    const unsigned n = (j1 - 0x21) * 94 + (j2 - 0x21);
    unsigned s1 = n / 188 + 0x81;
    unsigned s2 = n % 188 + 0x40;
    if (s1 > 0x9F) s1 += 0x40;
    if (s2 >= 0x7F) s2 += 1;
    out.push_back(static_cast<char>(s1));
    out.push_back(static_cast<char>(s2));
  }
  return out;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  unsigned bits = 0;
  int have = 0;
  int pad = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      ++pad;
      continue;
    } else {
      return std::nullopt;
    }
    if (pad > 0) return std::nullopt;  // text after the pad
    bits = ((bits << 6) | static_cast<unsigned>(v)) & 0xFFFFFF;
    have += 6;
    if (have >= 8) {
      have -= 8;
      out.push_back(static_cast<char>((bits >> have) & 0xFF));
    }
  }
  if (have >= 6 || pad > 2) return std::nullopt;
  return out;
}

}  // namespace tolvex
