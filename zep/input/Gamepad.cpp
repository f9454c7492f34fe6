#include "zep/input/Gamepad.h"

#include <algorithm>

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"

namespace input {
namespace {

constexpr int kProbeIntervalMs = 5000;
constexpr int kPollIntervalMs = 1;
// SDL ends a rumble after at most about a minute; the station expects it to last until changed.
constexpr uint64_t kRumbleRefreshMs = 30000;
constexpr Uint32 kRumbleDurationMs = 0xFFFF;

constexpr std::pair<SDL_GameControllerButton, uint16_t> kButtonBits[] = {
    {SDL_CONTROLLER_BUTTON_DPAD_UP, kPadDpadUp},
    {SDL_CONTROLLER_BUTTON_DPAD_DOWN, kPadDpadDown},
    {SDL_CONTROLLER_BUTTON_DPAD_LEFT, kPadDpadLeft},
    {SDL_CONTROLLER_BUTTON_DPAD_RIGHT, kPadDpadRight},
    {SDL_CONTROLLER_BUTTON_START, kPadStart},
    {SDL_CONTROLLER_BUTTON_BACK, kPadBack},
    {SDL_CONTROLLER_BUTTON_LEFTSTICK, kPadLeftThumb},
    {SDL_CONTROLLER_BUTTON_RIGHTSTICK, kPadRightThumb},
    {SDL_CONTROLLER_BUTTON_LEFTSHOULDER, kPadLeftShoulder},
    {SDL_CONTROLLER_BUTTON_RIGHTSHOULDER, kPadRightShoulder},
    {SDL_CONTROLLER_BUTTON_A, kPadA},
    {SDL_CONTROLLER_BUTTON_B, kPadB},
    {SDL_CONTROLLER_BUTTON_X, kPadX},
    {SDL_CONTROLLER_BUTTON_Y, kPadY},
};

uint8_t Trigger(int16_t v) {
  const int clamped = std::clamp<int>(v, 0, 32767);
  return static_cast<uint8_t>((clamped * 255 + 16383) / 32767);
}

int16_t FlipY(int16_t v) {
  return static_cast<int16_t>(std::clamp(-static_cast<int>(v), -32768, 32767));
}

uint64_t NowMs() {
  return static_cast<uint64_t>(HPCWrapper::NowMs());
}

ControllerState ReadState(SDL_GameController* c) {
  ControllerState s;
  for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
    s.buttons[b] = SDL_GameControllerGetButton(c, static_cast<SDL_GameControllerButton>(b)) != 0;
  for (int a = 0; a < SDL_CONTROLLER_AXIS_MAX; ++a)
    s.axes[a] = SDL_GameControllerGetAxis(c, static_cast<SDL_GameControllerAxis>(a));
  return s;
}

bool SameState(const ControllerState& a, const ControllerState& b) {
  return a.buttons == b.buttons && a.axes == b.axes;
}

}  // namespace

proto::HC_GAMEPAD_EVENT ToGamepadEvent(uint32_t index, const ControllerState& state) {
  proto::HC_GAMEPAD_EVENT e;
  e.controller = index;
  for (const auto& [button, bit] : kButtonBits)
    if (state.buttons[button]) e.buttons = static_cast<uint16_t>(e.buttons | bit);
  e.leftTrigger = Trigger(state.axes[SDL_CONTROLLER_AXIS_TRIGGERLEFT]);
  e.rightTrigger = Trigger(state.axes[SDL_CONTROLLER_AXIS_TRIGGERRIGHT]);
  e.thumbLX = state.axes[SDL_CONTROLLER_AXIS_LEFTX];
  e.thumbLY = FlipY(state.axes[SDL_CONTROLLER_AXIS_LEFTY]);
  e.thumbRX = state.axes[SDL_CONTROLLER_AXIS_RIGHTX];
  e.thumbRY = FlipY(state.axes[SDL_CONTROLLER_AXIS_RIGHTY]);
  return e;
}

GamepadHub::~GamepadHub() {
  std::lock_guard lock(lock_);
  for (Slot& s : slots_) Close(s);
}

void GamepadHub::Close(Slot& slot) {
  if (slot.controller != nullptr) SDL_GameControllerClose(slot.controller);
  slot = Slot{};
}

void GamepadHub::Rumble(Slot& slot) {
  if (slot.controller == nullptr) return;
  const bool on = enabled_ && !stopped_ && (slot.left != 0 || slot.right != 0);
  SDL_GameControllerRumble(slot.controller, on ? slot.left : 0, on ? slot.right : 0, kRumbleDurationMs);
  slot.rumbleSetMs = NowMs();
}

void GamepadHub::Vibrate(uint32_t controller, uint16_t leftMotor, uint16_t rightMotor) {
  std::lock_guard lock(lock_);
  if (controller >= kMaxGamepads || slots_[controller].controller == nullptr) {
    LOGD << "Vibration for controller " << controller << ", which is not connected";
    return;
  }
  Slot& slot = slots_[controller];
  slot.left = leftMotor;
  slot.right = rightMotor;
  Rumble(slot);
}

void GamepadHub::SetEnabled(bool enabled) {
  std::lock_guard lock(lock_);
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  for (Slot& s : slots_) Rumble(s);
}

void GamepadHub::StopFeedback() {
  std::lock_guard lock(lock_);
  stopped_ = true;
  // A rumble runs for up to a minute on its own, and the process ends without closing the pads.
  for (Slot& s : slots_) {
    if (s.controller == nullptr) continue;
    s.left = s.right = 0;
    Rumble(s);
  }
}

bool GamepadHub::Probe() {
  SDL_GameControllerUpdate();
  std::lock_guard lock(lock_);
  const int count = SDL_NumJoysticks();
  for (int i = 0; i < count; ++i) {
    if (!SDL_IsGameController(i)) continue;
    const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(i);
    const bool open = std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.id == id; });
    if (open) continue;
    auto free =
        std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.controller == nullptr; });
    if (free == slots_.end()) break;
    free->controller = SDL_GameControllerOpen(i);
    if (free->controller == nullptr) {
      LOGD << "SDL_GameControllerOpen: " << SDL_GetError();
      continue;
    }
    free->id = id;
    LOGI << "Game controller " << (free - slots_.begin()) << ": " << SDL_GameControllerName(free->controller);
  }
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.controller != nullptr; });
}

