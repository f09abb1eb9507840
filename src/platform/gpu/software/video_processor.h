#pragma once
// The software device's video processor: a letterboxing bilinear blit between 4-byte RGB
// textures. Internal to the software backend; engine classes reach it through gpu_device.h.
#include <memory>
#include <mutex>

#include "platform/gpu/gpu_device.h"
#include "platform/gpu/software/software_device.h"

namespace kalto::gpu::software::video {

// `device` is the device whose textures the views accept; the video device keeps it alive.
std::shared_ptr<VideoDevice> CreateVideoDevice(std::shared_ptr<Device> device, std::shared_ptr<FaultInjector> faults);

// `contextMutex` serialises blits with the immediate context's other commands; `keepAlive` owns
// the object that holds it.
std::shared_ptr<VideoContext> CreateVideoContext(std::shared_ptr<void> keepAlive, std::mutex& contextMutex,
                                                 std::shared_ptr<FaultInjector> faults);

// Bilinear sampling shared with the tests: the source colour of channel bytes at (x, y), clamped
// to the image, weighted in single precision and truncated, as the encoder's CPU path samples.
struct BilinearTap {
  uint32_t x0 = 0, x1 = 0;
  float f = 0.0f;
};
BilinearTap TapFor(float position, uint32_t size);

}  // namespace kalto::gpu::software::video
