// Encoder discovery and the 20-byte cache file, on the fake media platform.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "encoding/encoder_cache.h"
#include "platform/media/fake/fake_media.h"
#include "support/debug_capture.h"

namespace kalto {
namespace {

namespace fs = std::filesystem;
using media::fake::FakeEncoderScript;
using media::fake::FakeMediaPlatform;

const std::vector<uint8_t> kNv12File = {0x01, 0x00, 0x00, 0x00, 0x4E, 0x56, 0x31, 0x32, 0x00, 0x00,
                                        0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

class EncoderCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("kalto-cache-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    fs::create_directories(root);
    if (const char* old = std::getenv("XDG_DATA_HOME")) savedXdg = old;
    setenv("XDG_DATA_HOME", root.c_str(), 1);
    previous = media::SetMediaPlatform(fake);
    EncoderCache::ResetForTesting();
  }
  void TearDown() override {
    media::SetMediaPlatform(previous);
    if (savedXdg.empty()) {
      unsetenv("XDG_DATA_HOME");
    } else {
      setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    EncoderCache::ResetForTesting();
    fs::remove_all(root);
  }
  fs::path CacheFile() const { return root / "Kalto" / "encoder_cache.bin"; }
  std::vector<uint8_t> FileBytes() const {
    std::ifstream in(CacheFile(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void WriteFile(const std::vector<uint8_t>& bytes) {
    fs::create_directories(CacheFile().parent_path());
    std::ofstream out(CacheFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static FakeEncoderScript Encoder(std::wstring name, std::vector<media::Guid> inputs) {
    FakeEncoderScript s;
    s.friendlyName = std::move(name);
    s.inputSubtypes = std::move(inputs);
    return s;
  }
  media::Guid Obtain(uint32_t w = 1920, uint32_t h = 1088, uint32_t fps = 30, bool* ok = nullptr) {
    std::lock_guard lock(EncoderCache::Lock());
    media::Guid g;
    bool result = EncoderCache::ObtainSubtypeLocked(w, h, fps, &g);
    if (ok) *ok = result;
    return g;
  }

  fs::path root;
  std::string savedXdg;
  std::shared_ptr<FakeMediaPlatform> fake = std::make_shared<FakeMediaPlatform>();
  std::shared_ptr<media::MediaPlatform> previous;
  test::DebugCapture log;
};

TEST_F(EncoderCacheTest, PreWarmDiscoversAtFullHdAndWritesTheFileThatLaterRecordingsUse) {
  fake->SetEncoders({Encoder(L"HW Encoder", {media::MFVideoFormat_NV12, media::MFVideoFormat_IYUV})});
  EncoderCache::PreWarm();
  EXPECT_EQ(FileBytes(), kNv12File);
  EXPECT_EQ(EncoderCache::EncoderName(), L"HW Encoder");

  auto enumCalls = fake->EnumCalls();
  ASSERT_EQ(enumCalls.size(), 1u);
  EXPECT_EQ(enumCalls[0].category, media::MFT_CATEGORY_VIDEO_ENCODER);
  EXPECT_EQ(enumCalls[0].flags, 0x47u);
  EXPECT_FALSE(enumCalls[0].inputType.has_value());
  ASSERT_TRUE(enumCalls[0].outputType.has_value());
  EXPECT_EQ(enumCalls[0].outputType->subtype, media::MFVideoFormat_H264);

  auto tried = fake->Transforms().at(0).second->OutputTypesTried();
  ASSERT_EQ(tried.size(), 1u);
  uint32_t w = 0, h = 0, num = 0, den = 0, bitrate = 0, interlace = 0;
  media::GetAttributeSize(tried[0], media::MF_MT_FRAME_SIZE, &w, &h);
  media::GetAttributeRatio(tried[0], media::MF_MT_FRAME_RATE, &num, &den);
  tried[0].GetUINT32(media::MF_MT_AVG_BITRATE, &bitrate);
  tried[0].GetUINT32(media::MF_MT_INTERLACE_MODE, &interlace);
  EXPECT_EQ(std::vector<uint32_t>({w, h, num, den, bitrate, interlace}),
            std::vector<uint32_t>({1920, 1080, 30, 1, 8'000'000, 2}));

  // A recording at another size and rate uses the remembered answer.
  EXPECT_EQ(Obtain(2560, 1440, 60), media::MFVideoFormat_NV12);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
}

TEST_F(EncoderCacheTest, AFileFromAnEarlierProcessSparesDiscoveryAndLeavesTheNameEmpty) {
  WriteFile(kNv12File);
  bool ok = false;
  EXPECT_EQ(Obtain(1920, 1088, 30, &ok), media::MFVideoFormat_NV12);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(fake->EnumCalls().empty());
  EXPECT_EQ(EncoderCache::EncoderName(), L"");
  // Bytes beyond the twentieth are ignored.
  EncoderCache::ResetForTesting();
  auto longer = kNv12File;
  longer.push_back(0x55);
  WriteFile(longer);
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_TRUE(fake->EnumCalls().empty());
}

struct BadFile {
  const char* name;
  std::vector<uint8_t> bytes;
  const char* line;  // expected message, or empty for a silent rediscovery
};

class EncoderCacheBadFileTest : public EncoderCacheTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(EncoderCacheBadFileTest, LeadsToDiscoveryThatOverwritesTheFile) {
  WriteFile(GetParam().bytes);
  fake->SetEncoders({Encoder(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
  EXPECT_EQ(FileBytes(), kNv12File);
  if (*GetParam().line) {
    EXPECT_EQ(log.Count(GetParam().line), 1);
  } else {
    EXPECT_EQ(log.CountPrefix("[Encoder] Disk cache"), 0);
  }
}

std::vector<uint8_t> WithVersion(uint8_t v) {
  auto b = kNv12File;
  b[0] = v;
  return b;
}
std::vector<uint8_t> ForeignGuid() {
  auto b = kNv12File;
  auto h264 = media::MFVideoFormat_H264.ToBytes();
  std::copy(h264.begin(), h264.end(), b.begin() + 4);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Files, EncoderCacheBadFileTest,
    ::testing::Values(BadFile{"version2", WithVersion(2), "[Encoder] Disk cache version mismatch, will rediscover\n"},
                      BadFile{"short", std::vector<uint8_t>(kNv12File.begin(), kNv12File.begin() + 10), ""},
                      BadFile{"empty", {}, "[Encoder] Disk cache version mismatch, will rediscover\n"},
                      BadFile{"foreignGuid", ForeignGuid(),
                              "[Encoder] WARNING: Disk cache names an unknown input format, will rediscover\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EncoderCacheTest, DiscoverySkipsEncodersThatFailAndTakesTheFirstAcceptedInputType) {
  FakeEncoderScript broken = Encoder(L"Broken HW", {media::MFVideoFormat_NV12});
  broken.activateResult = media::MF_E_HW_MFT_FAILED_START_STREAMING;
  FakeEncoderScript picky = Encoder(L"Picky", {media::MFVideoFormat_NV12});
  picky.setOutputTypeResult = media::MF_E_INVALIDMEDIATYPE;
  FakeEncoderScript nameless = Encoder(L"", {media::MFVideoFormat_H264, media::MFVideoFormat_YUY2,
                                             media::MFVideoFormat_NV12});
  nameless.hasFriendlyName = false;
  fake->SetEncoders({broken, picky, nameless});

  media::Guid subtype;
  ASSERT_TRUE(EncoderCache::DiscoverEncoder(&subtype, 1280, 720, 60));
  // The transform's own order decides: YUY2 before NV12.
  EXPECT_EQ(subtype, media::MFVideoFormat_YUY2);
  EXPECT_EQ(EncoderCache::EncoderName(), L"Unknown");
  EXPECT_EQ(log.Count("[Encoder] Failed to activate encoder 0: 0xC00D3704\n"), 1);
  EXPECT_EQ(log.Count("[Encoder] Failed to set output type: 0xC00D36B4\n"), 1);
  uint32_t bitrate = 0;
  fake->Transforms().back().second->OutputTypesTried().at(0).GetUINT32(media::MF_MT_AVG_BITRATE, &bitrate);
  EXPECT_EQ(bitrate, 16'000'000u);
}

TEST_F(EncoderCacheTest, NothingUsableFailsWithItsLineAndPreWarmSaysItWillRetry) {
  EncoderCache::PreWarm();
  EXPECT_EQ(log.Count("[Encoder] No H.264 encoders found!\n"), 1);
  EXPECT_EQ(log.Count("[Encoder] Pre-warm failed - will retry on first recording\n"), 1);
  EXPECT_FALSE(fs::exists(CacheFile()));

  fake->SetEncoders({Encoder(L"Odd", {media::MFVideoFormat_H264})});
  bool ok = true;
  Obtain(1920, 1088, 30, &ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(log.Count("[Encoder] No encoder with compatible input format found\n"), 1);

  // Once something works, the failure is not remembered.
  fake->SetEncoders({Encoder(L"Good", {media::MFVideoFormat_IYUV})});
  EXPECT_EQ(Obtain(1920, 1088, 30, &ok), media::MFVideoFormat_IYUV);
  EXPECT_TRUE(ok);
}

TEST_F(EncoderCacheTest, UnwritableFolderOnlyCostsTheFile) {
  fs::create_directories(CacheFile());  // a folder where the file should be
  fake->SetEncoders({Encoder(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(log.Count("[Encoder] Failed to open cache file for writing\n"), 1);
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  EXPECT_EQ(fake->EnumCalls().size(), 1u);
}

TEST_F(EncoderCacheTest, NoLocalDataFolderMeansNoFile) {
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_EQ(EncoderCache::GetCachePath(), L"");
  fake->SetEncoders({Encoder(L"Soft", {media::MFVideoFormat_NV12})});
  EXPECT_EQ(Obtain(), media::MFVideoFormat_NV12);
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  EXPECT_EQ(log.CountPrefix("[Encoder] Failed"), 0);
}

}  // namespace
}  // namespace kalto
