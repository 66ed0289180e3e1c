#include "platform/win32/locale_clock.hpp"

#include "platform/win32/win_text.hpp"

namespace tolvex::win {

std::string FormatLogDateTime(LCID locale, const SYSTEMTIME& time) {
  wchar_t date[128];
  wchar_t clock[128];
  if (GetDateFormatW(locale, DATE_SHORTDATE, &time, nullptr, date, 128) == 0) date[0] = L'\0';
  if (GetTimeFormatW(locale, 0, &time, nullptr, clock, 128) == 0) clock[0] = L'\0';
  std::wstring text = date;
  text += L' ';
  text += clock;
  return Cp932FromWide(text);
}

std::string LocaleClock::LogDateTime() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return FormatLogDateTime(LOCALE_USER_DEFAULT, now);
}

}  // namespace tolvex::win
