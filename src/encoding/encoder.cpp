#include "encoding/encoder.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "common/counters.h"
#include "common/debug_output.h"
#include "common/exception_guard.h"
#include "encoding/bgra_image.h"
#include "encoding/encoder_cache.h"

namespace kalto {
namespace {

using namespace media;

constexpr const wchar_t* kMetadataText = L"Kalto (0.0.3)";
constexpr int64_t kTicksPerSecond = 10'000'000;

// The CPU path is announced once per process: it is the slow path, worth one line, not one per frame.
std::atomic<bool> s_cpuPathAnnounced{false};

// A texture mapped for reading for the life of the object.
class ScopedMap {
 public:
  ScopedMap(gpu::DeviceContext& context, gpu::Texture2D& texture) : m_context(context), m_texture(texture) {
    m_result = m_context.Map(m_texture, 0, gpu::MapType::Read, 0, &m_mapped);
    if (Succeeded(m_result) && m_mapped.data == nullptr) {
      m_context.Unmap(m_texture, 0);
      m_result = E_POINTER;
    }
  }
  ~ScopedMap() {
    if (Ok()) m_context.Unmap(m_texture, 0);
  }
  ScopedMap(const ScopedMap&) = delete;
  ScopedMap& operator=(const ScopedMap&) = delete;

  bool Ok() const { return Succeeded(m_result); }
  const uint8_t* Data() const { return static_cast<const uint8_t*>(m_mapped.data); }
  uint32_t RowPitch() const { return m_mapped.rowPitch; }

