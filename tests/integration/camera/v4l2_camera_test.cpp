// The V4L2 cameras through the camera platform only, over a scripted webcam that answers the
// kernel's calls as a UVC device does.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <libyuv.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <ranges>
#include <thread>

#include "platform/camera/linux/linux_camera_system.h"
#include "support/debug_capture.h"
#include "support/process.h"

namespace kalto::camera::linuxcam {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kCapture = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
constexpr uint32_t kFormats[] = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_NV12};

struct Node { std::string card; uint32_t caps = kCapture; int openError = 0; };

class ScriptedWebcam final : public V4l2Kernel {
  template <typename F>
  auto Locked(F f) {
    std::lock_guard lock(m_mutex);
    m_changed.notify_all();  // a waiting Poll looks again once this returns
    return f();
  }

 public:
  std::map<std::string, Node> nodes;
  uint32_t w = 640, h = 480, fourcc = V4L2_PIX_FMT_YUYV, pad = 0;  // pad: bytes the driver adds per row

  void Push(Bytes payload) { Locked([&] { m_frames.push_back(std::move(payload)); }); }
  // A new size under a running stream: announced by an event, or only by old buffers failing.
  void Resize(uint32_t x, uint32_t y, bool event) { Locked([&] { w = x, h = y, (event ? m_event : m_stale) = true; }); }
  void Unplug() { Locked([&] { m_gone = true; }); }
  // Nothing mapped or open, and nothing streaming or allocated (a gone node refuses to free them).
  bool Idle(bool closed = false) {
    return Locked([&] { return !m_mapped && (m_gone || (!m_on && m_buffers.empty())) && (!closed || m_open.empty()); });
  }

  int Open(const char* path, int) override {
    const int error = !nodes.count(path) ? ENOENT : Locked([&] { return m_gone; }) ? ENODEV : nodes.at(path).openError;
    return error ? (errno = error, -1) : Locked([&] { return m_open[++m_lastFd] = path, m_lastFd; });
  }
  int Close(int fd) override { return Locked([&] { return m_open.erase(fd) ? 0 : (errno = EBADF, -1); }); }
  std::vector<std::string> ListDevices() override {
    return {std::views::keys(nodes).begin(), std::views::keys(nodes).end()};
  }
  void* Mmap(size_t length, int, int, int, off_t offset) override {
    std::lock_guard lock(m_mutex);
    const size_t i = size_t(offset >> 16);
    return i < m_buffers.size() && length == m_buffers[i].size() ? (++m_mapped, m_buffers[i].data()) : MAP_FAILED;
  }
  int Munmap(void*, size_t) override { return Locked([&] { return --m_mapped, 0; }); }
  int Poll(pollfd* fds, nfds_t, int timeoutMs) override {
    std::unique_lock lock(m_mutex);
    auto ready = [&] {
      return short((m_gone || m_stale ? POLLERR : 0) | (m_event ? POLLPRI : 0) |
                   (m_on && !m_frames.empty() && !m_queued.empty() ? POLLIN : 0));
    };
    return m_changed.wait_for(lock, 1ms * timeoutMs, [&] { return (fds->revents = ready()) != 0; });
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    std::lock_guard lock(m_mutex);
    const int error = m_gone ? ENODEV : !m_open.count(fd) ? EBADF : Answer(nodes.at(m_open[fd]), request, arg);
    return error ? (errno = error, -1) : 0;
  }

