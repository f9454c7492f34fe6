#include "sov/base/BaseException.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// No trailing line break, like the errno texts: what() ends up inside log and
// standard-error lines that end themselves.
const char* KnownCodeText(int32_t code) {
  switch (code) {
    case ErrCode::InvalidArg:
      return "The parameter is incorrect.";
    case ErrCode::Abort:
      return "Operation aborted";
    case ErrCode::AccessDenied:
      return "Access is denied.";
    case ErrCode::Fail:
      return "Unspecified error";
    case ErrCode::OutOfMemory:
      return "Not enough memory resources are available to complete this operation.";
    case ErrCode::AlreadyExists:
      return "Cannot create a file when that file already exists.";
    // Raised by the settings store for a value of another type; no errno is that large.
    case ErrCode::UnsupportedType:
      return "Data of this type is not supported.";
    default:
      return nullptr;
  }
}

#ifdef _WIN32
// The C runtime's strerror knows only the classic codes; the socket ones come from its POSIX
// supplement (errno.h values above 100) and need their texts here.
const char* PosixSupplementText(int32_t code) {
  switch (code) {
    case EADDRINUSE:
      return "Address already in use";
    case EADDRNOTAVAIL:
      return "Cannot assign requested address";
    case EAFNOSUPPORT:
      return "Address family not supported by protocol";
    case EALREADY:
      return "Operation already in progress";
    case ECONNABORTED:
      return "Software caused connection abort";
    case ECONNREFUSED:
      return "Connection refused";
    case ECONNRESET:
      return "Connection reset by peer";
    case EHOSTUNREACH:
      return "No route to host";
    case EINPROGRESS:
      return "Operation now in progress";
    case EISCONN:
      return "Transport endpoint is already connected";
    case EMSGSIZE:
      return "Message too long";
    case ENETDOWN:
      return "Network is down";
    case ENETRESET:
      return "Network dropped connection on reset";
    case ENETUNREACH:
      return "Network is unreachable";
    case ENOBUFS:
      return "No buffer space available";
    case ENOTCONN:
      return "Transport endpoint is not connected";
    case ENOTSOCK:
      return "Socket operation on non-socket";
    case EOPNOTSUPP:
      return "Operation not supported";
    case ETIMEDOUT:
      return "Connection timed out";
    case EWOULDBLOCK:
      return "Operation would block";
    default:
      return nullptr;
  }
}
#endif

}  // namespace

std::string SystemErrorText(int32_t code) {
  if (const char* known = KnownCodeText(code)) return known;
  if (code > 0 && code < 4096) {
#ifdef _WIN32
    if (const char* text = PosixSupplementText(code)) return text;
    // The C runtime keeps strerror's text per thread.
    const char* desc = std::strerror(code);
    if (desc != nullptr && std::strncmp(desc, "Unknown error", 13) != 0) return desc;
#else
    const char* desc = strerrordesc_np(code);
    if (desc != nullptr) return desc;
#endif
  }
  return "<unknown>";
}

const char* BaseException::what() const noexcept {
  if (text_.empty()) {
    try {
      text_ = FormatWhat();
    } catch (...) {
      return message_;
    }
  }
  return text_.c_str();
}

std::string BaseException::ClassName() const {
  const char* raw = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, FreeDeleter> demangled(abi::__cxa_demangle(raw, nullptr, nullptr, &status));
  return std::string("class ") + (status == 0 && demangled ? demangled.get() : raw);
}

std::string BaseException::FormatWhat() const {
  const std::string cls = ClassName();
  const char* fmt = "%s:%d %s; %s";
  int n = std::snprintf(nullptr, 0, fmt, source_, line_, cls.c_str(), message_);
  std::string out(static_cast<std::size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, source_, line_, cls.c_str(), message_);
  return out;
}

std::string ErrCodeException::FormatWhat() const {
  const std::string cls = ClassName();
  const std::string sys = SystemErrorText(code_);
  const char* fmt = "%s:%d %s(errcode %d); %s; %s";
  int n = std::snprintf(nullptr, 0, fmt, Source(), Line(), cls.c_str(), code_, Message(), sys.c_str());
  std::string out(static_cast<std::size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, Source(), Line(), cls.c_str(), code_, Message(),
                sys.c_str());
  return out;
}
