// The IBM extension characters of code page 932 (lead bytes 0xFA-0xFC):
// each has a twin elsewhere in code page 932 with a JIS row, a JIS X 0208
// code (¬, ∵), NEC row 13 (Ⅰ-Ⅹ, №, ℡, ㈱) or one of the NEC-selected IBM
// extensions (0xED40-0xEEFC: JIS rows 89-92, the kanji such as 髙). Mail
// readers' ISO-2022-JP decoders read those rows as code page 932 does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tolvex::cp932 {

// 0xFA40-0xFC4B: 188 trail bytes for 0xFA and 0xFB, 12 for 0xFC.
inline constexpr std::size_t kIbmCount = 2 * 188 + 12;

// The twin's code page 932 code for each IBM extension character in code
// order, 0 for none (generated: cp932_vendor_table.cpp).
extern const std::array<std::uint16_t, kIbmCount> kIbmToNec;

// The code page 932 code of the twin of the IBM extension character s1 s2
// (s1 0xFA-0xFC, s2 a trail byte); 0 when s1 s2 is no such character.
std::uint16_t IbmTwin(unsigned char s1, unsigned char s2);

}  // namespace tolvex::cp932