 private:
  int Answer(const Node& node, unsigned long request, void* arg) {
    const uint32_t stride = (fourcc == V4L2_PIX_FMT_YUYV ? w * 2 : w) + pad;
    // One argument, seen as whichever structure the request takes.
    auto& cap = *static_cast<v4l2_capability*>(arg);
    auto& d = *static_cast<v4l2_fmtdesc*>(arg);
    auto& z = *static_cast<v4l2_frmsizeenum*>(arg);
    auto& i = *static_cast<v4l2_frmivalenum*>(arg);
    auto& f = static_cast<v4l2_format*>(arg)->fmt.pix;
    auto& c = static_cast<v4l2_streamparm*>(arg)->parm.capture;
    auto& b = *static_cast<v4l2_buffer*>(arg);
    auto& e = *static_cast<v4l2_event*>(arg);
    switch (request) {
      case VIDIOC_QUERYCAP:
        memcpy(cap.card, node.card.data(), std::min(node.card.size(), sizeof cap.card));
        return cap.capabilities = node.caps | V4L2_CAP_DEVICE_CAPS, cap.device_caps = node.caps, 0;
      case VIDIOC_ENUM_FMT:
        return d.index < 3 ? (d.pixelformat = kFormats[d.index], 0) : EINVAL;
      case VIDIOC_ENUM_FRAMESIZES:
        return z.index < 2 ? (z.type = 1, z.discrete = {z.index ? 1280u : 640u, z.index ? 720u : 480u}, 0) : EINVAL;
      case VIDIOC_ENUM_FRAMEINTERVALS:
        return i.index == 0 ? (i.type = V4L2_FRMIVAL_TYPE_DISCRETE, i.discrete = {1, 30}, 0) : EINVAL;
      case VIDIOC_S_FMT:  // the nearest size, as drivers choose
        if (!m_buffers.empty()) return EBUSY;
        w = f.width >= 1280 ? 1280 : 640, h = w == 1280 ? 720 : 480, fourcc = f.pixelformat;
        return Answer(node, VIDIOC_G_FMT, arg);
      case VIDIOC_G_FMT:
        return f.width = w, f.height = h, f.pixelformat = fourcc, f.bytesperline = stride, 0;
      case VIDIOC_G_PARM:
      case VIDIOC_S_PARM:
        return c.capability = V4L2_CAP_TIMEPERFRAME, c.timeperframe = {1, 30}, 0;
      case VIDIOC_REQBUFS:
        if (m_mapped || m_on) return EBUSY;  // as vb2: buffers still in use
        m_buffers.assign(static_cast<v4l2_requestbuffers*>(arg)->count, Bytes(stride * h * 2));
        return m_queued.clear(), m_stale = false, 0;
      case VIDIOC_DQBUF:
        if (m_stale || !m_on) return EINVAL;
        if (m_frames.empty() || m_queued.empty()) return EAGAIN;
        b.index = m_queued.front(), m_queued.pop_front();
        b.bytesused = uint32_t(std::min(m_frames.front().size(), m_buffers[b.index].size()));
        std::copy_n(m_frames.front().begin(), b.bytesused, m_buffers[b.index].begin());
        m_frames.pop_front();
        [[fallthrough]];
      case VIDIOC_QUERYBUF:
      case VIDIOC_QBUF:
        if (b.index >= m_buffers.size()) return EINVAL;
        if (request == VIDIOC_QBUF) m_queued.push_back(b.index);
        return b.length = uint32_t(m_buffers[b.index].size()), b.m.offset = b.index << 16, 0;
      case VIDIOC_STREAMON:
      case VIDIOC_STREAMOFF:
        return m_on = request == VIDIOC_STREAMON, 0;
      case VIDIOC_DQEVENT:
        e.type = V4L2_EVENT_SOURCE_CHANGE, e.u.src_change.changes = V4L2_EVENT_SRC_CH_RESOLUTION, e.pending = 0;
        return std::exchange(m_event, false) ? 0 : ENOENT;
      default:
        return request == VIDIOC_SUBSCRIBE_EVENT ? 0 : ENOTTY;
    }
  }

  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<int, std::string> m_open;
  int m_lastFd = 100, m_mapped = 0;
  std::vector<Bytes> m_buffers;
  std::deque<uint32_t> m_queued;
  std::deque<Bytes> m_frames;
  bool m_on = false, m_event = false, m_stale = false, m_gone = false;
};

// Pictures: red where (left XOR top), else blue, or one grey, encoded as the camera sends them.
bool RedAt(uint32_t x, uint32_t y, uint32_t w, uint32_t h) { return (x < w / 2) != (y < h / 2); }