void GamepadHub::Poll(const std::function<void(const proto::HC_GAMEPAD_EVENT&)>& send) {
  SDL_GameControllerUpdate();
  std::lock_guard lock(lock_);
  const uint64_t now = NowMs();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.controller == nullptr) continue;
    if (!SDL_GameControllerGetAttached(slot.controller)) {
      LOGI << "Game controller " << i << " disconnected";
      Close(slot);
      continue;
    }
    const ControllerState state = enabled_ ? ReadState(slot.controller) : ControllerState{};
    if (!slot.last || !SameState(*slot.last, state)) {
      slot.last = state;
      send(ToGamepadEvent(static_cast<uint32_t>(i), state));
    }
    if ((slot.left != 0 || slot.right != 0) && now - slot.rumbleSetMs > kRumbleRefreshMs) Rumble(slot);
  }
}

bool InitGamepadSupport() {
  // Only the poller reads controllers; the window's event pump must not update them meanwhile.
  SDL_SetHint(SDL_HINT_AUTO_UPDATE_JOYSTICKS, "0");
  SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
  if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0) {
    LOGW << "Game controllers unavailable: " << SDL_GetError();
    return false;
  }
  SDL_GameControllerEventState(SDL_IGNORE);
  SDL_JoystickEventState(SDL_IGNORE);
  return true;
}

int XInputGrabberThreadProc(GamepadHub& hub, ControlQueue& queue, platform::Event& stop) {
  static const char* const kName = "XInputGrabberThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    auto sleep = [&](int ms) {
      if (platform::WaitAny({&stop}, ms) == 0) throw InterruptException(ZEP_SOURCE, __LINE__);
    };
    auto send = [&](const proto::HC_GAMEPAD_EVENT& e) {
      queue.tryPush(HUMAN_CONTROL_EVENT_PACKET::From(e));  // a full queue drops the change
    };
    bool any = hub.Probe();
    uint64_t lastProbe = NowMs();
    for (;;) {
      sleep(any ? kPollIntervalMs : kProbeIntervalMs);
      if (!any || NowMs() - lastProbe >= kProbeIntervalMs) {
        any = hub.Probe();
        lastProbe = NowMs();
        if (!any) continue;
      }
      hub.Poll(send);
    }
  });
}

}  // namespace input
