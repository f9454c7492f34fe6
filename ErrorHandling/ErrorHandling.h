#pragma once
// Throw helpers for protocol and service code. The source these carry is this
// header's own name.
#include "sov/base/BaseException.h"

namespace ErrorHandling {

inline constexpr int kProtocolFailureLine = 47;

[[noreturn]] inline void ThrowUnexpectedHeader() {
  throw ProtocolException("Unexpected message header", ZEP_SOURCE, kProtocolFailureLine);
}

[[noreturn]] inline void ThrowProtocolFailure() {
  throw ProtocolException("General protocol failure", ZEP_SOURCE, kProtocolFailureLine);
}

[[noreturn]] inline void ThrowInterrupted() {
  throw InterruptException(ZEP_SOURCE, __LINE__);
}

// Raises ErrCodeException with errno when a POSIX call reported failure.
[[noreturn]] inline void ThrowErrno(int err, const char* source, int line) {
  throw ErrCodeException(err, source, line);
}

}  // namespace ErrorHandling

#define THROW_ERRCODE(code) throw ErrCodeException((code), ZEP_SOURCE, __LINE__)
#define THROW_ERRNO() throw ErrCodeException(errno, ZEP_SOURCE, __LINE__)
