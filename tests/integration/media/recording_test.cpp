// A writer process killed without warning leaves a file (fragmented MP4) that plays up to about a
// second before the kill, and all of it decodes. (Finished files are checked by the encoder's
// file test, which writes through this writer.)
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <thread>

#include "common/steady_clock.h"
#include "media_files.h"

namespace kalto::media::test {
namespace {

constexpr int64_t kFrame30 = 333'333;
constexpr int64_t kAudioBlock = 213'333;  // 1024 frames at 48 kHz in 100 ns

int64_t AudioTime(uint64_t block) { return static_cast<int64_t>(block * 1024 * 10'000'000 / 48000); }

std::shared_ptr<Sample> MakeSample(const std::vector<uint8_t>& bytes, int64_t time, int64_t duration) {
  std::shared_ptr<MediaBuffer> buffer;
  CreateMemoryBuffer(static_cast<uint32_t>(bytes.size()), &buffer);
  uint8_t* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  std::copy(bytes.begin(), bytes.end(), data);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<uint32_t>(bytes.size()));
  auto sample = std::make_shared<Sample>();
  sample->AddBuffer(buffer);
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}

std::shared_ptr<MediaType> Type(const Guid& major, const Guid& subtype, std::vector<std::pair<Guid, uint32_t>> values) {
  auto type = std::make_shared<MediaType>();
  type->SetGUID(MF_MT_MAJOR_TYPE, major);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  for (const auto& [key, value] : values) type->SetUINT32(key, value);
  SetAttributeSize(type.get(), MF_MT_FRAME_SIZE, 640, 368);
  SetAttributeRatio(type.get(), MF_MT_FRAME_RATE, 30, 1);
  return type;
}

// 640x368 H.264 from NV12 (stream 0) and AAC from PCM (stream 1), writing; null on failure.
std::shared_ptr<SinkWriter> BeginRecording(const std::string& path) {
  std::shared_ptr<SinkWriter> writer;
  const std::vector<std::pair<Guid, uint32_t>> audio = {
      {MF_MT_AUDIO_NUM_CHANNELS, 2}, {MF_MT_AUDIO_SAMPLES_PER_SECOND, 48000}, {MF_MT_AUDIO_BITS_PER_SAMPLE, 16},
      {MF_MT_AUDIO_AVG_BYTES_PER_SECOND, 24000}, {MF_MT_AUDIO_BLOCK_ALIGNMENT, 4}};
  uint32_t video = 9, sound = 9;
  std::shared_ptr<CodecApi> codec;
  if (Failed(CreateSinkWriterFromUrl(std::wstring(path.begin(), path.end()), nullptr, &writer)) ||
      Failed(writer->AddStream(*Type(MFMediaType_Video, MFVideoFormat_H264, {{MF_MT_AVG_BITRATE, 2'000'000}}), &video)) ||
      Failed(writer->GetCodecApi(video, &codec)) || Failed(codec->SetValue(CODECAPI_AVEncCommonQualityVsSpeed, 0)) ||
      Failed(codec->SetValue(CODECAPI_AVEncMPVGOPSize, 30)) ||  // fragments end at key frames
      Failed(writer->SetInputMediaType(video, *Type(MFMediaType_Video, MFVideoFormat_NV12, {}), nullptr)) ||
      Failed(writer->AddStream(*Type(MFMediaType_Audio, MFAudioFormat_AAC, audio), &sound)) ||
      Failed(writer->SetInputMediaType(sound, *Type(MFMediaType_Audio, MFAudioFormat_PCM, audio), nullptr)) ||
      video != 0 || sound != 1 || Failed(writer->BeginWriting())) {
    return nullptr;
  }
  return writer;
}

TEST(CrashSafety, KilledWriterLeavesAFilePlayableToWithinASecondOfTheKill) {
  const std::string path = TempPath("killed.mp4");
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    if (Failed(MediaStartup())) ::_exit(2);
    auto writer = BeginRecording(path);
    if (!writer) ::_exit(3);
    const std::vector<uint8_t> grey(640 * 368 * 3 / 2, 128);
    const int64_t origin = SteadyNowNs();
    if (::write(ready[1], "R", 1) != 1) ::_exit(4);
    for (uint32_t frame = 0, block = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      const int64_t now = (SteadyNowNs() - origin) / 100;  // 100-ns units
      if (now >= int64_t{frame} * kFrame30 && ++frame) writer->WriteSample(0, *MakeSample(grey, now, kFrame30));
      for (; AudioTime(block) <= now; ++block) {
        writer->WriteSample(1, *MakeSample(ToneBlock(block * 1024), AudioTime(block), kAudioBlock));
      }
    }
  }
  ::close(ready[1]);
  pollfd waitReady{ready[0], POLLIN, 0};
  ASSERT_EQ(1, ::poll(&waitReady, 1, 30'000)) << "writer process did not start";
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  const int64_t started = SteadyNowNs();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ::kill(child, SIGKILL);
  const double killedAt = (SteadyNowNs() - started) / 1e9;
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ASSERT_TRUE(WIFSIGNALED(status));
  const auto video = PacketTimes(path, "v"), audio = PacketTimes(path, "a");
  ASSERT_FALSE(video.empty() || audio.empty());
  EXPECT_GE(video.back(), killedAt - 1.0);
  EXPECT_GE(audio.back(), killedAt - 1.0);
  const auto decode = RunCommand("ffmpeg -v error -xerror -i '" + path + "' -f null - 2>&1");
  EXPECT_EQ(0, decode.status) << decode.output;
  const auto frames = RunCommand("ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 '" +
                                 path + "'");
  EXPECT_GE(std::atoi(frames.output.c_str()), static_cast<int>((killedAt - 1.0) * 30 * 0.9));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace kalto::media::test
