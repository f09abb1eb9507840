#include "camera/background_effect_processor.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>

#include "camera/background_effect_kernels.h"
#include "common/debug_output.h"
#include "common/known_folders.h"

namespace kalto {

const char* const BackgroundEffectProcessor::kImageNames[kImageCount] = {
    "bg_abstract_waves.jpg", "bg_geometric_mesh.jpg", "bg_soft_bokeh.jpg",   "bg_minimal_shapes.jpg",
    "bg_nature_leaves.jpg",  "bg_concrete_wall.jpg",  "bg_office_blur.jpg",  "bg_bookshelf.jpg",
    "bg_meeting_room.jpg",   "bg_startup_office.jpg", "bg_executive_desk.jpg", "bg_brick_loft.jpg",
    "bg_city_view.jpg",
};

namespace {

constexpr uint32_t kFrameBind = gpu::BIND_SHADER_RESOURCE | gpu::BIND_UNORDERED_ACCESS;

uint32_t Groups(uint32_t size, uint32_t group) { return (size + group - 1) / group; }

}  // namespace

BackgroundEffectProcessor::BackgroundEffectProcessor(Services services) : m_services(std::move(services)) {}

BackgroundEffectProcessor::~BackgroundEffectProcessor() { Shutdown(); }

void BackgroundEffectProcessor::SolidColor(int32_t preset, float rgb[3]) {
  if (preset >= 0 && preset < 6) {
    for (int c = 0; c < 3; ++c) rgb[c] = kSolidColors[preset][c] / 255.0f;
  } else {
    rgb[0] = rgb[1] = rgb[2] = 0.2f;
  }
}

void BackgroundEffectProcessor::GradientColors(int32_t preset, float top[3], float bottom[3]) {
  for (int c = 0; c < 3; ++c) {
    top[c] = preset >= 0 && preset < 4 ? kGradients[preset][0][c] / 255.0f : 0.1f;
    bottom[c] = preset >= 0 && preset < 4 ? kGradients[preset][1][c] / 255.0f : 0.3f;
  }
}

int32_t BackgroundEffectProcessor::IntervalForMode(int32_t performanceMode) {
  switch (performanceMode) {
    case 0: return 999;
    case 1: return 3;  // Auto begins at the Performance tier
    case 2: return 1;
    case 3: return 2;
    case 4: return 3;
    default: return 2;
  }
}

int32_t BackgroundEffectProcessor::BlurRadius(int32_t strength) {
  switch (strength) {
    case 0: return 8;
    case 2: return 25;
    default: return 15;
  }
}

bool BackgroundEffectProcessor::Initialize(std::shared_ptr<gpu::Device> device, uint32_t width, uint32_t height) {
  if (!device || width == 0 || height == 0) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Invalid parameters\n");
    return false;
  }
  m_device = std::move(device);
  m_context = m_device->GetImmediateContext();
  if (!m_context) {
    DebugLog<128>(L"[BackgroundEffectProcessor] GetImmediateContext returned null\n");
    return false;
  }
  m_width = width;
  m_height = height;

  m_model = std::make_unique<SegmentationModel>(m_services.inference);
  if (!m_model->Initialize(m_device)) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Segmentation model initialization failed\n");
    DebugLog<128>(L"[BackgroundEffectProcessor] To enable ML effects:\n");
    DebugLog<128>(L"  1. Download selfie_segmentation.onnx from MediaPipe");
    DebugLog<128>(L"  2. Place in Assets/models/ folder");
    DebugLog<128>(L"  3. Ensure ONNX Runtime NuGet package is installed");
    m_model.reset();
  }
  m_mlAvailable = m_model && m_model->UsesDirectML();
  if (!m_mlAvailable) DebugLog<128>(L"[BackgroundEffectProcessor] DirectML not available, blur-only mode\n");

  if (!CreateTextures()) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create textures\n");
    return false;
  }
  if (!CreateShaders()) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create shaders\n");
    return false;
  }
  if (!CreateConstantBuffers()) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create constant buffers\n");
    return false;
  }
  LoadImagePresets();

  m_monitor = std::make_unique<GpuMonitor>();
  if (!m_monitor->Initialize(m_device.get())) {
    DebugLog<160>(L"[BackgroundEffectProcessor] GPU monitor init failed, Auto mode uses static Performance-tier skip interval\n");
    m_monitor.reset();
  }
  m_initialized = true;
  return true;
}

