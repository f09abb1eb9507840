#pragma once
// The MP4 sink writer on libavcodec/libavformat.
//
// Encoding runs on the writer's own thread behind a bounded queue, so WriteSample only copies the
// sample: video takes at most KALTO_SINK_WRITER_VIDEO_QUEUE_FRAMES frames (default
// kDefaultVideoQueueFrames), audio at most kAudioQueueBlocks blocks, counted separately so a video
// backlog never refuses audio. A full queue refuses the sample with MF_E_NOTACCEPTING.
//
// Crash safety: while recording, the file is a fragmented MP4 (a fragment at every key frame and
// at least every kFragmentMs), handed to the kernel as each fragment completes and flushed to disk
// at most every kSyncIntervalMs by a thread of its own (slow storage must not hold up the
// encoding thread and its bounded queue); a killed process leaves a file that plays up to its last
// fragment. Finalize rewrites it into a regular MP4 (one index, moov after mdat) in a temporary
// file beside it and renames that over the original, so a crash during the rewrite still leaves
// the fragmented file.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/media/ffmpeg/av_handles.h"
#include "platform/media/ffmpeg/ffmpeg_codecs.h"
#include "platform/media/media_foundation.h"

namespace kalto::media::ffmpeg {

inline constexpr int kFragmentMs = 500;
inline constexpr int kSyncIntervalMs = 1000;

HRESULT CreateFfmpegSinkWriter(const std::wstring& url, const Attributes* attributes, std::shared_ptr<SinkWriter>* writer);

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : m_fd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return m_fd; }
  // Closes; returns false when close reported an error.
  bool Reset();

 private:
  int m_fd = -1;
};

struct CodecSettingsState;
struct MetadataState;

class FfmpegSinkWriter final : public SinkWriter {
 public:
  FfmpegSinkWriter(std::string path, UniqueFd file, bool allowHardware, uint32_t videoQueueFrames);
  ~FfmpegSinkWriter() override;

  HRESULT AddStream(const MediaType& outputType, uint32_t* streamIndex) override;
  HRESULT SetInputMediaType(uint32_t streamIndex, const MediaType& inputType, const Attributes* encodingParameters) override;
  HRESULT GetCodecApi(uint32_t streamIndex, std::shared_ptr<CodecApi>* codecApi) override;
  HRESULT GetMediaSinkPropertyStore(std::shared_ptr<PropertyStore>* store) override;
  HRESULT BeginWriting() override;
  HRESULT WriteSample(uint32_t streamIndex, const Sample& sample) override;
  HRESULT Finalize() override;

  // The codec the video stream was opened with ("libx264"), empty before SetInputMediaType.
  std::string VideoEncoderName(uint32_t streamIndex) const;
  // Test hook: while held, the encoding thread takes nothing from the queue (Finalize releases it).
  void HoldEncodingForTesting(bool hold);
  // Samples waiting in the queue.
  size_t QueuedVideoFrames() const;
  size_t QueuedAudioBlocks() const;

 private:
  enum class State { Configuring, Writing, Finalized };
  struct Stream;
  struct Item {
    uint32_t stream = 0;
    std::vector<uint8_t> bytes;
    // Video: the picture in a pooled, reference-counted buffer, which the codec takes a
    // reference to instead of copying (and allocating) it again.
    BufferRefPtr picture;
    int64_t time = 0;
    int64_t duration = 0;
  };

  // The sample's one read-only buffer as a buffer reference, or null: then the bytes are copied.
  static BufferRefPtr ReferencePicture(const Sample& sample, uint32_t length);
  HRESULT OpenVideoEncoderFor(Stream& stream);
  void EncodingThread();
  HRESULT Encode(Item& item);
  HRESULT EncodeVideo(Stream& stream, Item& item);
  HRESULT EncodeAudio(Stream& stream, const Item& item);
  HRESULT EncodeAudioFrames(Stream& stream, bool flush);
  HRESULT Drain(Stream& stream);
  HRESULT Mux(Stream& stream, AVPacket* packet);
  HRESULT FlushAndClose();
  HRESULT CloseAfterWriteFailure();
  void SyncIfDue(bool force);
  void StopThread();
  void SyncLoop();
  void StopSyncThread();

  // Fixed at creation.
  const std::string m_path;
  const bool m_allowHardware;
  const uint32_t m_videoQueueFrames;
  std::shared_ptr<MetadataState> m_metadata;

  // Configuration, then the encoding thread's own (no lock: the thread starts after
  // BeginWriting and is joined before Finalize touches them again).
  std::vector<std::unique_ptr<Stream>> m_streams;
  UniqueFd m_file;
  CustomAvioPtr m_io;
  OutputFormatPtr m_format;
  int64_t m_timelineShift = 0;  // 100 ns added to every timestamp while fragmented
  int64_t m_lastSyncNs = 0;
  int64_t m_completeBytes = 0;  // the file up to its last complete fragment
  std::atomic<bool> m_dirty{false};
  // The periodic sync, off the encoding thread; m_file stays open until it is joined.
  std::mutex m_syncMutex;
  std::condition_variable m_syncWake;
  bool m_syncStopping = false;
  std::thread m_syncThread;

  // Shared between callers and the encoding thread.
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  State m_state = State::Configuring;
  std::deque<Item> m_queue;
  std::vector<std::vector<uint8_t>> m_spareBuffers;
  size_t m_queuedVideo = 0;
  size_t m_queuedAudio = 0;
  bool m_stopping = false;
  bool m_hold = false;
  HRESULT m_error = S_OK;
  std::vector<int64_t> m_lastVideoTime;  // per stream, for the monotonic check
  std::thread m_thread;
};

// Rewrites a fragmented MP4 as a regular one at `output`, with these metadata tags, each track
// starting at its entry of `trackStarts` (first decode time, 100 ns).
HRESULT RemuxToRegularMp4(const std::string& input, const std::string& output, const AVDictionary* metadata,
                          const std::vector<int64_t>& trackStarts);

}  // namespace kalto::media::ffmpeg
