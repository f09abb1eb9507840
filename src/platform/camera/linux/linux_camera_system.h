#pragma once
// The cameras of this machine behind the camera platform: every V4L2 video capture node (by
// number), then the synthetic camera, then the files the host added. All three kinds share one
// media capture and one frame reader over a SourceDevice. Captures of the same V4L2 node share
// its one stream; the synthetic camera and files give each capture a source of its own.
//
// Initialize throws E_INVALIDARG for a group id that names no camera, and for a camera that cannot
// be opened the device's reason: MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED (gone),
// MF_E_VIDEO_RECORDING_DEVICE_PREEMPTED (busy), E_ACCESSDENIED, MF_E_INVALIDMEDIATYPE (a node that
// does not capture video).
//
// A reader's FrameArrived handlers run on the device's own thread, one at a time, after the frame
// is queued. From inside a handler, RemoveFrameArrived and Stop do not wait (the frame in hand is
// the last); from any other thread they return only once no handler of theirs runs. A stream that
// ends by itself (an unplugged camera) leaves the reader stopped; Start then answers with the
// device's status, DeviceNotAvailable for a camera that has gone.
#include <memory>

#include "platform/camera/camera.h"
#include "platform/camera/linux/v4l2_kernel.h"

namespace kalto::camera::linuxcam {

std::shared_ptr<CameraSystem> MakeLinuxCameraSystem(std::shared_ptr<V4l2Kernel> kernel = RealV4l2Kernel());

}  // namespace kalto::camera::linuxcam
