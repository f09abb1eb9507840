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

}  // namespace kalto
