// The libjpeg-turbo decoder on files written by libjpeg-turbo's own encoder, whole and damaged.
#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>

#include "platform/image/turbojpeg/turbojpeg_image_decoder.h"

namespace kalto::image {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Rgb = std::array<uint8_t, 3>;

// A JPEG of `color(x, y)`, at full chroma resolution unless `subsampling` says otherwise.
Bytes Encode(int width, int height, const std::function<Rgb(int, int)>& color, int subsampling = TJSAMP_444) {
  Bytes rgb;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) std::ranges::copy(color(x, y), std::back_inserter(rgb));
  std::unique_ptr<void, int (*)(tjhandle)> encoder(tjInitCompress(), tjDestroy);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(encoder.get(), rgb.data(), width, 0, height, TJPF_RGB, &out, &size, subsampling, 95, 0), 0);
  Bytes jpeg(out, out + size);
  tjFree(out);
  return jpeg;
}
Bytes Solid(int width, int height, Rgb rgb) { return Encode(width, height, [rgb](int, int) { return rgb; }); }

class TurboJpegImageDecoderTest : public ::testing::Test {
 public:  // the failure table builds its files through the fixture
  void SetUp() override { fs::create_directories(root); }
  void TearDown() override { fs::remove_all(root); }
  fs::path Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(root / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return root / name;
  }
  const uint8_t* At(uint32_t x, uint32_t y) const { return &image.pixels[(size_t{y} * image.width + x) * 4]; }

  fs::path root = fs::temp_directory_path() / ("kalto-image-" + std::to_string(::getpid()));
  TurboJpegImageDecoder decoder;
  RgbaImage image;
};

TEST_F(TurboJpegImageDecoderTest, PureRedComesOutAsRgbaWithOpaqueAlpha) {
  ASSERT_EQ(decoder.DecodeRgba(Write("red.jpg", Solid(64, 48, {255, 0, 0})), &image), S_OK);
  ASSERT_EQ(image.width, 64u);
  ASSERT_EQ(image.height, 48u);
  ASSERT_EQ(image.pixels.size(), 64u * 48u * 4u);
  for (size_t i = 0; i < image.pixels.size(); i += 4) {
    ASSERT_GE(image.pixels[i], 253) << i;
    ASSERT_LE(image.pixels[i + 1], 2) << i;
    ASSERT_LE(image.pixels[i + 2], 2) << i;
    ASSERT_EQ(image.pixels[i + 3], 255) << i;
  }
}

TEST_F(TurboJpegImageDecoderTest, OddSizedQuadrantsLandTopDownInPackedRows) {
  const auto quadrants = [](int x, int y) -> Rgb {
    return x < 16 ? (y < 8 ? Rgb{255, 0, 0} : Rgb{0, 255, 0}) : (y < 8 ? Rgb{0, 0, 255} : Rgb{255, 255, 255});
  };
  ASSERT_EQ(decoder.DecodeRgba(Write("q.jpg", Encode(33, 17, quadrants)), &image), S_OK);
  ASSERT_EQ(image.pixels.size(), 33u * 17u * 4u);
  const std::array<std::array<uint32_t, 2>, 4> probes{{{4, 3}, {4, 13}, {28, 3}, {28, 13}}};
  for (const auto [x, y] : probes) {
    const Rgb expected = quadrants(static_cast<int>(x), static_cast<int>(y));
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(At(x, y)[c], expected[c], 6) << x << "," << y << " channel " << c;
  }
}

TEST_F(TurboJpegImageDecoderTest, GreyscaleFileGivesEqualChannels) {
  const Bytes grey = Encode(40, 30, [](int, int) { return Rgb{128, 128, 128}; }, TJSAMP_GRAY);
  ASSERT_EQ(decoder.DecodeRgba(Write("grey.jpg", grey), &image), S_OK);
  EXPECT_NEAR(At(20, 15)[0], 128, 2);
  EXPECT_EQ(At(20, 15)[0], At(20, 15)[1]);
  EXPECT_EQ(At(20, 15)[1], At(20, 15)[2]);
  EXPECT_EQ(At(20, 15)[3], 255);
}

