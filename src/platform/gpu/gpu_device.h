#pragma once
// The graphics device the engine renders, copies and computes on. Shaped after the Direct3D 11
// calls the engine makes: a device creates resources, an immediate context runs commands on them.
// Objects are reference counted (shared_ptr); a borrowed object is passed as a reference or raw
// pointer for the length of a call.
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/result.h"

namespace kalto::gpu {

enum class Format : uint32_t {
  Unknown = 0,
  R32_FLOAT = 41,
  R8G8_UNORM = 49,
  R8G8B8A8_UNORM = 28,
  R8_UNORM = 61,
  B8G8R8A8_UNORM = 87,
};
// Bytes per pixel of a format; 0 for Unknown.
uint32_t BytesPerPixel(Format format);

enum class Usage : uint32_t { Default = 0, Immutable = 1, Dynamic = 2, Staging = 3 };

enum BindFlag : uint32_t {
  BIND_VERTEX_BUFFER = 0x1,
  BIND_CONSTANT_BUFFER = 0x4,
  BIND_SHADER_RESOURCE = 0x8,
  BIND_RENDER_TARGET = 0x20,
  BIND_UNORDERED_ACCESS = 0x80,
};
enum CpuAccessFlag : uint32_t { CPU_ACCESS_WRITE = 0x10000, CPU_ACCESS_READ = 0x20000 };
enum MiscFlag : uint32_t { MISC_SHARED = 0x2, MISC_SHARED_KEYEDMUTEX = 0x100 };

enum class DriverType : uint32_t { Hardware = 1, Warp = 5 };
enum CreateDeviceFlag : uint32_t { CREATE_DEVICE_BGRA_SUPPORT = 0x20 };
enum class FeatureLevel : uint32_t {
  Level_10_0 = 0xa000,
  Level_10_1 = 0xa100,
  Level_11_0 = 0xb000,
  Level_11_1 = 0xb100,
};

struct TextureDesc {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t mipLevels = 1;
  uint32_t arraySize = 1;
  Format format = Format::Unknown;
  uint32_t sampleCount = 1;
  Usage usage = Usage::Default;
  uint32_t bindFlags = 0;
  uint32_t cpuAccessFlags = 0;
  uint32_t miscFlags = 0;
};

struct BufferDesc {
  uint32_t byteWidth = 0;
  Usage usage = Usage::Default;
  uint32_t bindFlags = 0;
  uint32_t cpuAccessFlags = 0;
};

struct Box {
  uint32_t left = 0, top = 0, front = 0, right = 0, bottom = 0, back = 1;
};

enum class MapType : uint32_t { Read = 1, Write = 2, ReadWrite = 3, WriteDiscard = 4, WriteNoOverwrite = 5 };

struct MappedSubresource {
  void* data = nullptr;
  uint32_t rowPitch = 0;
  uint32_t depthPitch = 0;
};

// A process-independent name for a shared texture, valid while any texture that shares it lives.
using SharedHandle = uint64_t;

class Adapter;
class Device;

class Resource {
 public:
  virtual ~Resource() = default;
};

class Buffer : public Resource {
 public:
  virtual BufferDesc GetDesc() const = 0;
};

class KeyedMutex {
 public:
  virtual ~KeyedMutex() = default;
  // S_OK when acquired; WAIT_TIMEOUT_RESULT when the key was not released within timeoutMs;
  // an error when the key cannot be waited for.
  virtual HRESULT AcquireSync(uint64_t key, uint32_t timeoutMs) = 0;
  virtual HRESULT ReleaseSync(uint64_t key) = 0;
};

// Always owned by a shared_ptr, so a borrowed texture can be kept (a view made from it).
class Texture2D : public Resource, public std::enable_shared_from_this<Texture2D> {
 public:
  virtual TextureDesc GetDesc() const = 0;
  // The device that created or opened this texture.
  virtual std::shared_ptr<Device> GetDevice() const = 0;
  // For MISC_SHARED / MISC_SHARED_KEYEDMUTEX textures; E_INVALIDARG otherwise.
  virtual HRESULT GetSharedHandle(SharedHandle* handle) const = 0;
  // The keyed mutex of a MISC_SHARED_KEYEDMUTEX texture (shared by every opening of it);
  // null otherwise (the platform answers E_NOINTERFACE).
  virtual std::shared_ptr<KeyedMutex> QueryKeyedMutex() = 0;
};

class ShaderResourceView {
 public:
  virtual ~ShaderResourceView() = default;
  virtual std::shared_ptr<Texture2D> GetTexture() const = 0;
};
class UnorderedAccessView {
 public:
  virtual ~UnorderedAccessView() = default;
  virtual std::shared_ptr<Texture2D> GetTexture() const = 0;
};
class RenderTargetView {
 public:
  virtual ~RenderTargetView() = default;
  virtual std::shared_ptr<Texture2D> GetTexture() const = 0;
};

// A compiled kernel: what D3DCompile returns and CreateComputeShader consumes.
class ShaderBlob {
 public:
  virtual ~ShaderBlob() = default;
  virtual const std::string& Name() const = 0;
};

class ComputeShader {
 public:
  virtual ~ComputeShader() = default;
};

// The views, buffers and samplers bound to a compute dispatch, as a kernel sees them.
struct ComputeBindings {
  static constexpr int kSlots = 8;
  ShaderResourceView* srv[kSlots] = {};
  UnorderedAccessView* uav[kSlots] = {};
  Buffer* cb[kSlots] = {};
};

// ---------------------------------------------------------------------------------------------
// Graphics pipeline: vertex and pixel kernels over a rasteriser, with the fixed-function states.
// Enumerations keep the platform's values.

class VertexShader {
 public:
  virtual ~VertexShader() = default;
};
class PixelShader {
 public:
  virtual ~PixelShader() = default;
};
// Declared for the binding calls; this interface creates neither (no vertex input, no depth).
class InputLayout {
 public:
  virtual ~InputLayout() = default;
};
class DepthStencilView {
 public:
  virtual ~DepthStencilView() = default;
};

enum class Filter : uint32_t {
  MinMagMipPoint = 0x00,
  MinMagPointMipLinear = 0x01,
  MinPointMagLinearMipPoint = 0x04,
  MinPointMagMipLinear = 0x05,
  MinLinearMagMipPoint = 0x10,
  MinLinearMagPointMipLinear = 0x11,
  MinMagLinearMipPoint = 0x14,
  MinMagMipLinear = 0x15,
};
enum class TextureAddressMode : uint32_t { Wrap = 1, Mirror = 2, Clamp = 3, Border = 4, MirrorOnce = 5 };
// X11's headers define None and Always as macros; the platform's names are kept all the same.
#pragma push_macro("None")
#pragma push_macro("Always")
#undef None
#undef Always
enum class ComparisonFunc : uint32_t {
  Never = 1, Less = 2, Equal = 3, LessEqual = 4, Greater = 5, NotEqual = 6, GreaterEqual = 7, Always = 8,
};

struct SamplerDesc {
  Filter filter = Filter::MinMagMipLinear;
  TextureAddressMode addressU = TextureAddressMode::Clamp;
  TextureAddressMode addressV = TextureAddressMode::Clamp;
  TextureAddressMode addressW = TextureAddressMode::Clamp;
  float mipLodBias = 0.0f;
  uint32_t maxAnisotropy = 1;
  ComparisonFunc comparisonFunc = ComparisonFunc::Never;
  float borderColor[4] = {1, 1, 1, 1};
  float minLod = -3.402823466e+38f;
  float maxLod = 3.402823466e+38f;
};

enum class Blend : uint32_t {
  Zero = 1, One = 2, SrcColor = 3, InvSrcColor = 4, SrcAlpha = 5, InvSrcAlpha = 6, DestAlpha = 7,
  InvDestAlpha = 8, DestColor = 9, InvDestColor = 10, SrcAlphaSat = 11, BlendFactor = 14, InvBlendFactor = 15,
};
enum class BlendOp : uint32_t { Add = 1, Subtract = 2, RevSubtract = 3, Min = 4, Max = 5 };
enum ColorWriteEnable : uint8_t {
  COLOR_WRITE_ENABLE_RED = 1,
  COLOR_WRITE_ENABLE_GREEN = 2,
  COLOR_WRITE_ENABLE_BLUE = 4,
  COLOR_WRITE_ENABLE_ALPHA = 8,
  COLOR_WRITE_ENABLE_ALL = 15,
};

struct RenderTargetBlendDesc {
  bool blendEnable = false;
  Blend srcBlend = Blend::One;
  Blend destBlend = Blend::Zero;
  BlendOp blendOp = BlendOp::Add;
  Blend srcBlendAlpha = Blend::One;
  Blend destBlendAlpha = Blend::Zero;
  BlendOp blendOpAlpha = BlendOp::Add;
  uint8_t renderTargetWriteMask = COLOR_WRITE_ENABLE_ALL;
};

constexpr uint32_t kMaxRenderTargets = 8;
struct BlendDesc {
  bool alphaToCoverageEnable = false;
  // Off: renderTarget[0] applies to every target.
  bool independentBlendEnable = false;
  RenderTargetBlendDesc renderTarget[kMaxRenderTargets];
};

enum class FillMode : uint32_t { Wireframe = 2, Solid = 3 };
enum class CullMode : uint32_t { None = 1, Front = 2, Back = 3 };
#pragma pop_macro("Always")
#pragma pop_macro("None")

struct RasterizerDesc {
  FillMode fillMode = FillMode::Solid;
  CullMode cullMode = CullMode::Back;
  bool frontCounterClockwise = false;
  int32_t depthBias = 0;
  float depthBiasClamp = 0.0f;
  float slopeScaledDepthBias = 0.0f;
  bool depthClipEnable = true;
  bool scissorEnable = false;
  bool multisampleEnable = false;
  bool antialiasedLineEnable = false;
};

class SamplerState {
 public:
  virtual ~SamplerState() = default;
  virtual SamplerDesc GetDesc() const = 0;
};
class BlendState {
 public:
  virtual ~BlendState() = default;
  virtual BlendDesc GetDesc() const = 0;
};
class RasterizerState {
 public:
  virtual ~RasterizerState() = default;
  virtual RasterizerDesc GetDesc() const = 0;
};

struct Viewport {
  float topLeftX = 0, topLeftY = 0, width = 0, height = 0, minDepth = 0, maxDepth = 1;
};

enum class PrimitiveTopology : uint32_t {
  Undefined = 0, PointList = 1, LineList = 2, LineStrip = 3, TriangleList = 4, TriangleStrip = 5,
};

// ---------------------------------------------------------------------------------------------
// Video processing: the stand-in for the platform's video device, video context and video
// processor, reduced to what a scaling blit needs. Obtained from a device (QueryVideoDevice) and
// its immediate context (QueryVideoContext); a backend without one answers E_NOINTERFACE.

enum class VideoFrameFormat : uint32_t { Progressive = 0, InterlacedTopFieldFirst = 1, InterlacedBottomFieldFirst = 2 };
enum class VideoUsage : uint32_t { PlaybackNormal = 0, OptimalSpeed = 1, OptimalQuality = 2 };

struct Rational {
  uint32_t numerator = 0;
  uint32_t denominator = 0;
};

struct VideoProcessorContentDesc {
  VideoFrameFormat inputFrameFormat = VideoFrameFormat::Progressive;
  Rational inputFrameRate;
  uint32_t inputWidth = 0;
  uint32_t inputHeight = 0;
  Rational outputFrameRate;
  uint32_t outputWidth = 0;
  uint32_t outputHeight = 0;
  VideoUsage usage = VideoUsage::PlaybackNormal;
};

// Edges in pixels; right and bottom are exclusive.
struct Rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Four components in 0..1: R, G, B, A, or Y, Cb, Cr, A when given as YCbCr.
struct VideoColor {
  float c[4] = {};
};

// The output colour-space bit fields, one member each.
struct VideoProcessorColorSpace {
  uint32_t usage = 0;          // 0 playback, 1 processing
  uint32_t rgbRange = 0;       // 0 full 0-255, 1 limited 16-235
  uint32_t ycbcrMatrix = 0;    // 0 BT.601, 1 BT.709
  uint32_t ycbcrXvYCC = 0;     // 0 conventional
  uint32_t nominalRange = 0;   // 0 undefined, 1 16-235, 2 0-255
};

enum VideoProcessorFormatSupport : uint32_t {
  VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT = 0x1,
  VIDEO_PROCESSOR_FORMAT_SUPPORT_OUTPUT = 0x2,
};

class VideoProcessorEnumerator {
 public:
  virtual ~VideoProcessorEnumerator() = default;
  virtual VideoProcessorContentDesc GetContentDesc() const = 0;
  // Sets `flags` to the VIDEO_PROCESSOR_FORMAT_SUPPORT_* bits of `format`.
  virtual HRESULT CheckVideoProcessorFormat(Format format, uint32_t* flags) const = 0;
};

class VideoProcessor {
 public:
  virtual ~VideoProcessor() = default;
};

class VideoProcessorInputView {
 public:
  virtual ~VideoProcessorInputView() = default;
  virtual std::shared_ptr<Texture2D> GetTexture() const = 0;
};

class VideoProcessorOutputView {
 public:
  virtual ~VideoProcessorOutputView() = default;
  virtual std::shared_ptr<Texture2D> GetTexture() const = 0;
};

// One input stream of a blit; the processor blends streams in order over the background.
struct VideoProcessorStream {
  bool enable = false;
  uint32_t outputIndex = 0;
  uint32_t inputFrameOrField = 0;
  uint32_t pastFrames = 0;
  uint32_t futureFrames = 0;
  VideoProcessorInputView* inputSurface = nullptr;
};

class VideoDevice {
 public:
  virtual ~VideoDevice() = default;
  virtual HRESULT CreateVideoProcessorEnumerator(const VideoProcessorContentDesc& desc,
                                                 std::shared_ptr<VideoProcessorEnumerator>* enumerator) = 0;
  virtual HRESULT CreateVideoProcessor(const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                       uint32_t rateConversionIndex, std::shared_ptr<VideoProcessor>* processor) = 0;
  // 2-D views of mip 0 (array slice 0 for input); the texture must belong to this device.
  virtual HRESULT CreateVideoProcessorInputView(const std::shared_ptr<Texture2D>& texture,
                                                const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                                std::shared_ptr<VideoProcessorInputView>* view) = 0;
  virtual HRESULT CreateVideoProcessorOutputView(const std::shared_ptr<Texture2D>& texture,
                                                 const std::shared_ptr<VideoProcessorEnumerator>& enumerator,
                                                 std::shared_ptr<VideoProcessorOutputView>* view) = 0;
};

// The state setters store into the processor, as the platform does; Blt reads them.
class VideoContext {
 public:
  virtual ~VideoContext() = default;
  virtual void VideoProcessorSetStreamSourceRect(VideoProcessor& processor, uint32_t streamIndex, bool enable,
                                                 const Rect* rect) = 0;
  virtual void VideoProcessorSetStreamDestRect(VideoProcessor& processor, uint32_t streamIndex, bool enable,
                                               const Rect* rect) = 0;
  virtual void VideoProcessorSetOutputTargetRect(VideoProcessor& processor, bool enable, const Rect* rect) = 0;
  virtual void VideoProcessorSetOutputColorSpace(VideoProcessor& processor,
                                                 const VideoProcessorColorSpace& colorSpace) = 0;
  virtual void VideoProcessorSetOutputBackgroundColor(VideoProcessor& processor, bool ycbcr,
                                                      const VideoColor& color) = 0;
  virtual HRESULT VideoProcessorBlt(VideoProcessor& processor, VideoProcessorOutputView& view, uint32_t outputFrame,
                                    uint32_t streamCount, const VideoProcessorStream* streams) = 0;
};

class DeviceContext {
 public:
  virtual ~DeviceContext() = default;
  virtual void CopyResource(Texture2D& dst, Texture2D& src) = 0;
  // Copies `srcBox` (whole texture when null) of `src` to (dstX, dstY) in `dst`. An out-of-range
  // box is ignored, as the platform does.
  virtual void CopySubresourceRegion(Texture2D& dst, uint32_t dstSubresource, uint32_t dstX, uint32_t dstY,
                                     uint32_t dstZ, Texture2D& src, uint32_t srcSubresource, const Box* srcBox) = 0;
  virtual void UpdateSubresource(Texture2D& dst, uint32_t dstSubresource, const Box* dstBox, const void* data,
                                 uint32_t rowPitch, uint32_t depthPitch) = 0;
  virtual void UpdateSubresource(Buffer& dst, const void* data, uint32_t byteCount) = 0;
  // Maps a STAGING or DYNAMIC texture. The row pitch is larger than width x bytes per pixel.
  virtual HRESULT Map(Texture2D& resource, uint32_t subresource, MapType type, uint32_t flags,
                      MappedSubresource* mapped) = 0;
  virtual void Unmap(Texture2D& resource, uint32_t subresource) = 0;
  virtual HRESULT Map(Buffer& resource, MapType type, MappedSubresource* mapped) = 0;
  virtual void Unmap(Buffer& resource) = 0;
  virtual void ClearRenderTargetView(RenderTargetView& view, const float rgba[4]) = 0;

