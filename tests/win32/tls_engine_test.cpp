// SchannelTls without a server: what the ClientHello carries, garbage and
// floods from a "server", calls out of order, CA files that cannot be used;
// and the record framing and ServerHello reading it relies on.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32/tls.hpp"
#include "platform/win32/tls_records.hpp"

namespace tolvex::win {
namespace {

using State = SchannelTls::State;

std::string Record(std::uint8_t type, const std::string& body) {
  std::string r{static_cast<char>(type), '\x03', '\x03', static_cast<char>(body.size() >> 8),
                static_cast<char>(body.size() & 0xFF)};
  return r + body;
}

TEST(TlsEngineTest, ClientHelloIsOneHandshakeRecordWithTheServerName) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out;
  ASSERT_EQ(tls.Start(out), State::Handshaking) << tls.FailureReason();
  tls::RecordHeader h;
  ASSERT_EQ(tls::FrameRecord(out, h), tls::Framing::Complete);
  EXPECT_EQ(h.type, tls::kHandshake);
  EXPECT_EQ(out[tls::kHeaderBytes], '\x01');  // client_hello
  EXPECT_NE(out.find("mail.tolvex.test"), std::string::npos) << "no SNI";
  std::string again;
  EXPECT_EQ(tls.Start(again), State::Handshaking);
  EXPECT_TRUE(again.empty()) << "a second ClientHello";
}

TEST(TlsEngineTest, AnAddressIsNotSentAsServerName) {
  SchannelTls tls(L"127.0.0.141", L"");
  std::string out;
  ASSERT_EQ(tls.Start(out), State::Handshaking) << tls.FailureReason();
  EXPECT_FALSE(out.empty());
  EXPECT_EQ(out.find("127.0.0.141"), std::string::npos);
}

TEST(TlsEngineTest, BytesThatAreNotTlsFailAtOnce) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out, plain;
  tls.Start(out);
  std::string flood(1 << 20, 'A');
  out.clear();
  EXPECT_EQ(tls.Receive(flood, out, plain), State::Failed);
  EXPECT_EQ(tls.FailureReason(), "handshake: the server does not answer in TLS");
  EXPECT_TRUE(plain.empty());
  // Nothing more is taken or answered.
  out.clear();
  EXPECT_EQ(tls.Receive(Record(tls::kHandshake, "x"), out, plain), State::Failed);
  EXPECT_TRUE(out.empty());
}

TEST(TlsEngineTest, ARecordLongerThanTlsAllowsFailsBeforeItsBody) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out, plain;
  tls.Start(out);
  EXPECT_EQ(tls.Receive(std::string("\x16\x03\x03\xFF\xFF", 5), out, plain), State::Failed);
  EXPECT_FALSE(tls.FailureReason().empty());
}

TEST(TlsEngineTest, AFloodOfWellFramedGarbageFailsTheSession) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out, plain;
  tls.Start(out);
  std::string body(16384, '\0');
  unsigned x = 7;
  for (char& ch : body) ch = static_cast<char>((x = x * 69069u + 1u) >> 24);
  body[0] = '\x02';  // looks like a ServerHello at first
  int fed = 0;
  while (tls.GetState() == State::Handshaking && fed < 256) {  // 4 MiB at most
    tls.Receive(Record(tls::kHandshake, body), out, plain);
    ++fed;
  }
  EXPECT_EQ(tls.GetState(), State::Failed) << "still taking bytes after " << fed << " records";
  EXPECT_EQ(tls.FailureReason().rfind("handshake: ", 0), 0u) << tls.FailureReason();
}

TEST(TlsEngineTest, ACutRecordIsKeptUntilItIsWhole) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out, plain;
  tls.Start(out);
  std::string alert = Record(tls::kAlert, std::string("\x02\x46", 2));  // fatal protocol_version
  out.clear();
  for (std::size_t i = 0; i + 1 < alert.size(); ++i)
    EXPECT_EQ(tls.Receive(alert.substr(i, 1), out, plain), State::Handshaking) << i;
  EXPECT_EQ(tls.Receive(alert.substr(alert.size() - 1), out, plain), State::Failed);
  EXPECT_EQ(tls.FailureReason(), "handshake: protocol version");
}

// A refusal of what the client offers reads the same on both platforms, so
// the session counts it as permanent; other alerts are named as they are.
TEST(TlsEngineTest, TheServersFatalAlertNamesTheRefusal) {
  const struct {
    char alert;
    const char* reason;
  } cases[] = {
      {'\x46', "handshake: protocol version"},
      {'\x28', "handshake: no shared cipher (the server sent alert handshake failure)"},
      {'\x47', "handshake: no shared cipher (the server sent alert insufficient security)"},
      {'\x30', "handshake: the server sent alert unknown CA"},
  };
  for (const auto& c : cases) {
    SchannelTls tls(L"mail.tolvex.test", L"");
    std::string out, plain;
    tls.Start(out);
    EXPECT_EQ(tls.Receive(Record(tls::kAlert, std::string{'\x02', c.alert}), out, plain),
              State::Failed);
    EXPECT_EQ(tls.FailureReason(), c.reason);
  }
}

TEST(TlsEngineTest, CallsOutOfOrder) {
  SchannelTls tls(L"mail.tolvex.test", L"");
  std::string out, plain;
  EXPECT_FALSE(tls.Encrypt("early", out));
  EXPECT_FALSE(tls.Shutdown(out));
  EXPECT_TRUE(out.empty());
  SchannelTls other(L"mail.tolvex.test", L"");
  other.Start(out);
  EXPECT_EQ(other.PeerClosed(), State::Failed);
  EXPECT_EQ(other.FailureReason(), "connection closed during handshake");
  SchannelTls unstarted(L"mail.tolvex.test", L"");
  EXPECT_EQ(unstarted.Receive("\x16", out, plain), State::Failed);
}

