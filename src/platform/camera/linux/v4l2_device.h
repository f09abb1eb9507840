#pragma once
// A V4L2 video capture device (a webcam, a capture card) as a SourceDevice: mmap streaming on a
// thread of its own, YUYV, NV12 and MJPEG frames turned into BGRA with libyuv.
#include <memory>
#include <optional>
#include <string>

#include "platform/camera/linux/source_device.h"
#include "platform/camera/linux/v4l2_kernel.h"

namespace kalto::camera::linuxcam {

// The card name of a node that captures video, nullopt for any other node (metadata, output,
// codec) or one that cannot be opened and asked.
std::optional<std::string> ProbeV4l2Capture(V4l2Kernel& kernel, const std::string& path);

// `path` names a node ("/dev/video0"); nothing is opened before Open.
std::shared_ptr<SourceDevice> MakeV4l2Device(std::shared_ptr<V4l2Kernel> kernel, std::string path);

}  // namespace kalto::camera::linuxcam
