// The cameras that need no hardware, driven through the device seam: the synthetic camera's
// sizes, pacing and picture, and file cameras over videos and pictures made here with ffmpeg.
#include <gmock/gmock.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "common/debug_output.h"
#include "common/native_path.h"
#include "common/steady_clock.h"
#include "platform/camera/linux/source_device.h"
#include "support/process.h"
#include "support/require.h"

namespace kalto::camera::linuxcam {
namespace {

using namespace std::chrono_literals;
using Pixels = std::vector<uint8_t>;
using Status = MediaFrameReaderStartStatus;

struct Frame { Pixels pixels; int64_t timeNs; int32_t width; };

// Every frame and ended call; stops the device from inside its `stopInside`th frame.
struct Collector {
  explicit Collector(SourceDevice& device, size_t stopInside = 0) : device(device), stopInside(stopInside) {}
  Status Start() {
    return device.Start(
        [this](std::shared_ptr<SoftwareBitmap> frame, int64_t timeNs) {
          EXPECT_EQ(frame->PixelFormat(), BitmapPixelFormat::Bgra8);
          EXPECT_EQ(frame->AlphaMode(), BitmapAlphaMode::Premultiplied);
          auto buffer = frame->LockBuffer(BitmapBufferAccessMode::Read);
          std::lock_guard lock(mutex);
          late += stopped ? 1 : 0;
          frames.push_back({Pixels(buffer->Data(), buffer->Data() + buffer->Capacity()), timeNs, frame->PixelWidth()});
          if (frames.size() == stopInside) device.Stop();
        },
        [this] { ++ended; });
  }
  size_t Count() { std::lock_guard lock(mutex); return frames.size(); }
  bool WaitFrames(size_t n) { return test::WaitFor([&] { return Count() >= n; }, 10s); }
  void Stop() { device.Stop(); std::lock_guard lock(mutex); stopped = true; }