Bytes Picture(const ScriptedWebcam& cam, int grey = -1) {
  const uint32_t w = cam.w, h = cam.h, stride = (cam.fourcc == V4L2_PIX_FMT_YUYV ? w * 2 : w) + cam.pad;
  std::vector<uint32_t> pixels(size_t(w) * h);  // BGRA in memory
  for (uint32_t i = 0; i < w * h; ++i) {
    pixels[i] = grey >= 0 ? 0xFF000000u | grey * 0x10101u : RedAt(i % w, i / w, w, h) ? 0xFFFF0000u : 0xFF0000FFu;
  }
  const auto* bgra = reinterpret_cast<const uint8_t*>(pixels.data());
  if (cam.fourcc == V4L2_PIX_FMT_MJPEG) {
    tjhandle jpeg = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(jpeg, bgra, int(w), 0, int(h), TJPF_BGRA, &out, &size, TJSAMP_420, 90, 0);
    Bytes bytes(out, out + size);
    return tjFree(out), tjDestroy(jpeg), bytes;
  }
  Bytes bytes(size_t(stride) * h * 2, 0xEE);  // padding: junk
  if (cam.fourcc == V4L2_PIX_FMT_YUYV) {
    libyuv::ARGBToYUY2(bgra, int(w * 4), bytes.data(), int(stride), int(w), int(h));
    bytes.resize(stride * (h - 1) + w * 2);  // as short as the layout allows: no padding after the last row
  } else {
    libyuv::ARGBToNV12(bgra, int(w * 4), bytes.data(), int(stride), &bytes[stride * h], int(stride), int(w), int(h));
    bytes.resize(stride * (h + (h + 1) / 2 - 1) + w);
  }
  return bytes;
}

std::array<int, 4> PixelAt(const MediaFrameReference& frame, uint32_t x, uint32_t y) {
  auto buffer = frame.VideoMediaFrame()->SoftwareBitmap()->LockBuffer(BitmapBufferAccessMode::Read);
  const uint8_t* p = buffer->Data() + y * uint32_t(buffer->GetPlaneDescription(0).Stride) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

void ExpectQuadrants(const std::shared_ptr<MediaFrameReference>& frame, uint32_t w, uint32_t h, int tolerance) {
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->VideoMediaFrame()->Direct3DSurface(), nullptr);
  auto bitmap = frame->VideoMediaFrame()->SoftwareBitmap();
  ASSERT_EQ(std::tuple(bitmap->PixelWidth(), bitmap->PixelHeight(), bitmap->PixelFormat()),
            std::tuple(int(w), int(h), BitmapPixelFormat::Bgra8));
  for (uint32_t y : {2u, h / 2 - 3, h / 2 + 2, h - 1}) {
    for (uint32_t x : {w / 4, 3 * w / 4}) {
      const auto bgra = PixelAt(*frame, x, y);
      const int blue = RedAt(x, y, w, h) ? 0 : 255, expected[] = {blue, 0, 255 - blue, 255};
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(bgra[c], expected[c], tolerance) << x << "," << y << " " << c;
    }
  }
}

// One camera at /dev/video0 opened through the platform, with a counting reader.
struct Rig {
  std::shared_ptr<ScriptedWebcam> cam = std::make_shared<ScriptedWebcam>();
  std::shared_ptr<MediaCapture> capture = MakeLinuxCameraSystem(cam)->CreateMediaCapture();
  std::shared_ptr<MediaFrameSource> source;
  std::shared_ptr<MediaFrameReader> reader;
  std::atomic<int> frames{0};

  explicit Rig(MediaFrameReaderAcquisitionMode mode = MediaFrameReaderAcquisitionMode::Buffered) {
    cam->nodes["/dev/video0"] = {"Scripted Webcam"};
    capture->Initialize({L"/dev/video0"});
    source = capture->FrameSources().at(0);
    reader = capture->CreateFrameReader(source, "BGRA8");
    reader->SetAcquisitionMode(mode);
    reader->AddFrameArrived([this](MediaFrameReader&) { ++frames; });
  }
  bool WaitFrames(int n) { return test::WaitFor([&] { return frames >= n; }, 5s); }
};

