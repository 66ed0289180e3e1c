// TLS record framing and the plain handshake messages the engine reads.
#include "platform/win32/tls_records.hpp"

#include <cstdio>

namespace tolvex::win::tls {
namespace {

std::uint8_t Byte(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

std::uint16_t Word(std::string_view s, std::size_t i) {
  return static_cast<std::uint16_t>(Byte(s, i) << 8 | Byte(s, i + 1));
}

std::string Hex(unsigned value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

// SHA-256 of "HelloRetryRequest": the random of a HelloRetryRequest.
constexpr unsigned char kRetryRandom[32] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

}  // namespace

Framing FrameRecord(std::string_view data, RecordHeader& header) {
  if (data.size() < kHeaderBytes) {
    // Reject a wrong first byte at once: a flood of non-TLS bytes fails early.
    if (!data.empty() && (Byte(data, 0) < kChangeCipherSpec || Byte(data, 0) > kApplicationData))
      return Framing::Bad;
    if (data.size() >= 2 && Byte(data, 1) != 3) return Framing::Bad;
    return Framing::NeedMore;
  }
  header.type = Byte(data, 0);
  header.version = Word(data, 1);
  header.bodyBytes = Word(data, 3);
  if (header.type < kChangeCipherSpec || header.type > kApplicationData) return Framing::Bad;
  if ((header.version >> 8) != 3 || header.bodyBytes > kMaxBodyBytes) return Framing::Bad;
  return data.size() >= header.TotalBytes() ? Framing::Complete : Framing::NeedMore;
}

std::optional<ServerHello> ReadServerHello(std::string_view body) {
  // Handshake header: type 2 (server_hello), 24-bit length.
  if (body.size() < 4 || Byte(body, 0) != 2) return std::nullopt;
  std::size_t length =
      std::size_t{Byte(body, 1)} << 16 | std::size_t{Byte(body, 2)} << 8 | Byte(body, 3);
  if (body.size() < 4 + length) return std::nullopt;
  std::string_view m = body.substr(4, length);
  // legacy_version(2) random(32) session_id(1+n) cipher_suite(2) compression(1)
  if (m.size() < 2 + 32 + 1) return std::nullopt;
  ServerHello hello;
  hello.version = Word(m, 0);
  hello.retryRequest =
      m.substr(2, 32) == std::string_view(reinterpret_cast<const char*>(kRetryRandom), 32);
  std::size_t pos = 34;
  std::size_t sessionId = Byte(m, pos);
  pos += 1 + sessionId;
  if (m.size() < pos + 3) return std::nullopt;
  hello.cipherSuite = Word(m, pos);
  pos += 3;
  if (m.size() < pos + 2) return hello;  // no extensions: TLS 1.2 or older
  std::size_t extEnd = pos + 2 + Word(m, pos);
  if (extEnd > m.size()) return std::nullopt;
  pos += 2;
  while (pos + 4 <= extEnd) {
    std::uint16_t type = Word(m, pos);
    std::size_t size = Word(m, pos + 2);
    pos += 4;
    if (pos + size > extEnd) return std::nullopt;
    if (type == 43 && size == 2) hello.version = Word(m, pos);  // supported_versions
    pos += size;
  }
  return hello;
}

std::string VersionName(std::uint16_t version) {
  switch (version) {
    case 0x0300:
      return "SSL 3.0";
    case kTls10:
      return "TLS 1.0";
    case 0x0302:
      return "TLS 1.1";
    case kTls12:
      return "TLS 1.2";
    case kTls13:
      return "TLS 1.3";
  }
  return "TLS " + Hex(version, 4);
}

std::string CipherSuiteName(std::uint16_t suite) {
  struct Named {
    std::uint16_t id;
    const char* name;
  };
  static constexpr Named kSuites[] = {
      {0x1301, "TLS_AES_128_GCM_SHA256"},
      {0x1302, "TLS_AES_256_GCM_SHA384"},
      {0x1303, "TLS_CHACHA20_POLY1305_SHA256"},
      {0xC02B, "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256"},
      {0xC02C, "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384"},
      {0xC02F, "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"},
      {0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384"},
      {0xCCA8, "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256"},
      {0xCCA9, "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256"},
      {0x009E, "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"},
      {0x009F, "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"},
      {0x009C, "TLS_RSA_WITH_AES_128_GCM_SHA256"},
      {0x009D, "TLS_RSA_WITH_AES_256_GCM_SHA384"},
      {0xC013, "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"},
      {0xC014, "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA"},
  };
  for (const Named& s : kSuites)
    if (s.id == suite) return s.name;
  return Hex(suite, 4);
}

std::string AlertName(std::uint8_t description) {
  switch (description) {
    case 0:
      return "close notify";
    case 10:
      return "unexpected message";
    case 20:
      return "bad record mac";
    case 40:
      return "handshake failure";
    case 42:
      return "bad certificate";
    case 43:
      return "unsupported certificate";
    case 46:
      return "certificate unknown";
    case 47:
      return "illegal parameter";
    case 48:
      return "unknown CA";
    case 50:
      return "decode error";
    case 51:
      return "decrypt error";
    case 70:
      return "protocol version";
    case 71:
      return "insufficient security";
    case 80:
      return "internal error";
    case 86:
      return "inappropriate fallback";
    case 90:
      return "user canceled";
    case 109:
      return "missing extension";
    case 110:
      return "unsupported extension";
    case 112:
      return "unrecognized name";
    case 116:
      return "certificate required";
    case 120:
      return "no application protocol";
  }
  return "alert " + std::to_string(description);
}

}  // namespace tolvex::win::tls
