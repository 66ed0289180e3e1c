#include "platform/win32/secrets.hpp"

#include "platform/win32/credentials.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex::win {

std::optional<std::string> WinSecrets::Stored(std::string_view target) {
  return ReadGenericCredential(WideFromCp932(target));
}

}  // namespace tolvex::win
