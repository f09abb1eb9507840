#pragma once
// The software graphics device: textures in system memory, kernels run over rows on a small
// thread pool. It is the real device of this machine. Backends of the same machine (the capture
// service) include this header; engine classes only see gpu_device.h.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/gpu/gpu_device.h"

namespace kalto::gpu::software {

// Every operation that can fail on demand.
enum class FaultPoint {
  CreateDeviceHardware,
  CreateDeviceWarp,
  CreateTexture,
  CreateBuffer,
  CreateShaderResourceView,
  CreateUnorderedAccessView,
  CreateRenderTargetView,
  CreateComputeShader,
  OpenSharedResource,
  Map,
  Compile,
  AcquireSync,
  QueryVideoMemory,
  QueryVideoDevice,
  QueryVideoContext,
  CreateVideoProcessorEnumerator,
  CreateVideoProcessor,
  CreateVideoProcessorInputView,
  CreateVideoProcessorOutputView,
  VideoProcessorBlt,
  CreateVertexShader,
  CreatePixelShader,
  CreateSamplerState,
  CreateBlendState,
  CreateRasterizerState,
  Count
};

// Shared by a factory and every device it makes. A rule fails the next `count` calls of a point
// (count < 0: every call) after letting `skip` calls pass, with the given code.
class FaultInjector {
 public:
  void Fail(FaultPoint point, HRESULT code, int count = -1, int skip = 0);
  void Clear(FaultPoint point);
  void ClearAll();
  // Consumes one call of `point`: returns the code to fail with, or S_OK.
  HRESULT Check(FaultPoint point);
  // How many times `point` was reached (failed or not).
  int Calls(FaultPoint point) const;

 private:
  struct Rule {
    HRESULT code = S_OK;
    int remaining = 0;
    int skip = 0;
    bool active = false;
  };
  mutable std::mutex m_mutex;
  Rule m_rules[static_cast<int>(FaultPoint::Count)];
  int m_calls[static_cast<int>(FaultPoint::Count)] = {};
};

// The hardware adapter and the WARP adapter are distinct adapters: a texture shared by a device
// of one cannot be opened on a device of the other.
class SoftwareDeviceFactory : public DeviceFactory {
 public:
  SoftwareDeviceFactory();
  ~SoftwareDeviceFactory() override;

  HRESULT CreateDevice(const std::shared_ptr<Adapter>& adapter, DriverType driverType, uint32_t flags,
                       const FeatureLevel* featureLevels, uint32_t levelCount, std::shared_ptr<Device>* device,
                       std::shared_ptr<DeviceContext>* context) override;
  std::vector<std::shared_ptr<Adapter>> EnumAdapters() override;
  HRESULT CompileShader(std::string_view sourceName, std::string_view source, std::string_view entry,
                        std::string_view target, std::shared_ptr<ShaderBlob>* blob, std::string* errors) override;

  FaultInjector& Faults() { return *m_faults; }

 private:
  struct State;
  std::shared_ptr<FaultInjector> m_faults;
  std::shared_ptr<State> m_state;
};

// What the caller promises about memory it hands to CreateTextureOverMemory: rows it set aside
// (writable, never read as the picture) above and below `data`, and that it keeps every pixel's
// alpha at 255.
struct MemoryLayout {
  uint32_t rowsAbove = 0, rowsBelow = 0;
  bool opaque = false;
};

// A texture whose pixels live in memory the caller provides (a shared-memory segment the X
// server writes into), so a grab lands in the texture without a copy. `keepAlive` owns that
// memory and is released with the last texture reading it. The texture is DEFAULT usage,
// shader-resource bound.
std::shared_ptr<Texture2D> CreateTextureOverMemory(Device& device, uint32_t width, uint32_t height, Format format,
                                                   uint8_t* data, uint32_t rowPitch, std::shared_ptr<void> keepAlive,
                                                   MemoryLayout layout = {});

// The row pitch this device gives a texture of `width` pixels of `format`.
uint32_t TextureRowPitch(uint32_t width, Format format);

// Whether other textures still read such a texture's memory where it lies (see below): its owner
// must not write the memory until they have let go. The device itself refuses to write it then.
bool MemoryInUse(Texture2D& texture);

// For the video processor: a 1:1 letterbox of an opaque texture over caller memory into `target`
// (same width, row pitch and format, `top` rows of bars above the picture, the rest below, all
// within the rows the caller set aside). The target reads the picture where it lies and the bars
// are painted `fill` in the margins, instead of copying the frame. False where that cannot be
// done; then the caller copies. Call under the context's lock.
bool LetterboxInPlace(Texture2D& target, Texture2D& source, uint32_t top, uint32_t fill);

// Runs fn(begin, end) over [0, count) split into bands on the device's worker threads and waits.
void ParallelFor(uint32_t count, const std::function<void(uint32_t begin, uint32_t end)>& fn);

// For the backend's own writers outside the context (the video processor): call before writing a
// texture of this device, `whole` when every pixel will be written. False when the write must
// not happen (no memory for the texture's own bytes).
bool PrepareTextureWrite(Texture2D& texture, bool whole);

// While one lives, ParallelFor on the constructing thread runs every band inline on that thread,
// so a caller can measure or reproduce single-threaded work. Nests; not movable.
class ScopedSerialRows {
 public:
  ScopedSerialRows();
  ~ScopedSerialRows();
  ScopedSerialRows(const ScopedSerialRows&) = delete;
  ScopedSerialRows& operator=(const ScopedSerialRows&) = delete;
};

// While one lives, samplers and draws take their plain per-pixel paths rather than the vector
// ones, so a test can hold both to the same bytes. Process-wide (rows run on the pool); nests.
class ScopedReferencePaths {
 public:
  ScopedReferencePaths();
  ~ScopedReferencePaths();
  ScopedReferencePaths(const ScopedReferencePaths&) = delete;
  ScopedReferencePaths& operator=(const ScopedReferencePaths&) = delete;
};
bool ReferencePaths();

}  // namespace kalto::gpu::software
