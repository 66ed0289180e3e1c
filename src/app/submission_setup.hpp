// Start-up of the submission settings once command.txt is read: the CA file
// of "#CAF" read into memory, and the AUTH secret found ("#PAS", else the
// environment variable TOLVEX_PASSWORD, else the platform's credential
// store under "Tolvex:<host>"). Failures stop the run before anything is
// sent.
#pragma once

#include <optional>
#include <string>

#include "base/failure.hpp"
#include "base/submission.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

// The environment of the process; no credential store.
class ProcessSecrets : public SecretSource {
 public:
  std::optional<std::string> Environment(const char* name) override;
  std::optional<std::string> Stored(std::string_view target) override;
};

// `needSecret` false: the CA file only, no secret looked up.
Status PrepareSubmission(Submission& s, WorkFolder& files, SecretSource& secrets,
                         bool needSecret = true);

// One line describing the settings for display (code page 932): security,
// port, certificates, AUTH and where its secret comes from; never the
// secret itself.
std::string DescribeSubmission(const Submission& s);

// "Tolvex:mail.example.jp"
std::string CredentialTarget(std::string_view host);
// The credential store's name for the proxy's password ("Tolvex:proxy:<host>").
std::string ProxyCredentialTarget(std::string_view host);
// The proxy for display, never its password; empty without #PRX.
std::string DescribeProxy(const ProxySettings& proxy);
// "Tolvex:oauth:<client id>", where the OAuth client secret is stored.
std::string ClientSecretTarget(std::string_view clientId);
// The OAuth client secret: #OSC, else TOLVEX_CLIENT_SECRET, else the
// credential store.
Status FindClientSecret(Submission& s, SecretSource& secrets);

}  // namespace tolvex
