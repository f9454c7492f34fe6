#include "tools/station-sim/EventLog.h"

#include <cmath>

#include "platform/HPCWrapper.h"

namespace station {

int64_t NowMicros() {
  return HPCWrapper::NowUs();
}

namespace {
int64_t stationClockOffsetUs = 0;
}  // namespace

void SetStationClockOffset(int64_t offsetUs) {
  stationClockOffsetUs = offsetUs;
}

int64_t StationClockOffset() {
  return stationClockOffsetUs;
}

int64_t StationMicros() {
  return NowMicros() + stationClockOffsetUs;
}

namespace {

// Copies one UTF-8 sequence starting at s[i] (leaving i on its last byte), or gives U+FFFD for bytes that
// are not valid UTF-8 (bad continuations, overlong forms, surrogates, beyond U+10FFFF), so that text
// decoded from a peer never breaks the JSON line for a strict reader.
std::string ValidUtf8Run(const std::string& s, std::size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const int extra = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0) return "\\ufffd";
  uint32_t cp = c & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return "\\ufffd";
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  }
  static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return "\\ufffd";
  std::string run = s.substr(i, extra + 1);
  i += extra;  // the caller's loop steps past the last byte
  return run;
}

}  // namespace

std::string JsonEscape(const std::string& s) {
  std::string out;
  out.reserve(s.size() + 2);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x80) {
          out += ValidUtf8Run(s, i);
          continue;
        }
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out;
}

JsonLine::JsonLine(const std::string& event) : event_(event) {
  body_ = "{\"t_us\":" + std::to_string(NowMicros()) + ",\"event\":\"" + JsonEscape(event) + "\"";
}

JsonLine& JsonLine::Str(const char* key, const std::string& value) {
  body_ += ",\"" + std::string(key) + "\":\"" + JsonEscape(value) + "\"";
  return *this;
}

JsonLine& JsonLine::Int(const char* key, int64_t value) {
  body_ += ",\"" + std::string(key) + "\":" + std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Num(const char* key, double value) {
  if (!std::isfinite(value)) return Raw(key, "null");
  char buf[64];
  snprintf(buf, sizeof buf, "%.6g", value);
  body_ += ",\"" + std::string(key) + "\":" + buf;
  return *this;
}

JsonLine& JsonLine::Bool(const char* key, bool value) {
  return Raw(key, value ? "true" : "false");
}

JsonLine& JsonLine::Raw(const char* key, const std::string& json) {
  body_ += ",\"" + std::string(key) + "\":" + json;
  return *this;
}

EventLog::EventLog(const std::string& path) {
  if (path.empty() || path == "-") {
    file_ = stdout;
  } else {
    file_ = fopen(path.c_str(), "a");
    ownsFile_ = file_ != nullptr;
  }
}

EventLog::~EventLog() {
  if (ownsFile_) fclose(file_);
}

void EventLog::Write(const JsonLine& line) {
  std::string text = line.Text();
  text.push_back('\n');
  std::lock_guard lock(mutex_);
  ++counts_[line.Event()];
  if (!file_) return;
  fwrite(text.data(), 1, text.size(), file_);
  fflush(file_);  // tests read the file while the station runs
}

void EventLog::WriteSummary(int64_t runMicros) {
  std::string counts = "{";
  {
    std::lock_guard lock(mutex_);
    bool first = true;
    for (const auto& [name, n] : counts_) {
      counts += (first ? "\"" : ",\"") + JsonEscape(name) + "\":" + std::to_string(n);
      first = false;
    }
  }
  counts += "}";
  Write(JsonLine("summary").Int("run_ms", runMicros / 1000).Raw("events", counts));
}

}  // namespace station
