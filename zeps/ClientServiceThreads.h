#pragma once
// The service's worker threads and what they share. Built once at start-up; the destructor
// stops every thread and joins it.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "mord/services/ServiceClients.h"
#include "platform/Event.h"
#include "zeps/BrowserLink.h"
#include "zeps/Launcher.h"
#include "zeps/ServiceState.h"

class Config;

struct ServiceSettings {
  uint16_t browserPort = 40109;
  std::string runtimeFolder;  // the URL socket and the confirmation FIFO live here
  std::string zepFolder;      // where zep is started from
  bool gpuPreference = false;
  bool launchAsServiceUser = false;  // root: start zep as root instead of the desktop's user
  int heartbeatMs = 10000;
  std::string discordApplicationId;  // empty: no presence
  std::string siteHost;
};

class ClientServiceThreads {
 public:
  // Builds the back-end clients and starts the threads: TLS listener, URL socket, presence,
  // workflow.
  ClientServiceThreads(const Config& config, ServiceSettings settings);
  ~ClientServiceThreads();
  ClientServiceThreads(const ClientServiceThreads&) = delete;
  ClientServiceThreads& operator=(const ClientServiceThreads&) = delete;

  CommandHandlers& Handlers() { return handlers_; }
  // Ends every wait of every thread; the destructor joins them.
  void Stop() { stop_.Set(); }

 private:
  void ClientWorkflowThreadProc();
  void DiscordInteractionThreadProc();

  ServiceSettings settings_;
  platform::Event stop_{true};
  // Ends the back-end calls. Set a bounded while after stop_, so that a run being stopped
  // can still close zep and then stop its session on the back-end.
  platform::Event clientsStop_{true};
  platform::Event workflowDone_{true};
  ServiceClients clients_;
  StartRequests starts_;
  PresenceRecord presence_;
  CommandHandlers handlers_;
  Launcher launcher_;
  std::vector<std::thread> threads_;
};
