#include "platform/media/ffmpeg/ffmpeg_sink_writer.h"

#include <pthread.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include "common/debug_output.h"
#include "common/native_path.h"
#include "common/steady_clock.h"

namespace kalto::media::ffmpeg {

// ---- Small helpers ---------------------------------------------------------------------------
UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

bool UniqueFd::Reset() {
  if (m_fd < 0) return true;
  const int result = ::close(m_fd);
  m_fd = -1;
  return result == 0;
}

namespace {

constexpr int64_t kHundredNs = 10'000'000;

HRESULT HrFromErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS: return E_ACCESSDENIED;
    case ENOENT:
    case ENOTDIR: return HrFromWin32(3);  // ERROR_PATH_NOT_FOUND
    case ENOSPC:
    case EDQUOT: return HrFromWin32(112);  // ERROR_DISK_FULL
    case EFBIG: return HrFromWin32(223);   // ERROR_FILE_TOO_LARGE
    case EIO: return HrFromWin32(1117);    // ERROR_IO_DEVICE
    case ENOMEM: return E_OUTOFMEMORY;
    default: return E_FAIL;
  }
}

HRESULT HrFromAv(int error) {
  if (error == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
  if (error == AVERROR(EINVAL)) return E_INVALIDARG;
  if (error < 0 && error > -4096) return HrFromErrno(-error);
  return E_FAIL;
}

struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
// AVDictionary is built through AVDictionary**, so the owner keeps the raw pointer in a box.
class Dictionary {
 public:
  Dictionary() = default;
  ~Dictionary() { av_dict_free(&m_dict); }
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  void Set(const char* key, const char* value) { av_dict_set(&m_dict, key, value, 0); }
  AVDictionary** address() { return &m_dict; }
  const AVDictionary* get() const { return m_dict; }

 private:
  AVDictionary* m_dict = nullptr;
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The final rewrite's file beside `path`. Its name must fit the folder's name length limit, or
// a name near the limit could never be rewritten: the original name is shortened (at a character
// boundary) to make room for the suffix.
std::string TemporaryPathBeside(const std::string& path) {
  const std::string suffix = ".finalizing.mp4";
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (limit <= 0) limit = 255;
  std::string name = path.substr(nameStart);
  const size_t room = static_cast<size_t>(limit) > suffix.size() ? static_cast<size_t>(limit) - suffix.size() : 0;
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return path.substr(0, nameStart) + name + suffix;
}

// Hardware encoders that failed to open once are not tried again in this process: a missing
// device does not appear later, and each failed attempt logs and costs time.
std::mutex g_failedHardwareMutex;
std::set<std::string> g_failedHardware;

bool HardwareKnownBroken(const AVCodec* codec) {
  std::lock_guard lock(g_failedHardwareMutex);
  return g_failedHardware.count(codec->name) != 0;
}
void MarkHardwareBroken(const AVCodec* codec) {
  std::lock_guard lock(g_failedHardwareMutex);
  g_failedHardware.insert(codec->name);
}

}  // namespace

// ---- Codec settings and metadata services ----------------------------------------------------
struct CodecSettingsState {
  std::mutex mutex;
  std::optional<uint32_t> qualityVsSpeed;
  std::optional<uint32_t> cabac;
  std::optional<uint32_t> bFrames;
  std::optional<uint32_t> gopSize;
  uint64_t version = 0;
  bool locked = false;  // after BeginWriting

  void ApplyTo(VideoSettings* settings) {
    std::lock_guard lock(mutex);
    settings->qualityVsSpeed = qualityVsSpeed;
    settings->cabac = cabac;
    settings->bFrames = bFrames;
    settings->gopSize = gopSize;
  }
};

namespace {

class FfmpegCodecApi final : public CodecApi {
 public:
  explicit FfmpegCodecApi(std::shared_ptr<CodecSettingsState> state) : m_state(std::move(state)) {}

  HRESULT SetValue(const Guid& api, uint32_t value) override {
    std::lock_guard lock(m_state->mutex);
    std::optional<uint32_t>* slot = Slot(api);
    if (slot == nullptr) return E_NOTIMPL;
    if (m_state->locked) return MF_E_INVALIDREQUEST;
    if (api == CODECAPI_AVEncCommonQualityVsSpeed && value > 100) return E_INVALIDARG;
    if (api == CODECAPI_AVEncH264CABACEnable && value > 1) return E_INVALIDARG;
    if (api == CODECAPI_AVEncMPVDefaultBPictureCount && value > 16) return E_INVALIDARG;
    *slot = value;
    ++m_state->version;
    return S_OK;
  }

  HRESULT GetValue(const Guid& api, uint32_t* value) override {
    if (value == nullptr) return E_POINTER;
    std::lock_guard lock(m_state->mutex);
    std::optional<uint32_t>* slot = Slot(api);
    if (slot == nullptr) return E_NOTIMPL;
    if (!slot->has_value()) return MF_E_ATTRIBUTENOTFOUND;
    *value = **slot;
    return S_OK;
  }

  bool IsSupported(const Guid& api) override { return Slot(api) != nullptr; }

 private:
  std::optional<uint32_t>* Slot(const Guid& api) {
    if (api == CODECAPI_AVEncCommonQualityVsSpeed) return &m_state->qualityVsSpeed;
    if (api == CODECAPI_AVEncH264CABACEnable) return &m_state->cabac;
    if (api == CODECAPI_AVEncMPVDefaultBPictureCount) return &m_state->bFrames;
    if (api == CODECAPI_AVEncMPVGOPSize) return &m_state->gopSize;
    return nullptr;
  }

  std::shared_ptr<CodecSettingsState> m_state;
};

}  // namespace

struct MetadataState {
  std::mutex mutex;
  std::optional<std::wstring> encodedBy;
  std::optional<std::wstring> encodingSettings;
  bool locked = false;

  void FillDictionary(Dictionary* dictionary) {
    std::lock_guard lock(mutex);
    if (encodedBy) dictionary->Set("encoded_by", WideToUtf8(*encodedBy).c_str());
    if (encodingSettings) dictionary->Set("encoding_settings", WideToUtf8(*encodingSettings).c_str());
  }
};

namespace {

class FfmpegPropertyStore final : public PropertyStore {
 public:
  explicit FfmpegPropertyStore(std::shared_ptr<MetadataState> state) : m_state(std::move(state)) {}

  HRESULT SetValue(const PropertyKey& key, const std::wstring& value) override {
    std::lock_guard lock(m_state->mutex);
    std::optional<std::wstring>* slot = Slot(key);
    if (slot == nullptr) return E_INVALIDARG;
    if (m_state->locked) return MF_E_INVALIDREQUEST;
    *slot = value;
    return S_OK;
  }

  HRESULT GetValue(const PropertyKey& key, std::wstring* value) override {
    if (value == nullptr) return E_POINTER;
    std::lock_guard lock(m_state->mutex);
    std::optional<std::wstring>* slot = Slot(key);
    if (slot == nullptr) return E_INVALIDARG;
    *value = slot->value_or(std::wstring());
    return S_OK;
  }

 private:
  std::optional<std::wstring>* Slot(const PropertyKey& key) {
    if (key == PKEY_Media_EncodedBy) return &m_state->encodedBy;
    if (key == PKEY_Media_EncodingSettings) return &m_state->encodingSettings;
    return nullptr;
  }

  std::shared_ptr<MetadataState> m_state;
};

}  // namespace

// ---- Streams ---------------------------------------------------------------------------------
struct FfmpegSinkWriter::Stream {
  bool video = true;
  MediaType outputType;
  bool hasInput = false;
  AVStream* avStream = nullptr;
  CodecContextPtr encoder;

  // Video.
  std::shared_ptr<CodecSettingsState> codecSettings;
  uint64_t openedSettingsVersion = 0;
  VideoSettings settings;
  Guid inputSubtype;
  AVPixelFormat inputFormat = AV_PIX_FMT_NONE;
  const AVCodec* codec = nullptr;
  BufferPoolPtr picturePool;  // sized for one input picture; made with the first sample
  size_t picturePoolSize = 0;
  SwsPtr converter;  // only when the encoder cannot take the input format itself
  FramePtr converted;
  std::map<int64_t, int64_t> durations;  // pts -> duration, in frames, until the packet comes out
  int64_t lastSlot = AV_NOPTS_VALUE;  // pts of the last picture sent
  int64_t defaultDuration = 0;
  int64_t firstDts = AV_NOPTS_VALUE;  // 100 ns, as the encoder gave it

  // Audio.
  uint32_t channels = 0;
  uint32_t sampleRate = 0;
  uint32_t bitrate = 0;
  std::vector<std::vector<float>> fifo;  // one plane per channel
  size_t fifoStart = 0;
  FramePtr audioFrame;  // reused: an AAC frame every 21 ms need not allocate
  int64_t nextPts = 0;  // of the first sample in the fifo, in samples
  bool timelineStarted = false;

  size_t FifoFrames() const { return fifo.empty() ? 0 : fifo[0].size() - fifoStart; }
};

// ---- Creation --------------------------------------------------------------------------------
HRESULT CreateFfmpegSinkWriter(const std::wstring& url, const Attributes* attributes, std::shared_ptr<SinkWriter>* writer) {
  if (writer == nullptr) return E_POINTER;
  const std::string path = NativePathFromWide(url);
  const std::string lower = Lower(path);
  if (!EndsWith(lower, ".mp4") && !EndsWith(lower, ".m4v")) return MF_E_UNSUPPORTED_BYTESTREAM_TYPE;
  bool allowHardware = false;
  uint32_t queueFrames = kDefaultVideoQueueFrames;
  if (attributes != nullptr) {
    uint32_t value = 0;
    if (Succeeded(attributes->GetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, &value))) allowHardware = value != 0;
    if (Succeeded(attributes->GetUINT32(KALTO_SINK_WRITER_VIDEO_QUEUE_FRAMES, &value)) && value > 0) queueFrames = value;
    // MF_SINK_WRITER_DISABLE_THROTTLING: writes never wait on the encoder here in any case.
    // MF_SINK_WRITER_D3D_MANAGER: frames arrive in system memory; nothing uses the device yet.
  }
  UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (file.get() < 0) return HrFromErrno(errno);
  *writer = std::make_shared<FfmpegSinkWriter>(path, std::move(file), allowHardware, queueFrames);
  return S_OK;
}

