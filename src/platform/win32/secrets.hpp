// Where an AUTH secret not written in command.txt is looked for on
// Windows: the environment, then the Credential Manager's generic
// credential "Tolvex:<host>".
#pragma once

#include "app/submission_setup.hpp"

namespace tolvex::win {

class WinSecrets final : public ProcessSecrets {
 public:
  std::optional<std::string> Stored(std::string_view target) override;
  std::string StoreName() const override { return "the Credential Manager's generic credential"; }
};

}  // namespace tolvex::win
