#pragma once
// Process ancestry from /proc, for following the streams of one process tree.
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace kalto::platform::audio::pulse {

// The parent of `pid` from <procRoot>/<pid>/stat; 0 when the process is gone or unreadable.
uint32_t ParentProcessId(uint32_t pid, const std::string& procRoot = "/proc");

// True when `pid` is `root` or one of its descendants. The walk goes up the parents, so a
// process whose parent chain was cut (an orphan re-parented to init) no longer belongs.
bool IsInProcessTree(uint32_t pid, uint32_t root, const std::string& procRoot = "/proc");

}  // namespace kalto::platform::audio::pulse
