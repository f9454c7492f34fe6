#include "zep/video/Presenter.h"

#include <cstdlib>

#include "platform/HPCWrapper.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/stats/StatStorage.h"
#include "zep/stats/StatsTable.h"

namespace video {
namespace {

constexpr int64_t kReportPeriodMs = 1000;
constexpr int32_t kSlowConnectionUs = 300000;

bool PreserveAspect() {
  return CRunTimeSettings::Get(RunTimeSettings().preserveAspectRatioIndex) != 0;
}

}  // namespace

Presenter::Presenter(SDL_Window* window, PresenterParams params) : p_(std::move(params)), renderer_(window) {
  startMs_ = lastReportMs_ = HPCWrapper::NowMs();
  lastIterationEndUs_ = HPCWrapper::NowUs();
  RefreshClientArea();
  // A debugging and test aid: the presented picture's pixels (without the overlay) after the n-th picture.
  if (const char* path = std::getenv("ZEP_DUMP_FRAME")) {
    dumpPath_ = path;
    const char* after = std::getenv("ZEP_DUMP_AFTER");
    dumpAfter_ = after ? std::strtoull(after, nullptr, 10) : 30;
  }
}

Presenter::~Presenter() {
  if (p_.rendererGone) p_.rendererGone();
}

int Presenter::WaitBudgetMs() const {
  const int64_t sinceUs = HPCWrapper::NowUs() - lastIterationEndUs_;
  const int64_t leftMs = kIdleRedrawMs - sinceUs / 1000;
  return static_cast<int>(leftMs < 0 ? 0 : leftMs);
}

void Presenter::RefreshClientArea() {
  int w = 0, h = 0;
  renderer_.OutputSize(w, h);
  if ((SDL_GetWindowFlags(SDL_RenderGetWindow(renderer_.Handle())) & SDL_WINDOW_MINIMIZED) ||
      debug_.Minimized())
    w = h = 0;
  p_.area->Set(w, h);
}

void Presenter::OnWindowEvent(const SDL_WindowEvent& e) {
  switch (e.event) {
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_SHOWN:
      RefreshClientArea();
      break;
    default:
      break;
  }
}

void Presenter::Iterate(bool frameTaken, bool force) {
  const int64_t waitEndUs = HPCWrapper::NowUs();
  const bool ready = frameTaken || p_.buffer->FrameReady().TryAcquire();
  if (!ready && !force && waitEndUs - lastIterationEndUs_ < kIdleRedrawMs * 1000LL) return;
  const double waitMs = (waitEndUs - lastIterationEndUs_) / 1000.0;
  if (p_.storage) p_.storage->Begin(CStatStorage::kRenderLoop);

  renderer_.SetVSync(CRunTimeSettings::Get(RunTimeSettings().vSyncIndex) != 0);
  if (ready) {
    if (Picture* picture = p_.buffer->AcquireFront()) {
      renderer_.Upload(*picture);
      currentStamp_ = picture->stamp;
      fullLatencyReady_.store(false, std::memory_order_relaxed);
      ++pictures_;
      if (debug_.OnPicture(pictures_, SDL_RenderGetWindow(renderer_.Handle()))) RefreshClientArea();
    }
  }
  if (debug_.OnIteration(SDL_RenderGetWindow(renderer_.Handle()))) RefreshClientArea();
  const int64_t nowMs = HPCWrapper::NowMs();
  if (nowMs - lastReportMs_ > kReportPeriodMs) ReportOncePerSecond(nowMs);

  QuadScale scale;
  if (renderer_.HasPicture()) {
    scale = renderer_.DrawFrame(PreserveAspect());
  } else {
    SDL_SetRenderDrawColor(renderer_.Handle(), 0, 0, 0, 255);
    SDL_RenderClear(renderer_.Handle());
  }
  if (p_.publishScale) p_.publishScale(scale);
  ++iterations_;
  MaybeDump();  // the picture alone: the overlay's panes would hide parts of it
  if (p_.drawOverlay) p_.drawOverlay(renderer_.Handle());
  renderer_.Present();
  if (p_.storage) p_.storage->End(CStatStorage::kRenderLoop);

  // Each picture's latency is measured once, at the end of its first present.
  const int64_t offset = p_.clockOffsetUs ? p_.clockOffsetUs->load(std::memory_order_relaxed) : 0;
  if (currentStamp_ != 0 && currentStamp_ != measuredStamp_) {
    measuredStamp_ = currentStamp_;
    if (offset != 0 && p_.table) {
      const uint32_t now = static_cast<uint32_t>(HPCWrapper::NowUs());
      const uint32_t latency = now - static_cast<uint32_t>(currentStamp_) - static_cast<uint32_t>(offset);
      p_.table->SetInt(kStatFullLatency, static_cast<int32_t>(latency));
      fullLatencyReady_.store(true, std::memory_order_relaxed);
    }
    if (p_.onFirstPresent) p_.onFirstPresent(currentStamp_);
  }

  lastIterationEndUs_ = HPCWrapper::NowUs();
  idle_.Add(waitMs, waitMs + (lastIterationEndUs_ - waitEndUs) / 1000.0);
  fps_.Add(FPS_STAT{static_cast<double>(lastIterationEndUs_) / 1000.0, 0, {}});
}

void Presenter::ReportOncePerSecond(int64_t nowMs) {
  lastReportMs_ = nowMs;
  const float fps = static_cast<float>(fps_.Result());
  const float idle = static_cast<float>(idle_.Percent());
  const int32_t drops = p_.buffer->Drops();
  std::array<double, CStatStorage::kAgregators> shares{};
  if (p_.storage) shares = p_.storage->Snapshot();
  if (p_.table) {
    p_.table->SetInt(kStatFramesCount, static_cast<int32_t>(iterations_));
    p_.table->SetReal(kStatFpsRender, fps);
    p_.table->SetReal(kStatRenderIdle, idle);
    p_.table->SetInt(kStatRenderFrameDrops, drops);
    if (p_.storage) p_.table->SetUInt64(kStatRenderLoop, PackBusyShares(shares));
    const StatValue network = p_.table->Value(kStatNetworkLatency);
    const bool slow = network.tag == VT_INT && network.i > kSlowConnectionUs;
    slowConnection_.store(slow, std::memory_order_relaxed);
    if (slow) slowConnectionMs_.store(network.i / 1000, std::memory_order_relaxed);
  }
  int w = 0, h = 0;
  p_.area->Get(w, h);
  LOGI << "Video: " << pictures_ << " pictures, frames count " << iterations_ << ", FPS (render) " << fps
       << ", render idle " << idle << " %, render loop busy " << shares[CStatStorage::kRenderLoop] * 100
       << " %, render frame drops " << drops << ", full latency "
       << (p_.table ? p_.table->Format(kStatFullLatency) : "-") << " us, decoder "
       << (p_.table ? p_.table->Format(kStatDecoder) : "-") << ", decoder idle "
       << (p_.table ? p_.table->Format(kStatDecoderIdle) : "-") << " %, WndProc idle "
       << (p_.table ? StatsTable::Format(p_.table->Value(kStatWndProcIdle), 3) : "-") << " %, client area "
       << w << "x" << h;
}

void Presenter::MaybeDump() {
  if (dumpPath_.empty() || pictures_ < dumpAfter_) return;
  if (renderer_.DumpPpm(dumpPath_))
    LOGI << "Presented picture " << pictures_ << " (stamp " << currentStamp_ << ") written to " << dumpPath_;
  dumpPath_.clear();
}

}  // namespace video
