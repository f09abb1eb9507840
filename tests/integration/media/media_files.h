#pragma once
// Writing synthetic recordings through the platform's sink writer and reading them back with the
// ffmpeg command-line tools.
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/media/media_foundation.h"

namespace kalto::media::test {

struct CommandResult {
  int status = -1;
  std::string output;  // stdout
};
CommandResult RunCommand(const std::string& command);

// ffprobe -show_streams -show_format -of flat: "streams.stream.0.codec_name" -> "h264".
std::map<std::string, std::string> Probe(const std::string& path);
// Expects H.264 Main of that size and frame count, BT.709 limited-range tags, 48 kHz stereo AAC,
// and `metadata` as both encoder tags.
void ExpectH264MainWithAac(const std::string& path, uint32_t width, uint32_t height, size_t frames,
                           const std::string& metadata);
// Presentation times (seconds) of every packet of the first stream of a type ("v" or "a"), sorted.
std::vector<double> PacketTimes(const std::string& path, const char* streamType);
// One decoded frame as NV12 bytes, taken at `seconds` with input seeking; empty on failure.
std::vector<uint8_t> DecodeFrameNv12(const std::string& path, double seconds, uint32_t width, uint32_t height);
std::string TempPath(const std::string& name);

// The encoder's test picture: a grey strip of 16 rows with a black bar at x = 8 * frame index modulo
// the width, so decoded frames tell which frame they are, then four quadrants (white, red, blue, grey).
struct Yuv {
  uint8_t y, u, v;
  friend std::ostream& operator<<(std::ostream& os, const Yuv& c) {
    return os << "(" << int(c.y) << ", " << int(c.u) << ", " << int(c.v) << ")";
  }
};
inline constexpr uint32_t kStrip = 16;
inline constexpr Yuv kRed{63, 102, 240};
inline constexpr Yuv kQuadrants[] = {{235, 128, 128}, kRed, {32, 240, 118}, {126, 128, 128}};
inline uint32_t BarX(uint32_t frameIndex, uint32_t width) { return (frameIndex * 8) % (width - 8); }
// Mean Y, U, V of the 8x8 block centred at (cx, cy) of an NV12 frame.
Yuv MeanAt(const std::vector<uint8_t>& nv12, uint32_t width, uint32_t height, uint32_t cx, uint32_t cy);
// Expects the bar of frame `index` and the four quadrant colours, within `tolerance`, in a picture
// of `height` rows.
void ExpectPicture(const std::vector<uint8_t>& nv12, uint32_t width, uint32_t height, uint32_t index, int tolerance);
bool Near(const Yuv& actual, const Yuv& expected, int tolerance);

// 1024 frames of 16-bit stereo 1 kHz tone at 48 kHz, continuing from `firstFrame`.
std::vector<uint8_t> ToneBlock(uint64_t firstFrame);
std::shared_ptr<Sample> MakeSample(const std::vector<uint8_t>& bytes, int64_t time, int64_t duration);

// A writer set up as the encoder sets it up: H.264 Main video from NV12 and AAC audio, codec
// settings, metadata, BeginWriting. The writer is null on failure.
struct OpenRecording {
  std::shared_ptr<SinkWriter> writer;
  uint32_t video = 0;
  uint32_t audio = 0;
};
inline constexpr const wchar_t* kMetadata = L"Kalto (0.0.3) - test encoder";
OpenRecording BeginRecording(const std::string& path, uint32_t width, uint32_t height);

}  // namespace kalto::media::test
