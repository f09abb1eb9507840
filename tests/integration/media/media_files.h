#pragma once
// Writing synthetic recordings through the platform's sink writer and reading them back with the
// ffmpeg command-line tools.
#include <cstdint>
#include <map>
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

// 1024 frames of 16-bit stereo 1 kHz tone at 48 kHz, continuing from `firstFrame`.
std::vector<uint8_t> ToneBlock(uint64_t firstFrame);

}  // namespace kalto::media::test
