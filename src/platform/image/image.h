#pragma once
// Still-image decoding: the stand-in for the imaging component that turns the background
// pictures into RGBA pixels.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "common/result.h"

namespace kalto::image {

// The imaging component's own codes, so a failed preset logs what the platform would say.
inline constexpr HRESULT HRESULT_ERROR_FILE_NOT_FOUND = HrFromWin32(2);
inline constexpr HRESULT WINCODEC_ERR_COMPONENTNOTFOUND = MakeHr(0x88982F50u);  // not a format we decode
inline constexpr HRESULT WINCODEC_ERR_IMAGESIZEOUTOFRANGE = MakeHr(0x88982F51u);
inline constexpr HRESULT WINCODEC_ERR_BADIMAGE = MakeHr(0x88982F60u);
inline constexpr HRESULT WINCODEC_ERR_BADHEADER = MakeHr(0x88982F61u);
inline constexpr HRESULT WINCODEC_ERR_STREAMREAD = MakeHr(0x88982F72u);

// Rows are tightly packed: row y starts at y * width * 4. Bytes are R, G, B, A; alpha is 255
// for formats without one.
struct RgbaImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
};

class ImageDecoder {
 public:
  virtual ~ImageDecoder() = default;
  // Decodes frame 0 of the file into `image`. On failure `image` is left empty and the code
  // says why (missing file, unknown format, bad header, size out of range, damaged data).
  // Safe to call from any thread.
  virtual HRESULT DecodeRgba(const std::filesystem::path& path, RgbaImage* image) = 0;
};

}  // namespace kalto::image
