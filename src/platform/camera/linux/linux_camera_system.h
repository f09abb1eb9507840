#pragma once
// The cameras of this machine behind the camera platform: every V4L2 video capture node (by
// number), then the synthetic camera, then the files the host added. All three kinds share one
// media capture and one frame reader over a SourceDevice.
#include <memory>

#include "platform/camera/camera.h"
#include "platform/camera/linux/v4l2_kernel.h"

namespace kalto::camera::linuxcam {

std::shared_ptr<CameraSystem> MakeLinuxCameraSystem(std::shared_ptr<V4l2Kernel> kernel = RealV4l2Kernel());

}  // namespace kalto::camera::linuxcam
