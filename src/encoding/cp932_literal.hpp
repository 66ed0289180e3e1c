// The program's own Japanese texts are written in the source as UTF-8 and
// become code page 932 while compiling: u8"送信中"_cp932 is a constant
// NUL-terminated string of the code page 932 bytes of 送信中. ASCII stays as
// it is; hiragana and katakana are counted into their rows; every other
// character must be in kTable, and a text holding one that is not stops the
// build there (the error names CharacterNotInTable).
#pragma once

#include <array>
#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace tolvex {
namespace cp932_literal {

struct Code {
  char32_t cp;
  unsigned char lead;
  unsigned char trail;
};

// The characters beside the kana that the texts use, with their code page
// 932 codes. A trail byte may be 0x5C (表).
inline constexpr Code kTable[] = {
    {U'、', 0x81, 0x41}, {U'。', 0x81, 0x42}, {U'ー', 0x81, 0x5B}, {U'（', 0x81, 0x69},
    {U'）', 0x81, 0x6A}, {U'一', 0x88, 0xEA}, {U'中', 0x92, 0x86}, {U'以', 0x88, 0xC8},
    {U'信', 0x90, 0x4D}, {U'入', 0x93, 0xFC}, {U'内', 0x93, 0xE0}, {U'再', 0x8D, 0xC4},
    {U'分', 0x95, 0xAA}, {U'切', 0x90, 0xD8}, {U'力', 0x97, 0xCD}, {U'効', 0x8C, 0xF8},
    {U'否', 0x94, 0xDB}, {U'回', 0x89, 0xF1}, {U'実', 0x8E, 0xC0}, {U'度', 0x93, 0x78},
    {U'待', 0x91, 0xD2}, {U'拒', 0x8B, 0x91}, {U'時', 0x8E, 0x9E}, {U'有', 0x97, 0x4C},
    {U'期', 0x8A, 0xFA}, {U'末', 0x96, 0x96}, {U'次', 0x8E, 0x9F}, {U'示', 0x8E, 0xA6},
    {U'端', 0x92, 0x5B}, {U'繰', 0x8C, 0x4A}, {U'行', 0x8D, 0x73}, {U'表', 0x95, 0x5C},
    {U'見', 0x8C, 0xA9}, {U'返', 0x95, 0xD4}, {U'送', 0x91, 0x97}, {U'閉', 0x95, 0xC2},
    {U'開', 0x8A, 0x4A}, {U'間', 0x8A, 0xD4}, {U'限', 0x8C, 0xC0},
};

// Hiragana ぁ-ん are 0x829F-0x82F1 in order; katakana ァ-ヶ are 0x8340-0x8396
// in order, 0x837F left out.
inline constexpr char32_t kFirstHiragana = U'ぁ', kLastHiragana = U'ん';
inline constexpr char32_t kFirstKatakana = U'ァ', kLastKatakana = U'ヶ';

// The code of a character other than ASCII; {0, 0, 0} when it has none here.
constexpr Code Find(char32_t cp) {
  if (cp >= kFirstHiragana && cp <= kLastHiragana) {
    return {cp, 0x82, static_cast<unsigned char>(0x9F + (cp - kFirstHiragana))};
  }
  if (cp >= kFirstKatakana && cp <= kLastKatakana) {
    const char32_t trail = 0x40 + (cp - kFirstKatakana);
    return {cp, 0x83, static_cast<unsigned char>(trail < 0x7F ? trail : trail + 1)};
  }
  for (const Code& c : kTable) {
    if (c.cp == cp) return c;
  }
  return {0, 0, 0};
}

// The character at `at` of well-formed UTF-8 (as a u8 literal is); `at`
// moves past it.
constexpr char32_t Next(std::u8string_view s, std::size_t& at) {
  const char32_t b = s[at++];
  if (b < 0x80) return b;
  const std::size_t more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
  char32_t cp = b & (0x3F >> more);
  for (std::size_t k = 0; k < more; ++k) cp = (cp << 6) | (s[at++] & 0x3F);
  return cp;
}

// True when every character of `s` can be written.
constexpr bool Covers(std::u8string_view s) {
  for (std::size_t at = 0; at < s.size();) {
    const char32_t cp = Next(s, at);
    if (cp >= 0x80 && Find(cp).lead == 0) return false;
  }
  return true;
}

// Called, while compiling, only for a character kTable lacks: not being
// constexpr, it makes that text's conversion fail to compile.
[[noreturn]] inline void CharacterNotInTable() { std::abort(); }

// The code page 932 length of `s`.
constexpr std::size_t Length(std::u8string_view s) {
  std::size_t n = 0;
  for (std::size_t at = 0; at < s.size();) {
    const char32_t cp = Next(s, at);
    if (cp >= 0x80 && Find(cp).lead == 0) CharacterNotInTable();
    n += cp < 0x80 ? 1 : 2;
  }
  return n;
}

// A u8 string literal as a template argument.
template <std::size_t N>
struct Utf8 {
  char8_t text[N];
  consteval Utf8(const char8_t (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
  constexpr std::u8string_view View() const { return {text, N - 1}; }
};

// The code page 932 bytes of S and a NUL.
template <Utf8 S>
inline constexpr auto kBytes = [] {
  std::array<char, Length(S.View()) + 1> out{};
  std::size_t n = 0;
  for (std::size_t at = 0; at < S.View().size();) {
    const char32_t cp = Next(S.View(), at);
    if (cp < 0x80) {
      out[n++] = static_cast<char>(cp);
    } else {
      const Code c = Find(cp);
      out[n++] = static_cast<char>(c.lead);
      out[n++] = static_cast<char>(c.trail);
    }
  }
  return out;
}();

}  // namespace cp932_literal

template <cp932_literal::Utf8 S>
consteval const char* operator""_cp932() {
  return cp932_literal::kBytes<S>.data();
}

}  // namespace tolvex