 private:
  gpu::DeviceContext& m_context;
  gpu::Texture2D& m_texture;
  gpu::MappedSubresource m_mapped;
  HRESULT m_result = E_FAIL;
};

// Frame size, rate, aspect and BT.709 colour: what the H.264 output and the raw input share.
void SetVideoFormat(MediaType& type, uint32_t width, uint32_t height, uint32_t fps) {
  SetAttributeSize(&type, MF_MT_FRAME_SIZE, width, height);
  SetAttributeRatio(&type, MF_MT_FRAME_RATE, fps, 1);
  SetAttributeRatio(&type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  type.SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
  type.SetUINT32(MF_MT_VIDEO_PRIMARIES, MFVideoPrimaries_BT709);
  type.SetUINT32(MF_MT_TRANSFER_FUNCTION, MFVideoTransFunc_709);
}

}  // namespace

Encoder::Encoder(std::shared_ptr<platform::Platform> platform) : m_platform(std::move(platform)) {
  const HRESULT hr = MediaStartup(MF_VERSION, MFSTARTUP_FULL);
  m_mediaStarted = Succeeded(hr);
  if (!m_mediaStarted) DebugLog<128>(L"[Encoder] Failed to initialize Media Foundation\n");
}

Encoder::~Encoder() {
  Finalize();
  ReleaseWriter();
  m_mediaBuffer.reset();
  m_stagingTexture.reset();
  m_scaler.reset();
  m_context.reset();
  m_device.reset();
  if (m_mediaStarted) MediaShutdown();
  m_colorConverter.reset();
}

void Encoder::ReleaseWriter() {
  std::lock_guard lock(m_mutex);
  m_sinkWriter.reset();
}

void Encoder::ResetCpuPathNoticeForTesting() { s_cpuPathAnnounced.store(false); }

size_t Encoder::ConvertBufferSize(const Guid& subtype, uint32_t width, uint32_t height) {
  return bgra::FrameBytes(subtype, width, height);
}

void Encoder::ConvertBgraImage(const uint8_t* source, uint32_t sourcePitch, uint32_t sourceWidth,
                               uint32_t sourceHeight, uint8_t* target, uint32_t targetWidth, uint32_t targetHeight,
                               const Guid& subtype) {
  bgra::ConvertBgraImage(source, sourcePitch, sourceWidth, sourceHeight, target, targetWidth, targetHeight, subtype);
}

VideoArea Encoder::DisplayArea(uint32_t width, uint32_t height, uint32_t codedWidth, uint32_t codedHeight) {
  const auto w = static_cast<int32_t>(codedWidth), h = static_cast<int32_t>(codedHeight);
  if (width == 0 || height == 0 || codedWidth == 0 || codedHeight == 0) return {0, 0, w, h};
  const gpu::Rect picture = GpuScaler::LetterboxRect(width, height, codedWidth, codedHeight);
  const auto even = [](int32_t v) { return std::max(v, 0) & ~1; };
  // Rows only: decoders that keep their pictures aligned in memory ignore a crop on the left, and
  // would then show a different width from the one the file states.
  const int32_t top = even(picture.top), bottom = even(h - picture.bottom);
  return {0, top, w, h - top - bottom};
}

int32_t Encoder::SelectH264Profile(int32_t requested, const std::function<HRESULT(uint32_t)>& setProfile) {
  struct Candidate {
    uint32_t value;
    int32_t profile;
  };
  static constexpr Candidate kHighFirst[] = {{eAVEncH264VProfile_High, kProfileHigh},
                                              {eAVEncH264VProfile_Main, kProfileMain},
                                              {eAVEncH264VProfile_Base, kProfileBaseline}};
  // Main then Baseline, and Baseline alone, are tails of the same list.
  std::span<const Candidate> candidates(kHighFirst);
  if (requested == kProfileMain) {
    candidates = candidates.subspan(1);
  } else if (requested != kProfileHigh) {
    candidates = candidates.subspan(2);
  }
  for (const Candidate& candidate : candidates) {
    if (Succeeded(setProfile(candidate.value))) return candidate.profile;
  }
  return kProfileBaseline;
}

bool Encoder::Initialize(const std::wstring& outputPath, uint32_t width, uint32_t height, uint32_t fps,
                         uint32_t videoBitrate, uint32_t audioSampleRate, uint32_t audioChannels,
                         uint32_t audioBitrate, bool hasAudio, int32_t profile, uint32_t qualityVsSpeed, bool cabac,
                         uint32_t bFrames, uint32_t gopSeconds) {
  try {
    if (m_isWriting) return false;
    if (fps == 0) {
      // No frame duration exists for it; the recorder never asks for it.
      DebugLog<128>(L"[Encoder] Invalid frame rate: 0\n");
      return false;
    }
    m_profile = profile;
    m_qualityVsSpeed = qualityVsSpeed;
    m_cabac = cabac;
    m_bFrames = bFrames;
    m_gopSeconds = gopSeconds;
    // Encoders work in 16x16 macroblocks; the scaler letterboxes frames into this size.
    m_width = (width + 15) & ~15u;
    m_height = (height + 15) & ~15u;
    m_fps = fps;
    m_frameDuration = kTicksPerSecond / fps;
    m_hasAudio = hasAudio;

    Guid subtype;
    bool found;
    {
      std::lock_guard lock(EncoderCache::Lock());
      found = EncoderCache::ObtainSubtypeLocked(m_width, m_height, m_fps, &subtype);
    }
    if (!found) {
      DebugLog<128>(L"[Encoder] Failed to find compatible encoder\n");
      return false;
    }
    m_inputSubtype = subtype;
    m_convertBytes = static_cast<uint32_t>(ConvertBufferSize(m_inputSubtype, m_width, m_height));

    std::shared_ptr<Attributes> attributes;
    if (Succeeded(CreateAttributes(&attributes, 4)) && attributes) {
      attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, 1);
      // Writes must never block the capture thread on the encoder.
      attributes->SetUINT32(MF_SINK_WRITER_DISABLE_THROTTLING, 1);
    } else {
      attributes.reset();
    }

    std::shared_ptr<SinkWriter> writer;
    HRESULT hr = CreateSinkWriterFromUrl(outputPath, attributes.get(), &writer);
    if (Failed(hr) || !writer) {
      DebugLog<128>(L"[Encoder] Failed to create sink writer: 0x%08X\n", HrBits(Failed(hr) ? hr : E_POINTER));
      return false;
    }
    {
      std::lock_guard lock(m_mutex);
      m_sinkWriter = writer;
    }

    // Metadata naming the engine and the encoder; the file is fine without it.
    std::wstring text = kMetadataText;
    const std::wstring encoderName = EncoderCache::EncoderName();
    if (!encoderName.empty()) text += L" - " + encoderName;
    std::shared_ptr<PropertyStore> store;
    if (Succeeded(writer->GetMediaSinkPropertyStore(&store)) && store) {
      store->SetValue(PKEY_Media_EncodedBy, text);
      store->SetValue(PKEY_Media_EncodingSettings, text);
    }

    std::shared_ptr<MediaType> videoOut;
    hr = CreateMediaType(&videoOut);
    if (Succeeded(hr)) {
      videoOut->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
      videoOut->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
      videoOut->SetUINT32(MF_MT_AVG_BITRATE, videoBitrate);
      videoOut->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
      SetVideoFormat(*videoOut, m_width, m_height, fps);
      // Players then show the requested picture without the rounding's bars.
      const VideoArea shown = DisplayArea(width, height, m_width, m_height);
      if (shown.width != static_cast<int32_t>(m_width) || shown.height != static_cast<int32_t>(m_height)) {
        SetVideoArea(videoOut.get(), MF_MT_MINIMUM_DISPLAY_APERTURE, shown);
      }
      m_effectiveProfile = SelectH264Profile(
          m_profile, [&videoOut](uint32_t value) { return videoOut->SetUINT32(MF_MT_MPEG2_PROFILE, value); });
      hr = writer->AddStream(*videoOut, &m_videoStreamIndex);
    }
    if (Failed(hr)) {
      DebugLog<128>(L"[Encoder] Failed to add video stream: 0x%08X\n", HrBits(hr));
      ReleaseWriter();
      return false;
    }

    // Baseline encoders take none of these; the bitrate goes only through the output type.
    if (m_effectiveProfile != kProfileBaseline && m_profile != kProfileBaseline) {
      std::shared_ptr<CodecApi> codec;
      if (Succeeded(writer->GetCodecApi(m_videoStreamIndex, &codec)) && codec) {
        codec->SetValue(CODECAPI_AVEncCommonQualityVsSpeed, m_qualityVsSpeed);
        if (m_cabac) codec->SetValue(CODECAPI_AVEncH264CABACEnable, 1);
        codec->SetValue(CODECAPI_AVEncMPVDefaultBPictureCount, m_bFrames);
        codec->SetValue(CODECAPI_AVEncMPVGOPSize, m_gopSeconds * m_fps);
      }
    }

    std::shared_ptr<MediaType> videoIn;
    hr = CreateMediaType(&videoIn);
    if (Succeeded(hr)) {
      videoIn->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
      videoIn->SetGUID(MF_MT_SUBTYPE, m_inputSubtype);
      videoIn->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
      SetVideoFormat(*videoIn, m_width, m_height, fps);
      hr = writer->SetInputMediaType(m_videoStreamIndex, *videoIn, nullptr);
    }
    if (Failed(hr)) {
      DebugLog<128>(L"[Encoder] Failed to set video input type: 0x%08X\n", HrBits(hr));
      ReleaseWriter();
      return false;
    }

    m_hasAudioStream = false;
    if (hasAudio) {
      std::shared_ptr<MediaType> audioOut;
      if (Succeeded(CreateMediaType(&audioOut))) {
        audioOut->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
        audioOut->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_AAC);
        audioOut->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, audioChannels);
        audioOut->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, audioSampleRate);
        audioOut->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
        audioOut->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, audioBitrate / 8);
        // Without an audio stream the recording still has its picture; later blocks are ignored.
        m_hasAudioStream = Succeeded(writer->AddStream(*audioOut, &m_audioStreamIndex));
      }
      if (m_hasAudioStream) {
        std::shared_ptr<MediaType> audioIn;
        hr = CreateMediaType(&audioIn);
        if (Succeeded(hr)) {
          audioIn->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
          audioIn->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_PCM);
          audioIn->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, audioChannels);
          audioIn->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, audioSampleRate);
          audioIn->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
          audioIn->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, audioChannels * 2);
          audioIn->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, audioSampleRate * audioChannels * 2);
          hr = writer->SetInputMediaType(m_audioStreamIndex, *audioIn, nullptr);
        }
        if (Failed(hr)) DebugLog<128>(L"[Encoder] Warning: Failed to set audio input type: 0x%08X\n", HrBits(hr));
      }
    }

    hr = writer->BeginWriting();
    if (Failed(hr)) {
      DebugLog<128>(L"[Encoder] Failed to begin writing: 0x%08X\n", HrBits(hr));
      ReleaseWriter();
      return false;
    }
    m_isWriting = true;
    return true;
  } catch (...) {
    DebugLog<128>(L"[Encoder] Initialize failed with an exception\n");
    ReleaseWriter();
    return false;
  }
}

