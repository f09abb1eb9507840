#include "platform/image/turbojpeg/turbojpeg_image_decoder.h"

#include <sys/stat.h>
#include <turbojpeg.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace kalto::image {
namespace {

struct FileClose {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
struct DecompressorFree {
  void operator()(void* handle) const { tjDestroy(handle); }
};

// A JPEG of the largest allowed size at the highest quality stays well below this; anything
// bigger is not a picture we want in memory twice.
constexpr off_t kMaxFileBytes = off_t{512} << 20;

HRESULT OpenErrorCode(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return HRESULT_ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return E_ACCESSDENIED;
    default:
      return E_FAIL;
  }
}

HRESULT ReadFile(const std::filesystem::path& path, std::vector<uint8_t>* bytes) {
  errno = 0;
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (!file) return OpenErrorCode(errno);
  struct stat info {};
  if (::fstat(::fileno(file.get()), &info) != 0) return WINCODEC_ERR_STREAMREAD;
  // A folder opens for reading here; where files are opened by handle it is refused.
  if (!S_ISREG(info.st_mode)) return E_ACCESSDENIED;
  const off_t size = info.st_size;
  if (size > kMaxFileBytes) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;
  bytes->resize(static_cast<size_t>(size));
  if (std::fread(bytes->data(), 1, bytes->size(), file.get()) != bytes->size()) return WINCODEC_ERR_STREAMREAD;
  return S_OK;
}

}  // namespace

HRESULT TurboJpegImageDecoder::DecodeRgba(const std::filesystem::path& path, RgbaImage* image) {
  if (image == nullptr) return E_POINTER;
  *image = {};
  std::vector<uint8_t> jpeg;
  if (const HRESULT hr = ReadFile(path, &jpeg); Failed(hr)) return hr;
  // Start of image, then a marker: anything else is some other format.
  if (jpeg.size() < 3 || jpeg[0] != 0xFF || jpeg[1] != 0xD8 || jpeg[2] != 0xFF) return WINCODEC_ERR_COMPONENTNOTFOUND;

  std::unique_ptr<void, DecompressorFree> decompressor(tjInitDecompress());
  if (!decompressor) return E_OUTOFMEMORY;
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(decompressor.get(), jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colorspace) != 0) {
    return WINCODEC_ERR_BADHEADER;
  }
  // A header cut short reads as one of no size.
  if (width <= 0 || height <= 0) return WINCODEC_ERR_BADHEADER;
  if (width > kMaxSide || height > kMaxSide) return WINCODEC_ERR_IMAGESIZEOUTOFRANGE;

  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  // Warnings fail too: a file cut short decodes with its missing rows grey, and a half-grey
  // background is worse than none. RGBA comes out with alpha 255.
  if (tjDecompress2(decompressor.get(), jpeg.data(), jpeg.size(), pixels.data(), width, width * 4, height,
                    TJPF_RGBA, TJFLAG_STOPONWARNING) != 0) {
    return WINCODEC_ERR_BADIMAGE;
  }
  image->width = static_cast<uint32_t>(width);
  image->height = static_cast<uint32_t>(height);
  image->pixels = std::move(pixels);
  return S_OK;
}

}  // namespace kalto::image
