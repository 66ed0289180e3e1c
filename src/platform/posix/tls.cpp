#include "platform/posix/tls.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <asio/buffer.hpp>
#include <asio/ip/address.hpp>
#include <asio/ssl/error.hpp>

#include <cstdio>
#include <ctime>

namespace tolvex::posix {
namespace {

const char kVerifyFailed[] = "certificate verify failed: ";

std::string VerifyReason(long result) {
  switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return std::string(kVerifyFailed) + "host name mismatch";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_CERT_UNTRUSTED:
      return std::string(kVerifyFailed) + "unknown CA";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return std::string(kVerifyFailed) + "expired";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return std::string(kVerifyFailed) + "not yet valid";
    case X509_V_ERR_CERT_REVOKED:
      return std::string(kVerifyFailed) + "revoked";
    case X509_V_ERR_INVALID_PURPOSE:
      return std::string(kVerifyFailed) + "not for servers";
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
      return std::string(kVerifyFailed) + "bad signature";
    default:
      return std::string(kVerifyFailed) + X509_verify_cert_error_string(result);
  }
}

std::string NameText(X509_NAME* name) {
  if (name == nullptr) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return {};
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  std::string text(data, n > 0 ? static_cast<std::size_t>(n) : 0);
  BIO_free(bio);
  return text;
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// "TLSv1.3" -> "TLS 1.3"
std::string VersionText(const char* version) {
  std::string v = version ? version : "";
  if (v.rfind("TLSv", 0) == 0) return "TLS " + v.substr(4);
  return v;
}

}  // namespace

std::string TlsLibraryVersion() {
  return std::string("OpenSSL ") + ::OpenSSL_version(OPENSSL_VERSION_STRING);
}

bool IsAddressLiteral(const std::string& host) {
  asio::error_code ec;
  asio::ip::make_address(host, ec);
  return !ec;
}

AsioTls::AsioTls(asio::ip::tcp::socket& socket, asio::ssl::context context)
    : context_(std::move(context)), stream_(socket, context_) {}

std::unique_ptr<AsioTls> AsioTls::Create(asio::ip::tcp::socket& socket, const TlsRequest& request,
                                         std::string& reason) {
  asio::error_code ec;
  asio::ssl::context context(asio::ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
  context.set_default_verify_paths(ec);  // a system without a CA store still takes #CAF
  if (!request.caPem.empty()) {
    context.add_certificate_authority(asio::buffer(request.caPem), ec);
    if (ec) {
      reason = "CA file: no usable certificate (" + ec.message() + ")";
      return nullptr;
    }
  }
  context.set_verify_mode(asio::ssl::verify_peer);
  std::unique_ptr<AsioTls> tls(new AsioTls(socket, std::move(context)));
  SSL* ssl = tls->stream_.native_handle();
  if (IsAddressLiteral(request.host)) {
    // No SNI for an address (RFC 6066); it must stand in the certificate.
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), request.host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, request.host.c_str());
    // The name must stand in subjectAltName (RFC 6125); the subject's CN
    // is never read.
    SSL_set_hostflags(ssl,
                      X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    SSL_set1_host(ssl, request.host.c_str());
  }
  return tls;
}

std::string AsioTls::HandshakeReason(const asio::error_code& ec) const {
  SSL* ssl = const_cast<Stream&>(stream_).native_handle();
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) return VerifyReason(verify);
  if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
      ec == asio::error::connection_reset) {
    return "connection closed during handshake";
  }
  if (ec.category() == asio::error::get_ssl_category()) {
    const int why = ERR_GET_REASON(static_cast<unsigned long>(ec.value()));
    // The peer refusing the versions or the ciphers offered: permanent
    // failures, so they begin with the texts the session classifies.
    switch (why) {
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
      case SSL_R_NO_PROTOCOLS_AVAILABLE:
      case SSL_R_VERSION_TOO_LOW:
        return kTlsVersionRefused;
      case SSL_R_NO_SHARED_CIPHER:
      case SSL_R_NO_CIPHERS_AVAILABLE:
        return kTlsNoSharedCipher;
      case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        return std::string(kTlsNoSharedCipher) + " (the server sent alert handshake failure)";
      case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
        return std::string(kTlsNoSharedCipher) + " (the server sent alert insufficient security)";
      case SSL_R_WRONG_VERSION_NUMBER:
        return "handshake: the server does not answer in TLS";
      default:
        if (const char* text = ERR_reason_error_string(static_cast<unsigned long>(ec.value()))) {
          return std::string("handshake: ") + text;
        }
    }
  }
  const std::string message = ec.message();
  return "handshake: " + (message.empty() ? std::string("failed") : message);
}

TlsInfo AsioTls::Info() const {
  SSL* ssl = const_cast<Stream&>(stream_).native_handle();
  TlsInfo info;
  info.version = VersionText(SSL_get_version(ssl));
  if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl)) {
    const char* name = SSL_CIPHER_standard_name(cipher);
    info.cipher = name ? name : SSL_CIPHER_get_name(cipher);
  }
  if (X509* cert = SSL_get1_peer_certificate(ssl)) {
    info.subject = NameText(X509_get_subject_name(cert));
    info.issuer = NameText(X509_get_issuer_name(cert));
    info.notAfter = TimeText(X509_get0_notAfter(cert));
    X509_free(cert);
  }
  return info;
}

void AsioTls::SendCloseNotify() {
  asio::error_code ec;
  // Non-blocking: the alert goes out if the socket takes it now, and the
  // wait for the server's alert ends at once with would_block.
  stream_.next_layer().non_blocking(true, ec);
  if (!ec) stream_.shutdown(ec);
}

}  // namespace tolvex::posix