TEST(V4l2CameraTest, ListsCaptureNodesByNumberThenTheSyntheticCameraAndOpensNoOther) {
  auto cam = std::make_shared<ScriptedWebcam>();
  cam->nodes = {{"/dev/video10", {"0123456789abcdef0123456789abcdef"}},  // a full card field, no NUL
                {"/dev/video2", {"USB Camera"}}, {"/dev/video3", {"USB Camera", V4L2_CAP_META_CAPTURE}},
                {"/dev/video4", {"Output", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING}},
                {"/dev/video5", {"Locked", kCapture, EACCES}}, {"/dev/video6", {"Busy", kCapture, EBUSY}},
                {"/dev/video7", {"Gone", kCapture, ENODEV}}};
  auto system = MakeLinuxCameraSystem(cam);
  EXPECT_FALSE(system->AddFileCamera(L"/tmp/clip.mp4") || system->AddFileCamera(L"file:/nonexistent/clip.mp4"));
  std::vector<std::pair<std::wstring, std::wstring>> seen;
  for (const auto& group : system->FindAllSourceGroups()) {
    const auto& info = group.SourceInfos.at(0);
    EXPECT_EQ(std::tuple(group.SourceInfos.size(), info.SourceKind, info.Id, info.DeviceInformation->Id),
              std::tuple(1u, MediaFrameSourceKind::Color, group.Id, group.Id));
    EXPECT_EQ(info.DeviceInformation->Name, group.DisplayName);
    seen.emplace_back(group.Id, group.DisplayName);
  }
  EXPECT_EQ(seen, (decltype(seen){{L"/dev/video2", L"USB Camera"},
                                  {L"/dev/video10", L"0123456789abcdef0123456789abcdef"},
                                  {L"synthetic:", L"Synthetic camera"}}));
  const std::pair<const wchar_t*, HRESULT> refusals[] = {
      {L"/dev/video9", E_INVALIDARG}, {L"file:/nonexistent/clip.mp4", E_INVALIDARG},
      {L"/dev/video3", MF_E_INVALIDMEDIATYPE}, {L"/dev/video4", MF_E_INVALIDMEDIATYPE},
      {L"/dev/video5", E_ACCESSDENIED}, {L"/dev/video6", MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED},
      {L"/dev/video7", MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED}};
  for (const auto& [id, code] : refusals) {
    auto capture = system->CreateMediaCapture();
    try {
      capture->Initialize({id});
      ADD_FAILURE() << WideToUtf8(id) << " opened";
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.code(), code) << e.message();
      EXPECT_NE(e.message().find(WideToUtf8(id)), std::string::npos) << e.message();
    }
    EXPECT_TRUE(capture->FrameSources().empty());
  }
  EXPECT_TRUE(cam->Idle(true)) << "every probe and refused camera closed";
}

TEST(V4l2CameraTest, OffersEachSizeOfEachFormatAndSetsOnlyThose) {
  Rig rig;
  EXPECT_EQ(rig.source->SupportedFormats(), (std::vector<VideoFormat>{
      {640, 480, "YUY2", 30, 1}, {1280, 720, "YUY2", 30, 1}, {640, 480, "MJPG", 30, 1}, {1280, 720, "MJPG", 30, 1},
      {640, 480, "NV12", 30, 1}, {1280, 720, "NV12", 30, 1}}));
  for (const VideoFormat& refused : {VideoFormat{800, 600, "YUY2", 30, 1}, VideoFormat{640, 480, "YUY2", 60, 1},
                                     VideoFormat{640, 480, "BGRA8", 30, 1}}) {
    EXPECT_THROW(rig.source->SetFormat(refused), PlatformError) << refused.Width << " " << refused.Subtype;
  }
  EXPECT_THROW(rig.capture->CreateFrameReader(rig.source, "NV12"), PlatformError);
  ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success);
  EXPECT_THROW(rig.source->SetFormat({640, 480, "YUY2", 30, 1}), PlatformError) << "while streaming";
  rig.capture->Close();
  rig.capture->Close();
  EXPECT_TRUE(rig.cam->Idle(true));
}

