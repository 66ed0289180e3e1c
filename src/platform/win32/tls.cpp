// The SChannel TLS client session on byte buffers.
#include "platform/win32/tls.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/platform.hpp"
#include "platform/win32/schannel_status.hpp"
#include "platform/win32/tls_records.hpp"

namespace tolvex::win {
namespace {

// ISC_REQ_USE_SUPPLIED_CREDS with no certificate: SChannel answers a
// certificate request with none instead of searching the user's store.
constexpr ULONG kIscFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                            ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                            ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION |
                            ISC_REQ_USE_SUPPLIED_CREDS;
constexpr DWORD kProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOldProtocols = SP_PROT_PCT1_CLIENT | SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT |
                                SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;
constexpr DWORD kCredFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
// InitializeSecurityContext calls per Receive: a peer cannot keep it busy.
constexpr int kMaxSteps = 64;

std::string ProtocolName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3_CLIENT) return tls::VersionName(tls::kTls13);
  if (protocol & SP_PROT_TLS1_2_CLIENT) return tls::VersionName(tls::kTls12);
  return "";
}

void TakeOutput(SecBuffer& b, std::string& out) {
  if (!b.pvBuffer) return;
  out.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
  FreeContextBuffer(b.pvBuffer);
  b.pvBuffer = nullptr;
}

SECURITY_STATUS Acquire(void* authData, CredHandle& cred) {
  TimeStamp expiry;
  return AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                   nullptr, authData, nullptr, nullptr, &cred, &expiry);
}

}  // namespace

SchannelTls::SchannelTls(std::wstring host, std::wstring caFile)
    : host_(std::move(host)), caFile_(std::move(caFile)) {}

SchannelTls::~SchannelTls() {
  if (haveCtx_) DeleteSecurityContext(&ctx_);
  if (haveCred_) FreeCredentialsHandle(&cred_);
}

SchannelTls::State SchannelTls::Fail(std::string reason) {
  if (state_ != State::Failed) {
    reason_ = reason.empty() ? "TLS failure" : std::move(reason);
    state_ = State::Failed;
  }
  in_.clear();
  head_ = framed_ = 0;
  return state_;
}

void SchannelTls::Consume(std::size_t n) {
  head_ += n;
  framed_ = framed_ > n ? framed_ - n : 0;
}

bool SchannelTls::AcquireCredentials() {
  // SCH_CREDENTIALS lets newer Windows offer TLS 1.3; older ones and Wine
  // take SCHANNEL_CRED, first with TLS 1.3, then TLS 1.2 alone. A provider
  // that misreads a form shows it in the protocols it would then allow.
  TLS_PARAMETERS params{};
  params.grbitDisabledProtocols = ~kProtocols;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kCredFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &params;
  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.dwFlags = kCredFlags;
  legacy.grbitEnabledProtocols = kProtocols;
  SCHANNEL_CRED legacy12 = legacy;
  legacy12.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  void* forms[] = {&modern, &legacy, &legacy12};
  SECURITY_STATUS st = SEC_E_UNSUPPORTED_FUNCTION;
  for (void* form : forms) {
    st = Acquire(form, cred_);
    if (st != SEC_E_OK) continue;
    SecPkgCred_SupportedProtocols allowed{};
    SECURITY_STATUS q =
        QueryCredentialsAttributesW(&cred_, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &allowed);
    if (q != SEC_E_OK || (allowed.grbitProtocol & kOldProtocols) == 0) {
      haveCred_ = true;
      return true;
    }
    FreeCredentialsHandle(&cred_);
    st = SEC_E_ALGORITHM_MISMATCH;
  }
  Fail("TLS unavailable: " + StatusName(st));
  return false;
}

SchannelTls::State SchannelTls::Start(std::string& out) {
  if (started_) return state_;
  started_ = true;
  if (!caPem_.empty() || !caFile_.empty()) {
    std::string why = caPem_.empty() ? ca_.Load(caFile_) : ca_.LoadPem(caPem_, "CA file");
    if (!why.empty()) return Fail(why);
  }
  if (!AcquireCredentials()) return state_;
  std::size_t consumed = 0;
  SECURITY_STATUS st = CallIsc(false, 0, out, consumed);
  if (st != SEC_I_CONTINUE_NEEDED) return Fail("handshake: " + StatusName(st));
  return state_;
}

