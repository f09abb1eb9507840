#pragma once
// A V4L2 video capture device (a webcam, a capture card) as a SourceDevice: mmap streaming on a
// thread of its own ("v4l2 camera"), YUYV and NV12 frames turned into BGRA with libyuv,
// MJPEG decoded into BGRA with libjpeg-turbo.
//
// The stream thread polls with a short time-out, so Stop returns within a poll once the frame in
// hand has been handed on. A new size (a source-change event, or buffers refused after the driver
// changed its format) renegotiates the buffers and the stream goes on at that size. A node that
// answers ENODEV, ENXIO or EIO has gone: the stream ends and the ended sink runs once. Frames too
// short for their size, and JPEGs that do not decode, are dropped and logged (the first, then
// every 100th).
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
