#include "platform/gpu/software/software_device.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include "platform/gpu/resource_access.h"
#include "platform/gpu/software/rasterizer.h"
#include "platform/gpu/software/thread_pool.h"
#include "common/block_pool.h"
#include "platform/gpu/software/video_processor.h"

namespace kalto::gpu::software {
namespace {

constexpr uint32_t kMaxTextureDimension = 16384;
constexpr uint32_t kMaxConstantBufferBytes = 65536;
constexpr uint64_t kStorageAlignment = 64;
constexpr uint32_t kInfiniteTimeout = 0xFFFFFFFFu;
// Below this many bytes a copy or fill costs less than waking the workers.
constexpr uint64_t kParallelBytes = 1u << 20;

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// Always wider than the pixels, as drivers' pitches often are, so code that assumes tight rows
// shows up in tests instead of on some user's graphics card.
uint32_t RowPitchFor(uint32_t width, Format format) {
  return static_cast<uint32_t>(AlignUp(uint64_t{width} * BytesPerPixel(format), kStorageAlignment) +
                               kStorageAlignment);
}

struct AlignedFree {
  void operator()(uint8_t* bytes) const { ::operator delete(bytes, std::align_val_t{kStorageAlignment}); }
};
using AlignedBytes = std::unique_ptr<uint8_t[], AlignedFree>;

AlignedBytes AllocateZeroed(uint64_t size) {
  void* memory = ::operator new(static_cast<size_t>(std::max<uint64_t>(size, 1)), std::align_val_t{kStorageAlignment},
                                std::nothrow);
  if (memory == nullptr) return {};
  std::memset(memory, 0, static_cast<size_t>(size));
  return AlignedBytes(static_cast<uint8_t*>(memory));
}

// Texture bytes. A copy between two textures of a device shares them until either side writes,
// so a copy into a staging texture that is only read costs nothing.
using SharedBytes = std::shared_ptr<uint8_t>;

void ForRows(uint32_t rows, uint64_t rowBytes, const std::function<void(uint32_t, uint32_t)>& fn) {
  if (uint64_t{rows} * rowBytes >= kParallelBytes) {
    ParallelFor(rows, fn);
  } else {
    fn(0, rows);
  }
}

void CopyRows(uint8_t* dst, uint32_t dstPitch, const uint8_t* src, uint32_t srcPitch, uint32_t rowBytes,
              uint32_t rows) {
  ForRows(rows, rowBytes, [&](uint32_t begin, uint32_t end) {
    for (uint32_t y = begin; y < end; ++y) {
      std::memcpy(dst + size_t{y} * dstPitch, src + size_t{y} * srcPitch, rowBytes);
    }
  });
}

uint8_t ToUnorm8(float value) {
  // Written so that NaN lands on 0, as the hardware converts it.
  if (!(value > 0.0f)) return 0;
  if (value >= 1.0f) return 255;
  return static_cast<uint8_t>(std::lround(value * 255.0f));
}

bool IsKnownFeatureLevel(FeatureLevel level) {
  switch (level) {
    case FeatureLevel::Level_10_0:
    case FeatureLevel::Level_10_1:
    case FeatureLevel::Level_11_0:
    case FeatureLevel::Level_11_1:
      return true;
  }
  return false;
}

bool IsValidTextureDesc(const TextureDesc& desc) {
  if (desc.width == 0 || desc.height == 0 || desc.width > kMaxTextureDimension ||
      desc.height > kMaxTextureDimension) {
    return false;
  }
  if (BytesPerPixel(desc.format) == 0) return false;
  if (desc.mipLevels != 1 || desc.arraySize != 1 || desc.sampleCount != 1) return false;
  if ((desc.bindFlags & ~uint32_t{BIND_SHADER_RESOURCE | BIND_RENDER_TARGET | BIND_UNORDERED_ACCESS}) != 0) {
    return false;
  }
  if ((desc.cpuAccessFlags & ~uint32_t{CPU_ACCESS_READ | CPU_ACCESS_WRITE}) != 0) return false;
  const bool writableByGpu = (desc.bindFlags & (BIND_RENDER_TARGET | BIND_UNORDERED_ACCESS)) != 0;
  switch (desc.usage) {
    case Usage::Default:
      if (desc.cpuAccessFlags != 0) return false;
      break;
    case Usage::Immutable:
      if (desc.cpuAccessFlags != 0 || writableByGpu) return false;
      break;
    case Usage::Dynamic:
      if (desc.cpuAccessFlags != CPU_ACCESS_WRITE || writableByGpu) return false;
      break;
    case Usage::Staging:
      if (desc.bindFlags != 0 || desc.cpuAccessFlags == 0) return false;
      break;
    default:
      return false;
  }
  const uint32_t sharing = desc.miscFlags & (MISC_SHARED | MISC_SHARED_KEYEDMUTEX);
  if (sharing == (MISC_SHARED | MISC_SHARED_KEYEDMUTEX)) return false;
  if (sharing != 0 && desc.usage != Usage::Default) return false;
  return true;
}

bool IsValidBufferDesc(const BufferDesc& desc) {
  if (desc.byteWidth == 0) return false;
  if ((desc.cpuAccessFlags & ~uint32_t{CPU_ACCESS_READ | CPU_ACCESS_WRITE}) != 0) return false;
  if (desc.bindFlags == BIND_CONSTANT_BUFFER) {
    if (desc.byteWidth % 16 != 0 || desc.byteWidth > kMaxConstantBufferBytes) return false;
  } else if (desc.bindFlags != BIND_VERTEX_BUFFER && desc.bindFlags != 0) {
    return false;
  }
  switch (desc.usage) {
    case Usage::Default:
    case Usage::Immutable:
      return desc.cpuAccessFlags == 0 && desc.bindFlags != 0;
    case Usage::Dynamic:
      return desc.cpuAccessFlags == CPU_ACCESS_WRITE && desc.bindFlags != 0;
    case Usage::Staging:
      return desc.bindFlags == 0 && desc.cpuAccessFlags != 0;
  }
  return false;
}

// Which map types a resource of this usage and CPU access accepts.
bool IsValidMap(Usage usage, uint32_t cpuAccess, MapType type, bool isBuffer) {
  const bool read = (cpuAccess & CPU_ACCESS_READ) != 0;
  const bool write = (cpuAccess & CPU_ACCESS_WRITE) != 0;
  if (usage == Usage::Staging) {
    switch (type) {
      case MapType::Read:
        return read;
      case MapType::Write:
        return write;
      case MapType::ReadWrite:
        return read && write;
      default:
        return false;
    }
  }
  if (usage == Usage::Dynamic) {
    return type == MapType::WriteDiscard || (isBuffer && type == MapType::WriteNoOverwrite);
  }
  return false;
}

bool IsValidSamplerDesc(const SamplerDesc& desc) {
  // Comparison and anisotropic filters have no software path.
  switch (desc.filter) {
    case Filter::MinMagMipPoint:
    case Filter::MinMagPointMipLinear:
    case Filter::MinPointMagLinearMipPoint:
    case Filter::MinPointMagMipLinear:
    case Filter::MinLinearMagMipPoint:
    case Filter::MinLinearMagPointMipLinear:
    case Filter::MinMagLinearMipPoint:
    case Filter::MinMagMipLinear:
      break;
    default:
      return false;
  }
  for (const auto mode : {desc.addressU, desc.addressV, desc.addressW}) {
    if (mode < TextureAddressMode::Wrap || mode > TextureAddressMode::MirrorOnce) return false;
  }
  return desc.maxAnisotropy <= 16 && desc.comparisonFunc >= ComparisonFunc::Never &&
         desc.comparisonFunc <= ComparisonFunc::Always && !std::isnan(desc.minLod) && !std::isnan(desc.maxLod) &&
         std::isfinite(desc.mipLodBias);
}

bool IsValidBlend(Blend blend, bool alpha) {
  switch (blend) {
    case Blend::SrcColor:
    case Blend::InvSrcColor:
    case Blend::DestColor:
    case Blend::InvDestColor:
      // The alpha equation takes no colour factors.
      return !alpha;
    case Blend::Zero:
    case Blend::One:
    case Blend::SrcAlpha:
    case Blend::InvSrcAlpha:
    case Blend::DestAlpha:
    case Blend::InvDestAlpha:
    case Blend::SrcAlphaSat:
    case Blend::BlendFactor:
    case Blend::InvBlendFactor:
      return true;
  }
  return false;
}

bool IsValidBlendDesc(const BlendDesc& desc) {
  const uint32_t targets = desc.independentBlendEnable ? kMaxRenderTargets : 1;
  for (uint32_t i = 0; i < targets; ++i) {
    const RenderTargetBlendDesc& rt = desc.renderTarget[i];
    if (rt.renderTargetWriteMask > COLOR_WRITE_ENABLE_ALL) return false;
    if (!rt.blendEnable) continue;
    if (!IsValidBlend(rt.srcBlend, false) || !IsValidBlend(rt.destBlend, false) ||
        !IsValidBlend(rt.srcBlendAlpha, true) || !IsValidBlend(rt.destBlendAlpha, true)) {
      return false;
    }
    for (const auto op : {rt.blendOp, rt.blendOpAlpha}) {
      if (op < BlendOp::Add || op > BlendOp::Max) return false;
    }
  }
  return true;
}

bool IsValidRasterizerDesc(const RasterizerDesc& desc) {
  // Lines are not rasterised here, so wireframe has no path.
  return desc.fillMode == FillMode::Solid && desc.cullMode >= CullMode::None && desc.cullMode <= CullMode::Back;
}

// ---------------------------------------------------------------------------------------------
// Adapters and their memory accounting

enum class AdapterKind { Hardware, Warp };

uint64_t SystemMemoryBytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return uint64_t{8} << 30;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

// MemAvailable of /proc/meminfo; the whole memory when it cannot be read.
uint64_t AvailableMemoryBytes() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (meminfo >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  return SystemMemoryBytes();
}

// The memory limit of this process's cgroup (v2), or 0 when there is none.
uint64_t CgroupLimitBytes() {
  std::ifstream cgroup("/proc/self/cgroup");
  std::string line;
  if (!std::getline(cgroup, line) || line.rfind("0::", 0) != 0) return 0;
  std::ifstream max("/sys/fs/cgroup" + line.substr(3) + "/memory.max");
  std::string value;
  if (!(max >> value) || value == "max") return 0;
  try {
    return std::stoull(value);
  } catch (...) {
    return 0;
  }
}

class AdapterImpl final : public Adapter {
 public:
  AdapterImpl(AdapterKind kind, std::shared_ptr<FaultInjector> faults) : m_kind(kind), m_faults(std::move(faults)) {
    const uint64_t shared = SystemMemoryBytes() / 2;
    if (kind == AdapterKind::Hardware) {
      m_desc.description = L"Kalto Software Rasterizer";
      m_desc.vendorId = 0x1AF4;
      m_desc.deviceId = 0x1050;
      m_desc.dedicatedVideoMemory = uint64_t{2} << 30;
      m_desc.sharedSystemMemory = shared;
      m_budget = m_desc.dedicatedVideoMemory;
    } else {
      // The identifiers the platform's WARP adapter reports, which callers use to recognise it.
      m_desc.description = L"Microsoft Basic Render Driver";
      m_desc.vendorId = 0x1414;
      m_desc.deviceId = 0x008C;
      m_desc.dedicatedVideoMemory = 0;
      m_desc.sharedSystemMemory = shared;
      m_budget = shared;
    }
  }

