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
  EXPECT_EQ(ConstructionError<JsonObject>("\"text\""), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>("null"), ErrCode::InvalidArg);
  EXPECT_EQ(ConstructionError<JsonObject>(""), ErrCode::InvalidArg);
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

TEST(JsonObject, TypedLookup) {
  JsonObject o(R"({"s": "x", "n": 3.75, "b": true, "z": null, "a": [], "o": {"in": "side"}})");
  EXPECT_EQ(o.GetString("s"), "x");
  EXPECT_TRUE(o.Get<Json::Boolean>("b").Get());
  EXPECT_TRUE(o.Get<Json::Array>("a").Empty());
  EXPECT_EQ(Json::As<Json::String>(o.Get<Json::Object>("o").Find("in"))->Get(), "side");
  EXPECT_EQ(o.FindString("n"), nullptr);  // optional members of another type read as absent
  EXPECT_EQ(o.FindNumber("n"), 3.75);
  EXPECT_FALSE(o.FindNumber("s").has_value());
  EXPECT_EQ(o.Find<Json::Object>("z"), nullptr);
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

// The shape of a response record: members looked up once, pointers kept.
class Station : public JsonObject {
 public:
  explicit Station(std::string text)
      : JsonObject(std::move(text)), ip_(&GetString("ip")), port_(FindNumber("port")) {}
  explicit Station(const Json::Value* value)
      : JsonObject(value), ip_(&GetString("ip")), port_(FindNumber("port")) {}
  const std::string& Ip() const { return *ip_; }
  int Port() const { return port_ ? static_cast<int>(*port_) : 7985; }

 private:
  const std::string* ip_;
  std::optional<double> port_;
};

TEST(JsonObject, RecordPointersStayValidWhenMoved) {
  std::vector<Station> stations;
  stations.emplace_back(R"({"ip": "10.1.2.3", "port": 9000.9})");
  stations.emplace_back(R"({"ip": "10.1.2.4"})");
  stations.emplace_back(R"({"ip": "10.1.2.5", "port": "80"})");
  Station moved(std::move(stations[0]));
  EXPECT_EQ(moved.Ip(), "10.1.2.3");
  EXPECT_EQ(moved.Port(), 9000);
  EXPECT_EQ(stations[1].Ip(), "10.1.2.4");
  EXPECT_EQ(stations[1].Port(), 7985);
  EXPECT_EQ(stations[2].Port(), 7985);  // optional member of the wrong type reads as absent
  EXPECT_THROW(Station(R"({"port": 1})"), BaseException);
}

TEST(JsonObject, ViewsOfArrayElements) {
  JsonValue<Json::Array> doc(R"([{"ip": "a"}, null, 5, {"ip": "b"}])");
  Station first(doc.Root().At(0));
  Station last(doc.Root().At(3));
  EXPECT_EQ(first.Ip(), "a");
  EXPECT_EQ(last.Ip(), "b");
  for (std::size_t i : {1u, 2u}) {
    try {
      Station s(doc.Root().At(i));
      ADD_FAILURE() << i;
    } catch (const ErrCodeException& e) {
      EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
    }
  }
}

}  // namespace
