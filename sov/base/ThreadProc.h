#pragma once
// The one way every long-running thread procedure ends:
//  - an interruption is the normal end: one info record "<name>: thread interrupted", result 0;
//  - anything else is logged with its text and ends the process with
//    kExitThreadFailure, because the program must not go on with a thread missing.
#include <exception>
#include <string>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

// Exit status of a process stopped by an unexpected exception in a thread.
constexpr int kExitThreadFailure = 70;

// Flushes the logs and ends the process at once with `status`.
[[noreturn]] void AbortProcess(int status);

// Replaces AbortProcess for tests: the handler is called instead (and must not return normally,
// e.g. it throws).
using FatalHandler = void (*)(int status);
void SetFatalHandler(FatalHandler handler);

template <class Body>
int RunThreadProc(const char* name, Body&& body) {
  try {
    body();
    return 0;
  } catch (const InterruptException&) {
    zlog::Write(0, zlog::Severity::Info, name, __LINE__, nullptr, std::string(name) + ": thread interrupted");
    return 0;
  } catch (const std::exception& e) {
    zlog::Write(0, zlog::Severity::Error, name, __LINE__, nullptr,
                std::string(name) + ": unhandled exception: " + e.what());
  } catch (...) {
    zlog::Write(0, zlog::Severity::Error, name, __LINE__, nullptr,
                std::string(name) + ": unhandled exception: ");
  }
  AbortProcess(kExitThreadFailure);
}
