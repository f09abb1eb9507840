// What turning one 1280x720 webcam frame into the BGRA bitmap a camera reader delivers costs: the
// V4L2 camera's path (a new Bgra8 bitmap, libyuv's YUY2ToARGB or MJPGToARGB into it) against
// libswscale for YUYV and libavcodec's MJPEG decoder plus libswscale for MJPEG. The JPEG is 4:2:2,
// as webcams send it, of a textured picture so that decoding does real work.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "platform/camera/camera.h"

namespace {

using namespace kalto::camera;

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

std::vector<uint8_t> Yuyv() {
  std::vector<uint8_t> frame(size_t(kWidth) * kHeight * 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t((i * 2654435761u) >> 24 ^ (i / 2560) * 3);
  return frame;
}

std::vector<uint8_t> Jpeg() {
  std::vector<uint8_t> rgb(size_t(kWidth) * kHeight * 3);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &rgb[(size_t(y) * kWidth + x) * 3];
      const uint8_t noise = uint8_t((uint32_t(y * kWidth + x) * 2654435761u) >> 27);
      p[0] = uint8_t(x * 255 / kWidth + noise), p[1] = uint8_t(y * 255 / kHeight + noise);
      p[2] = uint8_t((x ^ y) + noise);
    }
  }
  tjhandle encoder = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  tjCompress2(encoder, rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &size, TJSAMP_422, 85, 0);
  std::vector<uint8_t> bytes(jpeg, jpeg + size);
  tjFree(jpeg);
  tjDestroy(encoder);
  return bytes;
}

void SetFrames(benchmark::State& state) {
  state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_YuyvToBgra_Libyuv(benchmark::State& state) {
  const auto yuyv = Yuyv();
  for (auto _ : state) {
    auto bitmap = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, kWidth, kHeight);
    auto buffer = bitmap->LockBuffer(BitmapBufferAccessMode::Write);
    libyuv::YUY2ToARGB(yuyv.data(), kWidth * 2, buffer->Data(), kWidth * 4, kWidth, kHeight);
    benchmark::DoNotOptimize(buffer->Data());
  }
  SetFrames(state);
}
BENCHMARK(BM_YuyvToBgra_Libyuv)->Unit(benchmark::kMillisecond);

void BM_YuyvToBgra_Swscale(benchmark::State& state) {
  const auto yuyv = Yuyv();
  SwsContext* sws = sws_getContext(kWidth, kHeight, AV_PIX_FMT_YUYV422, kWidth, kHeight, AV_PIX_FMT_BGRA,
                                   SWS_POINT, nullptr, nullptr, nullptr);
  std::vector<uint8_t> bgra(size_t(kWidth) * kHeight * 4);
  const uint8_t* src[] = {yuyv.data()};
  const int srcStride[] = {kWidth * 2};
  uint8_t* dst[] = {bgra.data()};
  const int dstStride[] = {kWidth * 4};
  for (auto _ : state) {
    sws_scale(sws, src, srcStride, 0, kHeight, dst, dstStride);
    benchmark::DoNotOptimize(bgra.data());
  }
  sws_freeContext(sws);
  SetFrames(state);
}
BENCHMARK(BM_YuyvToBgra_Swscale)->Unit(benchmark::kMillisecond);

void BM_MjpegToBgra_Libyuv(benchmark::State& state) {
  const auto jpeg = Jpeg();
  for (auto _ : state) {
    auto bitmap = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, kWidth, kHeight);
    auto buffer = bitmap->LockBuffer(BitmapBufferAccessMode::Write);
    if (libyuv::MJPGToARGB(jpeg.data(), jpeg.size(), buffer->Data(), kWidth * 4, kWidth, kHeight, kWidth, kHeight)) {
      return state.SkipWithError("libyuv cannot decode the JPEG");
    }
    benchmark::DoNotOptimize(buffer->Data());
  }
  SetFrames(state);
  state.counters["jpeg bytes"] = double(jpeg.size());
}
BENCHMARK(BM_MjpegToBgra_Libyuv)->Unit(benchmark::kMillisecond);

bool Decode(AVCodecContext* decoder, AVPacket* packet, AVFrame* frame, std::vector<uint8_t>& jpeg) {
  packet->data = jpeg.data();
  packet->size = int(jpeg.size() - AV_INPUT_BUFFER_PADDING_SIZE);
  return avcodec_send_packet(decoder, packet) >= 0 && avcodec_receive_frame(decoder, frame) >= 0;
}

void BM_MjpegToBgra_Libavcodec(benchmark::State& state) {
  av_log_set_level(AV_LOG_ERROR);  // swscale warns once that the decoder's yuvj formats are old
  auto jpeg = Jpeg();
  jpeg.resize(jpeg.size() + AV_INPUT_BUFFER_PADDING_SIZE);
  AVCodecContext* decoder = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_MJPEG));
  decoder->thread_count = 1;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::vector<uint8_t> bgra(size_t(kWidth) * kHeight * 4);
  uint8_t* dst[] = {bgra.data()};
  const int dstStride[] = {kWidth * 4};
  SwsContext* sws = nullptr;
  // One decode first, for the context: its format is the decoder's, known only then.
  if (avcodec_open2(decoder, nullptr, nullptr) < 0 || !Decode(decoder, packet, frame, jpeg)) {
    state.SkipWithError("libavcodec cannot decode the JPEG");
  } else {
    sws = sws_getContext(kWidth, kHeight, AVPixelFormat(frame->format), kWidth, kHeight, AV_PIX_FMT_BGRA, SWS_POINT,
                         nullptr, nullptr, nullptr);
  }
  for (auto _ : state) {
    if (!Decode(decoder, packet, frame, jpeg)) {
      state.SkipWithError("libavcodec cannot decode the JPEG");
      break;
    }
    sws_scale(sws, frame->data, frame->linesize, 0, kHeight, dst, dstStride);
    benchmark::DoNotOptimize(bgra.data());
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  SetFrames(state);
}
BENCHMARK(BM_MjpegToBgra_Libavcodec)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
