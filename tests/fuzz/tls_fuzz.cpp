// libFuzzer target: the ClientHello reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "zeps/TlsParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    TlsParser::ParseServerName(data, size);
  } catch (const BaseException&) {
  }
  return 0;
}