  SourceDevice& device;
  const size_t stopInside;
  std::mutex mutex;
  std::vector<Frame> frames;
  bool stopped = false;
  int late = 0;  // frames after Stop returned
  std::atomic<int> ended{0};
};

// The bytes of a rectangle of a BGRA frame.
Pixels Region(const Frame& frame, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  Pixels out;
  const auto at = [&](int32_t x, int32_t y) { return frame.pixels.begin() + (y * frame.width + x) * 4; };
  for (int32_t y = y0; y < y1; ++y) out.insert(out.end(), at(x0, y), at(x1, y));
  return out;
}

auto InvalidArg() { return testing::Throws<PlatformError>(testing::Property(&PlatformError::code, E_INVALIDARG)); }

// --- Synthetic camera

struct SyntheticCase {
  uint32_t width, height, rate;
  friend void PrintTo(const SyntheticCase& c, std::ostream* os) { *os << c.width << "x" << c.height << "@" << c.rate; }
};

class SyntheticFormatTest : public testing::TestWithParam<SyntheticCase> {};

TEST_P(SyntheticFormatTest, DeliversOpaqueFramesOfTheSizeAtTheRate) {
  const auto [width, height, rate] = GetParam();
  auto device = MakeSyntheticDevice();
  device->SetFormat({width, height, "BGRA8", rate, 1});
  Collector sink(*device);
  const int64_t startNs = SteadyNowNs();
  ASSERT_EQ(sink.Start(), Status::Success);
  ASSERT_TRUE(test::WaitFor([&] { return SteadyNowNs() - startNs > 1'200'000'000; }, 5s));
  sink.Stop();
  // Frames of the first second by their own times: none bunched up, not far too few when loaded.
  int64_t inFirstSecond = 0, lastNs = startNs - 1;
  for (const Frame& frame : sink.frames) {
    EXPECT_EQ(frame.pixels.size(), size_t(width) * height * 4);
    EXPECT_GT(frame.timeNs, std::exchange(lastNs, frame.timeNs));
    inFirstSecond += frame.timeNs < sink.frames[0].timeNs + 1'000'000'000 ? 1 : 0;
    for (size_t p = 3; p < frame.pixels.size(); p += 4) ASSERT_EQ(frame.pixels[p], 255);
  }
  EXPECT_LE(inFirstSecond, int64_t(rate) + 1);
  EXPECT_GE(inFirstSecond, int64_t(rate) / 2);
  EXPECT_EQ(sink.ended, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SyntheticFormatTest,
                         testing::Values(SyntheticCase{320, 240, 15}, SyntheticCase{1280, 720, 30},
                                         SyntheticCase{101, 57, 10}, SyntheticCase{16, 16, 60}));

TEST(SyntheticCameraTest, CounterChangesAndFigureMovesOverAStillRoom) {
  auto device = MakeSyntheticDevice();
  const auto listed = device->SupportedFormats();
  ASSERT_EQ(listed.size(), 16u);  // four sizes at four rates
  EXPECT_EQ(listed[15], (VideoFormat{1920, 1080, "BGRA8", 60, 1}));
  EXPECT_NO_THROW(device->SetFormat({3840, 2160, "BGRA8", 120, 1}));  // the largest and fastest
  device->SetFormat({320, 240, "BGRA8", 60, 1});
  Collector sink(*device);
  ASSERT_EQ(sink.Start(), Status::Success);
  ASSERT_TRUE(sink.WaitFrames(20));
  EXPECT_THROW(device->SetFormat({640, 480, "BGRA8", 30, 1}), PlatformError);  // not while streaming
  sink.Stop();
  const Frame &first = sink.frames[0], &second = sink.frames[1], &later = sink.frames[19];
  EXPECT_NE(Region(first, 0, 0, 24, 16), Region(second, 0, 0, 24, 16));        // the counter
  EXPECT_EQ(Region(first, 20, 30, 60, 60), Region(later, 20, 30, 60, 60));      // the window
  EXPECT_NE(Region(first, 0, 200, 320, 240), Region(later, 0, 200, 320, 240));  // the shoulders
  EXPECT_EQ(sink.late, 0);
}

TEST(SyntheticCameraTest, StopsPromptlyFromOutsideAndFromItsOwnFrame) {
  auto device = MakeSyntheticDevice();
  device->SetFormat({64, 64, "BGRA8", 1, 1});
  Collector slow(*device);
  slow.Start();
  ASSERT_TRUE(slow.WaitFrames(1));
  const int64_t beforeNs = SteadyNowNs();
  slow.Stop();
  EXPECT_LT(SteadyNowNs() - beforeNs, 500'000'000);  // a frame interval is 1 s
  device->SetFormat({64, 64, "BGRA8", 60, 1});
  Collector inside(*device, 3);
  ASSERT_EQ(inside.Start(), Status::Success);
  // Stopped from its third frame, the stream ends without an ended call and can start again.
  Collector again(*device);
  EXPECT_TRUE(test::WaitFor([&] { return again.Start() == Status::Success; }, 5s));
  again.Stop();
  EXPECT_EQ(inside.Count(), 3u);
  EXPECT_EQ(inside.ended, 0);
}

struct Refusal {
  const char* name;
  VideoFormat format;
  friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }
};

class SyntheticRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(SyntheticRefusalTest, RefusesWithInvalidArgAndKeepsTheFormat) {
  auto device = MakeSyntheticDevice();
  EXPECT_THAT([&] { device->SetFormat(GetParam().format); }, InvalidArg());
  EXPECT_EQ(device->CurrentFormat(), (VideoFormat{640, 480, "BGRA8", 30, 1}));
}

INSTANTIATE_TEST_SUITE_P(Formats, SyntheticRefusalTest,
                         testing::Values(Refusal{"NarrowerThan16", {15, 240, "BGRA8", 30, 1}},
                                         Refusal{"LowerThan16", {320, 15, "BGRA8", 30, 1}},
                                         Refusal{"WiderThan3840", {3841, 2160, "BGRA8", 30, 1}},
                                         Refusal{"TallerThan2160", {3840, 2161, "BGRA8", 30, 1}},
                                         Refusal{"NoRate", {320, 240, "BGRA8", 0, 1}},
                                         Refusal{"Above120", {320, 240, "BGRA8", 241, 2}},
                                         Refusal{"ZeroDenominator", {320, 240, "BGRA8", 30, 0}},
                                         Refusal{"NotBgra", {320, 240, "NV12", 30, 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- File camera

class FileCameraTest : public testing::Test {
 protected:
  static void TearDownTestSuite() { std::filesystem::remove_all(s_dir); }
  void SetUp() override {
    KALTO_REQUIRE(test::OnPath("ffmpeg"), "ffmpeg is not installed");
    std::filesystem::create_directories(s_dir);
  }
  // A file of `pictures` 320x240 testsrc pictures at 10 fps.
  static std::filesystem::path Make(const std::string& name, int pictures) {
    const auto path = s_dir / name;
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=10 -frames:v " +
                                std::to_string(pictures) + " " + path.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }
  static std::wstring Id(const std::filesystem::path& path) { return L"file:" + WideFromNativePath(path.string()); }
  static inline const std::filesystem::path s_dir =
      std::filesystem::temp_directory_path() / ("kalto-filecam-" + std::to_string(getpid()));
};

struct FileCase {
  const char* name;
  int pictures;   // in the file
  uint32_t rate;  // the camera's
  friend void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }
};

class FileCameraPlayTest : public FileCameraTest, public testing::WithParamInterface<FileCase> {};

TEST_P(FileCameraPlayTest, PlaysAtItsRateAndLoopsToItsFirstPicture) {
  const auto [name, pictures, rate] = GetParam();
  const auto path = Make(name, pictures);
  auto device = MakeFileDevice(Id(path));
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->Name(), L"File " + Utf8ToWide(name));
  const VideoFormat native{320, 240, "BGRA8", rate, 1};
  EXPECT_EQ(device->SupportedFormats(), std::vector<VideoFormat>{native});
  EXPECT_NO_THROW(device->SetFormat(native));
  EXPECT_THAT([&] { device->SetFormat({320, 240, "BGRA8", rate + 1, 1}); }, InvalidArg());
  if (pictures == 1) std::filesystem::remove(path);  // a still is decoded once
  device->Open();
  Collector sink(*device);
  ASSERT_EQ(sink.Start(), Status::Success);
  ASSERT_TRUE(sink.WaitFrames(size_t(pictures) + 2));
  sink.Stop();
  EXPECT_NE(sink.frames[0].pixels, Pixels(320 * 240 * 4, 0));
  EXPECT_EQ(sink.frames[0].pixels, sink.frames[size_t(pictures)].pixels);  // the first picture again
  EXPECT_EQ(sink.frames[1].pixels, sink.frames[size_t(pictures) + 1].pixels);
  EXPECT_EQ(sink.frames[0].pixels == sink.frames[1].pixels, pictures == 1);
  // At its own rate, not as fast as it decodes.
  EXPECT_GT(sink.frames[size_t(pictures)].timeNs - sink.frames[0].timeNs, pictures * 900'000'000LL / rate);
  EXPECT_EQ(sink.ended, 0);
  device->Close();
  Collector again(*device);
  EXPECT_EQ(again.Start(), Status::Success);  // opens again; a still keeps its picture
  again.Stop();
}

INSTANTIATE_TEST_SUITE_P(Files, FileCameraPlayTest,
                         testing::Values(FileCase{"clip.mp4", 10, 10}, FileCase{"still.png", 1, 30}),
                         [](const auto& info) { return info.param.pictures == 1 ? "Still" : "Video"; });

TEST_F(FileCameraTest, NoCameraForWhatIsNotAReadableVideo) {
  std::ofstream(s_dir / "notes.txt") << "not a picture\n";
  for (const std::wstring& id : {Id(s_dir / "missing.mp4"), Id(s_dir / "notes.txt"), std::wstring(L"file:"),
                                 std::wstring(L"synthetic:"), L"FILE:" + WideFromNativePath((s_dir / "x").string()),
                                 std::wstring(L"/dev/null")}) {
    EXPECT_EQ(MakeFileDevice(id), nullptr) << WideToUtf8(id);
  }
}

class FileCameraLossTest : public FileCameraTest, public testing::WithParamInterface<bool> {};

TEST_P(FileCameraLossTest, StreamEndsOnceWhenTheFileGoes) {
  const auto path = Make("lost.mp4", 5);
  auto device = MakeFileDevice(Id(path));
  ASSERT_NE(device, nullptr);
  Collector sink(*device);
  ASSERT_EQ(sink.Start(), Status::Success);
  ASSERT_TRUE(sink.WaitFrames(1));
  GetParam() ? std::filesystem::resize_file(path, 0) : void(std::filesystem::remove(path));
  EXPECT_TRUE(test::WaitFor([&] { return sink.Start() == Status::DeviceNotAvailable; }, 5s));  // ended, and gone
  device->Stop();
  EXPECT_EQ(sink.ended, 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, FileCameraLossTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Truncated" : "Removed"; });

}  // namespace
}  // namespace kalto::camera::linuxcam
