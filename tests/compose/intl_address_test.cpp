// Address lists with domains not in ASCII: each such domain replaced by its
// A-label where it stands, the rest of the list byte for byte; a refused
// domain named; the first local part not in ASCII reported in UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "compose/intl_address.hpp"

namespace tolvex {
namespace {

const std::string kRei = "\x97\xE1\x82\xA6";              // 例え, code page 932
const std::string kReiUtf8 = "\xE4\xBE\x8B\xE3\x81\x88";  // 例え, UTF-8
const std::string kYamada = "\x8E\x52\x93\x63";           // 山田
const std::string kHyouji = "\x95\x5C\x8E\xA6";           // 表示: trail byte 0x5C

// IdnToAscii (also under Wine) takes a label that opens with a combining
// mark, and maps ß to "ss", as IDNA 2003 did; libidn2 refuses the one and
// keeps the other (non-transitional).
#ifdef _WIN32
constexpr bool kLeadingMarkRefused = false;
constexpr const char* kStrasse = "a@strasse.de";
#else
constexpr bool kLeadingMarkRefused = true;
constexpr const char* kStrasse = "a@xn--strae-oqa.de";
#endif

TEST(IntlAddress, DomainsBecomeALabels) {
  const auto sjis = MessageCharset::Iso2022Jp;
  const auto utf8 = MessageCharset::Utf8;
  const std::string label63(63, 'a');
  const struct {
    const char* name;
    std::string list;
    MessageCharset charset;
    std::string converted;  // the list afterwards, when not refused
    std::string refused;
    std::string utf8Local = "";
  } cases[] = {
      {"UTF-8", "a@" + kReiUtf8 + ".jp", utf8, "a@xn--r8jz45g.jp", ""},
      {"code page 932 in angle brackets, display name with 0x5C",
       kHyouji + " <a@" + kRei + ".jp>, b@example.jp", sjis,
       kHyouji + " <a@xn--r8jz45g.jp>, b@example.jp", ""},
      {"spaces around stay", " a@" + kReiUtf8 + ".jp , b <c@" + kReiUtf8 + ".jp >", utf8,
       " a@xn--r8jz45g.jp , b <c@xn--r8jz45g.jp >", ""},
      {"mixed case", "a@" + kRei + ".JP", sjis, "a@xn--r8jz45g.jp", ""},
      {"fullwidth dot mapped", "a@" + kRei + "\x81\x44jp", sjis, "a@xn--r8jz45g.jp", ""},
      {"trail byte 0x40 is no at sign (ァ)", "a@\x83\x40.jp", sjis, "a@xn--bck.jp", ""},
      {"quoted display name with < and ,", "\"x, <y>\" <a@" + kRei + ".jp>", sjis,
       "\"x, <y>\" <a@xn--r8jz45g.jp>", ""},
      {"ASCII list left byte for byte", "\"Suzuki, Ichiro\" <s@Example.JP>,x", sjis,
       "\"Suzuki, Ichiro\" <s@Example.JP>,x", ""},
      {"local part not in ASCII", kYamada + "@" + kRei + ".jp, " + kYamada + "@example.jp", sjis,
       kYamada + "@xn--r8jz45g.jp, " + kYamada + "@example.jp", "",
       "\xE5\xB1\xB1\xE7\x94\xB0@" + kReiUtf8 + ".jp"},
      {"63-character label", "a@" + kRei + "." + label63, sjis, "a@xn--r8jz45g." + label63, ""},
      {"64-character label refused", "a@" + kRei + "." + label63 + "a", sjis, "",
       kRei + "." + label63 + "a"},
      {"full-width space refused (mapped to a space)", "a@x\x81\x40", sjis, "", "x\x81\x40"},
      {"sharp s",
       "a@stra\xC3\x9F"
       "e.de",
       utf8, kStrasse, ""},
      {"leading combining mark", "a@\xCC\x81" + kReiUtf8 + ".jp", utf8,
       kLeadingMarkRefused ? "" : "a@xn--lsa692u7ut.jp",
       kLeadingMarkRefused ? "\xCC\x81" + kReiUtf8 + ".jp" : ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string list = c.list;
    AddressConversion result;
    ConvertAddressDomains(list, c.charset, result);
    EXPECT_EQ(result.refusedDomain, c.refused);
    if (c.refused.empty()) {
      EXPECT_EQ(list, c.converted);
    }
    EXPECT_EQ(result.utf8LocalAddress, c.utf8Local);
  }
}

}  // namespace
}  // namespace tolvex
