// SchannelTls against real TLS servers (tests/win32/tls_server.py, started
// by tools/test-win.sh, which names the CA files in TOLVEX_TLS_CA and
// TOLVEX_TLS_OTHER_CA): round trips, certificate failures, protocol
// failures and both ways of closing. Each case has its own address.
#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <string>

#include "platform/win32/tls_records.hpp"
#include "tls_client.hpp"

namespace tolvex::win {
namespace {

using test::TlsClient;
using State = SchannelTls::State;

const wchar_t kName[] = L"mail.tolvex.test";

std::string ReadAll(const std::wstring& path) {
  std::string data;
  HANDLE f =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return data;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(f, buf, sizeof buf, &n, nullptr) && n > 0) data.append(buf, n);
  CloseHandle(f);
  return data;
}

bool WriteAll(const std::wstring& path, const std::string& data) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok =
      WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
  CloseHandle(f);
  return ok;
}

class TlsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ca_ = test::EnvPath(L"TOLVEX_TLS_CA");
    otherCa_ = test::EnvPath(L"TOLVEX_TLS_OTHER_CA");
    ASSERT_FALSE(ca_.empty()) << "TOLVEX_TLS_CA unset: run through tools/test-win.sh";
    ASSERT_FALSE(otherCa_.empty());
  }

  // Runs the handshake; false when there was no connection.
  static bool Connect(TlsClient& c) {
    if (!c.Connected()) return false;
    c.Handshake();
    return true;
  }

  static std::string Payload(std::size_t size) {
    std::string s(size, '\0');
    unsigned x = 12345;
    for (char& ch : s) {
      x = x * 1103515245u + 12345u;
      ch = static_cast<char>(x >> 16);
    }
    return s;
  }

  std::wstring ca_, otherCa_;
};

