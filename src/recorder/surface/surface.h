#pragma once
// The activation surface's internal API: the objects behind the C header's interfaces, made from
// and mapped back to the engine's C++ objects, and the hooks tests use.
#include <memory>
#include <string_view>

#include "common/result.h"
#include "kalto/native.h"
#include "platform/platform.h"
#include "recorder/recording_config.h"
#include "recorder/recording_progress.h"

namespace kalto::surface {

inline constexpr std::u16string_view kNativeRecorderClass = u"Kalto.Native.NativeRecorder";
inline constexpr std::u16string_view kRecordingConfigClass = u"Kalto.Native.RecordingConfig";
inline constexpr std::u16string_view kRecordingProgressClass = u"Kalto.Native.RecordingProgress";

// An IRecordingConfig over `config`, which the engine may keep (a prepare keeps it, not a copy).
HRESULT MakeRecordingConfigObject(std::shared_ptr<RecordingConfig> config, KaltoIRecordingConfig** result) noexcept;
// The engine's configuration behind an IRecordingConfig of this module; null for any other.
std::shared_ptr<RecordingConfig> ConfigOf(KaltoIRecordingConfig* config) noexcept;

// An IRecordingProgress holding `progress` (what ProgressChanged hands out).
HRESULT MakeRecordingProgressObject(const RecordingProgress& progress, KaltoIRecordingProgress** result) noexcept;

// The platform that recorders activated from now on run on; null restores the default one.
// Tests set their fakes here.
void SetRecorderPlatformForTesting(std::shared_ptr<platform::Platform> platform);
std::shared_ptr<platform::Platform> RecorderPlatform();

}  // namespace kalto::surface
