#include "recorder/surface/records.h"

#include "platform/abi/abi_string.h"

namespace kalto::surface {

KaltoRegionRect ToAbi(const RegionRect& rect) noexcept { return {rect.X, rect.Y, rect.Width, rect.Height}; }
RegionRect FromAbi(const KaltoRegionRect& rect) noexcept { return {rect.X, rect.Y, rect.Width, rect.Height}; }

KaltoFocusZoomSettings ToAbi(const FocusZoomSettings& settings) noexcept {
  return {ToAbi(settings.ReservedFlag1), ToAbi(settings.ReservedFlag2), settings.ZoomRegionFraction,
          settings.FollowSmoothing,      settings.MoveThreshold,         settings.MagnifierScale};
}
FocusZoomSettings FromAbi(const KaltoFocusZoomSettings& settings) noexcept {
  return {FromAbi(settings.ReservedFlag1), FromAbi(settings.ReservedFlag2), settings.ZoomRegionFraction,
          settings.FollowSmoothing,        settings.MoveThreshold,           settings.MagnifierScale};
}

KaltoBackgroundEffectConfig ToAbi(const BackgroundEffectConfig& config) noexcept {
  return {config.Mode, config.BlurStrength, config.ColorPreset, config.GradientPreset, config.ImagePreset,
          config.PerformanceMode};
}
BackgroundEffectConfig FromAbi(const KaltoBackgroundEffectConfig& config) noexcept {
  return {config.Mode, config.BlurStrength, config.ColorPreset, config.GradientPreset, config.ImagePreset,
          config.PerformanceMode};
}

CameraOverlayConfig FromAbi(const KaltoCameraOverlayConfig& config) {
  CameraOverlayConfig result;
  result.Enabled = FromAbi(config.Enabled);
  result.DeviceId = abi::WideFromAbi(config.DeviceId);
  result.X = config.X;
  result.Y = config.Y;
  result.Width = config.Width;
  result.Height = config.Height;
  result.ReservedValue = config.ReservedValue;
  result.CornerRadius = config.CornerRadius;
  result.Mirror = FromAbi(config.Mirror);
  result.FillMode = config.FillMode;
  result.Opacity = config.Opacity;
  result.BorderColor = config.BorderColor;
  result.BorderWidth = config.BorderWidth;
  result.FrameRate = config.FrameRate;
  result.BackgroundEffect = FromAbi(config.BackgroundEffect);
  return result;
}

}  // namespace kalto::surface
