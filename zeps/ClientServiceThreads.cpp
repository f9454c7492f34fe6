#include "zeps/ClientServiceThreads.h"

#include <chrono>

#include "platform/Thread.h"
#include "platform/Wait.h"
#include "sov/base/FinalAction.h"
#include "sov/base/Log.h"
#include "zeps/ClientWorkflow.h"
#include "zeps/DiscordIpc.h"

namespace {

constexpr int kPresenceTickMs = 5000;
// zep's grace period (5 s) and the stop call with its retries.
constexpr int kStopGraceMs = 12000;

// Ends a thread's body the way every thread of the service ends: an interruption quietly,
// anything else with its text in the log.
template <class Body>
void Guarded(const char* name, Body&& body) {
  platform::SetThreadName(name);
  try {
    body();
  } catch (const InterruptException&) {
    LOGI << name << ": thread interrupted";
  } catch (const std::exception& e) {
    LOGE << name << ": unhandled exception: " << e.what();
  }
}

}  // namespace

ClientServiceThreads::ClientServiceThreads(const Config& config, ServiceSettings settings)
    : settings_(std::move(settings)),
      clients_(ServiceClients::FromConfig(config, &clientsStop_)),
      handlers_(*clients_.settings, starts_),
      launcher_(settings_.zepFolder, settings_.gpuPreference, settings_.launchAsServiceUser,
                settings_.runtimeFolder) {
  threads_.emplace_back([this] {
    Guarded("TlsListenThreadProc", [this] { TlsListenThreadProc(settings_.browserPort, handlers_, stop_); });
  });
  threads_.emplace_back([this] {
    Guarded("IncomingMessagesThreadProc", [this] {
      IncomingMessagesThreadProc(settings_.runtimeFolder + "/vektaschemapipe", handlers_, stop_);
    });
  });
  threads_.emplace_back(
      [this] { Guarded("DiscordInteractionThreadProc", [this] { DiscordInteractionThreadProc(); }); });
  threads_.emplace_back(
      [this] { Guarded("ClientWorkflowThreadProc", [this] { ClientWorkflowThreadProc(); }); });
}

ClientServiceThreads::~ClientServiceThreads() {
  stop_.Set();
  platform::WaitAny({&workflowDone_}, kStopGraceMs);
  clientsStop_.Set();
  for (std::thread& t : threads_) t.join();
}

void ClientServiceThreads::ClientWorkflowThreadProc() {
  WorkflowContext context{*clients_.sessionManager,
                          *clients_.serverManager,
                          *clients_.settings,
                          presence_,
                          launcher_,
                          stop_,
                          settings_.heartbeatMs,
                          {}};
  ClientWorkflow workflow(context);
  auto done = Finally([this] { workflowDone_.Set(); });
  while (auto request = starts_.WaitNext(stop_)) {
    try {
      workflow.Do(*request);
    } catch (const std::exception& e) {
      if (stop_.IsSet()) return;
      LOGE << "ClientWorkflowThreadProc"
           << ": unhandled exception: " << e.what();
    }
  }
}

void ClientServiceThreads::DiscordInteractionThreadProc() {
  if (settings_.discordApplicationId.empty()) {
    LOGI << "No Discord application id configured; presence is off";
    return;
  }
  DiscordIpc discord(settings_.discordApplicationId);
  discord.Initialize();
  for (;;) {
    const int r = platform::WaitAny({&stop_, &presence_.update, &presence_.clear}, kPresenceTickMs);
    if (r == 0) break;
    if (r == 1) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      discord.UpdatePresence(MakePresence(presence_.Title(), settings_.siteHost,
                                          std::chrono::duration_cast<std::chrono::seconds>(now).count()));
    } else if (r == 2) {
      discord.ClearPresence();
    } else {
      discord.RunCallbacks();
    }
  }
  discord.Shutdown();
}
