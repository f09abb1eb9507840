#include "common/native_path.h"

#include "common/debug_output.h"

namespace kalto {
namespace {

constexpr char32_t kEscapeBase = 0xDC00;

// Length of the valid UTF-8 sequence at `text[i]` and its code point; 0 when it is not one.
// Overlong forms, surrogates and values past U+10FFFF are not valid: they would not convert back
// to the same bytes.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* out) {
  const auto b = static_cast<unsigned char>(text[i]);
  size_t length;
  char32_t c;
  char32_t minimum;
  if (b < 0x80) {
    *out = b;
    return 1;
  } else if ((b & 0xE0) == 0xC0) {
    length = 2, c = b & 0x1F, minimum = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    length = 3, c = b & 0x0F, minimum = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    length = 4, c = b & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *out = c;
  return length;
}

}  // namespace

std::wstring WideFromNativePath(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    const size_t length = DecodeUtf8(bytes, i, &c);
    if (length == 0) {
      out += static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(bytes[i]));
      ++i;
    } else {
      out += static_cast<wchar_t>(c);
      i += length;
    }
  }
  return out;
}

std::string NativePathFromWide(std::wstring_view path) {
  std::string out;
  out.reserve(path.size());
  for (wchar_t wc : path) {
    const auto c = static_cast<char32_t>(wc);
    if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
      out += static_cast<char>(c - kEscapeBase);
    } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      // Not produced by WideFromNativePath; the replacement character keeps the name readable.
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace kalto
