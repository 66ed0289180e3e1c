#include <gtest/gtest.h>

#include <string>

#include "encoding/jis_convert.hpp"
#include "hex.hpp"

namespace tolvex {
namespace {

using test::Hex;
using test::ToHex;

struct Vector {
  const char* input;
  const char* output;
};

// Each row: Shift_JIS input bytes, ISO-2022-JP output bytes.
TEST(SjisToJis, ConvertsTheReferenceTable) {
  const Vector table[] = {
      {"61 62 63", "61 62 63"},
      {"82 A0", "1B 24 42 24 22"},
      {"8A BF 8E 9A", "1B 24 42 34 41 3B 7A"},
      {"41 8A BF 42", "41 1B 24 42 34 41 1B 28 4A 42"},
      {"93 FA 96 7B 8C EA 20 74 65 73 74", "1B 24 42 46 7C 4B 5C 38 6C 1B 28 4A 20 74 65 73 74"},
      {"91 E6 31 89 F1", "1B 24 42 42 68 1B 28 4A 31 1B 24 42 32 73"},
      {"8A BF 0D 0A 8E 9A 0D 0A", "1B 24 42 34 41 1B 28 4A 0D 0A 1B 24 42 3B 7A 1B 28 4A 0D 0A"},
      {"20 8A BF 20", "1B 24 42 34 41 1B 28 4A"},
      {"E0 40", "1B 24 42 5F 21"},
      {"87 40", "1B 24 42 2D 21"},
      {"B1 B2 B3", "B1 B2 B3"},
  };
  for (const Vector& v : table) {
    EXPECT_EQ(ToHex(SjisToJis(Hex(v.input))), v.output) << "input " << v.input;
  }
}

// A one-byte run after a double-byte character holding 5C or 7E returns
// with ESC ( B, so readers see a backslash and a tilde, not the yen sign
// and the overline of JIS X 0201 Roman; every other run keeps ESC ( J. The
// run reaches to the next double-byte character or the end of the text.
TEST(SjisToJis, RunsWithBackslashOrTildeReturnToAscii) {
  const Vector table[] = {
      // 保存先：C:\share\月報
      {"95 DB 91 B6 90 E6 81 46 43 3A 5C 73 68 61 72 65 5C 8C 8E 95 F1",
       "1B 24 42 4A 5D 42 38 40 68 21 27 1B 28 42 43 3A 5C 73 68 61 72 65 5C 1B 24 42 37 6E 4A 73"},
      // 先 ~user: the tilde too
      {"90 E6 20 7E 75", "1B 24 42 40 68 1B 28 42 20 7E 75"},
      // the run goes on over line ends: one ESC ( B for all of it
      {"8C 8E 0D 0A 61 0D 0A 5C 0D 0A 8C 8E",
       "1B 24 42 37 6E 1B 28 42 0D 0A 61 0D 0A 5C 0D 0A 1B 24 42 37 6E"},
      // a run without them keeps ESC ( J, the next one's backslash notwithstanding
      {"8C 8E 61 8C 8E 5C", "1B 24 42 37 6E 1B 28 4A 61 1B 24 42 37 6E 1B 28 42 5C"},
      // trail bytes 5C (表, ソ) and 7E are no backslash or tilde
      {"95 5C 61 83 5C 62 81 7E 63",
       "1B 24 42 49 3D 1B 28 4A 61 1B 24 42 25 3D 1B 28 4A 62 1B 24 42 21 5F 1B 28 4A 63"},
      // before any double-byte character the text is ASCII already
      {"5C 7E 8C 8E", "5C 7E 1B 24 42 37 6E"},
      // half-width katakana and a dropped NUL inside the run
      {"8C 8E B1 00 5C", "1B 24 42 37 6E 1B 28 42 B1 5C"},
      // the trim keeps the escape of a run it empties
      {"8C 8E 20 20", "1B 24 42 37 6E 1B 28 4A"},
  };
  for (const Vector& v : table) {
    EXPECT_EQ(ToHex(SjisToJis(Hex(v.input))), v.output) << "input " << v.input;
  }
}

TEST(SjisToJis, EmptyAndSpaceOnlyTextsGiveEmptyResults) {
  EXPECT_EQ(SjisToJis(""), "");
  EXPECT_EQ(SjisToJis(" "), "");
  EXPECT_EQ(SjisToJis("     "), "");
}

TEST(SjisToJis, OneByteTextIsOnlyTrimmed) {
  EXPECT_EQ(SjisToJis("  Hello, world\t "), "Hello, world\t");
  EXPECT_EQ(SjisToJis("a  b"), "a  b");
  // Tabs and line breaks are not trimmed.
  EXPECT_EQ(SjisToJis("\tx\r\n"), "\tx\r\n");
}

// The second bytes 5C and 7C of these characters are JIS data, not a
// backslash or a bar.
TEST(SjisToJis, ConvertsCharactersWithBackslashAndBarTrailBytes) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("95 5C"))), "1B 24 42 49 3D");  // 表
  EXPECT_EQ(ToHex(SjisToJis(Hex("83 5C"))), "1B 24 42 25 3D");  // ソ
  EXPECT_EQ(ToHex(SjisToJis(Hex("94 5C"))), "1B 24 42 47 3D");  // 能
  EXPECT_EQ(ToHex(SjisToJis(Hex("8F 5C"))), "1B 24 42 3D 3D");  // 十
  EXPECT_EQ(ToHex(SjisToJis(Hex("92 7C"))), "1B 24 42 43 5D");  // 竹
}

