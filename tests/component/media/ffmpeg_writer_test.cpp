// The FFmpeg sink writer: call order, refusals and bounded queues, read back from the file, and the
// input subtypes' pixel formats. (The encoder list, x264's types, codec settings and metadata are
// exercised by the encoder's file test and the killed-writer test.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/media/ffmpeg/ffmpeg_codecs.h"
#include "platform/media/ffmpeg/ffmpeg_sink_writer.h"
#include "platform/media/media_foundation.h"

namespace kalto::media {
namespace {

constexpr uint32_t kW = 64, kH = 48;
constexpr size_t kFrameBytes = kW * kH * 3 / 2;

std::shared_ptr<MediaType> VideoType(const Guid& subtype, uint32_t w = kW, uint32_t profile = eAVEncH264VProfile_Main) {
  auto type = std::make_shared<MediaType>();
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  SetAttributeSize(type.get(), MF_MT_FRAME_SIZE, w, kH);
  SetAttributeRatio(type.get(), MF_MT_FRAME_RATE, 30, 1);
  if (subtype == MFVideoFormat_H264) type->SetUINT32(MF_MT_AVG_BITRATE, 500'000);
  if (subtype == MFVideoFormat_H264) type->SetUINT32(MF_MT_MPEG2_PROFILE, profile);
  return type;
}
std::shared_ptr<MediaType> AudioType(const Guid& subtype, uint32_t bytesPerSecond = 24000, uint32_t rate = 48000) {
  auto type = std::make_shared<MediaType>();
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
  type->SetGUID(MF_MT_SUBTYPE, subtype);
  type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, 2);
  type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
  type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
  type->SetUINT32(subtype == MFAudioFormat_PCM ? MF_MT_AUDIO_BLOCK_ALIGNMENT : MF_MT_AUDIO_AVG_BYTES_PER_SECOND,
                  subtype == MFAudioFormat_PCM ? 4 : bytesPerSecond);
  return type;
}
std::shared_ptr<Sample> SampleOf(size_t bytes, int64_t time, int64_t duration, uint8_t fill = 128) {
  std::shared_ptr<MediaBuffer> buffer;
  CreateMemoryBuffer(static_cast<uint32_t>(bytes), &buffer);
  uint8_t* data = nullptr;
  buffer->Lock(&data, nullptr, nullptr);
  std::fill(data, data + bytes, fill);
  buffer->Unlock();
  buffer->SetCurrentLength(static_cast<uint32_t>(bytes));
  auto sample = std::make_shared<Sample>();
  sample->AddBuffer(buffer);
  sample->SetSampleTime(time);
  sample->SetSampleDuration(duration);
  return sample;
}
// Video frame i at 30 fps and audio block i of 1024 stereo 16-bit samples.
std::shared_ptr<Sample> Frame(int i) { return SampleOf(kFrameBytes, i * 333333, 333333, uint8_t(i * 5)); }
std::shared_ptr<Sample> Block(int i) { return SampleOf(4096, int64_t{i} * 1024 * 10'000'000 / 48000, 213333, 0); }

// Video and audio packets in a finished file, read back with libavformat.
std::pair<int, int> ReadBack(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return {-1, -1};
  ffmpeg::InputFormatPtr in(raw);
  std::pair<int, int> out{0, 0};
  for (ffmpeg::PacketPtr packet = ffmpeg::MakePacket(); av_read_frame(in.get(), packet.get()) >= 0;) {
    (in->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? out.first : out.second)++;
    av_packet_unref(packet.get());
  }
  return out;
}

class FfmpegWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMediaPlatform(nullptr);
    ASSERT_EQ(S_OK, scope.result());
    path = "/tmp/kalto_writer_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".mp4";
  }
  void TearDown() override { std::remove(path.c_str()); }

