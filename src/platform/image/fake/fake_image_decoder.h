#pragma once
// Pictures held in memory by path, with failures switched on by tests.
#include <map>
#include <mutex>

#include "platform/image/image.h"

namespace kalto::image {

class FakeImageDecoder final : public ImageDecoder {
 public:
  // A later image at the same path replaces the earlier one.
  void AddImage(const std::filesystem::path& path, RgbaImage image);
  // An image of one colour, given as R, G, B, A.
  void AddSolidImage(const std::filesystem::path& path, uint32_t width, uint32_t height, uint32_t r, uint32_t g,
                     uint32_t b, uint32_t a = 255);
  void RemoveImage(const std::filesystem::path& path);
  // The next `count` decodes fail with `code`, whether or not the path holds an image.
  void FailNextDecodes(int count, HRESULT code = WINCODEC_ERR_BADIMAGE);
  int DecodeCalls() const;
  // Every path asked for, in order, failed ones included.
  std::vector<std::filesystem::path> DecodedPaths() const;

  // A path without an image fails as a missing file does.
  HRESULT DecodeRgba(const std::filesystem::path& path, RgbaImage* image) override;

 private:
  mutable std::mutex m_mutex;
  std::map<std::filesystem::path, RgbaImage> m_images;
  std::vector<std::filesystem::path> m_decodedPaths;
  int m_failCount = 0;
  HRESULT m_failCode = E_FAIL;
};

}  // namespace kalto::image
