#pragma once
// The hosts' checks of what the user typed: strict number parsing and the output path, each
// answering with the message to print (empty when the value is fine); and their stop signals.
#include <atomic>
#include <cstdint>
#include <string>

#include "recorder/background_effect_config.h"

namespace kalto::cli {

// Whole text as a decimal integer (a handle may also be 0x hexadecimal).
bool ParseInteger(const char* text, int64_t* out, bool allowHex = false);
// Whole text as a finite number.
bool ParseNumber(const char* text, double* out);
// "WxH" with decimal numbers and nothing else.
bool ParseSize(const char* text, int64_t* width, int64_t* height);
// "HANDLE:X,Y,W,H".
bool ParseRegion(const char* text, int64_t* handle, int64_t* x, int64_t* y, int64_t* width, int64_t* height);

// "X,Y,W,H" as four finite numbers.
bool ParseNumbers4(const char* text, double out[4]);
// "RRGGBBAA:W": a packed colour (eight hex digits) and a finite width.
bool ParseBorder(const char* text, uint32_t* color, double* width);

// "none", "blur", "blur:S" (0-2), "color:N" (0-5), "gradient:N" (0-3) or "image:N" (0-12) into the
// effect's mode and preset; the other fields keep their values.
bool ParseCameraEffect(const char* text, BackgroundEffectConfig* effect);
// The same words back, for the status line.
std::string CameraEffectName(const BackgroundEffectConfig& effect);
// The next effect of the live cycle: none, blur, colour, gradient, picture, none...
BackgroundEffectConfig NextCameraEffect(BackgroundEffectConfig effect);

// The camera bubble's default rectangle, normalised to a frame of width x height pixels: a
// circle (square in pixels) of a fifth of the height, in the bottom-right corner.
void DefaultBubbleRect(int64_t width, int64_t height, double out[4]);

// What is wrong with recording to `path` (bytes, as given), or empty. Refuses an existing file
// unless `overwrite`; nothing is left behind by the check.
std::string CheckOutputPath(const std::string& path, bool overwrite);

// Set by Ctrl-C, a kill or a closed terminal, which all end a host the same way: stopped and
// its file finished. InstallStopSignals also makes a closed stderr (SIGPIPE) or a file-size
// limit (SIGXFSZ) fail the writes instead of killing the process before the file is finished.
extern std::atomic<bool> g_stop;
void InstallStopSignals();

}  // namespace kalto::cli