  std::shared_ptr<ffmpeg::FfmpegSinkWriter> Create(uint32_t queueFrames = 0) {
    std::shared_ptr<Attributes> attributes;
    CreateAttributes(&attributes);
    if (queueFrames != 0) attributes->SetUINT32(KALTO_SINK_WRITER_VIDEO_QUEUE_FRAMES, queueFrames);
    std::shared_ptr<SinkWriter> writer;
    EXPECT_EQ(S_OK, CreateSinkWriterFromUrl(std::wstring(path.begin(), path.end()), attributes.get(), &writer));
    return std::dynamic_pointer_cast<ffmpeg::FfmpegSinkWriter>(writer);
  }
  // Video (stream 0) and audio (stream 1), writing.
  std::shared_ptr<ffmpeg::FfmpegSinkWriter> Begin(uint32_t queueFrames = 0) {
    auto writer = Create(queueFrames);
    uint32_t v = 9, a = 9;
    EXPECT_EQ(S_OK, writer->AddStream(*VideoType(MFVideoFormat_H264), &v));
    EXPECT_EQ(S_OK, writer->SetInputMediaType(v, *VideoType(MFVideoFormat_NV12), nullptr));
    EXPECT_EQ(S_OK, writer->AddStream(*AudioType(MFAudioFormat_AAC), &a));
    EXPECT_EQ(S_OK, writer->SetInputMediaType(a, *AudioType(MFAudioFormat_PCM), nullptr));
    EXPECT_EQ(std::pair(0u, 1u), std::pair(v, a));
    EXPECT_EQ(S_OK, writer->BeginWriting());
    return writer;
  }

  MediaPlatformScope scope;
  std::string path;
};

TEST(FfmpegMapping, InputSubtypesToPixelFormats) {
  const std::pair<Guid, AVPixelFormat> cases[] = {
      {MFVideoFormat_NV12, AV_PIX_FMT_NV12},    {MFVideoFormat_IYUV, AV_PIX_FMT_YUV420P},
      {MFVideoFormat_YV12, AV_PIX_FMT_YUV420P}, {MFVideoFormat_YUY2, AV_PIX_FMT_YUYV422},
      {MFVideoFormat_RGB32, AV_PIX_FMT_BGR0},   {MFVideoFormat_ARGB32, AV_PIX_FMT_BGRA},
      {MFVideoFormat_H264, AV_PIX_FMT_NONE}};
  for (const auto& [subtype, format] : cases) EXPECT_EQ(format, ffmpeg::PixelFormatOf(subtype)) << SubtypeName(subtype);
}

TEST_F(FfmpegWriter, FullVideoQueueRefusesFramesButNeverAudioAndFinalizeDrainsIt) {
  auto writer = Begin(4);
  writer->HoldEncodingForTesting(true);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(S_OK, writer->WriteSample(0, *Frame(i))) << i;
  EXPECT_EQ(MF_E_NOTACCEPTING, writer->WriteSample(0, *Frame(4)));
  int audio = 0;
  for (int i = 0; i < int(kAudioQueueBlocks) + 5; ++i) audio += writer->WriteSample(1, *Block(i)) == S_OK;
  EXPECT_EQ(int(kAudioQueueBlocks), audio);
  EXPECT_EQ(S_OK, writer->Finalize());  // even while held
  const auto [video, packets] = ReadBack(path);
  EXPECT_EQ(4, video);
  EXPECT_GE(packets, int(kAudioQueueBlocks));  // plus the encoder's priming frame
  // Destroyed without Finalize, a writer neither hangs nor leaks (sanitizer builds check the latter).
  writer = Begin();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(S_OK, writer->WriteSample(0, *Frame(i)));
  writer.reset();
}