  AdapterDesc GetDesc() const override { return m_desc; }

  HRESULT QueryVideoMemoryInfo(VideoMemoryInfo* info) const override {
    if (info == nullptr) return E_INVALIDARG;
    *info = {};
    if (const HRESULT hr = m_faults->Check(FaultPoint::QueryVideoMemory); hr != S_OK) return hr;
    info->currentUsage = m_usage.load(std::memory_order_relaxed);
    info->budget = Budget(info->currentUsage);
    return S_OK;
  }

  // What this process may still hold on the adapter: what it holds plus half of what the machine
  // has free, within a cgroup's limit where one applies, and never past the adapter's own size.
  uint64_t Budget(uint64_t usage) const {
    uint64_t budget = usage + AvailableMemoryBytes() / 2;
    if (const uint64_t limit = CgroupLimitBytes(); limit != 0) budget = std::min(budget, limit);
    return std::min(budget, m_budget);
  }

  AdapterKind Kind() const { return m_kind; }
  void AddUsage(uint64_t bytes) { m_usage.fetch_add(bytes, std::memory_order_relaxed); }
  void RemoveUsage(uint64_t bytes) { m_usage.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  AdapterKind m_kind;
  std::shared_ptr<FaultInjector> m_faults;
  AdapterDesc m_desc;
  uint64_t m_budget = 0;
  std::atomic<uint64_t> m_usage{0};
};

// Counts a resource's bytes against its adapter for as long as the resource lives.
class MemoryCharge {
 public:
  MemoryCharge(std::shared_ptr<AdapterImpl> adapter, uint64_t bytes) : m_adapter(std::move(adapter)), m_bytes(bytes) {
    m_adapter->AddUsage(m_bytes);
  }
  ~MemoryCharge() { m_adapter->RemoveUsage(m_bytes); }
  MemoryCharge(const MemoryCharge&) = delete;
  MemoryCharge& operator=(const MemoryCharge&) = delete;

  const std::shared_ptr<AdapterImpl>& Adapter() const { return m_adapter; }

 private:
  std::shared_ptr<AdapterImpl> m_adapter;
  uint64_t m_bytes;
};

// ---------------------------------------------------------------------------------------------
// Texture storage, shared handles and keyed mutexes

struct TextureStorage;

// Process-wide, so that any device of the right adapter can open a handle. Entries are weak: a
// handle names a texture only while some opening of it lives.
struct SharedRegistry {
  std::mutex mutex;
  std::unordered_map<SharedHandle, std::weak_ptr<TextureStorage>> entries;
  SharedHandle next = 0x1000;
};

std::shared_ptr<SharedRegistry> SharedRegistryInstance() {
  // Every shared storage holds a reference, so storages owned by other statics may outlive this.
  static const auto registry = std::make_shared<SharedRegistry>();
  return registry;
}

struct KeyedMutexState {
  std::mutex mutex;
  std::condition_variable released;
  bool held = false;
  uint64_t key = 0;
};

// The pixels and state every opening of one texture shares.
struct TextureStorage {
  TextureStorage(const TextureDesc& textureDesc, uint32_t pitch, std::shared_ptr<AdapterImpl> adapter)
      : desc(textureDesc), rowPitch(pitch), charge(std::move(adapter), uint64_t{pitch} * textureDesc.height) {}
  ~TextureStorage() {
    if (registry) {
      std::lock_guard lock(registry->mutex);
      registry->entries.erase(handle);
    }
  }
  TextureStorage(const TextureStorage&) = delete;
  TextureStorage& operator=(const TextureStorage&) = delete;

  // Before every write: bytes shared with a copy are left to it, and this texture takes its own,
  // with the current pixels unless the write covers them all. False when no memory is left, or
  // for caller memory that other textures still read where it lies.
  bool PrepareWrite(bool whole) {
    if (!owned) {
      if (inPlace.use_count() > 1) return false;
      opaque = false;  // the caller's promise covered its own writes only
      return true;
    }
    if (owned.use_count() == 1 && !borrowed) return true;
    const uint64_t size = uint64_t{rowPitch} * desc.height;
    SharedBytes mine = BlockPool::Take(static_cast<size_t>(size), false);
    if (!mine) return false;
    if (!whole) std::memcpy(mine.get(), owned.get(), static_cast<size_t>(size));
    owned = std::move(mine);
    data = owned.get();
    borrowed = false;
    return true;
  }

  // Takes `source`'s bytes instead of copying them, where both are plain textures of this
  // process that nothing maps now: a texture other devices open is written under their locks.
  bool ShareFrom(const TextureStorage& source) {
    if (!owned || !source.owned || handle != 0 || source.handle != 0 || rowPitch != source.rowPitch ||
        mapped.load() || source.mapped.load()) {
      return false;
    }
    owned = source.owned;
    data = owned.get();
    borrowed = source.borrowed;
    return true;
  }

