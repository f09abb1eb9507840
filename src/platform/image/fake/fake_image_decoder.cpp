#include "platform/image/fake/fake_image_decoder.h"

namespace kalto::image {

void FakeImageDecoder::AddImage(const std::filesystem::path& path, RgbaImage image) {
  std::lock_guard lock(m_mutex);
  m_images[path] = std::move(image);
}

void FakeImageDecoder::AddSolidImage(const std::filesystem::path& path, uint32_t width, uint32_t height, uint32_t r,
                                     uint32_t g, uint32_t b, uint32_t a) {
  RgbaImage image{width, height, std::vector<uint8_t>(size_t{width} * height * 4)};
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    image.pixels[i] = static_cast<uint8_t>(r);
    image.pixels[i + 1] = static_cast<uint8_t>(g);
    image.pixels[i + 2] = static_cast<uint8_t>(b);
    image.pixels[i + 3] = static_cast<uint8_t>(a);
  }
  AddImage(path, std::move(image));
}

void FakeImageDecoder::RemoveImage(const std::filesystem::path& path) {
  std::lock_guard lock(m_mutex);
  m_images.erase(path);
}

void FakeImageDecoder::FailNextDecodes(int count, HRESULT code) {
  std::lock_guard lock(m_mutex);
  m_failCount = count;
  m_failCode = code;
}

int FakeImageDecoder::DecodeCalls() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_decodedPaths.size());
}

std::vector<std::filesystem::path> FakeImageDecoder::DecodedPaths() const {
  std::lock_guard lock(m_mutex);
  return m_decodedPaths;
}

HRESULT FakeImageDecoder::DecodeRgba(const std::filesystem::path& path, RgbaImage* image) {
  if (image == nullptr) return E_POINTER;
  *image = {};
  std::lock_guard lock(m_mutex);
  m_decodedPaths.push_back(path);
  if (m_failCount > 0) {
    --m_failCount;
    return m_failCode;
  }
  const auto found = m_images.find(path);
  if (found == m_images.end()) return HRESULT_ERROR_FILE_NOT_FOUND;
  *image = found->second;
  return S_OK;
}

}  // namespace kalto::image
