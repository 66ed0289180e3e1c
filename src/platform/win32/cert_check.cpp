// The server certificate check: chain, extra CA file, host name or address.
#include "platform/win32/cert_check.hpp"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

constexpr std::size_t kMaxCaFileBytes = 4 * 1024 * 1024;
// fdwChecks bits of SSL_EXTRA_CERT_CHAIN_POLICY_PARA (declared in wininet.h).
constexpr DWORD kIgnoreRevocation = 0x00000080;
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreCertCnInvalid = 0x00001000;
const char kFailed[] = "certificate verify failed: ";

std::string Hex32(DWORD value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(value));
  return buf;
}

// The whole file, up to kMaxCaFileBytes.
bool ReadSmallFile(const std::wstring& path, std::string& data) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(f, &size) && size.QuadPart <= static_cast<LONGLONG>(kMaxCaFileBytes);
  if (ok) {
    data.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    ok =
        data.empty() || (ReadFile(f, data.data(), static_cast<DWORD>(data.size()), &got, nullptr) &&
                         got == data.size());
  }
  CloseHandle(f);
  return ok;
}

std::wstring Unbracketed(const std::wstring& host) {
  if (host.size() >= 2 && host.front() == L'[' && host.back() == L']')
    return host.substr(1, host.size() - 2);
  return host;
}

// The address bytes of an IP literal (4 or 16), empty for a name.
std::vector<BYTE> AddressBytes(const std::wstring& host) {
  std::wstring h = Unbracketed(host);
  in_addr a4{};
  if (InetPtonW(AF_INET, h.c_str(), &a4) == 1) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&a4);
    return {p, p + 4};
  }
  in6_addr a6{};
  if (InetPtonW(AF_INET6, h.c_str(), &a6) == 1) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&a6);
    return {p, p + 16};
  }
  return {};
}

// Whether the leaf's subjectAltName holds a DNS name. Without one the
// system's policy check would match the subject's CN instead; the name must
// stand in subjectAltName (RFC 6125).
bool HasDnsAltName(PCCERT_CONTEXT cert) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (ext == nullptr) return false;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, szOID_SUBJECT_ALT_NAME2, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < info->cAltEntry; ++i)
    found = found || info->rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DNS_NAME;
  LocalFree(info);
  return found;
}

// Whether the leaf's subjectAltName holds the address.
bool HasIpAltName(PCCERT_CONTEXT cert, const std::vector<BYTE>& address) {
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                          cert->pCertInfo->rgExtension);
  if (!ext) return false;
  CERT_ALT_NAME_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                           ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
    found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == address.size() &&
            std::equal(address.begin(), address.end(), e.IPAddress.pbData);
  }
  LocalFree(info);
  return found;
}

// Reason for the chain's own error bits, "" when none is left.
std::string ChainReason(DWORD errors, PCCERT_CONTEXT leaf) {
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return std::string(kFailed) + "unknown CA";
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    bool early = CertVerifyTimeValidity(nullptr, leaf->pCertInfo) < 0;
    return std::string(kFailed) + (early ? "not yet valid" : "expired");
  }
  if (errors & CERT_TRUST_IS_REVOKED) return std::string(kFailed) + "revoked";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return std::string(kFailed) + "bad signature";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return std::string(kFailed) + "not for servers";
  if (errors) return std::string(kFailed) + "chain error " + Hex32(errors);
  return "";
}

std::string PolicyReason(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return std::string(kFailed) + "host name mismatch";
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return std::string(kFailed) + "unknown CA";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return std::string(kFailed) + "expired";
    case static_cast<DWORD>(CERT_E_REVOKED):
      return std::string(kFailed) + "revoked";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE):
      return std::string(kFailed) + "not for servers";
    case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
      return std::string(kFailed) + "bad signature";
  }
  return std::string(kFailed) + "policy error " + Hex32(error);
}

}  // namespace

CaStore::~CaStore() {
  if (store_) CertCloseStore(store_, 0);
}

std::string CaStore::Load(const std::wstring& path) {
  std::string shown = "CA file " + Utf8FromWide(path);
  std::string pem;
  if (!ReadSmallFile(path, pem)) return shown + ": cannot read";
  return LoadPem(pem, shown);
}