  const TextureDesc desc;
  const uint32_t rowPitch;
  uint8_t* data = nullptr;
  SharedBytes owned;
  std::shared_ptr<void> keepAlive;
  MemoryCharge charge;
  SharedHandle handle = 0;
  std::shared_ptr<SharedRegistry> registry;
  std::unique_ptr<KeyedMutexState> keyed;
  std::atomic<bool> mapped{false};

  // Caller memory (CreateTextureOverMemory): rows set aside around the picture, whether the caller
  // keeps every pixel opaque, and the handle every texture reading it in place holds.
  MemoryLayout layout;
  bool opaque = false;
  struct InPlace {
    std::shared_ptr<void> keepAlive;
    uint32_t top = 0, height = 0, fill = 0;  // the letterbox the margins now hold
  };
  std::shared_ptr<InPlace> inPlace;
  // `owned` points into another texture's caller memory: never written where it lies.
  bool borrowed = false;
};

class KeyedMutexImpl final : public KeyedMutex {
 public:
  KeyedMutexImpl(std::shared_ptr<KeyedMutexState> state, std::shared_ptr<FaultInjector> faults)
      : m_state(std::move(state)), m_faults(std::move(faults)) {}

  HRESULT AcquireSync(uint64_t key, uint32_t timeoutMs) override {
    if (const HRESULT hr = m_faults->Check(FaultPoint::AcquireSync); hr != S_OK) return hr;
    auto& state = *m_state;
    std::unique_lock lock(state.mutex);
    const auto ready = [&] { return !state.held && state.key == key; };
    if (timeoutMs == kInfiniteTimeout) {
      state.released.wait(lock, ready);
    } else if (!state.released.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
      return WAIT_TIMEOUT_RESULT;
    }
    state.held = true;
    return S_OK;
  }

  HRESULT ReleaseSync(uint64_t key) override {
    auto& state = *m_state;
    {
      std::lock_guard lock(state.mutex);
      if (!state.held) return DXGI_ERROR_INVALID_CALL;
      state.held = false;
      state.key = key;
    }
    state.released.notify_all();
    return S_OK;
  }

 private:
  std::shared_ptr<KeyedMutexState> m_state;
  std::shared_ptr<FaultInjector> m_faults;
};

// ---------------------------------------------------------------------------------------------
// Resources, views and shaders

class DeviceImpl;

class TextureImpl final : public Texture2D, public detail::PixelAccess {
 public:
  TextureImpl(std::shared_ptr<DeviceImpl> device, std::shared_ptr<TextureStorage> storage)
      : m_device(std::move(device)), m_storage(std::move(storage)) {}

  TextureDesc GetDesc() const override { return m_storage->desc; }
  std::shared_ptr<Device> GetDevice() const override;
  HRESULT GetSharedHandle(SharedHandle* handle) const override {
    if (handle == nullptr) return E_INVALIDARG;
    *handle = m_storage->handle;
    return m_storage->handle != 0 ? S_OK : E_INVALIDARG;
  }
  std::shared_ptr<KeyedMutex> QueryKeyedMutex() override;

  TexturePixels Pixels() const override {
    const auto& desc = m_storage->desc;
    return {m_storage->data, m_storage->rowPitch, desc.width, desc.height, desc.format};
  }

  TextureStorage& Storage() const { return *m_storage; }
  const DeviceImpl* Owner() const { return m_device.get(); }

 private:
  std::shared_ptr<DeviceImpl> m_device;
  std::shared_ptr<TextureStorage> m_storage;
};

class BufferImpl final : public Buffer, public detail::ByteAccess, public std::enable_shared_from_this<BufferImpl> {
 public:
  BufferImpl(const BufferDesc& desc, AlignedBytes bytes, std::shared_ptr<AdapterImpl> adapter)
      : m_desc(desc), m_bytes(std::move(bytes)), m_charge(std::move(adapter), desc.byteWidth) {}

  BufferDesc GetDesc() const override { return m_desc; }
  BufferBytes Bytes() const override { return {m_bytes.get(), m_desc.byteWidth}; }

  uint8_t* Data() { return m_bytes.get(); }
  std::atomic<bool>& Mapped() { return m_mapped; }

 private:
  BufferDesc m_desc;
  AlignedBytes m_bytes;
  MemoryCharge m_charge;
  std::atomic<bool> m_mapped{false};
};

template <typename Interface>
class ViewImpl final : public Interface, public std::enable_shared_from_this<ViewImpl<Interface>> {
 public:
  explicit ViewImpl(std::shared_ptr<TextureImpl> texture) : m_texture(std::move(texture)) {}
  std::shared_ptr<Texture2D> GetTexture() const override { return m_texture; }
  TextureImpl& Texture() const { return *m_texture; }

 private:
  std::shared_ptr<TextureImpl> m_texture;
};
using SrvImpl = ViewImpl<ShaderResourceView>;
using UavImpl = ViewImpl<UnorderedAccessView>;
using RtvImpl = ViewImpl<RenderTargetView>;

class BlobImpl final : public ShaderBlob {
 public:
  BlobImpl(std::string name, std::shared_ptr<const detail::AnyKernel> kernel)
      : m_name(std::move(name)), m_kernel(std::move(kernel)) {}
  const std::string& Name() const override { return m_name; }
  const std::shared_ptr<const detail::AnyKernel>& Kernel() const { return m_kernel; }

 private:
  std::string m_name;
  std::shared_ptr<const detail::AnyKernel> m_kernel;
};

// A shader of any stage: the kernel it runs.
template <typename Interface, typename KernelType>
class KernelShader final : public Interface,
                           public std::enable_shared_from_this<KernelShader<Interface, KernelType>> {
 public:
  explicit KernelShader(std::shared_ptr<const KernelType> kernel) : m_kernel(std::move(kernel)) {}
  const KernelType& Kernel() const { return *m_kernel; }

 private:
  std::shared_ptr<const KernelType> m_kernel;
};
using ShaderImpl = KernelShader<ComputeShader, ComputeKernel>;
using VertexShaderImpl = KernelShader<VertexShader, VertexKernel>;
using PixelShaderImpl = KernelShader<PixelShader, PixelKernel>;

// A fixed-function state: the description it was created with.
template <typename Interface, typename Desc>
class StateImpl final : public Interface, public std::enable_shared_from_this<StateImpl<Interface, Desc>> {
 public:
  explicit StateImpl(const Desc& desc) : m_desc(desc) {}
  Desc GetDesc() const override { return m_desc; }
  const Desc& Get() const { return m_desc; }

 private:
  Desc m_desc;
};
using SamplerImpl = StateImpl<SamplerState, SamplerDesc>;
using BlendImpl = StateImpl<BlendState, BlendDesc>;
using RasterizerImpl = StateImpl<RasterizerState, RasterizerDesc>;

TextureImpl* AsTexture(Texture2D& texture) { return dynamic_cast<TextureImpl*>(&texture); }

template <typename Impl, typename Interface>
std::weak_ptr<Impl> WeakOf(Interface* object) {
  auto* impl = dynamic_cast<Impl*>(object);
  return impl != nullptr ? impl->weak_from_this() : std::weak_ptr<Impl>{};
}

// ---------------------------------------------------------------------------------------------
// The immediate context

class ContextImpl final : public DeviceContext {
 public:
  ContextImpl(std::shared_ptr<FaultInjector> faults, Device& owner) : m_faults(std::move(faults)), m_owner(owner) {}

  void CopyResource(Texture2D& dst, Texture2D& src) override {
    std::lock_guard lock(m_mutex);
    auto* to = AsTexture(dst);
    auto* from = AsTexture(src);
    if (to == nullptr || from == nullptr) return;
    auto& d = to->Storage();
    auto& s = from->Storage();
    if (&d == &s || d.desc.width != s.desc.width || d.desc.height != s.desc.height || d.desc.format != s.desc.format) {
      return;
    }
    if (d.ShareFrom(s) || !d.PrepareWrite(true)) return;
    CopyRows(d.data, d.rowPitch, s.data, s.rowPitch, d.desc.width * BytesPerPixel(d.desc.format), d.desc.height);
  }

