#include "support/debug_capture.h"

namespace kalto::test {

DebugCapture::DebugCapture() {
  m_previous = SetDebugSink([this](std::string_view line) {
    std::lock_guard lock(m_mutex);
    m_lines.emplace_back(line);
  });
}

DebugCapture::~DebugCapture() { SetDebugSink(std::move(m_previous)); }

std::vector<std::string> DebugCapture::Lines() const {
  std::lock_guard lock(m_mutex);
  return m_lines;
}

int DebugCapture::Count(const std::string& line) const {
  std::lock_guard lock(m_mutex);
  int n = 0;
  for (const auto& l : m_lines) n += (l == line);
  return n;
}

int DebugCapture::CountPrefix(const std::string& prefix) const {
  std::lock_guard lock(m_mutex);
  int n = 0;
  for (const auto& l : m_lines) n += (l.rfind(prefix, 0) == 0);
  return n;
}

void DebugCapture::Clear() {
  std::lock_guard lock(m_mutex);
  m_lines.clear();
}

}  // namespace kalto::test
