#include "sov/base/Log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>

namespace zlog {
namespace {

// The object of the record being written; the loggers are synchronous, so the
// sink runs on the writing thread.
thread_local const void* t_object = nullptr;

const char* SeverityName(Severity s) {
  switch (s) {
    case Severity::Error:
      return "ERROR";
    case Severity::Warning:
      return "WARN";
    case Severity::Info:
      return "INFO";
    case Severity::Debug:
      return "DEBUG";
    default:
      return "NONE";
  }
}

spdlog::level::level_enum ToSpd(Severity s) {
  switch (s) {
    case Severity::Error:
      return spdlog::level::err;
    case Severity::Warning:
      return spdlog::level::warn;
    case Severity::Info:
      return spdlog::level::info;
    default:
      return spdlog::level::debug;
  }
}

Severity FromSpd(spdlog::level::level_enum l) {
  switch (l) {
    case spdlog::level::err:
    case spdlog::level::critical:
      return Severity::Error;
    case spdlog::level::warn:
      return Severity::Warning;
    case spdlog::level::info:
      return Severity::Info;
    default:
      return Severity::Debug;
  }
}

// Size-rolled files: name.ext is current, name.1.ext the newest rolled one,
// up to name.9.ext. A CSV file starts with its header line.
class RollingSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  RollingSink(std::filesystem::path file, std::size_t maxSize)
      : file_(std::move(file)), maxSize_(maxSize), csv_(file_.extension() == ".csv") {
    Open();
  }
  ~RollingSink() override {
    if (fp_) std::fclose(fp_);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string line = Format(msg);
    if (!fp_) Open();
    if (!fp_) return;
    if (size_ + line.size() > maxSize_ && size_ > headerSize_) {
      Roll();
      if (!fp_) return;
    }
    size_ += std::fwrite(line.data(), 1, line.size(), fp_);
  }
  void flush_() override {
    if (fp_) std::fflush(fp_);
  }

 private:
  std::filesystem::path Numbered(std::size_t n) const {
    if (n == 0) return file_;
    std::filesystem::path p = file_;
    p.replace_filename(file_.stem().string() + "." + std::to_string(n) + file_.extension().string());
    return p;
  }

  void Open() {
    // Close-on-exec ("e"; "N" on Windows), so no program we start inherits a writable log.
#ifdef _WIN32
    fp_ = ::_wfopen(file_.c_str(), L"abN");  // paths are wide on Windows
#else
    fp_ = std::fopen(file_.c_str(), "abe");
#endif
    if (!fp_) return;
    std::fseek(fp_, 0, SEEK_END);
    long pos = std::ftell(fp_);
    size_ = pos > 0 ? static_cast<std::size_t>(pos) : 0;
    headerSize_ = 0;
    if (csv_) {
      std::string header = std::string(kCsvHeader) + "\n";
      headerSize_ = header.size();
      if (size_ == 0) size_ += std::fwrite(header.data(), 1, header.size(), fp_);
    }
  }

  void Roll() {
    std::fclose(fp_);
    fp_ = nullptr;
    std::error_code ec;
    std::filesystem::remove(Numbered(kFileCount - 1), ec);
    for (std::size_t i = kFileCount - 1; i > 0; --i) {
      if (std::filesystem::exists(Numbered(i - 1), ec))
        std::filesystem::rename(Numbered(i - 1), Numbered(i), ec);
    }
    Open();
  }

