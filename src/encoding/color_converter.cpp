#include "encoding/color_converter.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "common/debug_output.h"
#include "encoding/nv12_rows.h"

namespace kalto {

const char* const ColorConverter::kShaderSource = R"(// BgraToNv12.hlsl: BGRA to NV12, BT.709 limited range (Y 16-235, U/V 16-240 around 128).
Texture2D<float4> InputBGRA : register(t0);
RWTexture2D<float> OutputY : register(u0);
RWTexture2D<float2> OutputUV : register(u1);

[numthreads(16, 16, 1)]
void main(uint3 id : SV_DispatchThreadID)
{
    uint2 pos = id.xy;
    float3 c = InputBGRA[pos].rgb;
    float y = dot(c, float3(0.2126, 0.7152, 0.0722));
    OutputY[pos] = (16.0 + 219.0 * y) / 255.0;
    if ((pos.x & 1) == 0 && (pos.y & 1) == 0)
    {
        float3 a = (InputBGRA[pos].rgb + InputBGRA[pos + uint2(1, 0)].rgb +
                    InputBGRA[pos + uint2(0, 1)].rgb + InputBGRA[pos + uint2(1, 1)].rgb) * 0.25;
        float u = 128.0 + 224.0 * dot(a, float3(-0.1146, -0.3854, 0.5));
        float v = 128.0 + 224.0 * dot(a, float3(0.5, -0.4542, -0.0458));
        OutputUV[pos >> 1] = float2(u, v) / 255.0;
    }
}
)";

