#pragma once
// Cameras: frame source groups, a media capture opened on one group, its frame sources with their
// formats, a frame reader that delivers BGRA8 frames on its own thread, and software bitmaps.
// Calls the platform reports as failed throw kalto::PlatformError, as its projection does. The
// platform's asynchronous operations are blocking calls here; a caller that must not wait for
// ever runs them on a bounded task.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "platform/gpu/gpu_device.h"

namespace kalto::camera {

// ---------------------------------------------------------------------------------------------
// Software bitmaps

enum class BitmapPixelFormat : int32_t { Unknown = 0, Rgba8 = 30, Bgra8 = 87, Nv12 = 103, Yuy2 = 107 };
enum class BitmapAlphaMode : int32_t { Premultiplied = 0, Straight = 1, Ignore = 2 };
enum class BitmapBufferAccessMode : int32_t { Read = 0, ReadWrite = 1, Write = 2 };

struct BitmapPlaneDescription {
  int32_t StartIndex = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  int32_t Stride = 0;
};

class SoftwareBitmap;

// A locked bitmap buffer: the bytes stay valid, and the bitmap locked, while it lives.
class BitmapBuffer {
 public:
  BitmapBuffer(std::shared_ptr<SoftwareBitmap> bitmap, BitmapBufferAccessMode mode);
  ~BitmapBuffer();
  BitmapBuffer(const BitmapBuffer&) = delete;
  BitmapBuffer& operator=(const BitmapBuffer&) = delete;

  int32_t GetPlaneCount() const;
  BitmapPlaneDescription GetPlaneDescription(int32_t index) const;
  uint8_t* Data();
  // Bytes that Data() may be read or written through.
  uint32_t Capacity() const;
  BitmapBufferAccessMode Mode() const { return m_mode; }

 private:
  std::shared_ptr<SoftwareBitmap> m_bitmap;
  BitmapBufferAccessMode m_mode;
};

// Pixels in system memory. Bgra8 and Rgba8 have one plane; Nv12 two (Y, then interleaved UV);
// Yuy2 one of 2 bytes per pixel.
class SoftwareBitmap : public std::enable_shared_from_this<SoftwareBitmap> {
 public:
  // Throws PlatformError(E_INVALIDARG) for a size <= 0 or an unknown format.
  static std::shared_ptr<SoftwareBitmap> Create(BitmapPixelFormat format, int32_t width, int32_t height,
                                                BitmapAlphaMode alpha = BitmapAlphaMode::Premultiplied);
  // A bitmap over bytes laid out by a producer: rows `stride` bytes apart in a buffer of
  // `bytes.size()` bytes. Nothing is checked: a camera may describe its buffer wrongly, and its
  // readers must check the plane against the capacity.
  static std::shared_ptr<SoftwareBitmap> CreateWithLayout(BitmapPixelFormat format, int32_t width, int32_t height,
                                                          BitmapAlphaMode alpha, int32_t stride,
                                                          std::vector<uint8_t> bytes);
  // Converts between Bgra8, Rgba8, Nv12 and Yuy2 sources into Bgra8 or Rgba8 with the alpha mode
  // asked for. Throws PlatformError(E_INVALIDARG) for what it cannot convert.
  static std::shared_ptr<SoftwareBitmap> Convert(const SoftwareBitmap& source, BitmapPixelFormat format,
                                                 BitmapAlphaMode alpha);

  camera::BitmapPixelFormat PixelFormat() const { return m_format; }
  camera::BitmapAlphaMode AlphaMode() const { return m_alpha; }
  int32_t PixelWidth() const { return m_width; }
  int32_t PixelHeight() const { return m_height; }
  std::unique_ptr<BitmapBuffer> LockBuffer(BitmapBufferAccessMode mode);

 private:
  friend class BitmapBuffer;
  SoftwareBitmap() = default;

