#include "platform/platform.h"

#include "platform/audio/pulse/pulse_audio_system.h"
#include "platform/camera/linux/linux_camera_system.h"
#include "platform/desktop/x11/x11_desktop.h"
#include "platform/gpu/software/software_device.h"
#include "platform/inference/onnxruntime/onnx_runtime.h"
#include "platform/image/turbojpeg/turbojpeg_image_decoder.h"
#include "platform/screen/x11/x11_capture_service.h"

namespace kalto::platform {

std::shared_ptr<Platform> DefaultPlatform() {
  // Making the backends opens nothing: each connects to its server when first used.
  static const std::shared_ptr<Platform> platform = [] {
    auto p = std::make_shared<Platform>();
    p->gpu = std::make_shared<gpu::software::SoftwareDeviceFactory>();
    p->desktop = std::make_shared<x11::X11Desktop>();
    p->screen = std::make_shared<x11::X11CaptureService>();
    p->audio = std::make_shared<audio::pulse::PulseAudioSystem>();
    p->camera = camera::linuxcam::MakeLinuxCameraSystem();
    p->inference = inference::onnx::MakeOnnxRuntime();
    p->image = std::make_shared<image::TurboJpegImageDecoder>();
    return p;
  }();
  return platform;
}

}  // namespace kalto::platform