  // Bindings do not keep their objects alive (a binding must not form a cycle through the
  // device); an object released while bound reads as null in the next dispatch.
  virtual void CSSetShader(ComputeShader* shader) = 0;
  virtual void CSSetShaderResources(uint32_t startSlot, uint32_t count, ShaderResourceView* const* views) = 0;
  virtual void CSSetUnorderedAccessViews(uint32_t startSlot, uint32_t count, UnorderedAccessView* const* views) = 0;
  virtual void CSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) = 0;
  virtual void Dispatch(uint32_t groupsX, uint32_t groupsY, uint32_t groupsZ) = 0;
  // The graphics pipeline. Bindings follow the same rule as the compute ones above. A null
  // rasterizer or blend state selects the default one (RasterizerDesc{}, BlendDesc{}).
  virtual void IASetInputLayout(InputLayout* layout) = 0;
  virtual void IASetPrimitiveTopology(PrimitiveTopology topology) = 0;
  virtual void IASetVertexBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers, const uint32_t* strides,
                                  const uint32_t* offsets) = 0;
  virtual void VSSetShader(VertexShader* shader) = 0;
  virtual void VSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) = 0;
  virtual void PSSetShader(PixelShader* shader) = 0;
  virtual void PSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) = 0;
  virtual void PSSetShaderResources(uint32_t startSlot, uint32_t count, ShaderResourceView* const* views) = 0;
  virtual void PSSetSamplers(uint32_t startSlot, uint32_t count, SamplerState* const* samplers) = 0;
  virtual void RSSetState(RasterizerState* state) = 0;
  virtual void RSSetViewports(uint32_t count, const Viewport* viewports) = 0;
  virtual void RSSetScissorRects(uint32_t count, const Rect* rects) = 0;
  // `blendFactor` null means (1, 1, 1, 1).
  virtual void OMSetBlendState(BlendState* state, const float blendFactor[4], uint32_t sampleMask) = 0;
  // Replaces every render-target binding: slots past `count` are unbound.
  virtual void OMSetRenderTargets(uint32_t count, RenderTargetView* const* views, DepthStencilView* depth) = 0;
  virtual void Draw(uint32_t vertexCount, uint32_t startVertex) = 0;

  // Waits for queued work; the software device runs every command synchronously.
  virtual void Flush() = 0;
  // The video side of this context; E_NOINTERFACE where the backend has none.
  virtual HRESULT QueryVideoContext(std::shared_ptr<VideoContext>* videoContext) {
    if (videoContext != nullptr) videoContext->reset();
    return E_NOINTERFACE;
  }
};

