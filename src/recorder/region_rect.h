#pragma once
#include <cstdint>

namespace kalto {

// Crop rectangle in pixels of the captured monitor; fields in their published order.
struct RegionRect {
  int32_t X = 0;
  int32_t Y = 0;
  int32_t Width = 0;
  int32_t Height = 0;
  friend bool operator==(const RegionRect&, const RegionRect&) = default;
};

}  // namespace kalto
