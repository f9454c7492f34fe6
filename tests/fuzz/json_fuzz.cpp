// Feeds arbitrary bytes to the JSON parser and checks what must hold for any
// input: no crash, no leak, the cursor stays inside the text, and whatever
// parses writes a text that parses again to the same text.
// The parser's diagnostics quote the text; run with -close_fd_mask=2 to keep
// the fuzzer's own output readable. Inputs up to 64 KiB (-max_len=65536)
// reach the long runs of bad elements whose diagnostics once grew quadratically.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mord/json/Json.h"

namespace {

// True when the written text of `v` parses back to the same tree: every
// string does; a number written with an exponent does not (this parser takes
// none).
bool ReadsBack(const Json::Value* v) {
  if (const auto* n = Json::As<Json::Number>(v)) return Json::toText(n).find('e') == std::string::npos;
  if (const auto* a = Json::As<Json::Array>(v)) {
    for (const auto& item : a->Items())
      if (!ReadsBack(item.get())) return false;
  }
  if (const auto* o = Json::As<Json::Object>(v)) {
    for (const auto& [key, member] : o->Items())
      if (!ReadsBack(member.get())) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The parser reads a NUL-terminated text, so the input ends at its first NUL.
  // An exactly sized heap copy lets the sanitizer see any read past the NUL.
  std::vector<char> text(size + 1);
  std::memcpy(text.data(), data, size);
  const char* begin = text.data();
  const char* cursor = begin;
  std::unique_ptr<Json::Value> value = Json::parseValue(cursor);
  if (cursor < begin || cursor > begin + size) std::abort();

  std::string written = Json::toText(value.get());
  const char* again = written.c_str();
  std::unique_ptr<Json::Value> reparsed = Json::parseValue(again);
  if (ReadsBack(value.get()) && Json::toText(reparsed.get()) != written) std::abort();
  return 0;
}
