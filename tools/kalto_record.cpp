// Command-line host of the engine. This build lists monitors and windows and captures one of
// them, reporting the delivered frame rate and saving the last frame; recording to MP4 joins
// when the encoder does.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "capture/screen_capture.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"
#include "platform/platform.h"

namespace {

using namespace kalto;

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

int Usage() {
  std::fprintf(stderr,
               "usage: kalto-record --list-monitors | --list-windows\n"
               "       kalto-record [--monitor H | --window H | --region H:X,Y,W,H] [--duration S]\n"
               "                    [--no-cursor] [--snapshot FILE.ppm] [--verbose]\n");
  return 2;
}

bool ParseInt64(const char* text, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0') return false;
  *out = v;
  return true;
}

// Keeps a CPU copy of the latest frame for the snapshot.
class LastFrame {
 public:
  void Take(gpu::Texture2D& texture) {
    auto desc = texture.GetDesc();
    std::lock_guard lock(m_mutex);
    if (!m_staging || m_staging->GetDesc().width != desc.width || m_staging->GetDesc().height != desc.height) {
      gpu::TextureDesc s = desc;
      s.usage = gpu::Usage::Staging;
      s.bindFlags = 0;
      s.cpuAccessFlags = gpu::CPU_ACCESS_READ;
      s.miscFlags = 0;
      m_staging.reset();
      if (Failed(texture.GetDevice()->CreateTexture2D(s, nullptr, 0, &m_staging))) return;
    }
    texture.GetDevice()->GetImmediateContext()->CopyResource(*m_staging, texture);
  }
  bool WritePpm(const std::string& path) {
    std::lock_guard lock(m_mutex);
    if (!m_staging) return false;
    auto desc = m_staging->GetDesc();
    auto context = m_staging->GetDevice()->GetImmediateContext();
    gpu::MappedSubresource mapped;
    if (Failed(context->Map(*m_staging, 0, gpu::MapType::Read, 0, &mapped))) return false;
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << desc.width << " " << desc.height << "\n255\n";
    std::string row(size_t{desc.width} * 3, '\0');
    for (uint32_t y = 0; y < desc.height; ++y) {
      const uint8_t* src = static_cast<const uint8_t*>(mapped.data) + size_t{y} * mapped.rowPitch;
      for (uint32_t x = 0; x < desc.width; ++x) {
        row[x * 3 + 0] = static_cast<char>(src[x * 4 + 2]);
        row[x * 3 + 1] = static_cast<char>(src[x * 4 + 1]);
        row[x * 3 + 2] = static_cast<char>(src[x * 4 + 0]);
      }
      out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    context->Unmap(*m_staging, 0);
    return static_cast<bool>(out);
  }

 private:
  std::mutex m_mutex;
  std::shared_ptr<gpu::Texture2D> m_staging;
};

int ListMonitors(desktop::Desktop& desk) {
  auto monitors = desk.EnumMonitors();
  if (monitors.empty()) {
    std::fprintf(stderr, "kalto-record: no monitors (is $DISPLAY set?)\n");
    return 1;
  }
  std::printf("%-12s %-12s %-22s %s\n", "HANDLE", "NAME", "POSITION/SIZE", "");
  for (auto h : monitors) {
    desktop::MonitorInfo info;
    if (!desk.GetMonitorInfo(h, &info)) continue;
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%dx%d+%d+%d", info.monitor.Width(), info.monitor.Height(),
                  info.monitor.left, info.monitor.top);
    std::printf("%-12lld %-12s %-22s %s\n", static_cast<long long>(h), info.name.c_str(), geometry,
                info.primary ? "primary" : "");
  }
  return 0;
}

int ListWindows(desktop::Desktop& desk) {
  std::printf("%-12s %-8s %-22s %s\n", "HANDLE", "PID", "POSITION/SIZE", "TITLE");
  for (const auto& w : desk.EnumWindows()) {
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%dx%d+%d+%d", w.rect.Width(), w.rect.Height(), w.rect.left,
                  w.rect.top);
    std::printf("0x%-10llx %-8u %-22s %s%s\n", static_cast<unsigned long long>(w.handle), w.processId, geometry,
                w.title.c_str(), w.minimized ? " (minimised)" : "");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "monitor";
  int64_t handle = 0;
  int64_t region[4] = {0, 0, 0, 0};
  double durationS = 0;
  bool cursor = true;
  bool verbose = false;
  std::string snapshot;
  bool listMonitors = false, listWindows = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--list-monitors") {
      listMonitors = true;
    } else if (arg == "--list-windows") {
      listWindows = true;
    } else if (arg == "--monitor" || arg == "--window") {
      const char* v = next();
      if (!v || !ParseInt64(v, &handle) || handle == 0) {
        std::fprintf(stderr, "kalto-record: %s needs a handle (see --list-%ss)\n", arg.c_str(), arg.c_str() + 2);
        return 2;
      }
      mode = arg.substr(2);
    } else if (arg == "--region") {
      const char* v = next();
      long long h, x, y, w, hh;
      if (!v || std::sscanf(v, "%lli:%lli,%lli,%lli,%lli", &h, &x, &y, &w, &hh) != 5 || w < 2 || hh < 2) {
        std::fprintf(stderr, "kalto-record: --region needs HANDLE:X,Y,W,H\n");
        return 2;
      }
      mode = "region";
      handle = h;
      region[0] = x, region[1] = y, region[2] = w, region[3] = hh;
    } else if (arg == "--duration") {
      const char* v = next();
      if (!v || (durationS = std::atof(v)) <= 0) {
        std::fprintf(stderr, "kalto-record: --duration needs a positive number of seconds\n");
        return 2;
      }
    } else if (arg == "--no-cursor") {
      cursor = false;
    } else if (arg == "--snapshot") {
      const char* v = next();
      if (!v) return Usage();
      snapshot = v;
    } else if (arg == "--verbose") {
      verbose = true;
    } else {
      return Usage();
    }
  }
  if (!verbose) SetDebugSink([](std::string_view) {});

  auto platform = platform::DefaultPlatform();
  auto& desk = *platform->desktop;
  if (listMonitors) return ListMonitors(desk);
  if (listWindows) return ListWindows(desk);

  if (desk.EnumMonitors().empty()) {
    std::fprintf(stderr, "kalto-record: cannot open the display (is $DISPLAY set?)\n");
    return 1;
  }
  if (mode != "window" && handle == 0) handle = desk.PrimaryMonitor();
  desktop::MonitorInfo info;
  if (mode != "window" && !desk.GetMonitorInfo(handle, &info)) {
    std::fprintf(stderr, "kalto-record: no monitor with handle %lld (see --list-monitors)\n",
                 static_cast<long long>(handle));
    return 1;
  }
  if (mode == "window" && !desk.IsWindow(handle)) {
    std::fprintf(stderr, "kalto-record: no window with handle 0x%llx (see --list-windows)\n",
                 static_cast<unsigned long long>(handle));
    return 1;
  }

  ScreenCapture capture(platform);
  if (!capture.HasDevice()) {
    std::fprintf(stderr, "kalto-record: no graphics device\n");
    return 1;
  }
  capture.SetCaptureCursor(cursor);
  bool ok = mode == "window" ? capture.InitializeForWindow(handle) : capture.InitializeForMonitor(handle);
  if (!ok) {
    std::fprintf(stderr, "kalto-record: cannot capture that %s\n", mode == "window" ? "window" : "monitor");
    return 1;
  }
  if (mode == "region") {
    capture.SetCropRegion(static_cast<int32_t>(region[0]), static_cast<int32_t>(region[1]),
                          static_cast<int32_t>(region[2]), static_cast<int32_t>(region[3]));
  }

  std::atomic<int64_t> frames{0};
  LastFrame last;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  capture.SetStartTimeBase(SteadyNowNs());
  if (!capture.Start([&](gpu::Texture2D& texture, int64_t) {
        ++frames;
        if (!snapshot.empty()) last.Take(texture);
      })) {
    std::fprintf(stderr, "kalto-record: %s\n", WideToUtf8(capture.GetLastErrorText()).c_str());
    return 1;
  }
  std::fprintf(stderr, "kalto-record: capturing %dx%d (encoding to MP4 is not part of this build)\n",
               capture.GetWidth(), capture.GetHeight());
  auto begin = std::chrono::steady_clock::now();
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::fprintf(stderr, "\r%7.1f s  %6lld frames  %6.1f fps   ", elapsed, static_cast<long long>(frames.load()),
                 elapsed > 0 ? static_cast<double>(frames.load()) / elapsed : 0.0);
    if (durationS > 0 && elapsed >= durationS) break;
  }
  capture.Stop();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  std::fprintf(stderr, "\n");
  std::printf("captured %lld frames in %.1f s (%.1f fps)\n", static_cast<long long>(frames.load()), elapsed,
              static_cast<double>(frames.load()) / elapsed);
  if (!snapshot.empty()) {
    if (!last.WritePpm(snapshot)) {
      std::fprintf(stderr, "kalto-record: could not write %s\n", snapshot.c_str());
      return 1;
    }
    std::printf("last frame written to %s\n", snapshot.c_str());
  }
  return 0;
}
