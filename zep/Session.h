#pragma once
// The streaming session: the object that owns the session's threads, queues and shared blocks.
#include <memory>

#include "zep/StartParams.h"

class MainWindow;

class Session {
 public:
  virtual ~Session() = default;
};

// Builds the session for the window; its constructor starts every session thread. Returns none
// while this build has no channel threads to run.
std::unique_ptr<Session> CreateSession(const StartParams& params, MainWindow& window);
