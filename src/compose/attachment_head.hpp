// The header lines that name an attachment part. A name of ASCII only is
// written as it is; a Japanese name goes out twice, for the two ways mail
// readers look for it: as ISO-2022-JP encoded words inside the quoted
// name= of Content-Type (read by Outlook), and as RFC 2231 UTF-8 in a
// Content-Disposition filename* parameter (read by Gmail, Thunderbird and
// Apple Mail), split into numbered continuations when it is long.
#pragma once

#include <string>
#include <string_view>

namespace tolvex {

// "Content-Type: application/octet-stream; name=..." CR LF and, for a name
// with non-ASCII that converts exactly to UTF-8, "Content-Disposition:
// attachment; filename*=UTF-8''..." CR LF. `name` is code page 932.
// An ASCII name with '"' or '\\' has them escaped in name= and gets the
// filename* line too, so no name can end the parameter or add one.
std::string AttachmentTypeLines(std::string_view name);

// `ascii` as a quoted string, '"' and '\\' escaped.
std::string QuotedName(std::string_view ascii);

// "Content-Disposition: attachment; filename*=UTF-8''..." CR LF, with
// numbered continuations when long.
std::string DispositionLines(const std::string& utf8);

}  // namespace tolvex
