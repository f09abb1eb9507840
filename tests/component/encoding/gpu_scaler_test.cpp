#include "encoding/gpu_scaler.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "encoding_fixture.h"
#include "platform/gpu/software/video_processor.h"

namespace kalto::test {
namespace {

using gpu::software::FaultPoint;

constexpr uint32_t kBlack = Bgra(0, 0, 0), kWhite = Bgra(255, 255, 255);

using GpuScalerTest = EncodingTest;

// A smaller source reuses the scaler, a taller or wider one rebuilds it. Frames before the scaler
// exists or without a texture are refused quietly; a failed view or blit is logged and leaves
// the scaler ready.
TEST_F(GpuScalerTest, ReuseRebuildAndFailures) {
  auto scaler = std::make_unique<GpuScaler>(device, context, 30);
  auto frame = Solid(1280, 1024, kWhite);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));
  ASSERT_TRUE(scaler->EnsureScaler(1920, 1080, 1920, 1088));
  const auto output = scaler->Output();
  ASSERT_TRUE(scaler->EnsureScaler(1280, 1024, 1920, 1088));
  EXPECT_EQ(output, scaler->Output());
  // The reused scaler letterboxes by the frame's own aspect ratio: 5:4 fills 1360 columns at x = 280.
  ASSERT_TRUE(scaler->ScaleFrame(frame.get()));
  const auto out = ReadPixels(*scaler->Output());
  EXPECT_EQ((std::vector{kBlack, kWhite, kWhite, kBlack}), (std::vector{out[279], out[280], out[1639], out[1640]}));
  EXPECT_FALSE(scaler->ScaleFrame(nullptr));
  EXPECT_TRUE(debug.Lines().empty());
  Faults().Fail(FaultPoint::CreateVideoProcessorInputView, E_INVALIDARG, 1);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));
  Faults().Fail(FaultPoint::VideoProcessorBlt, DXGI_ERROR_DEVICE_REMOVED, 1);
  EXPECT_FALSE(scaler->ScaleFrame(frame.get()));
  EXPECT_EQ((std::vector<std::string>{"[Encoder] GPU Scaler: Failed to create input view\n",
                                      "[Encoder] GPU Scaler: VideoProcessorBlt failed: 0x887A0005\n"}), debug.Lines());
  EXPECT_TRUE(scaler->IsReady() && scaler->ScaleFrame(frame.get()));
  ASSERT_TRUE(scaler->EnsureScaler(2560, 1440, 1920, 1088));
  EXPECT_NE(output, scaler->Output());
  ASSERT_TRUE(scaler->EnsureScaler(2561, 100, 1920, 1088));
  EXPECT_EQ(3, Faults().Calls(FaultPoint::CreateVideoProcessor));
  // Each creation step's failure is logged, leaves nothing behind, and is tried again next time.
  const std::pair<FaultPoint, std::string> steps[] = {
      {FaultPoint::QueryVideoDevice, "get ID3D11VideoDevice"}, {FaultPoint::QueryVideoContext, "get ID3D11VideoContext"},
      {FaultPoint::CreateVideoProcessorEnumerator, "create enumerator"}, {FaultPoint::CreateVideoProcessor, "create processor"},
      {FaultPoint::CreateTexture, "create output texture"}, {FaultPoint::CreateVideoProcessorOutputView, "create output view"}};
  for (const auto& [point, step] : steps) {
    const std::string line = "[Encoder] GPU Scaler: Failed to " + step + ": 0x80004002\n";
    debug.Clear();
    Faults().Fail(point, E_NOINTERFACE);
    GpuScaler failing(device, context, 30);
    EXPECT_FALSE(failing.EnsureScaler(1920, 1080, 1920, 1088) || failing.EnsureScaler(1280, 720, 1920, 1088));
    EXPECT_EQ((std::vector<std::string>{line, line}), debug.Lines());
    EXPECT_FALSE(failing.IsReady() || failing.Output() || failing.ScaleFrame(frame.get())) << step;
    Faults().Clear(point);
    EXPECT_TRUE(failing.EnsureScaler(1280, 720, 1920, 1088) && failing.ScaleFrame(frame.get()));
  }
}

