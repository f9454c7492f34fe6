#pragma once
// Scope-exit guard: runs its action once, logs and swallows what it throws.
#include <exception>
#include <utility>

#include "sov/base/Log.h"

template <class F>
class FinalAction {
 public:
  explicit FinalAction(F action) : action_(std::move(action)) {}
  FinalAction(const FinalAction&) = delete;
  FinalAction& operator=(const FinalAction&) = delete;
  FinalAction(FinalAction&& other) noexcept : action_(std::move(other.action_)), active_(other.active_) {
    other.active_ = false;
  }
  ~FinalAction() {
    if (!active_) return;
    try {
      action_();
    } catch (const std::exception& e) {
      zlog::Write(0, zlog::Severity::Error, "FinalAction::~FinalAction", 9, nullptr,
                  std::string("~FinalAction") + ": unhandled exception: " + e.what());
    } catch (...) {
      zlog::Write(0, zlog::Severity::Error, "FinalAction::~FinalAction", 9, nullptr,
                  "~FinalAction: unhandled exception: ");
    }
  }
  // The action will not run.
  void Dismiss() noexcept { active_ = false; }

 private:
  F action_;
  bool active_ = true;
};

template <class F>
FinalAction<F> Finally(F action) {
  return FinalAction<F>(std::move(action));
}
