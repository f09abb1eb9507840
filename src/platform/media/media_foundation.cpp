#include "platform/media/media_foundation.h"

#include <new>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/block_pool.h"
#include "platform/media/ffmpeg/ffmpeg_platform.h"

namespace kalto::media {

// ---- Guid ------------------------------------------------------------------------------------
std::array<uint8_t, 16> Guid::ToBytes() const {
  std::array<uint8_t, 16> bytes{};
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[4 + i] = static_cast<uint8_t>(data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) bytes[6 + i] = static_cast<uint8_t>(data3 >> (8 * i));
  std::memcpy(bytes.data() + 8, data4.data(), 8);
  return bytes;
}

Guid Guid::FromBytes(const uint8_t* b) {
  Guid g;
  g.data1 = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  g.data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  g.data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  std::memcpy(g.data4.data(), b + 8, 8);
  return g;
}

std::string Guid::ToString() const {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3, data4[0],
                data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return text;
}

// ---- Attributes ------------------------------------------------------------------------------
namespace {

template <typename T>
HRESULT SetItem(std::vector<std::pair<Guid, Attributes::Value>>& items, const Guid& key, T value) {
  for (auto& item : items) {
    if (item.first == key) {
      item.second = std::move(value);
      return S_OK;
    }
  }
  items.emplace_back(key, std::move(value));
  return S_OK;
}

template <typename T>
HRESULT GetItem(const Attributes::Value* found, T* out) {
  if (out == nullptr) return E_POINTER;
  if (found == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  const T* typed = std::get_if<T>(found);
  if (typed == nullptr) return MF_E_INVALIDTYPE;
  *out = *typed;
  return S_OK;
}

}  // namespace

const Attributes::Value* Attributes::Find(const Guid& key) const {
  for (const auto& item : m_items) {
    if (item.first == key) return &item.second;
  }
  return nullptr;
}

HRESULT Attributes::SetUINT32(const Guid& key, uint32_t value) { return SetItem(m_items, key, value); }
HRESULT Attributes::SetUINT64(const Guid& key, uint64_t value) { return SetItem(m_items, key, value); }
HRESULT Attributes::SetDouble(const Guid& key, double value) { return SetItem(m_items, key, value); }
HRESULT Attributes::SetGUID(const Guid& key, const Guid& value) { return SetItem(m_items, key, value); }
HRESULT Attributes::SetString(const Guid& key, std::wstring value) { return SetItem(m_items, key, std::move(value)); }
HRESULT Attributes::SetBlob(const Guid& key, std::vector<uint8_t> value) { return SetItem(m_items, key, std::move(value)); }

HRESULT Attributes::GetUINT32(const Guid& key, uint32_t* value) const { return GetItem(Find(key), value); }
HRESULT Attributes::GetUINT64(const Guid& key, uint64_t* value) const { return GetItem(Find(key), value); }
HRESULT Attributes::GetDouble(const Guid& key, double* value) const { return GetItem(Find(key), value); }
HRESULT Attributes::GetGUID(const Guid& key, Guid* value) const { return GetItem(Find(key), value); }
HRESULT Attributes::GetString(const Guid& key, std::wstring* value) const { return GetItem(Find(key), value); }
HRESULT Attributes::GetBlob(const Guid& key, std::vector<uint8_t>* value) const { return GetItem(Find(key), value); }

HRESULT Attributes::GetItemType(const Guid& key, AttributeType* type) const {
  if (type == nullptr) return E_POINTER;
  const Value* found = Find(key);
  if (found == nullptr) return MF_E_ATTRIBUTENOTFOUND;
  *type = static_cast<AttributeType>(found->index());
  return S_OK;
}

bool Attributes::HasKey(const Guid& key) const { return Find(key) != nullptr; }

HRESULT Attributes::DeleteItem(const Guid& key) {
  std::erase_if(m_items, [&](const auto& item) { return item.first == key; });
  return S_OK;
}

bool Attributes::Equals(const Attributes& other) const {
  if (m_items.size() != other.m_items.size()) return false;
  for (const auto& [key, value] : m_items) {
    const Value* theirs = other.Find(key);
    if (theirs == nullptr || !(*theirs == value)) return false;
  }
  return true;
}

void Attributes::CopyAllItems(Attributes* destination) const {
  if (destination == nullptr) return;
  destination->m_items = m_items;
}

HRESULT SetAttributeSize(Attributes* attributes, const Guid& key, uint32_t width, uint32_t height) {
  return SetAttributeRatio(attributes, key, width, height);
}
HRESULT GetAttributeSize(const Attributes& attributes, const Guid& key, uint32_t* width, uint32_t* height) {
  return GetAttributeRatio(attributes, key, width, height);
}
HRESULT SetAttributeRatio(Attributes* attributes, const Guid& key, uint32_t numerator, uint32_t denominator) {
  if (attributes == nullptr) return E_POINTER;
  return attributes->SetUINT64(key, uint64_t{numerator} << 32 | denominator);
}
HRESULT GetAttributeRatio(const Attributes& attributes, const Guid& key, uint32_t* numerator, uint32_t* denominator) {
  if (numerator == nullptr || denominator == nullptr) return E_POINTER;
  uint64_t packed = 0;
  const HRESULT hr = attributes.GetUINT64(key, &packed);
  if (Failed(hr)) return hr;
  *numerator = static_cast<uint32_t>(packed >> 32);
  *denominator = static_cast<uint32_t>(packed);
  return S_OK;
}

namespace {
void PutLittleEndian(std::vector<uint8_t>& blob, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) blob.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint32_t TakeLittleEndian(const std::vector<uint8_t>& blob, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= uint32_t{blob[at + i]} << (8 * i);
  return value;
}
}  // namespace

HRESULT SetVideoArea(Attributes* attributes, const Guid& key, const VideoArea& area) {
  if (attributes == nullptr) return E_POINTER;
  if (area.x < INT16_MIN || area.x > INT16_MAX || area.y < INT16_MIN || area.y > INT16_MAX) return E_INVALIDARG;
  std::vector<uint8_t> blob;
  PutLittleEndian(blob, 0, 2);
  PutLittleEndian(blob, static_cast<uint16_t>(area.x), 2);
  PutLittleEndian(blob, 0, 2);
  PutLittleEndian(blob, static_cast<uint16_t>(area.y), 2);
  PutLittleEndian(blob, static_cast<uint32_t>(area.width), 4);
  PutLittleEndian(blob, static_cast<uint32_t>(area.height), 4);
  return attributes->SetBlob(key, std::move(blob));
}

HRESULT GetVideoArea(const Attributes& attributes, const Guid& key, VideoArea* area) {
  if (area == nullptr) return E_POINTER;
  std::vector<uint8_t> blob;
  const HRESULT hr = attributes.GetBlob(key, &blob);
  if (Failed(hr)) return hr;
  if (blob.size() != 16) return E_INVALIDARG;
  area->x = static_cast<int16_t>(TakeLittleEndian(blob, 2, 2));
  area->y = static_cast<int16_t>(TakeLittleEndian(blob, 6, 2));
  area->width = static_cast<int32_t>(TakeLittleEndian(blob, 8, 4));
  area->height = static_cast<int32_t>(TakeLittleEndian(blob, 12, 4));
  return S_OK;
}

HRESULT CreateAttributes(std::shared_ptr<Attributes>* attributes, uint32_t) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = std::make_shared<Attributes>();
  return S_OK;
}

HRESULT CreateMediaType(std::shared_ptr<MediaType>* type) {
  if (type == nullptr) return E_POINTER;
  *type = std::make_shared<MediaType>();
  return S_OK;
}

// ---- Buffers and samples ---------------------------------------------------------------------
MediaBuffer::MediaBuffer(uint32_t maxLength) : m_bytes(BlockPool::Take(maxLength, false)), m_maxLength(maxLength) {
  if (!m_bytes) throw std::bad_alloc();
}

HRESULT MediaBuffer::Lock(uint8_t** data, uint32_t* maxLength, uint32_t* currentLength) {
  if (data == nullptr) return E_POINTER;
  if (m_readOnly) return MF_E_INVALIDREQUEST;
  *data = m_bytes.get();
  if (maxLength != nullptr) *maxLength = GetMaxLength();
  if (currentLength != nullptr) *currentLength = m_currentLength;
  return S_OK;
}

// Locks do not nest or exclude here: nothing reads a buffer while its owner fills it.
HRESULT MediaBuffer::Unlock() { return S_OK; }

HRESULT MediaBuffer::SetCurrentLength(uint32_t length) {
  if (length > GetMaxLength()) return E_INVALIDARG;
  m_currentLength = length;
  return S_OK;
}

HRESULT Sample::AddBuffer(std::shared_ptr<MediaBuffer> buffer) {
  if (!buffer) return E_POINTER;
  m_buffers.push_back(std::move(buffer));
  return S_OK;
}

HRESULT Sample::GetBufferByIndex(uint32_t index, std::shared_ptr<MediaBuffer>* buffer) const {
  if (buffer == nullptr) return E_POINTER;
  if (index >= m_buffers.size()) return E_INVALIDARG;
  *buffer = m_buffers[index];
  return S_OK;
}

uint32_t Sample::GetTotalLength() const {
  uint32_t total = 0;
  for (const auto& buffer : m_buffers) total += buffer->GetCurrentLength();
  return total;
}

std::vector<uint8_t> Sample::ContiguousBytes() const {
  std::vector<uint8_t> bytes;
  bytes.reserve(GetTotalLength());
  for (const auto& buffer : m_buffers) bytes.insert(bytes.end(), buffer->Data(), buffer->Data() + buffer->GetCurrentLength());
  return bytes;
}

HRESULT Sample::SetSampleTime(int64_t time) {
  m_time = time;
  m_hasTime = true;
  return S_OK;
}
HRESULT Sample::GetSampleTime(int64_t* time) const {
  if (time == nullptr) return E_POINTER;
  if (!m_hasTime) return MF_E_NO_SAMPLE_TIMESTAMP;
  *time = m_time;
  return S_OK;
}
HRESULT Sample::SetSampleDuration(int64_t duration) {
  m_duration = duration;
  m_hasDuration = true;
  return S_OK;
}
HRESULT Sample::GetSampleDuration(int64_t* duration) const {
  if (duration == nullptr) return E_POINTER;
  if (!m_hasDuration) return MF_E_NO_SAMPLE_DURATION;
  *duration = m_duration;
  return S_OK;
}

HRESULT CreateMemoryBuffer(uint32_t maxLength, std::shared_ptr<MediaBuffer>* buffer) {
  if (buffer == nullptr) return E_POINTER;
  try {
    *buffer = std::make_shared<MediaBuffer>(maxLength);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CreateSample(std::shared_ptr<Sample>* sample) {
  if (sample == nullptr) return E_POINTER;
  *sample = std::make_shared<Sample>();
  return S_OK;
}

// ---- Activation helpers ----------------------------------------------------------------------
std::wstring Activate::FriendlyName() const {
  std::wstring name;
  if (Failed(GetString(MFT_FRIENDLY_NAME_Attribute, &name))) return {};
  return name;
}

bool Activate::IsD3D11Aware() const {
  uint32_t aware = 0;
  return Succeeded(GetUINT32(MF_SA_D3D11_AWARE, &aware)) && aware != 0;
}

// ---- Backend selection and start-up ----------------------------------------------------------
namespace {

struct PlatformState {
  std::mutex mutex;
  std::shared_ptr<MediaPlatform> platform;  // null: the FFmpeg default
  uint32_t startCount = 0;
};

PlatformState& State() {
  static PlatformState state;
  return state;
}

std::shared_ptr<MediaPlatform> DefaultPlatform() {
  static const std::shared_ptr<MediaPlatform> platform = ffmpeg::CreateFfmpegPlatform();
  return platform;
}

}  // namespace

std::shared_ptr<MediaPlatform> SetMediaPlatform(std::shared_ptr<MediaPlatform> platform) {
  auto& state = State();
  std::lock_guard lock(state.mutex);
  auto previous = state.platform ? state.platform : DefaultPlatform();
  state.platform = std::move(platform);
  return previous;
}

std::shared_ptr<MediaPlatform> CurrentMediaPlatform() {
  auto& state = State();
  std::lock_guard lock(state.mutex);
  return state.platform ? state.platform : DefaultPlatform();
}

HRESULT MediaStartup(uint32_t version, uint32_t flags) {
  if (version != MF_VERSION) return MF_E_BAD_STARTUP_VERSION;
  if (flags != MFSTARTUP_FULL && flags != MFSTARTUP_LITE) return E_INVALIDARG;
  auto& state = State();
  std::lock_guard lock(state.mutex);
  if (state.startCount == 0) {
    auto platform = state.platform ? state.platform : DefaultPlatform();
    const HRESULT hr = platform->Startup();
    if (Failed(hr)) return hr;
  }
  ++state.startCount;
  return S_OK;
}

HRESULT MediaShutdown() {
  auto& state = State();
  std::lock_guard lock(state.mutex);
  if (state.startCount == 0) return MF_E_NOT_INITIALIZED;
  if (--state.startCount == 0) {
    auto platform = state.platform ? state.platform : DefaultPlatform();
    platform->Shutdown();
  }
  return S_OK;
}

bool IsMediaStarted() {
  auto& state = State();
  std::lock_guard lock(state.mutex);
  return state.startCount > 0;
}

HRESULT EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                       const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates) {
  if (activates == nullptr) return E_POINTER;
  activates->clear();
  if ((flags & MFT_ENUM_FLAG_ALL) == 0) flags |= MFT_ENUM_FLAG_SYNCMFT | MFT_ENUM_FLAG_LOCALMFT | MFT_ENUM_FLAG_SORTANDFILTER;
  return CurrentMediaPlatform()->EnumTransforms(category, flags, inputType, outputType, activates);
}

HRESULT EnumVideoEncoders(uint32_t flags, std::vector<std::shared_ptr<Activate>>* activates) {
  const RegisterTypeInfo output{MFMediaType_Video, MFVideoFormat_H264};
  return EnumTransforms(MFT_CATEGORY_VIDEO_ENCODER, flags, nullptr, &output, activates);
}

HRESULT CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes, std::shared_ptr<SinkWriter>* writer) {
  if (writer == nullptr) return E_POINTER;
  writer->reset();
  if (!IsMediaStarted()) return MF_E_PLATFORM_NOT_INITIALIZED;
  return CurrentMediaPlatform()->CreateSinkWriterFromUrl(url, attributes, writer);
}

// ---- Subtypes --------------------------------------------------------------------------------
bool IsAcceptedVideoInputSubtype(const Guid& s) {
  return s == MFVideoFormat_NV12 || s == MFVideoFormat_IYUV || s == MFVideoFormat_YV12 || s == MFVideoFormat_YUY2 ||
         s == MFVideoFormat_RGB32 || s == MFVideoFormat_ARGB32;
}

uint64_t VideoFrameBytes(const Guid& s, uint32_t width, uint32_t height) {
  const uint64_t pixels = uint64_t{width} * height;
  if (s == MFVideoFormat_RGB32 || s == MFVideoFormat_ARGB32) return pixels * 4;
  if (s == MFVideoFormat_YUY2) return pixels * 2;
  if (s == MFVideoFormat_NV12 || s == MFVideoFormat_IYUV || s == MFVideoFormat_YV12) return pixels * 3 / 2;
  return 0;
}

std::string SubtypeName(const Guid& s) {
  struct Named {
    const Guid* guid;
    const char* name;
  };
  static const Named names[] = {{&MFVideoFormat_NV12, "NV12"},   {&MFVideoFormat_IYUV, "IYUV"},
                                {&MFVideoFormat_YV12, "YV12"},   {&MFVideoFormat_YUY2, "YUY2"},
                                {&MFVideoFormat_RGB32, "RGB32"}, {&MFVideoFormat_ARGB32, "ARGB32"},
                                {&MFVideoFormat_H264, "H264"},   {&MFAudioFormat_AAC, "AAC"},
                                {&MFAudioFormat_PCM, "PCM"}};
  for (const auto& n : names) {
    if (*n.guid == s) return n.name;
  }
  return s.ToString();
}

}  // namespace kalto::media
