#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "encoding/color_converter.h"
#include "encoding/gpu_scaler.h"
#include "platform/gpu/gpu_device.h"
#include "platform/media/media_foundation.h"
#include "platform/platform.h"

namespace kalto {

// Writes one recording: an MP4 file with one H.264 video stream and optionally one AAC stream,
// through the media platform's sink writer. BGRA frames reach the encoder's input subtype by one
// of three paths: the GPU NV12 converter (frames of exactly the encoded size), the GPU scaler
// followed by CPU conversion (frames of another size), or a CPU read-back and conversion.
//
// Threads: WriteVideoFrame on the capture's delivery thread (it uses the frame device's immediate
// context unlocked), WriteAudioSamples on the audio output thread, Finalize on any thread;
// m_mutex serialises every sample write and Finalize.
class Encoder {
 public:
  // H.264 profiles as Initialize takes them.
  static constexpr int32_t kProfileHigh = 0;
  static constexpr int32_t kProfileMain = 1;
  static constexpr int32_t kProfileBaseline = 2;

  // `platform->gpu` compiles the colour converter's kernel; frames bring their own device.
  explicit Encoder(std::shared_ptr<platform::Platform> platform = platform::DefaultPlatform());
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  // Called once; fps 0 is refused.
  bool Initialize(const std::wstring& outputPath, uint32_t width, uint32_t height, uint32_t fps, uint32_t videoBitrate,
                  uint32_t audioSampleRate, uint32_t audioChannels, uint32_t audioBitrate, bool hasAudio,
                  int32_t profile = kProfileMain, uint32_t qualityVsSpeed = 50, bool cabac = true,
                  uint32_t bFrames = 0, uint32_t gopSeconds = 1);
  // `texture` is borrowed for the call. True when a sample was written.
  bool WriteVideoFrame(gpu::Texture2D* texture, int64_t timestamp);
  // Interleaved 16-bit PCM; failures are silent.
  void WriteAudioSamples(const uint8_t* data, uint32_t byteCount, int64_t timestamp, int64_t duration);
  // Writes the last written picture again at `timestamp` (a still screen sends no frames, yet the
  // video must last as long as the recording). False when there is none or the write failed.
  bool RepeatLastFrame(int64_t timestamp);
  // Ends the file; idempotent. False when the file could not be completed (GetWriterError says
  // why); what was written before the failure stays readable.
  bool Finalize();
  // The first failure of the file itself (disk full, write error, a failed finalise); S_OK while
  // there is none. Refusals that only skip one sample (a full queue) are not failures.
  HRESULT GetWriterError() const { return m_writerError.load(); }
  // A sentence for the user about `hr`.
  static std::wstring DescribeWriteError(HRESULT hr, bool finalizing);

  uint32_t GetWidth() const { return m_width; }
  uint32_t GetHeight() const { return m_height; }
  uint32_t GetFps() const { return m_fps; }
  int64_t GetFrameDuration() const { return m_frameDuration; }
  const media::Guid& GetInputSubtype() const { return m_inputSubtype; }
  int32_t GetEffectiveProfile() const { return m_effectiveProfile; }
  bool IsWriting() const { return m_isWriting.load(); }
  bool IsFinalized() const { return m_isFinalized.load(); }
  bool IsGpuConversionReady() const { return m_gpuConversionReady; }

  // Converts a BGRA picture into `target` (one frame of `subtype` at targetWidth x targetHeight):
  // aspect ratio kept, centred, black around it, BT.709 limited range.
  static void ConvertBgraImage(const uint8_t* source, uint32_t sourcePitch, uint32_t sourceWidth,
                               uint32_t sourceHeight, uint8_t* target, uint32_t targetWidth, uint32_t targetHeight,
                               const media::Guid& subtype);
  // The part of a codedWidth x codedHeight picture to display when a width x height picture is
  // letterboxed into it: the bars above and below, cropped as far as whole chroma rows allow.
  static media::VideoArea DisplayArea(uint32_t width, uint32_t height, uint32_t codedWidth, uint32_t codedHeight);
  // Bytes of one frame of `subtype` at width x height.
  static size_t ConvertBufferSize(const media::Guid& subtype, uint32_t width, uint32_t height);
  // Tries the candidates for `requested` (High: High, Main, Baseline; Main: Main, Baseline;
  // otherwise Baseline) with `setProfile` until one is accepted; the profile set, in the
  // requested coding (Baseline when none was accepted).
  static int32_t SelectH264Profile(int32_t requested, const std::function<HRESULT(uint32_t)>& setProfile);

