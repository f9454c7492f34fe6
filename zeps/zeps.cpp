// Entry of the background service: one instance per user, URL forwarding to it, the graphics
// preference for zep, and the worker threads until SIGTERM or SIGINT.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "mord/registry/RegistryHelper.h"
#include "platform/LocalIpc.h"
#include "platform/Process.h"
#include "sov/base/Log.h"
#include "sov/config/Config.h"
#include "zeps/BrowserLink.h"
#include "zeps/ClientServiceThreads.h"

namespace {

const char* const kConfigFile = "client-config.cfg";
constexpr int kExitBadConfig = 2;
constexpr int kExitNoRuntimeFolder = 3;
constexpr int kForwardTries = 40;  // 50 ms apart: a first instance that is still starting gets 2 s
const wchar_t* const kGpuKey = L"SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences";
const wchar_t* const kGpuPreference = L"GpuPreference=1;";

// The same folder zep logs to, so a player sends one folder with a problem report.
void OpenLog(const Config& config) {
  const std::string folder = WideToUtf8(config.applicationLogFolder);
  try {
    EnsureDirectoryExistsRecursively(folder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zeps: cannot create the log folder %s, running without logs: %s\n", folder.c_str(),
                 e.what());
  }
  zlog::Init(0, folder + "/" + "vektaclientservice.log", config.maxLogFileSize);
}

// Hands the URL to the running instance. It holds the lock from its first moment but opens its
// socket a little later, so a refused connection is retried for a while.
void ForwardUrl(const std::string& socketPath, const std::string& url) {
  const std::string message = EncodeUrlMessage(url);
  for (int i = 0; i < kForwardTries; ++i) {
    if (platform::SendMessage(socketPath, message)) {
      LOGI << "URL handed to the running instance";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  LOGE << "The running instance does not take URLs; the URL is dropped";
}

// Stored once for zep's path and never overwritten, so a player's own choice stays.
bool GpuPreference(const std::string& zepPath) {
  RegistryHelper key(kGpuKey);
  const std::wstring name = RegistryHelper::FromUtf8(zepPath);
  std::optional<std::wstring> value = key.ReadString(name);
  if (!value) {
    key.WriteString(name, kGpuPreference);
    value = kGpuPreference;
  }
  return value->find(L"GpuPreference=1") != std::wstring::npos;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread inherits the mask and only the main
  // thread takes these signals.
  platform::BlockStopSignals();
  std::string runtime;
  if (platform::RuntimeFolder(runtime) != 0) {
    std::fprintf(stderr, "zeps: no runtime folder: set XDG_RUNTIME_DIR\n");
    return kExitNoRuntimeFolder;
  }
  std::optional<platform::InstanceLock> lock;
  Config& config = Config::Instance();
  try {
    lock = platform::InstanceLock::TryAcquire(runtime + "/zepsmainmutex");
    config.Load(ChooseConfigFile(kConfigFile));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zeps: %s\n", e.what());
    return kExitBadConfig;
  }
  OpenLog(config);
  LOGI << "Client Service Started";

  const std::optional<std::string> url =
      argc >= 2 ? std::optional<std::string>(argv[argc - 1]) : std::nullopt;
  const std::string socketPath = runtime + "/vektaschemapipe";
  if (!lock) {
    if (url) {
      try {
        ForwardUrl(socketPath, *url);
      } catch (const std::exception& e) {
        LOGE << "main"
             << ": unhandled exception: " << e.what();
      }
    }
    zlog::Flush();
    return 0;
  }

  ServiceSettings settings;
  settings.runtimeFolder = runtime;
  settings.zepFolder = platform::ExecutableDirectory();
  try {
    const int32_t port = config.GetInt("BrowserLinkPort", 40109);
    if (port < 1 || port > 65535) throw ConvertException(ZEP_SOURCE, __LINE__);
    settings.browserPort = static_cast<uint16_t>(port);
    settings.launchAsServiceUser = config.GetBool("LaunchAsServiceUser", false);
    settings.heartbeatMs = config.GetInt("ServiceHeartbeatMs", 10000);
    settings.discordApplicationId = config.GetString("DiscordApplicationId", "");
    settings.siteHost = config.GetString("DiscordSiteHost", "www.zep.example");
  } catch (const std::exception& e) {
    LOGE << "main"
         << ": unhandled exception: " << e.what();
    std::fprintf(stderr, "zeps: a service value in %s does not convert: %s\n", kConfigFile, e.what());
    zlog::Flush();
    return kExitBadConfig;
  }
  try {
    settings.gpuPreference = GpuPreference(settings.zepFolder + "/zep");
  } catch (const std::exception& e) {
    LOGE << "main"
         << ": unhandled exception: " << e.what();
  }

  std::optional<ClientServiceThreads> threads;
  try {
    threads.emplace(config, settings);
    // Started with a URL and no instance running: this instance is the one to handle it.
    if (url) ProcessUrl(EncodeUrlMessage(*url), threads->Handlers());
  } catch (const std::exception& e) {
    LOGE << "main"
         << ": unhandled exception: " << e.what();
  }
  const int signal = platform::WaitStopSignal();
  LOGI << "Client Service stopping on signal " << signal;
  threads.reset();
  LOGI << "Client Service stopped";
  zlog::Flush();
  return 0;
}
