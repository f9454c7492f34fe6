// Recursive-descent parser for the back-end's JSON answers. It reads a
// NUL-terminated text in place and is deliberately lenient:
//  - "//" starts a comment that runs to the end of the line (or of the text);
//    a single "/" is not a comment.
//  - A comma before "]" or "}" is accepted.
//  - Strings decode the escapes the writer and other JSON writers produce:
//    \\ \" \/ \b \f \n \r \t and \uXXXX (a surrogate pair becomes one UTF-8
//    character). A backslash before any other character drops both. A \u
//    escape without four hex digits, or a surrogate without its partner,
//    fails the string. A string that the text ends inside keeps the bytes
//    read so far.
//  - Numbers are a digit or "-" followed by digits, "-" and "."; the taken
//    text is converted like atof ("1-2" reads 1, "-" reads 0). There is no
//    exponent and no "+": "1e5" leaves "e5" for the caller, which then fails.
//  - Literals are words of letters, digits and "_"; "true", "false" and
//    "null" are known, any other word reads as no value.
//  - A repeated object key replaces the earlier value.
//  - A value that fails inside an array or object leaves a null in its place;
//    the container fails only if the text after it does not fit the grammar.
//  - Text after the parsed value is not looked at.
// Every failure writes one line to standard error and yields no value; the
// parser never throws for malformed text. The line quotes at most the next
// 64 bytes of the text, so a long run of failing elements costs linear time.
// Containers nested deeper than Json::kMaxDepth fail the whole parse instead
// of exhausting the stack.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mord/json/Json.h"
#include "sov/base/Text.h"

namespace Json {
namespace {

class Parser {
 public:
  explicit Parser(const char*& cursor) : c_(cursor) {}

  std::unique_ptr<Value> ParseValue() {
    Skip();
    switch (*c_) {
      case '{':
        return ParseMap();
      case '[':
        return ParseList();
      case '"': {
        bool ok = true;
        std::string text = ParseFieldName(&ok);
        return ok ? std::make_unique<String>(std::move(text)) : nullptr;
      }
      default:
        return ParseLiteral();
    }
  }

 private:
  static bool IsSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
  }
  static bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }
  static bool IsLetter(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }

  void Skip() {
    for (;;) {
      if (IsSpace(*c_)) {
        ++c_;
      } else if (c_[0] == '/' && c_[1] == '/') {
        while (*c_ != '\0' && *c_ != '\n') ++c_;
      } else {
        return;
      }
    }
  }

  // `message` ends in "Got: "; the start of the rest of the text follows it.
  static void Fail(const char* message, const char* rest) {
    constexpr std::size_t kExcerpt = 64;
    const std::size_t n = strnlen(rest, kExcerpt + 1);
    if (n > kExcerpt)
      std::fprintf(stderr, "%s%.*s...\n", message, static_cast<int>(kExcerpt), rest);
    else
      std::fprintf(stderr, "%s%s\n", message, rest);
  }

  // Four hex digits at p, or -1.
  static long Hex4(const char* p) {
    long value = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = text::HexValue(p[i]);  // stops at the NUL: it is no digit
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  // Decodes the \u escape at c_ (pointing at the "u") with a trailing low
  // surrogate and steps past them; false, with the cursor left alone, for a
  // malformed escape.
  bool DecodeUnicode(std::string& out) {
    const long first = Hex4(c_ + 1);
    if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) return false;
    char32_t code = static_cast<char32_t>(first);
    const char* next = c_ + 5;
    if (first >= 0xD800 && first <= 0xDBFF) {
      const long second = next[0] == '\\' && next[1] == 'u' ? Hex4(next + 2) : -1;
      if (second < 0xDC00 || second > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(second) - 0xDC00);
      next += 6;
    }
    text::AppendUtf8(out, code);
    c_ = next;
    return true;
  }

  static char SimpleEscape(char ch) {
    switch (ch) {
      case '\\':
      case '"':
      case '/':
        return ch;
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      default:
        return '\0';
    }
  }

  // A malformed escape writes its message, clears *ok and still reads on to
  // the closing quote, so that the text after the string parses as usual.
  std::string ParseFieldName(bool* ok) {
    Skip();
    std::string result;
    if (*c_ != '"') {
      Fail("parseFieldName error, expected '\"'. Got: ", c_);
      return result;
    }
    ++c_;
    result.reserve(16);
    while (*c_ != '\0' && *c_ != '"') {
      if (*c_ != '\\') {
        result.push_back(*c_++);
        continue;
      }
      ++c_;
      if (*c_ == '\0') break;  // the text ends inside the escape
      if (*c_ == 'u') {
        if (!DecodeUnicode(result)) {
          if (*ok) Fail("parseFieldName error, malformed \\u escape. Got: ", c_ - 1);
          *ok = false;
          ++c_;
        }
        continue;
      }
      if (const char ch = SimpleEscape(*c_)) result.push_back(ch);
      ++c_;
    }
    if (*c_ == '"') ++c_;
    return result;
  }