namespace {

// A zero pixel, as threads beyond the input read it.
uint32_t PixelOrZero(const gpu::TexturePixels& in, uint32_t x, uint32_t y) {
  if (x >= in.width || y >= in.height) return 0;
  uint32_t p;
  std::memcpy(&p, in.data + size_t(y) * in.rowPitch + size_t(x) * 4, 4);
  return p;
}

// Red and blue change places so the row functions always see B, G, R, A bytes.
uint32_t AsBgra(uint32_t p, bool rgba) {
  return rgba ? (p & 0xFF00FF00u) | ((p & 0xFFu) << 16) | ((p >> 16) & 0xFFu) : p;
}

void RunKernel(const gpu::ComputeBindings& bindings, uint32_t groupsX, uint32_t groupYBegin, uint32_t groupYEnd) {
  constexpr uint32_t kGroup = ColorConverter::kGroupSize;
  if (bindings.srv[0] == nullptr || bindings.uav[0] == nullptr || bindings.uav[1] == nullptr) return;
  const gpu::TexturePixels in = gpu::PixelsOf(*bindings.srv[0]->GetTexture());
  const gpu::TexturePixels outY = gpu::PixelsOf(*bindings.uav[0]->GetTexture());
  const gpu::TexturePixels outUV = gpu::PixelsOf(*bindings.uav[1]->GetTexture());
  const bool rgba = in.format == gpu::Format::R8G8B8A8_UNORM;
  if (in.data == nullptr || outY.data == nullptr || outUV.data == nullptr ||
      (!rgba && in.format != gpu::Format::B8G8R8A8_UNORM) || outY.format != gpu::Format::R8_UNORM ||
      outUV.format != gpu::Format::R8G8_UNORM) {
    return;
  }
  // Threads cover groupsX x 16 columns; writes outside a plane are discarded.
  const uint32_t threadsX = groupsX * kGroup;
  const uint32_t lumaCols = std::min(threadsX, outY.width);
  const uint32_t chromaCols = std::min(threadsX / 2, outUV.width);
  // Columns whose pixels (and both pixels of whose blocks) lie inside the input take the fast rows.
  const uint32_t fastLuma = rgba ? 0 : std::min(lumaCols, in.width);
  const uint32_t fastChroma = rgba ? 0 : std::min(chromaCols, in.width / 2);

  const uint32_t yBegin = groupYBegin * kGroup;
  const uint32_t yEnd = groupYEnd * kGroup;
  for (uint32_t y = yBegin; y < yEnd; y += 2) {
    // Groups are 16 rows high, so a band always holds both rows of a chroma block.
    for (uint32_t row = y; row < y + 2 && row < outY.height; ++row) {
      uint8_t* dst = outY.data + size_t(row) * outY.rowPitch;
      uint32_t x = 0;
      if (row < in.height && fastLuma > 0) {
        nv12::LumaRow(reinterpret_cast<const uint32_t*>(in.data + size_t(row) * in.rowPitch), dst, fastLuma);
        x = fastLuma;
      }
      for (; x < lumaCols; ++x) {
        const uint32_t p = AsBgra(PixelOrZero(in, x, row), rgba);
        dst[x] = nv12::Luma((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
      }
    }
    const uint32_t chromaRow = y / 2;
    if (chromaRow >= outUV.height) continue;
    auto* dst = reinterpret_cast<uint16_t*>(outUV.data + size_t(chromaRow) * outUV.rowPitch);
    uint32_t i = 0;
    if (y + 1 < in.height && fastChroma > 0) {
      nv12::ChromaRow(reinterpret_cast<const uint32_t*>(in.data + size_t(y) * in.rowPitch),
                      reinterpret_cast<const uint32_t*>(in.data + size_t(y + 1) * in.rowPitch), dst, fastChroma);
      i = fastChroma;
    }
    for (; i < chromaCols; ++i) {
      uint32_t r = 0, g = 0, b = 0;
      for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t p = AsBgra(PixelOrZero(in, 2 * i + (k & 1), y + (k >> 1)), rgba);
        r += (p >> 16) & 0xFF;
        g += (p >> 8) & 0xFF;
        b += p & 0xFF;
      }
      const uint8_t uv[2] = {nv12::ChromaU(r, g, b), nv12::ChromaV(r, g, b)};
      std::memcpy(dst + i, uv, 2);
    }
  }
}

gpu::TextureDesc PlaneDesc(uint32_t width, uint32_t height, gpu::Format format, gpu::Usage usage, uint32_t bind,
                           uint32_t cpuAccess) {
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.format = format;
  desc.usage = usage;
  desc.bindFlags = bind;
  desc.cpuAccessFlags = cpuAccess;
  return desc;
}

constexpr uint32_t kPlaneBind = gpu::BIND_UNORDERED_ACCESS | gpu::BIND_SHADER_RESOURCE;  // 0x88

// The read-back rows are the CPU's share of every frame; they go over the device's workers.
void CopyPlaneRows(uint8_t* dst, uint32_t dstPitch, const uint8_t* src, uint32_t srcPitch, uint32_t rowBytes,
                   uint32_t rows) {
  gpu::ParallelFor(rows, [&](uint32_t begin, uint32_t end) {
    for (uint32_t y = begin; y < end; ++y) {
      std::memcpy(dst + size_t(y) * dstPitch, src + size_t(y) * srcPitch, rowBytes);
    }
  });
}

}  // namespace

void ColorConverter::RegisterKernel() {
  gpu::ComputeKernel kernel;
  kernel.groupSizeX = kGroupSize;
  kernel.groupSizeY = kGroupSize;
  kernel.run = RunKernel;
  kernel.writesWholeTargets = true;  // every Y and UV pixel once the threads cover the picture
  gpu::RegisterKernel(kShaderName, kShaderEntry, kShaderTarget, std::move(kernel));
}

ColorConverter::ColorConverter(std::shared_ptr<gpu::DeviceFactory> compiler) : m_compiler(std::move(compiler)) {}

ColorConverter::~ColorConverter() { Shutdown(); }

bool ColorConverter::Initialize(gpu::Device* device, uint32_t width, uint32_t height) {
  if (device == nullptr || width == 0 || height == 0) {
    DebugLog<128>(L"[ColorConverter] Initialize failed: invalid parameters\n");
    return false;
  }
  if ((width & 1) != 0 || (height & 1) != 0) {
    DebugLog<128>(L"[ColorConverter] Initialize failed: dimensions must be even for NV12\n");
    return false;
  }
  m_device = device->shared_from_this();
  m_context = m_device->GetImmediateContext();
  if (!m_context) {
    DebugLog<128>(L"[ColorConverter] GetImmediateContext returned null\n");
    return false;
  }
  m_width = width;
  m_height = height;
  if (!CreateShaders()) {
    DebugLog<128>(L"[ColorConverter] Failed to create shaders\n");
    return false;
  }
  if (!CreateTextures()) {
    DebugLog<128>(L"[ColorConverter] Failed to create textures\n");
    return false;
  }
  if (!CreateStagingTextures()) {
    DebugLog<128>(L"[ColorConverter] Failed to create staging texture\n");
    return false;
  }
  m_initialized = true;
  return true;
}

bool ColorConverter::CreateShaders() {
  static std::once_flag registered;
  std::call_once(registered, [] { RegisterKernel(); });

  std::shared_ptr<gpu::ShaderBlob> blob;
  std::string errors;
  HRESULT hr = m_compiler ? m_compiler->CompileShader(kShaderName, kShaderSource, kShaderEntry, kShaderTarget, &blob,
                                                      &errors)
                          : E_POINTER;
  if (Failed(hr) || !blob) {
    if (!errors.empty()) {
      OutputDebugNarrow("[ColorConverter] Shader compilation error:\n");
      OutputDebugNarrow(errors.c_str());
    }
    return false;
  }
  hr = m_device->CreateComputeShader(*blob, &m_computeShader);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create compute shader: 0x%08X\n", HrBits(hr));
    return false;
  }
  return true;
}

bool ColorConverter::CreateTextures() {
  HRESULT hr = m_device->CreateTexture2D(
      PlaneDesc(m_width, m_height, gpu::Format::R8_UNORM, gpu::Usage::Default, kPlaneBind, 0), nullptr, 0,
      &m_yTexture);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create Y plane texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  hr = m_device->CreateUnorderedAccessView(m_yTexture, &m_yUav);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create Y plane UAV: 0x%08X\n", HrBits(hr));
    return false;
  }
  hr = m_device->CreateTexture2D(
      PlaneDesc(m_width / 2, m_height / 2, gpu::Format::R8G8_UNORM, gpu::Usage::Default, kPlaneBind, 0), nullptr, 0,
      &m_uvTexture);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create UV plane texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  hr = m_device->CreateUnorderedAccessView(m_uvTexture, &m_uvUav);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create UV plane UAV: 0x%08X\n", HrBits(hr));
    return false;
  }
  return true;
}

