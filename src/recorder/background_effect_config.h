#pragma once
#include <cstdint>

namespace kalto {

// Camera background effect; six Int32 fields in their published order. Stored as given: the
// background-effect processor interprets out-of-range values.
struct BackgroundEffectConfig {
  int32_t Mode = 0;            // 0 none, 1 blur, 2 colour, 3 gradient, 4 image
  int32_t BlurStrength = 0;    // 0, 1 or 2
  int32_t ColorPreset = 0;
  int32_t GradientPreset = 0;
  int32_t ImagePreset = 0;
  int32_t PerformanceMode = 0;  // how often the person mask is recomputed
  friend bool operator==(const BackgroundEffectConfig&, const BackgroundEffectConfig&) = default;
};

}  // namespace kalto
