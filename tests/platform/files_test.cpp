#include "platform/files.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelkit::platform {
namespace {

bool isDirectory(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool exists(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0;
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zelkit-files-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    root_ = name;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  std::string root_;
};

TEST_F(Files, ListingReportsLinksWithoutFollowingThem) {
  ASSERT_TRUE(createDirectories((root_ + "/list/sub").c_str()));
  ASSERT_TRUE(createDirectories((root_ + "/elsewhere").c_str()));
  std::ofstream(root_ + "/list/file") << "x";
  std::ofstream(root_ + "/elsewhere/precious") << "keep";
  ASSERT_EQ(symlink((root_ + "/elsewhere").c_str(), (root_ + "/list/linkToDirectory").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (root_ + "/list/dangling").c_str()), 0);

  std::map<std::string, EntryType> seen;
  ASSERT_TRUE(listDirectory(
      (root_ + "/list").c_str(),
      [](const char* name, EntryType type, void* context) {
        (*static_cast<std::map<std::string, EntryType>*>(context))[name] = type;
      },
      &seen));
  const std::map<std::string, EntryType> expected = {{"file", EntryType::File},
                                                     {"sub", EntryType::Directory},
                                                     {"linkToDirectory", EntryType::SymbolicLink},
                                                     {"dangling", EntryType::SymbolicLink}};
  EXPECT_EQ(seen, expected);

  // Removing the link leaves what it points at.
  EXPECT_TRUE(removeFile((root_ + "/list/linkToDirectory").c_str()));
  EXPECT_FALSE(exists(root_ + "/list/linkToDirectory"));
  EXPECT_TRUE(exists(root_ + "/elsewhere/precious"));
  EXPECT_FALSE(removeDirectory((root_ + "/elsewhere").c_str())) << "not empty";
  EXPECT_TRUE(removeDirectory((root_ + "/list/sub").c_str()));
  EXPECT_FALSE(listDirectory((root_ + "/absent").c_str(), [](const char*, EntryType, void*) {}, nullptr));
}

TEST_F(Files, CreateDirectoriesMakesEveryLevel) {
  EXPECT_TRUE(createDirectories((root_ + "/a/b/c/").c_str()));
  EXPECT_TRUE(isDirectory(root_ + "/a/b/c"));
  EXPECT_TRUE(createDirectories((root_ + "/a/b").c_str())) << "existing directories are fine";
  std::ofstream(root_ + "/plain") << "x";
  EXPECT_FALSE(createDirectories((root_ + "/plain/below").c_str()));
  EXPECT_FALSE(createDirectories((root_ + "/plain").c_str()));
}

TEST_F(Files, UserDataFolderFollowsXdgDataHomeElseHome) {
  struct Case {
    const char* name;
    const char* dataHome;  // null: unset
    std::string expected;
  } const cases[] = {
      {"XDG_DATA_HOME", "/xdg", "/xdg/Tarvo/Kelmo/"},
      {"unset", nullptr, "/home/.local/share/Tarvo/Kelmo/"},
      {"relative XDG_DATA_HOME is ignored", "relative", "/home/.local/share/Tarvo/Kelmo/"},
  };
  setenv("HOME", (root_ + "/home").c_str(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.dataHome != nullptr)
      setenv("XDG_DATA_HOME", c.dataHome[0] == '/' ? (root_ + c.dataHome).c_str() : c.dataHome, 1);
    else
      unsetenv("XDG_DATA_HOME");
    char folder[512];
    ASSERT_TRUE(userDataFolder(folder, sizeof folder));
    EXPECT_EQ(folder, root_ + c.expected);
    EXPECT_TRUE(isDirectory(folder));
  }
  char small[8];
  EXPECT_FALSE(userDataFolder(small, sizeof small));
}

}  // namespace
}  // namespace zelkit::platform