struct AdapterDesc {
  std::wstring description;
  uint32_t vendorId = 0;
  uint32_t deviceId = 0;
  uint64_t dedicatedVideoMemory = 0;
  uint64_t sharedSystemMemory = 0;
};

struct VideoMemoryInfo {
  uint64_t budget = 0;
  uint64_t currentUsage = 0;
};

class Adapter {
 public:
  virtual ~Adapter() = default;
  virtual AdapterDesc GetDesc() const = 0;
  virtual HRESULT QueryVideoMemoryInfo(VideoMemoryInfo* info) const = 0;
  // False where the adapter has no memory query at all (the platform's older adapter interface).
  virtual bool SupportsVideoMemoryQuery() const { return true; }
};

class Device : public std::enable_shared_from_this<Device> {
 public:
  virtual ~Device() = default;
  virtual std::shared_ptr<Adapter> GetAdapter() const = 0;
  virtual FeatureLevel GetFeatureLevel() const = 0;
  virtual std::shared_ptr<DeviceContext> GetImmediateContext() = 0;

  // `initialData` (optional) gives the first mip's rows with their pitch.
  virtual HRESULT CreateTexture2D(const TextureDesc& desc, const void* initialData, uint32_t initialRowPitch,
                                  std::shared_ptr<Texture2D>* texture) = 0;
  virtual HRESULT CreateBuffer(const BufferDesc& desc, const void* initialData, std::shared_ptr<Buffer>* buffer) = 0;
  virtual HRESULT CreateShaderResourceView(const std::shared_ptr<Texture2D>& texture,
                                           std::shared_ptr<ShaderResourceView>* view) = 0;
  virtual HRESULT CreateUnorderedAccessView(const std::shared_ptr<Texture2D>& texture,
                                            std::shared_ptr<UnorderedAccessView>* view) = 0;
  virtual HRESULT CreateRenderTargetView(const std::shared_ptr<Texture2D>& texture,
                                         std::shared_ptr<RenderTargetView>* view) = 0;
  virtual HRESULT CreateComputeShader(const ShaderBlob& blob, std::shared_ptr<ComputeShader>* shader) = 0;
  // E_INVALIDARG for a blob that holds no kernel of that stage.
  virtual HRESULT CreateVertexShader(const ShaderBlob& blob, std::shared_ptr<VertexShader>* shader) = 0;
  virtual HRESULT CreatePixelShader(const ShaderBlob& blob, std::shared_ptr<PixelShader>* shader) = 0;
  virtual HRESULT CreateSamplerState(const SamplerDesc& desc, std::shared_ptr<SamplerState>* state) = 0;
  virtual HRESULT CreateBlendState(const BlendDesc& desc, std::shared_ptr<BlendState>* state) = 0;
  virtual HRESULT CreateRasterizerState(const RasterizerDesc& desc, std::shared_ptr<RasterizerState>* state) = 0;
  // Opens a texture shared by a device of the same adapter; E_INVALIDARG for another adapter's
  // handle or one that names nothing.
  virtual HRESULT OpenSharedResource(SharedHandle handle, std::shared_ptr<Texture2D>* texture) = 0;
  // The video device of this device; E_NOINTERFACE where the backend has none.
  virtual HRESULT QueryVideoDevice(std::shared_ptr<VideoDevice>* videoDevice) {
    if (videoDevice != nullptr) videoDevice->reset();
    return E_NOINTERFACE;
  }
};

