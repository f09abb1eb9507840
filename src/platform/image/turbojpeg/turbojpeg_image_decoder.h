#pragma once
// JPEG files decoded with libjpeg-turbo. Each call has a decompressor of its own: decoding is
// rare (the presets, once) and a decompressor that failed mid-image refuses later work.
#include "platform/image/image.h"

namespace kalto::image {

class TurboJpegImageDecoder final : public ImageDecoder {
 public:
  // Larger sides are refused before any pixel memory is taken: a damaged header can claim
  // 65535 x 65535, which is 16 GiB of RGBA.
  static constexpr int kMaxSide = 16384;

  HRESULT DecodeRgba(const std::filesystem::path& path, RgbaImage* image) override;
};

}  // namespace kalto::image
