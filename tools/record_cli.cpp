#include "record_cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>

namespace kalto::cli {
namespace fs = std::filesystem;

bool ParseInteger(const char* text, int64_t* out, bool allowHex) {
  if (text == nullptr || *text == '\0') return false;
  const char* digits = text[0] == '-' ? text + 1 : text;
  const bool hex = allowHex && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  // strtoll would also take leading spaces and a plus sign; a typed number has neither.
  if (!std::isdigit(static_cast<unsigned char>(hex ? digits[2] : digits[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

bool ParseNumber(const char* text, double* out) {
  if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value)) return false;
  *out = value;
  return true;
}

namespace {

// Splits `text` at the first `separator` into two integers, each checked strictly.
bool ParsePair(const std::string& text, char separator, int64_t* first, int64_t* second) {
  const size_t at = text.find(separator);
  if (at == std::string::npos) return false;
  return ParseInteger(text.substr(0, at).c_str(), first) && ParseInteger(text.substr(at + 1).c_str(), second);
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

}  // namespace

bool ParseSize(const char* text, int64_t* width, int64_t* height) {
  return text != nullptr && ParsePair(text, 'x', width, height);
}

bool ParseRegion(const char* text, int64_t* handle, int64_t* x, int64_t* y, int64_t* width, int64_t* height) {
  if (text == nullptr) return false;
  const std::string all = text;
  const size_t colon = all.find(':');
  if (colon == std::string::npos || !ParseInteger(all.substr(0, colon).c_str(), handle, true)) return false;
  int64_t values[4];
  size_t start = colon + 1;
  for (int i = 0; i < 4; ++i) {
    const size_t comma = i < 3 ? all.find(',', start) : all.size();
    if (comma == std::string::npos || !ParseInteger(all.substr(start, comma - start).c_str(), &values[i])) return false;
    start = comma + 1;
  }
  *x = values[0], *y = values[1], *width = values[2], *height = values[3];
  return true;
}

bool ParseNumbers4(const char* text, double out[4]) {
  if (text == nullptr) return false;
  const std::string all = text;
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t comma = i < 3 ? all.find(',', start) : all.size();
    if (comma == std::string::npos || !ParseNumber(all.substr(start, comma - start).c_str(), &out[i])) return false;
    start = comma + 1;
  }
  return true;
}

bool ParseBorder(const char* text, uint32_t* color, double* width) {
  if (text == nullptr) return false;
  const std::string all = text;
  const size_t colon = all.find(':');
  if (colon != 8) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(all[i]))) return false;
  }
  *color = static_cast<uint32_t>(std::strtoul(all.substr(0, 8).c_str(), nullptr, 16));
  return ParseNumber(all.substr(colon + 1).c_str(), width);
}

bool ParseCameraEffect(const char* text, BackgroundEffectConfig* effect) {
  if (text == nullptr) return false;
  const std::string all = text;
  const size_t colon = all.find(':');
  const std::string kind = all.substr(0, colon);
  int64_t n = -1;
  const bool hasValue = colon != std::string::npos;
  if (hasValue && !ParseInteger(all.substr(colon + 1).c_str(), &n)) return false;
  const auto within = [&](int64_t last) { return hasValue && n >= 0 && n <= last; };
  if (kind == "none" && !hasValue) {
    effect->Mode = 0;
  } else if (kind == "blur" && (!hasValue || within(2))) {
    effect->Mode = 1;
    effect->BlurStrength = hasValue ? static_cast<int32_t>(n) : 1;
  } else if (kind == "color" && within(5)) {
    effect->Mode = 2;
    effect->ColorPreset = static_cast<int32_t>(n);
  } else if (kind == "gradient" && within(3)) {
    effect->Mode = 3;
    effect->GradientPreset = static_cast<int32_t>(n);
  } else if (kind == "image" && within(12)) {
    effect->Mode = 4;
    effect->ImagePreset = static_cast<int32_t>(n);
  } else {
    return false;
  }
  return true;
}

std::string CameraEffectName(const BackgroundEffectConfig& effect) {
  switch (effect.Mode) {
    case 1: return "blur:" + std::to_string(effect.BlurStrength);
    case 2: return "color:" + std::to_string(effect.ColorPreset);
    case 3: return "gradient:" + std::to_string(effect.GradientPreset);
    case 4: return "image:" + std::to_string(effect.ImagePreset);
    default: return "none";
  }
}

BackgroundEffectConfig NextCameraEffect(BackgroundEffectConfig effect) {
  effect.Mode = effect.Mode >= 0 && effect.Mode < 4 ? effect.Mode + 1 : 0;
  return effect;
}

void DefaultBubbleRect(int64_t width, int64_t height, double out[4]) {
  const double w = static_cast<double>(std::max<int64_t>(width, 1)), h = static_cast<double>(std::max<int64_t>(height, 1));
  const double side = 0.2 * h, margin = 0.04 * h;
  out[2] = std::min(side / w, 1.0);
  out[3] = 0.2;
  out[0] = std::max(0.0, 1.0 - out[2] - margin / w);
  out[1] = 1.0 - out[3] - 0.04;
}

std::string CheckOutputPath(const std::string& path, bool overwrite) {
  const fs::path file(path);
  const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
  const std::string name = file.filename().native();
  if (name.empty() || name == "." || name == "..") return Quoted(path) + " names a folder, not a file";
  std::error_code ec;
  if (!fs::exists(folder, ec)) return "output folder " + Quoted(folder.native()) + " does not exist";
  if (!fs::is_directory(folder, ec)) return Quoted(folder.native()) + " is not a folder";
  long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = 255;
  if (name.size() > static_cast<size_t>(nameMax)) {
    return "the file name is " + std::to_string(name.size()) + " bytes long; this file system allows at most " +
           std::to_string(nameMax);
  }
  const std::string extension = file.extension().native();
  if (extension != ".mp4" && extension != ".m4v") return "the output file must end in .mp4";
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Quoted(path) + " is a folder";
    if (!overwrite) return Quoted(path) + " already exists (--overwrite or -y replaces it)";
    // Opened without truncating: the old file stays whole until the recording starts.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return "cannot replace " + Quoted(path) + ": " + std::strerror(errno);
    ::close(fd);
    return {};
  }
  // A real attempt answers for permissions, read-only file systems and every other reason alike.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return "cannot write " + Quoted(path) + ": " + std::strerror(errno);
  ::close(fd);
  ::unlink(path.c_str());
  return {};
}

std::atomic<bool> g_stop{false};

namespace {
void OnStopSignal(int) { g_stop = true; }
}  // namespace

void InstallStopSignals() {
  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &stop, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : {SIGPIPE, SIGXFSZ}) sigaction(signal, &ignore, nullptr);
}

}  // namespace kalto::cli