// A 1:1 letterbox copies every pixel as it is but opaque, swapping red and blue from an RGBA
// frame, over widths that are not a whole number of vector steps.
TEST_F(GpuScalerTest, OneToOneRowsKeepEveryPixelAndMakeItOpaque) {
  const auto pixel = [](uint32_t x, uint32_t y) { return (x * 37 + y * 11) << 24 | (x * 5) << 16 | y << 8 | (x ^ y); };
  for (const gpu::Format format : {gpu::Format::B8G8R8A8_UNORM, gpu::Format::R8G8B8A8_UNORM}) {
    for (const uint32_t width : {44u, 7u, 1u}) {
      SCOPED_TRACE(testing::Message() << "width " << width << (format == gpu::Format::B8G8R8A8_UNORM ? " BGRA" : " RGBA"));
      const uint32_t height = width % 2 ? width : width / 2;  // aspect ratios exact in floats
      GpuScaler scaler(device, context, 30);
      ASSERT_TRUE(scaler.EnsureScaler(width, height, width, height + 2));
      ASSERT_TRUE(scaler.ScaleFrame(Frame(width, height, pixel, format).get()));
      const auto out = ReadPixels(*scaler.Output());
      const uint32_t top = uint32_t(GpuScaler::LetterboxRect(width, height, width, height + 2).top);
      ASSERT_EQ(out.size(), size_t{width} * (height + 2));
      for (uint32_t y = 0; y < height + 2; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          const bool bar = y < top || y >= top + height;
          ASSERT_EQ(bar ? kBlack : pixel(x, y - top) | 0xFF000000u, out[y * width + x]) << x << "," << y;
        }
      }
    }
  }
}

// A frame over caller memory with rows set aside around it, which the caller keeps opaque, is
// letterboxed where it lies: the output (and a staging copy of it) read the caller's bytes, the
// bars are painted in the margins, and the caller learns the memory is still read until both let
// go. Without the promise, with another pitch, or with other bars wanted meanwhile, it is copied.
TEST_F(GpuScalerTest, AFrameOfCallerMemoryIsLetterboxedWhereItLies) {
  constexpr uint32_t kW = 64, kH = 40, kMargin = 8;
  const uint32_t pitch = gpu::software::TextureRowPitch(kW, gpu::Format::B8G8R8A8_UNORM);
  std::vector<uint8_t> memory(size_t{pitch} * (kH + 2 * kMargin), 0x5A);
  uint8_t* const picture = memory.data() + size_t{pitch} * kMargin;
  const auto pixel = [](uint32_t x, uint32_t y) { return 0xFF000000u | x << 16 | y << 8 | ((x * y) & 0xFF); };
  for (uint32_t y = 0; y < kH; ++y) {
    for (uint32_t x = 0; x < kW; ++x) {
      const uint32_t p = pixel(x, y);
      std::memcpy(picture + y * pitch + x * 4, &p, 4);
    }
  }
  const auto expectLetterbox = [&](gpu::Texture2D& out, uint32_t height) {
    const auto pixels = ReadPixels(out);
    const uint32_t top = (height - kH) / 2;
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < kW; ++x) {
        const bool bar = y < top || y >= top + kH;
        ASSERT_EQ(bar ? kBlack : pixel(x, y - top), pixels[y * kW + x]) << x << "," << y << " of " << height;
      }
    }
  };
  const auto inMemory = [&](gpu::Texture2D& t) {
    const uint8_t* p = gpu::PixelsOf(t).data;
    return p >= memory.data() && p < memory.data() + memory.size();
  };

  auto frame = gpu::software::CreateTextureOverMemory(*device, kW, kH, gpu::Format::B8G8R8A8_UNORM, picture, pitch,
                                                      nullptr, {kMargin, kMargin, true});
  GpuScaler scaler(device, context, 30);
  ASSERT_TRUE(scaler.EnsureScaler(kW, kH, kW, 48) && scaler.ScaleFrame(frame.get()));
  EXPECT_TRUE(inMemory(*scaler.Output()));
  expectLetterbox(*scaler.Output(), 48);
  EXPECT_TRUE(gpu::software::MemoryInUse(*frame));
  // The device will not write memory others read in place.
  const std::vector<uint8_t> white(size_t{kW} * kH * 4, 0xFF);
  context->UpdateSubresource(*frame, 0, nullptr, white.data(), kW * 4, 0);
  expectLetterbox(*scaler.Output(), 48);
  // A staging copy shares it; the memory stays in use until the copy lets go too.
  gpu::TextureDesc desc = scaler.Output()->GetDesc();
  desc.usage = gpu::Usage::Staging, desc.bindFlags = 0, desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  std::shared_ptr<gpu::Texture2D> staging;
  ASSERT_EQ(S_OK, device->CreateTexture2D(desc, nullptr, 0, &staging));
  context->CopyResource(*staging, *scaler.Output());
  EXPECT_TRUE(inMemory(*staging));
  // A second scaler wanting other bars copies; so does the first once the frame is not opaque.
  GpuScaler taller(device, context, 30);
  ASSERT_TRUE(taller.EnsureScaler(kW, kH, kW, 54) && taller.ScaleFrame(frame.get()));
  EXPECT_FALSE(inMemory(*taller.Output()));
  expectLetterbox(*taller.Output(), 54);
  auto plain = Frame(kW, kH, pixel);
  ASSERT_TRUE(scaler.ScaleFrame(plain.get()));
  EXPECT_FALSE(inMemory(*scaler.Output()));
  EXPECT_TRUE(gpu::software::MemoryInUse(*frame)) << "the staging copy still reads it";
  expectLetterbox(*staging, 48);
  context->CopyResource(*staging, *scaler.Output());
  EXPECT_FALSE(gpu::software::MemoryInUse(*frame));
  EXPECT_TRUE(std::all_of(memory.begin(), memory.begin() + pitch, [](uint8_t b) { return b == 0x5A; }))
      << "rows outside the bars untouched";
  for (const auto& [opaque, rowPitch] : {std::pair(false, pitch), std::pair(true, pitch + 64)}) {
    std::vector<uint8_t> copy(size_t{rowPitch} * (kH + 2 * kMargin));
    uint8_t* const rows = copy.data() + size_t{rowPitch} * kMargin;
    for (uint32_t y = 0; y < kH; ++y) std::memcpy(rows + y * rowPitch, picture + y * pitch, kW * 4);
    auto other = gpu::software::CreateTextureOverMemory(*device, kW, kH, gpu::Format::B8G8R8A8_UNORM, rows, rowPitch,
                                                        nullptr, {kMargin, kMargin, opaque});
    ASSERT_TRUE(scaler.ScaleFrame(other.get()));
    EXPECT_FALSE(gpu::software::MemoryInUse(*other)) << opaque << " " << rowPitch;
    expectLetterbox(*scaler.Output(), 48);
  }
}

