#pragma once
// The records between their C structs and the engine's types.
#include <string>

#include "kalto/native.h"
#include "recorder/background_effect_config.h"
#include "recorder/camera_overlay_config.h"
#include "recorder/focus_zoom_settings.h"
#include "recorder/region_rect.h"

namespace kalto::surface {

constexpr KaltoBoolean ToAbi(bool value) noexcept { return value ? 1 : 0; }
// Any non-zero byte is true, as a C caller may pass one.
constexpr bool FromAbi(KaltoBoolean value) noexcept { return value != 0; }

KaltoRegionRect ToAbi(const RegionRect& rect) noexcept;
RegionRect FromAbi(const KaltoRegionRect& rect) noexcept;
KaltoFocusZoomSettings ToAbi(const FocusZoomSettings& settings) noexcept;
FocusZoomSettings FromAbi(const KaltoFocusZoomSettings& settings) noexcept;
KaltoBackgroundEffectConfig ToAbi(const BackgroundEffectConfig& config) noexcept;
BackgroundEffectConfig FromAbi(const KaltoBackgroundEffectConfig& config) noexcept;
// DeviceId is read from the borrowed string.
CameraOverlayConfig FromAbi(const KaltoCameraOverlayConfig& config);

}  // namespace kalto::surface
