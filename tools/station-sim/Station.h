#pragma once
// The reference station: listeners on the base-port block, one thread per accepted TCP
// connection, one thread per UDP port running KCP conversations. Every event goes to the log.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/station-sim/ClientState.h"
#include "tools/station-sim/ClipFile.h"
#include "tools/station-sim/EventLog.h"
#include "tools/station-sim/Net.h"
#include "tools/station-sim/Options.h"
#include "tools/station-sim/VideoSource.h"

namespace station {

enum class Channel { Probe, Mouse, Video, Audio, Api, Control, UdpVideo, UdpAudio };
const char* ChannelName(Channel c);

// Sends through one connection with the channel's planned faults applied before each message.
class FaultPlan {
 public:
  FaultPlan(Channel channel, const StationOptions& options, EventLog& log, const StopSignal& stop,
            int64_t conn);
  // Called before message n (counting from 0): may send an unknown type or garbage through
  // `raw`, or stall; false when the plan says to drop the channel now.
  bool Step(const std::function<bool(const uint8_t*, std::size_t)>& raw);
  int64_t Count() const { return count_; }

 private:
  Channel channel_;
  ChannelFaults faults_;
  EventLog& log_;
  const StopSignal& stop_;
  int64_t conn_;
  int64_t count_ = 0;
};

class Station {
 public:
  Station(StationOptions options, EventLog& log);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Binds every port and starts the threads; throws std::runtime_error when a port is taken.
  void Start();
  // Stops and joins every thread.
  void Stop();
  int BasePort() const { return basePort_; }
  const StopSignal& Stopping() const { return stop_; }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void BindAll(int base);
  void AcceptLoop(Channel channel, int listener);
  void Spawn(std::function<void()> body);
  void ServeConnection(Channel channel, platform::UniqueFd fd, int64_t conn);
  // Reads and checks the greeting; returns the client GUID text, or empty after logging the refusal.
  std::string ReadGreeting(Channel channel, int fd, int64_t conn);
  std::shared_ptr<ClientState> StateFor(const std::string& guid);
  // The client whose announced conversation for this port matches.
  std::shared_ptr<ClientState> StateForConv(uint32_t conv, bool audio, std::string* guid);

  void ServeProbe(int fd, int64_t conn);
  void ServeVideo(int fd, int64_t conn, const std::string& guid);
  void ServeAudio(int fd, int64_t conn, const std::string& guid);
  void ServeMouse(int fd, int64_t conn, const std::string& guid);
  void ServeApi(int fd, int64_t conn, const std::string& guid);
  void ServeControl(int fd, int64_t conn, const std::string& guid);
  void UdpLoop(Channel channel, int fd);

  StationOptions options_;
  EventLog& log_;
  StopSignal stop_;
  EncoderPool encoders_;
  int basePort_ = 0;
  std::vector<std::shared_ptr<const Clip>> clips_;
  std::vector<std::pair<Channel, platform::UniqueFd>> tcp_;
  std::vector<std::pair<Channel, platform::UniqueFd>> udp_;
  std::atomic<int64_t> nextConn_{1};
  // TCP connections being served, per listening port: a crowd on one port cannot starve the others.
  std::array<std::atomic<int>, 6> active_{};

  std::mutex workersMutex_;  // guards workers_
  std::vector<Worker> workers_;
  std::mutex clientsMutex_;  // guards clients_
  std::map<std::string, std::shared_ptr<ClientState>> clients_;
};

}  // namespace station