bool BackgroundEffectProcessor::CreateTextures() {
  const uint32_t w = m_width, h = m_height;
  const auto rgba =
      gpu::TextureDesc{.width = w, .height = h, .format = gpu::Format::R8G8B8A8_UNORM, .bindFlags = kFrameBind};
  if (const HRESULT hr = m_device->CreateTexture2D(rgba, nullptr, 0, &m_outputTexture); Failed(hr)) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create output texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (Failed(m_device->CreateTexture2D(rgba, nullptr, 0, &m_backgroundTexture))) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create background texture\n");
    return false;
  }
  if (Failed(m_device->CreateTexture2D(rgba, nullptr, 0, &m_blurTempTexture))) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create blur temp texture\n");
    return false;
  }
  const uint32_t mw = m_model ? m_model->InputWidth() : 256, mh = m_model ? m_model->InputHeight() : 256;
  if (Failed(m_device->CreateTexture2D(
          gpu::TextureDesc{
              .width = mw, .height = mh, .format = gpu::Format::R32_FLOAT, .bindFlags = gpu::BIND_SHADER_RESOURCE},
          nullptr, 0, &m_maskTexture))) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create mask texture\n");
    return false;
  }
  if (Failed(m_device->CreateTexture2D(gpu::TextureDesc{.width = mw,
                                                        .height = mh,
                                                        .format = gpu::Format::R32_FLOAT,
                                                        .bindFlags = gpu::BIND_SHADER_RESOURCE,
                                                        .miscFlags = gpu::MISC_SHARED},
                                       nullptr, 0, &m_sharedMaskTexture))) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create shared mask texture\n");
    return false;
  }
  if (Failed(m_sharedMaskTexture->GetSharedHandle(&m_sharedMaskHandle))) return false;
  if (Failed(m_device->CreateShaderResourceView(m_maskTexture, &m_maskSrv)) ||
      Failed(m_device->CreateShaderResourceView(m_backgroundTexture, &m_backgroundSrv)) ||
      Failed(m_device->CreateShaderResourceView(m_outputTexture, &m_outputSrv)) ||
      Failed(m_device->CreateShaderResourceView(m_blurTempTexture, &m_blurTempSrv)) ||
      Failed(m_device->CreateUnorderedAccessView(m_outputTexture, &m_outputUav)) ||
      Failed(m_device->CreateUnorderedAccessView(m_blurTempTexture, &m_blurTempUav)) ||
      Failed(m_device->CreateUnorderedAccessView(m_backgroundTexture, &m_backgroundUav))) {
    return false;
  }
  if (Failed(m_device->CreateTexture2D(
          gpu::TextureDesc{.width = w, .height = h, .format = gpu::Format::B8G8R8A8_UNORM, .bindFlags = kFrameBind},
          nullptr, 0, &m_bgraOutputTexture))) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create BGRA output texture\n");
    return false;
  }
  return Succeeded(m_device->CreateUnorderedAccessView(m_bgraOutputTexture, &m_bgraOutputUav)) &&
         Succeeded(m_device->CreateShaderResourceView(m_bgraOutputTexture, &m_bgraOutputSrv));
}