// A scaled letterbox samples each channel bilinearly at c x (source / drawn size), weighted in
// single precision and truncated, from BGRA or RGBA frames alike.
TEST_F(GpuScalerTest, ScaledPixelsAreTheBilinearMixOfTheirFourNeighbours) {
  constexpr uint32_t kSw = 40, kSh = 30, kTw = 64, kTh = 40;
  const auto pixel = [](uint32_t x, uint32_t y) { return 0xFF000000u | (x * 6) << 16 | (y * 8) << 8 | ((x * y) & 0xFF); };
  const gpu::Rect drawn = GpuScaler::LetterboxRect(kSw, kSh, kTw, kTh);
  const float sx = float(kSw) / float(drawn.right - drawn.left), sy = float(kSh) / float(drawn.bottom - drawn.top);
  for (const gpu::Format format : {gpu::Format::B8G8R8A8_UNORM, gpu::Format::R8G8B8A8_UNORM}) {
    GpuScaler scaler(device, context, 30);
    ASSERT_TRUE(scaler.EnsureScaler(kSw, kSh, kTw, kTh) && scaler.ScaleFrame(Frame(kSw, kSh, pixel, format).get()));
    const auto out = ReadPixels(*scaler.Output());
    int wrong = 0;
    for (int32_t y = 0; y < int32_t(kTh); ++y) {
      for (int32_t x = 0; x < int32_t(kTw); ++x) {
        uint32_t want = kBlack;
        if (x >= drawn.left && x < drawn.right && y >= drawn.top && y < drawn.bottom) {
          const auto tx = gpu::software::video::TapFor(float(x - drawn.left) * sx, kSw);
          const auto ty = gpu::software::video::TapFor(float(y - drawn.top) * sy, kSh);
          want = 0xFF000000u;
          for (int shift = 0; shift < 24; shift += 8) {
            const auto c = [&](uint32_t px, uint32_t py) { return float((pixel(px, py) >> shift) & 0xFF); };
            const float f = tx.f, fy = ty.f;
            const float v = c(tx.x0, ty.x0) * (1 - f) * (1 - fy) + c(tx.x1, ty.x0) * f * (1 - fy) +
                            c(tx.x0, ty.x1) * (1 - f) * fy + c(tx.x1, ty.x1) * f * fy;
            want |= uint32_t(uint8_t(v)) << shift;
          }
        }
        wrong += out[size_t(y) * kTw + x] != want;
      }
    }
    EXPECT_EQ(0, wrong) << (format == gpu::Format::B8G8R8A8_UNORM ? "BGRA" : "RGBA");
  }
}

