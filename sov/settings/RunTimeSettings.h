#pragma once
// The player's stream preferences: small indices into the option lists of the
// settings overlay, persisted per user in the settings store under
// "SOFTWARE\Ulmek\Zep\Runtime" (file $XDG_CONFIG_HOME/Ulmek/Zep/Runtime).
//
// Concurrency: every field is one 32-bit atomic. Writers (the UI thread's switch
// handlers, Load) store with exchange; readers on the control, draw, audio and
// input threads load relaxed and act on what they see. Nothing guards the
// object as a whole; Save reads the fields one by one.
#include <atomic>
#include <cstdint>

constexpr const char* kRunTimeSettingsKey = "SOFTWARE\\Ulmek\\Zep\\Runtime";

class CRunTimeSettings {
 public:
  // Defaults, then Load; a failing Load is logged and the defaults stay.
  CRunTimeSettings();
  virtual ~CRunTimeSettings() = default;
  CRunTimeSettings(const CRunTimeSettings&) = delete;
  CRunTimeSettings& operator=(const CRunTimeSettings&) = delete;

  // Reads every persisted value (and "NetworkTransportIndex", which is never
  // written); a value is taken only when it is a DWORD (or 4-byte binary) inside
  // its field's range. Missing, mistyped or out-of-range values keep the field.
  // A missing or damaged store is no error: defaults stay and a warning is logged.
  void Load();
  // Writes the twelve persisted values in one atomic update of the store.
  // Throws ErrCodeException (errno) and then writes nothing.
  void Save();

  static void Set(std::atomic<uint32_t>& field, uint32_t value) { field.exchange(value); }
  static uint32_t Get(const std::atomic<uint32_t>& field) { return field.load(std::memory_order_relaxed); }

  std::atomic<uint32_t> overlayVisible{0};            // not persisted
  std::atomic<uint32_t> audioBufferSizeIndex{1};      // "AudioBufferSizeIndex" 0..2
  std::atomic<uint32_t> vSyncIndex{0};                // "VSyncIndex" 0..1
  std::atomic<uint32_t> postProcessingIndex{0};       // "PostProcessingIndex" 0..1
  std::atomic<uint32_t> networkUsageIndex{0};         // "NetworkUsageIndex" 0..3
  std::atomic<uint32_t> networkBandwidthIndex{1};     // "NetworkBandwidthIndex" 0..4
  std::atomic<uint32_t> codecIndex{0};                // "CodecIndex" 0..4
  std::atomic<uint32_t> networkTransportIndex{0};     // "NetworkTransportIndex" 0..1, read only
  std::atomic<uint32_t> videoResolutionIndex{1};      // "VideoResolutionIndex" 0..2
  std::atomic<uint32_t> serverFpsIndex{3};            // "ServerFPSIndex" 0..8
  std::atomic<uint32_t> preserveAspectRatioIndex{0};  // "PreserveAspectRatioIndex" 0..1
  std::atomic<uint32_t> allowGamepadIndex{0};         // "AllowGamepadIndex" 0..1
  std::atomic<uint32_t> enableMicIndex{1};            // "EnableMicIndex" 0..1
  std::atomic<uint32_t> streamingEnabled{0};          // not persisted
  std::atomic<uint32_t> allowIncomingIndex{0};        // "AllowIncomingIndex" 0..1
  std::atomic<uint32_t> overlayBuildTime{0};          // low 32 bits of the monotonic ms clock, not persisted
  std::atomic<uint32_t> overlayBuildValue{0};         // set with the build time, not persisted
};

// One persisted field: its value name, member, largest valid index and default.
struct RunTimeSettingInfo {
  const char* valueName;
  std::atomic<uint32_t> CRunTimeSettings::*field;
  uint32_t maxIndex;
  uint32_t defaultIndex;
  bool saved;  // false only for "NetworkTransportIndex"
};

// The thirteen stored values in load order; Save writes those marked saved, in
// this order.
const RunTimeSettingInfo (&RunTimeSettingTable())[13];

// The process-wide instance, made (and loaded) on first use rather than at
// static initialisation, so that merely linking this library reads no files.
// The client calls it early in start-up, before its window exists.
CRunTimeSettings& RunTimeSettings();
