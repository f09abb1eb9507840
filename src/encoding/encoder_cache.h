#pragma once
// Which video input subtype the platform's H.264 encoder takes: found once by activating encoder
// transforms, then kept in memory for the process and in a 20-byte file for later processes.
// Everything here runs under the process-wide encoder lock.
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/media/media_foundation.h"

namespace kalto {

class EncoderCache {
 public:
  // The process-wide encoder lock: serialises pre-warm, every encoder initialisation and the
  // cache file.
  static std::mutex& Lock();

  // <LocalAppData>/Kalto/encoder_cache.bin, creating the folder; empty when there is no
  // local application-data folder.
  static std::wstring GetCachePath();
  static bool LoadDiskCache(media::Guid* subtype);
  static void SaveDiskCache(const media::Guid& subtype);
  // Enumerates H.264 encoders and takes the first accepted input subtype of the first one that
  // accepts an output type of this size and rate. Sets the encoder name on success.
  static bool DiscoverEncoder(media::Guid* subtype, uint32_t width, uint32_t height, uint32_t fps);

  // Memory, then file, then discovery (with this size and rate), saving what discovery found.
  // The caller holds Lock().
  static bool ObtainSubtypeLocked(uint32_t width, uint32_t height, uint32_t fps, media::Guid* subtype);
  // Obtains the subtype ahead of the first recording (1920x1080 at 30 fps).
  static void PreWarm();
  // The friendly name of the encoder the last successful discovery in this process chose; empty
  // when the subtype came from the file.
  static std::wstring EncoderName();

  static void ResetForTesting();
};

}  // namespace kalto
