#include "media_files.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace kalto::media::test {

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::map<std::string, std::string> Probe(const std::string& path) {
  std::map<std::string, std::string> values;
  std::istringstream lines(RunCommand("ffprobe -v error -show_streams -show_format -of flat '" + path + "'").output);
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    values[line.substr(0, eq)] = value;
  }
  return values;
}

void ExpectH264MainWithAac(const std::string& path, uint32_t width, uint32_t height, size_t frames,
                           const std::string& metadata) {
  auto p = Probe(path);
  ASSERT_FALSE(p.empty()) << "ffprobe could not read " << path;
  const std::map<std::string, std::string> expected = {
      {"streams.stream.0.codec_name", "h264"}, {"streams.stream.0.profile", "Main"},
      {"streams.stream.0.width", std::to_string(width)}, {"streams.stream.0.height", std::to_string(height)},
      {"streams.stream.0.nb_frames", std::to_string(frames)}, {"streams.stream.0.color_range", "tv"},
      {"streams.stream.0.color_space", "bt709"}, {"streams.stream.0.color_transfer", "bt709"},
      {"streams.stream.0.color_primaries", "bt709"}, {"streams.stream.1.codec_name", "aac"},
      {"streams.stream.1.sample_rate", "48000"}, {"streams.stream.1.channels", "2"},
      {"format.tags.encoded_by", metadata}, {"format.tags.encoding_settings", metadata}};
  for (const auto& [key, value] : expected) EXPECT_EQ(value, p[key]) << key;
}

std::vector<double> PacketTimes(const std::string& path, const char* streamType) {
  std::vector<double> times;
  std::istringstream lines(RunCommand(std::string("ffprobe -v error -select_streams ") + streamType +
                                      ":0 -show_entries packet=pts_time -of csv=p=0 '" + path + "'")
                               .output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line != "N/A") times.push_back(std::stod(line));
  }
  std::sort(times.begin(), times.end());
  return times;
}

std::vector<uint8_t> DecodeFrameNv12(const std::string& path, double seconds, uint32_t width, uint32_t height) {
  char command[1024];
  std::snprintf(command, sizeof command,
                "ffmpeg -v error -ss %.3f -i '%s' -frames:v 1 -f rawvideo -pix_fmt nv12 -", seconds, path.c_str());
  auto result = RunCommand(command);
  if (result.status != 0 || result.output.size() != size_t{width} * height * 3 / 2) return {};
  return std::vector<uint8_t>(result.output.begin(), result.output.end());
}

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/kalto_media_" + std::to_string(::getpid()) + "_" + name;
}

std::vector<uint8_t> ToneBlock(uint64_t firstFrame) {
  std::vector<uint8_t> bytes(1024 * 4);
  for (uint32_t i = 0; i < 1024; ++i) {
    const auto value = int16_t(std::lround(10000.0 * std::sin(2.0 * M_PI * 1000.0 * double(firstFrame + i) / 48000.0)));
    for (int c = 0; c < 2; ++c) {
      bytes[i * 4 + c * 2] = uint8_t(value & 0xFF);
      bytes[i * 4 + c * 2 + 1] = uint8_t((value >> 8) & 0xFF);
    }
  }
  return bytes;
}

}  // namespace kalto::media::test
