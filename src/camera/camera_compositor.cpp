#include "camera/camera_compositor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "common/debug_output.h"

namespace kalto {

const char* const CameraCompositor::kShaderSource = R"(// Compositor.hlsl: the camera bubble over the screen frame.
cbuffer Params : register(b0)
{
    float4 uRect;        // x, y, width, height in output units (0..1, top-left origin)
    float4 uShape;       // cornerRadius, mirror, cover, opacity
    float4 uBorderColor; // straight alpha
    float4 uBorderMisc;  // borderWidth, cameraAspect, 0, 0
};

Texture2D CameraTexture : register(t0);
SamplerState LinearClamp : register(s0);

struct VSOut
{
    float4 position : SV_Position;
    float2 local : TEXCOORD0; // -1..1 across the quad
};

VSOut VSMain(uint id : SV_VertexID)
{
    float2 corner = float2(id & 1, (id >> 1) & 1);
    float2 r = uRect.xy + corner * uRect.zw;
    VSOut o;
    o.position = float4(2.0 * r.x - 1.0, 1.0 - 2.0 * r.y, 0.0, 1.0);
    o.local = 2.0 * corner - 1.0;
    return o;
}

float4 PSMain(VSOut input) : SV_Target
{
    float2 p = input.local;
    float radius = uShape.x;
    float aspect = uBorderMisc.y;
    float2 uv = 0.5 * p + 0.5;
    bool cover = uShape.z > 0.5;
    if (cover)
    {
        if (aspect > 1.0) uv.x = (uv.x - 0.5) / aspect + 0.5;
        else uv.y = (uv.y - 0.5) * aspect + 0.5;
    }
    else
    {
        if (aspect > 1.0) uv.y = (uv.y - 0.5) * aspect + 0.5;
        else uv.x = (uv.x - 0.5) / aspect + 0.5;
    }
    if (uShape.y > 0.5) uv.x = 1.0 - uv.x;

    float4 color = float4(CameraTexture.Sample(LinearClamp, saturate(uv)).rgb, 1.0);
    if (!cover && (any(uv < 0.0) || any(uv > 1.0))) color.a = 0.0;

    float2 d = abs(p) - (1.0 - radius);
    float outside = length(max(d, 0.0));
    float inside = min(max(d.x, d.y), 0.0);
    float dist = outside + inside - radius;
    float aa = fwidth(dist) + 0.0001;
    float shapeAlpha = saturate(0.5 - dist / aa);

    float borderWidth = uBorderMisc.x;
    if (borderWidth > 0.0001 && uBorderColor.a > 0.0001)
    {
        float mask = saturate((borderWidth - (-dist)) / aa) * uBorderColor.a;
        color.rgb = lerp(color.rgb, uBorderColor.rgb, mask);
        color.a = max(color.a, mask);
    }
    color.a *= shapeAlpha * uShape.w;
    return color;
}
)";