// Creates devices: the stand-in for D3D11CreateDevice. `adapter` null means the default one.
class DeviceFactory {
 public:
  virtual ~DeviceFactory() = default;
  virtual HRESULT CreateDevice(const std::shared_ptr<Adapter>& adapter, DriverType driverType, uint32_t flags,
                               const FeatureLevel* featureLevels, uint32_t levelCount,
                               std::shared_ptr<Device>* device, std::shared_ptr<DeviceContext>* context) = 0;
  virtual std::vector<std::shared_ptr<Adapter>> EnumAdapters() = 0;
  // The stand-in for D3DCompile: finds the kernel registered under (sourceName, entry, target).
  // On failure returns an error code and sets `errors` to the compiler's text.
  virtual HRESULT CompileShader(std::string_view sourceName, std::string_view source, std::string_view entry,
                                std::string_view target, std::shared_ptr<ShaderBlob>* blob, std::string* errors) = 0;
};

// The kernels "compiled" by CompileShader. A kernel runs a 2-D grid of thread groups of
// groupSizeX x groupSizeY threads; the device calls `run` for bands of group rows
// [groupYBegin, groupYEnd) on its worker threads, so a kernel processes whole rows and vectorises.
struct ComputeKernel {
  uint32_t groupSizeX = 8;
  uint32_t groupSizeY = 8;
  std::function<void(const ComputeBindings& bindings, uint32_t groupsX, uint32_t groupYBegin, uint32_t groupYEnd)> run;
  // Set when a dispatch whose threads cover UAV 0 writes every pixel of every bound UAV: the
  // device then gives a target shared with a copy fresh bytes instead of copying the old ones.
  bool writesWholeTargets = false;
};
// Registers a kernel under (sourceName, entry, target); later registrations replace earlier ones.
void RegisterKernel(std::string sourceName, std::string entry, std::string target, ComputeKernel kernel);