// The video processor underneath, for what the scaler leaves at its defaults: the whole source
// when no source rectangle is set, nothing outside the target rectangle, a destination wholly
// outside leaving only the background, a YCbCr background in the output's matrix, and another
// device's textures and enumerators refused.
TEST_F(GpuScalerTest, TheProcessorKeepsToItsTargetAndPaintsItsBackground) {
  std::shared_ptr<gpu::VideoDevice> video;
  std::shared_ptr<gpu::VideoContext> vc;
  ASSERT_EQ(S_OK, device->QueryVideoDevice(&video));
  ASSERT_EQ(S_OK, context->QueryVideoContext(&vc));
  gpu::VideoProcessorContentDesc content;
  content.inputWidth = content.inputHeight = 8;
  content.outputWidth = content.outputHeight = 16;
  std::shared_ptr<gpu::VideoProcessorEnumerator> enumerator;
  std::shared_ptr<gpu::VideoProcessor> processor;
  ASSERT_EQ(S_OK, video->CreateVideoProcessorEnumerator(content, &enumerator));
  ASSERT_EQ(S_OK, video->CreateVideoProcessor(enumerator, 0, &processor));
  const auto pixel = [](uint32_t x, uint32_t y) { return 0xFF000000u | (x * 30) << 16 | (y * 30) << 8 | 7; };
  auto source = Frame(8, 8, pixel);
  gpu::TextureDesc desc = source->GetDesc();
  desc.width = desc.height = 16;
  desc.bindFlags = gpu::BIND_RENDER_TARGET;
  std::shared_ptr<gpu::Texture2D> output;
  ASSERT_EQ(S_OK, device->CreateTexture2D(desc, nullptr, 0, &output));
  const std::vector<uint32_t> grey(16 * 16, Bgra(0x11, 0x11, 0x11));
  context->UpdateSubresource(*output, 0, nullptr, grey.data(), 16 * 4, 0);
  std::shared_ptr<gpu::VideoProcessorInputView> input;
  std::shared_ptr<gpu::VideoProcessorOutputView> view;
  ASSERT_EQ(S_OK, video->CreateVideoProcessorInputView(source, enumerator, &input));
  ASSERT_EQ(S_OK, video->CreateVideoProcessorOutputView(output, enumerator, &view));
  gpu::VideoProcessorStream stream;
  stream.enable = true;
  stream.inputSurface = input.get();
  const gpu::Rect target{4, 4, 12, 12};
  vc->VideoProcessorSetOutputTargetRect(*processor, true, &target);
  vc->VideoProcessorSetStreamDestRect(*processor, 0, true, &target);
  ASSERT_EQ(S_OK, vc->VideoProcessorBlt(*processor, *view, 0, 1, &stream));
  auto out = ReadPixels(*output);
  for (uint32_t y = 0; y < 16; ++y) {
    for (uint32_t x = 0; x < 16; ++x) {
      const bool inside = x >= 4 && x < 12 && y >= 4 && y < 12;
      ASSERT_EQ(inside ? pixel(x - 4, y - 4) : Bgra(0x11, 0x11, 0x11), out[y * 16 + x]) << x << "," << y;
    }
  }
  // Drawn wholly outside the target: the target is background only, here a BT.709 YCbCr colour.
  const gpu::Rect away{20, 20, 28, 28};
  vc->VideoProcessorSetStreamDestRect(*processor, 0, true, &away);
  gpu::VideoProcessorColorSpace space;
  space.ycbcrMatrix = 1;
  vc->VideoProcessorSetOutputColorSpace(*processor, space);
  vc->VideoProcessorSetOutputBackgroundColor(*processor, true, gpu::VideoColor{{0.5f, 0.5f, 0.75f, 1.0f}});
  ASSERT_EQ(S_OK, vc->VideoProcessorBlt(*processor, *view, 0, 1, &stream));
  out = ReadPixels(*output);
  // R = Y + 1.5748 (Cr - 0.5), G = Y - 0.4681 (Cr - 0.5), B = Y: 228, 98, 128.
  EXPECT_EQ(Bgra(228, 98, 128), out[8 * 16 + 8]);
  EXPECT_EQ(Bgra(0x11, 0x11, 0x11), out[0]);
  // A texture of another device has no view on this one.
  std::shared_ptr<gpu::Device> other;
  std::shared_ptr<gpu::DeviceContext> otherContext;
  ASSERT_EQ(S_OK, factory->CreateDevice(nullptr, gpu::DriverType::Hardware, 0, nullptr, 0, &other, &otherContext));
  std::shared_ptr<gpu::Texture2D> foreign;
  ASSERT_EQ(S_OK, other->CreateTexture2D(source->GetDesc(), nullptr, 0, &foreign));
  std::shared_ptr<gpu::VideoProcessorInputView> refused;
  EXPECT_EQ(E_INVALIDARG, video->CreateVideoProcessorInputView(foreign, enumerator, &refused));
  std::shared_ptr<gpu::VideoDevice> otherVideo;
  std::shared_ptr<gpu::VideoProcessorEnumerator> otherEnumerator;
  ASSERT_EQ(S_OK, other->QueryVideoDevice(&otherVideo));
  ASSERT_EQ(S_OK, otherVideo->CreateVideoProcessorEnumerator(content, &otherEnumerator));
  EXPECT_EQ(E_INVALIDARG, video->CreateVideoProcessor(otherEnumerator, 0, &processor));
}

}  // namespace
}  // namespace kalto::test