  void CopySubresourceRegion(Texture2D& dst, uint32_t dstSubresource, uint32_t dstX, uint32_t dstY, uint32_t dstZ,
                             Texture2D& src, uint32_t srcSubresource, const Box* srcBox) override {
    std::lock_guard lock(m_mutex);
    auto* to = AsTexture(dst);
    auto* from = AsTexture(src);
    if (to == nullptr || from == nullptr || dstSubresource != 0 || srcSubresource != 0 || dstZ != 0) return;
    auto& d = to->Storage();
    auto& s = from->Storage();
    if (d.desc.format != s.desc.format) return;
    const Box box = srcBox != nullptr ? *srcBox : Box{0, 0, 0, s.desc.width, s.desc.height, 1};
    if (!BoxFits(box, s.desc)) return;
    const uint32_t width = box.right - box.left;
    const uint32_t height = box.bottom - box.top;
    if (uint64_t{dstX} + width > d.desc.width || uint64_t{dstY} + height > d.desc.height) return;
    if (!d.PrepareWrite(false)) return;
    const uint32_t bpp = BytesPerPixel(s.desc.format);
    const uint8_t* from0 = s.data + size_t{box.top} * s.rowPitch + size_t{box.left} * bpp;
    uint8_t* to0 = d.data + size_t{dstY} * d.rowPitch + size_t{dstX} * bpp;
    if (&d == &s) {
      // Overlapping regions of one texture: go through a copy so rows are not read after written.
      const uint32_t rowBytes = width * bpp;
      std::vector<uint8_t> staging(size_t{rowBytes} * height);
      CopyRows(staging.data(), rowBytes, from0, s.rowPitch, rowBytes, height);
      CopyRows(to0, d.rowPitch, staging.data(), rowBytes, rowBytes, height);
      return;
    }
    CopyRows(to0, d.rowPitch, from0, s.rowPitch, width * bpp, height);
  }

  void UpdateSubresource(Texture2D& dst, uint32_t dstSubresource, const Box* dstBox, const void* data,
                         uint32_t rowPitch, uint32_t /*depthPitch*/) override {
    std::lock_guard lock(m_mutex);
    auto* to = AsTexture(dst);
    if (to == nullptr || dstSubresource != 0 || data == nullptr) return;
    auto& d = to->Storage();
    const Box box = dstBox != nullptr ? *dstBox : Box{0, 0, 0, d.desc.width, d.desc.height, 1};
    if (!BoxFits(box, d.desc)) return;
    const uint32_t bpp = BytesPerPixel(d.desc.format);
    const uint32_t rowBytes = (box.right - box.left) * bpp;
    if (rowPitch < rowBytes && box.bottom - box.top > 1) return;
    if (!d.PrepareWrite(box.left == 0 && box.top == 0 && box.right == d.desc.width && box.bottom == d.desc.height)) return;
    CopyRows(d.data + size_t{box.top} * d.rowPitch + size_t{box.left} * bpp, d.rowPitch,
             static_cast<const uint8_t*>(data), rowPitch, rowBytes, box.bottom - box.top);
  }

  void UpdateSubresource(Buffer& dst, const void* data, uint32_t byteCount) override {
    std::lock_guard lock(m_mutex);
    auto* buffer = dynamic_cast<BufferImpl*>(&dst);
    if (buffer == nullptr || data == nullptr) return;
    std::memcpy(buffer->Data(), data, std::min(byteCount, buffer->GetDesc().byteWidth));
  }

  HRESULT Map(Texture2D& resource, uint32_t subresource, MapType type, uint32_t /*flags*/,
              MappedSubresource* mapped) override {
    if (mapped == nullptr) return E_INVALIDARG;
    *mapped = {};
    std::lock_guard lock(m_mutex);
    if (const HRESULT hr = m_faults->Check(FaultPoint::Map); hr != S_OK) return hr;
    auto* texture = AsTexture(resource);
    if (texture == nullptr || subresource != 0) return E_INVALIDARG;
    auto& storage = texture->Storage();
    if (!IsValidMap(storage.desc.usage, storage.desc.cpuAccessFlags, type, false)) return E_INVALIDARG;
    if (storage.mapped.exchange(true)) return DXGI_ERROR_INVALID_CALL;
    if (type != MapType::Read && !storage.PrepareWrite(type == MapType::WriteDiscard)) {
      storage.mapped.store(false);
      return E_OUTOFMEMORY;
    }
    mapped->data = storage.data;
    mapped->rowPitch = storage.rowPitch;
    mapped->depthPitch = storage.rowPitch * storage.desc.height;
    return S_OK;
  }

  void Unmap(Texture2D& resource, uint32_t subresource) override {
    std::lock_guard lock(m_mutex);
    if (auto* texture = AsTexture(resource); texture != nullptr && subresource == 0) {
      texture->Storage().mapped.store(false);
    }
  }

  HRESULT Map(Buffer& resource, MapType type, MappedSubresource* mapped) override {
    if (mapped == nullptr) return E_INVALIDARG;
    *mapped = {};
    std::lock_guard lock(m_mutex);
    if (const HRESULT hr = m_faults->Check(FaultPoint::Map); hr != S_OK) return hr;
    auto* buffer = dynamic_cast<BufferImpl*>(&resource);
    if (buffer == nullptr) return E_INVALIDARG;
    const BufferDesc desc = buffer->GetDesc();
    if (!IsValidMap(desc.usage, desc.cpuAccessFlags, type, true)) return E_INVALIDARG;
    if (buffer->Mapped().exchange(true)) return DXGI_ERROR_INVALID_CALL;
    mapped->data = buffer->Data();
    mapped->rowPitch = desc.byteWidth;
    mapped->depthPitch = desc.byteWidth;
    return S_OK;
  }

  void Unmap(Buffer& resource) override {
    std::lock_guard lock(m_mutex);
    if (auto* buffer = dynamic_cast<BufferImpl*>(&resource)) buffer->Mapped().store(false);
  }

  void ClearRenderTargetView(RenderTargetView& view, const float rgba[4]) override {
    std::lock_guard lock(m_mutex);
    auto* rtv = dynamic_cast<RtvImpl*>(&view);
    if (rtv == nullptr || rgba == nullptr) return;
    auto& storage = rtv->Texture().Storage();
    const Format format = storage.desc.format;
    std::array<uint8_t, 4> pixel{};
    switch (format) {
      case Format::B8G8R8A8_UNORM:
        pixel = {ToUnorm8(rgba[2]), ToUnorm8(rgba[1]), ToUnorm8(rgba[0]), ToUnorm8(rgba[3])};
        break;
      case Format::R8G8B8A8_UNORM:
        pixel = {ToUnorm8(rgba[0]), ToUnorm8(rgba[1]), ToUnorm8(rgba[2]), ToUnorm8(rgba[3])};
        break;
      case Format::R8G8_UNORM:
        pixel = {ToUnorm8(rgba[0]), ToUnorm8(rgba[1]), 0, 0};
        break;
      case Format::R8_UNORM:
        pixel = {ToUnorm8(rgba[0]), 0, 0, 0};
        break;
      case Format::R32_FLOAT:
        std::memcpy(pixel.data(), &rgba[0], sizeof(float));
        break;
      case Format::Unknown:
        return;
    }
    if (!storage.PrepareWrite(true)) return;
    const uint32_t bpp = BytesPerPixel(format);
    const uint32_t width = storage.desc.width;
    uint8_t* first = storage.data;
    for (uint32_t x = 0; x < width; ++x) std::memcpy(first + size_t{x} * bpp, pixel.data(), bpp);
    ForRows(storage.desc.height - 1, uint64_t{width} * bpp, [&](uint32_t begin, uint32_t end) {
      for (uint32_t y = begin + 1; y <= end; ++y) {
        std::memcpy(first + size_t{y} * storage.rowPitch, first, size_t{width} * bpp);
      }
    });
  }

  void CSSetShader(ComputeShader* shader) override {
    std::lock_guard lock(m_mutex);
    m_shader = WeakOf<ShaderImpl>(shader);
  }

