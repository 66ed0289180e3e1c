// Text conversions for the Windows API and the failure sentences.
#include "platform/win32/win_text.hpp"

#include <windows.h>

namespace tolvex::win {

std::string Cp932FromWide(std::wstring_view text) {
  std::string out;
  if (text.empty()) return out;
  int n = WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, text.data(),
                              static_cast<int>(text.size()), nullptr, 0, "?", nullptr);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(kCodePage932, WC_NO_BEST_FIT_CHARS, text.data(),
                      static_cast<int>(text.size()), out.data(), n, "?", nullptr);
  return out;
}

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  if (text.empty()) return out;
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring FailureSentence(FailureKind kind) {
  switch (kind) {
    case FailureKind::Usage:
      return L"起動のしかたが正しくありません。";
    case FailureKind::CommandFileBad:
      return L"command.txt の内容に誤りがあるため、処理を中止しました。";
    case FailureKind::InputMissing:
      return L"必要なファイルを読み込めないため、処理を中止しました。";
    case FailureKind::SpoolWriteFailed:
      return L"作業ファイル TEMP.TXT を書き込めませんでした。";
    case FailureKind::LogWriteFailed:
      return L"記録ファイル LOG.txt に書き込めませんでした。";
    case FailureKind::DeliveryFailed:
      return L"メールを送信できませんでした。詳しくは LOG.txt をご覧ください。";
    case FailureKind::SignInFailed:
      return L"サインインできませんでした。";
    case FailureKind::SignInStoreFailed:
      return L"サインインの情報を保存できませんでした。";
    case FailureKind::Interrupted:
      return L"処理が中断されました。";
  }
  return L"処理を続けられませんでした。";
}

std::wstring FailureLine(const Failure& failure) {
  std::wstring line = L"tolvex: " + FailureSentence(failure.kind);
  if (!failure.message.empty()) line += L" " + WideFromCp932(failure.message);
  line += L"\r\n";
  return line;
}

}  // namespace tolvex::win