TEST(SjisToJis, ShiftStateFollowsEveryChange) {
  // double, single, double, single, double: an escape before each.
  EXPECT_EQ(ToHex(SjisToJis(Hex("82 A0 41 82 A0 42 82 A0"))),
            "1B 24 42 24 22 1B 28 4A 41 1B 24 42 24 22 1B 28 4A 42 1B 24 42 24 22");
  // A run of double-byte characters shares one escape; text ending in one
  // has no closing escape.
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 82 A0 82 A2 82 A4"))), "41 1B 24 42 24 22 24 24 24 26");
}

TEST(SjisToJis, BodyWithLineBreaksEndsInOneByteState) {
  const std::string body = Hex("93 FA 96 7B 0D 0A 41 0D 0A 8C EA 0D 0A");
  const std::string out = SjisToJis(body);
  EXPECT_EQ(ToHex(out),
            "1B 24 42 46 7C 4B 5C 1B 28 4A 0D 0A 41 0D 0A 1B 24 42 38 6C 1B 28 4A 0D 0A");
}

TEST(SjisToJis, TrimsSpacesAfterConversionKeepingTheReturnEscape) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("20 20 82 A0 20 20"))), "1B 24 42 24 22 1B 28 4A");
  // Spaces inside are kept.
  EXPECT_EQ(ToHex(SjisToJis(Hex("82 A0 20 82 A0"))), "1B 24 42 24 22 1B 28 4A 20 1B 24 42 24 22");
}

TEST(SjisToJis, HalfWidthKatakanaStayEightBitInOneByteState) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("A1 DF"))), "A1 DF");
  EXPECT_EQ(ToHex(SjisToJis(Hex("82 A0 B1"))), "1B 24 42 24 22 1B 28 4A B1");
}

// 0x80, 0xA0 and 0xFD-0xFF are no character of code page 932; copied,
// they would put 8-bit bytes other than katakana into the 7-bit body.
TEST(SjisToJis, BytesThatAreNoCharacterBecomeGetaMark) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 80 42"))), "41 1B 24 42 22 2E 1B 28 4A 42");
  EXPECT_EQ(ToHex(SjisToJis(Hex("A0 FD FE FF"))), "1B 24 42 22 2E 22 2E 22 2E 22 2E");
  // Next to a double-byte character, and before katakana (still copied).
  EXPECT_EQ(ToHex(SjisToJis(Hex("95 5C FF B1"))), "1B 24 42 49 3D 22 2E 1B 28 4A B1");
  // After a lead byte 0xFF is no trail byte: two geta marks.
  EXPECT_EQ(ToHex(SjisToJis(Hex("81 FF"))), "1B 24 42 22 2E 22 2E");
}

TEST(SjisToJis, UserDefinedAreaBecomesGetaMark) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("F0 40"))), "1B 24 42 22 2E");
  EXPECT_EQ(ToHex(SjisToJis(Hex("F5 9F FC FC"))), "1B 24 42 22 2E 22 2E");
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 F9 55 42"))), "41 1B 24 42 22 2E 1B 28 4A 42");
}

TEST(SjisToJis, StrayLeadByteBecomesGetaAndKeepsTheNextByte) {
  // Lone lead byte at the very end.
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 8A"))), "41 1B 24 42 22 2E");
  EXPECT_EQ(ToHex(SjisToJis(Hex("E0"))), "1B 24 42 22 2E");
  // A lead byte before CR LF: the line break survives.
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A 0D 0A 41"))), "1B 24 42 22 2E 1B 28 4A 0D 0A 41");
  // Before a space (never a trail byte) and before 7F and FD.
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A 20 41"))), "1B 24 42 22 2E 1B 28 4A 20 41");
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A 7F"))), "1B 24 42 22 2E 1B 28 4A 7F");
  // FD, no character of its own, is a second geta mark.
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A FD"))), "1B 24 42 22 2E 22 2E");
  // A trailing space after a stray lead byte is trimmed, the escape stays.
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A 20"))), "1B 24 42 22 2E 1B 28 4A");
}

TEST(SjisToJis, DropsNul) {
  EXPECT_EQ(ToHex(SjisToJis(Hex("41 00 42"))), "41 42");
  // NUL changes no state: no escape pair appears around it.
  EXPECT_EQ(ToHex(SjisToJis(Hex("82 A0 00 82 A2"))), "1B 24 42 24 22 24 24");
  // Leading and trailing NULs mixed with spaces vanish too.
  EXPECT_EQ(ToHex(SjisToJis(Hex("00 20 00 41 20 00 20"))), "41");
  // A lead byte before NUL: NUL is no trail byte.
  EXPECT_EQ(ToHex(SjisToJis(Hex("8A 00 41"))), "1B 24 42 22 2E 1B 28 4A 41");
}

TEST(SjisToJis, WorstCaseGrowthFitsTheBuffer) {
  // Every byte a stray lead byte alternating with one-byte characters: the
  // output is about 4.5 times the input. Under the sanitizers an overrun of
  // the reserved buffer is caught here.
  std::string in;
  for (int i = 0; i < 1000; ++i) in += Hex("8A 7F");
  in += Hex("8A");
  const std::string out = SjisToJis(in);
  EXPECT_EQ(out.size(), 1000u * (5 + 4) + 5);
  EXPECT_EQ(ToHex(out.substr(out.size() - 2)), "22 2E");
}

}  // namespace
}  // namespace tolvex