SECURITY_STATUS SchannelTls::CallIsc(bool withInput, std::size_t inputBytes, std::string& out,
                                     std::size_t& consumed) {
  char none = 0;
  SecBuffer inBufs[2]{};
  inBufs[0].BufferType = SECBUFFER_TOKEN;
  inBufs[0].cbBuffer = static_cast<ULONG>(inputBytes);
  inBufs[0].pvBuffer = inputBytes ? &in_[head_] : &none;
  inBufs[1].BufferType = SECBUFFER_EMPTY;
  SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBufs};
  SecBuffer outBufs[2]{};
  outBufs[0].BufferType = SECBUFFER_TOKEN;
  outBufs[1].BufferType = SECBUFFER_ALERT;
  SecBufferDesc outDesc{SECBUFFER_VERSION, 2, outBufs};
  // No SNI for an address (RFC 6066 allows host names only).
  std::wstring target = IsIpLiteral(host_) ? std::wstring() : host_;
  ULONG attrs = 0;
  SECURITY_STATUS st = InitializeSecurityContextW(
      &cred_, haveCtx_ ? &ctx_ : nullptr, target.empty() ? nullptr : target.data(), kIscFlags, 0, 0,
      withInput ? &inDesc : nullptr, 0, &ctx_, &outDesc, &attrs, nullptr);
  if (!haveCtx_ && st >= 0) haveCtx_ = true;
  TakeOutput(outBufs[0], out);
  TakeOutput(outBufs[1], out);
  consumed = 0;
  if (withInput && (st == SEC_E_OK || st == SEC_I_CONTINUE_NEEDED)) {
    consumed = inputBytes;
    if (inBufs[1].BufferType == SECBUFFER_EXTRA && inBufs[1].cbBuffer <= inputBytes)
      consumed -= inBufs[1].cbBuffer;
  }
  return st;
}

bool SchannelTls::ScanRecords() {
  std::string_view pending = Pending();
  while (framed_ < pending.size()) {
    tls::RecordHeader h;
    tls::Framing f = tls::FrameRecord(pending.substr(framed_), h);
    if (f == tls::Framing::Bad) {
      Fail(everOpen_ ? "TLS: the server sent bytes that are not TLS records"
                     : "handshake: the server does not answer in TLS");
      return false;
    }
    if (f == tls::Framing::NeedMore) break;
    std::string_view body = pending.substr(framed_ + tls::kHeaderBytes, h.bodyBytes);
    if (!everOpen_ && h.type == tls::kAlert && body.size() == 2) {
      peerAlert_ = static_cast<std::uint8_t>(body[1]);
    } else if (!everOpen_ && h.type == tls::kHandshake && !helloFinal_) {
      if (auto hello = tls::ReadServerHello(body)) {
        helloVersion_ = hello->version;
        helloSuite_ = hello->cipherSuite;
        helloFinal_ = !hello->retryRequest;
      }
    }
    framed_ += h.TotalBytes();
  }
  return true;
}

// The peer refusing the versions or the ciphers offered is a permanent
// failure: those reasons begin with the texts the session classifies.
std::string SchannelTls::HandshakeReason(SECURITY_STATUS status) const {
  const std::string version = kTlsVersionRefused;
  if (helloVersion_ && helloVersion_ < tls::kTls12)
    return version + " (the server offers " + tls::VersionName(helloVersion_) + ")";
  if (peerAlert_ == tls::kAlertProtocolVersion) return version;
  if (peerAlert_ == tls::kAlertHandshakeFailure || peerAlert_ == tls::kAlertInsufficientSecurity)
    return std::string(kTlsNoSharedCipher) + " (the server sent alert " +
           tls::AlertName(static_cast<std::uint8_t>(peerAlert_)) + ")";
  if (peerAlert_ >= 0)
    return "handshake: the server sent alert " +
           tls::AlertName(static_cast<std::uint8_t>(peerAlert_));
  // What SChannel says itself when the server chose what it does not allow.
  if (status == SEC_E_UNSUPPORTED_FUNCTION) return version;
  if (status == SEC_E_ALGORITHM_MISMATCH) return kTlsNoSharedCipher;
  return "handshake: " + StatusName(status);
}

