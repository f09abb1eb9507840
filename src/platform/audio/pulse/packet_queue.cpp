#include "platform/audio/pulse/packet_queue.h"

#include <algorithm>
#include <cstring>

#include "common/steady_clock.h"

namespace kalto::platform::audio::pulse {

PacketQueue::PacketQueue(uint32_t frameBytes, uint32_t periodFrames, uint32_t capacityFrames)
    : m_frameBytes(std::max<uint32_t>(frameBytes, 1)),
      m_periodFrames(std::max<uint32_t>(periodFrames, 1)),
      m_capacityFrames(std::max(capacityFrames, periodFrames)) {}

void PacketQueue::Push(const void* data, size_t bytes) {
  if (bytes == 0) return;
  std::shared_ptr<Event> event;
  bool added = false;
  {
    std::lock_guard lock(m_mutex);
    if (Failed(m_invalidated)) return;
    uint32_t appended = 0;
    int64_t nowNs = SteadyNowNs();
    const auto* in = static_cast<const uint8_t*>(data);
    // Complete a frame left over from the last delivery first.
    if (!m_partial.empty()) {
      size_t take = std::min<size_t>(m_frameBytes - m_partial.size(), bytes);
      if (in) {
        m_partial.insert(m_partial.end(), in, in + take);
        in += take;
      } else {
        m_partial.insert(m_partial.end(), take, 0);
      }
      bytes -= take;
      if (m_partial.size() == m_frameBytes) {
        appended += AppendLocked(m_partial.data(), m_partial.size(), nowNs);
        m_partial.clear();
      }
    }
    size_t whole = bytes - bytes % m_frameBytes;
    appended += AppendLocked(in, whole, nowNs);
    if (size_t rest = bytes - whole) {
      if (in) {
        m_partial.assign(in + whole, in + whole + rest);
      } else {
        m_partial.assign(rest, 0);
      }
    }
    DropOverflowLocked();
    added = appended > 0;
    event = m_event;
  }
  if (added && event) event->Set();
}

uint32_t PacketQueue::AppendLocked(const uint8_t* data, size_t bytes, int64_t nowNs) {
  uint32_t appended = 0;
  while (bytes >= m_frameBytes) {
    uint32_t frames = static_cast<uint32_t>(std::min<size_t>(bytes / m_frameBytes, m_periodFrames));
    size_t size = size_t(frames) * m_frameBytes;
    Packet packet;
    if (!m_spare.empty()) {
      packet.bytes = std::move(m_spare.back());
      m_spare.pop_back();
    }
    if (data) {
      packet.bytes.assign(data, data + size);
      data += size;
    } else {
      packet.bytes.assign(size, 0);
    }
    packet.frames = frames;
    // Digital silence is flagged as the platform flags an idle loopback stream; the bytes stay
    // zeros for readers that ignore the flag.
    bool silent = std::all_of(packet.bytes.begin(), packet.bytes.end(), [](uint8_t b) { return b == 0; });
    packet.flags = silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
    packet.position = m_position;
    packet.qpcHns = static_cast<uint64_t>(nowNs / 100);
    m_position += frames;
    m_queuedFrames += frames;
    m_packets.push_back(std::move(packet));
    appended += frames;
    bytes -= size;
  }
  return appended;
}

void PacketQueue::DropOverflowLocked() {
  // The packet handed out stays: its bytes are in use until ReleaseBuffer.
  size_t keep = m_handedOut ? 1 : 0;
  while (m_queuedFrames > m_capacityFrames && m_packets.size() > keep) {
    auto victim = m_packets.begin() + static_cast<std::ptrdiff_t>(keep);
    m_queuedFrames -= victim->frames;
    m_spare.push_back(std::move(victim->bytes));
    m_packets.erase(victim);
    m_discontinuity = true;
  }
  if (m_discontinuity && m_packets.size() > keep) {
    m_packets[keep].flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
    m_discontinuity = false;
  }
}

void PacketQueue::Invalidate(HRESULT reason) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(m_mutex);
    if (Failed(m_invalidated)) return;
    m_invalidated = reason;
    event = m_event;
  }
  // Wake the reader so it sees the failure now rather than at its next time-out.
  if (event) event->Set();
}

void PacketQueue::SetEvent(std::shared_ptr<Event> event) {
  std::lock_guard lock(m_mutex);
  m_event = std::move(event);
}

void PacketQueue::Clear() {
  std::lock_guard lock(m_mutex);
  size_t keep = m_handedOut ? 1 : 0;
  while (m_packets.size() > keep) {
    m_queuedFrames -= m_packets.back().frames;
    m_spare.push_back(std::move(m_packets.back().bytes));
    m_packets.pop_back();
  }
  m_partial.clear();
}

HRESULT PacketQueue::GetNextPacketSize(uint32_t* frames) {
  if (!frames) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (Failed(m_invalidated)) return m_invalidated;
  *frames = m_packets.empty() ? 0 : m_packets.front().frames;
  return S_OK;
}

HRESULT PacketQueue::GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                               uint64_t* qpcPosition) {
  if (!data || !frames || !flags) return E_POINTER;
  std::lock_guard lock(m_mutex);
  *data = nullptr;
  *frames = 0;
  *flags = 0;
  if (Failed(m_invalidated)) return m_invalidated;
  if (m_handedOut) return AUDCLNT_E_OUT_OF_ORDER;
  if (m_packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
  // Deque elements do not move when others are appended or erased, so the pointer holds until
  // ReleaseBuffer.
  Packet& packet = m_packets.front();
  *data = packet.bytes.data();
  *frames = packet.frames;
  *flags = packet.flags;
  if (devicePosition) *devicePosition = packet.position;
  if (qpcPosition) *qpcPosition = packet.qpcHns;
  m_handedOut = true;
  return S_OK;
}

HRESULT PacketQueue::ReleaseBuffer(uint32_t frames) {
  std::lock_guard lock(m_mutex);
  if (!m_handedOut) return AUDCLNT_E_OUT_OF_ORDER;
  Packet& packet = m_packets.front();
  if (frames != 0 && frames != packet.frames) return AUDCLNT_E_INVALID_SIZE;
  m_handedOut = false;
  // Releasing nothing leaves the packet to be read again.
  if (frames == 0) return S_OK;
  m_queuedFrames -= packet.frames;
  m_spare.push_back(std::move(packet.bytes));
  m_packets.pop_front();
  return S_OK;
}

uint32_t PacketQueue::QueuedFrames() const {
  std::lock_guard lock(m_mutex);
  return m_queuedFrames;
}

}  // namespace kalto::platform::audio::pulse
