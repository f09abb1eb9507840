#pragma once
#include <cstdint>
#include <string>

#include "recorder/background_effect_config.h"

namespace kalto {

// The camera bubble of a recording, fields in their published order. Rectangle normalised to
// the output frame (0..1, top-left origin); radius and border width in the bubble's own units
// (1 is half its size).
struct CameraOverlayConfig {
  bool Enabled = false;
  std::wstring DeviceId;
  double X = 0, Y = 0, Width = 0, Height = 0;
  double ReservedValue = 0;  // not consulted
  double CornerRadius = 0;
  bool Mirror = false;
  int32_t FillMode = 0;  // 1 cover, other values contain
  double Opacity = 0;
  uint32_t BorderColor = 0;  // 0xRRGGBBAA, straight alpha
  double BorderWidth = 0;
  int32_t FrameRate = 0;  // <= 0 means 30
  BackgroundEffectConfig BackgroundEffect;
};

}  // namespace kalto
