// Local date and time in the user's formats.
#include "platform/win32/clock.hpp"

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

LocalTime ToLocalTime(const SYSTEMTIME& t, int utcOffsetMinutes) {
  LocalTime out;
  out.year = t.wYear;
  out.month = t.wMonth;
  out.day = t.wDay;
  out.weekday = t.wDayOfWeek;
  out.hour = t.wHour;
  out.minute = t.wMinute;
  out.second = t.wSecond;
  out.utcOffsetMinutes = utcOffsetMinutes;
  return out;
}

LocalTime LocaleClock::Now() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  TIME_ZONE_INFORMATION zone;
  const DWORD mode = GetTimeZoneInformation(&zone);
  LONG bias = zone.Bias;  // minutes west of UTC
  if (mode == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (mode == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  if (mode == TIME_ZONE_ID_INVALID) bias = 0;
  return ToLocalTime(now, static_cast<int>(-bias));
}

std::int64_t LocaleClock::SteadySeconds() {
  return static_cast<std::int64_t>(GetTickCount64() / 1000);
}

void LocaleClock::Wait(std::int64_t seconds) { Sleep(static_cast<DWORD>(seconds) * 1000); }

}  // namespace tolvex::win
