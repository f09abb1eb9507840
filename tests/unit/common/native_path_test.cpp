// Output paths travel through the engine as wide strings; these names must come back as the
// same bytes, so the file is created under exactly the name the user gave.
#include <gtest/gtest.h>

#include <string>

#include "common/native_path.h"

namespace kalto {
namespace {

struct NameCase {
  const char* what;
  std::string bytes;
  std::wstring wide;
};

TEST(NativePath, NamesRoundTripToTheSameBytes) {
  const NameCase cases[] = {
      {"ASCII", "/tmp/a.mp4", L"/tmp/a.mp4"},
      {"accents", "/tmp/Vid\xC3\xA9os/vid\xC3\xA9o.mp4", L"/tmp/Vid\u00E9os/vid\u00E9o.mp4"},
      {"CJK", "/tmp/\xE5\xBD\x95\xE5\x83\x8F.mp4", L"/tmp/\u5F55\u50CF.mp4"},
      {"emoji", "/tmp/\xF0\x9F\x8E\xAC.mp4", L"/tmp/\U0001F3AC.mp4"},
      {"Latin-1 byte", "/tmp/caf\xE9.mp4", L"/tmp/caf\xDCE9.mp4"},
      {"truncated sequence", "/tmp/\xE5\xBD.mp4", L"/tmp/\xDCE5\xDCBD.mp4"},
      {"overlong slash", "/tmp/\xC0\xAF.mp4", L"/tmp/\xDCC0\xDCAF.mp4"},
      {"encoded surrogate", "/tmp/\xED\xB3\xA9.mp4", L"/tmp/\xDCED\xDCB3\xDCA9.mp4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.wide, WideFromNativePath(c.bytes)) << c.what;
    EXPECT_EQ(c.bytes, NativePathFromWide(WideFromNativePath(c.bytes))) << c.what;
  }
}

TEST(NativePath, EveryByteRoundTrips) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(all, NativePathFromWide(WideFromNativePath(all)));
}

}  // namespace
}  // namespace kalto