namespace {

constexpr const char* kVertexEntry = "VSMain";
constexpr const char* kVertexTarget = "vs_5_0";
constexpr const char* kPixelEntry = "PSMain";
constexpr const char* kPixelTarget = "ps_5_0";

// The shader's Params, register b0.
struct Params {
  float rect[4];
  float shape[4];
  float borderColor[4];
  float borderMisc[4];
};
static_assert(sizeof(Params) == 64);

float Saturate(float value) { return value > 0.0f ? std::min(value, 1.0f) : 0.0f; }
float SignOf(float value) { return value < 0.0f ? -1.0f : 1.0f; }

void VertexMain(const gpu::StageBindings& bindings, uint32_t id, gpu::VertexOutput& out) {
  const auto k = gpu::ReadConstants<Params>(bindings, 0);
  const float cornerX = float(id & 1), cornerY = float((id >> 1) & 1);
  const float rx = k.rect[0] + cornerX * k.rect[2], ry = k.rect[1] + cornerY * k.rect[3];
  out.position[0] = 2.0f * rx - 1.0f;
  out.position[1] = 1.0f - 2.0f * ry;
  out.position[2] = 0.0f;
  out.position[3] = 1.0f;
  out.varyings[0] = 2.0f * cornerX - 1.0f;
  out.varyings[1] = 2.0f * cornerY - 1.0f;
}

// The pixels [begin, end) of a span whose rounded-box distance is at most `depth`, solved from
// the shape rather than per pixel, and narrowed (or, with `grow`, widened) by a pixel so float
// rounding stays on the per-pixel side. A span that does not run along a row of the quad gives
// the safe answer: nothing is surely inside, everything may be.
std::pair<uint32_t, uint32_t> DepthRun(const gpu::PixelSpan& span, float radius, float depth, uint32_t count,
                                       bool grow) {
  const float pxDx = span.ddx[0], x0 = span.varyings[0];
  if (span.ddx[1] != 0.0f || pxDx == 0.0f || !std::isfinite(pxDx)) return {0, grow ? count : 0};
  // At distance `depth` the shape is the box moved out by depth, its corners rounded by
  // radius + depth where that is positive.
  const float dy = std::abs(span.varyings[1]) - (1.0f - radius), reach = radius + depth;
  float half;
  if (dy <= 0.0f) {
    if (dy > reach) return {0, 0};
    half = 1.0f + depth;
  } else {
    if (!(reach > dy)) return {0, 0};
    half = (1.0f - radius) + std::sqrt(reach * reach - dy * dy);
  }
  if (!(half > 0.0f)) return {0, 0};
  float first = (-half - x0) / pxDx, last = (half - x0) / pxDx;
  if (first > last) std::swap(first, last);
  const float margin = grow ? -1.0f : 1.0f;
  const float begin = std::clamp(std::ceil(first) + margin, 0.0f, float(count));
  const float end = std::clamp(std::floor(last) + 1.0f - margin, 0.0f, float(count));
  return begin < end ? std::pair{uint32_t(begin), uint32_t(end)} : std::pair{0u, 0u};
}

// PSMain over a span. fwidth(dist) is |ddx| + |ddy| of dist, formed from the rasteriser's exact
// derivatives of the local coordinate by the chain rule through the rounded box's gradient. Runs
// of pixels that are surely outside the shape (alpha 0) or deep inside it (full coverage, no
// border) skip the distance, and those outside skip the camera too.
void PixelMain(const gpu::StageBindings& bindings, const gpu::PixelSpan& span) {
  const uint32_t count = std::min(span.count, gpu::PixelSpan::kMaxCount);
  const auto k = gpu::ReadConstants<Params>(bindings, 0);
  const gpu::TextureSampler camera(bindings.srv[0], bindings.sampler[0]);
  const float radius = k.shape[0], opacity = k.shape[3], aspect = k.borderMisc[1];
  const bool mirror = k.shape[1] > 0.5f, cover = k.shape[2] > 0.5f;
  const float borderWidth = k.borderMisc[0];
  const bool border = borderWidth > 0.0001f && k.borderColor[3] > 0.0001f;
  const float pxDx = span.ddx[0], pyDx = span.ddx[1], pxDy = span.ddy[0], pyDy = span.ddy[1];
  // uv is affine in p; cover crops the camera's longer side, contain letterboxes it.
  float uScale = 0.5f, vScale = 0.5f;
  if (cover == (aspect > 1.0f)) {
    uScale /= aspect;
  } else {
    vScale *= aspect;
  }
  if (mirror) uScale = -uScale;
  const float u0 = 0.5f + uScale * span.varyings[0], du = uScale * pxDx;
  const float v0 = 0.5f + vScale * span.varyings[1], dv = vScale * pyDx;

  const float aaMax = std::abs(pxDx) + std::abs(pyDx) + std::abs(pxDy) + std::abs(pyDy) + 0.0001f;
  const auto [outerBegin, outerEnd] = DepthRun(span, radius, 0.5f * aaMax + 0.0001f, count, true);
  auto [innerBegin, innerEnd] =
      DepthRun(span, radius, std::min(-0.5f * aaMax, border ? -borderWidth : 0.0f) - 0.0001f, count, false);
  innerBegin = std::max(innerBegin, outerBegin), innerEnd = std::min(innerEnd, outerEnd);
  if (innerBegin >= innerEnd) innerBegin = innerEnd = outerEnd;
  std::fill(span.rgba, span.rgba + size_t(outerBegin) * 4, 0.0f);
  std::fill(span.rgba + size_t(outerEnd) * 4, span.rgba + size_t(count) * 4, 0.0f);
  // saturate(uv) is left to the clamp sampler, which reads the same texels for points beyond.
  if (dv == 0.0f) {
    camera.SampleRow(u0, du, v0, outerBegin, outerEnd, span.rgba);
  }
  const auto barred = [&](float u, float v) { return !cover && (u < 0.0f || u > 1.0f || v < 0.0f || v > 1.0f); };
  const auto edge = [&](uint32_t i) {
    float* out = span.rgba + size_t(i) * 4;
    const float u = u0 + float(i) * du, v = v0 + float(i) * dv;
    if (dv != 0.0f) camera.Sample(Saturate(u), Saturate(v), out);
    out[3] = barred(u, v) ? 0.0f : 1.0f;
    const float px = span.varyings[0] + float(i) * pxDx, py = span.varyings[1] + float(i) * pyDx;
    const float dx = std::abs(px) - (1.0f - radius), dy = std::abs(py) - (1.0f - radius);
    const float ox = std::max(dx, 0.0f), oy = std::max(dy, 0.0f);
    const float outside = std::sqrt(ox * ox + oy * oy);
    const float dist = outside + std::min(std::max(dx, dy), 0.0f) - radius;
    float gx = 0.0f, gy = 0.0f;
    if (dx > 0.0f && dy > 0.0f) {
      gx = SignOf(px) * dx / outside, gy = SignOf(py) * dy / outside;
    } else if (dx >= dy) {
      gx = SignOf(px);
    } else {
      gy = SignOf(py);
    }
    const float aa = std::abs(gx * pxDx + gy * pyDx) + std::abs(gx * pxDy + gy * pyDy) + 0.0001f;
    if (border) {
      const float mask = Saturate((borderWidth - (-dist)) / aa) * k.borderColor[3];
      for (int c = 0; c < 3; ++c) out[c] += (k.borderColor[c] - out[c]) * mask;
      out[3] = std::max(out[3], mask);
    }
    out[3] *= Saturate(0.5f - dist / aa) * opacity;
  };
  for (uint32_t i = outerBegin; i < innerBegin; ++i) edge(i);
  if (dv == 0.0f && cover) {
    // Sampled already and never barred: only the alpha is left.
    for (uint32_t i = innerBegin; i < innerEnd; ++i) span.rgba[size_t(i) * 4 + 3] = opacity;
    innerBegin = innerEnd;
  }
  for (uint32_t i = innerBegin; i < innerEnd; ++i) {
    float* out = span.rgba + size_t(i) * 4;
    const float u = u0 + float(i) * du, v = v0 + float(i) * dv;
    if (dv != 0.0f) camera.Sample(Saturate(u), Saturate(v), out);
    out[3] = barred(u, v) ? 0.0f : opacity;
  }
  for (uint32_t i = innerEnd; i < outerEnd; ++i) edge(i);
}

void RegisterKernels() {
  gpu::RegisterKernel(CameraCompositor::kShaderName, kVertexEntry, kVertexTarget, gpu::VertexKernel{2, VertexMain});
  gpu::RegisterKernel(CameraCompositor::kShaderName, kPixelEntry, kPixelTarget, gpu::PixelKernel{PixelMain});
}

}  // namespace

