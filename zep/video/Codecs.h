#pragma once
// The codec index that frames, the runtime setting and the "Decoder" cell share, and the
// libavcodec decoders that serve each codec, best first.
#include <span>

namespace video {

constexpr int kCodecH264 = 0;
constexpr int kCodecHevc = 1;
constexpr int kCodecAv1 = 2;
constexpr int kCodecVp8 = 3;
constexpr int kCodecVp9 = 4;
constexpr int kCodecCount = 5;

// "H264", "HEVC", "AV01", "VP80", "VP90"; "?" outside the table.
const char* CodecName(int codec);
// Decoder names in order of preference; empty outside the table.
std::span<const char* const> DecoderPreference(int codec);

}  // namespace video