  std::string Format(const spdlog::details::log_msg& msg) const {
    using namespace std::chrono;
    auto t = system_clock::to_time_t(msg.time);
    auto ms = duration_cast<milliseconds>(msg.time.time_since_epoch()).count() % 1000;
    std::tm tm{};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    std::array<char, 64> when{};
    const char* func = msg.source.funcname ? msg.source.funcname : "";
    std::string text(msg.payload.data(), msg.payload.size());
    std::string out;
    out.reserve(text.size() + 96);
    if (csv_) {
      std::snprintf(when.data(), when.size(), "%04d/%02d/%02d;%02d:%02d:%02d.%03d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
      char obj[32];
      std::snprintf(obj, sizeof obj, "%016llx",
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(t_object)));
      out += when.data();
      out += ';';
      out += SeverityName(FromSpd(msg.level));
      out += ';';
      out += std::to_string(msg.thread_id);
      out += ';';
      out += obj;
      out += ';';
      out += func;
      out += '@';
      out += std::to_string(msg.source.line);
      out += ";\"";
      for (char c : text) {
        if (c == '"') out += '"';
        out += c;
      }
      out += "\"\n";
    } else {
      std::snprintf(when.data(), when.size(), "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
      char sev[8];
      std::snprintf(sev, sizeof sev, "%-5s", SeverityName(FromSpd(msg.level)));
      out += when.data();
      out += ' ';
      out += sev;
      out += " [";
      out += std::to_string(msg.thread_id);
      out += "] [";
      out += func;
      out += '@';
      out += std::to_string(msg.source.line);
      out += "] ";
      out += text;
      out += '\n';
    }
    return out;
  }

  std::filesystem::path file_;
  std::size_t maxSize_;
  bool csv_;
  std::FILE* fp_ = nullptr;
  std::size_t size_ = 0;
  std::size_t headerSize_ = 0;
};

struct Slot {
  std::shared_ptr<spdlog::logger> logger;
  Severity max = Severity::None;
};

std::shared_mutex g_lock;  // guards g_slots
std::array<Slot, kMaxInstances> g_slots;

}  // namespace

void Init(int instance, const std::filesystem::path& file, long long maxFileSize, Severity maxSeverity) {
  if (instance < 0 || instance >= kMaxInstances) return;
  std::size_t size = maxFileSize < static_cast<long long>(kMinFileSize)
                         ? kMinFileSize
                         : static_cast<std::size_t>(maxFileSize);
  auto sink = std::make_shared<RollingSink>(file, size);
  auto logger = std::make_shared<spdlog::logger>("zep" + std::to_string(instance), sink);
  logger->set_level(ToSpd(maxSeverity));
  logger->flush_on(spdlog::level::debug);
  std::unique_lock lock(g_lock);
  g_slots[instance] = Slot{std::move(logger), maxSeverity};
}

bool Enabled(int instance, Severity severity) {
  if (instance < 0 || instance >= kMaxInstances) return false;
  std::shared_lock lock(g_lock);
  const Slot& s = g_slots[instance];
  return s.logger && static_cast<int>(severity) <= static_cast<int>(s.max);
}

void Write(int instance, Severity severity, const char* function, int line, const void* object,
           std::string_view message) {
  if (instance < 0 || instance >= kMaxInstances) return;
  std::shared_ptr<spdlog::logger> logger;
  {
    std::shared_lock lock(g_lock);
    const Slot& s = g_slots[instance];
    if (!s.logger || static_cast<int>(severity) > static_cast<int>(s.max)) return;
    logger = s.logger;
  }
  t_object = object;
  try {
    logger->log(spdlog::source_loc{"", line, function}, ToSpd(severity), message);
  } catch (...) {
    // Logging never raises.
  }
  t_object = nullptr;
}

void Flush() {
  std::shared_lock lock(g_lock);
  for (auto& s : g_slots)
    if (s.logger) s.logger->flush();
}

void Shutdown() {
  std::unique_lock lock(g_lock);
  for (auto& s : g_slots) s = Slot{};
}

std::string FunctionName(const char* pretty) {
  std::string_view s(pretty ? pretty : "");
  // Cut the parameter list: the first '(' outside template brackets.
  int depth = 0;
  std::size_t end = s.size();
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '<')
      ++depth;
    else if (c == '>')
      --depth;
    else if (c == '(' && depth == 0) {
      end = i;
      break;
    }
  }
  std::string_view head = s.substr(0, end);
  // Drop the return type: the last space outside template brackets.
  depth = 0;
  std::size_t start = 0;
  for (std::size_t i = head.size(); i-- > 0;) {
    char c = head[i];
    if (c == '>')
      ++depth;
    else if (c == '<')
      --depth;
    else if (c == ' ' && depth == 0) {
      start = i + 1;
      break;
    }
  }
  std::string name(head.substr(start));
  // Helpers in unnamed namespaces read better without the namespace marker.
  static constexpr std::string_view kAnonymous = "{anonymous}::";
  for (auto pos = name.find(kAnonymous); pos != std::string::npos; pos = name.find(kAnonymous))
    name.erase(pos, kAnonymous.size());
  return name;
}

Record::~Record() {
  std::string fn = FunctionName(pretty_);
  Write(instance_, severity_, fn.c_str(), line_, object_, stream_.str());
}

}  // namespace zlog
