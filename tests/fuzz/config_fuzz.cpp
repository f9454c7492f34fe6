// Feeds arbitrary bytes to the configuration reader as a file and checks what
// must hold for any input: no crash, no leak, only the documented exceptions,
// and a table whose entries obey the line rules.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "sov/base/BaseException.h"
#include "sov/config/Config.h"

namespace {

std::string g_file;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void CheckTable(const Config& c) {
  for (const auto& [key, value] : c.table) {
    Check(key.find_first_of("\t ;\n") == std::string::npos);
    Check(value.find_first_of(";\n") == std::string::npos);
    if (!value.empty()) {
      Check(value.front() != ' ' && value.front() != '\t');
      Check(value.back() != ' ' && value.back() != '\t');
    }
  }
  // Wide fields came from strict UTF-8, so they always convert back.
  Check(Utf8ToWide(WideToUtf8(c.settingsHost)) == c.settingsHost);
  Check(Utf8ToWide(WideToUtf8(c.applicationLogFolder)) == c.applicationLogFolder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader's diagnostics go to stdout; keep the fuzzer's output readable.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  // Default log folders are made under a private folder, not in the real home.
  char dir[] = "/tmp/zep-config-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  setenv("XDG_STATE_HOME", dir, 1);
  setenv("XDG_DATA_HOME", dir, 1);
  g_file = std::string(dir) + "/client-config.cfg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  Config& c = Config::Instance();
  try {
    c.Load(g_file);
    CheckTable(c);
  } catch (const ConvertException&) {
  } catch (const ErrCodeException&) {
  }
  return 0;
}
