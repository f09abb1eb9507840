#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kalto::abi {

// Counted, immutable UTF-16 string, the stand-in for HSTRING. It may hold embedded NULs; an
// empty string and a null one are the same value.
class HString {
 public:
  HString() = default;
  explicit HString(std::u16string text) : m_text(std::move(text)) {}
  // wchar_t is UTF-32 here; code points beyond the BMP become surrogate pairs, values beyond
  // U+10FFFF become U+FFFD. Unpaired surrogates are kept as they are both ways, so that a file
  // name's stray bytes (common/native_path.h) round-trip.
  static HString FromWide(std::wstring_view text);
  std::wstring ToWide() const;

  const char16_t* Data() const noexcept { return m_text.c_str(); }
  uint32_t Length() const noexcept { return static_cast<uint32_t>(m_text.size()); }
  bool Empty() const noexcept { return m_text.empty(); }
  const std::u16string& Text() const noexcept { return m_text; }

  // Length first, then the code units: the exact comparison class names are matched with.
  friend bool operator==(const HString&, const HString&) = default;

 private:
  std::u16string m_text;
};

}  // namespace kalto::abi
