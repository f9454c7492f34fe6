#include "zep/stats/StatsTable.h"

#include <algorithm>
#include <cstdio>

#include "platform/HPCWrapper.h"
#include "sov/base/Text.h"

namespace {

// Bytes of the first `maxChars` UTF-8 characters of `s`.
std::size_t PrefixBytes(std::string_view s, std::size_t maxChars) {
  std::size_t i = 0;
  for (std::size_t n = 0; n < maxChars && i < s.size(); ++n) text::DecodeUtf8(s, i);
  return i;
}

}  // namespace

void StatsTable::Store(int index, const StatValue& value) {
  if (!Valid(index)) return;
  // Read the clock outside the lock: the section stays a handful of stores.
  const int64_t now = HPCWrapper::NowMs();
  Cell& c = cells_[static_cast<std::size_t>(index)];
  std::lock_guard lock(c.lock);
  if (c.value == value) return;
  c.value = value;
  c.changedMs = now;
}

void StatsTable::SetInt(int index, int32_t value) {
  Store(index, StatValue{VT_INT, value});
}

void StatsTable::SetReal(int index, float value) {
  Store(index, StatValue{VT_R4, 0, value});
}

void StatsTable::SetUInt64(int index, uint64_t value) {
  Store(index, StatValue{VT_UI8, 0, 0, value});
}

void StatsTable::SetDecimals(int index, int decimals) {
  if (!Valid(index)) return;
  Cell& c = cells_[static_cast<std::size_t>(index)];
  std::lock_guard lock(c.lock);
  c.decimals = std::clamp(decimals, 0, kMaxDecimals);
}

void StatsTable::SetLabel(int index, std::string_view label) {
  if (!Valid(index)) return;
  std::string cut(label.substr(0, PrefixBytes(label, kMaxLabelChars)));
  std::lock_guard lock(textLock_);
  labels_[static_cast<std::size_t>(index)] = std::move(cut);
}

void StatsTable::SetGroup(int index, std::string_view group) {
  if (!Valid(index)) return;
  std::string copy(group);
  std::lock_guard lock(textLock_);
  groups_[static_cast<std::size_t>(index)] = std::move(copy);
}

StatValue StatsTable::Value(int index) const {
  if (!Valid(index)) return StatValue{VT_INT, -1};
  const Cell& c = cells_[static_cast<std::size_t>(index)];
  std::lock_guard lock(c.lock);
  return c.value;
}

StatRow StatsTable::Row(int index) const {
  StatRow row;
  if (!Valid(index)) {
    row.value = StatValue{VT_INT, -1};
    return row;
  }
  const auto i = static_cast<std::size_t>(index);
  {
    const Cell& c = cells_[i];
    std::lock_guard lock(c.lock);
    row.value = c.value;
    row.changedMs = c.changedMs;
    row.decimals = c.decimals;
  }
  std::lock_guard lock(textLock_);
  row.label = labels_[i];
  row.group = groups_[i];
  return row;
}

std::string StatsTable::Format(int index) const {
  if (!Valid(index)) return "-1";
  const Cell& c = cells_[static_cast<std::size_t>(index)];
  StatValue v;
  int decimals;
  {
    std::lock_guard lock(c.lock);
    v = c.value;
    decimals = c.decimals;
  }
  return Format(v, decimals);
}

std::string StatsTable::Format(const StatValue& value, int decimals) {
  char buf[64];
  switch (value.tag) {
    case VT_R4:
      std::snprintf(buf, sizeof buf, "%.*f", std::clamp(decimals, 0, kMaxDecimals),
                    static_cast<double>(value.r));
      break;
    case VT_UI8: {
      // Packed busy shares (seven bits each, share i in bits 7i..7i+6): each share's part of the
      // whole in percent, in order, up to the last one that is not zero, e.g. "10/30/0/0/60 %".
      std::size_t last = 0;
      for (std::size_t i = 0; i < 8; ++i)
        if ((value.u >> (7 * i)) & 0x7f) last = i;
      std::string shares;
      for (std::size_t i = 0; i <= last; ++i) {
        if (i > 0) shares += '/';
        shares += std::to_string((value.u >> (7 * i)) & 0x7f);
      }
      return shares + " %";
    }
    default:
      std::snprintf(buf, sizeof buf, "%d", static_cast<int>(value.i));
      break;
  }
  return buf;
}

void SetStandardLabels(StatsTable& table) {
  struct Text {
    const char* label;
    const char* group;  // null: the cell has no group
  };
  static constexpr std::array<Text, kStatCellCount> kTexts = {{
      {"Mouse shapes queued", "Control"},
      {"Mouse shapes obtained per second", "Control"},
      {"Frames queued before decoder", "Control"},
      {"Audio frames queued before decoder", "Audio decoder"},
      {"Audio frames obtained per second", "Audio decoder"},
      {"Audio frames queued before resampler", "Audio decoder"},
      {"Audio frames decoded per second", "Audio decoder"},
      {"Audio frames before player", "Audio decoder"},
      {"Audio frames resempled per second", "Audio decoder"},
      {"FPS (render)", "Vizualization"},
      {"FPS (server)", "Vizualization"},
      {"Render idle, %", "Vizualization"},
      {"Decoder idle, %", "Vizualization"},
      {"WndProc idle, %", "Vizualization"},
      {"Frames count", "Vizualization"},
      {"Render loop", "Vizualization"},
      {"Network latency", "General settings"},
      {"Full latency", "General settings"},
      {"Render frame drops", "General settings"},
      {"Decoder", "General settings"},
      {"Network jitter", "General settings"},
      {"Video mbps recv", nullptr},
      {"Audio mbps recv", nullptr},
  }};
  for (int i = 0; i < kStatCellCount; ++i) {
    const Text& t = kTexts[static_cast<std::size_t>(i)];
    table.SetLabel(i, t.label);
    if (t.group) table.SetGroup(i, t.group);
  }
  for (int i :
       {kStatNetworkLatency, kStatNetworkJitter, kStatFullLatency, kStatVideoMbpsRecv, kStatAudioMbpsRecv})
    table.SetDecimals(i, 2);
  for (int i : {kStatFpsRender, kStatFpsServer}) table.SetDecimals(i, 1);
}
