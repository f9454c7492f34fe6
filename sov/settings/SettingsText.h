#pragma once
// English texts of the settings rows: title, hint and option labels in index
// order. The overlay shows the first `shown` labels of a list; the rest exist
// for indices the store accepts but the overlay does not offer.
#include <array>
#include <cstddef>

struct SettingText {
  const char* title;
  const char* hint;
};

namespace SettingsText {

inline constexpr SettingText kAudioBufferSize{
    "Audio buffer size",
    "A large buffer is suitable for unstable network connection. Small will provide low latency"};
inline constexpr SettingText kVerticalSync{
    "Vertical synchronization",
    "Enabling vertical sync will help you get rid of image tearing. Turning off will reduce delays"};
inline constexpr SettingText kPostProcessing{
    "Video postprocessing", "Additional processing of video stream frames to improve the picture"};
inline constexpr SettingText kNetworkUsage{
    "Network usage",
    "Video stream compression quality. Larger values mean improved quality and increased network load"};
inline constexpr SettingText kLimitBitrate{"Limit bitrate",
                                           "Don't set it to maximum. Increase the bitrate one point at a "
                                           "time and check if it\u2019s comfortable to play"};
inline constexpr SettingText kVideoCodec{
    "Video codec",
    "AV1 and H.265 need codec support on this computer. If they do not play, install it from your system's "
    "software store"};
inline constexpr SettingText kNetworkTransport{
    "Network transport",
    "The beta. Choose ultrafast green for minimal latency and noise-resistant yellow for poor networks"};
inline constexpr SettingText kVideoResolution{
    "Video resolution", "Set to 720p only if the network connection quality is very poor"};
inline constexpr SettingText kServerFps{
    "Server FPS",
    "The number of frames per second in the video stream that will be sent by "
    "the server. Higher value means more load and better quality"};
inline constexpr SettingText kPreserveAspectRatio{"Preserve aspect ratio",
                                                  "When turned on, the picture is displayed without "
                                                  "distortion of proportions but with black stripes on the "
                                                  "sides of the screen"};
inline constexpr SettingText kAllowGamepad{
    "Allow gamepad",
    "Use gamepad connected to the computer to control the game. Any xinput-compatible device is supported"};
inline constexpr SettingText kEnableMic{
    "Enable mic", "You can allow the use of a microphone on this computer for use in a game on the server"};
inline constexpr SettingText kEnableStreaming{
    "Enable streaming",
    "Broadcast your gameplay live to the service or to a video platform linked to your account"};

inline constexpr std::array<const char*, 3> kAudioBufferLabels{"1", "2", "3"};
inline constexpr std::array<const char*, 4> kNetworkUsageLabels{"min", "1", "2", "\u221e"};
inline constexpr std::array<const char*, 5> kBitrateLabels{"10", "20", "30", "40", "\u221e"};
inline constexpr std::array<const char*, 5> kCodecLabels{"h264", "h265", "av1", "vp8", "vp9"};
inline constexpr std::size_t kCodecLabelsShown = 3;
inline constexpr std::array<const char*, 2> kNetworkTransportLabels{"green", "yellow"};
inline constexpr std::array<const char*, 3> kVideoResolutionLabels{"720p", "1080p", "2160p"};
inline constexpr std::size_t kVideoResolutionLabelsShown = 2;
inline constexpr std::array<const char*, 9> kServerFpsLabels{"15", "30",  "45",  "60",    "75",
                                                             "90", "120", "144", "\u221e"};

}  // namespace SettingsText
