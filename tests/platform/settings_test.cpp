#include "platform/settings.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

namespace zelkit::platform {
namespace {

// Points the settings at a file of the given text and clears the
// environment values the cases use.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/zelkit-settings-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = name;
    setenv("TARVO_KELMO_CONFIG", path_.c_str(), 1);
    for (const char* name : {"UdpPortBase", "NoTcpLimits", "ZelpLogPath", "ZelpLogFilter"})
      unsetenv(("TARVO_KELMO_" + std::string(name)).c_str());
  }
  void TearDown() override {
    std::remove(path_.c_str());
    unsetenv("TARVO_KELMO_CONFIG");
  }
  void writeFile(const std::string& text) { std::ofstream(path_) << text; }

  std::string path_;
};

TEST_F(Settings, EnvironmentComesBeforeTheFile) {
  writeFile("UdpPortBase = 99\nZelpLogPath = /from/file\n");
  setenv("TARVO_KELMO_UdpPortBase", "1234", 1);
  uint32_t value = 0;
  EXPECT_TRUE(readSettingDword("UdpPortBase", value));
  EXPECT_EQ(value, 1234u);
  char text[64];
  uint32_t bytes = 0;
  EXPECT_TRUE(readSettingString("ZelpLogPath", text, sizeof text, bytes));
  EXPECT_STREQ(text, "/from/file");
  EXPECT_EQ(bytes, 11u);
}

TEST_F(Settings, FileLinesCommentsAndNames) {
  writeFile(
      "# a comment = 5\n"
      "\n"
      "   notcplimits=0\n"
      "ZelpLogFilter =  192\\.168\\..* # kept: only whole lines are comments \n"
      "NoTcpLimits = 1\n"
      "garbage line\n");
  uint32_t value = 7;
  EXPECT_TRUE(readSettingDword("NoTcpLimits", value)) << "names compare without case; the first line wins";
  EXPECT_EQ(value, 0u);
  char text[128];
  uint32_t bytes = 0;
  ASSERT_TRUE(readSettingString("ZelpLogFilter", text, sizeof text, bytes));
  EXPECT_STREQ(text, "192\\.168\\..* # kept: only whole lines are comments");
  EXPECT_FALSE(readSettingDword("# a comment", value));
}

TEST_F(Settings, MissingValuesAndFiles) {
  writeFile("UdpPortBase = 5\n");
  uint32_t value = 0;
  char text[16];
  uint32_t bytes = 0;
  EXPECT_FALSE(readSettingDword("ZelpLogRetentionTime", value));
  EXPECT_FALSE(readSettingString("ZelpLogPath", text, sizeof text, bytes));
  setenv("TARVO_KELMO_CONFIG", (path_ + ".absent").c_str(), 1);
  EXPECT_FALSE(readSettingDword("UdpPortBase", value));
}

TEST_F(Settings, EmptyStringIsOneByteLong) {
  setenv("TARVO_KELMO_ZelpLogPath", "", 1);
  writeFile("ZelpLogFilter =\n");
  for (const char* name : {"ZelpLogPath", "ZelpLogFilter"}) {
    SCOPED_TRACE(name);
    char text[16] = "x";
    uint32_t bytes = 0;
    EXPECT_TRUE(readSettingString(name, text, sizeof text, bytes));
    EXPECT_EQ(bytes, 1u);
    EXPECT_STREQ(text, "");
  }
}

TEST_F(Settings, StringLongerThanTheBufferIsNotRead) {
  setenv("TARVO_KELMO_ZelpLogPath", std::string(2047, 'p').c_str(), 1);
  char text[2048];
  uint32_t bytes = 0;
  EXPECT_TRUE(readSettingString("ZelpLogPath", text, sizeof text, bytes));
  EXPECT_EQ(bytes, 2048u);
  setenv("TARVO_KELMO_ZelpLogPath", std::string(2048, 'p').c_str(), 1);
  text[0] = '\0';
  EXPECT_FALSE(readSettingString("ZelpLogPath", text, sizeof text, bytes));
  EXPECT_EQ(bytes, 2049u);
  EXPECT_EQ(text[0], '\0');
}

TEST_F(Settings, DwordForms) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  } const cases[] = {
      {"42", true, 42},           {"0x2A", true, 42},        {"0X2a", true, 42},
      {" 7 ", true, 7},           {"0", true, 0},            {"4294967295", true, 0xFFFFFFFF},
      {"0xFFFFFFFF", true, 0xFFFFFFFF},
      {"", false, 0},             {"0x", false, 0},          {"12abc", false, 0},
      {"-1", false, 0},           {"4294967296", false, 0},  {"0x100000000", false, 0},
      {"1 2", false, 0},          {"0x-1", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    setenv("TARVO_KELMO_UdpPortBase", c.text, 1);
    uint32_t value = 12345;
    EXPECT_EQ(readSettingDword("UdpPortBase", value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : 12345u);
  }
}

TEST_F(Settings, BadDwordInTheEnvironmentDoesNotFallBackToTheFile) {
  writeFile("UdpPortBase = 99\n");
  setenv("TARVO_KELMO_UdpPortBase", "many", 1);
  uint32_t value = 0;
  EXPECT_FALSE(readSettingDword("UdpPortBase", value));
}

}  // namespace
}  // namespace zelkit::platform