void BackgroundEffectProcessor::ReleaseFrameTextures() {
  m_backgroundContent = 0;
  m_inputSrv.reset();
  m_inputSrvTexture = nullptr;
  m_maskSrv.reset();
  m_backgroundSrv.reset();
  m_outputSrv.reset();
  m_blurTempSrv.reset();
  m_bgraOutputSrv.reset();
  m_outputUav.reset();
  m_blurTempUav.reset();
  m_backgroundUav.reset();
  m_bgraOutputUav.reset();
  m_outputTexture.reset();
  m_backgroundTexture.reset();
  m_blurTempTexture.reset();
  m_maskTexture.reset();
  m_sharedMaskTexture.reset();
  m_sharedMaskHandle = 0;
  m_bgraOutputTexture.reset();
}

bool BackgroundEffectProcessor::CreateShaders() {
  effects::RegisterKernels();
  struct Entry {
    const char* name;
    const char* source;
    std::shared_ptr<gpu::ComputeShader>* shader;
    const wchar_t* failure;
  };
  const Entry entries[] = {
      {effects::kBlurHorizontal, effects::kBlurHorizontalSource, &m_blurHorizontalShader,
       L"[BackgroundEffectProcessor] Failed to compile blur horizontal shader\n"},
      {effects::kBlurVertical, effects::kBlurVerticalSource, &m_blurVerticalShader,
       L"[BackgroundEffectProcessor] Failed to compile blur vertical shader\n"},
      {effects::kComposite, effects::kCompositeSource, &m_compositeShader,
       L"[BackgroundEffectProcessor] Failed to compile composite shader\n"},
      {effects::kImageCover, effects::kImageCoverSource, &m_imageCoverShader,
       L"[BackgroundEffectProcessor] Failed to compile image cover shader\n"},
      {effects::kColorFill, effects::kColorFillSource, &m_colorFillShader,
       L"[BackgroundEffectProcessor] Failed to compile color fill shader\n"},
      {effects::kGradientFill, effects::kGradientFillSource, &m_gradientFillShader,
       L"[BackgroundEffectProcessor] Failed to compile gradient fill shader\n"},
      {effects::kChannelSwap, effects::kChannelSwapSource, &m_channelSwapShader,
       L"[BackgroundEffectProcessor] Failed to compile channel swap shader\n"},
  };
  for (const Entry& e : entries) {
    std::shared_ptr<gpu::ShaderBlob> blob;
    std::string errors;
    HRESULT hr = m_services.compiler
                     ? m_services.compiler->CompileShader(e.name, e.source, effects::kEntry, effects::kTarget, &blob,
                                                          &errors)
                     : E_POINTER;
    if (!errors.empty()) OutputDebugNarrow(errors.c_str());
    if (Succeeded(hr) && blob) hr = m_device->CreateComputeShader(*blob, e.shader);
    if (Failed(hr) || !blob || !*e.shader) {
      DebugLog<128>(e.failure);
      return false;
    }
  }
  return true;
}

bool BackgroundEffectProcessor::CreateConstantBuffers() {
  const auto make = [this](uint32_t size, std::shared_ptr<gpu::Buffer>* buffer) {
    gpu::BufferDesc d;
    d.byteWidth = size;
    d.usage = gpu::Usage::Dynamic;
    d.bindFlags = gpu::BIND_CONSTANT_BUFFER;
    d.cpuAccessFlags = gpu::CPU_ACCESS_WRITE;
    return Succeeded(m_device->CreateBuffer(d, nullptr, buffer)) && *buffer;
  };
  return make(sizeof(effects::BlurParams), &m_blurParams) && make(sizeof(effects::ColorParams), &m_colorParams) &&
         make(sizeof(effects::GradientParams), &m_gradientParams) &&
         make(sizeof(effects::CompositeParams), &m_compositeParams) &&
         make(sizeof(effects::ImageCoverParams), &m_imageParams);
}

