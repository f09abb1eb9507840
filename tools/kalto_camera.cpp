// Camera preview host: shows the engine's live preview in an X11 window, with the background effect
// switched from the keyboard, or writes one preview picture to a PNG file without a display.
#include <poll.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/debug_output.h"
#include "platform/platform.h"
#include "camera_cli.h"
#include "native_host.h"
#include "record_cli.h"

// Xlib's macros (Success, None, Status) would rename the engine's enumerators: it comes last.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using namespace kalto;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The preview is asked for this; a camera may answer with its own size.
constexpr int32_t kWidth = 640, kHeight = 480, kFrameRate = 30;
// The first pictures may come before the effect's first mask.
constexpr int kSnapshotSkip = 4;
constexpr auto kFirstFrameTimeout = std::chrono::seconds(10);

using cli::g_stop;

void PrintUsage(FILE* to) {
  std::fprintf(to,
               "usage: kalto-camera --list\n"
               "       kalto-camera [--effect none|blur[:0-2]|color:0-5|gradient:0-3|image:0-12] [--performance 0-4]\n"
               "                    [--snapshot FILE.png] [--verbose] [ID]\n"
               "ID defaults to synthetic:. In the window: e cycles the effect, p its preset, m the performance\n"
               "mode (1, Auto, by default); closing the window or Ctrl-C stops.\n");
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "kalto-camera: %s\n", message.c_str());
  return 1;
}

int ListCameras(camera::CameraSystem* cameras) {
  return cli::PrintCameras(cameras) ? 0 : Fail("no camera support on this platform");
}

// The latest preview picture, handed from the camera's thread to the main one.
struct LatestFrame {
  std::mutex mutex;
  std::vector<uint8_t> bgra;  // tightly packed rows
  int width = 0;
  int height = 0;
  uint64_t count = 0;  // pictures so far

  std::vector<uint8_t> copy;  // the bitmap's whole buffer, on the camera's thread only

  void Take(KaltoISoftwareBitmap* bitmap) {
    const KaltoISoftwareBitmapVtbl& v = *bitmap->lpVtbl;
    KaltoBitmapPixelFormat format = 0;
    int32_t w = 0, h = 0;
    uint32_t capacity = 0;
    KaltoBitmapPlaneDescription plane{};
    if (KALTO_FAILED(v.get_BitmapPixelFormat(bitmap, &format)) || format != KALTO_BITMAP_PIXEL_FORMAT_BGRA8 ||
        KALTO_FAILED(v.get_PixelWidth(bitmap, &w)) || KALTO_FAILED(v.get_PixelHeight(bitmap, &h)) || w <= 0 || h <= 0 ||
        KALTO_FAILED(v.GetPlaneDescription(bitmap, 0, &plane)) || KALTO_FAILED(v.get_Capacity(bitmap, &capacity))) {
      return;
    }
    const size_t row = size_t(w) * 4;
    if (plane.Stride < int32_t(row) || size_t(plane.StartIndex) + size_t(plane.Stride) * (h - 1) + row > capacity) {
      return;
    }
    copy.resize(capacity);
    if (KALTO_FAILED(v.CopyToBuffer(bitmap, copy.data(), capacity))) return;
    std::lock_guard lock(mutex);
    bgra.resize(row * h);
    for (int y = 0; y < h; ++y) {
      std::memcpy(bgra.data() + row * y, copy.data() + plane.StartIndex + size_t(plane.Stride) * y, row);
    }
    width = w, height = h;
    ++count;
  }
};

void StopPreview(host::Recorder& recorder) { recorder.recorder.V().StopCameraPreview(recorder.recorder.Get()); }

