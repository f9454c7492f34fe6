#include <gtest/gtest.h>

#include "mord/json/Json.h"
#include "sov/base/BaseException.h"

namespace {

// Silences the parser's diagnostics for texts that are meant to fail.
template <class F>
void Quiet(F&& f) {
  testing::internal::CaptureStderr();
  f();
  testing::internal::GetCapturedStderr();
}

template <class T>
int32_t ConstructionError(const std::string& text) {
  int32_t code = 0;
  Quiet([&] {
    try {
      T value(text);
    } catch (const ErrCodeException& e) {
      code = e.Code();
    }
  });
  return code;
}

TEST(JsonValue, RootMustBeOfTheRecordType) {
  EXPECT_EQ(ConstructionError<JsonValue<Json::Object>>("[]"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonValue<Json::Array>>("{}"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>("null"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>("{\"a\":1"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>("<html>502 Bad Gateway</html>"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>(std::string(100000, '{')), ErrCode::InvalidArg);

  // The failure names its place: the typed layer's source, line 19.
  Quiet([] {
    try {
      JsonObject wrongRoot("[1]");
      ADD_FAILURE() << "no exception";
    } catch (const ErrCodeException& e) {
      EXPECT_STREQ(e.Source(), "mord/json/JsonCommon.cpp");
      EXPECT_EQ(e.Line(), 19);
    }
  });

  JsonValue<Json::Array> array("[1, 2]");
  EXPECT_EQ(array.Root().Size(), 2u);
  JsonObject object("{\"a\":1} trailing text is ignored");
  EXPECT_EQ(object.Root().Size(), 1u);
}

TEST(JsonObject, MissingNullOrMistypedMemberRaises) {
  JsonObject o(R"({"s": "x", "n": 1, "z": null})");
  for (const char* key : {"missing", "z", "n"}) {
    try {
      (void)o.GetString(key);
      ADD_FAILURE() << key << " did not raise";
    } catch (const ErrCodeException&) {
      ADD_FAILURE() << key << " raised the wrong class";
    } catch (const BaseException& e) {
      EXPECT_STREQ(e.Message(), "no such key in json object");
      EXPECT_STREQ(e.Source(), "mord/json/JsonCommon.cpp");
      EXPECT_EQ(e.Line(), 53);
    }
  }
  EXPECT_THROW((void)o.GetNumber("s"), BaseException);
  EXPECT_THROW((void)o.Get<Json::Array>("s"), BaseException);
}

}  // namespace
