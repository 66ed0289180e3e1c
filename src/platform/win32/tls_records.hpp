// TLS records as seen from outside the encryption: where a record ends,
// whether bytes are TLS at all, and the few plaintext messages a server
// sends before encryption starts (ServerHello, alerts), read for failure
// reasons and the connection summary. No Windows calls here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvex::win::tls {

inline constexpr std::size_t kHeaderBytes = 5;
// Largest record body a peer may send (TLSCiphertext: 2^14 + 2048).
inline constexpr std::size_t kMaxBodyBytes = 16384 + 2048;

inline constexpr std::uint8_t kChangeCipherSpec = 20;
inline constexpr std::uint8_t kAlert = 21;
inline constexpr std::uint8_t kHandshake = 22;
inline constexpr std::uint8_t kApplicationData = 23;

inline constexpr std::uint16_t kTls10 = 0x0301;
inline constexpr std::uint16_t kTls12 = 0x0303;
inline constexpr std::uint16_t kTls13 = 0x0304;

struct RecordHeader {
  std::uint8_t type = 0;
  std::uint16_t version = 0;
  std::size_t bodyBytes = 0;
  std::size_t TotalBytes() const { return kHeaderBytes + bodyBytes; }
};

enum class Framing { Complete, NeedMore, Bad };

// Frames the record at the start of `data`. Bad: not a TLS record (unknown
// content type, a version that is not 3.x, or a body over kMaxBodyBytes);
// decided as soon as the header is there.
Framing FrameRecord(std::string_view data, RecordHeader& header);

struct ServerHello {
  std::uint16_t version = 0;  // negotiated: supported_versions when present
  std::uint16_t cipherSuite = 0;
  bool retryRequest = false;  // a TLS 1.3 HelloRetryRequest
};

// Reads a ServerHello from the body of a plaintext handshake record whose
// first message it is; nullopt for anything else or a cut message.
std::optional<ServerHello> ReadServerHello(std::string_view body);

// "TLS 1.2"; unknown values as hex.
std::string VersionName(std::uint16_t version);
// The IANA name of common suites ("TLS_AES_128_GCM_SHA256"), else hex.
std::string CipherSuiteName(std::uint16_t suite);
// "protocol version", "handshake failure", ...; unknown ones by number.
std::string AlertName(std::uint8_t description);

inline constexpr std::uint8_t kAlertCloseNotify = 0;
inline constexpr std::uint8_t kAlertHandshakeFailure = 40;
inline constexpr std::uint8_t kAlertProtocolVersion = 70;
inline constexpr std::uint8_t kAlertInsufficientSecurity = 71;

}  // namespace tolvex::win::tls