std::string CaStore::LoadPem(std::string_view pem, const std::string& shown) {
  if (!store_) {
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (!store_) return shown + ": cannot open a certificate store";
  }
  static const std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static const std::string_view kEnd = "-----END CERTIFICATE-----";
  int added = 0;
  for (std::size_t at = pem.find(kBegin); at != std::string_view::npos; at = pem.find(kBegin, at)) {
    std::size_t end = pem.find(kEnd, at);
    if (end == std::string_view::npos) break;
    end += kEnd.size();
    DWORD der = 0;
    const char* block = pem.data() + at;
    DWORD blockSize = static_cast<DWORD>(end - at);
    if (CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, nullptr, &der, nullptr,
                             nullptr)) {
      std::vector<BYTE> bytes(der);
      if (CryptStringToBinaryA(block, blockSize, CRYPT_STRING_BASE64HEADER, bytes.data(), &der,
                               nullptr, nullptr) &&
          CertAddEncodedCertificateToStore(store_, X509_ASN_ENCODING, bytes.data(), der,
                                           CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        ++added;
    }
    at = end;
  }
  return added ? "" : shown + ": no certificate";
}

bool CaStore::Holds(PCCERT_CONTEXT cert) const {
  if (!store_) return false;
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store_, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
  if (!found) return false;
  CertFreeCertificateContext(found);
  return true;
}

bool IsIpLiteral(const std::wstring& host) { return !AddressBytes(host).empty(); }

std::string VerifyServerCertificate(PCCERT_CONTEXT cert, const CaStore& extra,
                                    const std::wstring& host) {
  // The chain may use the file's CAs and the intermediates the server sent.
  HCERTSTORE pool = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (!pool) return std::string(kFailed) + "cannot open a certificate store";
  if (extra.Handle()) CertAddStoreToCollection(pool, extra.Handle(), 0, 0);
  if (cert->hCertStore) CertAddStoreToCollection(pool, cert->hCertStore, 0, 0);

  LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  BOOL built = CertGetCertificateChain(nullptr, cert, nullptr, pool, &para, 0, nullptr, &chain);
  CertCloseStore(pool, 0);
  if (!built || !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
    if (chain) CertFreeCertificateChain(chain);
    return std::string(kFailed) + "no chain (" + Hex32(GetLastError()) + ")";
  }

  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
  bool anchored = extra.Holds(top);
  DWORD errors = chain->TrustStatus.dwErrorStatus;
  // Revocation is not asked for; a chain anchored in the file needs no system root.
  errors &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  if (anchored) errors &= ~(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN);
  std::string reason = ChainReason(errors, cert);

  std::vector<BYTE> address = AddressBytes(host);
  std::wstring name = Unbracketed(host);
  if (reason.empty()) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    // An IP literal is matched below against IP subjectAltNames.
    ssl.fdwChecks = (anchored ? kIgnoreUnknownCa : 0) |
                    (address.empty() ? 0 : kIgnoreCertCnInvalid) | kIgnoreRevocation;
    ssl.pwszServerName = address.empty() ? name.data() : nullptr;
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.dwFlags = anchored ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      reason = std::string(kFailed) + "policy check (" + Hex32(GetLastError()) + ")";
    } else if (status.dwError != 0) {
      bool rootOnly = status.dwError == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) ||
                      status.dwError == static_cast<DWORD>(CERT_E_CHAINING);
      if (!(anchored && rootOnly)) reason = PolicyReason(status.dwError);
    }
  }
  if (reason.empty() && !address.empty() && !HasIpAltName(cert, address))
    reason = std::string(kFailed) + "host name mismatch";
  if (reason.empty() && address.empty() && !HasDnsAltName(cert))
    reason = std::string(kFailed) + "host name mismatch (no subjectAltName)";
  CertFreeCertificateChain(chain);
  return reason;
}

std::string NameText(const CERT_NAME_BLOB& name) {
  CERT_NAME_BLOB blob = name;
  DWORD type = CERT_X500_NAME_STR;
  DWORD n = CertNameToStrW(X509_ASN_ENCODING, &blob, type, nullptr, 0);
  if (n <= 1) return "";
  std::wstring text(n, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, &blob, type, text.data(), n);
  text.resize(n - 1);
  return Utf8FromWide(text);
}

std::string TimeText(const FILETIME& time) {
  SYSTEMTIME t{};
  if (!FileTimeToSystemTime(&time, &t)) return "";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond);
  return buf;
}

}  // namespace tolvex::win
