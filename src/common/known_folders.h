#pragma once
#include <filesystem>

namespace kalto {

// The user's local application-data folder: $XDG_DATA_HOME, else $HOME/.local/share.
// Empty when neither is set.
std::filesystem::path LocalAppDataFolder();
// Our own folder inside it ("Kalto").
std::filesystem::path KaltoDataFolder();
// Full path of the running executable, and its folder.
std::filesystem::path ExecutablePath();
std::filesystem::path ExecutableFolder();
// The folder asset searches start from, with a trailing separator: the executable's, unless a
// test has pointed it elsewhere. Empty when the executable's path cannot be read.
std::filesystem::path ModuleFolder();
// Points ModuleFolder at `folder` (empty restores the executable's) and returns the old setting.
std::filesystem::path SetModuleFolderForTesting(std::filesystem::path folder);

}  // namespace kalto
