// The Japanese texts run control and --login show, as they read: code page
// 932 constants made from UTF-8 while compiling (encoding/cp932_literal.hpp).
// The window takes its captions in code page 932; the terminal and the
// browser get the login texts through DisplayText.
#pragma once

#include "encoding/cp932_literal.hpp"

namespace tolvex {

// The window's captions: while sending (with the share sent of a long
// message), the start delay (待時間=N分), the repeats left (繰返=N回) and a
// retry's wait (再送待=N分).
inline constexpr const char* kSendingCaption = u8"Tolvex(送信中)"_cp932;
// While a long message goes out: kSendingPercentPrefix N kSendingPercentSuffix.
inline constexpr const char* kSendingPercentPrefix = u8"Tolvex(送信中 "_cp932;
inline constexpr const char* kSendingPercentSuffix = "%)";
inline constexpr const char* kWaitPrefix = u8"待時間="_cp932;
inline constexpr const char* kWaitSuffix = u8"分"_cp932;
inline constexpr const char* kMorePrefix = u8"繰返="_cp932;
inline constexpr const char* kMoreSuffix = u8"回"_cp932;
inline constexpr const char* kRetryPrefix = u8"再送待="_cp932;
inline constexpr const char* kRetrySuffix = u8"分"_cp932;

// --login by the device code: kOpenJa <URL> kEnterJa <code> kPleaseJa.
inline constexpr const char* kOpenJa = u8"ブラウザで "_cp932;
inline constexpr const char* kEnterJa = u8" を開き、コード "_cp932;
inline constexpr const char* kPleaseJa = u8" を入力してください。"_cp932;
inline constexpr const char* kExpiredJa =
    u8"コードの有効期限が切れました。もう一度 tolvex --login を実行してください。"_cp932;
// --login in a browser.
inline constexpr const char* kOpenUrlJa =
    u8"ブラウザで次の URL を開き、サインインしてください（5 分以内）。"_cp932;
inline constexpr const char* kNoAnswerJa =
    u8"時間内にサインインされませんでした。もう一度 tolvex --login を実行してください。"_cp932;
// The outcome, either way.
inline constexpr const char* kDoneJa = u8"サインインしました。"_cp932;
inline constexpr const char* kDeniedJa = u8"サインインは拒否されました。"_cp932;
inline constexpr const char* kFailedJa = u8"サインインできませんでした。"_cp932;
// The pages the browser is answered with.
inline constexpr const char* kPageDoneJa =
    u8"サインインしました。このページは閉じてかまいません。"_cp932;
inline constexpr const char* kPageFailedJa =
    u8"サインインできませんでした。端末の表示を見てください。"_cp932;

}  // namespace tolvex
