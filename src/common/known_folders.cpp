#include "common/known_folders.h"

#include <cstdlib>
#include <system_error>

namespace kalto {

std::filesystem::path LocalAppDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return xdg;
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::filesystem::path(home) / ".local" / "share";
  }
  return {};
}

std::filesystem::path KaltoDataFolder() {
  auto base = LocalAppDataFolder();
  return base.empty() ? base : base / "Kalto";
}

std::filesystem::path ExecutablePath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path{} : p;
}

std::filesystem::path ExecutableFolder() { return ExecutablePath().parent_path(); }

}  // namespace kalto