bool BackgroundEffectProcessor::LoadImagePresets() {
  const std::filesystem::path base = ModuleFolder();
  if (base.empty()) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to get module path\n");
    return false;
  }
  const std::filesystem::path folders[] = {base / "Assets/backgrounds/", base / "backgrounds/",
                                           base / "../../Assets/backgrounds/"};
  if (!m_services.images) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create WIC factory\n");
    return false;
  }
  bool any = false;
  for (int i = 0; i < kImageCount; ++i) {
    std::filesystem::path path;
    for (const auto& folder : folders) {
      std::error_code ec;
      if (std::filesystem::exists(folder / kImageNames[i], ec)) {
        path = folder / kImageNames[i];
        break;
      }
    }
    if (path.empty()) {
      DebugLog<256>(L"[BackgroundEffectProcessor] Image not found: %s\n", kImageNames[i]);
      continue;
    }
    image::RgbaImage picture;
    if (Failed(m_services.images->DecodeRgba(path, &picture)) || picture.width == 0 || picture.height == 0) continue;
    std::shared_ptr<gpu::Texture2D> texture;
    if (Failed(m_device->CreateTexture2D(gpu::TextureDesc{.width = picture.width,
                                                          .height = picture.height,
                                                          .format = gpu::Format::R8G8B8A8_UNORM,
                                                          .bindFlags = gpu::BIND_SHADER_RESOURCE},
                                         picture.pixels.data(), picture.width * 4, &texture)) ||
        !texture) {
      continue;
    }
    std::shared_ptr<gpu::ShaderResourceView> view;
    if (Failed(m_device->CreateShaderResourceView(texture, &view))) continue;
    m_images[i] = std::move(texture);
    m_imageSrvs[i] = std::move(view);
    any = true;
  }
  return any;
}

bool BackgroundEffectProcessor::ImageLoaded(int index) const {
  return index >= 0 && index < kImageCount && m_images[index] != nullptr;
}

void BackgroundEffectProcessor::SetConfig(const BackgroundEffectConfig& config) {
  m_effectType = config.Mode;
  m_blurStrength = config.BlurStrength;
  m_colorPreset = config.ColorPreset;
  m_gradientPreset = config.GradientPreset;
  m_imagePreset = config.ImagePreset;
  const bool autoMode = config.PerformanceMode == 1 && config.Mode != 0;
  if (autoMode && m_monitor && !m_monitor->IsRunning()) m_monitor->Start();
  if (!autoMode && m_autoPerformance && m_monitor) m_monitor->Stop();
  m_autoPerformance = autoMode;
  m_interval = IntervalForMode(config.PerformanceMode);
  m_frameCounter = m_interval;
}

bool BackgroundEffectProcessor::EnsureFrameSize(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || !m_initialized) return false;
  if (width == m_width && height == m_height && m_bgraOutputTexture && m_bgraOutputUav) return true;
  ReleaseFrameTextures();
  const uint32_t oldWidth = m_width, oldHeight = m_height;
  m_width = width;
  m_height = height;
  m_frameCounter = m_interval;
  if (!CreateTextures()) {
    // Until textures of the new size exist every frame passes through, and the next one retries.
    ReleaseFrameTextures();
    m_width = oldWidth;
    m_height = oldHeight;
    return false;
  }
  return true;
}

bool BackgroundEffectProcessor::GetInputView(gpu::Texture2D* input) {
  if (m_inputSrv && m_inputSrvTexture == input) return true;
  m_inputSrv.reset();
  m_inputSrvTexture = nullptr;
  HRESULT hr = E_FAIL;
  try {
    hr = m_device->CreateShaderResourceView(input->shared_from_this(), &m_inputSrv);
  } catch (const std::bad_weak_ptr&) {
    hr = E_INVALIDARG;
  }
  if (Failed(hr) || !m_inputSrv) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create input SRV: 0x%08X\n", HrBits(Failed(hr) ? hr : E_FAIL));
    m_inputSrv.reset();
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create input SRV\n");
    return false;
  }
  m_inputSrvTexture = input;
  return true;
}

