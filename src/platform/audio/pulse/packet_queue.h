#pragma once
// The packets of one capture stream between the loop thread, which pushes what the server
// delivers, and the capture thread, which takes them one at a time (GetBuffer/ReleaseBuffer).
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "common/result.h"
#include "platform/audio/audio.h"

namespace kalto::platform::audio::pulse {

class PacketQueue {
 public:
  // `periodFrames` caps a packet; `capacityFrames` is what the queue holds before the oldest
  // packets are dropped (the next one then carries AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY).
  PacketQueue(uint32_t frameBytes, uint32_t periodFrames, uint32_t capacityFrames);
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;

  // Loop thread. Null data is a hole of `bytes` silent bytes. Sets the event when frames arrived.
  void Push(const void* data, size_t bytes);
  // The stream is gone: every later call on the capture side fails with `reason`.
  void Invalidate(HRESULT reason);
  void SetEvent(std::shared_ptr<Event> event);
  // Drops everything that is not handed out.
  void Clear();

  // Capture thread.
  HRESULT GetNextPacketSize(uint32_t* frames);
  HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition, uint64_t* qpcPosition);
  HRESULT ReleaseBuffer(uint32_t frames);

  uint32_t QueuedFrames() const;

 private:
  struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t frames = 0;
    uint32_t flags = 0;
    uint64_t position = 0;
    uint64_t qpcHns = 0;
  };
  uint32_t AppendLocked(const uint8_t* data, size_t bytes, int64_t nowNs);
  void DropOverflowLocked();

  const uint32_t m_frameBytes;
  const uint32_t m_periodFrames;
  const uint32_t m_capacityFrames;

  mutable std::mutex m_mutex;
  std::deque<Packet> m_packets;
  std::vector<std::vector<uint8_t>> m_spare;  // storage of released packets, reused
  std::vector<uint8_t> m_partial;             // bytes of a frame split between two deliveries
  std::shared_ptr<Event> m_event;
  uint32_t m_queuedFrames = 0;
  uint64_t m_position = 0;
  bool m_handedOut = false;
  bool m_discontinuity = false;
  HRESULT m_invalidated = S_OK;
};

}  // namespace kalto::platform::audio::pulse