FfmpegSinkWriter::FfmpegSinkWriter(std::string path, UniqueFd file, bool allowHardware, uint32_t videoQueueFrames)
    : m_path(std::move(path)),
      m_allowHardware(allowHardware),
      m_videoQueueFrames(videoQueueFrames),
      m_metadata(std::make_shared<MetadataState>()),
      m_file(std::move(file)) {}

FfmpegSinkWriter::~FfmpegSinkWriter() {
  // Without Finalize the file stays as a crash would leave it: playable up to its last fragment.
  StopThread();
  StopSyncThread();
}

void FfmpegSinkWriter::SyncLoop() {
  std::unique_lock lock(m_syncMutex);
  while (!m_syncStopping) {
    m_syncWake.wait_for(lock, std::chrono::milliseconds(kSyncIntervalMs), [this] { return m_syncStopping; });
    if (m_syncStopping) break;
    // Reaching the kernel already survives a killed process; this covers a power cut.
    if (m_dirty.exchange(false)) ::fdatasync(m_file.get());
  }
}

void FfmpegSinkWriter::StopSyncThread() {
  {
    std::lock_guard lock(m_syncMutex);
    m_syncStopping = true;
  }
  m_syncWake.notify_all();
  if (m_syncThread.joinable()) m_syncThread.join();
}

void FfmpegSinkWriter::StopThread() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

