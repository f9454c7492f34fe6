#include "sov/base/ThreadProc.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<FatalHandler> g_fatalHandler{nullptr};
}

void SetFatalHandler(FatalHandler handler) {
  g_fatalHandler.store(handler);
}

void AbortProcess(int status) {
  zlog::Flush();
  if (FatalHandler h = g_fatalHandler.load()) {
    h(status);
  }
  std::_Exit(status);
}