// A read-only picture stays where it is until it has been encoded; a writable one is copied at
// once, so its owner may fill it again. A locked-out read-only buffer cannot be written at all.
TEST_F(FfmpegWriter, AReadOnlyPictureIsReferencedUntilEncodedAndAWritableOneIsCopied) {
  auto writer = Begin();
  writer->HoldEncodingForTesting(true);
  auto kept = Frame(0), copied = Frame(1), twoBuffers = Frame(2);
  std::shared_ptr<MediaBuffer> keptBuffer, copiedBuffer;
  kept->GetBufferByIndex(0, &keptBuffer);
  copied->GetBufferByIndex(0, &copiedBuffer);
  keptBuffer->SetReadOnly();
  uint8_t* bytes = nullptr;
  EXPECT_EQ(MF_E_INVALIDREQUEST, keptBuffer->Lock(&bytes, nullptr, nullptr));
  std::shared_ptr<MediaBuffer> extra;
  CreateMemoryBuffer(16, &extra);
  extra->SetCurrentLength(16);
  extra->SetReadOnly();
  twoBuffers->AddBuffer(extra);  // only a sample of one buffer is taken as it is
  for (const auto& sample : {kept, copied, twoBuffers}) ASSERT_EQ(S_OK, writer->WriteSample(0, *sample));
  kept.reset(), copied.reset(), twoBuffers.reset();
  EXPECT_EQ(2, keptBuffer.use_count()) << "queued by reference";
  EXPECT_EQ(1, copiedBuffer.use_count());
  EXPECT_EQ(1, extra.use_count());
  writer->HoldEncodingForTesting(false);
  EXPECT_EQ(S_OK, writer->Finalize());
  EXPECT_EQ(1, keptBuffer.use_count()) << "released once encoded";
  EXPECT_EQ(3, ReadBack(path).first);
}

TEST_F(FfmpegWriter, OrderOfCallsBadTypesAndBadSamplesAreRefused) {
  std::shared_ptr<SinkWriter> other;
  EXPECT_EQ(MF_E_UNSUPPORTED_BYTESTREAM_TYPE, CreateSinkWriterFromUrl(L"/tmp/x.avi", nullptr, &other));
  EXPECT_EQ(HrFromWin32(3), CreateSinkWriterFromUrl(L"/nonexistent-dir/x.mp4", nullptr, &other));
  auto writer = Create();
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->BeginWriting()) << "no streams";
  uint32_t v = 0;
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, writer->AddStream(*AudioType(MFAudioFormat_AAC, 32000), &v)) << "256 kb/s AAC";
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, writer->AddStream(*VideoType(MFVideoFormat_H264, kW, 88), &v)) << "extended profile";
  ASSERT_EQ(S_OK, writer->AddStream(*VideoType(MFVideoFormat_H264), &v));
  EXPECT_EQ(MF_E_INVALIDMEDIATYPE, writer->SetInputMediaType(v, *VideoType(MFVideoFormat_NV12, kW * 2), nullptr));
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->BeginWriting()) << "no input type";
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->WriteSample(v, *Frame(0)));
  EXPECT_EQ(MF_E_INVALIDSTREAMNUMBER, writer->SetInputMediaType(5, *VideoType(MFVideoFormat_NV12), nullptr));
  ASSERT_EQ(S_OK, writer->SetInputMediaType(v, *VideoType(MFVideoFormat_NV12), nullptr));
  ASSERT_EQ(S_OK, writer->BeginWriting());
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->AddStream(*AudioType(MFAudioFormat_AAC), &v));
  EXPECT_EQ(E_INVALIDARG, writer->WriteSample(0, *SampleOf(kFrameBytes - 1, 0, 333333))) << "short frame";
  EXPECT_EQ(MF_E_INVALIDSTREAMNUMBER, writer->WriteSample(1, *SampleOf(4096, 0, 213333)));
  EXPECT_EQ(MF_E_NO_SAMPLE_TIMESTAMP, writer->WriteSample(0, Sample()));
  EXPECT_EQ(E_INVALIDARG, writer->WriteSample(0, *SampleOf(kFrameBytes, -1, 333333)));
  ASSERT_EQ(S_OK, writer->WriteSample(0, *SampleOf(kFrameBytes, 1000, 333333)));
  EXPECT_EQ(E_INVALIDARG, writer->WriteSample(0, *SampleOf(kFrameBytes, 1000, 333333))) << "time must move forward";
  EXPECT_EQ(S_OK, writer->WriteSample(0, *SampleOf(kFrameBytes, 1001, 333333)));
  EXPECT_EQ(S_OK, writer->Finalize());
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->Finalize());
  EXPECT_EQ(MF_E_INVALIDREQUEST, writer->WriteSample(0, *Frame(9)));
  EXPECT_EQ(2, ReadBack(path).first);
}

}  // namespace
}  // namespace kalto::media
