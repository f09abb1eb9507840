#include "support/gpu_readback.h"

#include <cstring>

namespace kalto::test {

std::vector<uint8_t> ReadTextureBytes(gpu::Texture2D& texture) {
  auto desc = texture.GetDesc();
  auto device = texture.GetDevice();
  gpu::TextureDesc stagingDesc = desc;
  stagingDesc.usage = gpu::Usage::Staging;
  stagingDesc.bindFlags = 0;
  stagingDesc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  stagingDesc.miscFlags = 0;
  std::shared_ptr<gpu::Texture2D> staging;
  if (!device || Failed(device->CreateTexture2D(stagingDesc, nullptr, 0, &staging))) return {};
  auto context = device->GetImmediateContext();
  context->CopyResource(*staging, texture);
  gpu::MappedSubresource mapped;
  if (Failed(context->Map(*staging, 0, gpu::MapType::Read, 0, &mapped))) return {};
  const size_t rowBytes = size_t{desc.width} * gpu::BytesPerPixel(desc.format);
  std::vector<uint8_t> bytes(rowBytes * desc.height);
  for (uint32_t y = 0; y < desc.height; ++y) {
    std::memcpy(&bytes[y * rowBytes], static_cast<const uint8_t*>(mapped.data) + size_t{y} * mapped.rowPitch,
                rowBytes);
  }
  context->Unmap(*staging, 0);
  return bytes;
}

std::vector<uint32_t> ReadPixels(gpu::Texture2D& texture) {
  auto bytes = ReadTextureBytes(texture);
  std::vector<uint32_t> pixels(bytes.size() / 4);
  std::memcpy(pixels.data(), bytes.data(), pixels.size() * 4);
  return pixels;
}

}  // namespace kalto::test