// ---- Configuration ---------------------------------------------------------------------------
HRESULT FfmpegSinkWriter::AddStream(const MediaType& type, uint32_t* streamIndex) {
  if (streamIndex == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (m_state != State::Configuring) return MF_E_INVALIDREQUEST;
  Guid major, subtype;
  if (Failed(type.GetGUID(MF_MT_MAJOR_TYPE, &major)) || Failed(type.GetGUID(MF_MT_SUBTYPE, &subtype))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  auto stream = std::make_unique<Stream>();
  stream->outputType = type;
  if (major == MFMediaType_Video) {
    if (subtype != MFVideoFormat_H264) return MF_E_INVALIDMEDIATYPE;
    HRESULT hr = VideoSettingsFromOutputType(type, &stream->settings);
    if (Failed(hr)) return hr;
    stream->codecSettings = std::make_shared<CodecSettingsState>();
    stream->defaultDuration = kHundredNs * stream->settings.fpsDen / stream->settings.fpsNum;
  } else if (major == MFMediaType_Audio) {
    // The values the platform's AAC encoder accepts.
    uint32_t channels = 0, rate = 0, bits = 16, bytesPerSecond = 0;
    if (subtype != MFAudioFormat_AAC || Failed(type.GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) ||
        Failed(type.GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) ||
        Failed(type.GetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, &bytesPerSecond))) {
      return MF_E_INVALIDMEDIATYPE;
    }
    type.GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits);
    const bool channelsOk = channels == 1 || channels == 2 || channels == 6;
    const bool rateOk = rate == 44100 || rate == 48000;
    const bool bitrateOk = bytesPerSecond == 12000 || bytesPerSecond == 16000 || bytesPerSecond == 20000 || bytesPerSecond == 24000;
    if (!channelsOk || !rateOk || !bitrateOk || bits != 16) return MF_E_INVALIDMEDIATYPE;
    stream->video = false;
    stream->channels = channels;
    stream->sampleRate = rate;
    stream->bitrate = bytesPerSecond * 8;
  } else {
    return MF_E_INVALIDMEDIATYPE;
  }
  *streamIndex = static_cast<uint32_t>(m_streams.size());
  m_streams.push_back(std::move(stream));
  m_lastVideoTime.push_back(INT64_MIN);
  return S_OK;
}

HRESULT FfmpegSinkWriter::OpenVideoEncoderFor(Stream& stream) {
  VideoSettings settings = stream.settings;
  stream.codecSettings->ApplyTo(&settings);
  {
    std::lock_guard lock(stream.codecSettings->mutex);
    stream.openedSettingsVersion = stream.codecSettings->version;
  }
  settings.globalHeader = true;
  for (const H264Encoder& candidate : ListH264Encoders()) {
    if (candidate.hardware && (!m_allowHardware || HardwareKnownBroken(candidate.codec))) continue;
    const AVCodec* codec = candidate.codec;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    for (AVPixelFormat f : {stream.inputFormat, AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P}) {
      if (CodecTakes(codec, f)) {
        format = f;
        break;
      }
    }
    if (format == AV_PIX_FMT_NONE) continue;
    settings.pixelFormat = format;
    CodecContextPtr context;
    if (Failed(OpenVideoEncoder(codec, settings, &context))) {
      if (candidate.hardware) MarkHardwareBroken(codec);
      continue;
    }
    stream.converter.reset();
    stream.converted.reset();
    if (format != stream.inputFormat) {
      // The conversion the platform inserts in front of an encoder that cannot take the format.
      const int w = static_cast<int>(settings.width), h = static_cast<int>(settings.height);
      stream.converter.reset(sws_getContext(w, h, stream.inputFormat, w, h, format, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr,
                                            nullptr, nullptr));
      stream.converted = MakeFrame();
      if (!stream.converter || !stream.converted) return E_OUTOFMEMORY;
      stream.converted->format = format;
      stream.converted->width = w;
      stream.converted->height = h;
      if (av_frame_get_buffer(stream.converted.get(), 0) < 0) return E_OUTOFMEMORY;
      const bool rgb = stream.inputFormat == AV_PIX_FMT_BGR0 || stream.inputFormat == AV_PIX_FMT_BGRA;
      const int matrix = settings.matrix == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
      sws_setColorspaceDetails(stream.converter.get(), sws_getCoefficients(rgb ? SWS_CS_DEFAULT : matrix), rgb ? 1 : 0,
                               sws_getCoefficients(matrix), settings.range == AVCOL_RANGE_JPEG ? 1 : 0, 0, 1 << 16, 1 << 16);
    }
    stream.codec = codec;
    stream.encoder = std::move(context);
    return S_OK;
  }
  return MF_E_INVALIDMEDIATYPE;
}

HRESULT FfmpegSinkWriter::SetInputMediaType(uint32_t streamIndex, const MediaType& type, const Attributes*) {
  std::lock_guard lock(m_mutex);
  if (m_state != State::Configuring) return MF_E_INVALIDREQUEST;
  if (streamIndex >= m_streams.size()) return MF_E_INVALIDSTREAMNUMBER;
  Stream& stream = *m_streams[streamIndex];
  Guid major, subtype;
  if (Failed(type.GetGUID(MF_MT_MAJOR_TYPE, &major)) || Failed(type.GetGUID(MF_MT_SUBTYPE, &subtype))) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (stream.video) {
    uint32_t width = 0, height = 0;
    if (major != MFMediaType_Video || !IsAcceptedVideoInputSubtype(subtype) ||
        Failed(GetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) || width != stream.settings.width ||
        height != stream.settings.height) {
      return MF_E_INVALIDMEDIATYPE;
    }
    stream.inputSubtype = subtype;
    stream.inputFormat = PixelFormatOf(subtype);
    const HRESULT hr = OpenVideoEncoderFor(stream);
    if (Failed(hr)) return hr;
  } else {
    uint32_t channels = 0, rate = 0, bits = 0, align = 0;
    if (major != MFMediaType_Audio || subtype != MFAudioFormat_PCM || Failed(type.GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) ||
        Failed(type.GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &rate)) || Failed(type.GetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, &bits)) ||
        channels != stream.channels || rate != stream.sampleRate || bits != 16) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (Succeeded(type.GetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, &align)) && align != channels * 2) return MF_E_INVALIDMEDIATYPE;
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return MF_E_TOPO_CODEC_NOT_FOUND;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return E_OUTOFMEMORY;
    context->sample_rate = static_cast<int>(rate);
    av_channel_layout_default(&context->ch_layout, static_cast<int>(channels));
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->bit_rate = stream.bitrate;
    context->time_base = AVRational{1, static_cast<int>(rate)};
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return MF_E_INVALIDMEDIATYPE;
    stream.codec = codec;
    stream.encoder = std::move(context);
    stream.fifo.assign(channels, {});
  }
  stream.hasInput = true;
  return S_OK;
}

