#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "camera/gpu_monitor.h"
#include "camera/segmentation_model.h"
#include "platform/gpu/gpu_device.h"
#include "platform/image/image.h"
#include "platform/inference/inference.h"
#include "recorder/background_effect_config.h"

namespace kalto {

// Blurs or replaces the background behind the person in each camera frame, on the frame's own
// device: the camera's BGRA texture in, a BGRA texture of the same size out. The person mask comes
// from the segmentation model, recomputed on one frame in N; without a usable model only the
// whole-frame blur is offered.
// Threads: the owner serialises SetConfig, ProcessFrame and Shutdown; ProcessFrame runs on the
// camera frame thread and uses the device's immediate context.
class BackgroundEffectProcessor {
 public:
  static constexpr int kImageCount = 13;
  static const char* const kImageNames[kImageCount];
  static constexpr float kSolidColors[6][3] = {{245, 243, 238}, {200, 200, 200}, {23, 42, 69},
                                               {54, 57, 63},    {180, 196, 180}, {210, 180, 180}};
  static constexpr float kGradients[4][2][3] = {{{255, 248, 240}, {200, 220, 240}},
                                                {{20, 80, 100}, {150, 220, 220}},
                                                {{60, 40, 100}, {180, 160, 220}},
                                                {{10, 20, 50}, {50, 80, 140}}};

  struct Services {
    std::shared_ptr<gpu::DeviceFactory> compiler;
    std::shared_ptr<inference::Runtime> inference;
    std::shared_ptr<image::ImageDecoder> images;
  };
  explicit BackgroundEffectProcessor(Services services);
  ~BackgroundEffectProcessor();
  BackgroundEffectProcessor(const BackgroundEffectProcessor&) = delete;
  BackgroundEffectProcessor& operator=(const BackgroundEffectProcessor&) = delete;

  bool Initialize(std::shared_ptr<gpu::Device> device, uint32_t width, uint32_t height);
  void SetConfig(const BackgroundEffectConfig& config);
  // `*output` receives the input itself (pass-through) or the processor's BGRA output, valid
  // until the next call.
  bool ProcessFrame(gpu::Texture2D* input, gpu::Texture2D** output);
  bool EnsureFrameSize(uint32_t width, uint32_t height);
  void Shutdown();

  // The fill colour of a preset as r, g, b in 0..1 (grey 0.2 for any other preset).
  static void SolidColor(int32_t preset, float rgb[3]);
  // The top and bottom colours of a gradient preset (grey 0.1 to 0.3 for any other).
  static void GradientColors(int32_t preset, float top[3], float bottom[3]);
  // The segmentation interval N of a performance mode outside Auto.
  static int32_t IntervalForMode(int32_t performanceMode);
  // The blur radius of a strength.
  static int32_t BlurRadius(int32_t strength);

  bool IsInitialized() const { return m_initialized.load(); }
  bool IsMLAvailable() const { return m_mlAvailable.load(); }
  bool IsAutoPerformance() const { return m_autoPerformance; }
  int32_t SegmentationInterval() const { return m_interval; }
  int64_t SegmentationRuns() const { return m_segmentationRuns; }
  const GpuMonitor* Monitor() const { return m_monitor.get(); }
  bool ImageLoaded(int index) const;
  gpu::SharedHandle SharedMaskHandle() const { return m_sharedMaskHandle; }

 private:
  bool CreateTextures();
  void ReleaseFrameTextures();
  bool CreateShaders();
  bool CreateConstantBuffers();
  bool LoadImagePresets();
  bool GetInputView(gpu::Texture2D* input);

  void ApplyBlurEffect(gpu::Texture2D* input, gpu::Texture2D* output);
  void ApplyChannelSwap();
  // True when the background texture now holds the fill.
  bool ApplySolidColorBackground();
  bool ApplyGradientBackground();
  bool ApplyImageBackground();
  void CompositeWithMask(bool blurredBackground);
  void Run(gpu::ComputeShader* shader, gpu::ShaderResourceView* const* srvs, uint32_t srvCount,
           gpu::UnorderedAccessView* uav, gpu::Buffer* cb, uint32_t groupsX, uint32_t groupsY);
  template <typename T>
  bool WriteConstants(gpu::Buffer* buffer, const T& value, HRESULT* hr = nullptr);

  Services m_services;
  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::unique_ptr<SegmentationModel> m_model;
  std::unique_ptr<GpuMonitor> m_monitor;
  std::atomic<bool> m_initialized{false};
  std::atomic<bool> m_mlAvailable{false};
  bool m_autoPerformance = false;

  int32_t m_effectType = 0;
  int32_t m_blurStrength = 1;
  int32_t m_colorPreset = 0;
  int32_t m_gradientPreset = 0;
  int32_t m_imagePreset = 0;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
  int32_t m_interval = 2;
  int32_t m_frameCounter = 0;
  int64_t m_segmentationRuns = 0;
  // What the background texture holds (effect type, preset, 0 when unknown): a flat colour,
  // gradient or picture at this size is drawn once, not on every frame.
  uint64_t m_backgroundContent = 0;

  std::shared_ptr<gpu::Texture2D> m_outputTexture;
  std::shared_ptr<gpu::Texture2D> m_backgroundTexture;
  std::shared_ptr<gpu::Texture2D> m_blurTempTexture;
  std::shared_ptr<gpu::Texture2D> m_maskTexture;
  std::shared_ptr<gpu::Texture2D> m_sharedMaskTexture;
  gpu::SharedHandle m_sharedMaskHandle = 0;
  std::shared_ptr<gpu::Texture2D> m_bgraOutputTexture;
  std::shared_ptr<gpu::ShaderResourceView> m_maskSrv, m_backgroundSrv, m_outputSrv, m_blurTempSrv, m_bgraOutputSrv;
  std::shared_ptr<gpu::UnorderedAccessView> m_outputUav, m_blurTempUav, m_backgroundUav, m_bgraOutputUav;
  std::shared_ptr<gpu::ShaderResourceView> m_inputSrv;
  const gpu::Texture2D* m_inputSrvTexture = nullptr;

  std::shared_ptr<gpu::ComputeShader> m_blurHorizontalShader, m_blurVerticalShader, m_compositeShader,
      m_imageCoverShader, m_colorFillShader, m_gradientFillShader, m_channelSwapShader;
  std::shared_ptr<gpu::Buffer> m_blurParams, m_colorParams, m_gradientParams, m_compositeParams, m_imageParams;
  std::shared_ptr<gpu::Texture2D> m_images[kImageCount];
  std::shared_ptr<gpu::ShaderResourceView> m_imageSrvs[kImageCount];
};

}  // namespace kalto
