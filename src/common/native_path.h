#pragma once
// File names are bytes on this system while the engine carries paths as wide strings. These two
// conversions round-trip any byte string: valid UTF-8 becomes its characters, and every byte
// that is not part of valid UTF-8 becomes the lone surrogate U+DC00 + byte, which no valid
// UTF-8 text can produce, and turns back into that byte.
#include <string>
#include <string_view>

namespace kalto {

std::wstring WideFromNativePath(std::string_view bytes);
std::string NativePathFromWide(std::wstring_view path);

}  // namespace kalto