  // Counts one container level for as long as it lives.
  class Level {
   public:
    explicit Level(Parser& p) : p_(p) { ++p_.depth_; }
    ~Level() { --p_.depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    Parser& p_;
  };

  // A container too deep ends the whole parse: every enclosing container
  // fails without further messages, and the cursor goes to the end of the
  // text so that no caller reads on.
  bool TooDeep() {
    if (tooDeep_) return true;
    if (depth_ < kMaxDepth) return false;
    Fail("Parse error, nesting deeper than 256 levels. Got: ", c_);
    tooDeep_ = true;
    while (*c_ != '\0') ++c_;
    return true;
  }

  std::unique_ptr<Value> ParseMap() {
    Skip();
    if (*c_ != '{') {
      Fail("Map parse error, expected '{'. Got: ", c_);
      return nullptr;
    }
    if (TooDeep()) return nullptr;
    Level level(*this);
    ++c_;
    auto map = std::make_unique<Object>();
    for (;;) {
      Skip();
      if (*c_ == '}') break;
      bool keyOk = true;
      std::string key = ParseFieldName(&keyOk);
      if (!keyOk) return nullptr;
      Skip();
      if (*c_ != ':') {
        Fail("Map parse error, expected separator ':'. Got: ", c_);
        return nullptr;
      }
      ++c_;
      std::unique_ptr<Value> value = ParseValue();
      if (tooDeep_) return nullptr;
      map->Insert(std::move(key), std::move(value));
      Skip();
      if (*c_ == ',') {
        ++c_;
        continue;
      }
      if (*c_ == '}') break;
      Fail("Map parse error, expected ',' or '}'. Got: ", c_);
      return nullptr;
    }
    Skip();
    if (*c_ != '}') {
      Fail("Map parse error, expected '}'. Got: ", c_);
      return nullptr;
    }
    ++c_;
    return map;
  }

  std::unique_ptr<Value> ParseList() {
    Skip();
    if (*c_ != '[') {
      Fail("List parse error, expected '['. Got: ", c_);
      return nullptr;
    }
    if (TooDeep()) return nullptr;
    Level level(*this);
    ++c_;
    auto list = std::make_unique<Array>();
    for (;;) {
      Skip();
      if (*c_ == ']') break;
      std::unique_ptr<Value> value = ParseValue();
      if (tooDeep_) return nullptr;
      list->Append(std::move(value));
      Skip();
      if (*c_ == ',') {
        ++c_;
        continue;
      }
      if (*c_ == ']') break;
      Fail("List parse error, expected separator ','. Got: ", c_);
      return nullptr;
    }
    if (*c_ != ']') {
      Fail("List parse error, expected ']'. Got: ", c_);
      return nullptr;
    }
    ++c_;
    return list;
  }

  // Like atof on the taken text, but independent of the C locale's decimal
  // point: the longest convertible prefix counts, and no prefix reads 0.
  static double ToNumber(const char* begin, const char* end) {
    double value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec == std::errc::result_out_of_range) {
      std::string text(begin, ptr);
      return std::strtod(text.c_str(), nullptr);  // +-HUGE_VAL or the underflowed value
    }
    return ec == std::errc() ? value : 0;
  }

  std::unique_ptr<Value> ParseLiteral() {
    Skip();
    const char* start = c_;
    if (IsDigit(*c_) || *c_ == '-') {
      while (IsDigit(*c_) || *c_ == '-' || *c_ == '.') ++c_;
      return std::make_unique<Number>(ToNumber(start, c_));
    }
    if (IsLetter(*c_)) {
      while (IsLetter(*c_) || IsDigit(*c_) || *c_ == '_') ++c_;
      std::string_view word(start, c_ - start);
      if (word == "true") return std::make_unique<Boolean>(true);
      if (word == "false") return std::make_unique<Boolean>(false);
      if (word == "null") return nullptr;
    }
    Fail("Unrecognized literal: ", c_);
    return nullptr;
  }

  const char*& c_;
  int depth_ = 0;
  bool tooDeep_ = false;
};

}  // namespace

std::unique_ptr<Value> parseValue(const char*& cursor) {
  return Parser(cursor).ParseValue();
}

}  // namespace Json
