#pragma once
// One JSON object per line for every station event, so tests and people can follow a run.
// Every line carries "t_us" (the host's monotonic clock, NowMicros) and "event"; the rest depends on
// the event.
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace station {

// The process clock in microseconds (HPCWrapper), the same clock the client stamps pings with.
int64_t NowMicros();

// The station's own clock as it goes on the wire (ping replies, frame stamps): NowMicros shifted by
// a fixed offset, so that a client on the same host still sees a clock of its own and its offset
// arithmetic is exercised. Set once before any thread starts.
void SetStationClockOffset(int64_t offsetUs);
int64_t StationClockOffset();
int64_t StationMicros();

std::string JsonQuote(const std::string& s);

class JsonLine {
 public:
  explicit JsonLine(const std::string& event);
  JsonLine& Str(const char* key, const std::string& value);
  JsonLine& Int(const char* key, int64_t value);
  JsonLine& Num(const char* key, double value);
  JsonLine& Bool(const char* key, bool value);
  // `json` must already be valid JSON (an array or object).
  JsonLine& Raw(const char* key, const std::string& json);
  const std::string& Event() const { return event_; }
  std::string Text() const { return body_ + "}"; }

 private:
  std::string event_;
  std::string body_;
};

class EventLog {
 public:
  // "-" or empty writes to standard output.
  explicit EventLog(const std::string& path);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  bool Ok() const { return file_ != nullptr; }
  void Write(const JsonLine& line);
  // Writes the "summary" line: how many events of each kind.
  void WriteSummary(int64_t runMicros);

 private:
  std::mutex mutex_;  // guards file_ writes and counts_
  FILE* file_ = nullptr;
  bool ownsFile_ = false;
  std::map<std::string, int64_t> counts_;
};

}  // namespace station