  camera::BitmapPixelFormat m_format = camera::BitmapPixelFormat::Unknown;
  camera::BitmapAlphaMode m_alpha = camera::BitmapAlphaMode::Premultiplied;
  int32_t m_width = 0;
  int32_t m_height = 0;
  int32_t m_stride = 0;
  std::vector<uint8_t> m_bytes;
};

// ---------------------------------------------------------------------------------------------
// Source groups

enum class MediaFrameSourceKind : int32_t { Custom = 0, Color = 1, Infrared = 2, Depth = 3 };

struct DeviceInformation {
  std::wstring Id;
  std::wstring Name;
};

struct MediaFrameSourceInfo {
  std::wstring Id;
  MediaFrameSourceKind SourceKind = MediaFrameSourceKind::Color;
  std::optional<camera::DeviceInformation> DeviceInformation;
};

struct MediaFrameSourceGroup {
  std::wstring Id;
  std::wstring DisplayName;
  std::vector<MediaFrameSourceInfo> SourceInfos;
};

// ---------------------------------------------------------------------------------------------
// Media capture

enum class MediaCaptureSharingMode : int32_t { ExclusiveControl = 0, SharedReadOnly = 1 };
enum class MediaCaptureMemoryPreference : int32_t { Auto = 0, Cpu = 1 };
enum class StreamingCaptureMode : int32_t { AudioAndVideo = 0, Audio = 1, Video = 2 };

struct MediaCaptureInitializationSettings {
  std::wstring SourceGroupId;
  MediaCaptureSharingMode SharingMode = MediaCaptureSharingMode::ExclusiveControl;
  MediaCaptureMemoryPreference MemoryPreference = MediaCaptureMemoryPreference::Auto;
  camera::StreamingCaptureMode StreamingCaptureMode = camera::StreamingCaptureMode::AudioAndVideo;
};

// The subtypes a camera delivers in ("YUY2", "NV12", "MJPG", "BGRA8", ...).
struct VideoFormat {
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::string Subtype;
  uint32_t FrameRateNumerator = 0;
  uint32_t FrameRateDenominator = 1;
  friend bool operator==(const VideoFormat&, const VideoFormat&) = default;
};

class MediaFrameSource {
 public:
  virtual ~MediaFrameSource() = default;
  virtual MediaFrameSourceInfo Info() const = 0;
  virtual VideoFormat CurrentFormat() const = 0;
  virtual std::vector<VideoFormat> SupportedFormats() const = 0;
  // Throws when the source refuses the format (or another reader has it started).
  virtual void SetFormat(const VideoFormat& format) = 0;
};

// A delivered frame. The software bitmap is the normal case (memory preference Cpu); a source that
// hands GPU surfaces gives a texture of its own device instead.
class VideoMediaFrame {
 public:
  virtual ~VideoMediaFrame() = default;
  virtual std::shared_ptr<camera::SoftwareBitmap> SoftwareBitmap() const = 0;
  virtual std::shared_ptr<gpu::Texture2D> Direct3DSurface() const = 0;
};

class MediaFrameReference {
 public:
  virtual ~MediaFrameReference() = default;
  // Null for a frame that is not video.
  virtual std::shared_ptr<camera::VideoMediaFrame> VideoMediaFrame() const = 0;
};

enum class MediaFrameReaderAcquisitionMode : int32_t { Realtime = 0, Buffered = 1 };
enum class MediaFrameReaderStartStatus : int32_t {
  Success = 0,
  UnknownFailure = 1,
  DeviceNotAvailable = 2,
  OutputFormatNotSupported = 3,
  ExclusiveControlNotAvailable = 4,
};

using EventToken = int64_t;

class MediaFrameReader {
 public:
  virtual ~MediaFrameReader() = default;
  virtual void SetAcquisitionMode(MediaFrameReaderAcquisitionMode mode) = 0;
  virtual MediaFrameReaderAcquisitionMode AcquisitionMode() const = 0;
  // Called on the reader's own thread for every frame that arrives.
  using FrameArrivedHandler = std::function<void(MediaFrameReader& sender)>;
  virtual EventToken AddFrameArrived(FrameArrivedHandler handler) = 0;
  // Returns after any running invocation of that handler has ended, unless called from it.
  virtual void RemoveFrameArrived(EventToken token) = 0;
  // The newest frame not yet taken (Realtime drops older ones; Buffered keeps a short queue);
  // null when none is waiting.
  virtual std::shared_ptr<MediaFrameReference> TryAcquireLatestFrame() = 0;
  // Starts streaming. Blocks until the device answers.
  virtual MediaFrameReaderStartStatus Start() = 0;
  // Stops streaming; frames stop arriving before it returns. Blocks.
  virtual void Stop() = 0;
};

class MediaCapture {
 public:
  virtual ~MediaCapture() = default;
  // Opens the group's device. Throws PlatformError when it cannot.
  virtual void Initialize(const MediaCaptureInitializationSettings& settings) = 0;
  // In the platform map's iteration order.
  virtual std::vector<std::shared_ptr<MediaFrameSource>> FrameSources() = 0;
  // A reader converting the source's frames to `subtype` ("BGRA8").
  virtual std::shared_ptr<MediaFrameReader> CreateFrameReader(const std::shared_ptr<MediaFrameSource>& source,
                                                              const std::string& subtype) = 0;
  // Releases the device; readers stop. Safe more than once.
  virtual void Close() = 0;
};

class CameraSystem {
 public:
  virtual ~CameraSystem() = default;
  // Every camera, in enumeration order.
  virtual std::vector<MediaFrameSourceGroup> FindAllSourceGroups() = 0;
  virtual std::shared_ptr<MediaCapture> CreateMediaCapture() = 0;
  // Makes a `file:PATH` camera part of the enumeration from now on (files cannot be discovered);
  // false when the id is not of that form or the file cannot be read.
  virtual bool AddFileCamera(const std::wstring& id) = 0;
};

}  // namespace kalto::camera
