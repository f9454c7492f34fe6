// Entry of the streaming client: configuration, logs, command line, window, event loop.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/config/Config.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/CommandLine.h"
#include "zep/MainWindow.h"
#include "zep/Session.h"
#include "zep/StartParams.h"

namespace {

const char* const kConfigFile = "client-config.cfg";
const char* const kWindowTitle = "zep";
const char* const kWindowClass = "ZEP";

// A folder named in the file may not exist yet (a fresh machine, a typo): make it rather than lose
// every record. If that fails the run goes on without logs, so say why where someone can see it.
void OpenLogs(const Config& config) {
  const std::string folder = WideToUtf8(config.applicationLogFolder);
  try {
    EnsureDirectoryExistsRecursively(folder);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zep: cannot create the log folder %s, running without logs: %s\n", folder.c_str(),
                 e.what());
  }
  zlog::Init(0, folder + "/" + "vektaclient.log", config.maxLogFileSize);
  zlog::Init(1, folder + "/" + "vektaclient.csv", config.maxLogFileSize);
}

// The exception's own text, then where in the file the bad value sits.
void ReportBadConfig(const Config& config, const std::exception& e) {
  std::string where;
  if (const auto& bad = config.LastBadValue()) {
    where = " (key \"" + bad->key + "\" on line " + std::to_string(bad->line) + ")";
  }
  // Logging does not exist yet; standard error is the only place to say why we stop.
  std::fprintf(stderr, "zep: cannot load %s: %s%s\n", kConfigFile, e.what(), where.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Config& config = Config::Instance();
  try {
    config.Load(ChooseConfigFile(kConfigFile));
  } catch (const std::exception& e) {
    ReportBadConfig(config, e);
    return kExitBadConfig;
  }
  OpenLogs(config);
  LOGI << "Client Application Started";
  // The player's stored preferences; a damaged store leaves the defaults and a warning.
  RunTimeSettings();

  StartParams params;
  try {
    params.clientGuid = platform::Guid::NewRandom();
  } catch (const std::exception& e) {
    // An all-zero GUID would collide with every other client that failed the same way.
    StartupError(std::string("Can't create the client GUID: ") + e.what());
    zlog::Flush();
    return 0;
  }
  if (auto exitCode = ParseCommandLine(args, params, config)) {
    zlog::Flush();
    return *exitCode;
  }
  LOGI << "Station " << config.serverAddress << " ports " << config.merchantApiPort << ".."
       << config.humanControlPort << ", client " << params.clientGuid.ToString();

  MainWindow window;
  if (!window.Create(kWindowTitle, kWindowClass)) {
    StartupError("Can't create window");
    StartupError("Instance initialization failed");
    return 0;
  }
  std::unique_ptr<Session> session;
  try {
    session = CreateSession(params, window);
  } catch (const std::exception& e) {
    StartupError(std::string("InitInstance") + ": unhandled exception: " + e.what());
    StartupError("Instance initialization failed");
    return 0;
  }
  if (session) window.SetOverlay(session->Overlay());
  int exitCode = 0;
  try {
    exitCode = window.RunEventLoop(session ? session->WindowEvents() : nullptr);
  } catch (const std::exception& e) {
    // The window procedure cannot go on without its handling: end like a failed thread.
    LOGE << "WndProc"
         << ": unhandled exception: " << e.what();
    exitCode = kExitThreadFailure;
  }
  if (session) session->Interrupt();
  LOGI << "Client Application exits with code " << exitCode;
  zlog::Flush();
  // The network threads are not joined and still use the session: end without destructors.
  if (session) std::_Exit(exitCode);
  return exitCode;
}
