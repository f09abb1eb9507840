#include "platform/abi/hstring.h"

namespace kalto::abi {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

HString HString::FromWide(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t w : text) {
    auto c = static_cast<char32_t>(w);
    // A lone surrogate stays one code unit, as the platform's strings keep it: a file name's
    // stray byte travels as one (see common/native_path.h).
    if (c > 0x10FFFF) c = kReplacement;
    if (c < 0x10000) {
      out += static_cast<char16_t>(c);
    } else {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    }
  }
  return HString(std::move(out));
}

std::wstring HString::ToWide() const {
  std::wstring out;
  out.reserve(m_text.size());
  for (std::size_t i = 0; i < m_text.size(); ++i) {
    char32_t c = m_text[i];
    if (IsHighSurrogate(c) && i + 1 < m_text.size() && IsLowSurrogate(m_text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(m_text[i + 1]) - 0xDC00);
      ++i;
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

}  // namespace kalto::abi
