// Lookup of the twins of the IBM extension characters of code page 932.
#include "encoding/cp932_vendor.hpp"

namespace tolvex::cp932 {

std::uint16_t IbmTwin(unsigned char s1, unsigned char s2) {
  if (s1 < 0xFA || s1 > 0xFC || s2 < 0x40 || s2 == 0x7F || s2 > 0xFC) return 0;
  const std::size_t index = static_cast<std::size_t>(s1 - 0xFA) * 188 + (s2 - 0x40) - (s2 > 0x7F);
  return index < kIbmCount ? kIbmToNec[index] : 0;
}

}  // namespace tolvex::cp932
