#pragma once
#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kalto {

// Receives each finished line as UTF-8, newline included. The default sink writes to stderr.
using DebugSink = std::function<void(std::string_view line)>;

// Replaces the process-wide sink; an empty function restores the default. Returns the old one.
DebugSink SetDebugSink(DebugSink sink);

// Writes an already formatted wide line (the stand-in for OutputDebugStringW).
void OutputDebugLine(const wchar_t* line);
// Narrow text, used for compiler diagnostics.
void OutputDebugNarrow(const char* text);

// Formats into a fixed wide buffer of N characters, as every class does for its lines; text that
// does not fit is cut at N - 1 characters. Wide format rules apply: %s takes a narrow string,
// %ls a wide one.
template <std::size_t N>
void DebugLog(const wchar_t* format, ...);

void FormatWideV(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args);

template <std::size_t N>
void DebugLog(const wchar_t* format, ...) {
  wchar_t buffer[N];
  va_list args;
  va_start(args, format);
  FormatWideV(buffer, N, format, args);
  va_end(args);
  OutputDebugLine(buffer);
}

// UTF-8 <-> wide conversions for messages that cross the two worlds.
std::string WideToUtf8(std::wstring_view text);
// One code point, as UTF-8 bytes.
void AppendUtf8(std::string& out, char32_t c);
std::wstring Utf8ToWide(std::string_view text);

// Formats like DebugLog<N> but returns the text instead of writing it.
template <std::size_t N>
std::wstring FormatWide(const wchar_t* format, ...) {
  wchar_t buffer[N];
  va_list args;
  va_start(args, format);
  FormatWideV(buffer, N, format, args);
  va_end(args);
  return buffer;
}
}  // namespace kalto