bool Encoder::WriteVideoFrame(gpu::Texture2D* texture, int64_t timestamp) {
  try {
    return WriteVideoFrameUnguarded(texture, timestamp);
  } catch (...) {
    DebugLog<128>(L"[Encoder] WriteVideoFrame failed with an exception\n");
    return false;
  }
}

bool Encoder::WriteVideoFrameUnguarded(gpu::Texture2D* texture, int64_t timestamp) {
  if (!m_isWriting || m_isFinalized || texture == nullptr) return false;
  const gpu::TextureDesc desc = texture->GetDesc();
  if (!m_device && !TakeDevice(*texture)) return false;
  const bool encodedSize = desc.width == m_width && desc.height == m_height;

  // GPU path: the converter's NV12 picture goes straight into the sample.
  if (m_gpuConversionReady && encodedSize) {
    gpu::Texture2D* nv12 = nullptr;
    if (m_colorConverter->Convert(texture, &nv12) && nv12 != nullptr) {
      ScopedMap mapped(*m_context, *nv12);
      if (mapped.Ok() && WriteNV12Frame(mapped.Data(), mapped.RowPitch(), timestamp)) return true;
    }
  }

  // Scaler path: letterbox on the GPU into the encoded size, then convert on the CPU.
  if (!encodedSize) {
    if (!m_scaler) m_scaler = std::make_unique<GpuScaler>(m_device, m_context, m_fps);
    if (m_scaler->EnsureScaler(desc.width, desc.height, m_width, m_height) && m_scaler->ScaleFrame(texture)) {
      return WriteThroughStaging(*m_scaler->Output(), m_width, m_height, timestamp);
    }
  }

  if (!s_cpuPathAnnounced.exchange(true)) {
    DebugLog<128>(L"[Encoder] Active video path: CPU fallback/readback (may cause recording lag)\n");
  }
  return WriteThroughStaging(*texture, desc.width, desc.height, timestamp);
}