bool BackgroundEffectProcessor::ProcessFrame(gpu::Texture2D* input, gpu::Texture2D** output) {
  if (!m_initialized || input == nullptr || output == nullptr) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ProcessFrame: invalid params or not initialized\n");
    return false;
  }
  const gpu::TextureDesc desc = input->GetDesc();
  if (!EnsureFrameSize(desc.width, desc.height)) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ProcessFrame: EnsureFrameSize failed\n");
    *output = input;
    return false;
  }
  const int32_t type = m_effectType;
  const bool ml = m_mlAvailable;
  if (type < 1 || type > 4 || (!ml && type != 1)) {
    *output = input;
    return true;
  }
  if (m_autoPerformance && m_monitor && m_monitor->IsRunning()) {
    m_interval = std::clamp(m_monitor->Tier(), 1, 3);
  }
  ++m_frameCounter;
  const bool segmentation = ml && m_frameCounter >= m_interval;
  if (segmentation) m_frameCounter = 0;
  if (!GetInputView(input)) {
    *output = input;
    return false;
  }
  if (!ml) {
    ApplyBlurEffect(input, m_outputTexture.get());
    ApplyChannelSwap();
    *output = m_bgraOutputTexture.get();
    return true;
  }
  if (segmentation && m_model && m_model->IsReady()) {
    gpu::Texture2D* mask = nullptr;
    if (m_model->RunInference(input, &mask) && mask != nullptr) {
      m_context->CopyResource(*m_maskTexture, *mask);
      ++m_segmentationRuns;
    } else {
      DebugLog<128>(L"[BackgroundEffectProcessor] Segmentation inference failed\n");
    }
  }
  // The flat backgrounds depend only on their preset and the size: drawn again only when those
  // change (the texture is released with the size).
  const int32_t preset = type == 2 ? m_colorPreset : type == 3 ? m_gradientPreset : m_imagePreset;
  const uint64_t content = (uint64_t(uint32_t(type)) << 40) | (uint64_t(uint32_t(m_colorPreset) & 0xFFFFF) << 20) |
                           (uint64_t(uint32_t(preset)) & 0xFFFFF);
  if (type != 1 && content == m_backgroundContent) {
    // Drawn already.
  } else {
    bool drawn = false;
    switch (type) {
      case 1: ApplyBlurEffect(input, m_outputTexture.get()); break;
      case 2: drawn = ApplySolidColorBackground(); break;
      case 3: drawn = ApplyGradientBackground(); break;
      case 4: drawn = ApplyImageBackground(); break;
      default: *output = input; return true;
    }
    m_backgroundContent = drawn ? content : 0;
  }
  CompositeWithMask(type == 1);
  if (segmentation) m_context->CopyResource(*m_sharedMaskTexture, *m_maskTexture);
  *output = m_bgraOutputTexture.get();
  return true;
}

template <typename T>
bool BackgroundEffectProcessor::WriteConstants(gpu::Buffer* buffer, const T& value, HRESULT* result) {
  gpu::MappedSubresource mapped;
  const HRESULT hr = buffer != nullptr ? m_context->Map(*buffer, gpu::MapType::WriteDiscard, &mapped) : E_POINTER;
  if (result != nullptr) *result = hr;
  if (Failed(hr) || mapped.data == nullptr) return false;
  std::memcpy(mapped.data, &value, sizeof(T));
  m_context->Unmap(*buffer);
  return true;
}

