#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "common/debug_output.h"

namespace kalto::test {

// Captures every debug line for the lifetime of the object, restoring the previous sink after.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Lines() const;
  // Lines equal to `line` (newline included).
  int Count(const std::string& line) const;
  // Lines that begin with `prefix`.
  int CountPrefix(const std::string& prefix) const;
  bool Contains(const std::string& line) const { return Count(line) > 0; }
  void Clear();

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  DebugSink m_previous;
};

}  // namespace kalto::test