CameraCompositor::CameraCompositor(std::shared_ptr<gpu::DeviceFactory> compiler) : m_compiler(std::move(compiler)) {}

CameraCompositor::~CameraCompositor() { Shutdown(); }

bool CameraCompositor::Initialize(std::shared_ptr<gpu::Device> device, uint32_t width, uint32_t height) {
  try {
    Shutdown();
    if (!device) return false;
    m_device = std::move(device);
    m_context = m_device->GetImmediateContext();
    if (!m_context) {
      DebugLog<128>(L"[CameraCompositor] GetImmediateContext returned null\n");
      return false;
    }
    if (!CreatePipeline() || !CreateOutput(width, height)) return false;
    m_initialized = true;
    return true;
  } catch (...) {
    return false;
  }
}

bool CameraCompositor::CreatePipeline() {
  if (!m_device) return false;
  static std::once_flag registered;
  std::call_once(registered, RegisterKernels);

  const auto compile = [&](const char* entry, const char* target, const wchar_t* failure,
                           std::shared_ptr<gpu::ShaderBlob>* blob) {
    std::string errors;
    const HRESULT hr = m_compiler ? m_compiler->CompileShader(kShaderName, kShaderSource, entry, target, blob, &errors)
                                  : E_POINTER;
    if (Failed(hr) || !*blob) {
      if (!errors.empty()) OutputDebugNarrow(errors.c_str());
      DebugLog<128>(failure);
      return false;
    }
    return true;
  };
  std::shared_ptr<gpu::ShaderBlob> vsBlob, psBlob;
  if (!compile(kVertexEntry, kVertexTarget, L"[CameraCompositor] VS compile failed\n", &vsBlob) ||
      !compile(kPixelEntry, kPixelTarget, L"[CameraCompositor] PS compile failed\n", &psBlob)) {
    return false;
  }
  if (Failed(m_device->CreateVertexShader(*vsBlob, &m_vertexShader))) {
    DebugLog<128>(L"[CameraCompositor] CreateVertexShader failed\n");
    return false;
  }
  if (Failed(m_device->CreatePixelShader(*psBlob, &m_pixelShader))) {
    DebugLog<128>(L"[CameraCompositor] CreatePixelShader failed\n");
    return false;
  }

  gpu::SamplerDesc sampler;
  sampler.filter = gpu::Filter::MinMagMipLinear;
  sampler.addressU = sampler.addressV = sampler.addressW = gpu::TextureAddressMode::Clamp;
  sampler.mipLodBias = 0.0f;
  sampler.maxAnisotropy = 0;
  sampler.comparisonFunc = gpu::ComparisonFunc::Never;
  std::fill(std::begin(sampler.borderColor), std::end(sampler.borderColor), 0.0f);
  sampler.minLod = 0.0f;
  sampler.maxLod = FLT_MAX;
  if (Failed(m_device->CreateSamplerState(sampler, &m_sampler))) {
    DebugLog<128>(L"[CameraCompositor] CreateSamplerState failed\n");
    return false;
  }

  gpu::BlendDesc blend;
  blend.alphaToCoverageEnable = false;
  blend.independentBlendEnable = false;
  auto& target = blend.renderTarget[0];
  target.blendEnable = true;
  target.srcBlend = gpu::Blend::SrcAlpha;
  target.destBlend = gpu::Blend::InvSrcAlpha;
  target.blendOp = gpu::BlendOp::Add;
  target.srcBlendAlpha = gpu::Blend::One;
  target.destBlendAlpha = gpu::Blend::InvSrcAlpha;
  target.blendOpAlpha = gpu::BlendOp::Add;
  target.renderTargetWriteMask = gpu::COLOR_WRITE_ENABLE_ALL;
  if (Failed(m_device->CreateBlendState(blend, &m_blendState))) {
    DebugLog<128>(L"[CameraCompositor] CreateBlendState failed\n");
    return false;
  }

  gpu::RasterizerDesc rasterizer;
  rasterizer.fillMode = gpu::FillMode::Solid;
  rasterizer.cullMode = gpu::CullMode::None;
  rasterizer.frontCounterClockwise = false;
  rasterizer.depthBias = 0;
  rasterizer.depthClipEnable = true;
  rasterizer.scissorEnable = false;
  rasterizer.multisampleEnable = false;
  rasterizer.antialiasedLineEnable = false;
  if (Failed(m_device->CreateRasterizerState(rasterizer, &m_rasterizerState))) {
    DebugLog<128>(L"[CameraCompositor] CreateRasterizerState failed\n");
    return false;
  }

  gpu::BufferDesc constants;
  constants.byteWidth = sizeof(Params);
  constants.usage = gpu::Usage::Dynamic;
  constants.bindFlags = gpu::BIND_CONSTANT_BUFFER;
  constants.cpuAccessFlags = gpu::CPU_ACCESS_WRITE;
  if (Failed(m_device->CreateBuffer(constants, nullptr, &m_constantBuffer))) {
    DebugLog<128>(L"[CameraCompositor] CreateBuffer (CB) failed\n");
    return false;
  }
  return true;
}

