// The UTF-8 form of a message, for text ISO-2022-JP cannot carry: text
// parts "charset=UTF-8" in Base64 (7-bit clean over any server), the
// subject and display names as "=?UTF-8?B?...?=" words folded between
// characters, attachment names as an encoded name= and RFC 2231 filename*.
// Every text here is UTF-8; every byte written is below 0x80.
#pragma once

#include <string>
#include <string_view>

namespace tolvex {

inline constexpr std::string_view kTextPlainUtf8 = "Content-Type: text/plain; charset=UTF-8\r\n";

// "Subject: " and the subject as encoded words, folded; no CR LF.
std::string Utf8SubjectLine(std::string_view subject);

// `name` ("From:") and an address list; a value of ASCII only is written as
// it is, otherwise each entry's display name (quotes removed) becomes
// encoded words and its address stays as written.
std::string Utf8AddressField(std::string_view name, std::string_view value);

// The Content-Type (name= as encoded words) and Content-Disposition
// (filename*) lines of an attachment named `name`.
std::string Utf8AttachmentTypeLines(std::string_view name);

// The part of a UTF-8 path after its last backslash (at most ten are
// looked at, as for code page 932 names), and then after its last "/".
std::string Utf8FileNameFromPath(std::string_view path);

// The body as Base64 lines ending in CR LF; a plain message's text ends in
// CR LF. For the plain message the head
// ends here: an empty line opens the body, and a body that starts with an
// empty line (the usual head/body separator of a command file) loses it.
std::string Utf8BodyText(std::string_view body, bool plain);

}  // namespace tolvex
