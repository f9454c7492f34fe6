#pragma once
// The statistics table the overlay shows: 23 cells that producer threads set by index
// and the overlay and the statistics thread read. Every cell has its own spin lock, so
// a write is a few instructions without allocation and a read never waits on a thread
// that sleeps. Labels and group names change rarely and sit under one table lock.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "zep/stats/SpinLock.h"

// Cell indices. The names are the cells' meaning; the labels shown are set by the
// statistics thread at its start (SetStandardLabels).
enum StatCell : int {
  kStatMouseShapesQueued = 0,
  kStatMouseShapesPerSecond = 1,
  kStatFramesQueuedBeforeDecoder = 2,
  kStatAudioQueuedBeforeDecoder = 3,
  kStatAudioObtainedPerSecond = 4,
  kStatAudioQueuedBeforeResampler = 5,
  kStatAudioDecodedPerSecond = 6,
  kStatAudioBeforePlayer = 7,
  kStatAudioResampledPerSecond = 8,
  kStatFpsRender = 9,
  kStatFpsServer = 10,
  kStatRenderIdle = 11,
  kStatDecoderIdle = 12,
  kStatWndProcIdle = 13,
  kStatFramesCount = 14,
  kStatRenderLoop = 15,
  kStatNetworkLatency = 16,
  kStatFullLatency = 17,
  kStatRenderFrameDrops = 18,
  kStatDecoder = 19,
  kStatNetworkJitter = 20,
  kStatVideoMbpsRecv = 21,
  kStatAudioMbpsRecv = 22,
  kStatCellCount = 23,
};

// Value tags keep the numbers of the variant types they stand for.
enum StatValueTag : uint16_t {
  VT_R4 = 4,
  VT_UI8 = 21,  // the render loop's packed busy shares
  VT_INT = 22,
};

struct StatValue {
  StatValueTag tag = VT_INT;
  int32_t i = 0;   // VT_INT
  float r = 0;     // VT_R4
  uint64_t u = 0;  // VT_UI8

  bool operator==(const StatValue&) const = default;
};

// One row as the overlay draws it.
struct StatRow {
  std::string label;
  std::string group;
  StatValue value;
  int64_t changedMs = 0;  // HPCWrapper::NowMs() of the last change; 0 while never changed
  int decimals = 0;
};

class StatsTable {
 public:
  static constexpr int kSize = kStatCellCount;
  static constexpr std::size_t kMaxLabelChars = 25;
  static constexpr int kMaxDecimals = 9;

  int Size() const { return kSize; }

  // Setters ignore an index outside the table. A value that differs from the stored
  // one (in tag or number) records the time of the change.
  void SetInt(int index, int32_t value);
  void SetReal(int index, float value);
  void SetUInt64(int index, uint64_t value);
  // Clamped to 0..kMaxDecimals.
  void SetDecimals(int index, int decimals);
  // Cut to its first 25 characters (UTF-8 characters, never inside one).
  void SetLabel(int index, std::string_view label);
  void SetGroup(int index, std::string_view group);

  // A cell outside the table reads as VT_INT -1.
  StatValue Value(int index) const;
  StatRow Row(int index) const;

  // The number as shown: an integer in decimal digits, a real with the cell's decimals, packed
  // busy shares as their percentages ("10/30/0/0/60 %"); "-1" for a cell outside the table.
  std::string Format(int index) const;
  static std::string Format(const StatValue& value, int decimals);

 private:
  struct Cell {
    mutable stats::SpinLock lock;  // guards the fields below
    StatValue value;
    int64_t changedMs = 0;
    int decimals = 0;
  };

  static bool Valid(int index) { return index >= 0 && index < kSize; }
  void Store(int index, const StatValue& value);

  std::array<Cell, kSize> cells_;
  mutable std::mutex textLock_;  // guards labels_ and groups_
  std::array<std::string, kSize> labels_;
  std::array<std::string, kSize> groups_;
};

// Gives every cell its label, cells 0..20 their groups, and the real-valued cells
// their decimals (2 for latency, jitter and bandwidth, 1 for the frame rates).
void SetStandardLabels(StatsTable& table);