  // The process-wide "CPU path announced" flag, for tests that check the one-time line.
  static void ResetCpuPathNoticeForTesting();

 private:
  bool WriteVideoFrameUnguarded(gpu::Texture2D* texture, int64_t timestamp);
  bool TakeDevice(gpu::Texture2D& texture);
  bool EnsureStagingTexture(uint32_t width, uint32_t height);
  // Copies `source` to the staging texture, maps it and writes it converted.
  bool WriteThroughStaging(gpu::Texture2D& source, uint32_t width, uint32_t height, int64_t timestamp);
  bool WriteNV12Frame(const uint8_t* data, uint32_t rowPitch, int64_t timestamp);
  bool WriteConvertedFrame(const uint8_t* data, uint32_t width, uint32_t height, uint32_t rowPitch, int64_t timestamp);
  // A frame's own buffer, `size` bytes long, locked for filling; null (and the reason) when none.
  std::shared_ptr<media::MediaBuffer> NewFrameBuffer(uint32_t size, uint8_t** bytes, HRESULT* hr);
  // Under m_mutex: wraps m_mediaBuffer (current length set) in a sample and writes it.
  HRESULT WriteVideoSample(int64_t timestamp);
  // Seals a filled frame buffer and writes it as the current picture: false (hr untouched) when
  // the file is no longer being written, else whether the writer took it (its result in *hr).
  bool SubmitFrameBuffer(std::shared_ptr<media::MediaBuffer> buffer, uint32_t length, int64_t timestamp, HRESULT* hr);
  // Keeps the first writer failure that is not a one-sample refusal.
  void NoteWriteResult(HRESULT hr);
  void ReleaseWriter();

  std::shared_ptr<platform::Platform> m_platform;
  bool m_mediaStarted = false;

  std::shared_ptr<media::SinkWriter> m_sinkWriter;
  uint32_t m_videoStreamIndex = 0;
  uint32_t m_audioStreamIndex = 0;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
  uint32_t m_fps = 30;
  int64_t m_frameDuration = 10'000'000 / 30;
  media::Guid m_inputSubtype{};
  uint32_t m_convertBytes = 0;
  std::atomic<bool> m_isWriting{false};
  std::atomic<bool> m_isFinalized{false};
  bool m_hasAudio = false;
  bool m_hasAudioStream = false;
  std::mutex m_mutex;
  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<gpu::Texture2D> m_stagingTexture;
  uint32_t m_stagingWidth = 0;
  uint32_t m_stagingHeight = 0;
  // The last frame written, never written to again: repeats send it once more.
  std::shared_ptr<media::MediaBuffer> m_mediaBuffer;
  std::unique_ptr<GpuScaler> m_scaler;
  std::unique_ptr<ColorConverter> m_colorConverter;
  bool m_gpuConversionReady = false;
  int32_t m_profile = kProfileMain;
  int32_t m_effectiveProfile = kProfileBaseline;
  uint32_t m_qualityVsSpeed = 50;
  bool m_cabac = true;
  uint32_t m_bFrames = 0;
  uint32_t m_gopSeconds = 1;
  // Refused NV12 writes, for thinning their line (under m_mutex).
  int64_t m_nv12WriteFailures = 0;
  // m_mediaBuffer holds the last picture written (under m_mutex).
  bool m_hasLastFrame = false;
  std::atomic<HRESULT> m_writerError{S_OK};
};

}  // namespace kalto