TEST_F(TurboJpegImageDecoderTest, SideOfSixteenThousandThreeHundredEightyFourIsTheLimit) {
  constexpr int kMax = TurboJpegImageDecoder::kMaxSide;
  ASSERT_EQ(decoder.DecodeRgba(Write("wide.jpg", Solid(kMax, 8, {9, 9, 9})), &image), S_OK);
  EXPECT_EQ(image.width, uint32_t{kMax});
  EXPECT_EQ(decoder.DecodeRgba(Write("wider.jpg", Solid(kMax + 1, 8, {9, 9, 9})), &image),
            WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
  EXPECT_TRUE(image.pixels.empty());
  EXPECT_EQ(decoder.DecodeRgba(Write("tall.jpg", Solid(8, kMax + 1, {9, 9, 9})), &image),
            WINCODEC_ERR_IMAGESIZEOUTOFRANGE);
}

TEST_F(TurboJpegImageDecoderTest, GoodFileDecodesAfterADamagedOne) {
  // Detailed enough that half the file is scan data, not tables.
  const Bytes jpeg = Encode(256, 256, [](int x, int y) { return Rgb{0, uint8_t(x * y), 255}; });
  EXPECT_EQ(decoder.DecodeRgba(Write("cut.jpg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)), &image),
            WINCODEC_ERR_BADIMAGE);
  ASSERT_EQ(decoder.DecodeRgba(Write("whole.jpg", jpeg), &image), S_OK);
  EXPECT_GE(At(255, 255)[2], 250);
}

TEST_F(TurboJpegImageDecoderTest, NullImageIsRefused) {
  EXPECT_EQ(decoder.DecodeRgba(Write("red.jpg", Solid(8, 8, {255, 0, 0})), nullptr), E_POINTER);
}

// Each failure leaves the image empty, whatever it held before.
struct FailureCase {
  const char* name;
  std::function<fs::path(TurboJpegImageDecoderTest&, const Bytes& jpeg)> make;
  HRESULT expected;
};

Bytes WithSof(Bytes jpeg, uint16_t width) {  // rewrites the frame header's width
  const auto sof = std::ranges::search(jpeg, std::array<uint8_t, 2>{0xFF, 0xC0}).begin();
  sof[7] = static_cast<uint8_t>(width >> 8), sof[8] = static_cast<uint8_t>(width);
  return jpeg;
}

class DecodeFailureTest : public TurboJpegImageDecoderTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DecodeFailureTest, FailsWithItsCodeAndLeavesTheImageEmpty) {
  const Bytes jpeg = Solid(64, 48, {255, 0, 0});
  image = {1, 1, {1, 2, 3, 4}};
  EXPECT_EQ(decoder.DecodeRgba(GetParam().make(*this, jpeg), &image), GetParam().expected);
  EXPECT_EQ(image.width, 0u);
  EXPECT_EQ(image.height, 0u);
  EXPECT_TRUE(image.pixels.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DecodeFailureTest,
    ::testing::Values(
        FailureCase{"Missing", [](auto& t, auto&) { return t.root / "none.jpg"; }, HRESULT_ERROR_FILE_NOT_FOUND},
        FailureCase{"UnderAFile", [](auto& t, auto& j) { return t.Write("a.jpg", j) / "b.jpg"; },
                    HRESULT_ERROR_FILE_NOT_FOUND},
        FailureCase{"Folder", [](auto& t, auto&) { return t.root; }, E_ACCESSDENIED},
        FailureCase{"Empty", [](auto& t, auto&) { return t.Write("e.jpg", {}); }, WINCODEC_ERR_COMPONENTNOTFOUND},
        FailureCase{"Png", [](auto& t, auto&) { return t.Write("p.jpg", {0x89, 'P', 'N', 'G', 13, 10, 26, 10}); },
                    WINCODEC_ERR_COMPONENTNOTFOUND},
        FailureCase{"Text", [](auto& t, auto&) { return t.Write("t.jpg", {'h', 'e', 'l', 'l', 'o'}); },
                    WINCODEC_ERR_COMPONENTNOTFOUND},
        FailureCase{"HeaderCut", [](auto& t, auto& j) { return t.Write("h.jpg", Bytes(j.begin(), j.begin() + 40)); },
                    WINCODEC_ERR_BADHEADER},
        FailureCase{"ZeroWidth", [](auto& t, auto& j) { return t.Write("z.jpg", WithSof(j, 0)); },
                    WINCODEC_ERR_BADHEADER},
        FailureCase{"ClaimsHugeWidth", [](auto& t, auto& j) { return t.Write("w.jpg", WithSof(j, 20000)); },
                    WINCODEC_ERR_IMAGESIZEOUTOFRANGE},
        FailureCase{"ScanCut", [](auto& t, auto& j) { return t.Write("s.jpg", Bytes(j.begin(), j.end() - 40)); },
                    WINCODEC_ERR_BADIMAGE}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kalto::image
