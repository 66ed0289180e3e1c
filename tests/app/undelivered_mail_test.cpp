// The undelivered message's file: its bytes, its name that never replaces
// another file, and nothing left behind when it cannot be written.
#include "app/undelivered_mail.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/faulty_folder.hpp"
#include "support/memory_file.hpp"
#include "support/memory_folder.hpp"

namespace tolvex::test {
namespace {

constexpr char kMessage[] = "Subject: x\r\nTo: a@x\r\n\r\n.dot\r\n\x95\x5C\r\n.\r\n";

MailSpool Spool(const std::string& bytes) {
  MailSpool spool;
  spool.Assign(std::make_shared<MemoryFile>(bytes), bytes.size());
  return spool;
}

const LocalTime kAt{2026, 12, 7, 1, 3, 4, 5, 540};

TEST(UndeliveredMail, KeptWithoutEndOfDataAndNeverOverwritten) {
  MemoryFolder folder;
  folder.files["undelivered/20261207-030405-1.eml"] = "an earlier one";
  std::string name;
  ASSERT_FALSE(SaveUndelivered(folder, Spool(kMessage), kAt, name));
  EXPECT_EQ(name, "undelivered/20261207-030405-2.eml");
  EXPECT_EQ(folder.files[name], "Subject: x\r\nTo: a@x\r\n\r\n.dot\r\n\x95\x5C\r\n");
  EXPECT_EQ(folder.files["undelivered/20261207-030405-1.eml"], "an earlier one");
  EXPECT_EQ(folder.folders.count("undelivered"), 1u);
  EXPECT_EQ(folder.files.size(), 2u);  // no temporary file left
}

// Names already there (a link, an earlier file, one left by a crashed run)
// at the temporary or final names are passed over and keep their bytes.
TEST(UndeliveredMail, NamesAlreadyThereAreNeverWrittenThrough) {
  const std::string base = "undelivered/20261207-030405";
  const struct {
    std::vector<std::string> planted;
    const char* kept;
  } cases[] = {
      {{}, "-1.eml"},
      {{".eml.new"}, "-1.eml"},
      {{".eml.new", "-2.eml.new", "-1.eml"}, "-2.eml"},
      {{"-1.eml", "-2.eml", "-3.eml"}, "-4.eml"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kept);
    MemoryFolder folder;
    for (const std::string& name : c.planted) folder.files[base + name] = "planted " + name;
    std::string name;
    ASSERT_FALSE(SaveUndelivered(folder, Spool(kMessage), kAt, name));
    EXPECT_EQ(name, base + c.kept);
    EXPECT_EQ(folder.files[name], "Subject: x\r\nTo: a@x\r\n\r\n.dot\r\n\x95\x5C\r\n");
    EXPECT_EQ(folder.privateFiles, (std::set<std::string, std::less<>>{name}));
    for (const std::string& planted : c.planted)
      EXPECT_EQ(folder.files[base + planted], "planted " + planted);
    EXPECT_EQ(folder.files.size(), c.planted.size() + 1);
  }
}

TEST(UndeliveredMail, FailuresLeaveNoPartialFile) {
  for (int failAt = 1; failAt <= 5; ++failAt) {  // mkdir, create, write, finish, rename
    SCOPED_TRACE(failAt);
    auto inner = std::make_unique<MemoryFolder>();
    MemoryFolder& files = *inner;
    FaultyFolder folder(std::move(inner), failAt);
    std::string name;
    const Status status = SaveUndelivered(folder, Spool(kMessage), kAt, name);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(folder.Injected());
    EXPECT_EQ(status->kind, FailureKind::SpoolWriteFailed);
    EXPECT_NE(status->message.find("undelivered"), std::string::npos) << status->message;
    EXPECT_TRUE(files.files.empty()) << folder.InjectedOp();
  }
}

}  // namespace
}  // namespace tolvex::test
