#pragma once
// Paced producers of the media messages for one stream (TCP or KCP alike): the video streamer
// follows the client's codec, size, rate and bitrate requests; the audio streamer sends the tone.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/station-sim/AacEncoder.h"
#include "tools/station-sim/ClientState.h"
#include "tools/station-sim/EventLog.h"
#include "tools/station-sim/VideoSource.h"

namespace station {

class VideoStreamer {
 public:
  VideoStreamer(const StationOptions& options, const std::vector<std::shared_ptr<const Clip>>& clips,
                EncoderPool& encoders, EventLog& log, const char* channel, int64_t conn,
                std::shared_ptr<ClientState> state);
  // Station microseconds when the next frame is due.
  int64_t NextDue() const { return due_; }
  // When due, appends the next video frame message to `out` and returns true.
  bool Produce(int64_t now, std::vector<uint8_t>& out);
  // Logs the frame Produce made last (after the caller sent it).
  void LogSent();
  uint64_t Sent() const { return sent_; }
  // The next frame starts a new encoder (a key frame): the client's decoder has been fed another
  // stream meanwhile, so this one cannot go on from where it paused.
  void Restart() { generation_ = UINT64_MAX; }

 private:
  void Rebuild(const ClientSnapshot& s);

  const StationOptions& options_;
  const std::vector<std::shared_ptr<const Clip>>& clips_;
  EncoderPool& encoders_;
  EventLog& log_;
  const char* channel_;
  int64_t conn_;
  std::shared_ptr<ClientState> state_;
  std::unique_ptr<VideoSource> source_;
  uint64_t generation_ = UINT64_MAX;
  int fps_ = 30;
  int64_t due_ = 0;
  uint64_t sent_ = 0;
  CodedPicture last_;
  std::size_t lastMessageSize_ = 0;
  bool limitLogged_ = false;
};

class AudioStreamer {
 public:
  AudioStreamer(const StationOptions& options, EventLog& log, const char* channel, int64_t conn);
  int64_t NextDue() const { return due_; }
  bool Produce(int64_t now, std::vector<uint8_t>& out);
  void LogSent();
  uint64_t Sent() const { return sent_; }

 private:
  const StationOptions& options_;
  EventLog& log_;
  const char* channel_;
  int64_t conn_;
  AacEncoder encoder_;
  std::vector<uint8_t> format_;
  int64_t due_ = 0;
  int64_t start_ = 0;
  uint64_t sent_ = 0;
  std::size_t lastSize_ = 0;
};

}  // namespace station
