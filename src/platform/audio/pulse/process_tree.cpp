#include "platform/audio/pulse/process_tree.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unordered_set>

namespace kalto::platform::audio::pulse {

uint32_t ParentProcessId(uint32_t pid, const std::string& procRoot) {
  if (pid == 0) return 0;
  std::ifstream in(procRoot + "/" + std::to_string(pid) + "/stat");
  if (!in) return 0;
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // "pid (comm) state ppid ...": comm may hold spaces and parentheses, so look after the last ')'.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return 0;
  const char* p = stat.c_str() + close + 2;  // the state letter
  while (*p && *p != ' ') ++p;
  char* end = nullptr;
  unsigned long parent = std::strtoul(p, &end, 10);
  if (end == p || parent > UINT32_MAX) return 0;
  return static_cast<uint32_t>(parent);
}

bool IsInProcessTree(uint32_t pid, uint32_t root, const std::string& procRoot) {
  if (pid == 0 || root == 0) return false;
  std::unordered_set<uint32_t> seen;
  // The guard against cycles also bounds the walk should /proc change under it.
  while (pid != 0 && seen.insert(pid).second) {
    if (pid == root) return true;
    pid = ParentProcessId(pid, procRoot);
  }
  return false;
}

}  // namespace kalto::platform::audio::pulse
