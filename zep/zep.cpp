// Entry of the streaming client: configuration, logs, command line, window, event loop.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "sov/base/Log.h"
#include "sov/config/Config.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/CommandLine.h"
#include "zep/MainWindow.h"
#include "zep/Session.h"
#include "zep/StartParams.h"

namespace {

const char* const kConfigFile = "client-config.cfg";
const char* const kWindowTitle = "zep";

void OpenLogs(const Config& config) {
  const std::string folder = WideToUtf8(config.applicationLogFolder);
  zlog::Init(0, folder + "/" + "vektaclient.log", config.maxLogFileSize);
  zlog::Init(1, folder + "/" + "vektaclient.csv", config.maxLogFileSize);
}

}  // namespace

int main(int argc, char** argv) {
  Config& config = Config::Instance();
  try {
    config.Load(kConfigFile);
    OpenLogs(config);
  } catch (const std::exception& e) {
    // Logging does not exist yet; standard error is the only place to say why we stop.
    std::fprintf(stderr, "zep: cannot load %s: %s\n", kConfigFile, e.what());
    return kExitBadConfig;
  }
  LOGI << "Client Application Started";
  // The player's stored preferences; a damaged store leaves the defaults and a warning.
  RunTimeSettings();

  StartParams params;
  try {
    params.clientGuid = platform::Guid::NewRandom();
  } catch (const std::exception& e) {
    LOGE << "Can't create the client GUID: " << e.what();
  }
  std::vector<std::string> args(argv, argv + argc);
  if (auto exitCode = ParseCommandLine(args, params, config)) {
    zlog::Flush();
    return *exitCode;
  }
  LOGI << "Station " << config.serverAddress << " ports " << config.merchantApiPort << ".."
       << config.humanControlPort << ", client " << params.clientGuid.ToString();

  MainWindow window;
  if (!window.Create(kWindowTitle)) {
    LOGE << "Can't create window";
    LOGE << "Instance initialization failed";
    return 0;
  }
  std::unique_ptr<Session> session;
  try {
    session = CreateSession(params, window);
  } catch (const std::exception& e) {
    LOGE << "InitInstance"
         << ": unhandled exception: " << e.what();
    LOGE << "Instance initialization failed";
    return 0;
  }
  const int exitCode = window.RunEventLoop();
  if (session) session->Interrupt();
  LOGI << "Client Application exits with code " << exitCode;
  zlog::Flush();
  // The network threads are not joined and still use the session: end without destructors.
  if (session) std::_Exit(exitCode);
  return exitCode;
}
