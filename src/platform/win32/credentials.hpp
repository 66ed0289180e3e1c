// Secrets from the Windows Credential Manager (generic credentials, as
// stored by `cmdkey /generic:Tolvex:mail.example.jp /user:... /pass:...`).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tolvex::win {

// The blob of the generic credential `target` (e.g. L"Tolvex:mail.example.jp"),
// nullopt when there is none. A UTF-16 blob (what cmdkey and the Credential
// Manager store) comes back in code page 932 ('?' for characters it lacks);
// an odd-sized blob, or one made only of printable ASCII bytes, comes back
// as it is. The system's copy is wiped before it is freed.
std::optional<std::string> ReadGenericCredential(std::wstring_view target);
// The same, but a blob larger than `limit` bytes is not copied: nullopt
// with `tooLarge` set.
std::optional<std::string> ReadGenericCredential(std::wstring_view target, std::size_t limit,
                                                 bool& tooLarge);

}  // namespace tolvex::win