bool Encoder::TakeDevice(gpu::Texture2D& texture) {
  std::shared_ptr<gpu::Device> device = texture.GetDevice();
  if (!device) {
    DebugLog<128>(L"[Encoder] GetDevice returned null\n");
    return false;
  }
  std::shared_ptr<gpu::DeviceContext> context = device->GetImmediateContext();
  if (!context) {
    DebugLog<128>(L"[Encoder] GetImmediateContext returned null\n");
    return false;
  }
  m_device = std::move(device);
  m_context = std::move(context);
  if (m_inputSubtype == MFVideoFormat_NV12 && !m_gpuConversionReady) {
    m_colorConverter = std::make_unique<ColorConverter>(m_platform ? m_platform->gpu : nullptr);
    if (m_colorConverter->Initialize(m_device.get(), m_width, m_height)) {
      m_gpuConversionReady = true;
    } else {
      m_colorConverter.reset();
    }
  }
  return true;
}

bool Encoder::EnsureStagingTexture(uint32_t width, uint32_t height) {
  if (m_stagingTexture && m_stagingWidth == width && m_stagingHeight == height) return true;
  if (!m_device) {
    DebugLog<128>(L"[Encoder] Cannot create staging texture - no device cached\n");
    return false;
  }
  m_stagingTexture.reset();
  m_stagingWidth = m_stagingHeight = 0;
  gpu::TextureDesc desc;
  desc.width = width;
  desc.height = height;
  desc.mipLevels = 1;
  desc.arraySize = 1;
  desc.format = gpu::Format::B8G8R8A8_UNORM;
  desc.sampleCount = 1;
  desc.usage = gpu::Usage::Staging;
  desc.bindFlags = 0;
  desc.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  const HRESULT hr = m_device->CreateTexture2D(desc, nullptr, 0, &m_stagingTexture);
  if (Failed(hr) || !m_stagingTexture) {
    m_stagingTexture.reset();
    DebugLog<128>(L"[Encoder] Failed to create staging texture: 0x%08X\n", HrBits(Failed(hr) ? hr : E_POINTER));
    return false;
  }
  m_stagingWidth = width;
  m_stagingHeight = height;
  return true;
}