TEST(V4l2CameraTest, FramesArriveAsBgraAndShortOnesAreDropped) {
  const struct { VideoFormat format; uint32_t pad; int tolerance; } cases[] = {
      {{640, 480, "YUY2", 30, 1}, 0, 4}, {{640, 480, "YUY2", 30, 1}, 64, 4},
      {{640, 480, "NV12", 30, 1}, 0, 4}, {{640, 480, "NV12", 0, 1}, 32, 4},
      {{640, 480, "MJPG", 30, 1}, 0, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format.Subtype + " padded by " + std::to_string(c.pad));
    test::DebugCapture debug;
    Rig rig;
    rig.cam->pad = c.pad;
    rig.source->SetFormat(c.format);
    EXPECT_EQ(rig.source->CurrentFormat(), (VideoFormat{640, 480, c.format.Subtype, 30, 1}));
    ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success);
    Bytes good = Picture(*rig.cam), bad = Picture(*rig.cam, 200);
    bad.resize(c.format.Subtype == "MJPG" ? 100 : good.size() - 1);  // MJPEG: not even a header
    rig.cam->Push(bad);
    if (c.format.Subtype == "MJPG") {
      Bytes cut = good, huge = good;
      cut.resize(good.size() / 2);  // a lost USB packet
      for (size_t i = 0; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {  // SOF0: height and width at +5 and +7
          huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;
          break;
        }
      }
      // A decoder that failed must not refuse the frames after.
      rig.cam->Push(cut);
      rig.cam->Push(huge);
    }
    rig.cam->Push(good);
    ASSERT_TRUE(rig.WaitFrames(1));
    ExpectQuadrants(rig.reader->TryAcquireLatestFrame(), 640, 480, c.tolerance);
    EXPECT_EQ(rig.frames, 1) << "only the good frame arrives";
    const std::string why = c.format.Subtype == "MJPG" ? "frame that does not decode (100 bytes)"
        : "short frame (" + std::to_string(bad.size()) + " of " + std::to_string(good.size()) + " bytes)";
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{"[V4l2Camera] /dev/video0: dropped a " + why + "\n"});
  }
}

TEST(V4l2CameraTest, AStreamGoesOnAtANewSizeAndEndsWhenTheCameraGoes) {
  const std::string resized = "[V4l2Camera] /dev/video0: format changed to 1280x720 YUY2\n";
  const std::pair<const char*, std::string> cases[] = {
      {"announced resize", resized}, {"silent resize", resized},
      {"unplug", "[V4l2Camera] /dev/video0: stream ended: No such device\n"}};
  for (const auto& [change, line] : cases) {
    SCOPED_TRACE(change);
    test::DebugCapture debug;
    Rig rig;
    ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success);
    rig.cam->Push(Picture(*rig.cam));
    ASSERT_TRUE(rig.WaitFrames(1));
    const bool unplug = change == std::string("unplug");
    unplug ? rig.cam->Unplug() : rig.cam->Resize(1280, 720, change == std::string("announced resize"));
    ASSERT_TRUE(test::WaitFor([&] { return !debug.Lines().empty() && rig.cam->Idle() == unplug; }, 5s));
    EXPECT_EQ(debug.Lines(), std::vector<std::string>{line});
    if (unplug) {
      rig.reader->Stop();
      EXPECT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::DeviceNotAvailable);
      EXPECT_EQ(debug.Count("[V4l2Camera] /dev/video0: cannot start streaming: No such device\n"), 1);
      continue;
    }
    rig.cam->Push(Picture(*rig.cam));
    ASSERT_TRUE(rig.WaitFrames(2));
    ExpectQuadrants(rig.reader->TryAcquireLatestFrame(), 640, 480, 4);
    ExpectQuadrants(rig.reader->TryAcquireLatestFrame(), 1280, 720, 4);
  }
}

TEST(V4l2CameraTest, RealtimeKeepsTheNewestFrameAndBufferedTheLastThree) {
  using Mode = MediaFrameReaderAcquisitionMode;
  for (auto [mode, expected] : {std::pair{Mode::Realtime, std::vector<int>{200}},
                                std::pair{Mode::Buffered, std::vector<int>{120, 160, 200}}}) {
    Rig rig(mode);
    ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success);
    for (int grey : {40, 80, 120, 160, 200}) rig.cam->Push(Picture(*rig.cam, grey));
    ASSERT_TRUE(rig.WaitFrames(5));
    std::vector<int> greys;
    while (auto frame = rig.reader->TryAcquireLatestFrame()) greys.push_back(PixelAt(*frame, 10, 10)[1]);
    ASSERT_EQ(greys.size(), expected.size());
    for (size_t i = 0; i < greys.size(); ++i) EXPECT_NEAR(greys[i], expected[i], 3);
  }
}

// The state letter of a thread of this process ('S' while it waits).
char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  return text.size() > text.rfind(')') + 2 ? text[text.rfind(')') + 2] : '?';
}

