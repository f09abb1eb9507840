// SegmentationModel on the real ONNX Runtime and the software device: tiny networks whose mask is
// the red channel of their input (so the letterbox, the layout and the person channel show in the
// mask), unreadable and missing model files, and the converted network on a photograph.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "camera/segmentation_model.h"
#include "common/known_folders.h"
#include "platform/gpu/software/software_device.h"
#include "platform/inference/onnxruntime/onnx_runtime.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"
#include "support/require.h"

namespace kalto {
namespace {

namespace fs = std::filesystem;
using test::DebugCapture;

const fs::path kTestData = KALTO_EFFECTS_TEST_DATA;

// A folder searched as the executable's, holding `model` (if any) where the search finds it.
class ModelFolder {
 public:
  explicit ModelFolder(const fs::path& model) {
    fs::remove_all(m_root);
    fs::create_directories(m_root / "Assets/models");
    if (!model.empty()) fs::copy_file(model, m_root / "Assets/models/selfie_segmentation.onnx");
    m_previous = SetModuleFolderForTesting(m_root);
  }
  ~ModelFolder() {
    SetModuleFolderForTesting(m_previous);
    fs::remove_all(m_root);
  }

 private:
  fs::path m_root = fs::temp_directory_path() / ("kalto-segmentation-" + std::to_string(::getpid()));
  fs::path m_previous;
};

class SegmentationModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<inference::Environment> environment;
    const inference::Status s = runtime->CreateEnvironment("SegmentationModelTest", &environment);
    KALTO_REQUIRE(s.ok, "ONNX Runtime: " + s.message);
    ASSERT_EQ(factory->CreateDevice(nullptr, gpu::DriverType::Hardware, 0, nullptr, 0, &device, nullptr), S_OK);
  }

  // A BGRA frame of `pixel(x, y)` (0xAARRGGBB).
  template <typename Pixel>
  std::shared_ptr<gpu::Texture2D> Frame(uint32_t width, uint32_t height, Pixel pixel) {
    std::vector<uint32_t> pixels(size_t(width) * height);
    for (uint32_t y = 0; y < height; ++y)
      for (uint32_t x = 0; x < width; ++x) pixels[size_t(y) * width + x] = pixel(x, y);
    return Upload(width, height, pixels.data());
  }
  std::shared_ptr<gpu::Texture2D> Upload(uint32_t width, uint32_t height, const void* bgra) {
    gpu::TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = gpu::Format::B8G8R8A8_UNORM;
    desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
    std::shared_ptr<gpu::Texture2D> texture;
    EXPECT_EQ(device->CreateTexture2D(desc, bgra, width * 4, &texture), S_OK);
    return texture;
  }
  // The mask the model hands out for `frame`, one float per model pixel.
  std::vector<float> Mask(SegmentationModel& model, gpu::Texture2D& frame) {
    gpu::Texture2D* mask = nullptr;
    EXPECT_TRUE(model.RunInference(&frame, &mask));
    if (mask == nullptr) return {};
    const std::vector<uint8_t> bytes = test::ReadTextureBytes(*mask);
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
  }

  std::shared_ptr<inference::Runtime> runtime = inference::onnx::MakeOnnxRuntime();
  std::shared_ptr<gpu::software::SoftwareDeviceFactory> factory =
      std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<gpu::Device> device;
};

struct LetterboxCase {
  const char* model;
  uint32_t frameWidth, frameHeight;
  uint32_t modelWidth, modelHeight;
  bool channelsFirst;
};

class SegmentationLetterboxTest : public SegmentationModelTest, public ::testing::WithParamInterface<LetterboxCase> {};