HRESULT FfmpegSinkWriter::GetCodecApi(uint32_t streamIndex, std::shared_ptr<CodecApi>* codecApi) {
  if (codecApi == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (streamIndex >= m_streams.size()) return MF_E_INVALIDSTREAMNUMBER;
  if (!m_streams[streamIndex]->video) return E_NOINTERFACE;
  *codecApi = std::make_shared<FfmpegCodecApi>(m_streams[streamIndex]->codecSettings);
  return S_OK;
}

HRESULT FfmpegSinkWriter::GetMediaSinkPropertyStore(std::shared_ptr<PropertyStore>* store) {
  if (store == nullptr) return E_POINTER;
  *store = std::make_shared<FfmpegPropertyStore>(m_metadata);
  return S_OK;
}

std::string FfmpegSinkWriter::VideoEncoderName(uint32_t streamIndex) const {
  std::lock_guard lock(m_mutex);
  if (streamIndex >= m_streams.size() || m_streams[streamIndex]->codec == nullptr || !m_streams[streamIndex]->video) return {};
  return m_streams[streamIndex]->codec->name;
}

// ---- File output -----------------------------------------------------------------------------
HRESULT FfmpegSinkWriter::BeginWriting() {
  std::unique_lock lock(m_mutex);
  if (m_state != State::Configuring || m_streams.empty()) return MF_E_INVALIDREQUEST;
  for (auto& stream : m_streams) {
    if (!stream->hasInput) return MF_E_INVALIDREQUEST;
  }
  for (auto& stream : m_streams) {
    if (!stream->video) continue;
    std::lock_guard settingsLock(stream->codecSettings->mutex);
    stream->codecSettings->locked = true;
  }
  for (auto& stream : m_streams) {
    // Settings changed after the input type was set: open the encoder again with them.
    if (stream->video && stream->codecSettings->version != stream->openedSettingsVersion) {
      const HRESULT hr = OpenVideoEncoderFor(*stream);
      if (Failed(hr)) return hr;
    }
  }

  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr) < 0 || raw == nullptr) return E_OUTOFMEMORY;
  m_format.reset(raw);
  constexpr int kIoBufferSize = 64 * 1024;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) return E_OUTOFMEMORY;
  m_io.reset(avio_alloc_context(
      buffer, kIoBufferSize, 1, this, nullptr,
      [](void* opaque, uint8_t* data, int size) -> int {
        auto* self = static_cast<FfmpegSinkWriter*>(opaque);
        int written = 0;
        while (written < size) {
          const ssize_t n = ::write(self->m_file.get(), data + written, static_cast<size_t>(size - written));
          if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
          }
          written += static_cast<int>(n);
        }
        self->m_dirty = true;
        return size;
      },
      [](void* opaque, int64_t offset, int whence) -> int64_t {
        auto* self = static_cast<FfmpegSinkWriter*>(opaque);
        if (whence & AVSEEK_SIZE) {
          struct stat info {};
          return ::fstat(self->m_file.get(), &info) == 0 ? info.st_size : AVERROR(errno);
        }
        const off_t result = ::lseek(self->m_file.get(), offset, whence & ~AVSEEK_FORCE);
        return result < 0 ? AVERROR(errno) : result;
      }));
  if (!m_io) {
    av_free(buffer);
    return E_OUTOFMEMORY;
  }
  m_format->pb = m_io.get();
  m_format->flags |= AVFMT_FLAG_CUSTOM_IO;

  for (auto& stream : m_streams) {
    AVStream* st = avformat_new_stream(m_format.get(), nullptr);
    if (st == nullptr) return E_OUTOFMEMORY;
    if (avcodec_parameters_from_context(st->codecpar, stream->encoder.get()) < 0) return E_OUTOFMEMORY;
    st->time_base = stream->encoder->time_base;
    if (stream->video) {
      st->avg_frame_rate = stream->encoder->framerate;
      if (SignalsCrop(stream->codec)) {
        // The sample description and the track header give the displayed size, as the stream does.
        const VideoSettings& v = stream->settings;
        st->codecpar->width = static_cast<int>(v.width - v.cropLeft - v.cropRight);
        st->codecpar->height = static_cast<int>(v.height - v.cropTop - v.cropBottom);
      }
    }
    stream->avStream = st;
  }
  // Encoder delays put the first audio packet (AAC priming) and, with B-frames, the first video
  // decode times before zero, which fragments cannot carry: every timestamp moves later by one
  // constant while fragmented. Fragmented tracks also start at zero whatever their first time, so
  // the final rewrite puts each track back at its recorded first decode time, and the regular
  // MP4's edit lists carry the delays.
  m_timelineShift = 0;
  for (auto& stream : m_streams) {
    if (!stream->video && stream->encoder->initial_padding > 0) {
      m_timelineShift = std::max(m_timelineShift, av_rescale(stream->encoder->initial_padding, kHundredNs, stream->sampleRate) + 1);
    }
  }
  for (auto& stream : m_streams) {
    if (stream->video && stream->encoder->max_b_frames > 0) m_timelineShift += kHundredNs;
  }
  m_format->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  Dictionary metadata;
  m_metadata->FillDictionary(&metadata);
  {
    std::lock_guard metaLock(m_metadata->mutex);
    m_metadata->locked = true;
  }
  av_dict_copy(&m_format->metadata, metadata.get(), 0);
  Dictionary options;
  // Fragments make the file readable up to the last completed one at any moment.
  options.Set("movflags", "frag_keyframe+empty_moov+default_base_moof+use_metadata_tags");
  options.Set("frag_duration", std::to_string(kFragmentMs * 1000).c_str());
  // An edit list in the up-front index could only guess the start; the timeline shift covers it.
  options.Set("use_editlist", "0");
  int result = avformat_write_header(m_format.get(), options.address());
  if (result < 0) return HrFromAv(result);
  avio_flush(m_format->pb);
  m_completeBytes = avio_tell(m_format->pb);
  SyncIfDue(true);

  m_state = State::Writing;
  m_thread = std::thread([this] { EncodingThread(); });
  m_syncThread = std::thread([this] {
    pthread_setname_np(pthread_self(), "kalto-file-sync");
    SyncLoop();
  });
  return S_OK;
}

