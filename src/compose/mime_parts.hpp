// The fixed lines of the message layout, shared by the head and the two
// multipart kinds.
#pragma once

#include <string_view>

namespace tolvex::mime {

inline constexpr std::string_view kCrLf = "\r\n";
inline constexpr std::string_view kMimeVersion = "MIME-Version: 1.0\r\n";
inline constexpr std::string_view kXMailer = "X-Mailer: Tolvex (by RAVONEK)\r\n";
inline constexpr std::string_view kTextPlain = "Content-Type: text/plain; charset=iso-2022-jp\r\n";
inline constexpr std::string_view kSevenBit = "Content-Transfer-Encoding: 7bit\r\n";
inline constexpr std::string_view kEndOfData = ".\r\n";
// "Content-Type: multipart/mixed; boundary=" boundary CR LF CR LF
inline constexpr std::string_view kMultipart =
    "Content-Type: multipart/mixed; boundary=BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n\r\n";
// "--" boundary CR LF
inline constexpr std::string_view kDelimiter = "--BoUnDaRy_StRiNg_Ich_Liebe_Dich\r\n";
// CR LF "--" boundary "--" CR LF "." CR LF
inline constexpr std::string_view kClosing = "\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n.\r\n";
inline constexpr std::string_view kBase64Encoding = "Content-Transfer-Encoding: base64\r\n";

}  // namespace tolvex::mime