bool ColorConverter::CreateStagingTextures() {
  HRESULT hr = m_device->CreateTexture2D(PlaneDesc(m_width, m_height + m_height / 2, gpu::Format::R8_UNORM,
                                                   gpu::Usage::Staging, 0,
                                                   gpu::CPU_ACCESS_READ | gpu::CPU_ACCESS_WRITE),
                                         nullptr, 0, &m_nv12Staging);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create staging texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  hr = m_device->CreateTexture2D(
      PlaneDesc(m_width, m_height, gpu::Format::R8_UNORM, gpu::Usage::Staging, 0, gpu::CPU_ACCESS_READ), nullptr, 0,
      &m_yStaging);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create Y staging texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  hr = m_device->CreateTexture2D(
      PlaneDesc(m_width / 2, m_height / 2, gpu::Format::R8G8_UNORM, gpu::Usage::Staging, 0, gpu::CPU_ACCESS_READ),
      nullptr, 0, &m_uvStaging);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create UV staging texture: 0x%08X\n", HrBits(hr));
    return false;
  }
  return true;
}

bool ColorConverter::Convert(gpu::Texture2D* input, gpu::Texture2D** nv12) {
  if (!m_initialized || input == nullptr) return false;
  const gpu::TextureDesc desc = input->GetDesc();
  if (desc.width != m_width || desc.height != m_height) {
    DebugLog<128>(L"[ColorConverter] Input dimensions mismatch: expected %ux%u, got %ux%u\n", m_width, m_height,
                  desc.width, desc.height);
    return false;
  }
  // The frame is borrowed for this call only; the view refers to it without owning it and is
  // released before returning.
  std::shared_ptr<gpu::ShaderResourceView> inputView;
  const HRESULT hr = m_device->CreateShaderResourceView(std::shared_ptr<gpu::Texture2D>(std::shared_ptr<void>(), input),
                                                        &inputView);
  if (Failed(hr)) {
    DebugLog<128>(L"[ColorConverter] Failed to create input SRV: 0x%08X\n", HrBits(hr));
    return false;
  }

  gpu::ShaderResourceView* srvs[] = {inputView.get()};
  gpu::UnorderedAccessView* uavs[] = {m_yUav.get(), m_uvUav.get()};
  m_context->CSSetShader(m_computeShader.get());
  m_context->CSSetShaderResources(0, 1, srvs);
  m_context->CSSetUnorderedAccessViews(0, 2, uavs);
  m_context->Dispatch((m_width + kGroupSize - 1) / kGroupSize, (m_height + kGroupSize - 1) / kGroupSize, 1);
  gpu::ShaderResourceView* noSrv[] = {nullptr};
  gpu::UnorderedAccessView* noUav[] = {nullptr, nullptr};
  m_context->CSSetShaderResources(0, 1, noSrv);
  m_context->CSSetUnorderedAccessViews(0, 2, noUav);
  m_context->CSSetShader(nullptr);

  m_context->CopyResource(*m_yStaging, *m_yTexture);
  m_context->CopyResource(*m_uvStaging, *m_uvTexture);

  gpu::MappedSubresource target;
  if (Failed(m_context->Map(*m_nv12Staging, 0, gpu::MapType::Write, 0, &target))) return false;
  auto* out = static_cast<uint8_t*>(target.data);
  gpu::MappedSubresource plane;
  if (Succeeded(m_context->Map(*m_yStaging, 0, gpu::MapType::Read, 0, &plane))) {
    CopyPlaneRows(out, target.rowPitch, static_cast<const uint8_t*>(plane.data), plane.rowPitch, m_width, m_height);
    m_context->Unmap(*m_yStaging, 0);
  }
  if (Succeeded(m_context->Map(*m_uvStaging, 0, gpu::MapType::Read, 0, &plane))) {
    // One chroma row is width / 2 (U, V) pairs: width bytes.
    CopyPlaneRows(out + size_t(m_height) * target.rowPitch, target.rowPitch, static_cast<const uint8_t*>(plane.data),
                  plane.rowPitch, m_width, m_height / 2);
    m_context->Unmap(*m_uvStaging, 0);
  }
  m_context->Unmap(*m_nv12Staging, 0);
  if (nv12 != nullptr) *nv12 = m_nv12Staging.get();
  return true;
}

void ColorConverter::Shutdown() {
  m_initialized = false;
  m_uvTexture.reset();
  m_yTexture.reset();
  m_uvUav.reset();
  m_yUav.reset();
  m_uvStaging.reset();
  m_yStaging.reset();
  m_nv12Staging.reset();
  m_computeShader.reset();
  m_context.reset();
  m_device.reset();
  m_width = 0;
  m_height = 0;
}

}  // namespace kalto
