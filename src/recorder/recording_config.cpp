#include "recorder/recording_config.h"

#include <utility>

namespace kalto {

#define KALTO_CONFIG_DEFINE(name, type, initial) \
  type RecordingConfig::name() const {           \
    std::lock_guard lock(m_mutex);               \
    return m_values.name;                        \
  }                                              \
  void RecordingConfig::name(type value) {       \
    std::lock_guard lock(m_mutex);               \
    m_values.name = std::move(value);            \
  }
KALTO_RECORDING_CONFIG_PROPERTIES(KALTO_CONFIG_DEFINE)
#undef KALTO_CONFIG_DEFINE

RecordingConfigValues RecordingConfig::Snapshot() const {
  std::lock_guard lock(m_mutex);
  return m_values;
}

}  // namespace kalto
