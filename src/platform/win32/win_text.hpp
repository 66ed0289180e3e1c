// Text conversions between the core's code page 932 bytes and the wide
// (UTF-16) strings of the Windows API, and the user-facing failure texts.
#pragma once

#include <string>
#include <string_view>

#include "base/failure.hpp"

namespace tolvex::win {

inline constexpr unsigned kCodePage932 = 932;

// Code page 932 bytes to UTF-16, character by character: a byte sequence
// that is not a valid character becomes '?' instead of ending the text. Defined in
// native_path.cpp, which the core links on Windows.
std::wstring WideFromCp932(std::string_view text);

// UTF-16 to code page 932; characters without a code become '?'.
std::string Cp932FromWide(std::wstring_view text);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view text);

// One Japanese sentence that tells the user what kind of failure stopped
// the work (the start of the standard-error line, and the tray balloon).
std::wstring FailureSentence(FailureKind kind);

// The failure's standard-error line: "tolvex: ", the sentence, a space and
// the detail when there is one, CR LF.
std::wstring FailureLine(const Failure& failure);

}  // namespace tolvex::win
