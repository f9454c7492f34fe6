// The station's byte-level behaviour on the probe, API and human-control channels, checked by a
// client that writes every byte by hand.
#include <gtest/gtest.h>
#include <iconv.h>

#include <memory>

#include "StationHarness.h"

namespace stationtest {
namespace {

std::vector<uint8_t> Handshake(const std::string& session, uint8_t flag) {
  std::vector<uint8_t> m(session.size() + 2);
  m.front() = 's';
  std::copy(session.begin(), session.end(), m.begin() + 1);
  m.back() = flag;
  return m;
}

const std::string kSession = "0f8fad5b-d9cb-469f-a165-70867728950e";

TEST(StationProbe, AnswersThreeProbesThenAcceptsTheHandshake) {
  StationProcess station({});
  RawClient c(station.Port(0));
  for (int i = 0; i < 3; ++i) {
    c.Send({'h'});
    EXPECT_EQ(c.Recv(1), std::vector<uint8_t>{'h'}) << "probe " << i;
  }
  c.Send(Handshake(kSession, 1));
  EXPECT_EQ(c.Recv(1), std::vector<uint8_t>{1});
  std::string line = station.WaitForLine("\"event\":\"handshake\"", 5000);
  EXPECT_EQ(StationProcess::StringField(line, "session"), kSession);
  EXPECT_EQ(StationProcess::NumberField(line, "flag"), 1);
  EXPECT_EQ(station.Lines("\"event\":\"probe\"").size(), 3u);
}

TEST(StationProbe, RejectOptionAnswersZeroAndAnyOtherByteEndsTheConnection) {
  StationProcess station({"--reject-handshake"});
  {
    RawClient c(station.Port(0));
    c.Send(Handshake(kSession, 0));
    EXPECT_EQ(c.Recv(1), std::vector<uint8_t>{0});
  }
  RawClient bad(station.Port(0));
  bad.Send({'x'});
  EXPECT_TRUE(bad.ClosedByPeer());
  EXPECT_FALSE(station.WaitForLine("probe_refused", 5000).empty());
}

TEST(StationProbe, ASessionIdThatIsNotUtf8IsLoggedAsValidUtf8) {
  StationProcess station({});
  // Overlong, surrogate, beyond U+10FFFF and overlong again, then two valid characters, padded to 36.
  std::string id =
      "a\xE0\x98\x98"
      "b\xED\xA0\x80"
      "c\xF5\x80\x80\x80"
      "d\xC0\xAF"
      "e\xC3\xA9"
      "f\xF0\x9F\x98\x80";
  const std::size_t used = id.size();
  id.resize(36, 'z');
  RawClient c(station.Port(0));
  c.Send(Handshake(id, 1));
  EXPECT_EQ(c.Recv(1), std::vector<uint8_t>{1});
  const std::string bad = "\xEF\xBF\xBD";  // U+FFFD
  const std::string want = "\"session\":\"a" + bad + bad + bad + "b" + bad + bad + bad + "c" + bad + bad +
                           bad + bad + "d" + bad + bad +
                           "e\xC3\xA9"
                           "f\xF0\x9F\x98\x80" +
                           std::string(36 - used, 'z') + "\"";
  std::string line = station.WaitForLine("\"event\":\"handshake\"", 5000);
  EXPECT_NE(line.find(want), std::string::npos) << line;
}

TEST(StationGreeting, IsRequiredOnEveryChannelAndAFaultyClientDoesNotStopTheStation) {
  StationProcess station({"--greeting-timeout-ms", "300"});
  for (int offset = 1; offset <= 5; ++offset) {
    RawClient wrongType(station.Port(offset));
    std::vector<uint8_t> g = RandomGuid().GreetingBytes();
    g[0] = 6;  // a ping where the greeting belongs
    wrongType.Send(g);
    EXPECT_TRUE(wrongType.ClosedByPeer()) << "port +" << offset;
  }
  RawClient silent(station.Port(4));
  EXPECT_TRUE(silent.ClosedByPeer(5000));
  RawClient shortGreeting(station.Port(4));
  shortGreeting.Send({23, 0, 0, 0});  // then nothing more
  EXPECT_TRUE(shortGreeting.ClosedByPeer(5000));
  EXPECT_EQ(station.Lines("greeting_refused").size(), 7u);

  // The station still serves a correct client on the same port, and records its GUID.
  TestGuid guid = RandomGuid();
  RawClient good(station.Port(4));
  good.Send(guid.GreetingBytes());
  std::vector<uint8_t> ping = Message(6, 16);
  Put64(ping, 1, 42);
  good.Send(ping);
  EXPECT_EQ(good.Recv(17).size(), 17u);
  std::string line = station.WaitForLine("\"event\":\"greeting\"", 5000, guid.Text());
  EXPECT_EQ(StationProcess::StringField(line, "guid"), guid.Text());
  EXPECT_EQ(StationProcess::StringField(line, "channel"), "api");
}

// Datagrams of every length up to 1500, some with a KCP header of random fields.
void UdpJunk(int port, std::mt19937& rng) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> d(rng() % 1500);
    for (auto& x : d) x = static_cast<uint8_t>(rng());
    if (d.size() >= 24 && i % 2 == 0) {
      d[4] = static_cast<uint8_t>(81 + rng() % 4);  // a real command byte
      Put32(d, 20, static_cast<uint32_t>(d.size() - 24));
    }
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  close(fd);
}

// True when `text` is well-formed UTF-8 (glibc's decoder refuses overlong forms and surrogates).
bool IsUtf8(const std::string& text) {
  iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
  std::string in = text;
  std::vector<char> out(in.size() * 4 + 4);
  char* ip = in.data();
  char* op = out.data();
  std::size_t il = in.size(), ol = out.size();
  const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && il == 0;
  iconv_close(cd);
  return ok;
}

TEST(StationRobustness, RandomBytesOnEveryPortLeaveTheStationServing) {
  StationProcess station({"--size", "320x240", "--greeting-timeout-ms", "500"});
  std::mt19937 rng(20261206);
  auto junk = [&](std::size_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
  };
  TestGuid guid = RandomGuid();
  for (int round = 0; round < 4; ++round) {
    for (int port = 0; port <= 5; ++port) {
      RawClient raw(station.Port(port));
      raw.Send(junk(1 + rng() % 3000));
      if (port == 0) continue;
      RawClient greeted(station.Port(port));
      greeted.Send(guid.GreetingBytes());
      greeted.Send(junk(1 + rng() % 3000));
    }
  }
  // Announced sizes beyond every limit, and settings no encoder takes as they are.
  RawClient api(station.Port(4));
  api.Send(guid.GreetingBytes());
  auto res = Message(8, 8);
  Put32(res, 1, 0xFFFFFFFF);
  Put16(res, 5, 0xFFFF);
  api.Send(res);
  auto udp = Message(26, 72);
  for (std::size_t i = 1; i < udp.size(); ++i) udp[i] = 0xFF;
  api.Send(udp);
  auto mic = Message(13, 60);
  Put32(mic, 1 + 8, 0xFFFFFFFF);
  api.Send(mic);
  EXPECT_TRUE(api.ClosedByPeer());
  UdpJunk(station.Port(2), rng);
  UdpJunk(station.Port(3), rng);

  RawClient probe(station.Port(0));
  probe.Send({'h'});
  EXPECT_EQ(probe.Recv(1), std::vector<uint8_t>{'h'}) << station.Log().substr(0, 4000);
  RawClient again(station.Port(4));
  again.Send(RandomGuid().GreetingBytes());
  again.Send(Message(6, 16));
  EXPECT_EQ(again.Recv(17).size(), 17u);
  EXPECT_EQ(station.Stop(), 0);
  EXPECT_TRUE(IsUtf8(station.Log()));
  EXPECT_TRUE(station.Lines("\"event\":\"error\"").empty()) << station.Log().substr(0, 4000);
}

TEST(StationApi, PingReplyEchoesTheClientTimeWithTheStationClock) {
  // By default the station clock runs an hour ahead of this host's, so a client on the same host
  // still sees a clock offset of its own; the option moves it either way.
  for (const auto& [args, wantOffsetUs] :
       {std::pair<std::vector<std::string>, int64_t>{{}, 3600000000LL},
        std::pair<std::vector<std::string>, int64_t>{{"--clock-offset-ms", "-5000"}, -5000000LL}}) {
    StationProcess station(args);
    ASSERT_EQ(station.ClockOffsetUs(), wantOffsetUs);
    RawClient api(station.Port(4));
    api.Send(RandomGuid().GreetingBytes());
    for (int64_t t1 : {int64_t{1}, int64_t{0x0123456789abcdefLL}, int64_t{-5}}) {
      std::vector<uint8_t> ping = Message(6, 16);
      Put64(ping, 1, static_cast<uint64_t>(t1));
      for (int i = 9; i < 17; ++i) ping[i] = 0xAA;  // reserved bytes are ignored
      const int64_t before = MonotonicUs();
      api.Send(ping);
      std::vector<uint8_t> reply = api.Recv(17);
      const int64_t after = MonotonicUs();
      ASSERT_EQ(reply.size(), 17u);
      EXPECT_EQ(reply[0], 6);
      EXPECT_EQ(static_cast<int64_t>(Get64(&reply[1])), t1);
      // Same machine: the station's time, less its offset, lies between send and receive.
      const int64_t ts = static_cast<int64_t>(Get64(&reply[9])) - wantOffsetUs;
      EXPECT_GE(ts, before - 1000);
      EXPECT_LE(ts, after + 1000);
    }
  }
}

// Scrambles as the client does, with a known pad, so the test does not share the client's code.
std::vector<uint8_t> StreamKeyMessage(const std::string& key, uint8_t padSeed) {
  std::vector<uint8_t> m = Message(15, 65);
  m[1] = 1;
  for (int i = 0; i < 32; ++i) {
    m[34 + i] = static_cast<uint8_t>(padSeed + 37 * i);  // pad P
    m[2 + i] = static_cast<uint8_t>(0x5A ^ i);           // random filler
  }
  const std::size_t n = std::min<std::size_t>(key.size(), 31);
  for (std::size_t i = 0; i <= n; ++i) {
    const uint8_t c = i < key.size() ? static_cast<uint8_t>(key[i]) : 0;
    m[2 + i] = c ^ m[34 + i];
  }
  return m;
}

std::vector<uint8_t> ClipboardMessage(const std::u16string& text, uint32_t mode) {
  std::vector<uint8_t> m = Message(17, 516);
  for (int i = 0; i < 128; ++i) {
    Put16(m, 1 + 256 + 2 * i, static_cast<uint16_t>(0x9E37 * (i + 1)));  // pad Q
    Put16(m, 1 + 2 * i, static_cast<uint16_t>(0x1111 * i));              // filler
  }
  const std::size_t n = std::min<std::size_t>(text.size(), 127);
  for (std::size_t i = 0; i <= n; ++i) {
    const uint16_t c = i < text.size() ? text[i] : 0;
    const uint16_t rot = static_cast<uint16_t>((c << 5) | (c >> 11));
    Put16(m, 1 + 2 * i, rot ^ Get16(&m[1 + 256 + 2 * i]));
  }
  Put32(m, 1 + 512, mode);
  return m;
}

TEST(StationApi, StreamKeyAndClipboardComeOutAsSent) {
  StationProcess station({});
  RawClient api(station.Port(4));
  api.Send(RandomGuid().GreetingBytes());
  api.Send(StreamKeyMessage("live-abcd-1234", 7));
  api.Send(StreamKeyMessage(std::string(40, 'k') + "TAIL", 99));  // only the first 32 bytes travel
  std::vector<uint8_t> off = Message(15, 65);
  api.Send(off);
  api.Send(ClipboardMessage(u"Hello, \u043c\u0438\u0440 \u263a", 1));
  api.Send(ClipboardMessage(std::u16string(200, u'x'), 0));  // cut to 128 units

  std::string l = station.WaitForLine("\"name\":\"clipboard\"", 5000, "\"mode\":0");
  ASSERT_FALSE(l.empty()) << station.Log();
  auto keys = station.Lines("\"name\":\"stream-key\"");
  ASSERT_EQ(keys.size(), 3u);
  EXPECT_EQ(StationProcess::StringField(keys[0], "key"), "live-abcd-1234");
  EXPECT_EQ(StationProcess::StringField(keys[1], "key"), std::string(32, 'k'));
  EXPECT_NE(keys[2].find("\"present\":false"), std::string::npos);
  auto clips = station.Lines("\"name\":\"clipboard\"");
  ASSERT_EQ(clips.size(), 2u);
  EXPECT_EQ(StationProcess::StringField(clips[0], "text"), "Hello, \xd0\xbc\xd0\xb8\xd1\x80 \xe2\x98\xba");
  EXPECT_EQ(StationProcess::NumberField(clips[0], "mode"), 1);
  EXPECT_EQ(StationProcess::StringField(clips[1], "text"), std::string(128, 'x'));
}

TEST(StationApi, ScriptSendsOpenLinkVibrationAndIncomingRequest) {
  StationProcess station({"--at", "0 open-link https://example.org/x", "--at", "50 vibrate 1 1000 65535",
                          "--at", "100 incoming 00112233445566778899aabbccddeeff"});
  RawClient api(station.Port(4));
  api.Send(RandomGuid().GreetingBytes());
  auto link = api.Recv(5);
  ASSERT_EQ(link.size(), 5u);
  EXPECT_EQ(link[0], 12);
  const std::string url = "https://example.org/x";
  ASSERT_EQ(Get32(&link[1]), url.size() * 2);
  auto text = api.Recv(url.size() * 2);
  for (std::size_t i = 0; i < url.size(); ++i) EXPECT_EQ(Get16(&text[2 * i]), static_cast<uint16_t>(url[i]));
  auto vib = api.Recv(13);
  ASSERT_EQ(vib.size(), 13u);
  EXPECT_EQ(vib[0], 19);
  EXPECT_EQ(Get32(&vib[1]), 1u);
  EXPECT_EQ(Get16(&vib[7]), 1000);
  EXPECT_EQ(Get16(&vib[9]), 65535);
  auto inc = api.Recv(257);
  ASSERT_EQ(inc.size(), 257u);
  EXPECT_EQ(inc[0], 25);
  EXPECT_EQ(inc[1], 0x00);
  EXPECT_EQ(inc[16], 0xff);
}

TEST(StationApi, AClientThatStopsReadingCannotHoldItsConnectionOpen) {
  // One scripted link far larger than the socket buffers take, so its send blocks.
  char path[] = "/tmp/zep-station-script-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream script(path);
    script << "0 open-link https://example.com/" << std::string(8 << 20, 'a') << "\n";
  }
  StationProcess station({"--script", path});
  unlink(path);
  RawClient api(station.Port(4));
  api.Send(RandomGuid().GreetingBytes());
  ASSERT_FALSE(station.WaitForLine("\"event\":\"greeting\"", 5000).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the link is on its way
  api.Send({7});  // ends the connection on the station's side while this client reads nothing
  EXPECT_FALSE(station.WaitForLine("\"event\":\"disconnected\"", 15000, "\"channel\":\"api\"").empty());
}

TEST(StationControl, DecodesEveryEventTypeAndKeepAlives) {
  StationProcess station({});
  RawClient c(station.Port(5));
  c.Send(RandomGuid().GreetingBytes());
  std::vector<uint8_t> mouse(36, 0);
  mouse[0] = 9;
  Put32(mouse, 1, 1);       // absolute
  Put32(mouse, 5, 0x0001);  // left button down
  Put16(mouse, 9, static_cast<uint16_t>(-120));
  double x = 0.25, y = 0.75;
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  Put64(mouse, 15, bits);
  std::memcpy(&bits, &y, 8);
  Put64(mouse, 23, bits);
  mouse[31] = 1;
  c.Send(mouse);
  std::vector<uint8_t> key(22, 0);
  key[0] = 10;
  Put32(key, 2, 0x1E);
  Put32(key, 6, 2);
  Put32(key, 10, 0x41);
  Put32(key, 14, 0x0100);
  c.Send(key);
  std::vector<uint8_t> pad(17, 0);
  pad[0] = 18;
  Put32(pad, 1, 3);
  Put16(pad, 5, 0x1000);
  pad[7] = 255;
  Put16(pad, 9, static_cast<uint16_t>(-32768));
  c.Send(pad);
  c.Send({4, 0});
  c.Send({11});
  std::string ka = station.WaitForLine("\"name\":\"keep-alive\"", 5000);
  ASSERT_FALSE(ka.empty()) << station.Log();
  std::string m = station.WaitForLine("\"name\":\"mouse\"", 100);
  EXPECT_EQ(StationProcess::NumberField(m, "button_data"), -120);
  EXPECT_NE(m.find("\"x\":0.25,\"y\":0.75,\"absolute\":1"), std::string::npos) << m;
  std::string k = station.WaitForLine("\"name\":\"keyboard\"", 100);
  EXPECT_EQ(StationProcess::NumberField(k, "scan_code"), 0x1E);
  EXPECT_EQ(StationProcess::NumberField(k, "vkey"), 0x41);
  EXPECT_EQ(StationProcess::NumberField(k, "message"), 0x100);
  std::string g = station.WaitForLine("\"name\":\"gamepad\"", 100);
  EXPECT_EQ(StationProcess::NumberField(g, "controller"), 3);
  EXPECT_EQ(StationProcess::NumberField(g, "buttons"), 0x1000);
  EXPECT_EQ(StationProcess::NumberField(g, "left_trigger"), 255);
  EXPECT_EQ(StationProcess::NumberField(g, "lx"), -32768);
  EXPECT_FALSE(station.WaitForLine("\"name\":\"released\"", 100).empty());

  c.Send({99});  // not an event type
  EXPECT_TRUE(c.ClosedByPeer());
}

TEST(StationFaults, DropAndUnknownTypeHappenAfterTheGivenCount) {
  StationProcess station(
      {"--cursor-interval-ms", "20", "--send-unknown", "mouse:2", "--drop-after", "api:1"});
  RawClient mouse(station.Port(1));
  mouse.Send(RandomGuid().GreetingBytes());
  for (int i = 0; i < 2; ++i) {
    auto h = mouse.Recv(53);
    ASSERT_EQ(h.size(), 53u);
    ASSERT_EQ(h[0], 1);
    ASSERT_EQ(mouse.Recv(Get32(&h[37])).size(), Get32(&h[37]));
  }
  EXPECT_EQ(mouse.Recv(1), std::vector<uint8_t>{0x7F});

  RawClient api(station.Port(4));
  api.Send(RandomGuid().GreetingBytes());
  api.Send(Message(6, 16));
  EXPECT_EQ(api.Recv(17).size(), 17u);
  api.Send(Message(6, 16));
  EXPECT_TRUE(api.ClosedByPeer());
  EXPECT_FALSE(station.WaitForLine("\"kind\":\"drop\"", 5000).empty());
}

}  // namespace
}  // namespace stationtest
