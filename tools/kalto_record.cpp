// Command-line host of the engine: lists monitors, windows, audio endpoints and cameras, and
// records a monitor, a window or a region of a monitor, with system audio, the microphone and a
// camera bubble, to an MP4 file with live progress and level meters, until Ctrl-C or --duration.
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/debug_output.h"
#include "common/native_path.h"
#include "platform/platform.h"
#include "recorder/camera_overlay_config.h"
#include "recorder/focus_zoom_settings.h"
#include "recorder/region_rect.h"
#include "camera_cli.h"
#include "native_host.h"
#include "record_cli.h"

namespace {

using namespace kalto;
namespace fs = std::filesystem;

using cli::g_stop;

void PrintUsage(FILE* to) {
  std::fprintf(to,
               "usage: kalto-record --list-monitors | --list-windows | --list-audio | --list-cameras\n"
               "       kalto-record [--monitor H | --window H | --region H:X,Y,W,H] [-o FILE] [-y|--overwrite] [--duration S]\n"
               "                    [--fps N] [--size WxH] [--bitrate BPS] [--profile high|main|baseline]\n"
               "                    [--quality 0-100] [--no-cursor] [--verbose]\n"
               "                    [--zoom-fraction F] [--follow F] [--move-threshold PX] [--magnifier F]\n"
               "                    [--no-system-audio] [--no-mic] [--mic ID] [--app-audio]\n"
               "                    [--mic-mode raw|voice|denoise] [--ducking DB] [--mic-volume V] [--system-volume V]\n"
               "                    [--camera ID] [--camera-rect X,Y,W,H] [--camera-shape circle|square|rounded:R]\n"
               "                    [--camera-mirror] [--camera-fill cover|contain] [--camera-border RRGGBBAA:W]\n"
               "                    [--camera-opacity O] [--camera-fps N]\n"
               "                    [--camera-effect none|blur[:0-2]|color:0-5|gradient:0-3|image:0-12]\n"
               "                    [--camera-performance 0-4]\n"
               "While recording: p pauses and resumes, z toggles cursor focus, r recenters it, c hides and shows\n"
               "the camera bubble, e cycles its background effect, the arrow keys move it, Ctrl-C stops.\n");
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "kalto-record: %s\n", problem.c_str());
  PrintUsage(stderr);
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "kalto-record: %s\n", message.c_str());
  return 1;
}

bool ParseInt(const char* text, int64_t* out) { return cli::ParseInteger(text, out); }

// Puts the terminal into single-key mode for the keys and restores it on every exit path. Keys
// written into a pipe work too (scripts and tests drive the recorder that way).
class RawTerminal {
 public:
  RawTerminal() {
    if (!isatty(STDIN_FILENO)) {
      m_pipe = true;
      return;
    }
    if (tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
    termios raw = m_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    m_active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (m_active) tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;
  // The key pressed since the last call, if any.
  std::optional<char> Key() {
    if (!m_active && !m_pipe) return std::nullopt;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    char c = 0;
    if (poll(&p, 1, 0) <= 0) return std::nullopt;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    // End of a pipe (or /dev/null) polls readable for ever, as does a closed stdin: stop asking.
    if (n <= 0 && m_pipe) m_pipe = false;
    return std::nullopt;
  }

 private:
  termios m_saved{};
  bool m_active = false;
  bool m_pipe = false;
};

std::string DefaultFileName() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "kalto-%Y%m%d-%H%M%S.mp4", &local);
  return name;
}

std::string HumanSize(uintmax_t bytes) {
  char text[32];
  if (bytes >= 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.0f KB", static_cast<double>(bytes) / 1024.0);
  }
  return text;
}

uintmax_t FileSize(const fs::path& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

int ListMonitors(desktop::Desktop& desk) {
  auto monitors = desk.EnumMonitors();
  if (monitors.empty()) return Fail("cannot open the display (is $DISPLAY set?)");
  std::printf("%-12s %-12s %-22s\n", "HANDLE", "NAME", "SIZE+X+Y");
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
  if (desk.EnumMonitors().empty()) return Fail("cannot open the display (is $DISPLAY set?)");
  std::printf("%-12s %-8s %-22s %s\n", "HANDLE", "PID", "SIZE+X+Y", "TITLE");
  for (const auto& w : desk.EnumWindows()) {
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%dx%d+%d+%d", w.rect.Width(), w.rect.Height(), w.rect.left,
                  w.rect.top);
    std::printf("0x%-10llx %-8u %-22s %s%s\n", static_cast<unsigned long long>(w.handle), w.processId, geometry,
                w.title.c_str(), w.minimized ? " (minimised)" : "");
  }
  return 0;
}

