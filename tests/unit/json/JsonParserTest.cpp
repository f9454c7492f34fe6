#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "mord/json/Json.h"

namespace {

struct Parsed {
  std::unique_ptr<Json::Value> value;
  std::string errors;    // what the parser wrote to standard error
  std::size_t consumed;  // bytes the cursor advanced
};

Parsed Parse(const std::string& text) {
  const char* cursor = text.c_str();
  testing::internal::CaptureStderr();
  auto value = Json::parseValue(cursor);
  std::string errors = testing::internal::GetCapturedStderr();
  return {std::move(value), errors, static_cast<std::size_t>(cursor - text.c_str())};
}

struct Case {
  const char* name;
  std::string input;
  std::optional<std::string> written;  // toText of the result; nullopt: no value
  std::string errors;
};

const Case kCases[] = {
    {"empty object", "{}", "{}", ""},
    {"null document without message", "  null  ", std::nullopt, ""},
    {"empty array", "[]", "[]", ""},
    {"comment inside object", "{ // nothing here\n}", "{}", ""},
    {"comments between items", "[//a\n1 // b\n, 2//c\n]", "[1, 2]", ""},
    {"comment to end of text", "{// open", std::nullopt,
     "parseFieldName error, expected '\"'. Got: \nMap parse error, expected separator ':'. Got: \n"},
    {"single slash is no comment", "[1 / 2]", std::nullopt,
     "List parse error, expected separator ','. Got: / 2]\n"},
    {"all whitespace kinds", " \t\n\v\f\r[ \t\n\v\f\r1\r\n]", "[1]", ""},
    {"escaped slashes", R"("http:\/\/x.y")", R"("http://x.y")", ""},
    {"short escapes", R"("\b\f\n\r\t")", R"("\u0008\u000c\u000a\u000d\u0009")", ""},
    {"unknown escape drops both", R"("a\qb")", R"("ab")", ""},
    {"unicode escapes", R"("\u0041\u00e9\u20AC")", "\"A\xc3\xa9\xe2\x82\xac\"", ""},
    {"surrogate pair is one character", R"("\ud83c\udfae")", "\"\xf0\x9f\x8e\xae\"", ""},
    {"lone high surrogate fails", R"(["\ud83cx", 1])", "[null, 1]",
     "parseFieldName error, malformed \\u escape. Got: \\ud83cx\", 1]\n"},
    {"lone low surrogate fails", R"("\udfae")", std::nullopt,
     "parseFieldName error, malformed \\u escape. Got: \\udfae\"\n"},
    {"short hex fails once", R"({"a": "\u12\u", "b": 2})", "{\"a\" : null, \"b\" : 2}",
     "parseFieldName error, malformed \\u escape. Got: \\u12\\u\", \"b\": 2}\n"},
    {"bad escape in key fails map", R"({"\u00": 1})", std::nullopt,
     "parseFieldName error, malformed \\u escape. Got: \\u00\": 1}\n"},
    {"quote and backslash escapes", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\"", ""},
    {"unterminated string keeps bytes", "\"abc", "\"abc\"", ""},
    {"text ends inside escape", "\"abc\\", "\"abc\"", ""},
    {"utf8 passes through", "\"h\xc3\xa9llo \xe2\x82\xac\"", "\"h\xc3\xa9llo \xe2\x82\xac\"", ""},
    {"trailing comma in list", "[1, 2,]", "[1, 2]", ""},
    {"trailing comma in map", "{\"a\":1,}", "{\"a\" : 1}", ""},
    {"missing list separator", "[1 2]", std::nullopt, "List parse error, expected separator ','. Got: 2]\n"},
    {"exponent is not taken", "{\"a\": 1e5}", std::nullopt,
     "Map parse error, expected ',' or '}'. Got: e5}\n"},
    {"plus is not a number", "[+1]", std::nullopt,
     "Unrecognized literal: +1]\nList parse error, expected separator ','. Got: +1]\n"},
    {"null member stored as null", "{\"a\": null}", "{\"a\" : null}", ""},
    {"literals", "[true, false, null]", "[true, false, null]", ""},
    {"unknown word leaves a null", "[foo, 1]", "[null, 1]", "Unrecognized literal: , 1]\n"},
    {"word with digits and underscore", "[null_1]", "[null]", "Unrecognized literal: ]\n"},
    {"double comma leaves a null", "[1,,2]", "[1, null, 2]", "Unrecognized literal: ,2]\n"},
    {"unknown character", "@", std::nullopt, "Unrecognized literal: @\n"},
    {"empty text", "", std::nullopt, "Unrecognized literal: \n"},
    {"only whitespace and comment", "  // x", std::nullopt, "Unrecognized literal: \n"},
    {"unquoted key", "{a:1}", std::nullopt,
     "parseFieldName error, expected '\"'. Got: a:1}\nMap parse error, expected separator ':'. Got: a:1}\n"},
    {"missing member separator", "{\"a\":1 \"b\":2}", std::nullopt,
     "Map parse error, expected ',' or '}'. Got: \"b\":2}\n"},
    {"unclosed map", "{\"a\":1", std::nullopt, "Map parse error, expected ',' or '}'. Got: \n"},
    {"unclosed list", "[1", std::nullopt, "List parse error, expected separator ','. Got: \n"},
    {"repeated key replaces", "{\"a\":1,\"a\":[2]}", "{\"a\" : [2]}", ""},
    {"keys sorted", "{\"b\":1,\"a\":2,\"B\":3}", "{\"B\" : 3, \"a\" : 2, \"b\" : 1}", ""},
    {"nested", "{\"a\":[1,{\"b\":\"c\"}],\"d\":{}}", "{\"a\" : [1, {\"b\" : \"c\"}], \"d\" : {}}", ""},
    {"numbers like atof", "[-1.5, 1-2, -, 1.2.3, 007, -0.25]", "[-1.5, 1, 0, 1.2, 7, -0.25]", ""},
    {"huge number", "[1" + std::string(400, '0') + "]", "[null]", ""},  // inf, written as null
    {"failed inner map fails outer list", "[{\"a\" 1}, 2]", std::nullopt,
     "Map parse error, expected separator ':'. Got: 1}, 2]\nList parse error, expected separator ','. Got: "
     "1}, 2]\n"},
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class ParseTable : public testing::TestWithParam<Case> {};

TEST_P(ParseTable, ValueAndDiagnostics) {
  const Case& c = GetParam();
  Parsed p = Parse(c.input);
  if (c.written) {
    ASSERT_NE(p.value, nullptr) << c.input;
    EXPECT_EQ(Json::toText(p.value.get()), *c.written);
  } else {
    EXPECT_EQ(p.value, nullptr) << Json::toText(p.value.get());
  }
  EXPECT_EQ(p.errors, c.errors);
}

INSTANTIATE_TEST_SUITE_P(Json, ParseTable, testing::ValuesIn(kCases), [](const auto& info) {
  std::string name = info.param.name;
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

TEST(JsonParser, CursorStopsAfterTheValue) {
  EXPECT_EQ(Parse("  null  ").consumed, 6u);
  EXPECT_EQ(Parse("[1] rest").consumed, 3u);
  EXPECT_EQ(Parse("{\"a\":1}x").consumed, 7u);
  EXPECT_EQ(Parse("\"ab\"cd").consumed, 4u);
  EXPECT_EQ(Parse("12.5,").consumed, 4u);
  EXPECT_EQ(Parse("\"abc").consumed, 4u);  // stays at the end of the text
}

// Each failing element quotes only the start of the text after it, so the
// diagnostics of a long run of bad elements grow linearly with their count.
TEST(JsonParser, DiagnosticsOfManyBadElementsStayLinear) {
  constexpr std::size_t kElements = 64000;
  std::string text = "[";
  for (std::size_t i = 0; i < kElements; ++i) text += "a,";
  text += "]";
  Parsed p = Parse(text);
  const auto* list = Json::As<Json::Array>(p.value.get());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Size(), kElements);
  EXPECT_EQ(std::count(p.errors.begin(), p.errors.end(), '\n'), static_cast<long>(kElements));
  EXPECT_LE(p.errors.size(), kElements * 100);
  const std::string first = p.errors.substr(0, p.errors.find('\n'));
  EXPECT_EQ(first, "Unrecognized literal: " + text.substr(2, 64) + "...");
}

std::string Nested(int depth, char open, char close) {
  return std::string(depth, open) + std::string(depth, close);
}

TEST(JsonParser, NestingUpToTheLimitParses) {
  Parsed p = Parse(Nested(Json::kMaxDepth, '[', ']'));
  ASSERT_NE(p.value, nullptr);
  EXPECT_EQ(p.errors, "");
  EXPECT_EQ(Json::toText(p.value.get()), Nested(Json::kMaxDepth, '[', ']'));

  // Depth is counted per path, not per container: siblings do not add up.
  const std::string inner = Nested(Json::kMaxDepth - 1, '[', ']');
  EXPECT_NE(Parse("[" + inner + "," + inner + "]").value, nullptr);

  std::string maps;
  for (int i = 0; i < Json::kMaxDepth - 1; ++i) maps += "{\"a\":";
  maps += "{}" + std::string(Json::kMaxDepth - 1, '}');
  Parsed m = Parse(maps);
  EXPECT_NE(m.value, nullptr);
  EXPECT_EQ(m.errors, "");
}

TEST(JsonParser, TooDeepNestingFailsWithOneMessage) {
  for (const std::string& text : {Nested(Json::kMaxDepth + 1, '[', ']'), std::string(100000, '['),
                                  "{\"a\":" + std::string(100000, '[') + "}"}) {
    Parsed p = Parse(text);
    EXPECT_EQ(p.value, nullptr);
    EXPECT_EQ(p.errors.rfind("Parse error, nesting deeper than 256 levels. Got: ", 0), 0u)
        << p.errors.substr(0, 80);
    EXPECT_EQ(std::count(p.errors.begin(), p.errors.end(), '\n'), 1);
    EXPECT_EQ(p.consumed, text.size());  // nothing after it is read as a value
  }

  std::string maps;
  for (int i = 0; i < 100000; ++i) maps += "{\"k\":";
  Parsed m = Parse(maps);
  EXPECT_EQ(m.value, nullptr);
  EXPECT_EQ(std::count(m.errors.begin(), m.errors.end(), '\n'), 1);
}

}  // namespace
