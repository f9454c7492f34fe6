#pragma once
// Game controllers (SDL GameController) as the station's XInput-style gamepads: up to four,
// polled every millisecond on their own thread, each change sent as one gamepad event;
// vibration from the station goes to the controller's rumble.
#include <SDL.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/Event.h"
#include "sov/protocol/Messages.h"
#include "sov/queue/BlockingQueue.h"
#include "zep/channels/ChannelContext.h"

namespace input {

constexpr int kMaxGamepads = 4;

// XInput button bits.
constexpr uint16_t kPadDpadUp = 0x0001, kPadDpadDown = 0x0002, kPadDpadLeft = 0x0004, kPadDpadRight = 0x0008;
constexpr uint16_t kPadStart = 0x0010, kPadBack = 0x0020, kPadLeftThumb = 0x0040, kPadRightThumb = 0x0080;
constexpr uint16_t kPadLeftShoulder = 0x0100, kPadRightShoulder = 0x0200;
constexpr uint16_t kPadA = 0x1000, kPadB = 0x2000, kPadX = 0x4000, kPadY = 0x8000;

// One controller's state as SDL reports it.
struct ControllerState {
  std::array<bool, SDL_CONTROLLER_BUTTON_MAX> buttons{};
  std::array<int16_t, SDL_CONTROLLER_AXIS_MAX> axes{};  // sticks: Y down positive; triggers 0..32767
};

// The gamepad event of controller `index`: button bits, triggers 0..255, sticks with Y up.
proto::HC_GAMEPAD_EVENT ToGamepadEvent(uint32_t index, const ControllerState& state);

// The open controllers, shared by the poller and the API receiver (vibration).
class GamepadHub : public IGamepadFeedback {
 public:
  GamepadHub() = default;
  ~GamepadHub() override;
  GamepadHub(const GamepadHub&) = delete;
  GamepadHub& operator=(const GamepadHub&) = delete;

  void Vibrate(uint32_t controller, uint16_t leftMotor, uint16_t rightMotor) override;
  // Off while the window is inactive: controllers read as released and do not rumble.
  void SetEnabled(bool enabled);
  // The session ends: every open controller's rumble is set to zero now, and later vibration
  // requests are ignored (the network threads live on until the process ends).
  void StopFeedback();

  // Opens controllers that appeared, up to four; true when at least one is open.
  bool Probe();
  // Reads every open controller (closing those unplugged) and calls send for each change.
  void Poll(const std::function<void(const proto::HC_GAMEPAD_EVENT&)>& send);

 private:
  struct Slot {
    SDL_GameController* controller = nullptr;
    SDL_JoystickID id = -1;
    std::optional<ControllerState> last;
    uint16_t left = 0, right = 0;  // the station's last vibration request
    uint64_t rumbleSetMs = 0;
  };
  void Rumble(Slot& slot);
  void Close(Slot& slot);

  std::mutex lock_;  // guards slots_, enabled_ and stopped_
  std::array<Slot, kMaxGamepads> slots_;
  bool enabled_ = true;
  bool stopped_ = false;  // StopFeedback was called: no rumble for good
};

using ControlQueue = BlockingQueue<HUMAN_CONTROL_EVENT_PACKET>;

// Initialises SDL's game controller support for a poller thread; false (logged) when unavailable.
bool InitGamepadSupport();
// The poller thread: until `stop`, a probe every 5 s (sleeping 5 s while no controller is
// connected) and otherwise a read of every controller each millisecond.
int XInputGrabberThreadProc(GamepadHub& hub, ControlQueue& queue, platform::Event& stop);

}  // namespace input
