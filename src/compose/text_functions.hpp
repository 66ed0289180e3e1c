// Small text functions shared by the interpreter, the composer and the SMTP
// client. Positions count code page 932 characters, never bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/run_state.hpp"

namespace tolvex {

// Splits `text` at `delimiter` into slots 1..n of `list` (at most 10),
// untrimmed; returns n. A trailing delimiter opens no entry.
std::int16_t SplitList(FileListArray& list, std::string_view text, char delimiter);

// The trimmed text after the first `key`, or the whole text trimmed.
std::string ValueAfter(std::string_view text, char key);

// "Subject: " + subject -> the encoded Subject header line without CR LF.
// A subject whose Base64 fits one 72-character line becomes one encoded
// word; a longer one is folded into several encoded words.
std::string EncodeSubjectLine(std::string_view line);

// The address after the first "<", less the text's last character; the text
// unchanged when it has no "<". A text ending in its only "<" gives "".
// A text holding a closed quoted string is read as RFC 5322 reads it
// (QuotedEntryAddress): "Evil <boss@corp.example>" <t@x.jp> gives t@x.jp.
// `charset` is the one the text is held in (the message's).
std::string AngleAddress(std::string_view text, MessageCharset charset = MessageCharset::Iso2022Jp);

// The part of `path` after its last backslash (at most 10 are skipped),
// and then after its last "/".
std::string FileNameFromPath(std::string_view path);

}  // namespace tolvex
