#include "tools/station-sim/EventLog.h"

#include <cmath>
#include <sstream>

#include "mord/json/Json.h"
#include "platform/HPCWrapper.h"
#include "sov/base/Text.h"

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

std::string JsonQuote(const std::string& s) {
  // Text from a peer may be any bytes: what is not UTF-8 becomes U+FFFD, so that a strict reader
  // takes every line.
  std::string valid;
  valid.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) text::AppendUtf8(valid, text::DecodeUtf8(s, i));
  std::ostringstream out;
  Json::writeString(valid, out);
  return out.str();
}

JsonLine::JsonLine(const std::string& event) : event_(event) {
  body_ = "{\"t_us\":" + std::to_string(NowMicros()) + ",\"event\":" + JsonQuote(event);
}

JsonLine& JsonLine::Str(const char* key, const std::string& value) {
  body_ += ",\"" + std::string(key) + "\":" + JsonQuote(value);
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
      counts += (first ? "" : ",") + JsonQuote(name) + ":" + std::to_string(n);
      first = false;
    }
  }
  counts += "}";
  Write(JsonLine("summary").Int("run_ms", runMicros / 1000).Raw("events", counts));
}

}  // namespace station