// What a vertex or pixel kernel sees bound to its stage.
struct StageBindings {
  static constexpr int kSlots = 8;
  ShaderResourceView* srv[kSlots] = {};
  Buffer* cb[kSlots] = {};
  SamplerState* sampler[kSlots] = {};
};

constexpr int kMaxVaryings = 8;
// A vertex kernel's result: the clip-space position and the values handed to the pixel kernel.
struct VertexOutput {
  float position[4] = {0, 0, 0, 1};
  float varyings[kMaxVaryings] = {};
};

// Graphics kernels, registered for targets "vs_5_0" and "ps_5_0". Without vertex buffers the
// vertex id drives the vertex kernel. `varyingCount` values of VertexOutput::varyings reach the
// pixel kernel, interpolated linearly in screen space.
struct VertexKernel {
  uint32_t varyingCount = 0;
  std::function<void(const StageBindings& bindings, uint32_t vertexId, VertexOutput& out)> run;
};

// A run of covered pixels [x, x + count) of row y, all inside one triangle. The varyings are given
// at the centre of pixel x with their exact screen-space derivatives, constant over the triangle:
// pixel x + i has varyings + i * ddx; ddy is the change from one row to the next. A kernel forms
// ddx/ddy/fwidth of its own values from these by the chain rule. It writes count x (r, g, b, a)
// into `rgba` (SV_Target0). A span holds at most kMaxCount pixels, so kernels can keep per-pixel
// scratch on the stack.
struct PixelSpan {
  static constexpr uint32_t kMaxCount = 256;
  uint32_t x = 0;
  uint32_t y = 0;
  uint32_t count = 0;
  const float* varyings = nullptr;
  const float* ddx = nullptr;
  const float* ddy = nullptr;
  float* rgba = nullptr;
};
struct PixelKernel {
  std::function<void(const StageBindings& bindings, const PixelSpan& span)> run;
};
void RegisterKernel(std::string sourceName, std::string entry, std::string target, VertexKernel kernel);
void RegisterKernel(std::string sourceName, std::string entry, std::string target, PixelKernel kernel);

