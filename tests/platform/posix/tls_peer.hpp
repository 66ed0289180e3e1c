// TLS for the integration tests' peers: a throwaway CA and server
// certificate made in memory with OpenSSL, and the server side of a TLS
// connection on an accepted socket (blocking, every wait bounded).
#pragma once

#include <string>
#include <vector>

namespace tolvex::posix::test {

struct TestPki {
  std::string caPem;    // the CA certificate
  std::string certPem;  // the server's, signed by the CA
  std::string keyPem;   // the server's key
  std::string caKeyPem;
};

// A new CA and a server certificate for the DNS names and IP addresses.
TestPki MakeTestPki(const std::vector<std::string>& names, const std::vector<std::string>& ips);
// Another server certificate from the same CA.
TestPki IssueServer(const TestPki& ca, const std::vector<std::string>& names,
                    const std::vector<std::string>& ips);

// What a peer allows beyond its certificate: the highest TLS version
// (0: any), and the TLS 1.3 suites (empty: the defaults; with them it
// speaks TLS 1.3 only).
struct TlsLimits {
  int maxVersion = 0;
  std::string suites;
};

// Serves TLS on `fd`: the handshake with `pki`'s certificate, then each
// line that comes is appended to `received` and sent back, until the
// client goes. False when the handshake failed.
bool ServeTlsEcho(int fd, const TestPki& pki, std::string& received, const TlsLimits& limits = {});

}  // namespace tolvex::posix::test