TEST(V4l2CameraTest, RemovingAHandlerWaitsForItUnlessItRemovesItself) {
  Rig rig;
  const pid_t owner = gettid();
  std::atomic<bool> entered{false}, finished{false};
  std::atomic<int> selfCalls{0};
  // Runs until this thread waits in RemoveFrameArrived (or, wrongly, gets past it and sleeps later).
  const EventToken slow = rig.reader->AddFrameArrived([&](MediaFrameReader&) {
    for (entered = true; ThreadState(owner) != 'S';) std::this_thread::yield();
    finished = true;
  });
  EventToken self = 0;
  self = rig.reader->AddFrameArrived([&](MediaFrameReader& sender) {
    ++selfCalls, sender.RemoveFrameArrived(self), sender.Stop();  // from inside: neither waits for itself
  });
  ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success);
  rig.cam->Push(Picture(*rig.cam));
  // Runnable, never waiting, until the handler runs.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!entered && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  rig.reader->RemoveFrameArrived(slow);
  EXPECT_TRUE(finished) << "returned while the handler ran";
  ASSERT_TRUE(test::WaitFor([&] { return selfCalls == 1 && rig.cam->Idle(); }, 5s)) << "stopped by its handler";
  ASSERT_EQ(rig.reader->Start(), MediaFrameReaderStartStatus::Success) << "again, after a stop from inside";
  rig.cam->Push(Picture(*rig.cam));
  ASSERT_TRUE(rig.WaitFrames(2));
  EXPECT_EQ(selfCalls, 1);
}

TEST(V4l2CameraTest, TwoCapturesOfOneCameraShareItsStreamAndEitherMayStopFirst) {
  for (const bool firstStopsFirst : {true, false}) {
    SCOPED_TRACE(firstStopsFirst ? "first stops first" : "second stops first");
    auto cam = std::make_shared<ScriptedWebcam>();
    cam->nodes["/dev/video0"] = {"Scripted Webcam"};
    auto system = MakeLinuxCameraSystem(cam);
    struct Reader { std::shared_ptr<MediaCapture> capture; std::shared_ptr<MediaFrameReader> reader; std::atomic<int> frames{0}; };
    Reader readers[2];
    for (Reader& r : readers) {
      r.capture = system->CreateMediaCapture();
      r.capture->Initialize({L"/dev/video0", MediaCaptureSharingMode::SharedReadOnly});
      r.reader = r.capture->CreateFrameReader(r.capture->FrameSources().at(0), "BGRA8");
      r.reader->AddFrameArrived([&r](MediaFrameReader&) { ++r.frames; });
    }
    auto& [first, second] = readers;
    auto source = second.capture->FrameSources().at(0);
    source->SetFormat({1280, 720, "YUY2", 30, 1});
    ASSERT_EQ(first.reader->Start(), MediaFrameReaderStartStatus::Success);
    ASSERT_EQ(second.reader->Start(), MediaFrameReaderStartStatus::Success) << "joins the running stream";
    try {
      source->SetFormat({640, 480, "YUY2", 30, 1});
      ADD_FAILURE() << "changed the format under the other reader";
    } catch (const PlatformError& e) {
      EXPECT_EQ(e.code(), MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED) << e.message();
    }
    cam->Push(Picture(*cam));
    ASSERT_TRUE(test::WaitFor([&] { return first.frames == 1 && second.frames == 1; }, 5s));
    ExpectQuadrants(first.reader->TryAcquireLatestFrame(), 1280, 720, 4);
    ExpectQuadrants(second.reader->TryAcquireLatestFrame(), 1280, 720, 4);

    Reader& stopped = firstStopsFirst ? first : second;
    Reader& running = firstStopsFirst ? second : first;
    stopped.reader->Stop();
    stopped.capture->Close();
    cam->Push(Picture(*cam));
    ASSERT_TRUE(test::WaitFor([&] { return running.frames == 2; }, 5s)) << "the other reader goes on";
    EXPECT_EQ(stopped.frames, 1);
    EXPECT_FALSE(cam->Idle(true));
    running.capture->Close();
    EXPECT_TRUE(cam->Idle(true)) << "stopped and closed with the last capture";
    // Opened again afresh once every capture has gone.
    auto again = system->CreateMediaCapture();
    again->Initialize({L"/dev/video0"});
    auto reader = again->CreateFrameReader(again->FrameSources().at(0), "BGRA8");
    EXPECT_EQ(reader->Start(), MediaFrameReaderStartStatus::Success);
    again->Close();
    EXPECT_TRUE(cam->Idle(true));
  }
}

}  // namespace
}  // namespace kalto::camera::linuxcam