// Checks that `path` can be written, before the camera is opened; empty when it can.
std::string CheckSnapshotPath(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "'" + path.string() + "' is a folder, not a file";
  if (fs::exists(path, ec)) {
    return access(path.c_str(), W_OK) == 0 ? "" : "cannot write '" + path.string() + "': " + std::strerror(errno);
  }
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  if (!fs::is_directory(folder, ec)) return "folder '" + folder.string() + "' does not exist";
  return access(folder.c_str(), W_OK) == 0 ? "" : "cannot write into '" + folder.string() + "': " + std::strerror(errno);
}

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Encodes the BGRA picture as an RGB PNG; empty on success, else what went wrong.
std::string WritePng(const fs::path& path, const std::vector<uint8_t>& bgra, int width, int height) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) return "this FFmpeg has no PNG encoder";
  std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  if (!context || !frame || !packet) return "out of memory";
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = {1, 1};
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return "cannot open the PNG encoder";
  frame->format = AV_PIX_FMT_RGB24;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return "out of memory";
  for (int y = 0; y < height; ++y) {
    const uint8_t* from = bgra.data() + size_t(y) * width * 4;
    uint8_t* to = frame->data[0] + size_t(y) * frame->linesize[0];
    for (int x = 0; x < width; ++x, from += 4, to += 3) to[0] = from[2], to[1] = from[1], to[2] = from[0];
  }
  if (avcodec_send_frame(context.get(), frame.get()) < 0 || avcodec_send_frame(context.get(), nullptr) < 0 ||
      avcodec_receive_packet(context.get(), packet.get()) < 0) {
    return "the PNG encoder failed";
  }
  std::unique_ptr<FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
  if (!file) return "cannot write '" + path.string() + "': " + std::strerror(errno);
  if (std::fwrite(packet->data, 1, size_t(packet->size), file.get()) != size_t(packet->size) ||
      std::fclose(file.release()) != 0) {
    return "cannot write '" + path.string() + "': " + std::strerror(errno);
  }
  return "";
}

int Snapshot(host::Recorder& recorder, LatestFrame& latest, const fs::path& path) {
  const auto deadline = Clock::now() + kFirstFrameTimeout;
  std::vector<uint8_t> bgra;
  int width = 0, height = 0;
  while (!g_stop && Clock::now() < deadline) {
    {
      std::lock_guard lock(latest.mutex);
      if (latest.count > kSnapshotSkip) {
        bgra = latest.bgra;
        width = latest.width, height = latest.height;
        break;
      }
    }
    poll(nullptr, 0, 20);
  }
  StopPreview(recorder);
  if (bgra.empty()) return Fail(g_stop ? "stopped before a picture came" : "no picture from the camera within 10 s");
  if (const std::string problem = WritePng(path, bgra, width, height); !problem.empty()) return Fail(problem);
  std::fprintf(stderr, "kalto-camera: wrote %dx%d picture to %s\n", width, height, path.c_str());
  return 0;
}

struct DisplayClose {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

// The next preset of the effect's kind, wrapping within its range.
BackgroundEffectConfig NextPreset(BackgroundEffectConfig effect) {
  const auto next = [](int32_t v, int32_t count) { return v >= 0 && v + 1 < count ? v + 1 : 0; };
  if (effect.Mode == 1) effect.BlurStrength = next(effect.BlurStrength, 3);
  if (effect.Mode == 2) effect.ColorPreset = next(effect.ColorPreset, 6);
  if (effect.Mode == 3) effect.GradientPreset = next(effect.GradientPreset, 4);
  if (effect.Mode == 4) effect.ImagePreset = next(effect.ImagePreset, 13);
  return effect;
}

int ShowWindow(Display* display, host::Recorder& recorder, LatestFrame& latest, BackgroundEffectConfig effect) {
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  const int depth = DefaultDepth(display, screen);
  // BGRA bytes are a 32-bit little-endian 0xAARRGGBB pixel: only such a visual takes them as they are.
  if ((depth != 24 && depth != 32) || visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 ||
      visual->blue_mask != 0xFF || ImageByteOrder(display) != LSBFirst) {
    StopPreview(recorder);
    return Fail("the display needs a 24- or 32-bit TrueColor visual");
  }
  // The window takes the preview's size from its first picture.
  const auto deadline = Clock::now() + kFirstFrameTimeout;
  int width = 0, height = 0;
  while (!g_stop && Clock::now() < deadline && width == 0) {
    {
      std::lock_guard lock(latest.mutex);
      width = latest.width, height = latest.height;
    }
    if (width == 0) poll(nullptr, 0, 20);
  }
  if (width == 0) {
    StopPreview(recorder);
    return g_stop ? 0 : Fail("no picture from the camera within 10 s");
  }
  const Window window = XCreateSimpleWindow(display, RootWindow(display, screen), 0, 0, unsigned(width),
                                            unsigned(height), 0, 0, BlackPixel(display, screen));
  Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &deleteWindow, 1);
  XSelectInput(display, window, KeyPressMask | ExposureMask | StructureNotifyMask);
  XStoreName(display, window, "kalto-camera");
  XMapWindow(display, window);
  const GC gc = DefaultGC(display, screen);

