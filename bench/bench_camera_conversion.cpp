// What turning one 1280x720 webcam frame into the BGRA bitmap a camera reader delivers costs: the
// V4L2 camera's path (a new Bgra8 bitmap, libyuv's YUY2ToARGB, or libjpeg-turbo decoding straight
// into it) against libswscale for YUYV and libavcodec's MJPEG decoder plus libswscale for MJPEG.
// The JPEG is 4:2:2, as webcams send it, of a textured picture so that decoding does real work.
// libyuv's MJPGToARGB (the camera's earlier path), libjpeg-turbo's fast modes with their mean
// absolute difference from the accurate decode, and its decode to planes without colour
// conversion (the entropy decoding every path pays) are there for comparison.
#include <benchmark/benchmark.h>
#include <libyuv.h>
#include <turbojpeg.h>

#include <cstdlib>
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

// Mean absolute difference over the colour bytes of two BGRA pictures.
double MeanDifference(const std::vector<uint8_t>& a, const uint8_t* b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += i % 4 == 3 ? 0 : std::abs(int(a[i]) - int(b[i]));
  return sum / double(a.size() / 4 * 3);
}

// The argument is the TurboJPEG flags: 0 is the accurate decode the camera uses.
void BM_MjpegToBgra_Turbojpeg(benchmark::State& state) {
  const auto jpeg = Jpeg();
  const int flags = int(state.range(0));
  tjhandle decoder = tjInitDecompress();  // one per stream thread, as the camera keeps it
  for (auto _ : state) {
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decoder, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colorspace) != 0) {
      state.SkipWithError("libjpeg-turbo cannot read the JPEG's header");
      break;
    }
    auto bitmap = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, width, height);
    auto buffer = bitmap->LockBuffer(BitmapBufferAccessMode::Write);
    if (tjDecompress2(decoder, jpeg.data(), jpeg.size(), buffer->Data(), width, buffer->GetPlaneDescription(0).Stride,
                      height, TJPF_BGRA, flags) != 0) {
      state.SkipWithError("libjpeg-turbo cannot decode the JPEG");
      break;
    }
    benchmark::DoNotOptimize(buffer->Data());
  }
  std::vector<uint8_t> accurate(size_t(kWidth) * kHeight * 4), fast(accurate.size());
  tjDecompress2(decoder, jpeg.data(), jpeg.size(), accurate.data(), kWidth, kWidth * 4, kHeight, TJPF_BGRA, 0);
  tjDecompress2(decoder, jpeg.data(), jpeg.size(), fast.data(), kWidth, kWidth * 4, kHeight, TJPF_BGRA, flags);
  tjDestroy(decoder);
  SetFrames(state);
  state.counters["mean abs diff"] = MeanDifference(accurate, fast.data());
}
BENCHMARK(BM_MjpegToBgra_Turbojpeg)
    ->Unit(benchmark::kMillisecond)
    ->Arg(0)
    ->Arg(TJFLAG_FASTDCT)
    ->Arg(TJFLAG_FASTUPSAMPLE)
    ->Arg(TJFLAG_FASTUPSAMPLE | TJFLAG_FASTDCT);

void BM_MjpegToPlanes_Turbojpeg(benchmark::State& state) {
  const auto jpeg = Jpeg();
  tjhandle decoder = tjInitDecompress();
  std::vector<uint8_t> planes(tjBufSizeYUV2(kWidth, 1, kHeight, TJSAMP_422));
  for (auto _ : state) {
    if (tjDecompressToYUV2(decoder, jpeg.data(), jpeg.size(), planes.data(), kWidth, 1, kHeight, 0) != 0) {
      state.SkipWithError("libjpeg-turbo cannot decode the JPEG");
      break;
    }
    benchmark::DoNotOptimize(planes.data());
  }
  tjDestroy(decoder);
  SetFrames(state);
}
BENCHMARK(BM_MjpegToPlanes_Turbojpeg)->Unit(benchmark::kMillisecond);

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
