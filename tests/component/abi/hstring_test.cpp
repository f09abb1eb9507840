#include <gtest/gtest.h>

#include <string>

#include "platform/abi/hstring.h"

namespace kalto::abi {
namespace {

using namespace std::string_literals;

TEST(HString, RoundTripsSupplementaryCharactersAndEmbeddedNul) {
  const std::wstring wide = L"Kalto \u00e9\u20ac \U0001F3A5 a\0b"s;
  HString s = HString::FromWide(wide);
  // The camera emoji takes two UTF-16 code units; the NUL is kept.
  EXPECT_EQ(s.Length(), wide.size() + 1);
  EXPECT_EQ(s.Text()[9], 0xD83C);
  EXPECT_EQ(s.Text()[10], 0xDFA5);
  EXPECT_EQ(s.ToWide(), wide);
}

TEST(HString, ComparisonIsExactAndEmptyIsTheDefault) {
  EXPECT_EQ(HString(), HString::FromWide(L""));
  EXPECT_EQ(HString().Data()[0], u'\0');
  HString name = HString::FromWide(L"Kalto.Native.NativeRecorder");
  EXPECT_EQ(name, HString(u"Kalto.Native.NativeRecorder"));
  EXPECT_NE(name, HString(u"kalto.native.nativerecorder"));
  EXPECT_NE(name, HString(u"Kalto.Native.NativeRecorde"));
}

TEST(HString, InvalidInputBecomesReplacementCharactersBothWays) {
  std::wstring bad;
  bad += static_cast<wchar_t>(0xD800);    // a surrogate is not a code point
  bad += static_cast<wchar_t>(0x110000);  // beyond Unicode
  bad += L'x';
  EXPECT_EQ(HString::FromWide(bad).Text(), std::u16string(u"\uFFFD\uFFFDx"));
  // Unpaired: high without low, low without high, high at the end.
  HString units(std::u16string{char16_t(0xD83C), u'a', char16_t(0xDFA5), char16_t(0xD83C)});
  EXPECT_EQ(units.ToWide(), L"\uFFFDa\uFFFD\uFFFD");
}

}  // namespace
}  // namespace kalto::abi
