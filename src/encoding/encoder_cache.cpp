#include "encoding/encoder_cache.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "common/debug_output.h"
#include "common/known_folders.h"
#include "common/native_path.h"

namespace kalto {
namespace {

constexpr uint32_t kCacheVersion = 1;
constexpr size_t kCacheFileBytes = 20;
constexpr uint32_t kDiscoveryFlags = media::MFT_ENUM_FLAG_SYNCMFT | media::MFT_ENUM_FLAG_ASYNCMFT |
                                     media::MFT_ENUM_FLAG_HARDWARE | media::MFT_ENUM_FLAG_SORTANDFILTER;

// Guarded by EncoderCache::Lock().
struct MemoryCache {
  media::Guid subtype;
  bool valid = false;
} s_cache;

// Read by the encoder while it holds the encoder lock, so it has a lock of its own.
std::mutex s_encoderNameMutex;
std::wstring s_encoderName;

void SetEncoderName(std::wstring name) {
  std::lock_guard lock(s_encoderNameMutex);
  s_encoderName = std::move(name);
}

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

std::mutex& EncoderCache::Lock() {
  static std::mutex lock;
  return lock;
}

std::wstring EncoderCache::GetCachePath() {
  auto folder = KaltoDataFolder();
  if (folder.empty()) return {};
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  // The data folder may be any bytes (a home folder in a legacy encoding): kept lossless.
  return WideFromNativePath((folder / "encoder_cache.bin").native());
}

bool EncoderCache::LoadDiskCache(media::Guid* subtype) {
  auto path = GetCachePath();
  if (path.empty()) return false;
  std::ifstream file(NativePathFromWide(path), std::ios::binary);
  if (!file) return false;
  uint8_t bytes[kCacheFileBytes] = {};
  file.read(reinterpret_cast<char*>(bytes), 4);
  if (ReadLe32(bytes) != kCacheVersion) {
    DebugLog<128>(L"[Encoder] Disk cache version mismatch, will rediscover\n");
    return false;
  }
  file.read(reinterpret_cast<char*>(bytes + 4), 16);
  if (file.gcount() != 16) return false;
  auto guid = media::Guid::FromBytes(bytes + 4);
  // Any other 16 bytes would become the writer's input subtype; a file that does not name one
  // of the subtypes we convert to is as good as no file.
  if (!media::IsAcceptedVideoInputSubtype(guid)) {
    DebugLog<128>(L"[Encoder] WARNING: Disk cache names an unknown input format, will rediscover\n");
    return false;
  }
  *subtype = guid;
  return true;
}

void EncoderCache::SaveDiskCache(const media::Guid& subtype) {
  auto path = GetCachePath();
  if (path.empty()) return;
  std::ofstream file(NativePathFromWide(path), std::ios::binary | std::ios::trunc);
  if (!file) {
    DebugLog<128>(L"[Encoder] Failed to open cache file for writing\n");
    return;
  }
  uint8_t bytes[kCacheFileBytes] = {static_cast<uint8_t>(kCacheVersion), 0, 0, 0};
  auto guid = subtype.ToBytes();
  std::copy(guid.begin(), guid.end(), bytes + 4);
  file.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
  file.flush();
}

bool EncoderCache::DiscoverEncoder(media::Guid* subtype, uint32_t width, uint32_t height, uint32_t fps) {
  media::RegisterTypeInfo output{media::MFMediaType_Video, media::MFVideoFormat_H264};
  std::vector<std::shared_ptr<media::Activate>> activates;
  HRESULT hr = media::EnumTransforms(media::MFT_CATEGORY_VIDEO_ENCODER, kDiscoveryFlags, nullptr, &output, &activates);
  if (Failed(hr) || activates.empty()) {
    DebugLog<128>(L"[Encoder] No H.264 encoders found!\n");
    return false;
  }
  const uint32_t probeBitrate = fps * 8'000'000u / 30u;

  for (uint32_t i = 0; i < activates.size(); ++i) {
    auto& activate = *activates[i];
    std::wstring name;
    if (Failed(activate.GetString(media::MFT_FRIENDLY_NAME_Attribute, &name))) name = L"Unknown";

    std::shared_ptr<media::Transform> transform;
    hr = activate.ActivateObject(&transform);
    if (Failed(hr) || !transform) {
      DebugLog<128>(L"[Encoder] Failed to activate encoder %u: 0x%08X\n", i, HrBits(Failed(hr) ? hr : E_POINTER));
      continue;
    }
    std::shared_ptr<media::MediaType> type;
    media::CreateMediaType(&type);
    type->SetGUID(media::MF_MT_MAJOR_TYPE, media::MFMediaType_Video);
    type->SetGUID(media::MF_MT_SUBTYPE, media::MFVideoFormat_H264);
    media::SetAttributeSize(type.get(), media::MF_MT_FRAME_SIZE, width, height);
    media::SetAttributeRatio(type.get(), media::MF_MT_FRAME_RATE, fps, 1);
    type->SetUINT32(media::MF_MT_AVG_BITRATE, probeBitrate);
    type->SetUINT32(media::MF_MT_INTERLACE_MODE, media::MFVideoInterlace_Progressive);
    hr = transform->SetOutputType(0, type.get(), 0);
    if (Failed(hr)) {
      DebugLog<128>(L"[Encoder] Failed to set output type: 0x%08X\n", HrBits(hr));
      continue;
    }
    for (uint32_t index = 0;; ++index) {
      std::shared_ptr<media::MediaType> input;
      if (Failed(transform->GetInputAvailableType(0, index, &input)) || !input) break;
      media::Guid candidate;
      if (Succeeded(input->GetGUID(media::MF_MT_SUBTYPE, &candidate)) &&
          media::IsAcceptedVideoInputSubtype(candidate)) {
        *subtype = candidate;
        SetEncoderName(std::move(name));
        return true;
      }
    }
  }
  DebugLog<128>(L"[Encoder] No encoder with compatible input format found\n");
  return false;
}

bool EncoderCache::ObtainSubtypeLocked(uint32_t width, uint32_t height, uint32_t fps, media::Guid* subtype) {
  if (s_cache.valid) {
    *subtype = s_cache.subtype;
    return true;
  }
  media::Guid found;
  if (LoadDiskCache(&found)) {
    s_cache = {found, true};
    *subtype = found;
    return true;
  }
  if (!DiscoverEncoder(&found, width, height, fps)) return false;
  s_cache = {found, true};
  SaveDiskCache(found);
  *subtype = found;
  return true;
}

void EncoderCache::PreWarm() {
  std::lock_guard lock(Lock());
  media::Guid subtype;
  if (!ObtainSubtypeLocked(1920, 1080, 30, &subtype)) {
    DebugLog<128>(L"[Encoder] Pre-warm failed - will retry on first recording\n");
  }
}

std::wstring EncoderCache::EncoderName() {
  std::lock_guard lock(s_encoderNameMutex);
  return s_encoderName;
}

void EncoderCache::ResetForTesting() {
  std::lock_guard lock(Lock());
  s_cache = {};
  SetEncoderName({});
}

}  // namespace kalto
