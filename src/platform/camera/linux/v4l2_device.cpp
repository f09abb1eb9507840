#include "platform/camera/linux/v4l2_device.h"

#include <fcntl.h>
#include <libyuv.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <sys/mman.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/counters.h"
#include "common/debug_output.h"
#include "common/steady_clock.h"

namespace kalto::camera::linuxcam {
namespace {

constexpr uint32_t kBufferCount = 4;
// Short, so that Stop and an unplug are noticed within a frame or two.
constexpr int kPollTimeoutMs = 50;
// A node that keeps reporting an error without ever handing a buffer or an error code is dead.
constexpr int kMaxEmptyErrorPolls = 100;

struct Fourcc {
  uint32_t code;
  const char* subtype;
};
constexpr Fourcc kConvertible[] = {
    {V4L2_PIX_FMT_YUYV, "YUY2"}, {V4L2_PIX_FMT_NV12, "NV12"}, {V4L2_PIX_FMT_MJPEG, "MJPG"}};

const char* SubtypeOf(uint32_t code) {
  for (const Fourcc& f : kConvertible) {
    if (f.code == code) return f.subtype;
  }
  return nullptr;
}

std::string FourccText(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[size_t(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return text;
}

// The driver's text fields are fixed arrays that need not end in a NUL.
std::string FieldText(const __u8* field, size_t size) {
  const auto* begin = reinterpret_cast<const char*>(field);
  return std::string(begin, strnlen(begin, size));
}

uint32_t CapsOf(const v4l2_capability& cap) {
  return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
}

bool SameRate(const VideoFormat& a, const VideoFormat& b) {
  return uint64_t(a.FrameRateNumerator) * b.FrameRateDenominator ==
         uint64_t(b.FrameRateNumerator) * a.FrameRateDenominator;
}

// The layout the driver settled on for the stream that runs.
struct StreamFormat {
  uint32_t pixelFormat = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bytesPerLine = 0;
  friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

struct MappedBuffer {
  void* data = nullptr;
  size_t length = 0;
};

struct JpegDecoderFree {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using JpegDecoder = std::unique_ptr<void, JpegDecoderFree>;

class V4l2Device final : public SourceDevice, public std::enable_shared_from_this<V4l2Device> {
 public:
  V4l2Device(std::shared_ptr<V4l2Kernel> kernel, std::string path)
      : m_kernel(std::move(kernel)), m_path(std::move(path)), m_name(Utf8ToWide(m_path)) {}

  ~V4l2Device() override {
    if (m_thread.joinable()) {
      // Only the stream thread's own reference can be the last one while it runs (it holds one);
      // it is then on its way out and touches nothing of this object any more.
      if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
      } else {
        m_stop = true;
        m_thread.join();
      }
    }
    if (m_fd >= 0) m_kernel->Close(m_fd);
  }

  std::wstring Id() const override { return Utf8ToWide(m_path); }
  std::wstring Name() const override {
    std::lock_guard lock(m_fdMutex);
    return m_name;
  }

  void Open() override {
    std::lock_guard control(m_control);
    std::lock_guard lock(m_fdMutex);
    if (m_fd >= 0) return;
    const int fd = m_kernel->Open(m_path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) Throw(errno, "Cannot open");
    v4l2_capability cap{};
    if (m_kernel->Ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
      const int error = errno;
      m_kernel->Close(fd);
      Throw(error, "Cannot query");
    }
    const uint32_t caps = CapsOf(cap);
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0 || (caps & V4L2_CAP_STREAMING) == 0) {
      m_kernel->Close(fd);
      throw PlatformError(MF_E_INVALIDMEDIATYPE, m_path + " is not a streaming video capture device");
    }
    // Capture cards announce a new input size this way; webcams do not, which costs nothing.
    v4l2_event_subscription subscription{};
    subscription.type = V4L2_EVENT_SOURCE_CHANGE;
    m_kernel->Ioctl(fd, VIDIOC_SUBSCRIBE_EVENT, &subscription);
    m_name = Utf8ToWide(FieldText(cap.card, sizeof cap.card));
    m_fd = fd;
  }

  std::vector<VideoFormat> SupportedFormats() override {
    std::lock_guard lock(m_fdMutex);
    RequireOpen();
    std::vector<VideoFormat> formats;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; m_kernel->Ioctl(m_fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
      const char* subtype = SubtypeOf(desc.pixelformat);
      if (subtype == nullptr) continue;  // nothing here converts it
      v4l2_frmsizeenum size{};
      size.pixel_format = desc.pixelformat;
      for (size.index = 0; m_kernel->Ioctl(m_fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
          AddRates(formats, subtype, desc.pixelformat, size.discrete.width, size.discrete.height);
        } else {
          // A range: its largest size stands for it.
          AddRates(formats, subtype, desc.pixelformat, size.stepwise.max_width, size.stepwise.max_height);
          break;
        }
      }
    }
    return formats;
  }

  VideoFormat CurrentFormat() override {
    std::lock_guard lock(m_fdMutex);
    RequireOpen();
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_kernel->Ioctl(m_fd, VIDIOC_G_FMT, &fmt) < 0) Throw(errno, "Cannot read the format of");
    VideoFormat format;
    format.Width = fmt.fmt.pix.width;
    format.Height = fmt.fmt.pix.height;
    const char* subtype = SubtypeOf(fmt.fmt.pix.pixelformat);
    format.Subtype = subtype ? subtype : FourccText(fmt.fmt.pix.pixelformat);
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_kernel->Ioctl(m_fd, VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.numerator != 0) {
      format.FrameRateNumerator = parm.parm.capture.timeperframe.denominator;
      format.FrameRateDenominator = parm.parm.capture.timeperframe.numerator;
    }
    return format;
  }

  void SetFormat(const VideoFormat& format) override {
    const auto offered = SupportedFormats();
    const bool known = std::any_of(offered.begin(), offered.end(), [&](const VideoFormat& f) {
      return f.Width == format.Width && f.Height == format.Height && f.Subtype == format.Subtype &&
             (format.FrameRateNumerator == 0 || SameRate(f, format));
    });
    if (!known) {
      throw PlatformError(MF_E_INVALIDMEDIATYPE, m_path + " does not offer " + std::to_string(format.Width) + "x" +
                                                     std::to_string(format.Height) + " " + format.Subtype + " at " +
                                                     std::to_string(format.FrameRateNumerator) + "/" +
                                                     std::to_string(format.FrameRateDenominator));
    }
    std::lock_guard lock(m_fdMutex);
    RequireOpen();
    if (m_streaming) throw PlatformError(MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED, m_path + " is streaming");
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = format.Width;
    fmt.fmt.pix.height = format.Height;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    uint32_t requested = 0;
    for (const Fourcc& f : kConvertible) {
      if (format.Subtype == f.subtype) requested = f.code;
    }
    fmt.fmt.pix.pixelformat = requested;
    if (m_kernel->Ioctl(m_fd, VIDIOC_S_FMT, &fmt) < 0) Throw(errno, "Cannot set the format of");
    if (fmt.fmt.pix.width != format.Width || fmt.fmt.pix.height != format.Height ||
        fmt.fmt.pix.pixelformat != requested) {
      throw PlatformError(MF_E_INVALIDMEDIATYPE, m_path + " chose " + std::to_string(fmt.fmt.pix.width) + "x" +
                                                     std::to_string(fmt.fmt.pix.height) + " " +
                                                     FourccText(fmt.fmt.pix.pixelformat) + " instead");
    }
    if (format.FrameRateNumerator == 0) return;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_kernel->Ioctl(m_fd, VIDIOC_G_PARM, &parm) < 0 ||
        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0) {
      return;  // the device runs at the one rate it has
    }
    parm.parm.capture.timeperframe = {format.FrameRateDenominator, format.FrameRateNumerator};
    if (m_kernel->Ioctl(m_fd, VIDIOC_S_PARM, &parm) < 0) Throw(errno, "Cannot set the frame rate of");
  }

  MediaFrameReaderStartStatus Start(FrameSink frames, EndedSink ended) override {
    if (OnStreamThread()) return MediaFrameReaderStartStatus::UnknownFailure;
    std::lock_guard control(m_control);
    if (m_thread.joinable()) {
      if (!m_stop && m_streaming) return MediaFrameReaderStartStatus::ExclusiveControlNotAvailable;
      m_thread.join();  // a stream that ended by itself or was stopped from its own thread
    }
    if (m_fd < 0) return MediaFrameReaderStartStatus::DeviceNotAvailable;
    int error = 0;
    if (!BeginStreaming(error)) {
      EndStreaming();
      DebugLog<256>(L"[V4l2Camera] %s: cannot start streaming: %s\n", m_path.c_str(), ErrnoText(error).c_str());
      if (error == EPROTO) return MediaFrameReaderStartStatus::OutputFormatNotSupported;
      if (error == EBUSY) return MediaFrameReaderStartStatus::ExclusiveControlNotAvailable;
      return IsDeviceGone(error) ? MediaFrameReaderStartStatus::DeviceNotAvailable
                                 : MediaFrameReaderStartStatus::UnknownFailure;
    }
    m_stop = false;
    m_streaming = true;
    m_thread = std::thread([self = shared_from_this(), frames = std::move(frames), ended = std::move(ended)] {
      self->Run(frames, ended);
    });
    return MediaFrameReaderStartStatus::Success;
  }

  void Stop() override {
    // From inside a frame sink the stream ends once the sink returns; the next Start, Close or
    // the destructor joins the thread.
    if (OnStreamThread()) {
      m_stop = true;
      return;
    }
    // Under the lock, so that a Start running meanwhile cannot clear the request.
    std::lock_guard control(m_control);
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
  }

  void Close() override {
    Stop();
    if (OnStreamThread()) return;  // the descriptor is closed with the device
    std::lock_guard control(m_control);
    std::lock_guard lock(m_fdMutex);
    if (m_fd >= 0) m_kernel->Close(m_fd);
    m_fd = -1;
  }

 private:
  [[noreturn]] void Throw(int error, const char* what) const {
    throw PlatformError(HrFromErrno(error), std::string(what) + " " + m_path + ": " + ErrnoText(error));
  }

  void RequireOpen() const {
    if (m_fd < 0) throw PlatformError(RO_E_CLOSED, m_path + " is not open");
  }

  bool OnStreamThread() const { return m_streamThread.load() == std::this_thread::get_id(); }

  int Ioctl(unsigned long request, void* arg) { return m_kernel->Ioctl(m_fd, request, arg); }

  void AddRates(std::vector<VideoFormat>& formats, const char* subtype, uint32_t code, uint32_t width,
                uint32_t height) {
    v4l2_frmivalenum interval{};
    interval.pixel_format = code;
    interval.width = width;
    interval.height = height;
    const size_t before = formats.size();
    for (interval.index = 0; Ioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index) {
      // A range gives its fastest rate (its shortest interval).
      const v4l2_fract t =
          interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
      if (t.numerator != 0) formats.push_back({width, height, subtype, t.denominator, t.numerator});
      if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
    }
    if (formats.size() == before) formats.push_back({width, height, subtype, 0, 1});
  }

  // Stream thread (or Start before it exists): buffers and the stream format.
  bool BeginStreaming(int& error) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(VIDIOC_G_FMT, &fmt) < 0) return error = errno, false;
    if (SubtypeOf(fmt.fmt.pix.pixelformat) == nullptr) return error = EPROTO, false;
    m_format = {fmt.fmt.pix.pixelformat, fmt.fmt.pix.width, fmt.fmt.pix.height, fmt.fmt.pix.bytesperline};
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(VIDIOC_REQBUFS, &request) < 0) return error = errno, false;
    if (request.count == 0) return error = ENOMEM, false;
    for (uint32_t i = 0; i < request.count; ++i) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      buffer.index = i;
      if (Ioctl(VIDIOC_QUERYBUF, &buffer) < 0) return error = errno, false;
      void* data = m_kernel->Mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, buffer.m.offset);
      if (data == MAP_FAILED) return error = errno, false;
      m_buffers.push_back({data, buffer.length});
      if (Ioctl(VIDIOC_QBUF, &buffer) < 0) return error = errno, false;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(VIDIOC_STREAMON, &type) < 0) return error = errno, false;
    return true;
  }

  // Undoes whatever BeginStreaming got to; failures change nothing (the node may be gone).
  void EndStreaming() {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    Ioctl(VIDIOC_STREAMOFF, &type);
    for (const MappedBuffer& b : m_buffers) m_kernel->Munmap(b.data, b.length);
    m_buffers.clear();
    v4l2_requestbuffers release{};
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    Ioctl(VIDIOC_REQBUFS, &release);
  }

  bool Renegotiate(int& error) {
    EndStreaming();
    if (!BeginStreaming(error)) return false;
    DebugLog<256>(L"[V4l2Camera] %s: format changed to %ux%u %s\n", m_path.c_str(), m_format.width, m_format.height,
                  SubtypeOf(m_format.pixelFormat));
    return true;
  }

  bool ResolutionChanged() {
    bool changed = false;
    v4l2_event event{};
    while (Ioctl(VIDIOC_DQEVENT, &event) == 0) {
      if (event.type == V4L2_EVENT_SOURCE_CHANGE && (event.u.src_change.changes & V4L2_EVENT_SRC_CH_RESOLUTION)) {
        changed = true;
      }
      if (event.pending == 0) break;
    }
    return changed;
  }

  bool FormatDiffers() {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(VIDIOC_G_FMT, &fmt) < 0) return false;
    return StreamFormat{fmt.fmt.pix.pixelformat, fmt.fmt.pix.width, fmt.fmt.pix.height, fmt.fmt.pix.bytesperline} !=
           m_format;
  }

  void Run(const FrameSink& frames, const EndedSink& ended) {
    m_streamThread = std::this_thread::get_id();
    pthread_setname_np(pthread_self(), "v4l2 camera");
    int error = 0;
    int emptyErrorPolls = 0;
    while (!m_stop && error == 0) {
      pollfd p{m_fd, POLLIN | POLLPRI, 0};
      const int ready = m_kernel->Poll(&p, 1, kPollTimeoutMs);
      if (ready < 0) {
        if (errno != EINTR) error = errno;
        continue;
      }
      if (ready == 0) continue;
      if ((p.revents & POLLNVAL) != 0) {
        error = ENODEV;
      } else if ((p.revents & POLLPRI) != 0 && ResolutionChanged()) {
        Renegotiate(error);
      } else if ((p.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        const bool delivered = DequeueOne(frames, error);
        emptyErrorPolls = delivered || (p.revents & POLLIN) != 0 ? 0 : emptyErrorPolls + 1;
        if (emptyErrorPolls > kMaxEmptyErrorPolls) error = EIO;
      }
    }
    EndStreaming();
    m_streaming = false;
    if (!m_stop) {
      DebugLog<256>(L"[V4l2Camera] %s: stream ended: %s\n", m_path.c_str(), ErrnoText(error).c_str());
      try {
        ended();
      } catch (...) {
      }
    }
    m_streamThread = std::thread::id();
  }

  // True when a buffer came back; `error` is set when the stream cannot go on.
  bool DequeueOne(const FrameSink& frames, int& error) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (Ioctl(VIDIOC_DQBUF, &buffer) < 0) {
      const int e = errno;
      if (e == EAGAIN || e == EINTR) return false;
      // A driver that changed its format under a running stream refuses the old buffers.
      if ((e == EINVAL || e == EPIPE) && FormatDiffers()) {
        Renegotiate(error);
      } else {
        error = e;
      }
      return false;
    }
    const int64_t timeNs = SteadyNowNs();
    if (buffer.index >= m_buffers.size()) return error = EINVAL, false;
    std::shared_ptr<SoftwareBitmap> frame;
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
      const MappedBuffer& mapped = m_buffers[buffer.index];
      frame = Convert(static_cast<const uint8_t*>(mapped.data), std::min<size_t>(buffer.bytesused, mapped.length));
    }
    if (Ioctl(VIDIOC_QBUF, &buffer) < 0) error = errno;
    if (frame) {
      try {
        frames(std::move(frame), timeNs);
      } catch (...) {
      }
    }
    return true;
  }

  // Null for a frame that is short for its size or does not decode.
  std::shared_ptr<SoftwareBitmap> Convert(const uint8_t* data, size_t size) {
    if (m_format.pixelFormat == V4L2_PIX_FMT_MJPEG) return Decode(data, size);
    const bool yuyv = m_format.pixelFormat == V4L2_PIX_FMT_YUYV;
    const int width = static_cast<int>(m_format.width), height = static_cast<int>(m_format.height);
    if (width <= 0 || height <= 0) return Drop(size, 0);
    const size_t w = size_t(width), h = size_t(height);
    const size_t stride = std::max<size_t>(m_format.bytesPerLine, yuyv ? w * 2 : w);
    // The last row needs no padding after it.
    const size_t needed = yuyv ? stride * (h - 1) + w * 2 : stride * (h + (h + 1) / 2 - 1) + (w + 1) / 2 * 2;
    if (size < needed) return Drop(size, needed);
    auto frame = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, width, height);
    auto lock = frame->LockBuffer(BitmapBufferAccessMode::Write);
    uint8_t* dst = lock->Data();
    const int dstStride = lock->GetPlaneDescription(0).Stride, s = int(stride);
    const int failed = yuyv ? libyuv::YUY2ToARGB(data, s, dst, dstStride, width, height)
                            : libyuv::NV12ToARGB(data, s, data + stride * h, s, dst, dstStride, width, height);
    return failed == 0 ? frame : Drop(size, 0);
  }

  // Straight into the bitmap, at the JPEG's own size (which wins over a format the driver may not
  // have updated). The decoder lives as long as the device, so a frame costs only its bitmap.
  static constexpr int kMaxJpegSide = 8192;
  std::shared_ptr<SoftwareBitmap> Decode(const uint8_t* data, size_t size) {
    if (!m_jpeg) m_jpeg.reset(tjInitDecompress());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (!m_jpeg || tjDecompressHeader3(m_jpeg.get(), data, size, &width, &height, &subsampling, &colorspace) != 0 ||
        width <= 0 || height <= 0 || width > kMaxJpegSide || height > kMaxJpegSide) {
      // A damaged header may claim 65535x65535: that would be a 16 GB picture.
      return DropJpeg(size);
    }
    auto frame = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, width, height);
    auto lock = frame->LockBuffer(BitmapBufferAccessMode::Write);
    // BGRA comes out with alpha 255. A frame cut short (a USB packet lost) fails too: half of it
    // would be grey, and the last good frame stays up instead.
    const int failed = tjDecompress2(m_jpeg.get(), data, size, lock->Data(), width,
                                     lock->GetPlaneDescription(0).Stride, height, TJPF_BGRA, 0);
    return failed == 0 ? frame : DropJpeg(size);
  }

  // A decompressor that failed mid-frame refuses every later frame ("improper call in state"):
  // the next frame gets a new one.
  std::nullptr_t DropJpeg(size_t size) {
    m_jpeg.reset();
    return Drop(size, 0);
  }

  // A camera that sends broken frames sends many: the first and every 100th are told.
  std::nullptr_t Drop(size_t size, size_t needed) {
    if (!IsEveryNthFromFirst(++m_dropped, 100)) return nullptr;
    if (needed > size) {
      DebugLog<256>(L"[V4l2Camera] %s: dropped a short frame (%zu of %zu bytes)\n", m_path.c_str(), size, needed);
    } else {
      DebugLog<256>(L"[V4l2Camera] %s: dropped a frame that does not decode (%zu bytes)\n", m_path.c_str(), size);
    }
    return nullptr;
  }

  const std::shared_ptr<V4l2Kernel> m_kernel;
  const std::string m_path;
  std::mutex m_control;          // Start, Stop and Close; never taken by the stream thread
  mutable std::mutex m_fdMutex;  // the descriptor and name against queries from any thread
  int m_fd = -1;
  std::wstring m_name;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_streaming{false};
  std::atomic<std::thread::id> m_streamThread{};
  std::thread m_thread;
  // Owned by the stream thread while it runs, by Start before.
  StreamFormat m_format;
  std::vector<MappedBuffer> m_buffers;
  int64_t m_dropped = 0;
  JpegDecoder m_jpeg;
};

}  // namespace

std::optional<std::string> ProbeV4l2Capture(V4l2Kernel& kernel, const std::string& path) {
  const int fd = kernel.Open(path.c_str(), O_RDWR | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  v4l2_capability cap{};
  const bool asked = kernel.Ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0;
  kernel.Close(fd);
  if (!asked || (CapsOf(cap) & V4L2_CAP_VIDEO_CAPTURE) == 0) return std::nullopt;
  return FieldText(cap.card, sizeof cap.card);
}

std::shared_ptr<SourceDevice> MakeV4l2Device(std::shared_ptr<V4l2Kernel> kernel, std::string path) {
  return std::make_shared<V4l2Device>(std::move(kernel), std::move(path));
}

}  // namespace kalto::camera::linuxcam
