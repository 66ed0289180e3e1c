// Stored sign-ins on Linux: kept per key in 0600 files, replaced whole,
// found in XDG_CONFIG_HOME or ~/.config; refused (with why) when open to
// other users, too large, not a plain file or corrupt.
#include "platform/posix/sign_in_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

namespace tolvex::posix::test {
namespace {

namespace fs = std::filesystem;

// The token found, "" when none is kept, else the refusal.
std::string Found(FileSignInStore& store, const std::string& key) {
  const StoredSignIn found = store.Load(key);
  EXPECT_TRUE(found.token.Empty() || found.refused.empty());
  return found.refused.empty() ? std::string(found.token.View()) : "refused: " + found.refused;
}

std::string TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "tolvex-si-XXXXXX").string();
  EXPECT_NE(::mkdtemp(pattern.data()), nullptr);
  return pattern;
}

TEST(FileSignInStore, KeptPerKeyPrivateAndReplacedWhole) {
  const std::string pattern = TempFolder();
  const fs::path dir = fs::path(pattern) / "tolvex";
  FileSignInStore store(dir);
  const std::string a = SignInKey("https://idp.test/token", "c", "u@example.jp");
  const std::string b = SignInKey("https://idp.test/token", "c", "v@example.jp");

  EXPECT_EQ(Found(store, a), "");  // nothing yet, not even the folder
  for (const char* token : {"r1", "r2-rotated", "r3"}) {
    ASSERT_EQ(store.Save(a, Secret(token)), "");
    EXPECT_EQ(Found(store, a), token);
  }
  EXPECT_EQ(Found(store, b), "");
  ASSERT_EQ(store.Save(b, Secret("other")), "");
  EXPECT_EQ(Found(store, a), "r3");

  struct stat st {};
  ASSERT_EQ(::stat(store.FileOf(a).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_FALSE(fs::exists(store.FileOf(a).string() + ".new"));

  // A file holding another key (a hash collision, a copied file) is none of
  // this key's.
  fs::copy_file(store.FileOf(b), store.FileOf(a), fs::copy_options::overwrite_existing);
  EXPECT_EQ(Found(store, a), "");

  // A folder that cannot be made: the reason, nothing stored.
  std::ofstream(fs::path(pattern) / "file") << "x";
  FileSignInStore blocked(fs::path(pattern) / "file" / "tolvex");
  EXPECT_NE(blocked.Save(a, Secret("r")), "");
  fs::remove_all(pattern);
}

// What another user could have put or changed is refused, neither used
// nor mended; a file too large is refused unread; one not in the form
// --login writes is corrupt. Each message names the file.
TEST(FileSignInStore, OpenToOthersTooLargeOrCorruptIsRefused) {
  const std::string key = SignInKey("https://idp.test/token", "c", "u@example.jp");
  const std::string line = key + "\n";
  const std::string longest(kMaxStoredSignIn - line.size() - 1, 'r');  // the file just 64 KiB
  enum Where { Token, Folder, File };
  struct Case {
    const char* what;
    std::function<void(const fs::path& dir, const fs::path& file)> change;
    Where where;       // Token: still used, the token is `text`
    std::string text;  // else what is said after the folder's or file's name
    bool otherOwner = false;
  };
  const auto write = [](const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
  };
  const auto mode = [](mode_t m, bool folder) {
    return
        [m, folder](const fs::path& d, const fs::path& f) { ::chmod((folder ? d : f).c_str(), m); };
  };
  const Case cases[] = {
      {"as stored", mode(0700, true), Token, "r1"},
      {"folder 0755", mode(0755, true), Token, "r1"},
      {"file 0644", mode(0644, false), Token, "r1"},
      {"file of 64 KiB", [&](auto&, auto& f) { write(f, line + longest + "\n"); }, Token, longest},
      {"file 0620", mode(0620, false), File, "is refused: group or others may write to it"},
      {"file 0602", mode(0602, false), File, "is refused: group or others may write to it"},
      {"folder 0770", mode(0770, true), Folder, "is refused: group or others may write to it"},
      {"folder 1777", mode(01777, true), Folder, "is refused: group or others may write to it"},
      {"another user's", mode(0700, true), Folder, "is refused: it belongs to another user (uid ",
       true},
      {"200 MB", [](auto&, auto& f) { fs::resize_file(f, 200 << 20); }, File,
       "is refused: it is larger than 64 KiB"},
      {"64 KiB + 1", [&](auto&, auto& f) { write(f, line + longest + "r\n"); }, File,
       "is refused: it is larger than 64 KiB"},
      {"a link",
       [](auto& d, auto& f) {
         fs::remove(f);
         fs::create_symlink(d / "elsewhere", f);
       },
       File, "is refused: it is a symbolic link"},
      {"a FIFO",
       [](auto&, auto& f) {
         fs::remove(f);
         ::mkfifo(f.c_str(), 0600);
       },
       File, "is refused: it is not a regular file"},
      {"empty", [](auto&, auto& f) { fs::resize_file(f, 0); }, File, "is corrupt: "},
      {"no line end", [&](auto&, auto& f) { write(f, key); }, File, "is corrupt: "},
      {"no token", [&](auto&, auto& f) { write(f, line + "\n"); }, File, "is corrupt: "},
      {"two tokens", [&](auto&, auto& f) { write(f, line + "r1\nr2\n"); }, File, "is corrupt: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = TempFolder();
    const fs::path dir = fs::path(root) / "tolvex";
    ASSERT_EQ(FileSignInStore(dir).Save(key, Secret("r1")), "");
    FileSignInStore store(dir, c.otherOwner ? ::geteuid() + 1 : ::geteuid());
    c.change(dir, store.FileOf(key));
    const std::string refusal = "the sign-in store " +
                                (c.where == Folder ? dir : store.FileOf(key)).string() + " " +
                                c.text;
    const std::string found = Found(store, key);
    if (c.where == Token) {
      EXPECT_EQ(found, c.text);
    } else {
      EXPECT_EQ(found.substr(0, refusal.size() + 9), "refused: " + refusal);
    }
    // Saving into a folder open to others is refused too: nothing mended.
    struct stat before {};
    ASSERT_EQ(::stat(dir.c_str(), &before), 0);
    const std::string saved = store.Save(key, Secret("r2"));
    struct stat after {};
    ASSERT_EQ(::stat(dir.c_str(), &after), 0);
    if (c.where == Folder) {
      EXPECT_EQ(saved.substr(0, refusal.size()), refusal);
      EXPECT_EQ(after.st_mode, before.st_mode);
    } else {
      EXPECT_EQ(saved, "");
      EXPECT_EQ(Found(store, key), "r2");
      EXPECT_EQ(after.st_mode & 07777, 0700u);
    }
    fs::remove_all(root);
  }
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
