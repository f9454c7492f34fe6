#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/config/Config.h"
#include "tests/unit/config/ConfigTestSupport.h"

namespace {

using configtest::ConfigTest;
using Table = std::map<std::string, std::string>;

TEST_F(ConfigTest, LineNumbersCountBlankAndCommentLines) {
  const std::string file =
      "; ports of the test station\n"       // 1
      "\n"                                  // 2
      "MerchantApiPort  =  9000 ; first\n"  // 3
      "     \n"                             // 4: spaces only, silent
      "hello\n"                             // 5
      "\t\n"                                // 6
      "; trailing comment\n"                // 7
      "ApiPort=9004\n";                     // 8
  EXPECT_EQ(LoadText(file),
            "CFG: Couldn't find separator on line: 5\n"
            "CFG: Couldn't find separator on line: 6\n"
            "CFG: Bad format for line: 6\n");
  const Config& c = Config::Instance();
  EXPECT_EQ(c.table, (Table{{"", ""}, {"ApiPort", "9004"}, {"MerchantApiPort", "9000"}, {"hello", "hello"}}));
  EXPECT_EQ(c.merchantApiPort, 9000);
  EXPECT_EQ(c.apiPort, 9004);
}

// One line per case: its diagnostics and the pair it enters.
struct LineCase {
  std::string line;
  std::string output;
  std::string key;
  std::string value;
};

TEST_F(ConfigTest, LineRules) {
  const std::vector<LineCase> cases = {
      {"key=value", "", "key", "value"},
      {"  port 1 = a b\t c \t", "", "port", "a b\t c"},
      {"\tkey\t=\tv\t", "", "key", "v"},
      {"hello", "CFG: Couldn't find separator on line: 1\n", "hello", "hello"},
      {"two words", "CFG: Couldn't find separator on line: 1\n", "two", "two words"},
      {"\t", "CFG: Couldn't find separator on line: 1\nCFG: Bad format for line: 1\n", "", ""},
      {" \t ", "CFG: Couldn't find separator on line: 1\nCFG: Bad format for line: 1\n", "", ""},
      {"=5", "CFG: Bad format for line: 1\n", "", "5"},
      {"  = 5", "CFG: Bad format for line: 1\n", "", "5"},
      {"key =   ", "CFG: Bad format for line: 1\n", "key", ""},
      {"key =", "CFG: Bad format for line: 1\n", "key", ""},
      // Only spaces count as "nothing after the separator".
      {"key =\t", "", "key", ""},
      {"a=b=c", "", "a", "b=c"},
      {"url = x;y", "", "url", "x"},
      {"key = v\r", "", "key", "v"},
  };
  for (const LineCase& lc : cases) {
    SCOPED_TRACE("line: \"" + lc.line + "\"");
    EXPECT_EQ(LoadText(lc.line + "\n"), lc.output);
    EXPECT_EQ(Config::Instance().table, (Table{{lc.key, lc.value}}));
  }
}

TEST_F(ConfigTest, SkippedLinesGiveNoMessageAndNoEntry) {
  EXPECT_EQ(LoadText("\n    \n;only a comment\n   ; indented comment\n\n"), "");
  EXPECT_TRUE(Config::Instance().table.empty());
}

TEST_F(ConfigTest, LastLineWithoutNewlineIsRead) {
  EXPECT_EQ(LoadText("ApiPort = 1\nHumanControlPort = 2"), "");
  EXPECT_EQ(Config::Instance().humanControlPort, 2);
}

TEST_F(ConfigTest, FirstOccurrenceWinsAndEachRepeatIsReported) {
  const std::string out = LoadText(
      "VideoFramesPort=8000\n"
      "VideoFramesPort = 8100\n"
      "apiport = 1\n"  // keys are case-sensitive: no repeat
      "VideoFramesPort\t=\t8200\n");
  EXPECT_EQ(out, "CFG: Can only have unique key names!\nCFG: Can only have unique key names!\n");
  EXPECT_EQ(Config::Instance().videoFramesPort, 8000);
  EXPECT_EQ(Config::Instance().apiPort, 7989);
  EXPECT_EQ(Config::Instance().table.at("apiport"), "1");
}

TEST_F(ConfigTest, ApiPortWithoutValueReportsBadFormatThenThrows) {
  EXPECT_THROW(LoadText("; ports\nApiPort =\n"), ConvertException);
  EXPECT_EQ(stdout_, "CFG: Bad format for line: 2\n");
  // The ports before ApiPort in the key table were already filled.
  EXPECT_EQ(Config::Instance().merchantApiPort, 7985);
  EXPECT_EQ(Config::Instance().table.at("ApiPort"), "");
}

TEST_F(ConfigTest, CrLfFileReadsLikeLfFile) {
  const std::string out = LoadText(
      "; saved on Windows\r\n"
      "ApiPort = 9100\r\n"
      "SettingsHost=www.test.example\r\n"
      "\r\n"
      "   \r\n"
      "UseVirtualAudio = false ; comment\r\n");
  EXPECT_EQ(out, "");
  const Config& c = Config::Instance();
  EXPECT_EQ(c.apiPort, 9100);
  EXPECT_EQ(c.settingsHost, L"www.test.example");
  EXPECT_FALSE(c.useVirtualAudio);
}

TEST_F(ConfigTest, MissingOrUnreadableFileGivesDefaultsSilently) {
  for (const std::string& name : {(dir_.path() / "absent.cfg").string(), dir_.path().string()}) {
    SCOPED_TRACE(name);
    Config::Instance().table["stale"] = "x";
    ::testing::internal::CaptureStdout();
    Config::Instance().Load(name);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(Config::Instance().table.empty());
    EXPECT_EQ(Config::Instance().apiPort, 7989);
  }
}

TEST_F(ConfigTest, LoadStartsFromAnEmptyTable) {
  LoadText("ApiPort = 9000\nCustom = 1\n");
  ASSERT_EQ(Config::Instance().apiPort, 9000);
  LoadText("MousePointerPort = 9001\n");
  EXPECT_FALSE(Config::Instance().KeyExists("Custom"));
  EXPECT_EQ(Config::Instance().apiPort, 7989);
  EXPECT_EQ(Config::Instance().mousePointerPort, 9001);
}

TEST_F(ConfigTest, UnknownKeysAreKeptAndReadable) {
  LoadText("Custom.Flag = on\nHttpsCaFile = /etc/zep/test-ca.pem\n");
  const Config& c = Config::Instance();
  EXPECT_TRUE(c.KeyExists("Custom.Flag"));
  EXPECT_FALSE(c.KeyExists("custom.flag"));
  EXPECT_EQ(c.GetString("Custom.Flag", "off"), "on");
  EXPECT_EQ(c.GetString("Absent", "dflt"), "dflt");
  EXPECT_EQ(c.httpsCaFile, "/etc/zep/test-ca.pem");
}

TEST_F(ConfigTest, BinaryGarbageNeverCrashes) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) & 0xFF));
  garbage += std::string("\n\0=\0\n", 5);
  // Whatever the bytes, the loader either fills the record or throws one of
  // its documented exceptions.
  try {
    LoadText(garbage);
  } catch (const ConvertException&) {
  }
  EXPECT_TRUE(Config::Instance().KeyExists(std::string(1, '\0')));
}

}  // namespace
