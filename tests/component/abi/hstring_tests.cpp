#include <gtest/gtest.h>

#include <string>

#include "platform/abi/hstring.h"

namespace kalto::abi {
namespace {

TEST(HString, EmptyIsTheDefault) {
  HString empty;
  EXPECT_TRUE(empty.Empty());
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(empty.Data()[0], u'\0');
  EXPECT_EQ(empty, HString::FromWide(L""));
}

TEST(HString, BmpAndSupplementaryCharactersConvertBothWays) {
  std::wstring wide = L"Kalto.Native.RecordingConfig \u00e9\u20ac \U0001F3A5";
  HString s = HString::FromWide(wide);
  // The camera emoji takes two UTF-16 code units.
  EXPECT_EQ(s.Length(), wide.size() + 1);
  EXPECT_EQ(s.Text().substr(s.Length() - 2), std::u16string(u"\U0001F3A5"));
  EXPECT_EQ(s.Text()[s.Length() - 2], 0xD83C);
  EXPECT_EQ(s.Text()[s.Length() - 1], 0xDFA5);
  EXPECT_EQ(s.ToWide(), wide);
}

TEST(HString, CountedStringsKeepEmbeddedNul) {
  std::wstring wide(L"a\0b", 3);
  HString s = HString::FromWide(wide);
  EXPECT_EQ(s.Length(), 3u);
  EXPECT_EQ(s.ToWide(), wide);
  EXPECT_NE(s, HString::FromWide(L"a"));
}

TEST(HString, ComparisonIsExact) {
  HString name = HString::FromWide(L"Kalto.Native.NativeRecorder");
  EXPECT_EQ(name, HString(u"Kalto.Native.NativeRecorder"));
  EXPECT_NE(name, HString(u"Kalto.Native.NativeRecorderX"));
  EXPECT_NE(name, HString(u"kalto.native.nativerecorder"));
  EXPECT_NE(name, HString(u"Kalto.Native.NativeRecorde"));
}

TEST(HString, InvalidCodePointsBecomeReplacementCharacters) {
  std::wstring bad;
  bad += static_cast<wchar_t>(0xD800);    // a surrogate is not a code point
  bad += static_cast<wchar_t>(0x110000);  // beyond Unicode
  bad += L'x';
  HString s = HString::FromWide(bad);
  EXPECT_EQ(s.Text(), std::u16string(u"\uFFFD\uFFFDx"));
}

TEST(HString, UnpairedSurrogatesReadAsReplacementCharacters) {
  std::u16string units;
  units += static_cast<char16_t>(0xD83C);  // high without low
  units += u'a';
  units += static_cast<char16_t>(0xDFA5);  // low without high
  units += static_cast<char16_t>(0xD83C);  // high at the end
  HString s(units);
  EXPECT_EQ(s.ToWide(), L"\uFFFDa\uFFFD\uFFFD");
}

}  // namespace
}  // namespace kalto::abi