void FfmpegSinkWriter::SyncIfDue(bool force) {
  if (!m_dirty) return;
  const int64_t now = SteadyNowNs();
  if (!force && now - m_lastSyncNs < int64_t{kSyncIntervalMs} * 1'000'000) return;
  m_dirty = false;
  ::fdatasync(m_file.get());
  m_lastSyncNs = now;
}

// ---- Writing ---------------------------------------------------------------------------------
namespace {

void ReleaseMediaBuffer(void* opaque, uint8_t*) {
  std::unique_ptr<std::shared_ptr<const MediaBuffer>>(static_cast<std::shared_ptr<const MediaBuffer>*>(opaque));
}

}  // namespace

BufferRefPtr FfmpegSinkWriter::ReferencePicture(const Sample& sample, uint32_t length) {
  // A picture its owner will not write again is referenced where it lies, not copied.
  std::shared_ptr<MediaBuffer> buffer;
  if (sample.GetBufferCount() != 1 || Failed(sample.GetBufferByIndex(0, &buffer)) || !buffer ||
      !buffer->IsReadOnly() || buffer->GetCurrentLength() != length) {
    return nullptr;
  }
  auto owner = std::make_unique<std::shared_ptr<const MediaBuffer>>(std::move(buffer));
  const uint8_t* bytes = (*owner)->Data();
  BufferRefPtr ref(av_buffer_create(const_cast<uint8_t*>(bytes), length, ReleaseMediaBuffer, owner.get(),
                                    AV_BUFFER_FLAG_READONLY));
  if (ref) owner.release();  // the buffer reference owns it now
  return ref;
}

HRESULT FfmpegSinkWriter::WriteSample(uint32_t streamIndex, const Sample& sample) {
  int64_t time = 0;
  if (Failed(sample.GetSampleTime(&time))) return MF_E_NO_SAMPLE_TIMESTAMP;
  if (time < 0) return E_INVALIDARG;
  int64_t duration = 0;
  const bool hasDuration = Succeeded(sample.GetSampleDuration(&duration));
  const uint32_t length = sample.GetTotalLength();

  std::unique_lock lock(m_mutex);
  if (m_state != State::Writing) return MF_E_INVALIDREQUEST;
  if (Failed(m_error)) return m_error;
  if (streamIndex >= m_streams.size()) return MF_E_INVALIDSTREAMNUMBER;
  Stream& stream = *m_streams[streamIndex];
  if (stream.video) {
    if (length < VideoFrameBytes(stream.inputSubtype, stream.settings.width, stream.settings.height)) return E_INVALIDARG;
    if (m_queuedVideo >= m_videoQueueFrames) return MF_E_NOTACCEPTING;
    if (time <= m_lastVideoTime[streamIndex]) return E_INVALIDARG;
    m_lastVideoTime[streamIndex] = time;
    if (!hasDuration || duration <= 0) duration = stream.defaultDuration;
    ++m_queuedVideo;
  } else {
    const uint32_t blockAlign = stream.channels * 2;
    if (length == 0 || length % blockAlign != 0) return E_INVALIDARG;
    if (m_queuedAudio >= kAudioQueueBlocks) return MF_E_NOTACCEPTING;
    ++m_queuedAudio;
  }
  Item item;
  item.stream = streamIndex;
  item.time = time;
  item.duration = duration;
  if (stream.video) item.picture = ReferencePicture(sample, length);
  const bool referenced = item.picture != nullptr;
  if (stream.video && !referenced) {
    if (!stream.picturePool || stream.picturePoolSize < length) {
      stream.picturePool.reset(av_buffer_pool_init(static_cast<size_t>(length) + AV_INPUT_BUFFER_PADDING_SIZE, av_buffer_alloc));
      stream.picturePoolSize = length;
    }
    if (stream.picturePool) item.picture.reset(av_buffer_pool_get(stream.picturePool.get()));
  }
  uint8_t* to = nullptr;
  if (referenced) {
    // Nothing to copy.
  } else if (item.picture) {
    to = item.picture->data;
  } else {
    if (!m_spareBuffers.empty()) {
      item.bytes = std::move(m_spareBuffers.back());
      m_spareBuffers.pop_back();
    }
    item.bytes.resize(length);
    to = item.bytes.data();
  }
  for (uint32_t i = 0; to != nullptr && i < sample.GetBufferCount(); ++i) {
    std::shared_ptr<MediaBuffer> buffer;
    sample.GetBufferByIndex(i, &buffer);
    std::memcpy(to, buffer->Data(), buffer->GetCurrentLength());
    to += buffer->GetCurrentLength();
  }
  m_queue.push_back(std::move(item));
  lock.unlock();
  m_wake.notify_one();
  return S_OK;
}

