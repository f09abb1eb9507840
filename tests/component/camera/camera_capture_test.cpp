// CameraCapture on the scripted camera system and the software graphics device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "camera/camera_capture.h"
#include "common/steady_clock.h"
#include "platform/camera/fake/fake_camera.h"
#include "platform/gpu/software/software_device.h"
#include "support/debug_capture.h"
#include "support/gpu_readback.h"
#include "support/process.h"

namespace kalto {
namespace {

using camera::FakeCameraFault;
using camera::FakeCameraFrame;
using camera::FakeCameraPoint;
using namespace std::chrono_literals;

camera::FakeCameraInfo Camera(std::wstring id, camera::MediaFrameSourceKind kind = camera::MediaFrameSourceKind::Color) {
  camera::FakeCameraInfo info;
  info.id = std::move(id);
  info.name = L"Camera";
  info.kind = kind;
  return info;
}

struct Delivered {
  std::mutex mutex;
  int frames = 0;
  uint32_t width = 0, height = 0;
  uint32_t firstPixel = 0;
  int64_t timestamp = -1;
};

class CameraCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CameraCapture::ResetCountersForTesting();
    cameras->AddCamera(Camera(L"/dev/video0"));
    cameras->AddCamera(Camera(L"/dev/video1"));
  }

  std::unique_ptr<CameraCapture> Make(const std::wstring& id = L"/dev/video1") {
    auto capture = std::make_unique<CameraCapture>(gpu, cameras);
    capture->SetStartTimeBase(SteadyNowNs());
    capture->SetPlatformTimeouts(300ms, 200ms);
    EXPECT_TRUE(capture->Initialize(id, 640, 480, 30));
    return capture;
  }

  FrameCallback Record() {
    return [this](gpu::Texture2D& texture, int64_t timestamp) {
      std::lock_guard lock(delivered.mutex);
      ++delivered.frames;
      delivered.width = texture.GetDesc().width;
      delivered.height = texture.GetDesc().height;
      delivered.firstPixel = test::ReadPixels(texture).at(0);
      delivered.timestamp = timestamp;
    };
  }

  int Frames() {
    std::lock_guard lock(delivered.mutex);
    return delivered.frames;
  }

  std::shared_ptr<gpu::software::SoftwareDeviceFactory> gpu = std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<camera::FakeCameraSystem> cameras = std::make_shared<camera::FakeCameraSystem>();
  test::DebugCapture log;
  Delivered delivered;
};

