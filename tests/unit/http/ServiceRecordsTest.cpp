// Service records parsed from text, without a server.
#include <gtest/gtest.h>

#include "mord/services/ServiceRecords.h"

namespace {

TEST(ServiceRecordsTest, EndpointNumbersOutOfRangeAreMalformed) {
  // A port no 32-bit integer can hold must not reach a conversion with undefined behaviour.
  for (const char* port : {"99999999999", "-99999999999"}) {
    const std::string text =
        std::string(
            "{\"status\": \"NEW\", \"endpoints\": [{\"uuid\": \"u\", \"server_id\": \"s\", "
            "\"ip\": \"i\", \"priority\": 1, \"base_port\": ") +
        port + "}]}";
    try {
      Endpoints e(text);
      ADD_FAILURE() << port;
    } catch (const ErrCodeException& e) {
      EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
    }
  }
  Endpoints ok(
      "{\"status\": \"ACTIVE\", \"endpoints\": [{\"uuid\": \"u\", \"server_id\": \"s\", \"ip\": \"i\", "
      "\"priority\": 99999999999, \"base_port\": 2147483647.5}]}");
  EXPECT_EQ(ok.List().at(0).priority, 99999999999LL);
  EXPECT_EQ(ok.List().at(0).basePort, 2147483647);
}

TEST(ServiceRecordsTest, SessionTokensRootMustBeAnArrayOfObjects) {
  EXPECT_THROW(SessionTokens("{}"), ErrCodeException);
  EXPECT_THROW(SessionTokens("[1]"), ErrCodeException);
  SessionTokens two("[{\"sessionId\": \"a\", \"token\": \"1\"}, {\"sessionId\": \"a\", \"token\": \"2\"}]");
  ASSERT_EQ(two.List().size(), 2u);
  SessionTokens moved = std::move(two);  // records point into the tree, which moves with them
  EXPECT_EQ(moved.List()[1].Token(), "2");
  EXPECT_THROW(SessionTokens("[{\"sessionId\": \"a\"}]"), BaseException);
}

TEST(ServiceRecordsTest, YoutubeSettingsAreOptional) {
  EXPECT_EQ(YoutubeSettings("{}").StreamKey(), std::nullopt);
  EXPECT_EQ(YoutubeSettings("{\"youtube\": \"x\"}").StreamKey(), std::nullopt);
  EXPECT_EQ(YoutubeSettings("{\"youtube\": {\"stream_key\": 5}}").StreamKey(), std::nullopt);
  EXPECT_EQ(YoutubeSettings("{\"youtube\": {\"stream_key\": \"k\"}}").StreamKey(), "k");
}

TEST(ServiceRecordsTest, CommentCutNeverSplitsACharacter) {
  EXPECT_EQ(TruncateUtf8(std::string(64, 'a'), 63), std::string(63, 'a'));
  // 62 ASCII bytes then a two-byte letter: the letter does not fit whole.
  const std::string text = std::string(62, 'a') + "\xc3\xa9" + "z";
  EXPECT_EQ(TruncateUtf8(text, 63), std::string(62, 'a'));
  EXPECT_EQ(TruncateUtf8(text, 64), std::string(62, 'a') + "\xc3\xa9");
  EXPECT_EQ(TruncateUtf8("\xe2\x82\xac\xe2\x82\xac", 5), "\xe2\x82\xac");
}

}  // namespace