void FfmpegSinkWriter::HoldEncodingForTesting(bool hold) {
  {
    std::lock_guard lock(m_mutex);
    m_hold = hold;
  }
  m_wake.notify_all();
}

size_t FfmpegSinkWriter::QueuedVideoFrames() const {
  std::lock_guard lock(m_mutex);
  return m_queuedVideo;
}

size_t FfmpegSinkWriter::QueuedAudioBlocks() const {
  std::lock_guard lock(m_mutex);
  return m_queuedAudio;
}

void FfmpegSinkWriter::EncodingThread() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopping || (!m_hold && !m_queue.empty()); });
    if (m_queue.empty()) break;  // stopping and drained
    Item item = std::move(m_queue.front());
    m_queue.pop_front();
    const bool video = m_streams[item.stream]->video;
    const bool failed = Failed(m_error);
    lock.unlock();

    HRESULT hr = S_OK;
    if (!failed) {
      try {
        hr = Encode(item);
      } catch (...) {
        hr = E_UNEXPECTED;
      }
    }

    lock.lock();
    if (video) {
      --m_queuedVideo;
    } else {
      --m_queuedAudio;
    }
    if (Failed(hr) && Succeeded(m_error)) m_error = hr;
    // Pictures go back to their pool; only byte buffers are kept for reuse.
    if (item.bytes.capacity() > 0 && m_spareBuffers.size() < m_videoQueueFrames) {
      m_spareBuffers.push_back(std::move(item.bytes));
    }
  }
}

HRESULT FfmpegSinkWriter::Encode(Item& item) {
  Stream& stream = *m_streams[item.stream];
  return stream.video ? EncodeVideo(stream, item) : EncodeAudio(stream, item);
}

HRESULT FfmpegSinkWriter::EncodeVideo(Stream& stream, Item& item) {
  FramePtr frame = MakeFrame();
  if (!frame) return E_OUTOFMEMORY;
  const int w = static_cast<int>(stream.settings.width), h = static_cast<int>(stream.settings.height);
  frame->format = stream.inputFormat;
  frame->width = w;
  frame->height = h;
  const uint8_t* pixels = item.picture ? item.picture->data : item.bytes.data();
  if (av_image_fill_arrays(frame->data, frame->linesize, pixels, stream.inputFormat, w, h, 1) < 0) return E_INVALIDARG;
  // With the buffer attached the codec keeps a reference rather than a copy.
  if (item.picture) frame->buf[0] = item.picture.release();
  if (stream.inputSubtype == MFVideoFormat_YV12) std::swap(frame->data[1], frame->data[2]);
  AVFrame* toSend = frame.get();
  if (stream.converter) {
    if (av_frame_make_writable(stream.converted.get()) < 0) return E_OUTOFMEMORY;
    sws_scale(stream.converter.get(), frame->data, frame->linesize, 0, h, stream.converted->data, stream.converted->linesize);
    toSend = stream.converted.get();
  }
  // The encoder counts frames of the nominal rate. Two pictures never share a slot: one that
  // rounds onto the previous slot takes the next.
  const AVRational hundredNs{1, static_cast<int>(kHundredNs)};
  const auto nearest = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  int64_t slot = av_rescale_q_rnd(item.time, hundredNs, stream.encoder->time_base, nearest);
  if (stream.lastSlot != AV_NOPTS_VALUE && slot <= stream.lastSlot) slot = stream.lastSlot + 1;
  stream.lastSlot = slot;
  toSend->pts = slot;
  stream.durations[slot] = std::max<int64_t>(1, av_rescale_q_rnd(item.duration, hundredNs, stream.encoder->time_base, nearest));
  const int result = avcodec_send_frame(stream.encoder.get(), toSend);
  if (result < 0) return HrFromAv(result);
  return Drain(stream);
}

HRESULT FfmpegSinkWriter::EncodeAudio(Stream& stream, const Item& item) {
  const uint32_t channels = stream.channels;
  const size_t frames = item.bytes.size() / (2 * channels);
  const int64_t blockPts = av_rescale(item.time, stream.sampleRate, kHundredNs);
  if (!stream.timelineStarted) {
    stream.nextPts = blockPts;
    stream.timelineStarted = true;
  } else {
    const int64_t expected = stream.nextPts + static_cast<int64_t>(stream.FifoFrames());
    const int64_t gap = blockPts - expected;
    const int64_t frameSize = stream.encoder->frame_size > 0 ? stream.encoder->frame_size : 1024;
    if (gap > int64_t{60} * stream.sampleRate) {
      // A long pause: close the current frame and start the timeline again at this block.
      HRESULT hr = EncodeAudioFrames(stream, true);
      if (Failed(hr)) return hr;
      stream.nextPts = blockPts;
    } else if (gap > frameSize) {
      // Audio that did not arrive becomes silence, so later audio stays in sync with the video.
      for (auto& plane : stream.fifo) plane.insert(plane.end(), static_cast<size_t>(gap), 0.0f);
    }
    // Small jitter and overlaps are absorbed: the samples stay contiguous.
  }
  const auto* pcm = reinterpret_cast<const int16_t*>(item.bytes.data());
  for (uint32_t c = 0; c < channels; ++c) {
    auto& plane = stream.fifo[c];
    const size_t base = plane.size();
    plane.resize(base + frames);
    for (size_t i = 0; i < frames; ++i) {
      int16_t value;
      std::memcpy(&value, pcm + i * channels + c, sizeof value);
      plane[base + i] = static_cast<float>(value) / 32768.0f;
    }
  }
  return EncodeAudioFrames(stream, false);
}

