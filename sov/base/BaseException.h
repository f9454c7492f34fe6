#pragma once
// The exception tree shared by both programs. Every throw names its source
// (shortened to the last 24 characters) and line; what() is formatted once,
// on first use.
#include <cstdint>
#include <exception>
#include <string>

constexpr const char* ShortSourceName(const char* path) {
  std::size_t n = 0;
  while (path[n] != '\0') ++n;
  return n < 25 ? path : path + (n - 24);
}

#define ZEP_SOURCE ShortSourceName(__FILE__)

// Codes carried by exceptions; HRESULT values keep their historical numbers.
namespace ErrCode {
constexpr int32_t InvalidArg = static_cast<int32_t>(0x80070057u);
constexpr int32_t Abort = static_cast<int32_t>(0x80004004u);
constexpr int32_t AccessDenied = static_cast<int32_t>(0x80070005u);
constexpr int32_t Fail = static_cast<int32_t>(0x80004005u);
constexpr int32_t OutOfMemory = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t AlreadyExists = 183;
constexpr int32_t UnsupportedType = 1630;
}  // namespace ErrCode

// System text for a code: errno values, the HRESULT and Win32 constants in use,
// else "<unknown>".
std::string SystemErrorText(int32_t code);

class BaseException : public std::exception {
 public:
  BaseException(const char* message, const char* source, int line) noexcept
      : message_(message ? message : ""), source_(source ? source : ""), line_(line) {}
  ~BaseException() override = default;
  const char* what() const noexcept override;

  const char* Message() const noexcept { return message_; }
  const char* Source() const noexcept { return source_; }
  int Line() const noexcept { return line_; }

 protected:
  virtual std::string FormatWhat() const;
  // "class " followed by the dynamic class name.
  std::string ClassName() const;

 private:
  const char* message_;
  const char* source_;
  int line_;
  mutable std::string text_;
};

class ErrCodeException : public BaseException {
 public:
  ErrCodeException(int32_t code, const char* source, int line) noexcept
      : BaseException("", source, line), code_(code) {}
  int32_t Code() const noexcept { return code_; }

 protected:
  ErrCodeException(int32_t code, const char* message, const char* source, int line) noexcept
      : BaseException(message, source, line), code_(code) {}
  std::string FormatWhat() const override;

 private:
  int32_t code_;
};

class ConvertException : public ErrCodeException {
 public:
  ConvertException(const char* source, int line) noexcept
      : ErrCodeException(ErrCode::InvalidArg, source, line) {}
};

class InterruptException : public ErrCodeException {
 public:
  InterruptException(const char* source, int line) noexcept
      : ErrCodeException(ErrCode::Abort, source, line) {}
};

class InterruptQueueException : public InterruptException {
 public:
  using InterruptException::InterruptException;
};

class TransportException : public ErrCodeException {
 public:
  using ErrCodeException::ErrCodeException;
};

class ReceiveException : public TransportException {
 public:
  using TransportException::TransportException;
};

class ProtocolException : public BaseException {
 public:
  using BaseException::BaseException;
};

class HttpCodeException : public BaseException {
 protected:
  using BaseException::BaseException;
};

class HttpClient4xxException : public HttpCodeException {
 public:
  HttpClient4xxException(const char* message, const char* source, int line) noexcept
      : HttpCodeException(message, source, line) {}
};

class HttpNotAuthorizedException : public HttpClient4xxException {
 public:
  explicit HttpNotAuthorizedException(const char* source, int line = 0) noexcept
      : HttpClient4xxException("401 Not authorized", source, line) {}
};

class HttpServer5xxException : public HttpCodeException {
 public:
  explicit HttpServer5xxException(const char* source, int line = 0) noexcept
      : HttpCodeException("Http 5xx Server Error", source, line) {}
};

class TlsParseException : public BaseException {
 public:
  using BaseException::BaseException;
};
