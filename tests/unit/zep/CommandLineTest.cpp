#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sov/config/Config.h"
#include "zep/CommandLine.h"
#include "zep/MainWindow.h"

namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Config& c = Config::Instance();
    c.serverAddress = "192.168.1.102";
    c.SetPortBlock(7985);
    params_ = StartParams{};
  }
  std::optional<int> Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/zep");
    return ParseCommandLine(args, params_, Config::Instance());
  }
  StartParams params_;
};

TEST_F(CommandLineTest, NoArgumentsKeepTheDefaults) {
  const platform::Guid before = params_.clientGuid;
  EXPECT_EQ(Parse({}), std::nullopt);
  EXPECT_EQ(Config::Instance().serverAddress, "192.168.1.102");
  EXPECT_EQ(params_.token, "noauth");
  EXPECT_EQ(params_.session, "nosession");
  EXPECT_EQ(params_.city, L"unknown");
  EXPECT_EQ(params_.clientGuid, before);
  EXPECT_FALSE(params_.canTryNext);
  EXPECT_FALSE(params_.connect);
  EXPECT_FALSE(params_.forceSoftwareDecode);
}

TEST_F(CommandLineTest, PortSetsTheWholeBlock) {
  EXPECT_EQ(Parse({"10.0.0.5", "--port", "9000"}), std::nullopt);
  const Config& c = Config::Instance();
  EXPECT_EQ(c.serverAddress, "10.0.0.5");
  EXPECT_EQ(c.merchantApiPort, 9000);
  EXPECT_EQ(c.mousePointerPort, 9001);
  EXPECT_EQ(c.videoFramesPort, 9002);
  EXPECT_EQ(c.audioFramesPort, 9003);
  EXPECT_EQ(c.apiPort, 9004);
  EXPECT_EQ(c.humanControlPort, 9005);
  EXPECT_EQ(c.udpVideoPort, 9002);
  EXPECT_EQ(c.udpAudioPort, 9003);
}

TEST_F(CommandLineTest, OptionNamesAreCaseInsensitive) {
  EXPECT_EQ(Parse({"1.2.3.4", "--Port", "8000", "--FROM-GUID", "{0123ABCD-4567-89ab-cdef-0123456789AB}",
                   "--TOKEN", "t0k", "--CANTRYNEXT", "FORCEDX9", "--Connect", "--SeSsIoN", "s-1"}),
            std::nullopt);
  EXPECT_EQ(Config::Instance().merchantApiPort, 8000);
  EXPECT_EQ(params_.clientGuid.ToString(), "0123abcd-4567-89ab-cdef-0123456789ab");
  EXPECT_EQ(params_.token, "t0k");
  EXPECT_EQ(params_.session, "s-1");
  EXPECT_TRUE(params_.canTryNext);
  EXPECT_TRUE(params_.connect);
  EXPECT_TRUE(params_.forceSoftwareDecode);
}

TEST_F(CommandLineTest, GuidWithoutBraces) {
  EXPECT_EQ(Parse({"1.2.3.4", "--from-guid", "00112233-4455-6677-8899-aabbccddeeff"}), std::nullopt);
  EXPECT_EQ(params_.clientGuid.data1, 0x00112233u);
  EXPECT_EQ(params_.clientGuid.data2, 0x4455);
  EXPECT_EQ(params_.clientGuid.data3, 0x6677);
  EXPECT_EQ(params_.clientGuid.data4[0], 0x88);
  EXPECT_EQ(params_.clientGuid.data4[7], 0xff);
}

TEST_F(CommandLineTest, CityTakesTheRestOfTheLine) {
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "New", "York", "--token", "x"}), std::nullopt);
  EXPECT_EQ(params_.city, L"New York --token x");
  EXPECT_EQ(params_.token, "noauth");
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "Санкт-Петербург"}), std::nullopt);
  EXPECT_EQ(params_.city, L"Санкт-Петербург");
}

TEST_F(CommandLineTest, FirstArgumentIsAlwaysTheAddress) {
  EXPECT_EQ(Parse({"--port", "9000"}), std::nullopt);
  EXPECT_EQ(Config::Instance().serverAddress, "--port");
  // "9000" is then an unknown parameter, not a port.
  EXPECT_EQ(Config::Instance().merchantApiPort, 7985);
}

TEST_F(CommandLineTest, MissingValuesEndWithExitCodeOne) {
  EXPECT_EQ(Parse({"1.2.3.4", "--token"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--from-guid"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--session"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--city"}), 1);
}

TEST_F(CommandLineTest, InvalidValuesEndWithExitCodeOne) {
  EXPECT_EQ(Parse({"1.2.3.4", "--from-guid", "not-a-guid"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--from-guid", "{00112233-4455-6677-8899-aabbccddeeff"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--from-guid", "00112233-4455-6677-8899-aabbccddeefg"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "abc"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "70000"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "65531"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "0"}), 1);
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "65530"}), std::nullopt);
}

TEST_F(CommandLineTest, UnknownParametersAreIgnored) {
  EXPECT_EQ(Parse({"1.2.3.4", "--foo", "--token", "abc"}), std::nullopt);
  EXPECT_EQ(params_.token, "abc");
  // The D3D9 switch has no dashes; with them it is just another unknown word.
  EXPECT_EQ(Parse({"1.2.3.4", "--forcedx9"}), std::nullopt);
  EXPECT_FALSE(params_.forceSoftwareDecode);
}

TEST_F(CommandLineTest, RepeatedOptionsOverwrite) {
  EXPECT_EQ(Parse({"1.2.3.4", "--token", "a", "--session", "s1", "--port", "9000", "--token", "b",
                   "--session", "s2", "--port", "8000"}),
            std::nullopt);
  EXPECT_EQ(params_.token, "b");
  EXPECT_EQ(params_.session, "s2");
  EXPECT_EQ(Config::Instance().merchantApiPort, 8000);
  EXPECT_EQ(Config::Instance().udpAudioPort, 8003);
}

TEST_F(CommandLineTest, CityThatIsNotUtf8EndsWithExitCodeOne) {
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "Z\xC3"}), 1);
  EXPECT_EQ(params_.city, L"unknown");
}

TEST(InitialPlacement, CentresAtEightyPercentWithIntegerTenths) {
  WindowPlacement p = InitialPlacement(1920, 1080);
  EXPECT_EQ(p.x, 192);
  EXPECT_EQ(p.y, 108);
  EXPECT_EQ(p.width, 1536);
  EXPECT_EQ(p.height, 864);
  p = InitialPlacement(1366, 768);
  EXPECT_EQ(p.x, 136);
  EXPECT_EQ(p.y, 76);
  EXPECT_EQ(p.width, 1366 - 272);
  EXPECT_EQ(p.height, 768 - 152);
}

TEST(GuidText, RoundTripsAndRandomOnesAreVersion4) {
  auto g = platform::Guid::NewRandom();
  EXPECT_EQ((g.data3 >> 12), 4);
  EXPECT_EQ((g.data4[0] & 0xC0), 0x80);
  EXPECT_EQ(platform::Guid::Parse(g.ToString()), g);
  EXPECT_EQ(platform::Guid::Parse("{" + g.ToString() + "}"), g);
  EXPECT_NE(platform::Guid::NewRandom(), g);
  auto bytes = platform::Guid::Parse("00112233-4455-6677-8899-aabbccddeeff")->Bytes();
  const std::array<uint8_t, 16> expected = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                            0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(platform::Guid::FromBytes(expected).ToString(), "00112233-4455-6677-8899-aabbccddeeff");
}

}  // namespace
