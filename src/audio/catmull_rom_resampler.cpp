#include "audio/catmull_rom_resampler.h"

#include <algorithm>
#include <cmath>

namespace kalto {

void ResampleCatmullRom(const float* frames, size_t frameCount, double ratio, double& position,
                        ResampleHistory& history, std::vector<float>& out) {
  // A ratio that does not advance would never leave the loop.
  if (frames == nullptr || frameCount == 0 || !(ratio > 0.0) || !std::isfinite(ratio)) return;
  const size_t n = frameCount;
  double pos = position;
  while (pos < static_cast<double>(n)) {
    const size_t i = static_cast<size_t>(pos);
    const float t = static_cast<float>(pos - static_cast<double>(i));
    const size_t k = std::min(i, n - 1);
    for (size_t c = 0; c < 2; ++c) {
      const float p1 = frames[k * 2 + c];
      const float p0 = k > 0 ? frames[(k - 1) * 2 + c] : history[c * 4 + 3];
      const float p2 = k + 1 < n ? frames[(k + 1) * 2 + c] : 2.0f * p1 - p0;
      const float p3 = k + 2 < n ? frames[(k + 2) * 2 + c] : 2.0f * p2 - p1;
      float y = p1 + 0.5f * t * (p2 - p0) + t * t * (p0 - 2.5f * p1 + 2.0f * p2 - 0.5f * p3) +
                t * t * t * (1.5f * p1 - 0.5f * p0 - 1.5f * p2 + 0.5f * p3);
      out.push_back(std::clamp(y, -1.0f, 1.0f));
    }
    pos += ratio;
  }
  position = std::max(pos - static_cast<double>(n), 0.0);

  if (n < 4) {
    for (size_t f = 0; f < n; ++f) {
      for (size_t c = 0; c < 2; ++c) {
        std::copy(history.begin() + c * 4 + 1, history.begin() + c * 4 + 4, history.begin() + c * 4);
        history[c * 4 + 3] = frames[f * 2 + c];
      }
    }
  } else {
    for (size_t j = 0; j < 4; ++j) {
      history[j] = frames[(n - 4 + j) * 2];
      history[4 + j] = frames[(n - 4 + j) * 2 + 1];
    }
  }
}

}  // namespace kalto