bool Encoder::WriteThroughStaging(gpu::Texture2D& source, uint32_t width, uint32_t height, int64_t timestamp) {
  if (!EnsureStagingTexture(width, height)) return false;
  m_context->CopyResource(*m_stagingTexture, source);
  ScopedMap mapped(*m_context, *m_stagingTexture);
  if (!mapped.Ok()) return false;
  return WriteConvertedFrame(mapped.Data(), width, height, mapped.RowPitch(), timestamp);
}

std::shared_ptr<MediaBuffer> Encoder::NewFrameBuffer(uint32_t size, uint8_t** bytes, HRESULT* hr) {
  // A buffer per frame, handed over read-only: the writer keeps a reference, not a copy.
  std::shared_ptr<MediaBuffer> buffer;
  *hr = CreateMemoryBuffer(size, &buffer);
  if (Succeeded(*hr) && !buffer) *hr = E_OUTOFMEMORY;
  if (Failed(*hr)) return nullptr;
  *bytes = nullptr;
  if (Failed(*hr = buffer->Lock(bytes, nullptr, nullptr)) || *bytes == nullptr) return nullptr;
  return buffer;
}

HRESULT Encoder::WriteVideoSample(int64_t timestamp) {
  std::shared_ptr<Sample> sample;
  HRESULT hr = CreateSample(&sample);
  if (Failed(hr) || !sample) return Failed(hr) ? hr : E_OUTOFMEMORY;
  sample->AddBuffer(m_mediaBuffer);
  sample->SetSampleTime(timestamp);
  sample->SetSampleDuration(m_frameDuration);
  hr = m_sinkWriter->WriteSample(m_videoStreamIndex, *sample);
  NoteWriteResult(hr);
  if (Succeeded(hr)) m_hasLastFrame = true;
  return hr;
}

void Encoder::NoteWriteResult(HRESULT hr) {
  // A full queue, a sample out of order or a writer already finishing refuse one sample only.
  if (Succeeded(hr) || hr == MF_E_NOTACCEPTING || hr == E_INVALIDARG || hr == MF_E_INVALIDREQUEST) return;
  HRESULT none = S_OK;
  m_writerError.compare_exchange_strong(none, hr);
}

bool Encoder::RepeatLastFrame(int64_t timestamp) {
  std::lock_guard lock(m_mutex);
  if (!m_isWriting || m_isFinalized || !m_sinkWriter || !m_hasLastFrame || !m_mediaBuffer) return false;
  return Succeeded(WriteVideoSample(timestamp));
}

std::wstring Encoder::DescribeWriteError(HRESULT hr, bool finalizing) {
  const std::wstring lead = finalizing ? L"Could not finish the recording's file" : L"Could not write the recording";
  switch (static_cast<uint32_t>(hr)) {
    case 0x80070070u:  // ERROR_DISK_FULL
      return lead + L": the disk is full";
    case 0x800700DFu:  // ERROR_FILE_TOO_LARGE
      return lead + L": the file is larger than the file system allows";
    case 0x80070005u:  // E_ACCESSDENIED
      return lead + L": permission denied";
    case 0x80070003u:  // ERROR_PATH_NOT_FOUND
      return lead + L": its folder is gone";
    default:
      return lead + FormatWide<64>(L" (error 0x%08X)", HrBits(hr));
  }
}

bool Encoder::WriteNV12Frame(const uint8_t* data, uint32_t rowPitch, int64_t timestamp) {
  if (!m_isWriting || m_isFinalized || data == nullptr) return false;
  const uint32_t frameBytes = m_width * m_height * 3 / 2;
  uint8_t* dst = nullptr;
  HRESULT hr = S_OK;
  std::shared_ptr<MediaBuffer> buffer = NewFrameBuffer(frameBytes, &dst, &hr);
  if (!buffer) {
    DebugLog<128>(L"[Encoder] Failed to create NV12 buffer: 0x%08X\n", HrBits(hr));
    return false;
  }
  if (rowPitch == m_width) {
    std::memcpy(dst, data, frameBytes);
  } else {
    // Luma rows, then the interleaved chroma rows that follow them in the source, packed tightly.
    for (uint32_t y = 0; y < m_height + m_height / 2; ++y) {
      std::memcpy(dst + size_t(y) * m_width, data + size_t(y) * rowPitch, m_width);
    }
  }
  if (!SubmitFrameBuffer(std::move(buffer), frameBytes, timestamp, &hr)) {
    if (Succeeded(hr)) return false;  // no longer writing
    // A full queue refuses frame after frame; the 1st, 11th, 21st... refusal is enough to see it.
    if (IsEveryNthFromFirst(++m_nv12WriteFailures, 10)) {
      DebugLog<128>(L"[Encoder] WriteNV12Frame failed: 0x%08X\n", HrBits(hr));
    }
    return false;
  }
  return true;
}

