#pragma once
// One real camera of this machine (a V4L2 device, the synthetic camera, a file) as the media
// capture and its reader see it. The reader, the media capture and the enumeration are shared by
// all three kinds (linux_camera_system.cpp).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/camera/camera.h"

namespace kalto::camera::linuxcam {

class SourceDevice {
 public:
  virtual ~SourceDevice() = default;
  // The device id ("/dev/video0", "synthetic:", "file:PATH") and its display name.
  virtual std::wstring Id() const = 0;
  virtual std::wstring Name() const = 0;
  // Opens the device. Throws PlatformError when it cannot (gone, busy, unreadable).
  virtual void Open() = 0;
  virtual std::vector<VideoFormat> SupportedFormats() = 0;
  virtual VideoFormat CurrentFormat() = 0;
  // Throws PlatformError when the device refuses the format.
  virtual void SetFormat(const VideoFormat& format) = 0;

  // Each frame, turned into a Bgra8 premultiplied (opaque) bitmap, with the steady-clock time
  // (ns) it was captured at. Called on the device's own thread.
  using FrameSink = std::function<void(std::shared_ptr<SoftwareBitmap> frame, int64_t timeNs)>;
  // Called once, on the device's thread, when streaming ends without Stop (unplugged, end of a
  // file that cannot loop, a read error).
  using EndedSink = std::function<void()>;
  virtual MediaFrameReaderStartStatus Start(FrameSink frames, EndedSink ended) = 0;
  // Frames stop before it returns; harmless when not started.
  virtual void Stop() = 0;
  virtual void Close() = 0;
};

// The synthetic camera ("synthetic:"): a moving person-like figure over a detailed background,
// with the frame number drawn in, at whatever size and rate SetFormat asks for.
std::shared_ptr<SourceDevice> MakeSyntheticDevice();
// A video or still picture decoded with FFmpeg, looped, at its own rate. `id` is "file:PATH".
// Null when the file cannot be opened as a picture or video.
std::shared_ptr<SourceDevice> MakeFileDevice(const std::wstring& id);

// One device opened by several media captures at once (a preview and a recording's bubble): it
// opens once, streams once to every started handle, and closes with the last handle. The device
// refuses a format change while it streams, whichever handle asks.
class SharedDevice;
std::shared_ptr<SharedDevice> MakeSharedDevice(std::shared_ptr<SourceDevice> device);
// A capture's own view of a shared device: Open, Start, Stop and Close count for this handle only.
std::shared_ptr<SourceDevice> MakeSharedHandle(std::shared_ptr<SharedDevice> device);

}  // namespace kalto::camera::linuxcam
