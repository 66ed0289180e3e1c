// ReadGenericCredential against credentials written with CredWriteW: the
// UTF-16 blobs cmdkey stores (ASCII and Japanese with 0x5C trail bytes),
// byte blobs, an empty blob and a missing credential; a stored sign-in
// over 64 KiB refused uncopied.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <wincred.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/win32/credentials.hpp"
#include "platform/win32/sign_in_store.hpp"

namespace tolvex::win {
namespace {

class CredentialTest : public ::testing::Test {
 protected:
  std::wstring Target(const wchar_t* what) {
    std::wstring t = L"Tolvex:test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + what;
    written_.push_back(t);
    return t;
  }
  void Write(const std::wstring& target, const void* blob, DWORD size) {
    CREDENTIALW c{};
    c.Type = CRED_TYPE_GENERIC;
    c.TargetName = const_cast<LPWSTR>(target.c_str());
    c.CredentialBlobSize = size;
    c.CredentialBlob = static_cast<LPBYTE>(const_cast<void*>(blob));
    c.Persist = CRED_PERSIST_LOCAL_MACHINE;
    c.UserName = const_cast<LPWSTR>(L"tolvex");
    ASSERT_TRUE(CredWriteW(&c, 0)) << GetLastError();
  }
  void WriteWide(const std::wstring& target, const std::wstring& secret) {
    Write(target, secret.data(), static_cast<DWORD>(secret.size() * sizeof(wchar_t)));
  }
  void TearDown() override {
    for (const std::wstring& t : written_) CredDeleteW(t.c_str(), CRED_TYPE_GENERIC, 0);
  }
  std::vector<std::wstring> written_;
};

TEST_F(CredentialTest, Utf16PasswordComesBackAsText) {
  std::wstring t = Target(L"ascii");
  WriteWide(t, L"s3cr3t!pass");
  EXPECT_EQ(ReadGenericCredential(t), std::optional<std::string>("s3cr3t!pass"));
}

TEST_F(CredentialTest, JapaneseUtf16PasswordComesBackInCodePage932) {
  std::wstring t = Target(L"ja");
  WriteWide(t, L"\u8868\u30bd\u80fd|\u30d1\u30b9");  // 表ソ能|パス
  EXPECT_EQ(ReadGenericCredential(t),
            std::optional<std::string>("\x95\x5C\x83\x5C\x94\x5C|\x83\x70\x83\x58"));
}

TEST_F(CredentialTest, ByteBlobsComeBackAsTheyAre) {
  std::wstring odd = Target(L"odd");
  Write(odd, "\x01\x02\x03", 3);
  EXPECT_EQ(ReadGenericCredential(odd), std::optional<std::string>("\x01\x02\x03"));
  std::wstring ascii = Target(L"bytes");
  Write(ascii, "token-1234", 10);
  EXPECT_EQ(ReadGenericCredential(ascii), std::optional<std::string>("token-1234"));
  // Even-sized but no UTF-16 text (a lone surrogate): bytes.
  std::wstring bad = Target(L"bad");
  Write(bad, "\x00\xD8\x41\x00", 4);
  EXPECT_EQ(ReadGenericCredential(bad),
            std::optional<std::string>(std::string("\x00\xD8\x41\x00", 4)));
}

TEST_F(CredentialTest, EmptyBlobIsAnEmptySecretNotAMissingOne) {
  std::wstring t = Target(L"empty");
  Write(t, nullptr, 0);
  EXPECT_EQ(ReadGenericCredential(t), std::optional<std::string>(""));
}

TEST_F(CredentialTest, MissingCredentialIsNullopt) {
  EXPECT_EQ(ReadGenericCredential(L"Tolvex:no-such-host.invalid"), std::nullopt);
  // An empty target names nothing.
  EXPECT_EQ(ReadGenericCredential(L""), std::nullopt);
}

TEST_F(CredentialTest, StoredSignInOver64KiBIsRefusedUncopied) {
  const std::string key = "test-" + std::to_string(GetCurrentProcessId()) + " c u@example.jp";
  const std::wstring target = Target(L"unused");
  written_.push_back(L"Tolvex:signin:" + std::wstring(key.begin(), key.end()));
  CredentialSignInStore store;
  for (std::size_t size : {kMaxStoredSignIn, kMaxStoredSignIn + 1}) {
    const std::string blob(size, 'r');
    Write(written_.back(), blob.data(), static_cast<DWORD>(blob.size()));
    const StoredSignIn found = store.Load(key);
    if (size == kMaxStoredSignIn) {
      EXPECT_EQ(found.token.View(), blob);
      EXPECT_EQ(found.refused, "");
    } else {
      EXPECT_TRUE(found.token.Empty());
      EXPECT_EQ(found.refused, "the sign-in store's credential Tolvex:signin:" + key +
                                   " is refused: it is larger than 64 KiB");
    }
  }
  bool tooLarge = false;
  EXPECT_EQ(ReadGenericCredential(written_.back(), kMaxStoredSignIn + 1, tooLarge),
            std::optional<std::string>(std::string(kMaxStoredSignIn + 1, 'r')));
  EXPECT_FALSE(tooLarge);
  EXPECT_EQ(ReadGenericCredential(target, 1, tooLarge), std::nullopt);  // none: not too large
  EXPECT_FALSE(tooLarge);
}

}  // namespace
}  // namespace tolvex::win