void BackgroundEffectProcessor::Run(gpu::ComputeShader* shader, gpu::ShaderResourceView* const* srvs,
                                    uint32_t srvCount, gpu::UnorderedAccessView* uav, gpu::Buffer* cb,
                                    uint32_t groupsX, uint32_t groupsY) {
  m_context->CSSetShader(shader);
  m_context->CSSetShaderResources(0, srvCount, srvs);
  m_context->CSSetUnorderedAccessViews(0, 1, &uav);
  m_context->CSSetConstantBuffers(0, 1, &cb);
  m_context->Dispatch(groupsX, groupsY, 1);
  gpu::ShaderResourceView* const noSrv[3] = {};
  gpu::UnorderedAccessView* const noUav = nullptr;
  gpu::Buffer* const noCb = nullptr;
  m_context->CSSetShaderResources(0, srvCount, noSrv);
  m_context->CSSetUnorderedAccessViews(0, 1, &noUav);
  m_context->CSSetConstantBuffers(0, 1, &noCb);
  m_context->CSSetShader(nullptr);
}

void BackgroundEffectProcessor::ApplyBlurEffect(gpu::Texture2D* input, gpu::Texture2D* output) {
  if (input == nullptr || output == nullptr) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ApplyBlurEffect: null input or output texture\n");
    return;
  }
  const effects::BlurParams params{BlurRadius(m_blurStrength), 1.0f / float(m_width), 1.0f / float(m_height), 0.0f};
  HRESULT hr = S_OK;
  if (!WriteConstants(m_blurParams.get(), params, &hr)) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to map blur params CB: 0x%08X\n", HrBits(Failed(hr) ? hr : E_FAIL));
    return;
  }
  if (!m_inputSrv) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ERROR: Input SRV not available for blur\n");
    return;
  }
  if (!m_blurTempSrv) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ERROR: Cached blur temp SRV is null!\n");
    return;
  }
  if (!m_outputUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ERROR: Cached output UAV is null!\n");
    return;
  }
  if (!m_blurHorizontalShader || !m_blurVerticalShader) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ERROR: Blur shaders not compiled!\n");
    return;
  }
  if (!m_blurTempUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ERROR: Blur UAVs not created!\n");
    return;
  }
  gpu::ShaderResourceView* const in[] = {m_inputSrv.get()};
  Run(m_blurHorizontalShader.get(), in, 1, m_blurTempUav.get(), m_blurParams.get(),
      Groups(m_width, effects::kBlurGroupLong), Groups(m_height, effects::kBlurGroupShort));
  gpu::ShaderResourceView* const temp[] = {m_blurTempSrv.get()};
  Run(m_blurVerticalShader.get(), temp, 1, m_outputUav.get(), m_blurParams.get(),
      Groups(m_width, effects::kBlurGroupShort), Groups(m_height, effects::kBlurGroupLong));
}

void BackgroundEffectProcessor::ApplyChannelSwap() {
  if (!m_outputTexture || !m_bgraOutputTexture || !m_channelSwapShader) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ApplyChannelSwap: invalid params\n");
    return;
  }
  if (!m_outputSrv || !m_bgraOutputUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ApplyChannelSwap: cached views not available\n");
    return;
  }
  gpu::ShaderResourceView* const in[] = {m_outputSrv.get()};
  Run(m_channelSwapShader.get(), in, 1, m_bgraOutputUav.get(), nullptr, Groups(m_width, effects::kFillGroup),
      Groups(m_height, effects::kFillGroup));
}

bool BackgroundEffectProcessor::ApplySolidColorBackground() {
  if (!m_backgroundUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ApplySolidColorBackground: cached UAV not available\n");
    return false;
  }
  effects::ColorParams params{};
  SolidColor(m_colorPreset, params.rgba);
  params.rgba[3] = 1.0f;
  if (!WriteConstants(m_colorParams.get(), params)) return false;
  Run(m_colorFillShader.get(), nullptr, 0, m_backgroundUav.get(), m_colorParams.get(),
      Groups(m_width, effects::kFillGroup), Groups(m_height, effects::kFillGroup));
  return true;
}