  void CSSetShaderResources(uint32_t startSlot, uint32_t count, ShaderResourceView* const* views) override {
    std::lock_guard lock(m_mutex);
    Bind(m_srv, startSlot, count, views);
  }

  void CSSetUnorderedAccessViews(uint32_t startSlot, uint32_t count, UnorderedAccessView* const* views) override {
    std::lock_guard lock(m_mutex);
    Bind(m_uav, startSlot, count, views);
  }

  void CSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) override {
    std::lock_guard lock(m_mutex);
    Bind(m_cb, startSlot, count, buffers);
  }

  void Dispatch(uint32_t groupsX, uint32_t groupsY, uint32_t groupsZ) override {
    std::lock_guard lock(m_mutex);
    // Kernels are two-dimensional; a deeper grid has nothing to run.
    if (groupsX == 0 || groupsY == 0 || groupsZ != 1) return;
    const auto shader = m_shader.lock();
    if (!shader || !shader->Kernel().run) return;
    // Held for the dispatch so nothing bound can die under a running kernel.
    std::array<std::shared_ptr<SrvImpl>, ComputeBindings::kSlots> srv;
    std::array<std::shared_ptr<UavImpl>, ComputeBindings::kSlots> uav;
    std::array<std::shared_ptr<BufferImpl>, ComputeBindings::kSlots> cb;
    ComputeBindings bindings;
    for (int i = 0; i < ComputeBindings::kSlots; ++i) {
      srv[i] = m_srv[i].lock();
      uav[i] = m_uav[i].lock();
      cb[i] = m_cb[i].lock();
      bindings.srv[i] = srv[i].get();
      bindings.uav[i] = uav[i].get();
      bindings.cb[i] = cb[i].get();
    }
    const ComputeKernel& kernel = shader->Kernel();
    bool whole = false;
    if (kernel.writesWholeTargets && uav[0]) {
      const TextureDesc& first = uav[0]->Texture().Storage().desc;
      whole = uint64_t{groupsX} * kernel.groupSizeX >= first.width && uint64_t{groupsY} * kernel.groupSizeY >= first.height;
    }
    for (const auto& view : uav) {
      if (view && !view->Texture().Storage().PrepareWrite(whole)) return;
    }
    ParallelFor(groupsY, [&](uint32_t begin, uint32_t end) { kernel.run(bindings, groupsX, begin, end); });
  }

  // Kernels take their vertices from the vertex id, so there is no vertex input to bind.
  void IASetInputLayout(InputLayout* /*layout*/) override {}
  void IASetVertexBuffers(uint32_t /*startSlot*/, uint32_t /*count*/, Buffer* const* /*buffers*/,
                          const uint32_t* /*strides*/, const uint32_t* /*offsets*/) override {}

  void IASetPrimitiveTopology(PrimitiveTopology topology) override {
    std::lock_guard lock(m_mutex);
    m_topology = topology;
  }

  void VSSetShader(VertexShader* shader) override {
    std::lock_guard lock(m_mutex);
    m_vs = WeakOf<VertexShaderImpl>(shader);
  }

  void VSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) override {
    std::lock_guard lock(m_mutex);
    Bind(m_vsCb, startSlot, count, buffers);
  }

  void PSSetShader(PixelShader* shader) override {
    std::lock_guard lock(m_mutex);
    m_ps = WeakOf<PixelShaderImpl>(shader);
  }

  void PSSetConstantBuffers(uint32_t startSlot, uint32_t count, Buffer* const* buffers) override {
    std::lock_guard lock(m_mutex);
    Bind(m_psCb, startSlot, count, buffers);
  }

  void PSSetShaderResources(uint32_t startSlot, uint32_t count, ShaderResourceView* const* views) override {
    std::lock_guard lock(m_mutex);
    Bind(m_psSrv, startSlot, count, views);
  }

  void PSSetSamplers(uint32_t startSlot, uint32_t count, SamplerState* const* samplers) override {
    std::lock_guard lock(m_mutex);
    Bind(m_psSampler, startSlot, count, samplers);
  }

  void RSSetState(RasterizerState* state) override {
    std::lock_guard lock(m_mutex);
    m_rasterizer = WeakOf<RasterizerImpl>(state);
  }

  void RSSetViewports(uint32_t count, const Viewport* viewports) override {
    std::lock_guard lock(m_mutex);
    if (count > kMaxViewports || (count > 0 && viewports == nullptr)) return;
    std::copy(viewports, viewports + count, m_viewports.begin());
    m_viewportCount = count;
  }

  void RSSetScissorRects(uint32_t count, const Rect* rects) override {
    std::lock_guard lock(m_mutex);
    if (count > kMaxViewports || (count > 0 && rects == nullptr)) return;
    std::copy(rects, rects + count, m_scissors.begin());
    m_scissorCount = count;
  }

  void OMSetBlendState(BlendState* state, const float blendFactor[4], uint32_t sampleMask) override {
    std::lock_guard lock(m_mutex);
    m_blend = WeakOf<BlendImpl>(state);
    for (int c = 0; c < 4; ++c) m_blendFactor[c] = blendFactor != nullptr ? blendFactor[c] : 1.0f;
    m_sampleMask = sampleMask;
  }

  // This device makes no depth views, so `depth` has nothing to bind.
  void OMSetRenderTargets(uint32_t count, RenderTargetView* const* views, DepthStencilView* /*depth*/) override {
    std::lock_guard lock(m_mutex);
    if (count > kMaxRenderTargets) return;
    for (uint32_t i = 0; i < kMaxRenderTargets; ++i) {
      m_rtv[i] = i < count && views != nullptr ? WeakOf<RtvImpl>(views[i]) : std::weak_ptr<RtvImpl>{};
    }
  }

  void Draw(uint32_t vertexCount, uint32_t startVertex) override {
    std::lock_guard lock(m_mutex);
    // Held for the draw so nothing bound can die under a running kernel.
    const auto vs = m_vs.lock();
    const auto ps = m_ps.lock();
    const auto rtv = m_rtv[0].lock();
    const auto rasterizerState = m_rasterizer.lock();
    const auto blendState = m_blend.lock();
    if (!vs || !ps || !rtv || m_viewportCount == 0) return;
    TextureStorage& target = rtv->Texture().Storage();
    const Format format = target.desc.format;
    // The pixel kernel writes SV_Target0 only; other bound targets keep their contents.
    if (format != Format::B8G8R8A8_UNORM && format != Format::R8G8B8A8_UNORM) return;
    if (!target.PrepareWrite(false)) return;

    raster::DrawCall call;
    call.target = {target.data, target.rowPitch, format == Format::B8G8R8A8_UNORM};
    call.viewport = m_viewports[0];
    call.rasterizer = rasterizerState ? rasterizerState->Get() : RasterizerDesc{};
    const BlendDesc blend = blendState ? blendState->Get() : BlendDesc{};
    call.blend = blend.renderTarget[0];
    call.alphaToCoverage = blend.alphaToCoverageEnable;
    std::copy(m_blendFactor.begin(), m_blendFactor.end(), call.blendFactor);
    call.sampleMask = m_sampleMask;
    call.topology = m_topology;
    call.vertex = &vs->Kernel();
    call.pixel = &ps->Kernel();
    // Pixels whose centres lie inside the viewport, the target and an enabled scissor rectangle.
    const Viewport& vp = call.viewport;
    const auto edge = [](float at) {
      return std::isnan(at) ? 0 : static_cast<int32_t>(std::clamp(std::ceil(at - 0.5f), -1.0f, 32768.0f));
    };
    call.clip = {std::max(0, edge(vp.topLeftX)), std::max(0, edge(vp.topLeftY)),
                 std::min(int32_t(target.desc.width), edge(vp.topLeftX + vp.width)),
                 std::min(int32_t(target.desc.height), edge(vp.topLeftY + vp.height))};
    if (call.rasterizer.scissorEnable) {
      if (m_scissorCount == 0) return;
      const Rect& r = m_scissors[0];
      call.clip = {std::max(call.clip.left, r.left), std::max(call.clip.top, r.top),
                   std::min(call.clip.right, r.right), std::min(call.clip.bottom, r.bottom)};
    }

    std::array<std::shared_ptr<BufferImpl>, StageBindings::kSlots> vsCb, psCb;
    std::array<std::shared_ptr<SrvImpl>, StageBindings::kSlots> psSrv;
    std::array<std::shared_ptr<SamplerImpl>, StageBindings::kSlots> psSampler;
    for (int i = 0; i < StageBindings::kSlots; ++i) {
      vsCb[i] = m_vsCb[i].lock();
      psCb[i] = m_psCb[i].lock();
      psSrv[i] = m_psSrv[i].lock();
      psSampler[i] = m_psSampler[i].lock();
      // A texture cannot be read while it is being drawn into: the view reads as unbound.
      if (psSrv[i] && &psSrv[i]->Texture().Storage() == &target) psSrv[i].reset();
      call.vs.cb[i] = vsCb[i].get();
      call.ps.cb[i] = psCb[i].get();
      call.ps.srv[i] = psSrv[i].get();
      call.ps.sampler[i] = psSampler[i].get();
    }
    raster::Draw(call, vertexCount, startVertex);
  }