std::wstring EndpointId(platform::audio::Device& device) {
  std::wstring id;
  return Succeeded(device.GetId(&id)) ? id : std::wstring();
}

std::wstring EndpointName(platform::audio::Device& device) {
  std::wstring name;
  return Succeeded(device.GetFriendlyName(&name)) ? name : std::wstring();
}

// What the sound server offers: an enumerator (null when there is no server) and the defaults.
struct AudioInventory {
  std::shared_ptr<platform::audio::DeviceEnumerator> enumerator;
  std::wstring defaultMic;
  std::wstring defaultSystem;
};

AudioInventory TakeAudioInventory(platform::audio::AudioSystem* audio) {
  namespace pa = platform::audio;
  AudioInventory inventory;
  if (!audio || Failed(audio->CreateDeviceEnumerator(&inventory.enumerator))) {
    inventory.enumerator.reset();
    return inventory;
  }
  // The enumerator always exists; its first question tells whether a server answers.
  std::vector<std::shared_ptr<pa::Device>> all;
  if (inventory.enumerator->EnumAudioEndpoints(pa::eAll, &all) == AUDCLNT_E_SERVICE_NOT_RUNNING) {
    inventory.enumerator.reset();
    return inventory;
  }
  std::shared_ptr<pa::Device> device;
  if (Succeeded(inventory.enumerator->GetDefaultAudioEndpoint(pa::eCapture, pa::eConsole, &device)) && device) {
    inventory.defaultMic = EndpointId(*device);
  }
  device.reset();
  if (Succeeded(inventory.enumerator->GetDefaultAudioEndpoint(pa::eRender, pa::eConsole, &device)) && device) {
    inventory.defaultSystem = EndpointId(*device);
  }
  return inventory;
}

int ListAudio(platform::audio::AudioSystem* audio) {
  namespace pa = platform::audio;
  AudioInventory inventory = TakeAudioInventory(audio);
  if (!inventory.enumerator) return Fail("cannot reach the sound server");
  for (auto [flow, title] : {std::pair{pa::eCapture, "microphones (--mic ID)"}, {pa::eRender, "system audio"}}) {
    std::printf("%s:\n", title);
    std::vector<std::shared_ptr<pa::Device>> devices;
    inventory.enumerator->EnumAudioEndpoints(flow, &devices);
    const std::wstring& preferred = flow == pa::eCapture ? inventory.defaultMic : inventory.defaultSystem;
    for (const auto& d : devices) {
      const std::wstring id = EndpointId(*d);
      std::printf("  %-50s %s%s\n", WideToUtf8(id).c_str(), WideToUtf8(EndpointName(*d)).c_str(),
                  id == preferred ? "  (default)" : "");
    }
    if (devices.empty()) std::printf("  (none)\n");
  }
  return 0;
}

int ListCameras(camera::CameraSystem* cameras) {
  return cli::PrintCameras(cameras) ? 0 : Fail("no camera support on this platform");
}

// A ten-step meter of an RMS level, -60 to 0 dBFS.
std::string Meter(float level) {
  const double db = level > 0 ? 20.0 * std::log10(level) : -100.0;
  const int filled = std::clamp(static_cast<int>((db + 60.0) / 6.0 + 0.5), 0, 10);
  return std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(10 - filled), '-');
}

// One recording's progress, as the events and the summary report it.
struct Progress {
  double seconds = 0, frameRate = 0;
  int32_t dropped = 0;
  double DurationSeconds() const { return seconds; }
  double AverageFrameRate() const { return frameRate; }
  int32_t DroppedFrames() const { return dropped; }
};

Progress ReadProgress(KaltoIRecordingProgress* p) {
  Progress out;
  if (!p) return out;
  p->lpVtbl->get_DurationSeconds(p, &out.seconds);
  p->lpVtbl->get_AverageFrameRate(p, &out.frameRate);
  p->lpVtbl->get_DroppedFrames(p, &out.dropped);
  return out;
}

struct Levels {
  bool active = false;
  float microphone = 0, system = 0;
};

// The recorder's operations this host uses, through the surface's slots and the host extension.
class Recorder {
 public:
  explicit Recorder(host::Recorder recorder) : m_recorder(std::move(recorder)) {}
  KaltoINativeRecorder* Get() const { return m_recorder.recorder.Get(); }
  KaltoINativeRecorderHost* Host() const { return m_recorder.host.Get(); }
  const KaltoINativeRecorderVtbl& R() const { return *Get()->lpVtbl; }
  const KaltoINativeRecorderHostVtbl& H() const { return *Host()->lpVtbl; }