bool BackgroundEffectProcessor::ApplyGradientBackground() {
  if (!m_backgroundUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] ApplyGradientBackground: cached UAV not available\n");
    return false;
  }
  effects::GradientParams params{};
  GradientColors(m_gradientPreset, params.top, params.bottom);
  params.top[3] = params.bottom[3] = 1.0f;
  if (!WriteConstants(m_gradientParams.get(), params)) return false;
  Run(m_gradientFillShader.get(), nullptr, 0, m_backgroundUav.get(), m_gradientParams.get(),
      Groups(m_width, effects::kFillGroup), Groups(m_height, effects::kFillGroup));
  return true;
}

bool BackgroundEffectProcessor::ApplyImageBackground() {
  const int32_t index = m_imagePreset;
  if (index < 0 || index >= kImageCount || !m_images[index]) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Image preset not loaded, using solid color\n");
    return ApplySolidColorBackground();
  }
  if (!m_imageCoverShader || !m_imageParams || !m_backgroundUav) {
    DebugLog<128>(L"[BackgroundEffectProcessor] Image cover shader unavailable, using solid color\n");
    return ApplySolidColorBackground();
  }
  if (!m_imageSrvs[index] && Failed(m_device->CreateShaderResourceView(m_images[index], &m_imageSrvs[index]))) {
    m_imageSrvs[index].reset();
    DebugLog<128>(L"[BackgroundEffectProcessor] Failed to create image SRV, using solid color\n");
    return ApplySolidColorBackground();
  }
  const gpu::TextureDesc d = m_images[index]->GetDesc();
  const effects::ImageCoverParams params{float(d.width), float(d.height), float(m_width), float(m_height)};
  if (!WriteConstants(m_imageParams.get(), params)) return false;
  gpu::ShaderResourceView* const in[] = {m_imageSrvs[index].get()};
  Run(m_imageCoverShader.get(), in, 1, m_backgroundUav.get(), m_imageParams.get(),
      Groups(m_width, effects::kFillGroup), Groups(m_height, effects::kFillGroup));
  return true;
}

void BackgroundEffectProcessor::CompositeWithMask(bool blurredBackground) {
  gpu::ShaderResourceView* background = blurredBackground ? m_outputSrv.get() : m_backgroundSrv.get();
  if (!m_maskSrv || !m_bgraOutputUav || !m_inputSrv || background == nullptr || !m_maskTexture) {
    DebugLog<128>(L"[BackgroundEffectProcessor] CompositeWithMask: views not available\n");
    return;
  }
  const gpu::TextureDesc md = m_maskTexture->GetDesc();
  const float mw = float(md.width), mh = float(md.height), w = float(m_width), h = float(m_height);
  const float scale = std::min(mw / w, mh / h);
  const effects::CompositeParams params{scale, (mw - scale * w) / 2.0f, (mh - scale * h) / 2.0f,
                                        blurredBackground ? 1.0f : 0.0f};
  if (!WriteConstants(m_compositeParams.get(), params)) return;
  gpu::ShaderResourceView* const in[] = {m_inputSrv.get(), background, m_maskSrv.get()};
  Run(m_compositeShader.get(), in, 3, m_bgraOutputUav.get(), m_compositeParams.get(),
      Groups(m_width, effects::kFillGroup), Groups(m_height, effects::kFillGroup));
}

void BackgroundEffectProcessor::Shutdown() {
  if (m_monitor) m_monitor->Stop();
  m_monitor.reset();
  m_model.reset();
  m_blurHorizontalShader.reset();
  m_blurVerticalShader.reset();
  m_compositeShader.reset();
  m_imageCoverShader.reset();
  m_colorFillShader.reset();
  m_gradientFillShader.reset();
  m_channelSwapShader.reset();
  m_blurParams.reset();
  m_colorParams.reset();
  m_gradientParams.reset();
  m_compositeParams.reset();
  m_imageParams.reset();
  ReleaseFrameTextures();
  for (int i = 0; i < kImageCount; ++i) {
    m_imageSrvs[i].reset();
    m_images[i].reset();
  }
  m_context.reset();
  m_device.reset();
  m_autoPerformance = false;
  m_initialized = false;
}

}  // namespace kalto
