// The server certificate check the TLS session does itself (SChannel is
// told to leave it to the caller): a chain built against the system store
// plus the CA certificates of an optional PEM file, the SSL policy with the
// host name, and an own check of IP literals against IP subjectAltNames.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <string>
#include <string_view>

namespace tolvex::win {

// A memory store of the certificates in a PEM file; closes it on destruction.
class CaStore {
 public:
  CaStore() = default;
  ~CaStore();
  CaStore(const CaStore&) = delete;
  CaStore& operator=(const CaStore&) = delete;

  // Reads every "BEGIN CERTIFICATE" block of the file. Returns "" or a
  // short reason ("CA file: cannot read ...", "CA file: no certificate").
  std::string Load(const std::wstring& path);
  // The same from PEM text in memory; `shown` names it in a reason.
  std::string LoadPem(std::string_view pem, const std::string& shown);
  HCERTSTORE Handle() const { return store_; }
  // True when `cert` (same encoding) is one of the file's certificates.
  bool Holds(PCCERT_CONTEXT cert) const;

 private:
  HCERTSTORE store_ = nullptr;
};

// Verifies the server's certificate (with the chain it sent in its own
// store) for `host`: a DNS name or an IPv4/IPv6 literal. A chain that ends
// in a certificate of `extra` (may be empty) is trusted though its root is
// not in the system store. Returns "" when trusted, else a reason starting
// "certificate verify failed: " (host name mismatch, unknown CA, expired,
// not yet valid, revoked, bad signature, not for servers, ...).
std::string VerifyServerCertificate(PCCERT_CONTEXT cert, const CaStore& extra,
                                    const std::wstring& host);

// True when `host` is an IPv4 or IPv6 address literal (brackets allowed).
bool IsIpLiteral(const std::wstring& host);

// Display forms for the connection summary, UTF-8: "CN=mail.example.jp, O=..."
// and "2026-01-06 12:00:00 UTC".
std::string NameText(const CERT_NAME_BLOB& name);
std::string TimeText(const FILETIME& time);

}  // namespace tolvex::win