// Direct access to a texture's pixels for kernels running inside a dispatch, and for backends
// of the same device (the capture service). Row `y` starts at data + y * rowPitch.
struct TexturePixels {
  uint8_t* data = nullptr;
  uint32_t rowPitch = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  Format format = Format::Unknown;
};
TexturePixels PixelsOf(Texture2D& texture);

// Runs fn(begin, end) over [0, count) in bands on the device's worker threads and waits; for
// CPU-side work on texture rows (read-backs, plane assembly).
void ParallelFor(uint32_t count, const std::function<void(uint32_t begin, uint32_t end)>& fn);

// The contents of a buffer, for kernels reading their constants inside a dispatch.
struct BufferBytes {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};
BufferBytes BytesOf(Buffer& buffer);

// The constants bound at `slot` as a T; a zeroed T when nothing is bound there or the buffer is
// smaller than T, so a kernel never reads past a short buffer.
template <typename T>
T ReadConstants(const ComputeBindings& bindings, int slot) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value{};
  if (slot < 0 || slot >= ComputeBindings::kSlots || bindings.cb[slot] == nullptr) return value;
  const BufferBytes bytes = BytesOf(*bindings.cb[slot]);
  if (bytes.data != nullptr && bytes.size >= sizeof(T)) std::memcpy(&value, bytes.data, sizeof(T));
  return value;
}
template <typename T>
T ReadConstants(const StageBindings& bindings, int slot) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value{};
  if (slot < 0 || slot >= StageBindings::kSlots || bindings.cb[slot] == nullptr) return value;
  const BufferBytes bytes = BytesOf(*bindings.cb[slot]);
  if (bytes.data != nullptr && bytes.size >= sizeof(T)) std::memcpy(&value, bytes.data, sizeof(T));
  return value;
}

