// Code page 932 names and texts, failure texts and the log's date format.
#include <gtest/gtest.h>
#include <windows.h>

#include "platform/native_path.hpp"
#include "platform/win32/clock.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

TEST(NativePathTest, JapaneseNamesWithBackslashTrailBytesStayWhole) {
  std::filesystem::path dir(L"C:\\work");
  // 表 is 95 5C and ソ is 83 5C: neither second byte separates folders.
  EXPECT_EQ(NativePath(dir, "\x95\x5C.txt"), dir / L"\u8868.txt");
  std::filesystem::path p = NativePath(dir, "\x83\x5C\x83\x74\x83\x67\\a.txt");
  EXPECT_EQ(p, dir / L"\u30bd\u30d5\u30c8" / L"a.txt");
  EXPECT_EQ(p.parent_path().filename().wstring(), L"\u30bd\u30d5\u30c8");
  // A bar in the second byte of 竹 is no pipe either.
  EXPECT_EQ(NativePath(dir, "\x92\x7C"), dir / L"\u7af9");
}

TEST(NativePathTest, AbsoluteNamesAreNotJoined) {
  std::filesystem::path dir(L"C:\\work");
  EXPECT_EQ(NativePath(dir, "D:\\mail\\\x94\x5C.txt"),
            std::filesystem::path(L"D:\\mail\\\u80fd.txt"));
  EXPECT_EQ(NativePath(dir, ""), dir / L"");
}

TEST(Cp932TextTest, ConvertsToUtf8AndWide) {
  EXPECT_EQ(Cp932ToUtf8("\x83\x5C\x94\x5C \x8F\x5C"), "\xE3\x82\xBD\xE8\x83\xBD \xE5\x8D\x81");
  EXPECT_EQ(WideFromCp932("Tolvex(\x91\x97\x90\x4D\x92\x86)"), L"Tolvex(\u9001\u4fe1\u4e2d)");
  EXPECT_EQ(WideFromCp932(""), L"");
}

TEST(Cp932TextTest, BadBytesBecomeQuestionMarksAndTheRestSurvives) {
  // A lead byte at the very end has no second byte.
  EXPECT_EQ(WideFromCp932("ab\x82"), L"ab?");
  EXPECT_EQ(Cp932ToUtf8("ab\x82"), "ab?");
  EXPECT_EQ(WideFromCp932("\x82\xA0"
                          "c\x95\x5C"),
            L"\u3042c\u8868");
}

TEST(Cp932TextTest, WideBackToCp932) {
  EXPECT_EQ(Cp932FromWide(L"\u8868\u793a"), "\x95\x5C\x8E\xA6");
  // No code for it in code page 932.
  EXPECT_EQ(Cp932FromWide(L"a\u00e9b"), "a?b");
  EXPECT_EQ(Utf8FromWide(L"\u7af9|"), "\xE7\xAB\xB9|");
}

TEST(FailureTextTest, EachKindHasItsOwnSentence) {
  const FailureKind kinds[] = {FailureKind::Usage,          FailureKind::CommandFileBad,
                               FailureKind::InputMissing,   FailureKind::SpoolWriteFailed,
                               FailureKind::LogWriteFailed, FailureKind::DeliveryFailed,
                               FailureKind::SignInFailed,   FailureKind::SignInStoreFailed,
                               FailureKind::Interrupted};
  for (FailureKind a : kinds) {
    EXPECT_FALSE(FailureSentence(a).empty());
    for (FailureKind b : kinds) {
      if (a != b) {
        EXPECT_NE(FailureSentence(a), FailureSentence(b));
      }
    }
  }
}

TEST(FailureTextTest, StandardErrorLineIsSentenceThenDetail) {
  // 表 (95 5C) and 竹 (92 7C) in the detail stay whole characters.
  EXPECT_EQ(FailureLine(Failure{FailureKind::InputMissing, "cannot read \x95\x5C\x92\x7C.txt"}),
            L"tolvex: " + FailureSentence(FailureKind::InputMissing) +
                L" cannot read \u8868\u7af9.txt\r\n");
  // No detail: no trailing space.
  EXPECT_EQ(FailureLine(Failure{FailureKind::Interrupted, ""}),
            L"tolvex: " + FailureSentence(FailureKind::Interrupted) + L"\r\n");
}

TEST(LocaleClockTest, UsesTheLocalesShortDateAndTimeFormats) {
  SYSTEMTIME t{};
  t.wYear = 2026;
  t.wMonth = 1;
  t.wDayOfWeek = 5;
  t.wDay = 2;
  t.wHour = 7;
  t.wMinute = 8;
  t.wSecond = 9;
  LCID us = MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT);
  EXPECT_EQ(FormatLogDateTime(us, t), "1/2/2026 7:08:09 AM");
  LCID ja = MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), SORT_DEFAULT);
  std::string jp = FormatLogDateTime(ja, t);
  EXPECT_EQ(jp.rfind("2026/", 0), 0u) << jp;
  EXPECT_EQ(jp.substr(jp.size() - 8), " 7:08:09") << jp;
  t.wHour = 19;
  std::string evening = FormatLogDateTime(ja, t);
  EXPECT_EQ(evening.substr(evening.size() - 9), " 19:08:09") << evening;
}

// The seconds deadlines are counted in: a wait of one moves them by one.
TEST(LocaleClockTest, WaitMovesTheSteadySeconds) {
  LocaleClock clock;
  const std::int64_t before = clock.SteadySeconds();
  clock.Wait(1);
  const std::int64_t after = clock.SteadySeconds();
  EXPECT_GE(after - before, 1);
  EXPECT_LE(after - before, 3);
}

}  // namespace
}  // namespace tolvex::win