HRESULT FfmpegSinkWriter::EncodeAudioFrames(Stream& stream, bool flush) {
  AVCodecContext* encoder = stream.encoder.get();
  const size_t frameSize = encoder->frame_size > 0 ? static_cast<size_t>(encoder->frame_size) : 1024;
  const bool smallLast = (stream.codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
  while (stream.FifoFrames() >= frameSize || (flush && stream.FifoFrames() > 0)) {
    const size_t take = std::min(stream.FifoFrames(), frameSize);
    const int samples = static_cast<int>(take < frameSize && !smallLast ? frameSize : take);
    FramePtr& frame = stream.audioFrame;
    if (frame && frame->nb_samples != samples) frame.reset();  // only a short last frame differs
    if (!frame) {
      frame = MakeFrame();
      if (!frame) return E_OUTOFMEMORY;
      frame->nb_samples = samples;
      frame->format = encoder->sample_fmt;
      frame->sample_rate = encoder->sample_rate;
      if (av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0) {
        frame.reset();
        return E_OUTOFMEMORY;
      }
    } else if (av_frame_make_writable(frame.get()) < 0) {  // the encoder may still hold the last one
      frame.reset();
      return E_OUTOFMEMORY;
    }
    for (uint32_t c = 0; c < stream.channels; ++c) {
      auto* out = reinterpret_cast<float*>(frame->extended_data[c]);
      std::memcpy(out, stream.fifo[c].data() + stream.fifoStart, take * sizeof(float));
      std::fill(out + take, out + frame->nb_samples, 0.0f);
    }
    frame->pts = stream.nextPts;
    stream.nextPts += static_cast<int64_t>(take);
    stream.fifoStart += take;
    const int result = avcodec_send_frame(encoder, frame.get());
    if (result < 0) return HrFromAv(result);
    HRESULT hr = Drain(stream);
    if (Failed(hr)) return hr;
  }
  if (stream.fifoStart >= 16 * frameSize || stream.FifoFrames() == 0) {
    for (auto& plane : stream.fifo) plane.erase(plane.begin(), plane.begin() + static_cast<ptrdiff_t>(stream.fifoStart));
    stream.fifoStart = 0;
  }
  return S_OK;
}

HRESULT FfmpegSinkWriter::Drain(Stream& stream) {
  PacketPtr packet = MakePacket();
  if (!packet) return E_OUTOFMEMORY;
  for (;;) {
    const int result = avcodec_receive_packet(stream.encoder.get(), packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return S_OK;
    if (result < 0) return HrFromAv(result);
    if (stream.video) {
      // Durations go on before rescaling, or the last frame's is lost.
      const auto found = stream.durations.find(packet->pts);
      if (found != stream.durations.end()) {
        packet->duration = found->second;
        stream.durations.erase(found);
      } else if (packet->duration <= 0) {
        packet->duration = std::max<int64_t>(1, av_rescale_q(stream.defaultDuration, AVRational{1, static_cast<int>(kHundredNs)},
                                                             stream.encoder->time_base));
      }
    }
    const HRESULT hr = Mux(stream, packet.get());
    if (Failed(hr)) return hr;
  }
}

HRESULT FfmpegSinkWriter::Mux(Stream& stream, AVPacket* packet) {
  packet->stream_index = stream.avStream->index;
  if (stream.firstDts == AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE) {
    stream.firstDts = av_rescale_q(packet->dts, stream.encoder->time_base, AVRational{1, kHundredNs});
  }
  av_packet_rescale_ts(packet, stream.encoder->time_base, stream.avStream->time_base);
  const int64_t shift = av_rescale_q(m_timelineShift, AVRational{1, kHundredNs}, stream.avStream->time_base);
  if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
  if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift;
  const int result = av_interleaved_write_frame(m_format.get(), packet);
  av_packet_unref(packet);
  if (result < 0) return HrFromAv(result);
  // A completed fragment leaves our buffer at once; a killed process then keeps it.
  avio_flush(m_format->pb);
  if (m_format->pb->error < 0) return HrFromAv(m_format->pb->error);
  m_completeBytes = avio_tell(m_format->pb);
  return S_OK;
}

// ---- Finalize --------------------------------------------------------------------------------
HRESULT FfmpegSinkWriter::FlushAndClose() {
  HRESULT first = S_OK;
  const auto keep = [&](HRESULT hr) {
    if (Failed(hr) && Succeeded(first)) first = hr;
  };
  for (auto& stream : m_streams) {
    if (!stream->video) keep(EncodeAudioFrames(*stream, true));
    const int result = avcodec_send_frame(stream->encoder.get(), nullptr);
    if (result < 0 && result != AVERROR_EOF) keep(HrFromAv(result));
    keep(Drain(*stream));
  }
  const int result = av_write_trailer(m_format.get());
  if (result < 0) keep(HrFromAv(result));
  avio_flush(m_format->pb);
  if (m_format->pb->error < 0) keep(HrFromAv(m_format->pb->error));
  StopSyncThread();
  SyncIfDue(true);
  if (!m_file.Reset()) keep(HrFromErrno(errno));
  return first;
}

HRESULT FfmpegSinkWriter::CloseAfterWriteFailure() {
  // Nothing more can be written (a full disk, a size limit): cut the fragment the failure left
  // half-written, so the file ends with its last complete fragment and plays up to the fault.
  StopSyncThread();
  HRESULT hr = S_OK;
  if (m_completeBytes > 0 && ::ftruncate(m_file.get(), static_cast<off_t>(m_completeBytes)) != 0) {
    hr = HrFromErrno(errno);
  }
  m_dirty = true;
  SyncIfDue(true);
  if (!m_file.Reset() && Succeeded(hr)) hr = HrFromErrno(errno);
  return hr;
}

HRESULT FfmpegSinkWriter::Finalize() {
  {
    std::lock_guard lock(m_mutex);
    if (m_state != State::Writing) return MF_E_INVALIDREQUEST;
    m_state = State::Finalized;
  }
  StopThread();
  HRESULT hr = m_error;  // the thread has ended: no lock needed
  const HRESULT closed = Failed(hr) ? CloseAfterWriteFailure() : FlushAndClose();
  if (Succeeded(hr)) hr = closed;
  if (Failed(hr)) return hr;

  // The fragmented file stays in place until a complete regular one can replace it.
  Dictionary metadata;
  m_metadata->FillDictionary(&metadata);
  const std::string temporary = TemporaryPathBeside(m_path);
  std::vector<int64_t> starts;
  for (const auto& stream : m_streams) starts.push_back(stream->firstDts == AV_NOPTS_VALUE ? 0 : stream->firstDts);
  hr = RemuxToRegularMp4(m_path, temporary, metadata.get(), starts);
  if (Succeeded(hr) && ::rename(temporary.c_str(), m_path.c_str()) != 0) hr = HrFromErrno(errno);
  if (Failed(hr)) {
    ::unlink(temporary.c_str());
    DebugLog<256>(L"[MediaPlatform] WARNING: Final index rewrite failed (0x%08X); the file stays fragmented\n", HrBits(hr));
  }
  return hr;
}

// ---- Rewrite as a regular MP4 ----------------------------------------------------------------
HRESULT RemuxToRegularMp4(const std::string& input, const std::string& output, const AVDictionary* metadata,
                          const std::vector<int64_t>& trackStarts) {
  AVFormatContext* rawInput = nullptr;
  int result = avformat_open_input(&rawInput, input.c_str(), nullptr, nullptr);
  if (result < 0) return HrFromAv(result);
  InputFormatPtr in(rawInput);
  AVFormatContext* rawOutput = nullptr;
  if (avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", output.c_str()) < 0 || rawOutput == nullptr) return E_OUTOFMEMORY;
  OutputFormatPtr out(rawOutput);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* source = in->streams[i];
    AVStream* target = avformat_new_stream(out.get(), nullptr);
    if (target == nullptr) return E_OUTOFMEMORY;
    if (avcodec_parameters_copy(target->codecpar, source->codecpar) < 0) return E_OUTOFMEMORY;
    target->codecpar->codec_tag = 0;
    if (target->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && target->codecpar->frame_size == 0) target->codecpar->frame_size = 1024;
    target->time_base = source->time_base;
    target->avg_frame_rate = source->avg_frame_rate;
  }
  av_dict_copy(&out->metadata, metadata, 0);
  // Each track's own edit list takes its encoder delay; a global shift would move the video too.
  out->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  AVIOContext* rawIo = nullptr;
  result = avio_open(&rawIo, output.c_str(), AVIO_FLAG_WRITE);
  if (result < 0) return HrFromAv(result);
  AvioPtr io(rawIo);
  out->pb = io.get();
  Dictionary options;
  options.Set("movflags", "use_metadata_tags");
  result = avformat_write_header(out.get(), options.address());
  if (result < 0) return HrFromAv(result);
  PacketPtr packet = MakePacket();
  if (!packet) return E_OUTOFMEMORY;
  std::vector<int64_t> firstDts(in->nb_streams, AV_NOPTS_VALUE);
  // The fragments' reader gives no packet durations, and the muxer would guess the last one from
  // the average: a still screen's held last frame would run on far past the end. Each packet is
  // written once the next one of its stream tells its duration; the last ones end their track.
  std::vector<PacketPtr> pending(in->nb_streams);
  const auto write = [&](AVPacket* held) {
    const AVStream* source = in->streams[held->stream_index];
    const AVRational target = out->streams[held->stream_index]->time_base;
    const int index = held->stream_index;
    // Relative to the track's first decode time, then moved to where that time really was.
    const int64_t start = static_cast<size_t>(index) < trackStarts.size() ? trackStarts[index] : 0;
    const int64_t base = firstDts[index] == AV_NOPTS_VALUE ? 0 : firstDts[index];
    if (held->pts != AV_NOPTS_VALUE) held->pts -= base;
    if (held->dts != AV_NOPTS_VALUE) held->dts -= base;
    av_packet_rescale_ts(held, source->time_base, target);
    const int64_t offset = av_rescale_q(start, AVRational{1, kHundredNs}, target);
    if (held->pts != AV_NOPTS_VALUE) held->pts += offset;
    if (held->dts != AV_NOPTS_VALUE) held->dts += offset;
    held->pos = -1;
    const int written = av_interleaved_write_frame(out.get(), held);
    av_packet_unref(held);
    return written;
  };
  while ((result = av_read_frame(in.get(), packet.get())) >= 0) {
    const int index = packet->stream_index;
    if (firstDts[index] == AV_NOPTS_VALUE) firstDts[index] = packet->dts;
    PacketPtr& held = pending[index];
    if (held) {
      if (held->duration <= 0 && packet->dts != AV_NOPTS_VALUE && held->dts != AV_NOPTS_VALUE) {
        held->duration = packet->dts - held->dts;
      }
      if (const int written = write(held.get()); written < 0) return HrFromAv(written);
    } else {
      held = MakePacket();
      if (!held) return E_OUTOFMEMORY;
    }
    av_packet_move_ref(held.get(), packet.get());
  }
  if (result != AVERROR_EOF) return HrFromAv(result);
  for (auto& held : pending) {
    if (!held || held->data == nullptr) continue;
    const AVStream* source = in->streams[held->stream_index];
    if (held->duration <= 0 && source->duration > 0 && held->pts != AV_NOPTS_VALUE) {
      const int64_t start = source->start_time == AV_NOPTS_VALUE ? 0 : source->start_time;
      held->duration = std::max<int64_t>(start + source->duration - held->pts, 0);
    }
    if (const int written = write(held.get()); written < 0) return HrFromAv(written);
  }
  result = av_write_trailer(out.get());
  if (result < 0) return HrFromAv(result);
  avio_flush(io.get());
  if (io->error < 0) return HrFromAv(io->error);
  out->pb = nullptr;
  io.reset();
  // On disk before it replaces the fragmented file.
  UniqueFd written(::open(output.c_str(), O_RDONLY | O_CLOEXEC));
  if (written.get() < 0 || ::fsync(written.get()) != 0) return HrFromErrno(errno);
  return S_OK;
}

}  // namespace kalto::media::ffmpeg