void SchannelTls::DriveHandshake(std::string& out) {
  for (int i = 0; i < kMaxSteps && state_ == State::Handshaking; ++i) {
    if (!ScanRecords()) return;
    if (framed_ == 0) break;  // SChannel gets whole records only
    std::size_t consumed = 0;
    SECURITY_STATUS st = CallIsc(true, framed_, out, consumed);
    if (st == SEC_E_INCOMPLETE_MESSAGE) break;
    if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED) {
      Fail(HandshakeReason(st));
      return;
    }
    Consume(consumed);
    if (st == SEC_E_OK) {
      FinishHandshake();
      return;
    }
    if (consumed == 0) break;
  }
}

void SchannelTls::FinishHandshake() {
  PCCERT_CONTEXT cert = nullptr;
  SECURITY_STATUS st = QueryContextAttributesW(&ctx_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (st != SEC_E_OK || !cert) {
    Fail("certificate verify failed: no server certificate");
    return;
  }
  std::string why = VerifyServerCertificate(cert, ca_, host_);
  if (!why.empty()) {
    CertFreeCertificateContext(cert);
    Fail(why);
    return;
  }
  if (!everOpen_) {
    peer_.subject = NameText(cert->pCertInfo->Subject);
    peer_.issuer = NameText(cert->pCertInfo->Issuer);
    peer_.notAfter = TimeText(cert->pCertInfo->NotAfter);
    SecPkgContext_ConnectionInfo info{};
    if (helloVersion_)
      peer_.version = tls::VersionName(helloVersion_);
    else if (QueryContextAttributesW(&ctx_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK)
      peer_.version = ProtocolName(info.dwProtocol);
    if (helloSuite_) peer_.cipher = tls::CipherSuiteName(helloSuite_);
  }
  CertFreeCertificateContext(cert);
  // The credentials asked for TLS 1.2 at least; check what came.
  if (helloVersion_ && helloVersion_ < tls::kTls12) {
    Fail(HandshakeReason(SEC_E_UNSUPPORTED_FUNCTION));
    return;
  }
  st = QueryContextAttributesW(&ctx_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
  if (st != SEC_E_OK || sizes_.cbMaximumMessage == 0) {
    Fail("handshake: no record sizes (" + StatusName(st) + ")");
    return;
  }
  everOpen_ = true;
  state_ = State::Open;
}

void SchannelTls::DrivePostHandshake(std::string& out) {
  // TLS 1.3 post-handshake messages (tickets, key updates) or a TLS 1.2
  // renegotiation request. The first call gets no input: SChannel already
  // holds the message. When it sends nothing and wants nothing more, it
  // has declined a new handshake (Wine does), and decryption goes on.
  for (int i = 0; i < kMaxSteps && renegotiating_ && state_ == State::Open; ++i) {
    if (!ScanRecords()) return;
    std::size_t input = renegotiationCalls_++ ? framed_ : 0;
    std::size_t consumed = 0;
    std::size_t before = out.size();
    SECURITY_STATUS st = CallIsc(true, input, out, consumed);
    if (out.size() != before) renegotiationSentBytes_ = true;
    if (st != SEC_E_OK && st != SEC_I_CONTINUE_NEEDED && st != SEC_E_INCOMPLETE_MESSAGE) {
      Fail("renegotiation: " + StatusName(st));
      return;
    }
    Consume(consumed);
    if (st == SEC_E_OK || !renegotiationSentBytes_) {
      renegotiating_ = false;
      // A new handshake may have brought a new certificate.
      if (st == SEC_E_OK && renegotiationSentBytes_) FinishHandshake();
      return;
    }
    if (st == SEC_E_INCOMPLETE_MESSAGE || framed_ == 0) return;  // wait for the server
  }
}

void SchannelTls::DecryptRecords(std::string& out, std::string& plain) {
  // One whole record per call: SChannel never sees a cut record, and bytes
  // are kept only up to the end of the record being received.
  while (state_ == State::Open && !renegotiating_) {
    tls::RecordHeader h;
    tls::Framing f = tls::FrameRecord(Pending(), h);
    if (f == tls::Framing::NeedMore) return;
    if (f == tls::Framing::Bad) {
      Fail("TLS: the server sent bytes that are not TLS records");
      return;
    }
    SecBuffer b[4]{};
    b[0].BufferType = SECBUFFER_DATA;
    b[0].cbBuffer = static_cast<ULONG>(h.TotalBytes());
    b[0].pvBuffer = &in_[head_];
    b[1].BufferType = b[2].BufferType = b[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS st = DecryptMessage(&ctx_, &desc, 0, nullptr);
    if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE && st != SEC_I_CONTEXT_EXPIRED) {
      Fail("decrypt: " + StatusName(st));
      return;
    }
    std::size_t got = 0;
    for (SecBuffer& x : b) {
      if (x.BufferType == SECBUFFER_DATA && x.pvBuffer && x.cbBuffer) {
        plain.append(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
        got += x.cbBuffer;
      }
    }
    Consume(h.TotalBytes());
    // Windows reports close_notify as SEC_I_CONTEXT_EXPIRED; Wine as an
    // alert record that decrypts to nothing.
    if (st == SEC_I_CONTEXT_EXPIRED || (st == SEC_E_OK && got == 0 && h.type == tls::kAlert)) {
      closeNotify_ = true;
      state_ = State::Closed;
      return;
    }
    if (st == SEC_I_RENEGOTIATE) {
      renegotiating_ = true;
      renegotiationSentBytes_ = false;
      renegotiationCalls_ = 0;
      DrivePostHandshake(out);
    }
  }
}

SchannelTls::State SchannelTls::Receive(std::string_view in, std::string& out, std::string& plain) {
  if (!started_) return Fail("TLS: data before the session started");
  if (state_ == State::Failed || state_ == State::Closed) return state_;
  in_.append(in);
  if (state_ == State::Handshaking) {
    handshakeBytes_ += in.size();
    DriveHandshake(out);
    if (state_ == State::Handshaking && handshakeBytes_ > kMaxHandshakeBytes)
      return Fail("handshake: the server sent over 256 KiB without finishing");
  }
  if (state_ == State::Open && renegotiating_) DrivePostHandshake(out);
  if (state_ == State::Open) DecryptRecords(out, plain);
  if (state_ == State::Closed) {
    in_.clear();  // nothing after close_notify counts
    head_ = framed_ = 0;
  }
  in_.erase(0, head_);
  head_ = 0;
  if (state_ == State::Open && renegotiating_ && in_.size() > kMaxHandshakeBytes)
    Fail("renegotiation: the server sent over 256 KiB without finishing");
  return state_;
}

bool SchannelTls::Encrypt(std::string_view plain, std::string& out) {
  if (state_ != State::Open) return false;
  std::string buf;
  while (!plain.empty()) {
    std::size_t n = std::min<std::size_t>(plain.size(), sizes_.cbMaximumMessage);
    buf.assign(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
    std::copy_n(plain.data(), n, buf.data() + sizes_.cbHeader);
    SecBuffer b[4]{};
    b[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, buf.data()};
    b[1] = {static_cast<ULONG>(n), SECBUFFER_DATA, buf.data() + sizes_.cbHeader};
    b[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, buf.data() + sizes_.cbHeader + n};
    b[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS st = EncryptMessage(&ctx_, 0, &desc, 0);
    if (st != SEC_E_OK) {
      Fail("encrypt: " + StatusName(st));
      return false;
    }
    for (int i = 0; i < 3; ++i) out.append(static_cast<const char*>(b[i].pvBuffer), b[i].cbBuffer);
    plain.remove_prefix(n);
  }
  return true;
}

SchannelTls::State SchannelTls::PeerClosed() {
  if (state_ == State::Handshaking) return Fail("connection closed during handshake");
  if (state_ == State::Open) state_ = State::Closed;
  return state_;
}

bool SchannelTls::Shutdown(std::string& out) {
  bool sent = false;
  if (everOpen_ && !shutdownDone_ && (state_ == State::Open || state_ == State::Closed)) {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer b{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &b};
    if (ApplyControlToken(&ctx_, &desc) == SEC_E_OK) {
      std::size_t before = out.size();
      std::size_t consumed = 0;
      SECURITY_STATUS st = CallIsc(false, 0, out, consumed);
      sent = out.size() > before && st >= 0;
    }
  }
  shutdownDone_ = true;
  if (state_ != State::Failed) state_ = State::Closed;
  return sent;
}

}  // namespace tolvex::win