// Every network here answers with the red it was given, so the mask shows the letterbox itself.
// Red alternates column by column and row by row (170 on odd columns plus 85 on odd rows): a
// bilinear sample at (sx, sy) is 170 L(sx) + 85 L(sy), L the parity blended by the fraction, and
// the bars are 0. Red read from the blue byte, the wrong plane of the two-channel output (1 in the
// bars), a wrong layout or a misplaced letterbox all change it.
TEST_P(SegmentationLetterboxTest, TheMaskIsTheRedOfTheBilinearLetterbox) {
  const LetterboxCase& c = GetParam();
  ModelFolder folder(kTestData / (std::string(c.model) + ".onnx"));
  SegmentationModel model(runtime);
  ASSERT_TRUE(model.Initialize(device));
  ASSERT_TRUE(model.IsReady());
  const uint32_t mw = model.InputWidth(), mh = model.InputHeight();
  EXPECT_EQ(mw, c.modelWidth);
  EXPECT_EQ(mh, c.modelHeight);
  EXPECT_EQ(model.ChannelsFirst(), c.channelsFirst);
  auto frame = Frame(c.frameWidth, c.frameHeight,
                     [](uint32_t x, uint32_t y) { return 0xFF000000u | (x % 2 * 170 + y % 2 * 85) << 16; });
  const std::vector<float> mask = Mask(model, *frame);
  ASSERT_EQ(mask.size(), size_t(mw) * mh);
  const float s = std::min(float(mw) / float(c.frameWidth), float(mh) / float(c.frameHeight));
  const float ox = (float(mw) - float(c.frameWidth) * s) / 2.0f, oy = (float(mh) - float(c.frameHeight) * s) / 2.0f;
  const auto parity = [](float t) {
    const float f = t - std::floor(t);
    return int(t) % 2 ? 1.0f - f : f;
  };
  int bars = 0;
  for (uint32_t y = 0; y < mh; ++y) {
    for (uint32_t x = 0; x < mw; ++x) {
      const float sx = (float(x) - ox) / s, sy = (float(y) - oy) / s;
      const bool inside = sx >= 0 && sx <= float(c.frameWidth - 1) && sy >= 0 && sy <= float(c.frameHeight - 1);
      bars += !inside;
      // Truncated to a byte; a sum a rounding error away from a whole number may land either side.
      const float raw = inside ? 170 * parity(sx) + 85 * parity(sy) : 0.0f;
      const bool edge = inside && std::abs(raw - std::round(raw)) < 1e-3f;
      ASSERT_NEAR(mask[size_t(y) * mw + x] * 255.0f, edge ? std::round(raw) : std::floor(raw), edge ? 1.01f : 0.01f)
          << "at " << x << "," << y;
    }
  }
  EXPECT_EQ(bars > 0, c.frameWidth * mh != c.frameHeight * mw);
}

INSTANTIATE_TEST_SUITE_P(
    Models, SegmentationLetterboxTest,
    ::testing::Values(LetterboxCase{"dynamic_nchw", 640, 480, 512, 512, true},  // rows 0..63 and 448..511 black
                      LetterboxCase{"dynamic_nchw", 300, 600, 512, 512, true},  // columns 0..127 and 384..511
                      LetterboxCase{"nhwc", 640, 480, 256, 256, false},         // rows 0..31 and 224..255
                      LetterboxCase{"nhwc", 256, 256, 256, 256, false},         // copied, not resampled
                      LetterboxCase{"two_channel", 640, 480, 256, 256, true}),
    [](const auto& info) { return std::string(info.param.model) + "_" + std::to_string(info.param.frameWidth); });

struct FailureCase {
  const char* name;
  const char* model;  // in the test data; empty: no file at all
  std::vector<std::string> lines;
  bool firstIsPrefix;  // the first line carries the runtime's own text after it
};

