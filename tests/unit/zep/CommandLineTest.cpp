#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sov/config/Config.h"
#include "zep/CommandLine.h"
#include "zep/MainWindow.h"

namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Config::Instance().serverAddress = "192.168.1.102";
    Config::Instance().SetPortBlock(7985);
  }
  void TearDown() override { Config::Instance() = saved_; }
  std::optional<int> Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/zep");
    ::testing::internal::CaptureStderr();
    const auto result = ParseCommandLine(args, params_, Config::Instance());
    stderr_ = ::testing::internal::GetCapturedStderr();
    return result;
  }
  const Config saved_ = Config::Instance();
  StartParams params_;
  std::string stderr_;
};

TEST_F(CommandLineTest, AddressAndPortBlock) {
  EXPECT_EQ(Parse({"10.0.0.5", "--port", "9000"}), std::nullopt);
  const Config& c = Config::Instance();
  const int32_t ports[] = {c.merchantApiPort, c.mousePointerPort, c.videoFramesPort, c.audioFramesPort,
                           c.apiPort,         c.humanControlPort, c.udpVideoPort,    c.udpAudioPort};
  EXPECT_EQ(std::vector<int32_t>(std::begin(ports), std::end(ports)),
            (std::vector<int32_t>{9000, 9001, 9002, 9003, 9004, 9005, 9002, 9003}));
  EXPECT_EQ(c.serverAddress, "10.0.0.5");
  // The first argument is always the address, even when it looks like an option; as it is no
  // dotted IPv4 text, start-up stops there.
  EXPECT_EQ(Parse({"--port", "8000"}), 1);
  EXPECT_EQ(c.serverAddress, "--port");
  EXPECT_EQ(c.merchantApiPort, 9000);
}

TEST_F(CommandLineTest, StationAddressMustBeDottedIpv4) {
  // Host names are never resolved: the channels could only retry them for ever.
  for (const char* address : {"localhost", "station.example.com", "10.0.0", "10.0.0.256", "::1", ""}) {
    EXPECT_EQ(Parse({address, "--port", "9000"}), 1) << address;
    EXPECT_EQ(stderr_,
              "zep: Specify valid station address: " + std::string(address) +
                  ": the station address must be dotted IPv4 text such as 10.0.0.5; host names are not "
                  "resolved\n")
        << address;
  }
  EXPECT_EQ(Parse({"127.0.0.1"}), std::nullopt);
  EXPECT_EQ(Parse({}), std::nullopt);  // the built-in address
  EXPECT_EQ(stderr_, "");
}

TEST_F(CommandLineTest, OptionNamesAreCaseInsensitiveAndRepeatsOverwrite) {
  EXPECT_EQ(
      Parse({"1.2.3.4", "--Port", "8000", "--FROM-GUID", "{0123ABCD-4567-89ab-cdef-0123456789AB}", "--TOKEN",
             "a", "--CANTRYNEXT", "FORCEDX9", "--Connect", "--SeSsIoN", "s-1", "--token", "b"}),
      std::nullopt);
  EXPECT_EQ(Config::Instance().merchantApiPort, 8000);
  EXPECT_EQ(params_.clientGuid.ToString(), "0123abcd-4567-89ab-cdef-0123456789ab");
  EXPECT_EQ(params_.token, "b");
  EXPECT_EQ(params_.session, "s-1");
  EXPECT_TRUE(params_.canTryNext && params_.connect && params_.forceSoftwareDecode);
  EXPECT_EQ(stderr_, "");
}

TEST_F(CommandLineTest, CityTakesTheRestOfTheLineAndReplacesBadBytes) {
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "New", "York", "--token", "x"}), std::nullopt);
  EXPECT_EQ(params_.city, L"New York --token x");
  EXPECT_EQ(params_.token, "noauth");
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "Санкт-Петербург"}), std::nullopt);
  EXPECT_EQ(params_.city, L"Санкт-Петербург");
  // Exit code 1 would read as "Try next" to the service; a cosmetic fault must not end the session.
  EXPECT_EQ(Parse({"1.2.3.4", "--city", "Z\xC3", "\xFF\xE2\x82\xAC"}), std::nullopt);
  EXPECT_EQ(params_.city, L"Z\uFFFD \uFFFD\u20AC");
}

TEST_F(CommandLineTest, BadValuesEndWithExitCodeOneAndSayWhyOnStandardError) {
  for (const char* line : {"--token", "--port", "--from-guid", "--session", "--city",
                           "--from-guid not-a-guid", "--from-guid {00112233-4455-6677-8899-aabbccddeeff",
                           "--from-guid 00112233-4455-6677-8899-aabbccddeefg", "--port abc", "--port 70000",
                           "--port 65531", "--port 0", "--port 9000x"}) {
    std::vector<std::string> args = {"1.2.3.4"};
    std::istringstream words(line);
    for (std::string word; words >> word;) args.push_back(word);
    EXPECT_EQ(Parse(args), 1) << line;
    EXPECT_TRUE(stderr_.starts_with("zep: Specify ")) << stderr_;
  }
  EXPECT_EQ(Parse({"1.2.3.4", "--port", "65530"}), std::nullopt);
}

TEST_F(CommandLineTest, UnknownParametersAreReportedAndSkipped) {
  // The D3D9 switch has no dashes; with them it is just another unknown word.
  EXPECT_EQ(Parse({"1.2.3.4", "--foo", "--forcedx9", "--token", "abc"}), std::nullopt);
  EXPECT_EQ(params_.token, "abc");
  EXPECT_FALSE(params_.forceSoftwareDecode);
  EXPECT_EQ(stderr_, "zep: unknown parameter --foo\nzep: unknown parameter --forcedx9\n");
}

TEST(CommandLine, HelpIsAskedBeforeTheCityOnly) {
  using Args = std::vector<std::string>;
  EXPECT_TRUE(WantsHelp(Args{"zep", "--help"}));
  EXPECT_TRUE(WantsHelp(Args{"zep", "1.2.3.4", "--port", "1", "-h"}));
  EXPECT_FALSE(WantsHelp(Args{"zep", "1.2.3.4", "--city", "--help"}));
  EXPECT_FALSE(WantsHelp(Args{"zep"}));
}

TEST(InitialPlacement, CentresAtEightyPercentWithIntegerTenths) {
  const WindowPlacement p = InitialPlacement(1366, 768);
  EXPECT_EQ(std::vector<int>({p.x, p.y, p.width, p.height}),
            std::vector<int>({136, 76, 1366 - 272, 768 - 152}));
}

}  // namespace
