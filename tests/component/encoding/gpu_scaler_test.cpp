#include "encoding/gpu_scaler.h"

#include "encoding_fixture.h"

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

}  // namespace
}  // namespace kalto::test