// Filters a bound view's texture for kernels, as the sampler describes (a null sampler is the
// default one). Reads R8G8B8A8 and B8G8R8A8 UNORM and returns r, g, b, a in 0..1; any other view
// reads as (0, 0, 0, 0), as an unbound one does. Linear filtering weighs texels with 8-bit
// fractions, as graphics hardware does. Made once per span; the Sample calls are per pixel.
class TextureSampler {
 public:
  TextureSampler(ShaderResourceView* view, SamplerState* sampler);

  bool Valid() const { return m_pixels.data != nullptr; }
  // (u, v) in normalised coordinates. Kernels get no derivatives of their own sample positions,
  // so the magnification filter applies unless `lod` > 0 says the footprint is minified.
  void Sample(float u, float v, float rgba[4], float lod = 0.0f) const;
  // Points i in [begin, end) at (u + i * du, v), into rgba[4 i ..]: a span whose sample points
  // run along the texture's rows, as an axis-aligned quad's do. Same results as Sample, faster.
  void SampleRow(float u, float du, float v, uint32_t begin, uint32_t end, float* rgba) const;

 private:
  // The texel at (x, y) after addressing, as r, g, b, a bytes.
  void Texel(int32_t x, int32_t y, uint8_t rgba[4]) const;

  std::shared_ptr<Texture2D> m_texture;
  TexturePixels m_pixels;
  SamplerDesc m_desc;
  uint8_t m_border[4] = {};
  bool m_bgra = false;
};

}  // namespace kalto::gpu