bool CameraCompositor::CreateOutput(uint32_t width, uint32_t height) {
  m_outputRtv.reset();
  m_outputTexture.reset();
  // Recorded only once both exist, so a failed attempt is retried on the next frame.
  m_outputWidth = m_outputHeight = 0;
  if (!m_device) return false;
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.mipLevels = 1;
  desc.arraySize = 1;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.sampleCount = 1;
  desc.usage = gpu::Usage::Default;
  desc.bindFlags = gpu::BIND_SHADER_RESOURCE | gpu::BIND_RENDER_TARGET;
  if (Failed(m_device->CreateTexture2D(desc, nullptr, 0, &m_outputTexture))) {
    DebugLog<128>(L"[CameraCompositor] CreateTexture2D (output) failed\n");
    return false;
  }
  if (Failed(m_device->CreateRenderTargetView(m_outputTexture, &m_outputRtv))) {
    DebugLog<128>(L"[CameraCompositor] CreateRenderTargetView failed\n");
    m_outputTexture.reset();
    return false;
  }
  m_outputWidth = width;
  m_outputHeight = height;
  return true;
}

bool CameraCompositor::Composite(gpu::Texture2D* screenFrame, const std::shared_ptr<gpu::Texture2D>& cameraTexture,
                                 const CompositorParams& params, gpu::Texture2D** outTexture) {
  try {
    if (!m_initialized || screenFrame == nullptr || !cameraTexture) return false;
    const gpu::TextureDesc frame = screenFrame->GetDesc();
    if (frame.width != m_outputWidth || frame.height != m_outputHeight || !m_outputTexture) {
      if (!CreateOutput(frame.width, frame.height)) return false;
    }
    m_context->CopyResource(*m_outputTexture, *screenFrame);

    bool haveView = m_cameraSrv && m_cachedCameraTexture == cameraTexture.get();
    if (!haveView) {
      m_cameraSrv.reset();
      m_cachedCameraTexture = nullptr;
      if (Failed(m_device->CreateShaderResourceView(cameraTexture, &m_cameraSrv))) {
        DebugLog<128>(L"[CameraCompositor] CreateShaderResourceView (camera) failed\n");
      } else {
        m_cachedCameraTexture = cameraTexture.get();
        haveView = true;
      }
    }
    if (haveView) {
      gpu::MappedSubresource mapped;
      // A failed map leaves the previous frame's constants in place.
      if (Succeeded(m_context->Map(*m_constantBuffer, gpu::MapType::WriteDiscard, &mapped))) {
        const float aspect = params.cameraAspect > 0.0001f ? params.cameraAspect : 1.0f;
        const Params constants = {
            {params.x, params.y, params.width, params.height},
            {params.cornerRadius, params.mirror ? 1.0f : 0.0f, params.fillMode == 1 ? 1.0f : 0.0f, params.opacity},
            {params.borderColor[0], params.borderColor[1], params.borderColor[2], params.borderColor[3]},
            {params.borderWidth, aspect, 0.0f, 0.0f}};
        std::memcpy(mapped.data, &constants, sizeof constants);
        m_context->Unmap(*m_constantBuffer);
      }

      gpu::RenderTargetView* const targets[] = {m_outputRtv.get()};
      m_context->OMSetRenderTargets(1, targets, nullptr);
      const gpu::Viewport viewport{0.0f, 0.0f, float(m_outputWidth), float(m_outputHeight), 0.0f, 1.0f};
      m_context->RSSetViewports(1, &viewport);
      m_context->RSSetState(m_rasterizerState.get());
      const float blendFactor[4] = {0.0f, 0.0f, 0.0f, 0.0f};
      m_context->OMSetBlendState(m_blendState.get(), blendFactor, 0xFFFFFFFFu);
      m_context->IASetInputLayout(nullptr);
      m_context->IASetPrimitiveTopology(gpu::PrimitiveTopology::TriangleStrip);
      m_context->IASetVertexBuffers(0, 0, nullptr, nullptr, nullptr);
      gpu::Buffer* const constantBuffers[] = {m_constantBuffer.get()};
      m_context->VSSetShader(m_vertexShader.get());
      m_context->VSSetConstantBuffers(0, 1, constantBuffers);
      m_context->PSSetShader(m_pixelShader.get());
      m_context->PSSetConstantBuffers(0, 1, constantBuffers);
      gpu::ShaderResourceView* const views[] = {m_cameraSrv.get()};
      m_context->PSSetShaderResources(0, 1, views);
      gpu::SamplerState* const samplers[] = {m_sampler.get()};
      m_context->PSSetSamplers(0, 1, samplers);
      m_context->Draw(4, 0);

      gpu::ShaderResourceView* const noView[] = {nullptr};
      m_context->OMSetRenderTargets(0, nullptr, nullptr);
      m_context->PSSetShaderResources(0, 1, noView);
    }
    if (outTexture != nullptr) *outTexture = m_outputTexture.get();
    return true;
  } catch (...) {
    return false;
  }
}

void CameraCompositor::Shutdown() {
  m_cameraSrv.reset();
  m_cachedCameraTexture = nullptr;
  m_outputRtv.reset();
  m_outputTexture.reset();
  m_constantBuffer.reset();
  m_rasterizerState.reset();
  m_blendState.reset();
  m_sampler.reset();
  m_pixelShader.reset();
  m_vertexShader.reset();
  m_context.reset();
  m_device.reset();
  m_outputWidth = m_outputHeight = 0;
  m_initialized = false;
}

}  // namespace kalto
