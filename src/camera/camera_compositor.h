#pragma once
#include <cstdint>
#include <memory>

#include "platform/gpu/gpu_device.h"

namespace kalto {

// What the compositor draws the bubble with. Rectangle in output units (0..1, top-left origin);
// radius and border width in the quad's local units (half the bubble's size is 1).
struct CompositorParams {
  float x = 0.05f, y = 0.05f, width = 0.18f, height = 0.18f;
  float cornerRadius = 1.0f;
  bool mirror = false;
  int32_t fillMode = 1;  // 1 cover, other values contain
  float opacity = 1.0f;
  float borderColor[4] = {0, 0, 0, 0};  // straight alpha
  float borderWidth = 0.0f;
  float cameraAspect = 16.0f / 9.0f;  // <= 0.0001 taken as 1
};

// Draws the camera picture as a bubble over each screen frame, on the screen-capture device: a
// copy of the frame into an output texture it owns, then one 4-vertex quad over it.
// Threads: one caller, the screen frame callback, on the device's immediate context.
class CameraCompositor {
 public:
  static constexpr const char* kShaderName = "Compositor.hlsl";
  static const char* const kShaderSource;

  explicit CameraCompositor(std::shared_ptr<gpu::DeviceFactory> compiler);
  ~CameraCompositor();
  CameraCompositor(const CameraCompositor&) = delete;
  CameraCompositor& operator=(const CameraCompositor&) = delete;

  // The owner's initialisation in order: the device, its immediate context, CreatePipeline,
  // CreateOutput with the screen frame size. False (with the step's line) on failure.
  bool Initialize(std::shared_ptr<gpu::Device> device, uint32_t width, uint32_t height);
  bool CreatePipeline();
  bool CreateOutput(uint32_t width, uint32_t height);
  // Both textures on the compositor's device. `*outTexture` (when given) receives the output,
  // owned by the compositor and valid until the next Composite or Shutdown.
  bool Composite(gpu::Texture2D* screenFrame, const std::shared_ptr<gpu::Texture2D>& cameraTexture,
                 const CompositorParams& params, gpu::Texture2D** outTexture);
  void Shutdown();

  bool IsInitialized() const { return m_initialized; }
  uint32_t OutputWidth() const { return m_outputWidth; }
  uint32_t OutputHeight() const { return m_outputHeight; }

 private:
  std::shared_ptr<gpu::DeviceFactory> m_compiler;
  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<gpu::VertexShader> m_vertexShader;
  std::shared_ptr<gpu::PixelShader> m_pixelShader;
  std::shared_ptr<gpu::SamplerState> m_sampler;
  std::shared_ptr<gpu::BlendState> m_blendState;
  std::shared_ptr<gpu::RasterizerState> m_rasterizerState;
  std::shared_ptr<gpu::Buffer> m_constantBuffer;
  std::shared_ptr<gpu::Texture2D> m_outputTexture;
  std::shared_ptr<gpu::RenderTargetView> m_outputRtv;
  gpu::Texture2D* m_cachedCameraTexture = nullptr;  // compared only
  std::shared_ptr<gpu::ShaderResourceView> m_cameraSrv;
  uint32_t m_outputWidth = 0;
  uint32_t m_outputHeight = 0;
  bool m_initialized = false;
};

}  // namespace kalto