  std::vector<uint8_t> shown;
  int shownWidth = 0, shownHeight = 0;
  uint64_t shownCount = 0, countAtSecond = 0;
  auto secondStart = Clock::now();
  bool redraw = false, closed = false;
  while (!g_stop && !closed) {
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, 10);
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == Expose) redraw = true;
      if (event.type == ClientMessage && Atom(event.xclient.data.l[0]) == deleteWindow) closed = true;
      if (event.type != KeyPress) continue;
      char key = 0;
      KeySym sym;
      if (XLookupString(&event.xkey, &key, 1, &sym, nullptr) != 1) continue;
      const BackgroundEffectConfig before = effect;
      if (key == 'e') effect = cli::NextCameraEffect(effect);
      if (key == 'p') effect = NextPreset(effect);
      if (key == 'm') effect.PerformanceMode = (effect.PerformanceMode + 1) % 5;
      if (!(effect == before)) {
        recorder.recorder.V().UpdatePreviewBackgroundEffect(recorder.recorder.Get(), host::ToC(effect));
      }
    }
    {
      std::lock_guard lock(latest.mutex);
      if (latest.count != shownCount) {
        shown = latest.bgra;
        shownWidth = latest.width, shownHeight = latest.height;
        shownCount = latest.count;
        redraw = true;
      }
    }
    if (redraw && !shown.empty()) {
      XImage image{};
      image.width = shownWidth;
      image.height = shownHeight;
      image.format = ZPixmap;
      image.data = reinterpret_cast<char*>(shown.data());
      image.byte_order = LSBFirst;
      image.bitmap_unit = 32;
      image.bitmap_bit_order = LSBFirst;
      image.bitmap_pad = 32;
      image.depth = depth;
      image.bytes_per_line = shownWidth * 4;
      image.bits_per_pixel = 32;
      image.red_mask = visual->red_mask;
      image.green_mask = visual->green_mask;
      image.blue_mask = visual->blue_mask;
      if (XInitImage(&image) != 0) {
        XPutImage(display, window, gc, &image, 0, 0, 0, 0, unsigned(shownWidth), unsigned(shownHeight));
      }
      redraw = false;
    }
    const auto now = Clock::now();
    if (now - secondStart >= std::chrono::seconds(1)) {
      const double seconds = std::chrono::duration<double>(now - secondStart).count();
      KaltoPreviewEffectState state{};
      recorder.host.V().GetPreviewEffectState(recorder.host.Get(), &state);
      char title[160];
      std::snprintf(title, sizeof title, "kalto-camera  %.1f fps  %s  interval %d  tier %d",
                    double(shownCount - countAtSecond) / seconds, cli::CameraEffectName(effect).c_str(),
                    state.Interval, state.Tier);
      XStoreName(display, window, title);
      countAtSecond = shownCount;
      secondStart = now;
    }
    XFlush(display);
  }
  StopPreview(recorder);
  XDestroyWindow(display, window);
  XFlush(display);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BackgroundEffectConfig effect;
  // A live picture needs its mask kept up: Auto unless told otherwise.
  effect.PerformanceMode = 1;
  std::string cameraId = "synthetic:";
  std::string snapshot;
  bool list = false, verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (arg == "--list") {
      list = true;
    } else if (arg == "--effect") {
      if (!cli::ParseCameraEffect(next(), &effect)) {
        return Fail("--effect must be none, blur, blur:0-2, color:0-5, gradient:0-3 or image:0-12");
      }
    } else if (arg == "--performance") {
      int64_t v = 0;
      if (!cli::ParseInteger(next(), &v) || v < 0 || v > 4) return Fail("--performance must be between 0 and 4");
      effect.PerformanceMode = int32_t(v);
    } else if (arg == "--snapshot") {
      const char* v = next();
      if (!v || !*v) return Fail("--snapshot needs a file name");
      snapshot = v;
    } else if (arg == "--verbose") {
      verbose = true;
    } else if (!arg.empty() && arg[0] == '-') {
      PrintUsage(stderr);
      return Fail("unknown option " + arg);
    } else {
      cameraId = arg;
    }
  }
  if (!verbose) SetDebugSink([](std::string_view) {});

  auto platform = platform::DefaultPlatform();
  if (list) return ListCameras(platform->camera.get());
  const host::NativeLibrary library;
  if (!library.Error().empty()) return Fail("cannot load the recorder library: " + library.Error());
  // The frames' buffer outlives the recorder, whose last release waits for a running handler.
  LatestFrame latest;
  host::Recorder recorder = host::Recorder::Activate(library);
  if (!recorder.recorder) return Fail("cannot activate the recorder");
  recorder.host.V().SetDiagnosticOutput(recorder.host.Get(), verbose ? 1 : 0);
  bool exists = false;
  if (cameraId.rfind("file:", 0) == 0) {
    // Registered with the library's own cameras: the recorder opens it there.
    KaltoBoolean added = 0;
    recorder.host.V().AddFileCamera(recorder.host.Get(), library.FromUtf8(cameraId).Get(), &added);
    exists = added != 0;
  } else {
    exists = platform->camera && cli::CameraExists(*platform->camera, Utf8ToWide(cameraId));
  }
  if (!exists) return Fail("no camera with id " + cameraId + " (see --list)");
  if (!snapshot.empty()) {
    if (const std::string problem = CheckSnapshotPath(snapshot); !problem.empty()) return Fail(problem);
  }
  std::unique_ptr<Display, DisplayClose> display;
  if (snapshot.empty()) {
    display.reset(XOpenDisplay(nullptr));
    if (!display) return Fail("cannot open the display (is $DISPLAY set?)");
  }

  const KaltoINativeRecorderVtbl& r = recorder.recorder.V();
  constexpr KaltoGuid kFrameIid = KALTO_IID_ITypedEventHandlerNativeRecorderSoftwareBitmap_VALUE;
  auto onFrame = host::Handler<KaltoITypedEventHandlerNativeRecorderSoftwareBitmap, KaltoINativeRecorder*,
                               KaltoISoftwareBitmap*>::Make(kFrameIid, [&latest](KaltoINativeRecorder*,
                                                                                KaltoISoftwareBitmap* bitmap) {
    if (bitmap) latest.Take(bitmap);
  });
  KaltoEventRegistrationToken token{};
  if (KALTO_FAILED(r.add_PreviewFrameArrived(recorder.recorder.Get(), onFrame.Get(), &token))) {
    return Fail("cannot listen to the preview");
  }
  cli::InstallStopSignals();
  host::Ref<KaltoIAsyncOperationBoolean> start;
  const bool started =
      KALTO_SUCCEEDED(r.StartCameraPreviewAsync(recorder.recorder.Get(), library.FromUtf8(cameraId).Get(), kWidth,
                                                kHeight, kFrameRate, host::ToC(effect), start.Put())) &&
      host::WaitForResult(start.Get());
  if (!started) {
    r.remove_PreviewFrameArrived(recorder.recorder.Get(), token);
    return Fail("could not open camera " + cameraId + " (see --verbose)");
  }
  const int status = display ? ShowWindow(display.get(), recorder, latest, effect) : Snapshot(recorder, latest, snapshot);
  r.remove_PreviewFrameArrived(recorder.recorder.Get(), token);
  return status;
}
