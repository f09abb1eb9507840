#pragma once
#include <cstdint>
#include <memory>

#include "platform/gpu/gpu_device.h"

namespace kalto {

// The encoder's GPU scaler: fits a frame into the encoded size with the device's video
// processor, aspect ratio kept, centred, black bars. The encoder owns one, made lazily on the
// first frame of a differing size; its lines carry the encoder's tag.
//
// Threads: the encoder's video thread, on the frame device's immediate context.
class GpuScaler {
 public:
  // The frame's device and immediate context (either may be null: EnsureScaler then fails with
  // its no-device line), and the encoder's frame rate for the content description.
  GpuScaler(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::DeviceContext> context, uint32_t fps);
  ~GpuScaler();
  GpuScaler(const GpuScaler&) = delete;
  GpuScaler& operator=(const GpuScaler&) = delete;

  // True when a scaler for at least this source size exists or was made; the target is the
  // encoded size.
  bool EnsureScaler(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth, uint32_t targetHeight);
  // Letterboxes `input` (borrowed for the call) into Output().
  bool ScaleFrame(gpu::Texture2D* input);

  bool IsReady() const { return m_scalerReady; }
  // Target width x height, BGRA, render target; null until ready.
  const std::shared_ptr<gpu::Texture2D>& Output() const { return m_scalerOutput; }
  uint32_t MaxInputWidth() const { return m_scalerMaxInputWidth; }
  uint32_t MaxInputHeight() const { return m_scalerMaxInputHeight; }

  // Where a Ws x Hs picture lands in a Wt x Ht frame.
  static gpu::Rect LetterboxRect(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                                 uint32_t targetHeight);

 private:
  void Release();

  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  uint32_t m_fps;
  uint32_t m_targetWidth = 0;
  uint32_t m_targetHeight = 0;

  std::shared_ptr<gpu::VideoDevice> m_videoDevice;
  std::shared_ptr<gpu::VideoContext> m_videoContext;
  std::shared_ptr<gpu::VideoProcessor> m_videoProcessor;
  std::shared_ptr<gpu::VideoProcessorEnumerator> m_vpEnumerator;
  std::shared_ptr<gpu::VideoProcessorOutputView> m_scalerOutputView;
  std::shared_ptr<gpu::Texture2D> m_scalerOutput;
  bool m_scalerReady = false;
  uint32_t m_scalerMaxInputWidth = 0;
  uint32_t m_scalerMaxInputHeight = 0;
};

}  // namespace kalto
