#include <libyuv.h>

#include <cstring>

#include "platform/camera/camera.h"

namespace kalto::camera {
namespace {

bool Known(BitmapPixelFormat format) {
  switch (format) {
    case BitmapPixelFormat::Bgra8:
    case BitmapPixelFormat::Rgba8:
    case BitmapPixelFormat::Nv12:
    case BitmapPixelFormat::Yuy2:
      return true;
    default:
      return false;
  }
}

int32_t MinStride(BitmapPixelFormat format, int32_t width) {
  switch (format) {
    case BitmapPixelFormat::Bgra8:
    case BitmapPixelFormat::Rgba8:
      return width * 4;
    case BitmapPixelFormat::Yuy2:
      return width * 2;
    default:
      return width;
  }
}

size_t ByteSize(BitmapPixelFormat format, int32_t stride, int32_t height) {
  const size_t rows = size_t(height);
  return format == BitmapPixelFormat::Nv12 ? size_t(stride) * (rows + (rows + 1) / 2) : size_t(stride) * rows;
}

}  // namespace

BitmapBuffer::BitmapBuffer(std::shared_ptr<SoftwareBitmap> bitmap, BitmapBufferAccessMode mode)
    : m_bitmap(std::move(bitmap)), m_mode(mode) {}

BitmapBuffer::~BitmapBuffer() = default;

int32_t BitmapBuffer::GetPlaneCount() const { return m_bitmap->m_format == BitmapPixelFormat::Nv12 ? 2 : 1; }

BitmapPlaneDescription BitmapBuffer::GetPlaneDescription(int32_t index) const {
  const SoftwareBitmap& b = *m_bitmap;
  if (index < 0 || index >= GetPlaneCount()) throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  if (index == 0) return {0, b.m_width, b.m_height, b.m_stride};
  return {b.m_stride * b.m_height, (b.m_width + 1) / 2, (b.m_height + 1) / 2, b.m_stride};
}

uint8_t* BitmapBuffer::Data() { return m_bitmap->m_bytes.data(); }

uint32_t BitmapBuffer::Capacity() const { return static_cast<uint32_t>(m_bitmap->m_bytes.size()); }

std::shared_ptr<SoftwareBitmap> SoftwareBitmap::Create(BitmapPixelFormat format, int32_t width, int32_t height,
                                                       BitmapAlphaMode alpha) {
  if (!Known(format) || width <= 0 || height <= 0 || width > 16384 || height > 16384) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  }
  const int32_t stride = MinStride(format, width);
  return CreateWithLayout(format, width, height, alpha, stride,
                          std::vector<uint8_t>(ByteSize(format, stride, height)));
}

std::shared_ptr<SoftwareBitmap> SoftwareBitmap::CreateWithLayout(BitmapPixelFormat format, int32_t width,
                                                                 int32_t height, BitmapAlphaMode alpha,
                                                                 int32_t stride, std::vector<uint8_t> bytes) {
  std::shared_ptr<SoftwareBitmap> bitmap(new SoftwareBitmap());
  bitmap->m_format = format;
  bitmap->m_alpha = alpha;
  bitmap->m_width = width;
  bitmap->m_height = height;
  bitmap->m_stride = stride;
  bitmap->m_bytes = std::move(bytes);
  return bitmap;
}

std::shared_ptr<SoftwareBitmap> SoftwareBitmap::Convert(const SoftwareBitmap& source, BitmapPixelFormat format,
                                                        BitmapAlphaMode alpha) {
  const bool toRgb = format == BitmapPixelFormat::Bgra8 || format == BitmapPixelFormat::Rgba8;
  const int32_t w = source.m_width, h = source.m_height;
  if (!toRgb || !Known(source.m_format) || w <= 0 || h <= 0 || source.m_stride < MinStride(source.m_format, w) ||
      source.m_bytes.size() < ByteSize(source.m_format, source.m_stride, h)) {
    throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  }
  auto out = Create(BitmapPixelFormat::Bgra8, w, h, alpha);
  uint8_t* dst = out->m_bytes.data();
  const int32_t dstStride = out->m_stride;
  const uint8_t* src = source.m_bytes.data();
  BitmapAlphaMode sourceAlpha = source.m_alpha;
  switch (source.m_format) {
    case BitmapPixelFormat::Bgra8:
      libyuv::ARGBCopy(src, source.m_stride, dst, dstStride, w, h);
      break;
    case BitmapPixelFormat::Rgba8:
      libyuv::ABGRToARGB(src, source.m_stride, dst, dstStride, w, h);
      break;
    case BitmapPixelFormat::Nv12:
      libyuv::NV12ToARGB(src, source.m_stride, src + size_t(source.m_stride) * size_t(h), source.m_stride, dst,
                         dstStride, w, h);
      sourceAlpha = BitmapAlphaMode::Ignore;  // opaque
      break;
    default:
      libyuv::YUY2ToARGB(src, source.m_stride, dst, dstStride, w, h);
      sourceAlpha = BitmapAlphaMode::Ignore;
      break;
  }
  if (sourceAlpha == BitmapAlphaMode::Straight && alpha == BitmapAlphaMode::Premultiplied) {
    libyuv::ARGBAttenuate(dst, dstStride, dst, dstStride, w, h);
  } else if (sourceAlpha == BitmapAlphaMode::Premultiplied && alpha == BitmapAlphaMode::Straight) {
    libyuv::ARGBUnattenuate(dst, dstStride, dst, dstStride, w, h);
  }
  if (format == BitmapPixelFormat::Rgba8) {
    libyuv::ARGBToABGR(dst, dstStride, dst, dstStride, w, h);
    out->m_format = BitmapPixelFormat::Rgba8;
  }
  return out;
}

std::unique_ptr<BitmapBuffer> SoftwareBitmap::LockBuffer(BitmapBufferAccessMode mode) {
  return std::make_unique<BitmapBuffer>(shared_from_this(), mode);
}

}  // namespace kalto::camera
