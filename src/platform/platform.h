#pragma once
// The one place where backends are chosen. Engine classes take a Platform and reach every
// facility through it; the real one is made by DefaultPlatform, tests assemble fakes.
#include <memory>

#include "platform/audio/audio.h"
#include "platform/camera/camera.h"
#include "platform/desktop/desktop.h"
#include "platform/gpu/gpu_device.h"
#include "platform/inference/inference.h"
#include "platform/image/image.h"
#include "platform/screen/capture_service.h"

namespace kalto::platform {

struct Platform {
  std::shared_ptr<gpu::DeviceFactory> gpu;
  std::shared_ptr<desktop::Desktop> desktop;
  std::shared_ptr<screen::CaptureService> screen;
  std::shared_ptr<audio::AudioSystem> audio;
  std::shared_ptr<camera::CameraSystem> camera;
  std::shared_ptr<inference::Runtime> inference{};
  std::shared_ptr<image::ImageDecoder> image{};
};

// The real backends (software graphics device, X11 desktop and capture, PulseAudio), made once
// per process. The X11 parts connect to $DISPLAY on first use, the audio part to the sound
// server ($PULSE_SERVER or the user's) on first use.
std::shared_ptr<Platform> DefaultPlatform();

}  // namespace kalto::platform
