#include "common/known_folders.h"

#include <cstdlib>
#include <mutex>
#include <system_error>
#include <utility>

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

namespace {
std::mutex g_moduleMutex;
std::filesystem::path g_moduleOverride;
}  // namespace

std::filesystem::path ModuleFolder() {
  std::filesystem::path folder;
  {
    std::lock_guard lock(g_moduleMutex);
    folder = g_moduleOverride;
  }
  if (folder.empty()) folder = ExecutableFolder();
  if (folder.empty()) return folder;
  return folder / "";
}

std::filesystem::path SetModuleFolderForTesting(std::filesystem::path folder) {
  std::lock_guard lock(g_moduleMutex);
  return std::exchange(g_moduleOverride, std::move(folder));
}

}  // namespace kalto
