#include <fstream>
#include <iterator>
#include <optional>

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
  std::vector<uint8_t> ReadFile() const {
    return {std::istreambuf_iterator<char>(std::ifstream(CacheFile(), std::ios::binary).rdbuf()), {}};
  }
  void WriteFile(const std::vector<uint8_t>& bytes) const {
    fs::create_directories(CacheFile().parent_path());
    std::ofstream(CacheFile(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  // Size, rate and bitrate of the output type the discovery gave a transform.
  std::vector<uint32_t> Tried(size_t transform) const {
    const media::MediaType t = fake->Transforms().at(transform).second->OutputTypesTried().at(0);
    uint32_t v[5] = {};
    media::GetAttributeSize(t, media::MF_MT_FRAME_SIZE, &v[0], &v[1]);
    media::GetAttributeRatio(t, media::MF_MT_FRAME_RATE, &v[2], &v[3]);
    t.GetUINT32(media::MF_MT_AVG_BITRATE, &v[4]);
    return {v, v + 5};
  }
  static std::optional<media::Guid> Obtain() {
    std::lock_guard lock(EncoderCache::Lock());
    media::Guid g;
    return EncoderCache::ObtainSubtypeLocked(1920, 1088, 30, &g) ? std::optional(g) : std::nullopt;
  }
};

// The encoder tests read the file back in a later process.
TEST_F(EncoderCacheTest, PreWarmDiscoversAtFullHdAndWritesTheFile) {
  fake->SetEncoders({Script(L"HW Encoder", {media::MFVideoFormat_NV12, media::MFVideoFormat_IYUV})});
  EncoderCache::PreWarm();
  EXPECT_EQ(kNv12File, ReadFile());
  EXPECT_EQ(L"HW Encoder", EncoderCache::EncoderName());
  EXPECT_EQ(std::vector<uint32_t>({1920, 1080, 30, 1, 8'000'000}), Tried(0));
}

TEST_F(EncoderCacheTest, BadFilesLeadToDiscoveryThatOverwritesThem) {
  const auto patched = [](size_t at, const std::vector<uint8_t>& bytes) {
    auto b = kNv12File;
    std::copy(bytes.begin(), bytes.end(), b.begin() + at);
    return b;
  };
  const std::string version = "[Encoder] Disk cache version mismatch, will rediscover\n";
  const auto h264 = media::MFVideoFormat_H264.ToBytes();
  // Each byte of the little-endian version counts; a short file is rediscovered quietly.
  const std::pair<std::vector<uint8_t>, std::string> files[] = {
      {patched(0, {2}), version}, {patched(1, {1}), version}, {patched(2, {1}), version}, {patched(3, {1}), version},
      {{}, version}, {std::vector<uint8_t>(kNv12File.begin(), kNv12File.begin() + 10), ""},
      {patched(4, {h264.begin(), h264.end()}),
       "[Encoder] WARNING: Disk cache names an unknown input format, will rediscover\n"}};
  fake->SetEncoders({Script(L"Soft", {media::MFVideoFormat_NV12})});
  size_t discoveries = 0;
  for (const auto& [bytes, line] : files) {
    SCOPED_TRACE(discoveries);
    EncoderCache::ResetForTesting();
    debug.Clear();
    WriteFile(bytes);
    EXPECT_EQ(media::MFVideoFormat_NV12, Obtain());
    EXPECT_EQ(++discoveries, fake->EnumCalls().size());
    EXPECT_EQ(kNv12File, ReadFile());
    EXPECT_EQ(line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line}, debug.Lines());
  }
}

TEST_F(EncoderCacheTest, DiscoverySkipsEncodersThatFailAndTakesTheFirstAcceptedInputType) {
  FakeEncoderScript broken = Script(L"Broken HW", {media::MFVideoFormat_NV12}), picky = broken,
                    nameless = Script(L"", {media::MFVideoFormat_H264, media::MFVideoFormat_YUY2, media::MFVideoFormat_NV12});
  broken.activateResult = media::MF_E_HW_MFT_FAILED_START_STREAMING;
  picky.setOutputTypeResult = media::MF_E_INVALIDMEDIATYPE;
  nameless.hasFriendlyName = false;
  fake->SetEncoders({broken, picky, nameless});
  media::Guid subtype;
  ASSERT_TRUE(EncoderCache::DiscoverEncoder(&subtype, 1280, 720, 60));
  // The transform's own order decides: YUY2 before NV12.
  EXPECT_EQ(media::MFVideoFormat_YUY2, subtype);
  EXPECT_EQ(L"Unknown", EncoderCache::EncoderName());
  EXPECT_EQ((std::vector<std::string>{"[Encoder] Failed to activate encoder 0: 0xC00D3704\n",
                                      "[Encoder] Failed to set output type: 0xC00D36B4\n"}), debug.Lines());
  EXPECT_EQ(std::vector<uint32_t>({1280, 720, 60, 1, 16'000'000}), Tried(1));
}

TEST_F(EncoderCacheTest, NothingUsableIsNotRememberedAndTheFileIsOptional) {
  EncoderCache::PreWarm();
  EXPECT_EQ((std::vector<std::string>{"[Encoder] No H.264 encoders found!\n",
                                      "[Encoder] Pre-warm failed - will retry on first recording\n"}), debug.Lines());
  EXPECT_FALSE(fs::exists(CacheFile()));
  fake->SetEncoders({Script(L"Odd", {media::MFVideoFormat_H264})});
  EXPECT_FALSE(Obtain());
  EXPECT_EQ(1, debug.Count("[Encoder] No encoder with compatible input format found\n"));
  // The file is a convenience: an unwritable place or no data folder at all still give the subtype.
  fake->SetEncoders({Script(L"Good", {media::MFVideoFormat_IYUV})});
  fs::create_directories(CacheFile());  // a folder where the file should be
  EXPECT_EQ(media::MFVideoFormat_IYUV, Obtain());
  EXPECT_EQ(media::MFVideoFormat_IYUV, Obtain());
  EXPECT_EQ(3u, fake->EnumCalls().size());
  EXPECT_EQ(1, debug.Count("[Encoder] Failed to open cache file for writing\n"));
  debug.Clear();
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  unsetenv("XDG_DATA_HOME"), unsetenv("HOME");
  EXPECT_EQ(L"", EncoderCache::GetCachePath());
  EncoderCache::ResetForTesting();
  EXPECT_EQ(media::MFVideoFormat_IYUV, Obtain());
  if (!home.empty()) setenv("HOME", home.c_str(), 1);
  EXPECT_TRUE(debug.Lines().empty());
}

}  // namespace
}  // namespace kalto::test