  bool IsCameraOverlayActive() const { return Flag(&KaltoINativeRecorderVtbl::get_IsCameraOverlayActive); }
  bool IsPaused() const { return Flag(&KaltoINativeRecorderVtbl::get_IsPaused); }
  bool IsCursorFocusActive() const { return Flag(&KaltoINativeRecorderVtbl::get_IsCursorFocusActive); }
  void Pause() const { R().Pause(Get()); }
  void Resume() const { R().Resume(Get()); }
  void Stop() const { R().Stop(Get()); }
  void RecenterCursorFocus() const { R().RecenterCursorFocus(Get()); }
  void ToggleCursorFocus(bool active) const { R().ToggleCursorFocus(Get(), active ? 1 : 0); }
  void SetCameraOverlayRect(double x, double y, double width, double height) const {
    R().SetCameraOverlayRect(Get(), x, y, width, height);
  }
  void UpdateCameraOverlayEffect(const BackgroundEffectConfig& effect) const {
    H().UpdateCameraOverlayEffect(Host(), host::ToC(effect));
  }
  Levels GetAudioLevels() const {
    KaltoAudioLevels levels{};
    if (KALTO_FAILED(H().GetAudioLevels(Host(), &levels))) return {};
    return {levels.Active != 0, levels.Microphone, levels.System};
  }
  Progress CurrentProgress() const {
    host::Ref<KaltoIRecordingProgress> progress;
    H().GetCurrentProgress(Host(), progress.Put());
    return ReadProgress(progress.Get());
  }
  int64_t FramesWritten() const {
    int64_t frames = 0;
    H().get_FramesWritten(Host(), &frames);
    return frames;
  }

 private:
  using Getter = KaltoHResult (*)(KaltoINativeRecorder*, KaltoBoolean*);
  bool Flag(Getter KaltoINativeRecorderVtbl::*get) const {
    KaltoBoolean value = 0;
    return KALTO_SUCCEEDED((R().*get)(Get(), &value)) && value != 0;
  }
  host::Recorder m_recorder;
};

}  // namespace