TEST_F(TlsServerTest, AFewKilobytesOfJapaneseTextComeBackWhole) {
  // An IP literal, matched against the certificate's IP subjectAltName.
  TlsClient c("127.0.0.141", L"127.0.0.141", ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  TlsPeerInfo info = c.tls.PeerInfo();
  EXPECT_TRUE(info.version == "TLS 1.2" || info.version == "TLS 1.3") << info.version;
  EXPECT_EQ(info.cipher.rfind("TLS_", 0), 0u) << info.cipher;
  EXPECT_NE(info.subject.find("CN=127.0.0.141"), std::string::npos) << info.subject;
  EXPECT_NE(info.issuer.find("CN=Tolvex Test CA"), std::string::npos) << info.issuer;
  EXPECT_TRUE(std::regex_match(info.notAfter, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC)")))
      << info.notAfter;
  std::string text;
  while (text.size() < 5000) text += "\x95\x5C\x8E\xA6 \x83\x5C\x83\x74\x83\x67 \x94\x5C|\\\r\n";
  EXPECT_EQ(c.EchoRoundTrip(text), text);
  std::cout << "[   INFO   ] " << info.version << " " << info.cipher << "\n";
}

TEST_F(TlsServerTest, OneMebibyteOverTls12InManyRecordsPerRead) {
  TlsClient c("127.0.0.142", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  EXPECT_EQ(c.tls.PeerInfo().version, "TLS 1.2");
  std::string data = Payload(1 << 20);
  // Each 64 KiB echo (four or more records) is handed over in one piece.
  c.gatherBytes = 64 * 1024;
  std::string back = c.EchoRoundTrip(data);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data);
  EXPECT_GE(c.largestRead, 64u * 1024);
}

TEST_F(TlsServerTest, OneMebibyteOverTls13CutIntoOddPieces) {
  TlsClient c("127.0.0.143", kName, ca_);
  c.feedBytes = 1000;  // records and their headers cut at every offset
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  if (!test::OffersTls13(c.clientHello)) {
    // This SChannel has no TLS 1.3: the TLS 1.3-only server refuses it.
    EXPECT_EQ(c.tls.GetState(), State::Failed);
    EXPECT_EQ(c.tls.FailureReason(), "handshake: protocol version");
    std::cout << "[   INFO   ] this SChannel does not offer TLS 1.3\n";
    return;
  }
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  EXPECT_EQ(c.tls.PeerInfo().version, "TLS 1.3");
  std::string data = Payload(1 << 20);
  EXPECT_TRUE(c.EchoRoundTrip(data) == data);
}

TEST_F(TlsServerTest, HandshakeAndDataFedOneByteAtATime) {
  TlsClient c("127.0.0.153", kName, ca_);
  c.feedBytes = 1;
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  EXPECT_EQ(c.EchoRoundTrip("EHLO pc01\r\n"), "EHLO pc01\r\n");
}

TEST_F(TlsServerTest, HostNamesCompareWithoutCase) {
  TlsClient c("127.0.0.154", L"MAIL.Tolvex.TEST", ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
}

TEST_F(TlsServerTest, CertificateForAnotherHostFails) {
  TlsClient c("127.0.0.144", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "certificate verify failed: host name mismatch");
  std::string out;
  EXPECT_FALSE(c.tls.Encrypt("MAIL FROM:<a@b>\r\n", out));
  EXPECT_TRUE(out.empty());
}

TEST_F(TlsServerTest, CertificateForAnotherAddressFails) {
  // The server shows the certificate of 127.0.0.141.
  TlsClient c("127.0.0.145", L"127.0.0.145", ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "certificate verify failed: host name mismatch");
}

TEST_F(TlsServerTest, CaNotGivenIsAnUnknownCa) {
  TlsClient c("127.0.0.146", kName, L"");
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "certificate verify failed: unknown CA");
}

TEST_F(TlsServerTest, AnUnrelatedCaFileTrustsNothing) {
  TlsClient c("127.0.0.147", kName, otherCa_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "certificate verify failed: unknown CA");
}

TEST_F(TlsServerTest, CaFileWithSeveralCertificatesCrLfAndAJapaneseName) {
  std::string pem = ReadAll(otherCa_) + ReadAll(ca_);
  std::string crlf;
  for (char ch : pem) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  wchar_t tmp[MAX_PATH];
  GetTempPathW(MAX_PATH, tmp);
  std::wstring dir = std::wstring(tmp) + L"\u8a3c\u660e\u66f8";  // 証明書
  CreateDirectoryW(dir.c_str(), nullptr);
  std::wstring file = dir + L"\\\u8868.pem";  // 表.pem
  ASSERT_TRUE(WriteAll(file, crlf));

  TlsClient c("127.0.0.155", kName, file);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  DeleteFileW(file.c_str());
  RemoveDirectoryW(dir.c_str());
}

TEST_F(TlsServerTest, ExpiredCertificateFails) {
  TlsClient c("127.0.0.151", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "certificate verify failed: expired");
}

TEST_F(TlsServerTest, ServerWithOnlyTls10And11FailsOnTheVersion) {
  TlsClient c("127.0.0.148", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason().rfind("handshake: protocol version", 0), 0u)
      << c.tls.FailureReason();
}

TEST_F(TlsServerTest, ServerHangingUpDuringTheHandshakeFails) {
  TlsClient c("127.0.0.149", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "connection closed during handshake");
}

TEST_F(TlsServerTest, PlainSmtpServerIsNoTlsServer) {
  TlsClient c("127.0.0.152", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  EXPECT_EQ(c.tls.GetState(), State::Failed);
  EXPECT_EQ(c.tls.FailureReason(), "handshake: the server does not answer in TLS");
}

TEST_F(TlsServerTest, ServerCloseNotifyClosesTheSessionBeforeTheStreamEnds) {
  TlsClient c("127.0.0.150", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  // The session must see close_notify itself, not wait for the TCP end.
  while (c.tls.GetState() == State::Open && c.ReadOnce()) {
  }
  EXPECT_EQ(c.tls.GetState(), State::Closed);
  EXPECT_TRUE(c.tls.CloseNotifyReceived());
  EXPECT_EQ(c.plain, "220 mail.tolvex.test ESMTP ready\r\n");
  std::string out;
  EXPECT_FALSE(c.tls.Encrypt("QUIT\r\n", out));
  EXPECT_TRUE(out.empty());
}

TEST_F(TlsServerTest, ServerAskingForANewHandshakeKeepsTheSessionGoing) {
  TlsClient c("127.0.0.157", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  const std::string greeting = "250 after renegotiation\r\n";
  while (c.plain.size() < greeting.size() && c.tls.GetState() == State::Open && c.ReadOnce()) {
  }
  EXPECT_EQ(c.plain, greeting) << c.tls.FailureReason();
  EXPECT_EQ(c.EchoRoundTrip("NOOP\r\n"), "NOOP\r\n");
  EXPECT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
}

TEST_F(TlsServerTest, ClientShutdownEndsTheSession) {
  TlsClient c("127.0.0.156", kName, ca_);
  ASSERT_TRUE(Connect(c)) << "no TLS test server";
  ASSERT_EQ(c.tls.GetState(), State::Open) << c.tls.FailureReason();
  EXPECT_EQ(c.EchoRoundTrip("QUIT\r\n"), "QUIT\r\n");
  std::string out;
  bool notify = c.tls.Shutdown(out);
  EXPECT_EQ(c.tls.GetState(), State::Closed);
  EXPECT_EQ(notify, !out.empty());
  if (notify) {
    // One (encrypted) alert record.
    tls::RecordHeader h;
    ASSERT_EQ(tls::FrameRecord(out, h), tls::Framing::Complete);
    EXPECT_EQ(h.TotalBytes(), out.size());
    EXPECT_TRUE(h.type == tls::kAlert || h.type == tls::kApplicationData);
  }
  std::string more;
  EXPECT_FALSE(c.tls.Encrypt("x", more));
  EXPECT_FALSE(c.tls.Shutdown(more)) << "a second close_notify";
  if (notify) {
    // The server answers our close_notify with its own.
    ASSERT_TRUE(c.Send(out));
    std::cout << "[   INFO   ] close_notify sent\n";
  } else {
    std::cout << "[   INFO   ] this SChannel cannot send close_notify\n";
  }
}

}  // namespace
}  // namespace tolvex::win
