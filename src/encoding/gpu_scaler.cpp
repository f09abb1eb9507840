#include "encoding/gpu_scaler.h"

#include "common/debug_output.h"

namespace kalto {

GpuScaler::GpuScaler(std::shared_ptr<gpu::Device> device, std::shared_ptr<gpu::DeviceContext> context, uint32_t fps)
    : m_device(std::move(device)), m_context(std::move(context)), m_fps(fps) {}

GpuScaler::~GpuScaler() { Release(); }

void GpuScaler::Release() {
  m_scalerReady = false;
  m_scalerOutputView.reset();
  m_scalerOutput.reset();
  m_videoProcessor.reset();
  m_vpEnumerator.reset();
  m_videoContext.reset();
  m_videoDevice.reset();
}

bool GpuScaler::EnsureScaler(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                             uint32_t targetHeight) {
  // A smaller source reuses the scaler made for a larger one.
  if (m_scalerReady && sourceWidth <= m_scalerMaxInputWidth && sourceHeight <= m_scalerMaxInputHeight) return true;
  Release();
  if (!m_device) {
    DebugLog<128>(L"[Encoder] GPU Scaler: No D3D device available\n");
    return false;
  }
  HRESULT hr = m_device->QueryVideoDevice(&m_videoDevice);
  if (Failed(hr) || !m_videoDevice) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to get ID3D11VideoDevice: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  hr = m_context ? m_context->QueryVideoContext(&m_videoContext) : E_NOINTERFACE;
  if (Failed(hr) || !m_videoContext) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to get ID3D11VideoContext: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  gpu::VideoProcessorContentDesc content;
  content.inputFrameFormat = gpu::VideoFrameFormat::Progressive;
  content.inputFrameRate = {m_fps, 1};
  content.inputWidth = sourceWidth;
  content.inputHeight = sourceHeight;
  content.outputFrameRate = {m_fps, 1};
  content.outputWidth = targetWidth;
  content.outputHeight = targetHeight;
  content.usage = gpu::VideoUsage::PlaybackNormal;
  hr = m_videoDevice->CreateVideoProcessorEnumerator(content, &m_vpEnumerator);
  if (Failed(hr)) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to create enumerator: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  hr = m_videoDevice->CreateVideoProcessor(m_vpEnumerator, 0, &m_videoProcessor);
  if (Failed(hr)) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to create processor: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  gpu::TextureDesc desc;
  desc.width = targetWidth;
  desc.height = targetHeight;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.usage = gpu::Usage::Default;
  desc.bindFlags = gpu::BIND_RENDER_TARGET;
  hr = m_device->CreateTexture2D(desc, nullptr, 0, &m_scalerOutput);
  if (Failed(hr)) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to create output texture: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  hr = m_videoDevice->CreateVideoProcessorOutputView(m_scalerOutput, m_vpEnumerator, &m_scalerOutputView);
  if (Failed(hr)) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to create output view: 0x%08X\n", HrBits(hr));
    Release();
    return false;
  }
  m_targetWidth = targetWidth;
  m_targetHeight = targetHeight;
  m_scalerMaxInputWidth = sourceWidth;
  m_scalerMaxInputHeight = sourceHeight;
  m_scalerReady = true;
  return true;
}

gpu::Rect GpuScaler::LetterboxRect(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                                   uint32_t targetHeight) {
  // Single precision and truncation, with no rounding to even: the encoder's sizes depend on it.
  const float sourceAspect = float(sourceWidth) / float(sourceHeight);
  const float targetAspect = float(targetWidth) / float(targetHeight);
  gpu::Rect rect;
  if (sourceAspect > targetAspect) {
    const auto h = uint32_t(float(targetWidth) / sourceAspect);
    const uint32_t top = (targetHeight - h) >> 1;
    rect = {0, int32_t(top), int32_t(targetWidth), int32_t(top + h)};
  } else {
    const auto w = uint32_t(float(targetHeight) * sourceAspect);
    const uint32_t left = (targetWidth - w) >> 1;
    rect = {int32_t(left), 0, int32_t(left + w), int32_t(targetHeight)};
  }
  return rect;
}

bool GpuScaler::ScaleFrame(gpu::Texture2D* input) {
  if (!m_scalerReady || input == nullptr) return false;
  // Borrowed for this call: the view refers to the frame without owning it and dies before return.
  std::shared_ptr<gpu::VideoProcessorInputView> inputView;
  const HRESULT viewHr = m_videoDevice->CreateVideoProcessorInputView(
      std::shared_ptr<gpu::Texture2D>(std::shared_ptr<void>(), input), m_vpEnumerator, &inputView);
  if (Failed(viewHr) || !inputView) {
    DebugLog<128>(L"[Encoder] GPU Scaler: Failed to create input view\n");
    return false;
  }
  const gpu::TextureDesc desc = input->GetDesc();
  const gpu::Rect source{0, 0, int32_t(desc.width), int32_t(desc.height)};
  const gpu::Rect dest = LetterboxRect(desc.width, desc.height, m_targetWidth, m_targetHeight);
  const gpu::Rect target{0, 0, int32_t(m_targetWidth), int32_t(m_targetHeight)};

  auto& video = *m_videoContext;
  video.VideoProcessorSetStreamSourceRect(*m_videoProcessor, 0, true, &source);
  video.VideoProcessorSetStreamDestRect(*m_videoProcessor, 0, true, &dest);
  video.VideoProcessorSetOutputTargetRect(*m_videoProcessor, true, &target);
  video.VideoProcessorSetOutputColorSpace(*m_videoProcessor, gpu::VideoProcessorColorSpace{});
  video.VideoProcessorSetOutputBackgroundColor(*m_videoProcessor, false, gpu::VideoColor{{0.0f, 0.0f, 0.0f, 1.0f}});

  gpu::VideoProcessorStream stream;
  stream.enable = true;
  stream.outputIndex = 0;
  stream.inputFrameOrField = 0;
  stream.pastFrames = 0;
  stream.futureFrames = 0;
  stream.inputSurface = inputView.get();
  const HRESULT hr = video.VideoProcessorBlt(*m_videoProcessor, *m_scalerOutputView, 0, 1, &stream);
  if (Failed(hr)) {
    DebugLog<128>(L"[Encoder] GPU Scaler: VideoProcessorBlt failed: 0x%08X\n", HrBits(hr));
    return false;
  }
  return true;
}

}  // namespace kalto
