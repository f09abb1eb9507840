#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <ostream>
#include <string>

#include "gpu_test_util.h"

namespace kalto::gpu::test {
namespace {

struct InvalidDescCase {
  std::string name;
  TextureDesc desc;
  friend void PrintTo(const InvalidDescCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<InvalidDescCase> InvalidDescs() {
  const Format f = Format::B8G8R8A8_UNORM;
  TextureDesc mips = Desc(4, 4, f), array = Desc(4, 4, f), msaa = Desc(4, 4, f);
  mips.mipLevels = 2;
  array.arraySize = 2;
  msaa.sampleCount = 4;
  return {
      {"ZeroWidth", Desc(0, 4, f)},
      {"TooTall", Desc(4, 16385, f)},
      {"UnknownFormat", Desc(4, 4, Format::Unknown)},
      {"MipChain", mips},
      {"Array", array},
      {"Multisampled", msaa},
      {"StagingWithBindFlags", Desc(4, 4, f, Usage::Staging, BIND_SHADER_RESOURCE, CPU_ACCESS_READ)},
      {"StagingWithoutCpuAccess", Desc(4, 4, f, Usage::Staging, 0, 0)},
      {"DynamicWithoutWrite", Desc(4, 4, f, Usage::Dynamic, BIND_SHADER_RESOURCE, 0)},
      {"DynamicWithRead", Desc(4, 4, f, Usage::Dynamic, BIND_SHADER_RESOURCE, CPU_ACCESS_READ | CPU_ACCESS_WRITE)},
      {"DefaultWithCpuAccess", Desc(4, 4, f, Usage::Default, BIND_SHADER_RESOURCE, CPU_ACCESS_READ)},
      {"BothSharingFlags", Desc(4, 4, f, Usage::Default, BIND_SHADER_RESOURCE, 0, MISC_SHARED | MISC_SHARED_KEYEDMUTEX)},
  };
}

class InvalidTextureDesc : public GpuTest, public ::testing::WithParamInterface<InvalidDescCase> {};

TEST_P(InvalidTextureDesc, IsRejectedWithNullOutput) {
  auto texture = Make(Desc(16384, 1, Format::R8_UNORM));  // the largest size is still valid
  ASSERT_TRUE(texture);
  EXPECT_EQ(E_INVALIDARG, device->CreateTexture2D(GetParam().desc, nullptr, 0, &texture));
  EXPECT_FALSE(texture);
}

INSTANTIATE_TEST_SUITE_P(Texture, InvalidTextureDesc, ::testing::ValuesIn(InvalidDescs()),
                         [](const auto& info) { return info.param.name; });

TEST_F(GpuTest, RowPitchIsWiderThanThePixelsAndAligned) {
  for (Format format : {Format::B8G8R8A8_UNORM, Format::R8_UNORM, Format::R8G8_UNORM, Format::R32_FLOAT}) {
    for (uint32_t width : {1u, 16u, 33u, 1920u}) {
      auto texture = Make(Desc(width, 3, format, Usage::Staging, 0, CPU_ACCESS_READ));
      MappedSubresource mapped;
      ASSERT_EQ(S_OK, context->Map(*texture, 0, MapType::Read, 0, &mapped));
      EXPECT_GT(mapped.rowPitch, width * BytesPerPixel(format));
      EXPECT_EQ(0u, mapped.rowPitch % 64);
      EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(mapped.data) % 64);
      context->Unmap(*texture, 0);
    }
  }
}

TEST_F(GpuTest, UpdateSubresourceAndMapHonourBothPitches) {
  const uint32_t w = 37, h = 11, sourcePitch = w * 4 + 12;
  const auto pixels = Pattern(w, h, Format::B8G8R8A8_UNORM);
  std::vector<uint8_t> padded(size_t{sourcePitch} * h, 0xEE);
  for (uint32_t y = 0; y < h; ++y) std::memcpy(&padded[size_t{y} * sourcePitch], &pixels[size_t{y} * w * 4], w * 4);
  auto texture = Make(Desc(w, h, Format::B8G8R8A8_UNORM));
  context->UpdateSubresource(*texture, 0, nullptr, padded.data(), sourcePitch, 0);
  EXPECT_EQ(pixels, ReadBack(*texture));
}

TEST_F(GpuTest, MapChecksUsageAccessAndDoubleMapping) {
  const Format f = Format::R8_UNORM;
  auto readOnly = Make(Desc(4, 4, f, Usage::Staging, 0, CPU_ACCESS_READ));
  auto dynamic = Make(Desc(4, 4, f, Usage::Dynamic, BIND_SHADER_RESOURCE, CPU_ACCESS_WRITE));
  auto gpuOnly = Make(Desc(4, 4, f));
  MappedSubresource mapped;
  EXPECT_EQ(E_INVALIDARG, context->Map(*readOnly, 0, MapType::Write, 0, &mapped));
  EXPECT_EQ(nullptr, mapped.data);
  EXPECT_EQ(E_INVALIDARG, context->Map(*readOnly, 1, MapType::Read, 0, &mapped));
  EXPECT_EQ(E_INVALIDARG, context->Map(*dynamic, 0, MapType::Read, 0, &mapped));
  EXPECT_EQ(E_INVALIDARG, context->Map(*gpuOnly, 0, MapType::Read, 0, &mapped));
  ASSERT_EQ(S_OK, context->Map(*dynamic, 0, MapType::WriteDiscard, 0, &mapped));
  EXPECT_TRUE(Failed(context->Map(*dynamic, 0, MapType::WriteDiscard, 0, &mapped)));
  context->Unmap(*dynamic, 0);
  EXPECT_EQ(S_OK, context->Map(*dynamic, 0, MapType::WriteDiscard, 0, &mapped));
  context->Unmap(*dynamic, 0);
}

class CopyTest : public GpuTest {
 protected:
  void SetUp() override {
    GpuTest::SetUp();
    source = Make(Desc(10, 8, Format::B8G8R8A8_UNORM), Pattern(10, 8, Format::B8G8R8A8_UNORM).data(), 40);
    target = Make(Desc(12, 9, Format::B8G8R8A8_UNORM));
  }
  bool Untouched(Texture2D& texture) {
    const auto bytes = ReadBack(texture);
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
  }
  std::shared_ptr<Texture2D> source, target;
};

TEST_F(CopyTest, RegionCopiesExactlyTheBoxToTheOffset) {
  const Box box{2, 1, 0, 7, 5, 1};
  context->CopySubresourceRegion(*target, 0, 3, 2, 0, *source, 0, &box);
  const auto bytes = ReadBack(*target);
  for (uint32_t y = 0; y < 9; ++y) {
    for (uint32_t x = 0; x < 12; ++x) {
      const bool inside = x >= 3 && x < 8 && y >= 2 && y < 6;
      for (uint32_t c = 0; c < 4; ++c) {
        ASSERT_EQ(inside ? PatternByte(x - 1, y - 1, c) : 0, bytes[(y * 12 + x) * 4 + c]) << x << "," << y;
      }
    }
  }
}

TEST_F(CopyTest, InvalidRegionsAreIgnored) {
  for (const Box& box : {Box{0, 0, 0, 11, 4, 1}, Box{0, 0, 0, 4, 9, 1}, Box{3, 0, 0, 3, 4, 1}, Box{5, 0, 0, 4, 4, 1},
                         Box{0, 0, 0, 4, 4, 2}, Box{0, 0, 1, 4, 4, 1}}) {
    context->CopySubresourceRegion(*target, 0, 0, 0, 0, *source, 0, &box);
  }
  const Box good{0, 0, 0, 5, 4, 1};
  context->CopySubresourceRegion(*target, 0, 8, 0, 0, *source, 0, &good);  // 8 + 5 > 12
  context->CopySubresourceRegion(*target, 0, 0, 6, 0, *source, 0, &good);  // 6 + 4 > 9
  context->CopySubresourceRegion(*target, 1, 0, 0, 0, *source, 0, &good);
  auto rgba = Make(Desc(10, 8, Format::R8G8B8A8_UNORM), Pattern(10, 8, Format::R8G8B8A8_UNORM).data(), 40);
  context->CopySubresourceRegion(*target, 0, 0, 0, 0, *rgba, 0, &good);
  context->CopySubresourceRegion(*target, 0, 3, 0, 0, *source, 0, nullptr);  // whole source: 3 + 10 > 12
  context->CopyResource(*target, *source);                                   // sizes differ
  EXPECT_TRUE(Untouched(*target));

  context->CopySubresourceRegion(*target, 0, 7, 5, 0, *source, 0, &good);  // exactly fits
  EXPECT_FALSE(Untouched(*target));
}

struct ClearCase {
  std::string name;
  Format format;
  std::array<float, 4> rgba;
  std::vector<uint8_t> expected;
  friend void PrintTo(const ClearCase& c, std::ostream* os) { *os << c.name; }
};

std::vector<uint8_t> FloatBytes(float value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

class ClearTest : public GpuTest, public ::testing::WithParamInterface<ClearCase> {};

TEST_P(ClearTest, FillsEveryPixelInTheFormatsChannelOrder) {
  const ClearCase& c = GetParam();
  auto texture = Make(Desc(5, 3, c.format, Usage::Default, BIND_RENDER_TARGET));
  std::shared_ptr<RenderTargetView> rtv;
  ASSERT_EQ(S_OK, device->CreateRenderTargetView(texture, &rtv));
  context->ClearRenderTargetView(*rtv, c.rgba.data());
  const auto bytes = ReadBack(*texture);
  ASSERT_EQ(15 * c.expected.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(c.expected[i % c.expected.size()], bytes[i]) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Texture, ClearTest,
    ::testing::Values(ClearCase{"Bgra", Format::B8G8R8A8_UNORM, {1.0f, 0.5f, 0.0f, 0.25f}, {0, 128, 255, 64}},
                      ClearCase{"Rgba", Format::R8G8B8A8_UNORM, {1.0f, 0.5f, 0.0f, 0.25f}, {255, 128, 0, 64}},
                      ClearCase{"Clamped", Format::R8G8B8A8_UNORM, {-0.5f, 2.0f, NAN, 1.0f}, {0, 255, 0, 255}},
                      ClearCase{"Rg", Format::R8G8_UNORM, {0.2f, 0.6f, 1.0f, 1.0f}, {51, 153}},
                      ClearCase{"R", Format::R8_UNORM, {0.8f, 0.0f, 0.0f, 0.0f}, {204}},
                      ClearCase{"Float", Format::R32_FLOAT, {-3.25f, 9.0f, 9.0f, 9.0f}, FloatBytes(-3.25f)}),
    [](const auto& info) { return info.param.name; });

TEST_F(GpuTest, ViewsNeedTheirBindFlagAndKeepTheTextureAlive) {
  auto srOnly = Make(Desc(4, 4, Format::R8_UNORM, Usage::Default, BIND_SHADER_RESOURCE));
  std::shared_ptr<UnorderedAccessView> uav;
  std::shared_ptr<RenderTargetView> rtv;
  std::shared_ptr<ShaderResourceView> srv;
  EXPECT_EQ(E_INVALIDARG, device->CreateUnorderedAccessView(srOnly, &uav));
  EXPECT_EQ(E_INVALIDARG, device->CreateRenderTargetView(srOnly, &rtv));
  EXPECT_EQ(E_INVALIDARG, device->CreateShaderResourceView(Make(Desc(4, 4, Format::R8_UNORM, Usage::Default, 0)), &srv));
  ASSERT_EQ(S_OK, device->CreateShaderResourceView(srOnly, &srv));
  std::weak_ptr<Texture2D> weak = srOnly;
  srOnly.reset();
  EXPECT_FALSE(weak.expired());
  srv.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(GpuTest, TextureOverMemoryReadsTheCallersBytesInPlace) {
  const uint32_t w = 6, h = 4;
  auto memory = std::make_shared<std::vector<uint8_t>>(Pattern(w, h, Format::B8G8R8A8_UNORM));
  uint8_t* data = memory->data();
  std::weak_ptr<std::vector<uint8_t>> watch = memory;
  auto texture = software::CreateTextureOverMemory(*device, w, h, Format::B8G8R8A8_UNORM, data, w * 4, memory);
  memory.reset();
  ASSERT_TRUE(texture);
  EXPECT_EQ(data, PixelsOf(*texture).data);
  EXPECT_EQ(Pattern(w, h, Format::B8G8R8A8_UNORM), ReadBack(*texture));
  // A later grab into the same memory is what the next copy sees.
  data[(2 * w + 3) * 4 + 1] = 0xAB;
  EXPECT_EQ(0xAB, ReadBack(*texture)[(2 * w + 3) * 4 + 1]);
  EXPECT_FALSE(watch.expired());
  texture.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace kalto::gpu::test
