#include "zeps/DiscordIpc.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "mord/json/Json.h"
#include "platform/LocalIpc.h"
#include "platform/Process.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"

namespace {

constexpr uint32_t kHandshake = 0;
constexpr uint32_t kFrame = 1;
constexpr uint32_t kClose = 2;
constexpr uint32_t kPing = 3;
constexpr uint32_t kPong = 4;
constexpr std::size_t kMaxDetailsChars = 128;
constexpr int kSendTimeMs = 1000;

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const std::string& s, std::size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<std::size_t>(i)]);
  return v;
}

std::string Quoted(std::string_view s) {
  std::ostringstream out;
  Json::writeString(s, out);
  return out.str();
}

const std::string* FindString(const Json::Object* o, std::string_view key) {
  const auto* s = o == nullptr ? nullptr : Json::As<Json::String>(o->Find(key));
  return s == nullptr ? nullptr : &s->Get();
}

}  // namespace

DiscordPresence MakePresence(const std::string& title, const std::string& siteHost, int64_t nowSeconds) {
  DiscordPresence p;
  p.state = siteHost;
  std::size_t i = 0;
  for (std::size_t chars = 0; chars < kMaxDetailsChars && i < title.size(); ++chars)
    text::DecodeUtf8(title, i);
  p.details = title.substr(0, i);
  p.startTimestamp = nowSeconds;
  p.largeImageKey = "whiteball";
  p.smallImageKey = "cone";
  return p;
}

DiscordIpc::DiscordIpc(std::string applicationId, std::vector<std::string> folders)
    : applicationId_(std::move(applicationId)), folders_(std::move(folders)) {
  if (folders_.empty()) {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"})
      if (const char* v = std::getenv(name); v != nullptr && v[0] == '/') folders_.emplace_back(v);
    folders_.emplace_back("/tmp");
  }
}

DiscordIpc::~DiscordIpc() {
  Shutdown();
}

void DiscordIpc::Initialize() {
  Connect();
}

void DiscordIpc::Shutdown() {
  if (socket_.Valid()) SendFrame(kClose, "{}");
  Disconnect();
}

bool DiscordIpc::Connect() {
  if (socket_.Valid()) return true;
  for (const std::string& folder : folders_) {
    for (int n = 0; n < 10; ++n) {
      platform::UniqueFd fd = platform::ConnectStream(folder + "/discord-ipc-" + std::to_string(n));
      if (!fd.Valid()) continue;
      socket_ = std::move(fd);
      received_.clear();
      ready_ = false;
      if (SendFrame(kHandshake, "{\"v\":1,\"client_id\":" + Quoted(applicationId_) + "}")) return true;
    }
  }
  return false;
}

void DiscordIpc::Disconnect() {
  socket_.Reset();
  ready_ = false;
  received_.clear();
  // Whatever was shown is gone with the connection; show the latest wish again after reconnecting.
  activityPending_ = true;
}

bool DiscordIpc::SendFrame(uint32_t opcode, const std::string& json) {
  std::string frame;
  PutU32(frame, opcode);
  PutU32(frame, static_cast<uint32_t>(json.size()));
  frame += json;
  if (platform::WriteAll(socket_.Get(), frame.data(), frame.size(), kSendTimeMs)) return true;
  LOGD << "Discord connection lost while sending";
  Disconnect();
  return false;
}

std::string DiscordIpc::Nonce() {
  return Quoted(std::to_string(++nonce_));
}

void DiscordIpc::UpdatePresence(const DiscordPresence& presence) {
  activity_ = presence;
  hasActivity_ = true;
  activityPending_ = true;
  SendActivity();
}

void DiscordIpc::ClearPresence() {
  hasActivity_ = false;
  activityPending_ = true;
  SendActivity();
}

void DiscordIpc::SendActivity() {
  if (!ready_ || !activityPending_) return;
  std::string args = "{\"pid\":" + std::to_string(platform::CurrentProcessId());
  if (hasActivity_) {
    const DiscordPresence& a = activity_;
    args += ",\"activity\":{\"state\":" + Quoted(a.state) + ",\"details\":" + Quoted(a.details) +
            ",\"timestamps\":{\"start\":" + std::to_string(a.startTimestamp) +
            "},\"assets\":{\"large_image\":" + Quoted(a.largeImageKey) +
            ",\"small_image\":" + Quoted(a.smallImageKey) + "},\"instance\":false}";
  }
  args += "}";
  if (SendFrame(kFrame, "{\"cmd\":\"SET_ACTIVITY\",\"args\":" + args + ",\"nonce\":" + Nonce() + "}"))
    activityPending_ = false;
}

void DiscordIpc::RunCallbacks() {
  if (!Connect()) return;
  char buffer[4096];
  for (;;) {
    bool ended = false;
    const long n = platform::ReadSome(socket_.Get(), buffer, sizeof buffer, 0, &ended);
    if (n < 0 || ended) {
      LOGD << "Discord closed the connection";
      Disconnect();
      return;
    }
    if (n == 0) break;
    received_.append(buffer, static_cast<std::size_t>(n));
    while (received_.size() >= 8) {
      const uint32_t opcode = GetU32(received_, 0);
      const uint32_t length = GetU32(received_, 4);
      if (length > kMaxFrameBytes) {
        LOGW << "Discord sent a frame of " << length << " bytes; reconnecting";
        Disconnect();
        return;
      }
      if (received_.size() < 8 + length) break;
      const std::string json = received_.substr(8, length);
      received_.erase(0, 8 + length);
      HandleFrame(opcode, json);
      if (!socket_.Valid()) return;
    }
  }
  SendActivity();
}

void DiscordIpc::HandleFrame(uint32_t opcode, const std::string& json) {
  if (opcode == kPing) {
    SendFrame(kPong, json);
    return;
  }
  if (opcode == kClose) {
    LOGD << "Discord ended the connection: " << json;
    Disconnect();
    return;
  }
  if (opcode != kFrame) return;
  const char* cursor = json.c_str();
  const std::unique_ptr<Json::Value> root = Json::parseValue(cursor);
  const auto* message = Json::As<Json::Object>(root.get());
  const std::string* cmd = FindString(message, "cmd");
  const std::string* evt = FindString(message, "evt");
  if (cmd == nullptr || *cmd != "DISPATCH" || evt == nullptr) return;
  const auto* data = Json::As<Json::Object>(message->Find("data"));
  if (*evt == "READY") {
    ready_ = true;
    SendFrame(kFrame, "{\"cmd\":\"SUBSCRIBE\",\"evt\":\"ACTIVITY_JOIN_REQUEST\",\"nonce\":" + Nonce() + "}");
  } else if (*evt == "ACTIVITY_JOIN_REQUEST") {
    const auto* user = data == nullptr ? nullptr : Json::As<Json::Object>(data->Find("user"));
    const std::string* id = FindString(user, "id");
    // Nobody can join a streamed game: every request is answered with "ignore".
    if (id != nullptr)
      SendFrame(kFrame, "{\"cmd\":\"CLOSE_ACTIVITY_REQUEST\",\"args\":{\"user_id\":" + Quoted(*id) +
                            "},\"nonce\":" + Nonce() + "}");
  }
}