class SegmentationFailureTest : public SegmentationModelTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(SegmentationFailureTest, LoadingFailsWithItsLinesAndInitializeDisablesTheEffects) {
  const FailureCase& c = GetParam();
  ModelFolder folder(*c.model ? kTestData / c.model : fs::path());
  SegmentationModel model(runtime);
  {
    DebugCapture capture;
    EXPECT_FALSE(model.LoadModel());
    EXPECT_FALSE(model.IsSessionValid());
    const std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i == 0 && c.firstIsPrefix) {
        EXPECT_TRUE(lines[0].starts_with(c.lines[0]) && lines[0].size() > c.lines[0].size() + 1) << lines[0];
      } else {
        EXPECT_EQ(lines[i], c.lines[i]);
      }
    }
  }
  DebugCapture capture;
  EXPECT_FALSE(model.Initialize(device));
  EXPECT_FALSE(model.IsReady());
  EXPECT_FALSE(model.UsesDirectML());
  ASSERT_EQ(capture.Lines().size(), c.lines.size() + 1);
  EXPECT_EQ(capture.Lines().back(), "[SegmentationModel] ONNX model not available - ML effects disabled\n");
}

INSTANTIATE_TEST_SUITE_P(
    Files, SegmentationFailureTest,
    ::testing::Values(
        FailureCase{"Corrupt",
                    "corrupt.onnx",
                    {"[SegmentationModel] ONNX error: ",
                     "[SegmentationModel] ERROR: This usually means the model file is invalid or corrupted.\n",
                     "[SegmentationModel] NOTE: TFLite files renamed to .onnx will NOT work - you need a proper ONNX "
                     "model.\n",
                     "[SegmentationModel] Convert TFLite to ONNX using tf2onnx, or download a pre-converted ONNX "
                     "model.\n"},
                    true},
        FailureCase{"Missing",
                    "",
                    {"[SegmentationModel] Model file not found in any search path\n",
                     "[SegmentationModel] To enable ML effects, download selfie_segmentation.onnx\n",
                     "[SegmentationModel] from MediaPipe and place in Assets/models/ folder\n"},
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

// The converted network on a 512x512 photograph of a person: the mask (256x256) covers her face
// and torso and leaves the background beside her empty.
TEST_F(SegmentationModelTest, TheRealNetworkFindsThePersonInAPhotograph) {
  const fs::path network = KALTO_SEGMENTATION_ONNX, photo = kTestData / "astronaut.bgra";
  KALTO_REQUIRE(fs::exists(network), network.string() + " (the converted network)");
  KALTO_REQUIRE(fs::exists(photo), photo.string() + " (the photograph as BGRA; needs ffmpeg at build time)");
  std::ifstream in(photo, std::ios::binary);
  const std::vector<char> bgra{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_EQ(bgra.size(), 512u * 512u * 4u);

  ModelFolder folder(network);
  SegmentationModel model(runtime);
  ASSERT_TRUE(model.Initialize(device));
  ASSERT_EQ(model.InputWidth(), 256u);
  ASSERT_FALSE(model.ChannelsFirst());
  const std::vector<float> mask = Mask(model, *Upload(512, 512, bgra.data()));
  ASSERT_EQ(mask.size(), 256u * 256u);
  struct Box {
    const char* name;
    int x0, x1, y0, y1;
    float min, max;
  };
  for (const Box& b : {Box{"face", 85, 140, 20, 90, 0.8f, 1.0f}, Box{"torso", 40, 150, 100, 220, 0.8f, 1.0f},
                       Box{"top-left corner", 0, 32, 0, 32, 0.0f, 0.05f},
                       Box{"top-right corner", 224, 256, 0, 32, 0.0f, 0.05f},
                       Box{"shuttle", 185, 235, 0, 130, 0.0f, 0.05f}}) {
    double sum = 0;
    for (int y = b.y0; y < b.y1; ++y)
      for (int x = b.x0; x < b.x1; ++x) sum += mask[size_t(y) * 256 + x];
    const double mean = sum / ((b.x1 - b.x0) * (b.y1 - b.y0));
    EXPECT_GE(mean, b.min) << b.name;
    EXPECT_LE(mean, b.max) << b.name;
  }
}

}  // namespace
}  // namespace kalto
