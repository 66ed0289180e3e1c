// Stored sign-ins on Linux: kept per key in 0600 files, replaced whole,
// found in XDG_CONFIG_HOME or ~/.config.
#include "platform/posix/file_sign_in_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace tolvex::posix::test {
namespace {

namespace fs = std::filesystem;

TEST(FileSignInStore, KeptPerKeyPrivateAndReplacedWhole) {
  std::string pattern = (fs::temp_directory_path() / "tolvex-si-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = fs::path(pattern) / "tolvex";
  FileSignInStore store(dir);
  const std::string a = SignInKey("https://idp.test/token", "c", "u@example.jp");
  const std::string b = SignInKey("https://idp.test/token", "c", "v@example.jp");

  EXPECT_FALSE(store.Load(a));  // nothing yet, not even the folder
  EXPECT_EQ(store.LoadProblem(), "");
  for (const char* token : {"r1", "r2-rotated", "r3"}) {
    ASSERT_EQ(store.Save(a, Secret(token)), "");
    ASSERT_TRUE(store.Load(a));
    EXPECT_EQ(store.Load(a)->View(), token);
  }
  EXPECT_FALSE(store.Load(b));
  ASSERT_EQ(store.Save(b, Secret("other")), "");
  EXPECT_EQ(store.Load(a)->View(), "r3");

  struct stat st {};
  ASSERT_EQ(::stat(store.FileOf(a).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(store.FileOf(a).string() + ".new"));

  // A file holding another key (a hash collision, a copied file) is none of
  // this key's.
  fs::copy_file(store.FileOf(b), store.FileOf(a), fs::copy_options::overwrite_existing);
  EXPECT_FALSE(store.Load(a));
  // Such a file, or one that is not a sign-in at all, is named as corrupt.
  const std::string corrupt = "the sign-in store file " + store.FileOf(a).string() + " is corrupt";
  EXPECT_EQ(store.LoadProblem(), corrupt);
  std::ofstream(store.FileOf(a), std::ios::trunc) << "\x01garbage";
  EXPECT_FALSE(store.Load(a));
  EXPECT_EQ(store.LoadProblem(), corrupt);
  EXPECT_TRUE(store.Load(b));
  EXPECT_EQ(store.LoadProblem(), "");

  // A folder that cannot be made: the reason, nothing stored.
  std::ofstream(fs::path(pattern) / "file") << "x";
  FileSignInStore blocked(fs::path(pattern) / "file" / "tolvex");
  EXPECT_NE(blocked.Save(a, Secret("r")), "");
  fs::remove_all(pattern);
}

TEST(FileSignInStore, FolderFromTheEnvironment) {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const std::string savedXdg = xdg ? xdg : "";
  const std::string savedHome = home ? home : "";
  ::setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(FileSignInStore::DefaultFolder(), fs::path("/x/conf/tolvex"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(FileSignInStore::DefaultFolder(), fs::path("/home/u/.config/tolvex"));
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("HOME");
  EXPECT_EQ(FileSignInStore::DefaultFolder(), fs::path());
  if (xdg) ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  if (home) ::setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace tolvex::posix::test