TEST_F(CameraCaptureTest, OpensTheCameraNamedExactlyOrTheFirstColourOneAndNothingElse) {
  cameras->AddCamera(Camera(L"/dev/video2", camera::MediaFrameSourceKind::Depth));
  const struct {
    std::wstring id;
    std::wstring opened;  // empty: nothing
  } cases[] = {{L"/dev/video1", L"/dev/video1"}, {L"", L"/dev/video0"}, {L"/DEV/VIDEO1", L""},
               {L"/dev/video", L""},             {L"/dev/video2", L""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id '" << std::string(c.id.begin(), c.id.end()) << "'");
    log.Clear();
    const int before = cameras->Calls(FakeCameraPoint::Initialize);
    auto capture = Make(c.id);
    const bool prepared = capture->InitializeMediaCaptureWithCallbackAsync(Record());
    EXPECT_EQ(prepared, !c.opened.empty());
    if (prepared) {
      EXPECT_EQ(cameras->LastSettings().SourceGroupId, c.opened);
      EXPECT_EQ(cameras->LastSettings().SharingMode, camera::MediaCaptureSharingMode::SharedReadOnly);
      EXPECT_EQ(cameras->LastSettings().MemoryPreference, camera::MediaCaptureMemoryPreference::Cpu);
      EXPECT_EQ(cameras->LastReader()->AcquisitionMode(), camera::MediaFrameReaderAcquisitionMode::Realtime);
    } else {
      EXPECT_EQ(cameras->Calls(FakeCameraPoint::Initialize), before) << "no other camera is opened";
      EXPECT_TRUE(log.Contains("[CameraCapture] No suitable camera found for requested device (prepare)\n"));
    }
  }
}

TEST_F(CameraCaptureTest, DeliversOnlyAfterStartCapturingWithTheFramePixelsAndItsOwnSize) {
  auto capture = Make();
  EXPECT_TRUE(capture->Initialize(L"/dev/video0", 320, 240, 15)) << "already initialised: kept as it is";
  capture->SetBufferedAcquisition(true);
  ASSERT_TRUE(capture->InitializeMediaCaptureWithCallbackAsync(Record()));
  EXPECT_EQ(cameras->LastReader()->AcquisitionMode(), camera::MediaFrameReaderAcquisitionMode::Buffered);
  auto reader = cameras->LastReader();
  reader->Deliver({});
  EXPECT_EQ(Frames(), 0) << "prepared, not started";

  ASSERT_TRUE(capture->StartCapturing());
  EXPECT_TRUE(capture->StartCapturing()) << "already capturing";
  reader->Deliver({});
  FakeCameraFrame bigger;
  bigger.width = 1280;
  bigger.height = 720;
  bigger.color = 0xFF102030;
  reader->Deliver(bigger);
  std::lock_guard lock(delivered.mutex);
  EXPECT_EQ(delivered.frames, 2);
  EXPECT_EQ(delivered.width, 1280u);
  EXPECT_EQ(delivered.height, 720u);
  EXPECT_EQ(delivered.firstPixel, 0xFF102030u);
  EXPECT_EQ(capture->Width(), 1280u);
  EXPECT_GE(delivered.timestamp, 0);
  EXPECT_EQ(delivered.timestamp % 10, 0) << "microsecond steps in 100-ns units";
}

TEST_F(CameraCaptureTest, DropsFramesItCannotCopyAndThinsTheLine) {
  auto capture = Make();
  ASSERT_TRUE(capture->StartAsync(Record()));
  auto reader = cameras->LastReader();
  FakeCameraFrame narrowStride;
  narrowStride.stride = 640 * 4 - 4;
  FakeCameraFrame shortBuffer;
  shortBuffer.byteCount = 640 * 4 * 479;
  FakeCameraFrame nothing;
  nothing.noBitmap = true;
  for (const FakeCameraFrame& frame : {narrowStride, shortBuffer, nothing}) reader->Deliver(frame);
  for (int i = 4; i <= 60; ++i) reader->Deliver(shortBuffer);
  FakeCameraFrame none;
  none.none = true;
  reader->Deliver(none);  // no frame at all is not a failure
  EXPECT_EQ(Frames(), 0);
  EXPECT_EQ(log.Count("[CameraCapture] CopyFrameToTexture failed (count: 1)\n"), 1);
  EXPECT_EQ(log.Count("[CameraCapture] CopyFrameToTexture failed (count: 60)\n"), 1);
  EXPECT_EQ(log.CountPrefix("[CameraCapture] CopyFrameToTexture failed"), 2) << "the 1st and every 60th";
  EXPECT_EQ(log.Count("[CameraCapture] No usable SoftwareBitmap or Direct3DSurface\n"), 1);
  EXPECT_EQ(log.Count("[CameraCapture] SoftwareBitmap present but copy failed\n"), 5) << "calls 1, 2, 4, 5 and 60";

  FakeCameraFrame padded;
  padded.stride = 640 * 4 + 64;
  reader->Deliver(padded);
  EXPECT_EQ(Frames(), 1) << "a padded stride is fine";
  FakeCameraFrame dot;
  dot.width = dot.height = 1;
  reader->Deliver(dot);
  EXPECT_EQ(Frames(), 2) << "a one-pixel frame is a frame";
}

TEST_F(CameraCaptureTest, CopiesAForeignDeviceSurfaceThroughTheCpu) {
  auto capture = Make();
  ASSERT_TRUE(capture->StartAsync(Record()));
  std::shared_ptr<gpu::Device> other;
  std::shared_ptr<gpu::DeviceContext> otherContext;
  ASSERT_EQ(gpu->CreateDevice(nullptr, gpu::DriverType::Hardware, 0, nullptr, 0, &other, &otherContext), S_OK);
  gpu::TextureDesc desc;
  desc.width = 320;
  desc.height = 240;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.bindFlags = gpu::BIND_SHADER_RESOURCE;
  std::vector<uint32_t> pixels(320 * 240, 0xFF00FF00u);
  FakeCameraFrame frame;
  ASSERT_EQ(other->CreateTexture2D(desc, pixels.data(), 320 * 4, &frame.surface), S_OK);
  cameras->LastReader()->Deliver(frame);
  gpu->Faults().Fail(gpu::software::FaultPoint::Map, E_FAIL, 1);
  cameras->LastReader()->Deliver(frame);  // the staging copy cannot be read: no frame
  desc.width = 160;
  FakeCameraFrame smaller;
  ASSERT_EQ(capture->Device()->CreateTexture2D(desc, pixels.data(), 160 * 4, &smaller.surface), S_OK);
  gpu->Faults().Fail(gpu::software::FaultPoint::CreateTexture, E_FAIL, 1);
  cameras->LastReader()->Deliver(smaller);  // same device, new size, no texture for it: no frame
  std::lock_guard lock(delivered.mutex);
  EXPECT_EQ(delivered.frames, 1);
  EXPECT_EQ(delivered.width, 320u);
  EXPECT_EQ(delivered.firstPixel, 0xFF00FF00u);
  EXPECT_TRUE(log.Contains("[CameraCapture] Device mismatch - using GPU->CPU->GPU path (SLOW)\n"));
  EXPECT_EQ(log.CountPrefix("[CameraCapture] CPU staging path completed - "), 1);
}

TEST_F(CameraCaptureTest, AsksForTheRequestedSizeAndRateOnlyWhenTheCameraOffersThem) {
  const camera::VideoFormat hd{1280, 720, "MJPG", 30, 1}, vga{640, 480, "YUY2", 30, 1}, slow{320, 240, "YUY2", 15, 1};
  camera::FakeCameraInfo offers = Camera(L"/dev/video5");
  offers.current = hd;
  offers.supported = {hd, vga, slow};
  cameras->AddCamera(offers);
  const struct {
    uint32_t width, height, rate;
    uint32_t openedWidth;
  } cases[] = {{640, 480, 30, 640}, {320, 240, 30, 1280}, {800, 600, 30, 1280}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    auto capture = std::make_unique<CameraCapture>(gpu, cameras);
    ASSERT_TRUE(capture->Initialize(L"/dev/video5", c.width, c.height, c.rate));
    ASSERT_TRUE(capture->InitializeMediaCaptureWithCallbackAsync(Record()));
    EXPECT_EQ(capture->Width(), c.openedWidth);
  }
}

TEST_F(CameraCaptureTest, FailuresOfEachStepAreFalseWithTheirLine) {
  const auto platform = [](const char* message) {
    return FakeCameraFault{FakeCameraFault::Kind::Platform, E_FAIL, message};
  };
  FakeCameraFault status{FakeCameraFault::Kind::Status};
  status.status = camera::MediaFrameReaderStartStatus::DeviceNotAvailable;
  const struct {
    FakeCameraPoint point;
    FakeCameraFault fault;
    const char* prepareLine;
    const char* startLine;  // StartCapturing after a good prepare, when the fault is at Start
  } cases[] = {
      {FakeCameraPoint::FindAll, platform("no enumeration"),
       "[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed: no enumeration\n", nullptr},
      {FakeCameraPoint::Initialize, {FakeCameraFault::Kind::Unknown},
       "[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed with unknown error\n", nullptr},
      {FakeCameraPoint::CreateFrameReader, platform("no reader"),
       "[CameraCapture] InitializeMediaCaptureWithCallbackAsync failed: no reader\n", nullptr},
      {FakeCameraPoint::Start, status, nullptr, "[CameraCapture] StartCapturing: Failed to start frame reader: 2\n"},
      {FakeCameraPoint::Start, platform("busy"), nullptr, "[CameraCapture] StartCapturing failed: busy\n"},
      {FakeCameraPoint::Start, {FakeCameraFault::Kind::Standard}, nullptr,
       "[CameraCapture] StartCapturing failed with unknown error\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prepareLine ? c.prepareLine : c.startLine);
    log.Clear();
    cameras->ClearFaults();
    cameras->SetFault(c.point, c.fault);
    auto capture = Make();
    const bool prepared = capture->InitializeMediaCaptureWithCallbackAsync(Record());
    EXPECT_EQ(prepared, c.prepareLine == nullptr);
    if (c.prepareLine) {
      EXPECT_TRUE(log.Contains(c.prepareLine));
    }
    if (c.prepareLine) {
      capture->Stop();
      EXPECT_EQ(cameras->OpenCaptures(), 0) << "a camera opened before the failure is closed";
    }
    if (c.startLine) {
      EXPECT_FALSE(capture->StartCapturing());
      EXPECT_TRUE(log.Contains(c.startLine));
      EXPECT_FALSE(capture->IsCapturing());
    }
  }
  cameras->ClearFaults();
  auto unprepared = Make();
  EXPECT_FALSE(unprepared->StartCapturing());
  EXPECT_TRUE(log.Contains("[CameraCapture] StartCapturing: Not prepared - MediaCapture not initialized\n"));

  cameras->SetFault(FakeCameraPoint::Start, status);
  auto oneStep = Make();
  EXPECT_FALSE(oneStep->StartAsync(Record()));
  EXPECT_TRUE(log.Contains("[CameraCapture] Failed to start frame reader: 2\n"));

  gpu->Faults().Fail(gpu::software::FaultPoint::CreateDeviceHardware, E_FAIL);
  CameraCapture warp(gpu, cameras);
  EXPECT_TRUE(warp.Initialize(L"", 640, 480, 30));
  EXPECT_TRUE(warp.UsingWarp());
  gpu->Faults().Fail(gpu::software::FaultPoint::CreateDeviceWarp, E_FAIL);
  CameraCapture noDevice(gpu, cameras);
  EXPECT_FALSE(noDevice.Initialize(L"", 640, 480, 30));
  EXPECT_TRUE(log.Contains("[CameraCapture] Hardware D3D11 failed, trying WARP...\n"));
  EXPECT_TRUE(log.Contains("[CameraCapture] Failed to create D3D11 device (both hardware and WARP)\n"));
  EXPECT_FALSE(noDevice.InitializeMediaCaptureWithCallbackAsync(Record()));
}

TEST_F(CameraCaptureTest, StopIsHarmlessTwiceAndNeverWaitsLongForAHungCamera) {
  auto never = Make();
  never->Stop();
  never->Stop();

  auto capture = Make();
  ASSERT_TRUE(capture->StartAsync(Record()));
  auto reader = cameras->LastReader();
  cameras->SetDelayMs(FakeCameraPoint::Stop, 1500);
  cameras->SetFault(FakeCameraPoint::Close, {FakeCameraFault::Kind::Platform, E_FAIL, "close refused"});
  const auto started = std::chrono::steady_clock::now();
  capture->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1000ms);
  EXPECT_TRUE(log.Contains("[CameraCapture] WARNING: camera stop timed out after 200 ms; it goes on in the background\n"));
  EXPECT_TRUE(capture->HasPendingOperation());
  EXPECT_FALSE(reader->HasHandler()) << "no frame reaches a stopped capture";
  reader->Deliver({});
  EXPECT_EQ(Frames(), 0);
  capture->Stop();
  EXPECT_TRUE(test::WaitFor([&] { return !capture->HasPendingOperation(); }, 5s)) << "the stop ends in the background";
  capture.reset();
  EXPECT_TRUE(log.Contains("[CameraCapture] MediaCapture.Close failed: close refused\n"));
  EXPECT_EQ(cameras->OpenCaptures(), 0);

  cameras->ClearFaults();
  cameras->SetDelayMs(FakeCameraPoint::Stop, 0);
  cameras->SetDelayMs(FakeCameraPoint::Start, 1000);
  auto hung = Make();
  EXPECT_FALSE(hung->StartAsync(Record()));
  EXPECT_TRUE(log.Contains("[CameraCapture] WARNING: frame reader start timed out after 300 ms\n"));
  EXPECT_TRUE(hung->HasPendingOperation());
  EXPECT_TRUE(test::WaitFor([&] { return !hung->HasPendingOperation(); }, 5s));
  log.Clear();
  EXPECT_FALSE(hung->StartCapturing()) << "a start that never answered left nothing prepared";
  EXPECT_TRUE(log.Contains("[CameraCapture] StartCapturing: Not prepared - MediaCapture not initialized\n"));
}

}  // namespace
}  // namespace kalto
