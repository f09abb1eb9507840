#include "common/debug_output.h"

#include <cstdio>
#include <cwchar>
#include <mutex>

namespace kalto {
namespace {

std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}
DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

void Emit(std::string_view line) {
  std::lock_guard lock(SinkMutex());
  if (Sink()) {
    Sink()(line);
  } else {
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

DebugSink SetDebugSink(DebugSink sink) {
  std::lock_guard lock(SinkMutex());
  DebugSink old = std::move(Sink());
  Sink() = std::move(sink);
  return old;
}

void FormatWideV(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) {
  if (size == 0) return;
  // glibc reports truncation as -1 and leaves the buffer unspecified, so format into a larger
  // scratch first and cut it to the fixed size the caller asked for.
  wchar_t scratch[4096];
  va_list copy;
  va_copy(copy, args);
  int n = std::vswprintf(scratch, sizeof scratch / sizeof scratch[0], format, copy);
  va_end(copy);
  if (n < 0) {
    scratch[sizeof scratch / sizeof scratch[0] - 1] = L'\0';
  }
  std::size_t len = std::wcslen(scratch);
  if (len > size - 1) len = size - 1;
  std::wmemcpy(buffer, scratch, len);
  buffer[len] = L'\0';
}

void OutputDebugLine(const wchar_t* line) { Emit(WideToUtf8(line)); }

void OutputDebugNarrow(const char* text) { Emit(text); }

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    AppendUtf8(out, c);
  }
  return out;
}

std::wstring Utf8ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    char32_t c;
    int extra;
    if (b < 0x80) { c = b; extra = 0; }
    else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
    else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
    else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
    else { out += L'\uFFFD'; ++i; continue; }
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if (i + k >= text.size()) { ok = false; break; }
      auto cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) { ok = false; break; }
      c = (c << 6) | (cb & 0x3F);
    }
    if (!ok) { out += L'\uFFFD'; ++i; continue; }
    out += static_cast<wchar_t>(c);
    i += extra + 1;
  }
  return out;
}

}  // namespace kalto