  void Flush() override {}

  HRESULT QueryVideoContext(std::shared_ptr<VideoContext>* videoContext) override {
    if (videoContext == nullptr) return E_INVALIDARG;
    videoContext->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::QueryVideoContext); hr != S_OK) return hr;
    // The context lives inside its device, so the device keeps the mutex alive.
    *videoContext = video::CreateVideoContext(m_owner.shared_from_this(), m_mutex, m_faults);
    return S_OK;
  }

 private:
  static bool BoxFits(const Box& box, const TextureDesc& desc) {
    return box.left < box.right && box.right <= desc.width && box.top < box.bottom && box.bottom <= desc.height &&
           box.front == 0 && box.back == 1;
  }

  template <typename Impl, size_t N, typename Interface>
  static void Bind(std::array<std::weak_ptr<Impl>, N>& slots, uint32_t startSlot, uint32_t count,
                   Interface* const* objects) {
    if (startSlot >= N || count > N - startSlot) return;
    for (uint32_t i = 0; i < count; ++i) {
      slots[startSlot + i] = objects != nullptr ? WeakOf<Impl>(objects[i]) : std::weak_ptr<Impl>{};
    }
  }

  // The immediate context is not thread-safe on the platform, but a capture worker and the
  // caller's thread share one device; serialising here keeps them from racing.
  std::mutex m_mutex;
  std::shared_ptr<FaultInjector> m_faults;
  std::weak_ptr<ShaderImpl> m_shader;
  std::array<std::weak_ptr<SrvImpl>, ComputeBindings::kSlots> m_srv;
  std::array<std::weak_ptr<UavImpl>, ComputeBindings::kSlots> m_uav;
  std::array<std::weak_ptr<BufferImpl>, ComputeBindings::kSlots> m_cb;

  static constexpr uint32_t kMaxViewports = 16;
  PrimitiveTopology m_topology = PrimitiveTopology::Undefined;
  std::weak_ptr<VertexShaderImpl> m_vs;
  std::weak_ptr<PixelShaderImpl> m_ps;
  std::array<std::weak_ptr<BufferImpl>, StageBindings::kSlots> m_vsCb;
  std::array<std::weak_ptr<BufferImpl>, StageBindings::kSlots> m_psCb;
  std::array<std::weak_ptr<SrvImpl>, StageBindings::kSlots> m_psSrv;
  std::array<std::weak_ptr<SamplerImpl>, StageBindings::kSlots> m_psSampler;
  std::weak_ptr<RasterizerImpl> m_rasterizer;
  std::array<Viewport, kMaxViewports> m_viewports;
  uint32_t m_viewportCount = 0;
  std::array<Rect, kMaxViewports> m_scissors;
  uint32_t m_scissorCount = 0;
  std::weak_ptr<BlendImpl> m_blend;
  std::array<float, 4> m_blendFactor = {1, 1, 1, 1};
  uint32_t m_sampleMask = 0xFFFFFFFFu;
  std::array<std::weak_ptr<RtvImpl>, kMaxRenderTargets> m_rtv;
  Device& m_owner;
};

// ---------------------------------------------------------------------------------------------
// The device

class DeviceImpl final : public Device {
 public:
  DeviceImpl(std::shared_ptr<AdapterImpl> adapter, FeatureLevel level, std::shared_ptr<FaultInjector> faults)
      : m_adapter(std::move(adapter)), m_level(level), m_faults(std::move(faults)), m_context(m_faults, *this) {}

  std::shared_ptr<Adapter> GetAdapter() const override { return m_adapter; }
  FeatureLevel GetFeatureLevel() const override { return m_level; }
  // The context lives inside the device; a reference to it keeps the device alive.
  std::shared_ptr<DeviceContext> GetImmediateContext() override {
    return std::shared_ptr<DeviceContext>(shared_from_this(), &m_context);
  }

