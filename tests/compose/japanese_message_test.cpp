// Whole messages with Japanese names: the head carries them encoded, and
// the attachment part's larger header still fits the one reservation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "compose/message.hpp"
#include "platform/native_path.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

using testing::TempDir;
using testing::WriteBytes;

TEST(JapaneseMessage, NamesAreEncodedAndTheReservationStaysExact) {
  TempDir dir;
  RunState st;
  // 送信係 <s@example.jp>; To: 表 ソ <t@example.jp>
  st.FromAddr = "\x91\x97\x90\x4D\x8C\x57 <s@example.jp>";
  st.ToList = "\x95\x5C \x83\x5C <t@example.jp>";
  st.BodyText = "body\r\n";
  st.AttachFlag = true;
  // 表.bin (short name) and a name long enough for RFC 2231 continuations.
  const std::string shortName = "\x95\x5C.bin";
  std::string longName;
  for (int i = 0; i < 20; ++i) longName += "\x83\x5C";  // ソ x 20
  longName += ".bin";
  WriteBytes(NativePath(dir.path(), shortName), std::string(1000, 'a'));
  WriteBytes(NativePath(dir.path(), longName), std::string(3000, 'b'));
  st.FileList[1] = shortName;
  st.FileList[2] = longName;
  st.FileCount = 2;

  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  const std::string& m = st.MailData.Bytes();
  EXPECT_EQ(m.substr(0, m.find("MIME-Version")),
            "From: =?ISO-2022-JP?B?GyRCQXc/Ljc4GyhK?= <s@example.jp>\r\n"
            "To: =?ISO-2022-JP?B?GyRCST0bKEogGyRCJT0bKEo=?= <t@example.jp>\r\n");
  EXPECT_NE(m.find(" filename*0*=UTF-8''%E3%82%BD"), std::string::npos);
  EXPECT_NE(m.find(" filename*1*=%E3%82%BD"), std::string::npos);
  EXPECT_LT(static_cast<unsigned char>(*std::max_element(m.begin(), m.end())), 0x80);
  // The reservation counted the new lines: no growth by doubling happened.
  EXPECT_EQ(m.capacity(), m.size());
}

}  // namespace
}  // namespace tolvex
