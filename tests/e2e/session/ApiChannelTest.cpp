// The API channel threads in this process against the reference station and back-end, for what
// the client program cannot be driven to do from outside yet: the clipboard block, streaming with
// a key from the settings service, and answers to incoming requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/HPCWrapper.h"
#include "sov/config/Config.h"
#include "sov/protocol/Codec.h"
#include "sov/settings/RunTimeSettings.h"
#include "tests/e2e/session/MediaChannels.h"
#include "tests/integration/station/StationHarness.h"
#include "tests/unit/http/BackendSim.h"
#include "zep/channels/ChannelThreads.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;
using stationtest::WaitUntil;

namespace {

// The API channel thread of this process against the reference station, with the settings and
// token services on the reference back-end. Leaving the scope interrupts the session and joins.
struct ApiAgainstPeers {
  ApiAgainstPeers(const std::string& backendScenario, std::vector<std::string> stationArgs)
      : backend(backendScenario), station(std::move(stationArgs)) {
    const fs::path cfg = backend.Dir() / "client-config.cfg";
    std::ofstream(cfg) << "SettingsHost = 127.0.0.1\nSettingsPort = " << backend.Port()
                       << "\nTokenVerifierHost = 127.0.0.1\nTokenVerifierPort = " << backend.Port()
                       << "\nHttpsCaFile = " << backend.CaFile() << "\n";
    Config::Instance().Load(cfg.string());
    address.address = "127.0.0.1";
    address.apiPort = static_cast<uint32_t>(station.Port(4));
    address.clientGuid = *platform::Guid::Parse("01020304-0506-0708-090a-0b0c0d0e0f10");
    address.token = "player-token";
  }
  ~ApiAgainstPeers() { StopUs(); }
  void Start() {
    api = std::thread([this] { ApiNetworkThreadProc(context); });
  }
  // Interrupts the session; returns how long the channel took to end.
  int64_t StopUs() {
    const int64_t start = MonotonicUs();
    shared.interrupt.Set();
    if (api.joinable()) api.join();
    return MonotonicUs() - start;
  }

