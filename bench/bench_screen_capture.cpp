// What one 1920x1080 frame costs: the server's shared-memory grab alone, a plain copy of the
// same bytes for scale, and a whole capture through the backend (grab into a pool buffer,
// alpha, cursor, frame, FrameArrived handler taking and closing the frame). Runs under its own
// Xvfb. The capture should stay within 1.5x the bare grab.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/screen/x11/x11_capture_service.h"
#include "platform/screen/x11/x11_frame_grabber.h"
#include "platform/screen/x11/x11_frame_pool.h"
#include "platform/screen/x11/x11_resources.h"
#include "support/x_server.h"

namespace {

using namespace kalto;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
std::string g_display;

void BM_XShmGetImage(benchmark::State& state) {
  auto connection = x11::Connection::Open(g_display);
  Display* d = connection->get();
  auto image = x11::ShmImage::Create(connection, DefaultVisual(d, DefaultScreen(d)), DefaultDepth(d, DefaultScreen(d)),
                                     kWidth, kHeight);
  if (!image) {
    state.SkipWithError("no shared-memory image");
    return;
  }
  for (auto _ : state) {
    if (!image->Grab(connection->Root(), 0, 0)) state.SkipWithError("grab failed");
    benchmark::DoNotOptimize(image->Data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kWidth} * kHeight * 4);
}
BENCHMARK(BM_XShmGetImage)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_Memcpy1080p(benchmark::State& state) {
  std::vector<uint8_t> from(size_t{kWidth} * kHeight * 4, 1), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(from.size()));
}
BENCHMARK(BM_Memcpy1080p)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Arg 0: without the cursor; 1: with it.
void BM_CaptureAndDeliver(benchmark::State& state) {
  const bool cursor = state.range(0) != 0;
  x11::X11CaptureService service(g_display);
  auto factory = std::make_shared<gpu::software::SoftwareDeviceFactory>();
  std::shared_ptr<gpu::Device> device;
  std::shared_ptr<gpu::DeviceContext> context;
  factory->CreateDevice(nullptr, gpu::DriverType::Hardware, gpu::CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, &device,
                        &context);
  std::shared_ptr<screen::CaptureDevice> captureDevice;
  service.CreateCaptureDevice(device, &captureDevice);

  auto connection = x11::Connection::Open(g_display);
  auto interop = service.GetItemInterop();
  std::shared_ptr<screen::CaptureItem> item;
  // The one monitor of the screen, named the way the desktop names it.
  for (const auto& m : x11::QueryMonitors(connection->get())) {
    if (interop->CreateForMonitor(static_cast<desktop::MonitorHandle>(m.atom), &item) == S_OK) break;
  }
  if (!item) {
    state.SkipWithError("no monitor item");
    return;
  }
  auto pool = std::dynamic_pointer_cast<x11::X11FramePool>(
      service.CreateFreeThreadedFramePool(captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, item->Size()));
  int64_t taken = 0;
  pool->AddFrameArrived([&](screen::FramePool& sender) {
    if (auto frame = sender.TryGetNextFrame()) {
      benchmark::DoNotOptimize(frame->Surface().get());
      frame->Close();
      ++taken;
    }
  });
  x11::X11FrameGrabber grabber(connection, std::static_pointer_cast<x11::X11CaptureItem>(item)->Target(), pool);
  if (!grabber.Start()) {
    state.SkipWithError("grabber did not start");
    return;
  }
  for (auto _ : state) {
    if (grabber.CaptureAndDeliver(cursor) != x11::X11FrameGrabber::Result::Delivered) {
      state.SkipWithError("no frame delivered");
      break;
    }
  }
  state.counters["frames"] = static_cast<double>(taken);
  pool->Close();
}
BENCHMARK(BM_CaptureAndDeliver)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  kalto::test::XServer server(kWidth, kHeight);
  if (!server.Running()) {
    std::fprintf(stderr, "bench_screen_capture: %s\n", server.Error().c_str());
    return 1;
  }
  g_display = server.Display();
  // A full-screen pattern, with the pointer over it, so the grab copies real content.
  kalto::test::XClient client(g_display);
  kalto::test::TestWindow window(client, 0, 0, kWidth, kHeight, "bench", 1);
  client.WarpPointer(kWidth / 2, kHeight / 2);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
