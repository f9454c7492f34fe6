#pragma once
// Logging facade over spdlog. Records carry severity, time, thread id, the
// object (this, or none), the function name and line, and the message.
// Instance 0 is the application log; instance 1 carries the statistics lines.
#include <cstddef>
#include <filesystem>
#include <sstream>
#include <string>
#include <string_view>

namespace zlog {

enum class Severity { None = 0, Error = 2, Warning = 3, Info = 4, Debug = 5 };

constexpr int kMaxInstances = 4;
constexpr std::size_t kMinFileSize = 1000;
constexpr std::size_t kFileCount = 10;
constexpr const char* kCsvHeader = "Date;Time;Severity;TID;This;Function;Message";

// Opens `file` for logger `instance`: rolled at max(maxFileSize, 1000) bytes,
// 10 files kept. A name ending in ".csv" gets the CSV layout, any other the
// text layout. A file that cannot be opened loses its records; nothing throws.
void Init(int instance, const std::filesystem::path& file, long long maxFileSize,
          Severity maxSeverity = Severity::Debug);
bool Enabled(int instance, Severity severity);
void Write(int instance, Severity severity, const char* function, int line, const void* object,
           std::string_view message);
void Flush();
// Drops every logger (tests only).
void Shutdown();

// "void Foo::Bar(int) const" -> "Foo::Bar".
std::string FunctionName(const char* prettyFunction);

class Record {
 public:
  Record(int instance, Severity severity, const char* prettyFunction, int line, const void* object)
      : instance_(instance), severity_(severity), pretty_(prettyFunction), line_(line), object_(object) {}
  ~Record();
  std::ostringstream& stream() { return stream_; }

 private:
  int instance_;
  Severity severity_;
  const char* pretty_;
  int line_;
  const void* object_;
  std::ostringstream stream_;
};

}  // namespace zlog

// A loop rather than an if/else, so that the macro nests under an unbraced if without a dangling else.
#define ZLOG_(instance, severity, object)                                                         \
  for (bool zlog_once_ = ::zlog::Enabled((instance), (severity)); zlog_once_; zlog_once_ = false) \
  ::zlog::Record((instance), (severity), __PRETTY_FUNCTION__, __LINE__, (object)).stream()

#define LOGE ZLOG_(0, ::zlog::Severity::Error, nullptr)
#define LOGW ZLOG_(0, ::zlog::Severity::Warning, nullptr)
#define LOGI ZLOG_(0, ::zlog::Severity::Info, nullptr)
#define LOGD ZLOG_(0, ::zlog::Severity::Debug, nullptr)
// The same, naming the object the record is about (usually `this`).
#define LOGE_(obj) ZLOG_(0, ::zlog::Severity::Error, (obj))
#define LOGW_(obj) ZLOG_(0, ::zlog::Severity::Warning, (obj))
#define LOGI_(obj) ZLOG_(0, ::zlog::Severity::Info, (obj))
#define LOGD_(obj) ZLOG_(0, ::zlog::Severity::Debug, (obj))
