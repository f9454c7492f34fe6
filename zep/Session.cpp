#include "zep/Session.h"

#include "sov/base/Log.h"

std::unique_ptr<Session> CreateSession(const StartParams& params, MainWindow&) {
  // The channel threads are not part of this build yet: the window runs without a session.
  LOGI << "Session " << params.session << " has no streaming threads in this build";
  return nullptr;
}
