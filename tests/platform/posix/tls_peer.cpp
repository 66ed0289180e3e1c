#include "tls_peer.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <stdexcept>

namespace tolvex::posix::test {
namespace {

std::string ToPem(X509* cert, EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (cert) PEM_write_bio_X509(bio, cert);
  if (key) PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(n));
  BIO_free(bio);
  return pem;
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, long serial) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn),
                             -1, -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  return cert;
}

}  // namespace

namespace {

long serial = 1;

TestPki Issue(X509* ca, EVP_PKEY* caKey, const std::vector<std::string>& names,
              const std::vector<std::string>& ips) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = MakeCert(key, names.empty() ? "server" : names[0].c_str(), ca, serial++);
  std::string san;
  for (const std::string& n : names) san += (san.empty() ? "DNS:" : ",DNS:") + n;
  for (const std::string& ip : ips) san += (san.empty() ? "IP:" : ",IP:") + ip;
  AddExtension(cert, ca, NID_basic_constraints, "CA:FALSE");
  AddExtension(cert, ca, NID_ext_key_usage, "serverAuth");
  AddExtension(cert, ca, NID_subject_alt_name, san);
  X509_sign(cert, caKey, EVP_sha256());
  TestPki pki{ToPem(ca, nullptr), ToPem(cert, nullptr), ToPem(nullptr, key), ToPem(nullptr, caKey)};
  X509_free(cert);
  EVP_PKEY_free(key);
  return pki;
}

}  // namespace

TestPki MakeTestPki(const std::vector<std::string>& names, const std::vector<std::string>& ips) {
  EVP_PKEY* caKey = EVP_EC_gen("P-256");
  X509* ca = MakeCert(caKey, "Tolvex Socket Test CA", nullptr, serial++);
  AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
  AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExtension(ca, ca, NID_subject_key_identifier, "hash");
  X509_sign(ca, caKey, EVP_sha256());
  TestPki pki = Issue(ca, caKey, names, ips);
  X509_free(ca);
  EVP_PKEY_free(caKey);
  return pki;
}

TestPki IssueServer(const TestPki& from, const std::vector<std::string>& names,
                    const std::vector<std::string>& ips) {
  BIO* caBio = BIO_new_mem_buf(from.caPem.data(), static_cast<int>(from.caPem.size()));
  BIO* keyBio = BIO_new_mem_buf(from.caKeyPem.data(), static_cast<int>(from.caKeyPem.size()));
  X509* ca = PEM_read_bio_X509(caBio, nullptr, nullptr, nullptr);
  EVP_PKEY* caKey = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  TestPki pki = Issue(ca, caKey, names, ips);
  X509_free(ca);
  EVP_PKEY_free(caKey);
  BIO_free(caBio);
  BIO_free(keyBio);
  return pki;
}

bool ServeTlsEcho(int fd, const TestPki& pki, std::string& received, const TlsLimits& limits) {
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  BIO* certBio = BIO_new_mem_buf(pki.certPem.data(), static_cast<int>(pki.certPem.size()));
  BIO* keyBio = BIO_new_mem_buf(pki.keyPem.data(), static_cast<int>(pki.keyPem.size()));
  X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  SSL_CTX_use_certificate(ctx, cert);
  SSL_CTX_use_PrivateKey(ctx, key);
  if (limits.maxVersion != 0) {
    SSL_CTX_set_max_proto_version(ctx, limits.maxVersion);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");  // old versions need it
  }
  if (!limits.suites.empty()) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(ctx, limits.suites.c_str());
  }
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  const bool ok = SSL_accept(ssl) == 1;
  if (ok) {
    char buf[16 * 1024];
    std::string line;
    for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) {
      received.append(buf, static_cast<std::size_t>(n));
      if (SSL_write(ssl, buf, n) <= 0) break;
    }
  }
  ERR_clear_error();
  SSL_free(ssl);
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(certBio);
  BIO_free(keyBio);
  SSL_CTX_free(ctx);
  return ok;
}

}  // namespace tolvex::posix::test
