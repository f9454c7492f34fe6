#include "sov/settings/RunTimeSettings.h"

#include <exception>
#include <string_view>
#include <string>
#include <utility>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/settings/SettingsStore.h"
#include "sov/settings/SettingsText.h"

namespace {

using S = CRunTimeSettings;

// Load order; AllowIncomingIndex comes before EnableMicIndex in the store too.
constexpr RunTimeSettingInfo kTable[13] = {
    {"AudioBufferSizeIndex", &S::audioBufferSizeIndex, 2, 1, true},
    {"VSyncIndex", &S::vSyncIndex, 1, 0, true},
    {"PostProcessingIndex", &S::postProcessingIndex, 1, 0, true},
    {"NetworkUsageIndex", &S::networkUsageIndex, 3, 0, true},
    {"NetworkBandwidthIndex", &S::networkBandwidthIndex, 4, 1, true},
    {"CodecIndex", &S::codecIndex, 4, 0, true},
    {"NetworkTransportIndex", &S::networkTransportIndex, 1, 0, false},
    {"VideoResolutionIndex", &S::videoResolutionIndex, 2, 1, true},
    {"ServerFPSIndex", &S::serverFpsIndex, 8, 3, true},
    {"PreserveAspectRatioIndex", &S::preserveAspectRatioIndex, 1, 0, true},
    {"AllowGamepadIndex", &S::allowGamepadIndex, 1, 0, true},
    {"AllowIncomingIndex", &S::allowIncomingIndex, 1, 0, true},
    {"EnableMicIndex", &S::enableMicIndex, 1, 1, true},
};

constexpr uint32_t MaxIndexOf(std::string_view valueName) {
  for (const RunTimeSettingInfo& info : kTable)
    if (valueName == info.valueName) return info.maxIndex;
  return 0;
}

// The overlay shows a label for every index the store accepts.
using namespace SettingsText;
static_assert(kAudioBufferLabels.size() == MaxIndexOf("AudioBufferSizeIndex") + 1);
static_assert(kNetworkUsageLabels.size() == MaxIndexOf("NetworkUsageIndex") + 1);
static_assert(kBitrateLabels.size() == MaxIndexOf("NetworkBandwidthIndex") + 1);
static_assert(kCodecLabels.size() == MaxIndexOf("CodecIndex") + 1);
static_assert(kNetworkTransportLabels.size() == MaxIndexOf("NetworkTransportIndex") + 1);
static_assert(kVideoResolutionLabels.size() == MaxIndexOf("VideoResolutionIndex") + 1);
static_assert(kServerFpsLabels.size() == MaxIndexOf("ServerFPSIndex") + 1);

}  // namespace

const RunTimeSettingInfo (&RunTimeSettingTable())[13] {
  return kTable;
}

CRunTimeSettings::CRunTimeSettings() {
  try {
    Load();
  } catch (const std::exception& e) {
    // At static initialisation logging is usually not set up yet; the record
    // is then dropped and the defaults simply stay.
    LOGE_(this) << "CRunTimeSettings"
                << ": unhandled exception: " << e.what();
  }
}

void CRunTimeSettings::Load() {
  SettingsStore store(kRunTimeSettingsKey);
  try {
    store.Create();
  } catch (const ErrCodeException& e) {
    // A read-only or damaged settings folder must not keep the player from
    // playing: the stored values (if readable) or the defaults are used.
    LOGW_(this) << "Cannot open or create settings key " << kRunTimeSettingsKey << ": " << e.what();
  }
  const SettingsValues values = store.Load();
  for (const RunTimeSettingInfo& info : kTable) {
    std::optional<uint32_t> v = values.Dword(info.valueName);
    if (v && *v <= info.maxIndex) (this->*info.field).exchange(*v);
  }
}

void CRunTimeSettings::Save() {
  std::vector<std::pair<std::string, SettingsValue>> values;
  values.reserve(12);
  for (const RunTimeSettingInfo& info : kTable) {
    if (!info.saved) continue;
    values.emplace_back(info.valueName, SettingsValue::Dword(Get(this->*info.field)));
  }
  SettingsStore(kRunTimeSettingsKey).Write(values);
}

CRunTimeSettings& RunTimeSettings() {
  static CRunTimeSettings instance;
  return instance;
}
