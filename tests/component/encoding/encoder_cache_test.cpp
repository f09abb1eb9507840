// Encoder discovery and the 20-byte cache file, on the fake media platform.
#include <fstream>
#include <iterator>

#include "encoding_fixture.h"

namespace kalto::test {
namespace {

namespace fs = std::filesystem;
using media::fake::FakeEncoderScript;

// Version 1, then the NV12 subtype GUID.
const std::vector<uint8_t> kNv12File = {0x01, 0x00, 0x00, 0x00, 0x4E, 0x56, 0x31, 0x32, 0x00, 0x00,
                                        0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

class EncoderCacheTest : public MediaTest {
 protected:
  std::vector<uint8_t> FileBytes() const {
    std::ifstream in(CacheFile(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void WriteFile(const std::vector<uint8_t>& bytes) {
    fs::create_directories(CacheFile().parent_path());
    std::ofstream(CacheFile(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  media::Guid Obtain(uint32_t w = 1920, uint32_t h = 1088, uint32_t fps = 30, bool* ok = nullptr) {
    std::lock_guard lock(EncoderCache::Lock());
    media::Guid g;
    const bool result = EncoderCache::ObtainSubtypeLocked(w, h, fps, &g);
    if (ok) *ok = result;
    return g;
  }
};

TEST_F(EncoderCacheTest, PreWarmDiscoversAtFullHdAndItsFileIsReadBackByTheNextProcess) {
  fake->SetEncoders({Script(L"HW Encoder", {media::MFVideoFormat_NV12, media::MFVideoFormat_IYUV})});
  EncoderCache::PreWarm();
  EXPECT_EQ(FileBytes(), kNv12File);
  EXPECT_EQ(EncoderCache::EncoderName(), L"HW Encoder");
  const auto enumCalls = fake->EnumCalls();
  ASSERT_EQ(enumCalls.size(), 1u);
  EXPECT_EQ(enumCalls[0].category, media::MFT_CATEGORY_VIDEO_ENCODER);
  EXPECT_EQ(enumCalls[0].flags, 0x47u);
  ASSERT_TRUE(enumCalls[0].outputType.has_value());
  EXPECT_EQ(enumCalls[0].outputType->subtype, media::MFVideoFormat_H264);
  const auto tried = fake->Transforms().at(0).second->OutputTypesTried();
  ASSERT_EQ(tried.size(), 1u);
  uint32_t w = 0, h = 0, num = 0, den = 0, bitrate = 0;
  media::GetAttributeSize(tried[0], media::MF_MT_FRAME_SIZE, &w, &h);
  media::GetAttributeRatio(tried[0], media::MF_MT_FRAME_RATE, &num, &den);
  tried[0].GetUINT32(media::MF_MT_AVG_BITRATE, &bitrate);
  EXPECT_EQ(std::vector<uint32_t>({w, h, num, den, bitrate}), std::vector<uint32_t>({1920, 1080, 30, 1, 8'000'000}));

  // A later process at another size and rate reads the file instead of discovering; the name is
  // unknown then. Bytes beyond the twentieth are ignored.
  EncoderCache::ResetForTesting();
  auto longer = kNv12File;
  longer.push_back(0x55);
  WriteFile(longer);
  bool ok = false;
  EXPECT_EQ(Obtain(2560, 1440, 60, &ok), media::MFVideoFormat_NV12);
  EXPECT_TRUE(ok);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
  EXPECT_EQ(EncoderCache::EncoderName(), L"");
}

struct BadFile {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* line;  // empty for a silent rediscovery
};
class EncoderCacheBadFileTest : public EncoderCacheTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(EncoderCacheBadFileTest, LeadsToDiscoveryThatOverwritesTheFile) {
  WriteFile(GetParam().bytes);
  fake->SetEncoders({Script(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
  EXPECT_EQ(FileBytes(), kNv12File);
  if (*GetParam().line) {
    EXPECT_EQ(debug.Count(GetParam().line), 1);
  } else {
    EXPECT_EQ(debug.CountPrefix("[Encoder] Disk cache"), 0);
  }
}

template <class Bytes>
std::vector<uint8_t> Patched(size_t at, const Bytes& bytes) {
  auto b = kNv12File;
  std::copy(bytes.begin(), bytes.end(), b.begin() + at);
  return b;
}
const char* const kVersionLine = "[Encoder] Disk cache version mismatch, will rediscover\n";

INSTANTIATE_TEST_SUITE_P(
    Files, EncoderCacheBadFileTest,
    ::testing::Values(BadFile{"version2", Patched(0, std::vector<uint8_t>{2}), kVersionLine},
                      BadFile{"short", std::vector<uint8_t>(kNv12File.begin(), kNv12File.begin() + 10), ""},
                      BadFile{"empty", {}, kVersionLine},
                      BadFile{"foreignGuid", Patched(4, media::MFVideoFormat_H264.ToBytes()),
                              "[Encoder] WARNING: Disk cache names an unknown input format, will rediscover\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncoderCacheTest, DiscoverySkipsEncodersThatFailAndTakesTheFirstAcceptedInputType) {
  FakeEncoderScript broken = Script(L"Broken HW", {media::MFVideoFormat_NV12});
  broken.activateResult = media::MF_E_HW_MFT_FAILED_START_STREAMING;
  FakeEncoderScript picky = Script(L"Picky", {media::MFVideoFormat_NV12});
  picky.setOutputTypeResult = media::MF_E_INVALIDMEDIATYPE;
  FakeEncoderScript nameless =
      Script(L"", {media::MFVideoFormat_H264, media::MFVideoFormat_YUY2, media::MFVideoFormat_NV12});
  nameless.hasFriendlyName = false;
  fake->SetEncoders({broken, picky, nameless});

  media::Guid subtype;
  ASSERT_TRUE(EncoderCache::DiscoverEncoder(&subtype, 1280, 720, 60));
  // The transform's own order decides: YUY2 before NV12.
  EXPECT_EQ(subtype, media::MFVideoFormat_YUY2);
  EXPECT_EQ(EncoderCache::EncoderName(), L"Unknown");
  EXPECT_EQ(debug.Count("[Encoder] Failed to activate encoder 0: 0xC00D3704\n"), 1);
  EXPECT_EQ(debug.Count("[Encoder] Failed to set output type: 0xC00D36B4\n"), 1);
  uint32_t bitrate = 0;
  fake->Transforms().back().second->OutputTypesTried().at(0).GetUINT32(media::MF_MT_AVG_BITRATE, &bitrate);
  EXPECT_EQ(bitrate, 16'000'000u);
}

TEST_F(EncoderCacheTest, NothingUsableFailsWithItsLineAndIsNotRemembered) {
  EncoderCache::PreWarm();
  EXPECT_EQ(debug.Count("[Encoder] No H.264 encoders found!\n"), 1);
  EXPECT_EQ(debug.Count("[Encoder] Pre-warm failed - will retry on first recording\n"), 1);
  EXPECT_FALSE(fs::exists(CacheFile()));

  fake->SetEncoders({Script(L"Odd", {media::MFVideoFormat_H264})});
  bool ok = true;
  Obtain(1920, 1088, 30, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(debug.Count("[Encoder] No encoder with compatible input format found\n"), 1);

  fake->SetEncoders({Script(L"Good", {media::MFVideoFormat_IYUV})});
  EXPECT_EQ(Obtain(1920, 1088, 30, &ok), media::MFVideoFormat_IYUV);
  EXPECT_TRUE(ok);
}

TEST_F(EncoderCacheTest, UnwritableFolderOnlyCostsTheFile) {
  fs::create_directories(CacheFile());  // a folder where the file should be
  fake->SetEncoders({Script(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(debug.Count("[Encoder] Failed to open cache file for writing\n"), 1);
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
}

TEST_F(EncoderCacheTest, ADataFolderNamedInALegacyEncodingKeepsItsBytes) {
  const fs::path latin1 = root / "caf\xE9";  // not UTF-8
  setenv("XDG_DATA_HOME", latin1.c_str(), 1);
  fake->SetEncoders({Script(L"Soft", {media::MFVideoFormat_NV12})});
  EncoderCache::PreWarm();
  std::ifstream in(latin1 / "Kalto" / "encoder_cache.bin", std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), kNv12File);
  EXPECT_EQ(debug.CountPrefix("[Encoder] Failed"), 0);
}

TEST_F(EncoderCacheTest, NoLocalDataFolderMeansNoFile) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_EQ(EncoderCache::GetCachePath(), L"");
  fake->SetEncoders({Script(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(debug.CountPrefix("[Encoder] Failed"), 0);
}

}  // namespace
}  // namespace kalto::test