  HRESULT CreateTexture2D(const TextureDesc& desc, const void* initialData, uint32_t initialRowPitch,
                          std::shared_ptr<Texture2D>* texture) override {
    if (texture == nullptr) return E_INVALIDARG;
    texture->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateTexture); hr != S_OK) return hr;
    if (!IsValidTextureDesc(desc)) return E_INVALIDARG;
    const uint32_t rowBytes = desc.width * BytesPerPixel(desc.format);
    if (desc.usage == Usage::Immutable && initialData == nullptr) return E_INVALIDARG;
    if (initialData != nullptr && initialRowPitch < rowBytes) return E_INVALIDARG;

    const uint32_t pitch = RowPitchFor(desc.width, desc.format);
    auto bytes = BlockPool::Take(size_t{pitch} * desc.height, true);
    if (!bytes) return E_OUTOFMEMORY;
    auto storage = std::make_shared<TextureStorage>(desc, pitch, m_adapter);
    storage->data = bytes.get();
    storage->owned = std::move(bytes);
    if (initialData != nullptr) {
      CopyRows(storage->data, pitch, static_cast<const uint8_t*>(initialData), initialRowPitch, rowBytes, desc.height);
    }
    if ((desc.miscFlags & MISC_SHARED_KEYEDMUTEX) != 0) storage->keyed = std::make_unique<KeyedMutexState>();
    if ((desc.miscFlags & (MISC_SHARED | MISC_SHARED_KEYEDMUTEX)) != 0) Register(storage);
    *texture = std::make_shared<TextureImpl>(Self(), std::move(storage));
    return S_OK;
  }

  HRESULT CreateBuffer(const BufferDesc& desc, const void* initialData, std::shared_ptr<Buffer>* buffer) override {
    if (buffer == nullptr) return E_INVALIDARG;
    buffer->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateBuffer); hr != S_OK) return hr;
    if (!IsValidBufferDesc(desc)) return E_INVALIDARG;
    if (desc.usage == Usage::Immutable && initialData == nullptr) return E_INVALIDARG;
    auto bytes = AllocateZeroed(desc.byteWidth);
    if (!bytes) return E_OUTOFMEMORY;
    if (initialData != nullptr) std::memcpy(bytes.get(), initialData, desc.byteWidth);
    *buffer = std::make_shared<BufferImpl>(desc, std::move(bytes), m_adapter);
    return S_OK;
  }

  HRESULT CreateShaderResourceView(const std::shared_ptr<Texture2D>& texture,
                                   std::shared_ptr<ShaderResourceView>* view) override {
    return CreateView<SrvImpl>(FaultPoint::CreateShaderResourceView, BIND_SHADER_RESOURCE, texture, view);
  }

  HRESULT CreateUnorderedAccessView(const std::shared_ptr<Texture2D>& texture,
                                    std::shared_ptr<UnorderedAccessView>* view) override {
    return CreateView<UavImpl>(FaultPoint::CreateUnorderedAccessView, BIND_UNORDERED_ACCESS, texture, view);
  }

  HRESULT CreateRenderTargetView(const std::shared_ptr<Texture2D>& texture,
                                 std::shared_ptr<RenderTargetView>* view) override {
    return CreateView<RtvImpl>(FaultPoint::CreateRenderTargetView, BIND_RENDER_TARGET, texture, view);
  }

  HRESULT CreateComputeShader(const ShaderBlob& blob, std::shared_ptr<ComputeShader>* shader) override {
    if (shader == nullptr) return E_INVALIDARG;
    shader->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::CreateComputeShader); hr != S_OK) return hr;
    const auto* compiled = dynamic_cast<const BlobImpl*>(&blob);
    auto kernel = compiled != nullptr ? detail::KernelOf<ComputeKernel>(compiled->Kernel()) : nullptr;
    if (!kernel) return E_INVALIDARG;
    *shader = std::make_shared<ShaderImpl>(std::move(kernel));
    return S_OK;
  }

  HRESULT CreateVertexShader(const ShaderBlob& blob, std::shared_ptr<VertexShader>* shader) override {
    return CreateShader<VertexShaderImpl, VertexKernel>(FaultPoint::CreateVertexShader, blob, shader);
  }

  HRESULT CreatePixelShader(const ShaderBlob& blob, std::shared_ptr<PixelShader>* shader) override {
    return CreateShader<PixelShaderImpl, PixelKernel>(FaultPoint::CreatePixelShader, blob, shader);
  }

  HRESULT CreateSamplerState(const SamplerDesc& desc, std::shared_ptr<SamplerState>* state) override {
    return CreateState<SamplerImpl>(FaultPoint::CreateSamplerState, desc, IsValidSamplerDesc(desc), state);
  }

  HRESULT CreateBlendState(const BlendDesc& desc, std::shared_ptr<BlendState>* state) override {
    return CreateState<BlendImpl>(FaultPoint::CreateBlendState, desc, IsValidBlendDesc(desc), state);
  }

  HRESULT CreateRasterizerState(const RasterizerDesc& desc, std::shared_ptr<RasterizerState>* state) override {
    return CreateState<RasterizerImpl>(FaultPoint::CreateRasterizerState, desc, IsValidRasterizerDesc(desc), state);
  }

  HRESULT OpenSharedResource(SharedHandle handle, std::shared_ptr<Texture2D>* texture) override {
    if (texture == nullptr) return E_INVALIDARG;
    texture->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::OpenSharedResource); hr != S_OK) return hr;
    std::shared_ptr<TextureStorage> storage;
    {
      auto registry = SharedRegistryInstance();
      std::lock_guard lock(registry->mutex);
      if (auto found = registry->entries.find(handle); found != registry->entries.end()) {
        storage = found->second.lock();
      }
    }
    if (!storage || storage->charge.Adapter() != m_adapter) return E_INVALIDARG;
    *texture = std::make_shared<TextureImpl>(Self(), std::move(storage));
    return S_OK;
  }

  HRESULT QueryVideoDevice(std::shared_ptr<VideoDevice>* videoDevice) override {
    if (videoDevice == nullptr) return E_INVALIDARG;
    videoDevice->reset();
    if (const HRESULT hr = m_faults->Check(FaultPoint::QueryVideoDevice); hr != S_OK) return hr;
    *videoDevice = video::CreateVideoDevice(shared_from_this(), m_faults);
    return S_OK;
  }

  std::shared_ptr<TextureImpl> WrapMemory(uint32_t width, uint32_t height, Format format, uint8_t* data,
                                          uint32_t rowPitch, std::shared_ptr<void> keepAlive, MemoryLayout layout) {
    TextureDesc desc;
    desc.width = width;
    desc.height = height;
    desc.format = format;
    desc.usage = Usage::Default;
    desc.bindFlags = BIND_SHADER_RESOURCE;
    if (data == nullptr || !IsValidTextureDesc(desc) || rowPitch < width * BytesPerPixel(format)) return nullptr;
    auto storage = std::make_shared<TextureStorage>(desc, rowPitch, m_adapter);
    storage->data = data;
    storage->layout = layout;
    storage->opaque = layout.opaque;
    storage->inPlace = std::make_shared<TextureStorage::InPlace>(TextureStorage::InPlace{keepAlive});
    storage->keepAlive = std::move(keepAlive);
    return std::make_shared<TextureImpl>(Self(), std::move(storage));
  }

  const std::shared_ptr<FaultInjector>& Faults() const { return m_faults; }

 private:
  std::shared_ptr<DeviceImpl> Self() { return std::static_pointer_cast<DeviceImpl>(shared_from_this()); }

  static void Register(const std::shared_ptr<TextureStorage>& storage) {
    storage->registry = SharedRegistryInstance();
    std::lock_guard lock(storage->registry->mutex);
    storage->handle = storage->registry->next;
    // Spaced like the platform's handles, which are multiples of four.
    storage->registry->next += 4;
    storage->registry->entries.emplace(storage->handle, storage);
  }

  template <typename Impl, typename KernelType, typename Interface>
  HRESULT CreateShader(FaultPoint point, const ShaderBlob& blob, std::shared_ptr<Interface>* shader) {
    if (shader == nullptr) return E_INVALIDARG;
    shader->reset();
    if (const HRESULT hr = m_faults->Check(point); hr != S_OK) return hr;
    const auto* compiled = dynamic_cast<const BlobImpl*>(&blob);
    auto kernel = compiled != nullptr ? detail::KernelOf<KernelType>(compiled->Kernel()) : nullptr;
    if (!kernel || !kernel->run) return E_INVALIDARG;
    *shader = std::make_shared<Impl>(std::move(kernel));
    return S_OK;
  }

  template <typename Impl, typename Desc, typename Interface>
  HRESULT CreateState(FaultPoint point, const Desc& desc, bool valid, std::shared_ptr<Interface>* state) {
    if (state == nullptr) return E_INVALIDARG;
    state->reset();
    if (const HRESULT hr = m_faults->Check(point); hr != S_OK) return hr;
    if (!valid) return E_INVALIDARG;
    *state = std::make_shared<Impl>(desc);
    return S_OK;
  }

  template <typename Impl, typename Interface>
  HRESULT CreateView(FaultPoint point, BindFlag required, const std::shared_ptr<Texture2D>& texture,
                     std::shared_ptr<Interface>* view) {
    if (view == nullptr) return E_INVALIDARG;
    view->reset();
    if (const HRESULT hr = m_faults->Check(point); hr != S_OK) return hr;
    auto impl = std::dynamic_pointer_cast<TextureImpl>(texture);
    if (!impl || impl->Owner() != this || (impl->GetDesc().bindFlags & required) == 0) return E_INVALIDARG;
    *view = std::make_shared<Impl>(std::move(impl));
    return S_OK;
  }

  std::shared_ptr<AdapterImpl> m_adapter;
  FeatureLevel m_level;
  std::shared_ptr<FaultInjector> m_faults;
  ContextImpl m_context;
};

std::shared_ptr<Device> TextureImpl::GetDevice() const { return m_device; }

std::shared_ptr<KeyedMutex> TextureImpl::QueryKeyedMutex() {
  if (!m_storage->keyed) return nullptr;
  return std::make_shared<KeyedMutexImpl>(std::shared_ptr<KeyedMutexState>(m_storage, m_storage->keyed.get()),
                                          m_device->Faults());
}

std::string EntryNotFoundText(std::string_view sourceName, std::string_view entry) {
  std::string text(sourceName);
  text += "(1,1): error X3501: '";
  text += entry;
  text += "': entrypoint not found\n";
  return text;
}

std::string CompileFailedText(std::string_view sourceName, HRESULT code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", HrBits(code));
  std::string text(sourceName);
  text += ": error X0000: compilation failed with 0x";
  text += hex;
  text += "\n";
  return text;
}

}  // namespace

// -----------------------------------------------------------------------------------------------
// FaultInjector

void FaultInjector::Fail(FaultPoint point, HRESULT code, int count, int skip) {
  std::lock_guard lock(m_mutex);
  m_rules[static_cast<int>(point)] = Rule{code, count, std::max(skip, 0), count != 0};
}

void FaultInjector::Clear(FaultPoint point) {
  std::lock_guard lock(m_mutex);
  m_rules[static_cast<int>(point)] = Rule{};
}