TEST(TlsEngineTest, UnusableCaFilesFailAtStart) {
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  std::wstring missing = std::wstring(tmp) + L"\u8868-missing.pem";
  SchannelTls a(L"mail.tolvex.test", missing);
  std::string out;
  EXPECT_EQ(a.Start(out), State::Failed);
  EXPECT_NE(a.FailureReason().find("cannot read"), std::string::npos) << a.FailureReason();
  EXPECT_TRUE(out.empty());

  std::wstring empty = std::wstring(tmp) + L"tolvex-no-cert.pem";
  HANDLE f = CreateFileW(empty.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(f, "-----BEGIN CERTIFICATE-----\n!!\n-----END CERTIFICATE-----\n", 58, &written,
            nullptr);
  CloseHandle(f);
  SchannelTls b(L"mail.tolvex.test", empty);
  EXPECT_EQ(b.Start(out), State::Failed);
  EXPECT_NE(b.FailureReason().find("no certificate"), std::string::npos) << b.FailureReason();
  DeleteFileW(empty.c_str());
}

TEST(TlsRecordsTest, FramingDecidesAsSoonAsTheHeaderAllows) {
  tls::RecordHeader h;
  EXPECT_EQ(tls::FrameRecord("", h), tls::Framing::NeedMore);
  EXPECT_EQ(tls::FrameRecord("\x16\x03\x03", h), tls::Framing::NeedMore);
  EXPECT_EQ(tls::FrameRecord("H", h), tls::Framing::Bad);
  EXPECT_EQ(tls::FrameRecord("\x16\x02", h), tls::Framing::Bad);
  EXPECT_EQ(tls::FrameRecord(std::string("\x17\x03\x03\x00\x02x", 6), h), tls::Framing::NeedMore);
  ASSERT_EQ(tls::FrameRecord(std::string("\x17\x03\x03\x00\x02xy", 7), h), tls::Framing::Complete);
  EXPECT_EQ(h.TotalBytes(), 7u);
  EXPECT_EQ(h.type, tls::kApplicationData);
  EXPECT_EQ(tls::FrameRecord(std::string("\x17\x03\x03\x48\x00", 5), h), tls::Framing::NeedMore);
  EXPECT_EQ(tls::FrameRecord(std::string("\x17\x03\x03\x48\x01", 5), h), tls::Framing::Bad);
  EXPECT_EQ(tls::FrameRecord(std::string("\x18\x03\x03\x00\x00", 5), h), tls::Framing::Bad);
}

// A ServerHello message: version, random, empty session id, suite, extensions.
std::string Hello(std::uint16_t version, std::uint16_t suite, const std::string& ext,
                  char r = 'r') {
  std::string m{static_cast<char>(version >> 8), static_cast<char>(version & 0xFF)};
  m += std::string(32, r) + '\0';
  m += {static_cast<char>(suite >> 8), static_cast<char>(suite & 0xFF), '\0'};
  if (!ext.empty() || version == tls::kTls12)
    m += std::string{static_cast<char>(ext.size() >> 8), static_cast<char>(ext.size())} + ext;
  return std::string{'\x02', '\0', static_cast<char>(m.size() >> 8), static_cast<char>(m.size())} +
         m;
}

TEST(TlsRecordsTest, ServerHelloVersionAndSuite) {
  auto h12 =
      tls::ReadServerHello(Hello(tls::kTls12, 0xC02F, std::string("\xFF\x01\x00\x01\x00", 5)));
  ASSERT_TRUE(h12);
  EXPECT_EQ(h12->version, tls::kTls12);
  EXPECT_EQ(tls::CipherSuiteName(h12->cipherSuite), "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256");
  // TLS 1.3 says its version in supported_versions.
  auto h13 =
      tls::ReadServerHello(Hello(tls::kTls12, 0x1302, std::string("\x00\x2B\x00\x02\x03\x04", 6)));
  ASSERT_TRUE(h13);
  EXPECT_EQ(h13->version, tls::kTls13);
  EXPECT_FALSE(h13->retryRequest);
  auto legacy = tls::ReadServerHello(Hello(0x0302, 0xC014, ""));
  ASSERT_TRUE(legacy);
  EXPECT_EQ(tls::VersionName(legacy->version), "TLS 1.1");
}

TEST(TlsRecordsTest, ServerHelloThatIsCutOrSomethingElse) {
  std::string good = Hello(tls::kTls12, 0x1301, std::string("\x00\x2B\x00\x02\x03\x04", 6));
  EXPECT_FALSE(tls::ReadServerHello(good.substr(0, good.size() - 1)));
  std::string other = good;
  other[0] = '\x01';  // a ClientHello
  EXPECT_FALSE(tls::ReadServerHello(other));
  // An extension running past the end.
  EXPECT_FALSE(
      tls::ReadServerHello(Hello(tls::kTls12, 0x1301, std::string("\x00\x2B\x00\x09\x03\x04", 6))));
}

TEST(TlsRecordsTest, Names) {
  EXPECT_EQ(tls::VersionName(0x0303), "TLS 1.2");
  EXPECT_EQ(tls::VersionName(0x7F1C), "TLS 0x7F1C");
  EXPECT_EQ(tls::CipherSuiteName(0x1301), "TLS_AES_128_GCM_SHA256");
  EXPECT_EQ(tls::CipherSuiteName(0xABCD), "0xABCD");
  EXPECT_EQ(tls::AlertName(70), "protocol version");
  EXPECT_EQ(tls::AlertName(200), "alert 200");
}

}  // namespace
}  // namespace tolvex::win