bool Encoder::WriteConvertedFrame(const uint8_t* data, uint32_t width, uint32_t height, uint32_t rowPitch,
                                  int64_t timestamp) {
  if (!m_isWriting || m_isFinalized) return false;
  // Converted straight into the frame's own buffer, outside the lock, so that audio blocks are
  // never held up by a picture.
  uint8_t* dst = nullptr;
  HRESULT hr = S_OK;
  std::shared_ptr<MediaBuffer> buffer = NewFrameBuffer(m_convertBytes, &dst, &hr);
  if (!buffer) {
    DebugLog<128>(L"[Encoder] Failed to create video buffer\n");
    return false;
  }
  ConvertBgraImage(data, rowPitch, width, height, dst, m_width, m_height, m_inputSubtype);
  return SubmitFrameBuffer(std::move(buffer), m_convertBytes, timestamp, &hr);
}

bool Encoder::SubmitFrameBuffer(std::shared_ptr<MediaBuffer> buffer, uint32_t length, int64_t timestamp, HRESULT* hr) {
  buffer->Unlock();
  buffer->SetCurrentLength(length);
  buffer->SetReadOnly();
  std::lock_guard lock(m_mutex);
  if (!m_isWriting || m_isFinalized || !m_sinkWriter) return false;
  m_mediaBuffer = std::move(buffer);
  *hr = WriteVideoSample(timestamp);
  return Succeeded(*hr);
}

void Encoder::WriteAudioSamples(const uint8_t* data, uint32_t byteCount, int64_t timestamp, int64_t duration) {
  GuardedCall([&] {
    if (!m_isWriting || m_isFinalized || !m_hasAudio || !m_hasAudioStream || data == nullptr) return;
    std::lock_guard lock(m_mutex);
    if (m_isFinalized || !m_sinkWriter) return;
    std::shared_ptr<MediaBuffer> buffer;
    if (Failed(CreateMemoryBuffer(byteCount, &buffer)) || !buffer) return;
    uint8_t* dst = nullptr;
    uint32_t maxLength = 0, currentLength = 0;
    if (Failed(buffer->Lock(&dst, &maxLength, &currentLength)) || dst == nullptr) return;
    if (byteCount > 0) std::memcpy(dst, data, byteCount);
    buffer->Unlock();
    buffer->SetCurrentLength(byteCount);
    std::shared_ptr<Sample> sample;
    if (Failed(CreateSample(&sample)) || !sample) return;
    sample->AddBuffer(std::move(buffer));
    sample->SetSampleTime(timestamp);
    sample->SetSampleDuration(duration);
    NoteWriteResult(m_sinkWriter->WriteSample(m_audioStreamIndex, *sample));
  });
}

bool Encoder::Finalize() {
  if (!m_isWriting || m_isFinalized) return Succeeded(m_writerError.load());
  std::lock_guard lock(m_mutex);
  if (m_isFinalized) return Succeeded(m_writerError.load());
  HRESULT hr = E_UNEXPECTED;
  if (m_sinkWriter) {
    if (!GuardedCall([&] { hr = m_sinkWriter->Finalize(); })) hr = E_UNEXPECTED;
  }
  if (Failed(hr)) {
    HRESULT none = S_OK;
    m_writerError.compare_exchange_strong(none, hr);
    DebugLog<128>(L"[Encoder] WARNING: Finalize failed: 0x%08X\n", HrBits(hr));
  }
  m_sinkWriter.reset();
  m_isFinalized = true;
  return Succeeded(m_writerError.load());
}

}  // namespace kalto