int main(int argc, char** argv) {
  int32_t mode = 0;
  int64_t handle = 0;
  RegionRect region;
  std::string output;
  double durationS = 0;
  int64_t fps = 30, bitrate = 4'000'000, quality = 50, width = 0, height = 0;
  int32_t profile = 1;
  bool cursor = true, verbose = false, listMonitors = false, listWindows = false, listAudio = false;
  bool systemAudio = true, microphone = true, appAudio = false, ducking = false;
  std::string micId;
  int32_t micMode = 0;
  double duckingDb = -12.0, micVolume = 1.0, systemVolume = 0.5;
  FocusZoomSettings focusZoom{false, true, kFallbackZoomRegionFraction, kFallbackFollowSmoothing,
                              kFallbackMoveThreshold, kFallbackMagnifierScale};
  bool overwrite = false;
  bool listCameras = false;
  std::string cameraId;
  std::optional<std::array<double, 4>> cameraRect;
  CameraOverlayConfig bubble;
  bubble.CornerRadius = 1.0;
  bubble.FillMode = 1;
  bubble.Opacity = 1.0;
  auto parseFactor = [](const char* text, double low, double high, double* out) {
    double v = 0;
    if (!cli::ParseNumber(text, &v) || !(v >= low && v <= high)) return false;
    *out = v;
    return true;
  };

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "-y" || arg == "--overwrite") {
      overwrite = true;
    } else if (arg == "--list-monitors") {
      listMonitors = true;
    } else if (arg == "--list-windows") {
      listWindows = true;
    } else if (arg == "--monitor" || arg == "--window") {
      if (!cli::ParseInteger(next(), &handle, true) || handle == 0) return Fail(std::string(arg) + " needs a handle (see --list-monitors/--list-windows)");
      mode = arg == "--window" ? 1 : 0;
    } else if (arg == "--region") {
      const char* v = next();
      int64_t h = 0, x = 0, y = 0, w = 0, hh = 0;
      if (!cli::ParseRegion(v, &h, &x, &y, &w, &hh) || w < 100 || hh < 100 || x < 0 || y < 0 || x > INT32_MAX ||
          y > INT32_MAX || w > INT32_MAX || hh > INT32_MAX) {
        return Fail("--region needs HANDLE:X,Y,W,H with W and H of at least 100");
      }
      mode = 2;
      handle = h;
      region = {static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(w), static_cast<int32_t>(hh)};
    } else if (arg == "-o" || arg == "--output") {
      const char* v = next();
      if (!v || !*v) return Fail("-o needs a file name");
      output = v;
    } else if (arg == "--duration") {
      const char* v = next();
      if (!cli::ParseNumber(v, &durationS) || durationS <= 0) return Fail("--duration needs a positive number of seconds");
    } else if (arg == "--fps") {
      if (!ParseInt(next(), &fps) || fps < 1 || fps > 120) return Fail("--fps must be between 1 and 120");
    } else if (arg == "--size") {
      const char* v = next();
      int64_t w = 0, h = 0;
      // Smaller pictures would mostly be the encoder's rounding to 16 pixels.
      if (!cli::ParseSize(v, &w, &h) || w < 100 || h < 100 || w > 7680 || h > 4320) {
        return Fail("--size must be WxH between 100x100 and 7680x4320");
      }
      width = w, height = h;
    } else if (arg == "--bitrate") {
      if (!ParseInt(next(), &bitrate) || bitrate < 100'000 || bitrate > 200'000'000) {
        return Fail("--bitrate must be between 100000 and 200000000 bits per second");
      }
    } else if (arg == "--profile") {
      std::string v = next() ? argv[i] : "";
      if (v == "high") profile = 0;
      else if (v == "main") profile = 1;
      else if (v == "baseline") profile = 2;
      else return Fail("--profile must be high, main or baseline");
    } else if (arg == "--quality") {
      if (!ParseInt(next(), &quality) || quality < 0 || quality > 100) return Fail("--quality must be 0 to 100");
    } else if (arg == "--zoom-fraction") {
      if (!parseFactor(next(), 0.05, 1.0, &focusZoom.ZoomRegionFraction)) {
        return Fail("--zoom-fraction must be between 0.05 and 1");
      }
    } else if (arg == "--follow") {
      if (!parseFactor(next(), 0.01, 1.0, &focusZoom.FollowSmoothing)) return Fail("--follow must be between 0.01 and 1");
    } else if (arg == "--move-threshold") {
      if (!parseFactor(next(), 0.0, 1000.0, &focusZoom.MoveThreshold)) {
        return Fail("--move-threshold must be between 0 and 1000 pixels");
      }
    } else if (arg == "--magnifier") {
      if (!parseFactor(next(), 1.0, 10.0, &focusZoom.MagnifierScale)) return Fail("--magnifier must be between 1 and 10");
    } else if (arg == "--list-audio") {
      listAudio = true;
    } else if (arg == "--no-system-audio") {
      systemAudio = false;
    } else if (arg == "--no-mic") {
      microphone = false;
    } else if (arg == "--mic") {
      const char* v = next();
      if (!v || !*v) return Fail("--mic needs an endpoint id (see --list-audio)");
      micId = v;
    } else if (arg == "--app-audio") {
      appAudio = true;
    } else if (arg == "--mic-mode") {
      std::string v = next() ? argv[i] : "";
      if (v == "raw") micMode = 0;
      else if (v == "voice") micMode = 1;
      else if (v == "denoise") micMode = 2;
      else return Fail("--mic-mode must be raw, voice or denoise");
    } else if (arg == "--ducking") {
      if (!parseFactor(next(), -24.0, 0.0, &duckingDb)) return Fail("--ducking must be between -24 and 0 dB");
      ducking = true;
    } else if (arg == "--mic-volume") {
      if (!parseFactor(next(), 0.0, 2.0, &micVolume)) return Fail("--mic-volume must be between 0 and 2");
    } else if (arg == "--system-volume") {
      if (!parseFactor(next(), 0.0, 2.0, &systemVolume)) return Fail("--system-volume must be between 0 and 2");
    } else if (arg == "--list-cameras") {
      listCameras = true;
    } else if (arg == "--camera") {
      const char* v = next();
      if (!v || !*v) return Fail("--camera needs a camera id (see --list-cameras)");
      cameraId = v;
    } else if (arg == "--camera-rect") {
      std::array<double, 4> r{};
      if (!cli::ParseNumbers4(next(), r.data()) || r[0] < 0 || r[1] < 0 || r[2] <= 0 || r[3] <= 0 || r[0] + r[2] > 1 ||
          r[1] + r[3] > 1) {
        return Fail("--camera-rect needs X,Y,W,H as fractions of the frame, within it");
      }
      cameraRect = r;
    } else if (arg == "--camera-shape") {
      std::string v = next() ? argv[i] : "";
      double radius = 0;
      if (v == "circle") bubble.CornerRadius = 1.0;
      else if (v == "square") bubble.CornerRadius = 0.0;
      else if (v.rfind("rounded:", 0) == 0 && cli::ParseNumber(v.c_str() + 8, &radius) && radius >= 0 && radius <= 1)
        bubble.CornerRadius = radius;
      else return Fail("--camera-shape must be circle, square or rounded:R with R from 0 to 1");
    } else if (arg == "--camera-mirror") {
      bubble.Mirror = true;
    } else if (arg == "--camera-fill") {
      std::string v = next() ? argv[i] : "";
      if (v == "cover") bubble.FillMode = 1;
      else if (v == "contain") bubble.FillMode = 0;
      else return Fail("--camera-fill must be cover or contain");
    } else if (arg == "--camera-border") {
      if (!cli::ParseBorder(next(), &bubble.BorderColor, &bubble.BorderWidth) || bubble.BorderWidth < 0 ||
          bubble.BorderWidth > 1) {
        return Fail("--camera-border needs RRGGBBAA:W with W from 0 to 1");
      }
    } else if (arg == "--camera-opacity") {
      if (!parseFactor(next(), 0.0, 1.0, &bubble.Opacity)) return Fail("--camera-opacity must be between 0 and 1");
    } else if (arg == "--camera-fps") {
      int64_t v = 0;
      if (!ParseInt(next(), &v) || v < 1 || v > 120) return Fail("--camera-fps must be between 1 and 120");
      bubble.FrameRate = static_cast<int32_t>(v);
    } else if (arg == "--camera-effect") {
      if (!cli::ParseCameraEffect(next(), &bubble.BackgroundEffect)) {
        return Fail("--camera-effect must be none, blur, blur:0-2, color:0-5, gradient:0-3 or image:0-12");
      }
    } else if (arg == "--camera-performance") {
      int64_t v = 0;
      if (!ParseInt(next(), &v) || v < 0 || v > 4) return Fail("--camera-performance must be between 0 and 4");
      bubble.BackgroundEffect.PerformanceMode = static_cast<int32_t>(v);
    } else if (arg == "--no-cursor") {
      cursor = false;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      return Usage("unexpected argument " + arg);
    }
  }
  if (!verbose) SetDebugSink([](std::string_view) {});

  auto platform = platform::DefaultPlatform();
  if (listAudio) return ListAudio(platform->audio.get());
  if (listCameras) return ListCameras(platform->camera.get());
  const host::NativeLibrary library;
  if (!library.Error().empty()) return Fail("cannot load the recorder library: " + library.Error());
  // What the handlers share with this thread; declared before the recorder, whose last release
  // waits for a handler still running.
  std::mutex progressMutex;
  Progress progress;
  std::string error;
  std::atomic<bool> recording{false};
  std::atomic<bool> failed{false};
  const Recorder recorder(host::Recorder::Activate(library));
  if (!recorder.Get()) return Fail("cannot activate the recorder");
  recorder.H().SetDiagnosticOutput(recorder.Host(), verbose ? 1 : 0);
  if (!cameraId.empty()) {
    bool exists = false;
    if (cameraId.rfind("file:", 0) == 0) {
      // Registered with the library's own cameras: the recorder opens it there.
      KaltoBoolean added = 0;
      recorder.H().AddFileCamera(recorder.Host(), library.FromUtf8(cameraId).Get(), &added);
      exists = added != 0;
    } else {
      exists = platform->camera && cli::CameraExists(*platform->camera, Utf8ToWide(cameraId));
    }
    if (!exists) return Fail("no camera with id " + cameraId + " (see --list-cameras)");
  }
  auto& desk = *platform->desktop;
  if (listMonitors) return ListMonitors(desk);
  if (listWindows) return ListWindows(desk);

  // Paths are bytes here: any name the file system takes is used as given.
  fs::path path = output.empty() ? fs::path(DefaultFileName()) : fs::path(output);
  if (const std::string problem = cli::CheckOutputPath(path.native(), overwrite); !problem.empty()) return Fail(problem);
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  path = fs::absolute(path, ec);

  if (desk.EnumMonitors().empty()) return Fail("cannot open the display (is $DISPLAY set?)");
  if (mode != 1 && handle == 0) handle = desk.PrimaryMonitor();
  desktop::MonitorInfo info;
  if (mode != 1 && !desk.GetMonitorInfo(handle, &info)) {
    return Fail(std::string("no monitor with handle ") + std::to_string(handle) + " (see --list-monitors)");
  }
  if (mode == 2) {
    const int64_t monitorWidth = info.monitor.Width(), monitorHeight = info.monitor.Height();
    const std::string monitorSize = std::to_string(monitorWidth) + "x" + std::to_string(monitorHeight);
    if (region.X >= monitorWidth || region.Y >= monitorHeight) {
      return Fail("--region lies outside the monitor (" + monitorSize + ")");
    }
    if (int64_t{region.X} + region.Width > monitorWidth || int64_t{region.Y} + region.Height > monitorHeight) {
      return Fail("--region reaches past the monitor (" + monitorSize + "): at most " +
                  std::to_string(monitorWidth - region.X) + "x" + std::to_string(monitorHeight - region.Y) + " fits at " +
                  std::to_string(region.X) + "," + std::to_string(region.Y));
    }
  }
  if (mode == 1 && !desk.IsWindow(handle)) return Fail(std::string("no window with handle ") + std::to_string(handle) + " (see --list-windows)");
  if (appAudio && mode != 1) return Fail("--app-audio records one window's sound: it needs --window");
  if (appAudio && !systemAudio) return Fail("--app-audio and --no-system-audio contradict each other");

  // Sound is optional: without a server, or without a default device, record what there is.
  if (systemAudio || microphone) {
    AudioInventory inventory = TakeAudioInventory(platform->audio.get());
    if (!inventory.enumerator) {
      std::fprintf(stderr, "kalto-record: no sound server; recording without audio\n");
      systemAudio = microphone = false;
    } else {
      std::shared_ptr<platform::audio::Device> device;
      if (microphone && !micId.empty() &&
          (Failed(inventory.enumerator->GetDevice(Utf8ToWide(micId), &device)) || !device)) {
        return Fail("no microphone with id " + micId + " (see --list-audio)");
      }
      if (microphone && micId.empty() && inventory.defaultMic.empty()) {
        std::fprintf(stderr, "kalto-record: no microphone; recording without it\n");
        microphone = false;
      }
      if (systemAudio && inventory.defaultSystem.empty()) {
        std::fprintf(stderr, "kalto-record: no audio output to record; recording without system audio\n");
        systemAudio = false;
      }
    }
  }

  constexpr KaltoGuid kConfigIid = KALTO_IID_IRecordingConfig_VALUE;
  const auto config = library.Activate<KaltoIRecordingConfig>(KALTO_CLASS_RECORDING_CONFIG, kConfigIid);
  if (!config) return Fail("cannot activate the recording configuration");
  const KaltoIRecordingConfigVtbl& c = config.V();
  KaltoIRecordingConfig* const settings = config.Get();
  c.put_OutputPath(settings, library.FromPath(path.native()).Get());
  c.put_CaptureMode(settings, mode);
  c.put_MonitorHandle(settings, mode == 1 ? 0 : handle);
  c.put_WindowHandle(settings, mode == 1 ? handle : 0);
  c.put_CropRegion(settings, KaltoRegionRect{region.X, region.Y, region.Width, region.Height});
  c.put_OutputWidth(settings, static_cast<int32_t>(width));
  c.put_OutputHeight(settings, static_cast<int32_t>(height));
  c.put_FrameRate(settings, static_cast<int32_t>(fps));
  c.put_VideoBitrate(settings, static_cast<int32_t>(bitrate));
  c.put_VideoProfile(settings, profile);
  c.put_QualityVsSpeed(settings, static_cast<int32_t>(quality));
  c.put_CaptureCursor(settings, KaltoBoolean(cursor ? 1 : 0));
  c.put_FocusZoom(settings, KaltoFocusZoomSettings{focusZoom.ReservedFlag1, focusZoom.ReservedFlag2, focusZoom.ZoomRegionFraction,
                                                         focusZoom.FollowSmoothing, focusZoom.MoveThreshold, focusZoom.MagnifierScale});
  c.put_CaptureMicrophone(settings, KaltoBoolean(microphone ? 1 : 0));
  c.put_CaptureSystemAudio(settings, KaltoBoolean(systemAudio ? 1 : 0));
  c.put_CaptureWindowProcessAudioOnly(settings, KaltoBoolean(appAudio ? 1 : 0));
  c.put_MicrophoneDeviceId(settings, library.FromUtf8(micId).Get());
  c.put_MicrophoneMode(settings, micMode);
  c.put_DuckingEnabled(settings, KaltoBoolean(ducking ? 1 : 0));
  c.put_DuckingLevelDb(settings, duckingDb);
  c.put_MicrophoneVolume(settings, micVolume);
  c.put_SystemAudioVolume(settings, systemVolume);

  std::array<double, 4> bubbleRect{};
  if (!cameraId.empty()) {
    if (cameraRect) {
      bubbleRect = *cameraRect;
    } else {
      // The bubble is drawn into the output frame: round in its pixels.
      int64_t frameWidth = width, frameHeight = height;
      if (frameWidth == 0) {
        if (mode == 2) {
          frameWidth = region.Width, frameHeight = region.Height;
        } else if (mode == 0) {
          frameWidth = info.monitor.Width(), frameHeight = info.monitor.Height();
        } else {
          for (const auto& window : desk.EnumWindows()) {
            if (window.handle == handle) frameWidth = window.rect.Width(), frameHeight = window.rect.Height();
          }
        }
      }
      cli::DefaultBubbleRect(frameWidth, frameHeight, bubbleRect.data());
    }
    bubble.Enabled = true;
    bubble.X = bubbleRect[0], bubble.Y = bubbleRect[1], bubble.Width = bubbleRect[2], bubble.Height = bubbleRect[3];
    const auto device = library.FromUtf8(cameraId);
    const KaltoCameraOverlayConfig overlay{1, device.Get(), bubble.X, bubble.Y, bubble.Width, bubble.Height,
                                           bubble.ReservedValue, bubble.CornerRadius, KaltoBoolean(bubble.Mirror ? 1 : 0),
                                           bubble.FillMode, bubble.Opacity, bubble.BorderColor, bubble.BorderWidth,
                                           bubble.FrameRate, host::ToC(bubble.BackgroundEffect)};
    recorder.R().SetCameraOverlayConfig(recorder.Get(), overlay);
  }
  const bool statusIsTerminal = isatty(STDERR_FILENO) != 0;
  using StringHandler = host::Handler<KaltoITypedEventHandlerNativeRecorderString, KaltoINativeRecorder*, KaltoHString>;
  constexpr KaltoGuid kStringIid = KALTO_IID_ITypedEventHandlerNativeRecorderString_VALUE;
  constexpr KaltoGuid kProgressIid = KALTO_IID_ITypedEventHandlerNativeRecorderRecordingProgress_VALUE;
  KaltoEventRegistrationToken token{};  // the handlers go with the recorder
  recorder.R().add_ProgressChanged(
      recorder.Get(),
      host::Handler<KaltoITypedEventHandlerNativeRecorderRecordingProgress, KaltoINativeRecorder*,
                    KaltoIRecordingProgress*>::Make(kProgressIid,
                                                    [&](KaltoINativeRecorder*, KaltoIRecordingProgress* p) {
                                                      const Progress now = ReadProgress(p);
                                                      std::lock_guard lock(progressMutex);
                                                      progress = now;
                                                    })
          .Get(),
      &token);
  recorder.R().add_ErrorOccurred(recorder.Get(),
                                 StringHandler::Make(kStringIid,
                                                     [&](KaltoINativeRecorder*, KaltoHString message) {
                                                       std::string text = library.ToUtf8(message, false);
                                                       std::lock_guard lock(progressMutex);
                                                       error = std::move(text);
                                                       // The engine stops a recording that cannot go on; end the
                                                       // loop with it.
                                                       if (recording) {
                                                         failed = true;
                                                         g_stop = true;
                                                       }
                                                     })
                                     .Get(),
                                 &token);
  recorder.H().add_Warning(recorder.Host(),
                           StringHandler::Make(kStringIid,
                                               [&](KaltoINativeRecorder*, KaltoHString message) {
                                                 const std::string text = library.ToUtf8(message, false);
                                                 std::lock_guard lock(progressMutex);
                                                 std::fprintf(stderr, "%skalto-record: warning: %s\n",
                                                              statusIsTerminal ? "\n" : "", text.c_str());
                                               })
                               .Get(),
                           &token);
  cli::InstallStopSignals();
  host::Ref<KaltoIAsyncOperationBoolean> start;
  const bool started = KALTO_SUCCEEDED(recorder.R().StartAsync(recorder.Get(), settings, start.Put())) &&
                       host::WaitForResult(start.Get());
  if (!started) {
    std::lock_guard lock(progressMutex);
    if (!existed) fs::remove(path, ec);  // nothing half-written stays behind
    return Fail(std::string("could not start recording: ") + (error.empty() ? "unknown error" : error));
  }

  recording = true;
  if (!cameraId.empty() && !recorder.IsCameraOverlayActive()) {
    std::fprintf(stderr, "kalto-record: warning: camera %s could not be opened; recording without the bubble\n",
                 cameraId.c_str());
  }
  if (!cameraId.empty() && bubble.BackgroundEffect.Mode >= 2 && bubble.BackgroundEffect.Mode <= 4) {
    // Without the network the bubble would show the raw camera with no word why.
    KaltoBoolean available = 0;
    if (KALTO_FAILED(recorder.R().get_IsMLModelAvailable(recorder.Get(), &available)) || !available) {
      std::fprintf(stderr, "kalto-record: warning: the segmentation model is not available (see --verbose); only "
                           "--camera-effect blur works without it\n");
    }
  }
  std::fprintf(stderr, "kalto-record: recording to %s (p pauses, z cursor focus, r recenter, Ctrl-C stops)\n",
               path.c_str());
  bool bubbleShown = true;
  int escape = 0;  // position in an arrow key's escape sequence
  RawTerminal terminal;
  auto begin = std::chrono::steady_clock::now();
  double lastLogged = -1;
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto key = terminal.Key();
    if (key && (escape > 0 || *key == '\x1b')) {
      // Arrow keys arrive as ESC [ A..D: the bubble moves by a twentieth of the frame.
      escape = (*key == '\x1b') ? 1 : (escape == 1 && *key == '[') ? 2 : 0;
      if (key && escape == 0 && *key >= 'A' && *key <= 'D' && bubbleShown && recorder.IsCameraOverlayActive()) {
        const double step = 0.05;
        if (*key == 'A') bubbleRect[1] = std::max(0.0, bubbleRect[1] - step);
        if (*key == 'B') bubbleRect[1] = std::min(1.0 - bubbleRect[3], bubbleRect[1] + step);
        if (*key == 'C') bubbleRect[0] = std::min(1.0 - bubbleRect[2], bubbleRect[0] + step);
        if (*key == 'D') bubbleRect[0] = std::max(0.0, bubbleRect[0] - step);
        recorder.SetCameraOverlayRect(bubbleRect[0], bubbleRect[1], bubbleRect[2], bubbleRect[3]);
      }
      key.reset();
    } else if (key && (*key == 'c' || *key == 'C') && recorder.IsCameraOverlayActive()) {
      bubbleShown = !bubbleShown;
      if (bubbleShown) {
        recorder.SetCameraOverlayRect(bubbleRect[0], bubbleRect[1], bubbleRect[2], bubbleRect[3]);
      } else {
        recorder.SetCameraOverlayRect(bubbleRect[0], bubbleRect[1], 0, 0);
      }
    }
    if (key && (*key == 'e' || *key == 'E') && recorder.IsCameraOverlayActive()) {
      bubble.BackgroundEffect = cli::NextCameraEffect(bubble.BackgroundEffect);
      recorder.UpdateCameraOverlayEffect(bubble.BackgroundEffect);
    }
    if (key && (*key == 'p' || *key == 'P')) {
      if (recorder.IsPaused()) {
        recorder.Resume();
      } else {
        recorder.Pause();
      }
    } else if (key && (*key == 'z' || *key == 'Z')) {
      recorder.ToggleCursorFocus(!recorder.IsCursorFocusActive());
    } else if (key && (*key == 'r' || *key == 'R')) {
      recorder.RecenterCursorFocus();
    }
    Progress now;
    {
      std::lock_guard lock(progressMutex);
      now = progress;
    }
    std::string meters;
    if (Levels levels = recorder.GetAudioLevels(); levels.active) {
      if (microphone) meters += "  mic " + Meter(levels.microphone);
      if (systemAudio) meters += "  sys " + Meter(levels.system);
    }
    // A terminal gets one line redrawn in place; a log gets a line per progress event.
    std::lock_guard lock(progressMutex);
    if (statusIsTerminal || now.DurationSeconds() != lastLogged) {
      lastLogged = now.DurationSeconds();
      // Erasing to the end of the line drops what a longer line (a "[paused]") left there.
      std::string camera;
      if (recorder.IsCameraOverlayActive()) {
        camera = bubbleShown ? "  [camera" : "  [camera hidden";
        if (bubble.BackgroundEffect.Mode != 0) camera += " " + cli::CameraEffectName(bubble.BackgroundEffect);
        camera += "]";
      }
      std::fprintf(stderr, "%s%8.1f s  %5.1f fps  %4d dropped  %10s%s%s%s%s%s", statusIsTerminal ? "\r" : "",
                   now.DurationSeconds(), now.AverageFrameRate(), static_cast<int>(now.DroppedFrames()),
                   HumanSize(FileSize(path)).c_str(), meters.c_str(), recorder.IsPaused() ? "  [paused]" : "",
                   recorder.IsCursorFocusActive() ? "  [focus]" : "", camera.c_str(), statusIsTerminal ? "\x1b[K" : "\n");
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (durationS > 0 && elapsed >= durationS) break;
  }
  // The summary covers the whole recording, not just up to the last once-a-second event.
  const Progress last = recorder.CurrentProgress();
  recorder.Stop();
  if (statusIsTerminal) std::fprintf(stderr, "\n");
  std::printf("file:     %s\n", path.c_str());
  std::printf("duration: %.1f s\n", last.DurationSeconds());
  std::printf("frames:   %lld\n", static_cast<long long>(recorder.FramesWritten()));
  std::printf("dropped:  %d\n", static_cast<int>(last.DroppedFrames()));
  std::printf("size:     %s\n", HumanSize(FileSize(path)).c_str());
  if (failed) {
    std::lock_guard lock(progressMutex);
    std::fprintf(stderr, "kalto-record: recording stopped early: %s; the file holds what was recorded until then\n",
                 error.c_str());
    return 1;
  }
  return 0;
}
