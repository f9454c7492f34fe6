#include <gtest/gtest.h>

#include <string>
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
      "   ; indented comment\n"             // 7
      "ApiPort=9004\n"                      // 8
      "ApiPort = 1\n"                       // 9
      "apiPort = 2\n"                       // 10: keys are case-sensitive
      "ApiPort\t=\t3\n";                    // 11
  EXPECT_EQ(LoadText(file),
            "CFG: Couldn't find separator on line: 5\n"
            "CFG: Couldn't find separator on line: 6\n"
            "CFG: Bad format for line: 6\n"
            "CFG: Can only have unique key names! \"ApiPort\" again on line: 9\n"
            "CFG: Can only have unique key names! \"ApiPort\" again on line: 11\n");
  EXPECT_EQ(
      Config::Instance().table,
      (Table{
          {"", ""}, {"ApiPort", "9004"}, {"MerchantApiPort", "9000"}, {"apiPort", "2"}, {"hello", "hello"}}));
  EXPECT_EQ(Config::Instance().merchantApiPort, 9000);
}

TEST_F(ConfigTest, LineRules) {
  struct LineCase {
    std::string line, output, key, value;
  };
  const std::string noSeparator = "CFG: Couldn't find separator on line: 1\n";
  const std::string badFormat = "CFG: Bad format for line: 1\n";
  const LineCase cases[] = {
      {"key=value", "", "key", "value"},
      {"  port 1 = a b\t c \t", "", "port", "a b\t c"},
      {"\tkey\t=\tv\t", "", "key", "v"},
      {"hello", noSeparator, "hello", "hello"},
      {"two words", noSeparator, "two", "two words"},
      {"\t", noSeparator + badFormat, "", ""},
      {" \t ", noSeparator + badFormat, "", ""},
      {"=5", badFormat, "", "5"},
      {"  = 5", badFormat, "", "5"},
      {"key =   ", badFormat, "key", ""},
      {"key =", badFormat, "key", ""},
      {"key =\t", "", "key", ""},  // only spaces count as "nothing after the separator"
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

TEST_F(ConfigTest, BadValueThrowsAndNamesItsKeyAndLine) {
  EXPECT_THROW(LoadText("; ports\nApiPort =\n"), ConvertException);
  EXPECT_EQ(stdout_, "CFG: Bad format for line: 2\n");
  // The ports before ApiPort in the key table were already filled.
  EXPECT_EQ(Config::Instance().merchantApiPort, 7985);
  ASSERT_TRUE(Config::Instance().LastBadValue());
  EXPECT_EQ(Config::Instance().LastBadValue()->key, "ApiPort");
  EXPECT_EQ(Config::Instance().LastBadValue()->line, 2u);
  LoadText("ApiPort = 1\n");
  EXPECT_FALSE(Config::Instance().LastBadValue());
}

TEST_F(ConfigTest, CrLfFileWithoutFinalNewlineReadsLikeLfFile) {
  EXPECT_EQ(LoadText("; saved on Windows\r\nApiPort = 9100\r\n\r\n   \r\nSettingsHost=www.test.example"), "");
  EXPECT_EQ(Config::Instance().apiPort, 9100);
  EXPECT_EQ(Config::Instance().settingsHost, L"www.test.example");
}

TEST_F(ConfigTest, MissingOrUnreadableFileGivesDefaultsSilently) {
  for (const std::string& name : {(dir_ / "absent.cfg").string(), dir_.string()}) {
    SCOPED_TRACE(name);
    LoadText("ApiPort = 9000\n");  // each load starts from an empty table
    ::testing::internal::CaptureStdout();
    Config::Instance().Load(name);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(Config::Instance().table.empty());
    EXPECT_EQ(Config::Instance().apiPort, 7989);
  }
}

}  // namespace