void FaultInjector::ClearAll() {
  std::lock_guard lock(m_mutex);
  for (auto& rule : m_rules) rule = Rule{};
}

HRESULT FaultInjector::Check(FaultPoint point) {
  std::lock_guard lock(m_mutex);
  const int index = static_cast<int>(point);
  ++m_calls[index];
  Rule& rule = m_rules[index];
  if (!rule.active) return S_OK;
  if (rule.skip > 0) {
    --rule.skip;
    return S_OK;
  }
  if (rule.remaining > 0 && --rule.remaining == 0) rule.active = false;
  return rule.code;
}

int FaultInjector::Calls(FaultPoint point) const {
  std::lock_guard lock(m_mutex);
  return m_calls[static_cast<int>(point)];
}

// -----------------------------------------------------------------------------------------------
// SoftwareDeviceFactory

struct SoftwareDeviceFactory::State {
  std::shared_ptr<AdapterImpl> hardware;
  std::shared_ptr<AdapterImpl> warp;
};

SoftwareDeviceFactory::SoftwareDeviceFactory()
    : m_faults(std::make_shared<FaultInjector>()), m_state(std::make_shared<State>()) {
  m_state->hardware = std::make_shared<AdapterImpl>(AdapterKind::Hardware, m_faults);
  m_state->warp = std::make_shared<AdapterImpl>(AdapterKind::Warp, m_faults);
}

SoftwareDeviceFactory::~SoftwareDeviceFactory() = default;

HRESULT SoftwareDeviceFactory::CreateDevice(const std::shared_ptr<Adapter>& adapter, DriverType driverType,
                                            uint32_t /*flags*/, const FeatureLevel* featureLevels,
                                            uint32_t levelCount, std::shared_ptr<Device>* device,
                                            std::shared_ptr<DeviceContext>* context) {
  if (device != nullptr) device->reset();
  if (context != nullptr) context->reset();
  std::shared_ptr<AdapterImpl> chosen;
  if (adapter) {
    if (adapter == m_state->hardware) {
      chosen = m_state->hardware;
    } else if (adapter == m_state->warp) {
      chosen = m_state->warp;
    } else {
      return E_INVALIDARG;
    }
  } else if (driverType == DriverType::Hardware) {
    chosen = m_state->hardware;
  } else if (driverType == DriverType::Warp) {
    chosen = m_state->warp;
  } else {
    return E_INVALIDARG;
  }
  const FaultPoint point =
      chosen->Kind() == AdapterKind::Hardware ? FaultPoint::CreateDeviceHardware : FaultPoint::CreateDeviceWarp;
  if (const HRESULT hr = m_faults->Check(point); hr != S_OK) return hr;

  const FeatureLevel level =
      featureLevels != nullptr && levelCount > 0 ? featureLevels[0] : FeatureLevel::Level_11_0;
  if (!IsKnownFeatureLevel(level)) return E_INVALIDARG;
  // Asking for neither output only probes whether creation would succeed.
  if (device == nullptr && context == nullptr) return S_FALSE;
  auto created = std::make_shared<DeviceImpl>(chosen, level, m_faults);
  if (context != nullptr) *context = created->GetImmediateContext();
  if (device != nullptr) *device = std::move(created);
  return S_OK;
}

std::vector<std::shared_ptr<Adapter>> SoftwareDeviceFactory::EnumAdapters() {
  return {m_state->hardware, m_state->warp};
}

HRESULT SoftwareDeviceFactory::CompileShader(std::string_view sourceName, std::string_view /*source*/,
                                             std::string_view entry, std::string_view target,
                                             std::shared_ptr<ShaderBlob>* blob, std::string* errors) {
  if (errors != nullptr) errors->clear();
  if (blob == nullptr) return E_INVALIDARG;
  blob->reset();
  if (const HRESULT hr = m_faults->Check(FaultPoint::Compile); hr != S_OK) {
    if (errors != nullptr) *errors = CompileFailedText(sourceName, hr);
    return hr;
  }
  auto kernel = detail::FindKernel(sourceName, entry, target);
  if (!kernel) {
    if (errors != nullptr) *errors = EntryNotFoundText(sourceName, entry);
    return E_FAIL;
  }
  std::string name(sourceName);
  name += ':';
  name += entry;
  *blob = std::make_shared<BlobImpl>(std::move(name), std::move(kernel));
  return S_OK;
}

// -----------------------------------------------------------------------------------------------
// Free functions

bool PrepareTextureWrite(Texture2D& texture, bool whole) {
  auto* impl = AsTexture(texture);
  return impl == nullptr || impl->Storage().PrepareWrite(whole);
}

std::shared_ptr<Texture2D> CreateTextureOverMemory(Device& device, uint32_t width, uint32_t height, Format format,
                                                   uint8_t* data, uint32_t rowPitch, std::shared_ptr<void> keepAlive,
                                                   MemoryLayout layout) {
  auto* impl = dynamic_cast<DeviceImpl*>(&device);
  if (impl == nullptr) return nullptr;
  return impl->WrapMemory(width, height, format, data, rowPitch, std::move(keepAlive), layout);
}

uint32_t TextureRowPitch(uint32_t width, Format format) { return RowPitchFor(width, format); }

bool MemoryInUse(Texture2D& texture) {
  auto* impl = AsTexture(texture);
  return impl != nullptr && impl->Storage().inPlace.use_count() > 1;
}

bool LetterboxInPlace(Texture2D& target, Texture2D& source, uint32_t top, uint32_t fill) {
  auto* to = AsTexture(target);
  auto* from = AsTexture(source);
  if (to == nullptr || from == nullptr || to->Owner() != from->Owner()) return false;
  TextureStorage& d = to->Storage();
  TextureStorage& s = from->Storage();
  if (&d == &s || s.owned || !s.inPlace || !s.opaque || !d.owned || d.handle != 0 || d.keyed || d.mapped.load() ||
      s.mapped.load() || d.desc.width != s.desc.width || d.desc.format != s.desc.format ||
      BytesPerPixel(d.desc.format) != 4 || d.rowPitch != s.rowPitch || d.desc.height < s.desc.height) {
    return false;
  }
  const uint32_t bars = d.desc.height - s.desc.height;
  if (top > bars || top > s.layout.rowsAbove || bars - top > s.layout.rowsBelow) return false;
  TextureStorage::InPlace& held = *s.inPlace;
  // The margins hold one letterbox at a time.
  const bool same = held.top == top && held.height == d.desc.height && held.fill == fill;
  if (s.inPlace.use_count() > 1 && !same) return false;
  uint8_t* first = s.data - size_t{top} * s.rowPitch;
  if (!same) {
    for (uint32_t y = 0; y < d.desc.height; ++y) {
      if (y == top) y += s.desc.height;
      if (y >= d.desc.height) break;
      auto* row = reinterpret_cast<uint32_t*>(first + size_t{y} * s.rowPitch);
      std::fill(row, row + d.desc.width, fill);
    }
    held.top = top, held.height = d.desc.height, held.fill = fill;
  }
  d.owned = SharedBytes(s.inPlace, first);
  d.data = first;
  d.borrowed = true;
  return true;
}

namespace {
thread_local int t_serialRows = 0;
}  // namespace

ScopedSerialRows::ScopedSerialRows() { ++t_serialRows; }
ScopedSerialRows::~ScopedSerialRows() { --t_serialRows; }

namespace {
std::atomic<int> g_referencePaths{0};
}  // namespace

ScopedReferencePaths::ScopedReferencePaths() { g_referencePaths.fetch_add(1, std::memory_order_relaxed); }
ScopedReferencePaths::~ScopedReferencePaths() { g_referencePaths.fetch_sub(1, std::memory_order_relaxed); }
bool ReferencePaths() { return g_referencePaths.load(std::memory_order_relaxed) > 0; }

void ParallelFor(uint32_t count, const std::function<void(uint32_t begin, uint32_t end)>& fn) {
  if (t_serialRows > 0 || !ThreadPool::InstanceAlive()) {
    if (count > 0) fn(0, count);
    return;
  }
  ThreadPool::Instance().ParallelFor(count, fn);
}

}  // namespace kalto::gpu::software