  BackendSim backend;
  StationProcess station;
  StationAddress address;
  SessionShared shared;
  StatsTable table;
  ChannelContext context{address, shared, table};
  std::thread api;
};

TEST(ApiChannel, ClipboardStreamKeyAndIncomingDecisionsReachTheStationOnce) {
  const std::string key40 = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
  ApiAgainstPeers peers("{\"tokens\": [\"player-token\"], \"stream_key\": \"" + key40 + "\"}",
                        {"--at", "1500 incoming 00112233445566778899aabbccddeeff", "--video-frames", "1"});
  StationProcess& station = peers.station;
  SessionShared& shared = peers.shared;
  CRunTimeSettings& settings = RunTimeSettings();
  CRunTimeSettings::Set(settings.allowIncomingIndex, 1);
  CRunTimeSettings::Set(settings.enableMicIndex, 0);
  CRunTimeSettings::Set(settings.streamingEnabled, 1);

  const std::u16string text = u"Grüße ✓ from the clipboard";
  shared.clipboard.Put(proto::MakeClipboardText(text, 1));
  peers.Start();

  // The station's request (sent once the first round allowed incoming requests) becomes pending; the player
  // accepts it, and the answer goes out once.
  RequestId id{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
               0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  ASSERT_TRUE(WaitUntil([&] { return !shared.incoming.Pending().empty(); }, 10000)) << station.Log();
  EXPECT_EQ(shared.incoming.Pending(), std::vector<RequestId>{id});
  EXPECT_TRUE(shared.incoming.Decide(id, true));
  EXPECT_FALSE(shared.incoming.Offer(id));  // decided requests are not offered again
  ASSERT_FALSE(station.WaitForLine("\"name\":\"incoming-decision\"", 5000).empty()) << station.Log();
  // A second clipboard block while the connection runs.
  shared.clipboard.Put(proto::MakeClipboardText(u"second", 0));
  ASSERT_GE(station.WaitForCount("\"name\":\"heartbeat\"", 6, 10000), 6u);

  const auto decisions = station.Lines("\"name\":\"incoming-decision\"");
  ASSERT_EQ(decisions.size(), 1u) << station.Log();
  EXPECT_EQ(StationProcess::StringField(decisions[0], "id"), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(StationProcess::NumberField(decisions[0], "decision"), 1);

  const auto clipboards = station.Lines("\"name\":\"clipboard\"");
  ASSERT_EQ(clipboards.size(), 2u) << station.Log();
  EXPECT_EQ(StationProcess::StringField(clipboards[0], "text"), "Grüße ✓ from the clipboard");
  EXPECT_EQ(StationProcess::NumberField(clipboards[0], "mode"), 1);
  EXPECT_EQ(StationProcess::StringField(clipboards[1], "text"), "second");
  EXPECT_EQ(StationProcess::NumberField(clipboards[1], "mode"), 0);

  // Streaming sends the key from the settings service (cut to 32 bytes) and forces the microphone on.
  const auto keys = station.Lines("\"name\":\"stream-key\"");
  ASSERT_EQ(keys.size(), 1u) << station.Log();
  EXPECT_EQ(StationProcess::StringField(keys[0], "key"), key40.substr(0, 32));
  EXPECT_TRUE(shared.microphone.IsSet());
  EXPECT_EQ(CRunTimeSettings::Get(settings.enableMicIndex), 1u);

  // Switching streaming off sends the empty key.
  CRunTimeSettings::Set(settings.streamingEnabled, 0);
  ASSERT_FALSE(station.WaitForLine("\"present\":false", 5000).empty()) << station.Log();

  // The interrupt ends the channel: the sender stops, the forced close ends the receiver.
  EXPECT_LT(peers.StopUs(), 2000000);
}

}  // namespace

namespace {

// The stamps of the frames the station sent on either transport, sorted. At a switch the station
// may send one picture on both, so a stamp can appear twice.
std::vector<int64_t> SentStamps(const StationProcess& station) {
  std::vector<int64_t> out;
  for (const std::string& l : station.Lines("\"event\":\"frame_sent\""))
    out.push_back(StationProcess::NumberField(l, "stamp"));
  std::sort(out.begin(), out.end());
  return out;
}

TEST(ChannelThreads, TransportSwitchMovesMediaBetweenTcpAndKcpWithoutLosingFrames) {
  StationProcess station({"--size", "320x180"});
  Config::Instance().Load("/nonexistent/client-config.cfg");  // the default KCP tuning
  CRunTimeSettings& settings = RunTimeSettings();
  CRunTimeSettings::Set(settings.networkTransportIndex, 0);
  CRunTimeSettings::Set(settings.streamingEnabled, 0);

  // The decoder's place: takes every frame and keeps its stamp.
  std::mutex lock;
  std::vector<int64_t> received;  // guarded by lock
  std::atomic<int> audioFrames{0};
  MediaChannels channels(
      station,
      [&](std::unique_ptr<RECTS_INFO> frame) {
        std::lock_guard hold(lock);
        received.push_back(int64_t{frame->header.frameStamp});  // a copy: the field is packed
      },
      [&](std::unique_ptr<AUDIO_FRAMES>) { ++audioFrames; });
  StatsTable& table = channels.Table();
  auto receivedCount = [&] {
    std::lock_guard hold(lock);
    return received.size();
  };
  auto waitForFrames = [&](const std::string& channel, std::size_t n) {
    return station.WaitForCount("\"event\":\"frame_sent\",\"channel\":\"" + channel + "\"", n, 20000) >= n;
  };

  ASSERT_TRUE(waitForFrames("video", 30)) << station.Log();
  const int tcpAudio = audioFrames;
  // Over TCP the frame rate is published, and the receive-rate cells stay with the idle KCP channels.
  ASSERT_TRUE(WaitUntil([&] { return table.Value(kStatFpsServer).r > 10.0f; }, 5000));
  EXPECT_EQ(table.Value(kStatVideoMbpsRecv).r, 0.0f);
  EXPECT_EQ(table.Value(kStatAudioMbpsRecv).r, 0.0f);
  // Over to KCP: the frame rate and the video bandwidth now come from the UDP channel.
  CRunTimeSettings::Set(settings.networkTransportIndex, 1);
  const int64_t switchedMs = HPCWrapper::NowMs();
  ASSERT_TRUE(waitForFrames("udp-video", 60)) << station.Log();
  ASSERT_FALSE(station.WaitForLine("\"event\":\"audio_sent\",\"channel\":\"udp-audio\"", 10000).empty());
  ASSERT_TRUE(WaitUntil([&] { return table.Row(kStatFpsServer).changedMs > switchedMs + 1000; }, 5000));
  EXPECT_GT(table.Value(kStatFpsServer).r, 10.0f);
  EXPECT_GT(table.Value(kStatVideoMbpsRecv).r, 0.0f);
  EXPECT_GT(audioFrames.load(), tcpAudio);
  // And back to TCP.
  const std::size_t tcpBefore = station.Lines("\"event\":\"frame_sent\",\"channel\":\"video\"").size();
  CRunTimeSettings::Set(settings.networkTransportIndex, 0);
  ASSERT_TRUE(waitForFrames("video", tcpBefore + 30)) << station.Log();

  // Every frame the station sent, on either transport, reached the queue, and only those.
  const std::vector<int64_t> sent = SentStamps(station);
  ASSERT_TRUE(WaitUntil([&] { return receivedCount() >= sent.size(); }, 5000));
  channels.Stop();
  std::sort(received.begin(), received.end());
  EXPECT_TRUE(std::includes(received.begin(), received.end(), sent.begin(), sent.end()))
      << received.size() << " frames received of " << sent.size() << " sent";
  const std::vector<int64_t> sentInAll = SentStamps(station);
  EXPECT_TRUE(std::includes(sentInAll.begin(), sentInAll.end(), received.begin(), received.end()));
  EXPECT_EQ(channels.Shared().videoFramesReceived.load(), received.size());
}

}  // namespace

namespace {

// A station address that no transport can use (a host name is never resolved) is a failed connect
// like any other: every channel keeps retrying once a second, and the interrupt ends them all.
TEST(ChannelThreads, AnAddressNoTransportCanUseIsRetriedUntilTheInterrupt) {
  Config::Instance().Load("/nonexistent/client-config.cfg");
  StationAddress address;
  address.address = "localhost";
  address.videoPort = address.udpVideoPort = 9002;
  address.audioPort = address.udpAudioPort = 9003;
  address.mousePointerPort = 9001;
  address.apiPort = 9004;
  address.humanControlPort = 9005;
  SessionShared shared;
  StatsTable table;
  ChannelContext context{address, shared, table};
  std::vector<std::thread> threads;
  std::atomic<int> ended{0};
  for (auto proc :
       {VideoNetworkThreadProc, VideoNetworkUdpThreadProc, ApiNetworkThreadProc, MouseNetworkThreadProc,
        AudioNetworkThreadProc, AudioNetworkUdpThreadProc, KeyMouseGrabberThreadProc})
    threads.emplace_back([&, proc] {
      EXPECT_EQ(proc(context), 0);
      ++ended;
    });
  // Two and a half rounds of failing and waiting; a channel that gave up would have ended the process.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(ended.load(), 0);
  const int64_t start = MonotonicUs();
  shared.interrupt.Set();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ended.load(), 7);
  EXPECT_LT(MonotonicUs() - start, 2000000);
}

}  // namespace

namespace {

// The times of the station's heartbeats so far, in microseconds.
std::vector<int64_t> HeartbeatTimes(const StationProcess& station) {
  std::vector<int64_t> out;
  for (const std::string& l : station.Lines("\"name\":\"heartbeat\""))
    out.push_back(StationProcess::NumberField(l, "t_us"));
  return out;
}

// A slow settings service holds up neither the API rounds nor the end of the session.
TEST(ApiChannel, StreamKeyFetchLetsHeartbeatsGoOnAndEndsWithTheSession) {
  // The first key request is answered after 3 s, the second after 60 s.
  ApiAgainstPeers peers(
      "{\"stream_key\": \"slow-key\", \"rules\": ["
      "{\"method\": \"GET\", \"path\": \"/settings/getusermetaplain*\", \"delay_ms\": 3000, \"times\": 1, "
      "\"pass\": true},"
      "{\"method\": \"GET\", \"path\": \"/settings/getusermetaplain*\", \"delay_ms\": 60000, \"pass\": "
      "true}]}",
      {"--video-frames", "1"});
  StationProcess& station = peers.station;
  CRunTimeSettings& settings = RunTimeSettings();
  CRunTimeSettings::Set(settings.enableMicIndex, 0);
  CRunTimeSettings::Set(settings.streamingEnabled, 1);

  peers.Start();

  // The key comes after the slow answer; the rounds went on at their pace meanwhile.
  ASSERT_FALSE(station.WaitForLine("\"name\":\"stream-key\"", 15000).empty()) << station.Log();
  const int64_t keyUs = StationProcess::NumberField(station.Lines("\"name\":\"stream-key\"")[0], "t_us");
  EXPECT_EQ(StationProcess::StringField(station.Lines("\"name\":\"stream-key\"")[0], "key"), "slow-key");
  const std::vector<int64_t> beats = HeartbeatTimes(station);
  ASSERT_GE(beats.size(), 2u);
  EXPECT_GE(keyUs - beats.front(), 2500000) << "the key came before the slow answer";
  int during = 0;
  for (std::size_t i = 1; i < beats.size() && beats[i] <= keyUs; ++i) {
    EXPECT_LT(beats[i] - beats[i - 1], 1500000) << "heartbeat " << i << " waited for the key";
    ++during;
  }
  EXPECT_GE(during, 4) << station.Log();

  // Off and on again: this request hangs. The rounds still go on, and the interrupt ends it all.
  CRunTimeSettings::Set(settings.streamingEnabled, 0);
  ASSERT_FALSE(station.WaitForLine("\"present\":false", 5000).empty()) << station.Log();
  CRunTimeSettings::Set(settings.streamingEnabled, 1);
  const std::size_t before = HeartbeatTimes(station).size();
  ASSERT_GE(station.WaitForCount("\"name\":\"heartbeat\"", before + 4, 10000), before + 4) << station.Log();
  EXPECT_EQ(station.Lines("\"name\":\"stream-key\"").size(), 2u);  // the key and the empty one
  EXPECT_LT(peers.StopUs(), 2000000);
  CRunTimeSettings::Set(settings.streamingEnabled, 0);
}

}  // namespace

namespace {

// The station drops the API connection while the key request hangs: the channel reconnects at its
// usual pace instead of waiting for the settings service.
TEST(ApiChannel, PendingStreamKeyFetchDoesNotHoldTheReconnect) {
  ApiAgainstPeers peers(
      "{\"stream_key\": \"k\", \"rules\": [{\"method\": \"GET\", \"path\": \"/settings/getusermetaplain*\", "
      "\"delay_ms\": 60000, \"pass\": true}]}",
      {"--drop-after", "api:3", "--video-frames", "1"});
  StationProcess& station = peers.station;
  CRunTimeSettings& settings = RunTimeSettings();
  CRunTimeSettings::Set(settings.enableMicIndex, 0);
  CRunTimeSettings::Set(settings.streamingEnabled, 1);

  peers.Start();

  ASSERT_GE(station.WaitForCount("\"event\":\"greeting\",\"channel\":\"api\"", 2, 10000), 2u)
      << station.Log();
  const auto dropped = station.Lines("\"event\":\"disconnected\",\"channel\":\"api\"");
  const auto greetings = station.Lines("\"event\":\"greeting\",\"channel\":\"api\"");
  ASSERT_FALSE(dropped.empty());
  const int64_t gapUs =
      StationProcess::NumberField(greetings[1], "t_us") - StationProcess::NumberField(dropped[0], "t_us");
  EXPECT_LT(gapUs, 3000000) << station.Log();
  EXPECT_TRUE(station.Lines("\"name\":\"stream-key\"").empty());
  EXPECT_LT(peers.StopUs(), 2000000);
  CRunTimeSettings::Set(settings.streamingEnabled, 0);
}

}  // namespace
