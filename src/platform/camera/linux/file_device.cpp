// A camera over a file ("file:PATH"): a video decoded with FFmpeg and looped, at its average frame
// rate, or a still picture decoded once and repeated at 30 frames a second.
#include <sys/stat.h>

#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "common/native_path.h"
#include "platform/camera/linux/paced_frame_thread.h"
#include "platform/camera/linux/source_device.h"
#include "platform/media/ffmpeg/av_handles.h"

namespace kalto::camera::linuxcam {
namespace {

namespace ff = kalto::media::ffmpeg;

constexpr std::wstring_view kPrefix = L"file:";
constexpr AVRational kStillRate{30, 1};
constexpr int kMaxRate = 240;
constexpr int32_t kMaxSide = 16384;  // the largest software bitmap

// The full-range YUV formats swscale warns about, as their plain twins (the range is set apart).
AVPixelFormat WithoutRangeAlias(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return format;
  }
}

bool Plausible(AVRational rate) { return rate.num > 0 && rate.den > 0 && rate.num <= int64_t(kMaxRate) * rate.den; }

// One open file: its demuxer, the video decoder, and a scaler to BGRA.
class Decoder {
 public:
  enum class Result { Frame, End, Failed };

  // Null when FFmpeg cannot open the file or finds no video stream it can decode.
  static std::unique_ptr<Decoder> Open(const std::string& path) {
    AVDictionary* options = nullptr;
    // Only a local file: a PATH that reads as a URL must not reach the network.
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const int opened = avformat_open_input(&raw, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return nullptr;
    auto decoder = std::unique_ptr<Decoder>(new Decoder());
    decoder->m_format.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
    const AVCodec* codec = nullptr;
    decoder->m_stream = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (decoder->m_stream < 0 || codec == nullptr) return nullptr;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
      if (int(i) != decoder->m_stream) raw->streams[i]->discard = AVDISCARD_ALL;
    }
    decoder->m_codec.reset(avcodec_alloc_context3(codec));
    if (!decoder->m_codec ||
        avcodec_parameters_to_context(decoder->m_codec.get(), raw->streams[decoder->m_stream]->codecpar) < 0 ||
        avcodec_open2(decoder->m_codec.get(), codec, nullptr) < 0) {
      return nullptr;
    }
    decoder->m_packet = ff::MakePacket();
    decoder->m_frame = ff::MakeFrame();
    if (!decoder->m_packet || !decoder->m_frame) return nullptr;
    return decoder;
  }

  // The next picture, kept until the following call.
  Result Next() {
    for (;;) {
      const int received = avcodec_receive_frame(m_codec.get(), m_frame.get());
      if (received == 0) return Result::Frame;
      if (received == AVERROR_EOF) return Result::End;
      if (received != AVERROR(EAGAIN)) return Result::Failed;
      const int read = av_read_frame(m_format.get(), m_packet.get());
      if (read == AVERROR_EOF) {
        avcodec_send_packet(m_codec.get(), nullptr);  // drain the pictures the decoder still holds
        continue;
      }
      if (read < 0) return Result::Failed;
      // A packet the decoder refuses (damaged) is skipped, as players do.
      if (m_packet->stream_index == m_stream) avcodec_send_packet(m_codec.get(), m_packet.get());
      av_packet_unref(m_packet.get());
    }
  }

  // Back to the first picture; false when the file cannot seek.
  bool Rewind() {
    const AVStream* stream = m_format->streams[m_stream];
    const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    if (avformat_seek_file(m_format.get(), m_stream, INT64_MIN, start, start, 0) < 0) return false;
    avcodec_flush_buffers(m_codec.get());
    return true;
  }

  const AVFrame& Picture() const { return *m_frame; }

  AVRational AverageRate() const {
    const AVStream* stream = m_format->streams[m_stream];
    if (Plausible(stream->avg_frame_rate)) return stream->avg_frame_rate;
    if (Plausible(stream->r_frame_rate)) return stream->r_frame_rate;
    return kStillRate;
  }

  // The current picture as opaque BGRA of the given size (the first picture's: a stream that
  // changes size later is scaled back to it). A picture with alpha is laid over black.
  void ConvertTo(uint8_t* dst, int32_t width, int32_t height) {
    const AVFrame& src = *m_frame;
    const auto format = WithoutRangeAlias(AVPixelFormat(src.format));
    m_sws.reset(sws_getCachedContext(m_sws.release(), src.width, src.height, format, width, height,
                                     AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!m_sws) throw PlatformError(E_FAIL, "The picture cannot be converted.");
    const int fullRange = src.color_range == AVCOL_RANGE_JPEG || format != AVPixelFormat(src.format) ? 1 : 0;
    sws_setColorspaceDetails(m_sws.get(), sws_getCoefficients(src.colorspace), fullRange,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
    const int strides[4] = {width * 4, 0, 0, 0};
    sws_scale(m_sws.get(), src.data, src.linesize, 0, src.height, planes, strides);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc == nullptr || !(desc->flags & AV_PIX_FMT_FLAG_ALPHA)) return;
    for (uint8_t* p = dst; p < dst + size_t(width) * size_t(height) * 4; p += 4) {
      for (int c = 0; c < 3; ++c) p[c] = uint8_t((p[c] * p[3] + 127) / 255);
      p[3] = 255;
    }
  }

 private:
  Decoder() = default;

  ff::InputFormatPtr m_format;
  ff::CodecContextPtr m_codec;
  ff::PacketPtr m_packet;
  ff::FramePtr m_frame;
  ff::SwsPtr m_sws;
  int m_stream = -1;
};

class FileDevice final : public SourceDevice {
 public:
  FileDevice(std::wstring id, std::string path, VideoFormat format, std::unique_ptr<Decoder> decoder,
             std::vector<uint8_t> still)
      : m_id(std::move(id)),
        m_path(std::move(path)),
        m_format(std::move(format)),
        m_decoder(std::move(decoder)),
        m_still(std::move(still)),
        m_size(FileSize()) {}
  ~FileDevice() override { m_thread.Stop(); }

  std::wstring Id() const override { return m_id; }
  std::wstring Name() const override {
    const std::wstring_view path = std::wstring_view(m_id).substr(kPrefix.size());
    return L"File " + std::wstring(path.substr(path.find_last_of(L'/') + 1));
  }

  void Open() override {
    std::lock_guard lock(m_mutex);
    OpenLocked();
  }

  std::vector<VideoFormat> SupportedFormats() override { return {m_format}; }
  VideoFormat CurrentFormat() override { return m_format; }
  void SetFormat(const VideoFormat& format) override {
    if (!(format == m_format)) throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
  }

  MediaFrameReaderStartStatus Start(FrameSink frames, EndedSink ended) override {
    std::lock_guard lock(m_mutex);
    if (m_thread.Running()) return MediaFrameReaderStartStatus::UnknownFailure;
    try {
      OpenLocked();
    } catch (const PlatformError&) {
      return MediaFrameReaderStartStatus::DeviceNotAvailable;
    }
    const int64_t periodNs = int64_t(1'000'000'000LL * m_format.FrameRateDenominator / m_format.FrameRateNumerator);
    auto tick = [this, frames = std::move(frames)](int64_t timeNs) {
      auto bitmap = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, int32_t(m_format.Width),
                                           int32_t(m_format.Height), BitmapAlphaMode::Premultiplied);
      {
        auto buffer = bitmap->LockBuffer(BitmapBufferAccessMode::Write);
        if (!m_still.empty()) {
          std::memcpy(buffer->Data(), m_still.data(), m_still.size());
        } else if (!DecodeNext(buffer->Data())) {
          m_decoder.reset();  // a later Start opens the file afresh, or says it is gone
          return false;
        }
      }
      frames(std::move(bitmap), timeNs);
      return true;
    };
    m_thread.Start("kalto-cam-file", periodNs, std::move(tick), std::move(ended));
    return MediaFrameReaderStartStatus::Success;
  }

  void Stop() override { m_thread.Stop(); }

  void Close() override {
    // Joined outside the lock: the ended handler may call into this device.
    m_thread.Stop();
    std::lock_guard lock(m_mutex);
    if (!m_thread.Running()) m_decoder.reset();
  }

 private:
  int64_t FileSize() const {
    struct stat info {};
    return ::stat(m_path.c_str(), &info) == 0 ? int64_t(info.st_size) : -1;
  }

  void OpenLocked() {
    // While streaming the decoder belongs to the frame thread.
    if (m_thread.Running() || m_decoder || !m_still.empty()) return;
    m_decoder = Decoder::Open(m_path);
    if (!m_decoder) throw PlatformError(E_FAIL, "The file cannot be opened as a video.");
    m_size = FileSize();
    m_picturesThisPass = 0;
  }

  // On the frame thread. False when the file can no longer give a picture: a read error, a pass
  // that ended without one, or a file removed or cut short (which the decoder's buffer and the
  // open descriptor would otherwise hide for a short file).
  bool DecodeNext(uint8_t* dst) {
    for (;;) {
      switch (m_decoder->Next()) {
        case Decoder::Result::Frame:
          m_decoder->ConvertTo(dst, int32_t(m_format.Width), int32_t(m_format.Height));
          ++m_picturesThisPass;
          return true;
        case Decoder::Result::Failed:
          return false;
        case Decoder::Result::End:
          break;
      }
      if (m_picturesThisPass == 0 || FileSize() < m_size) return false;
      m_picturesThisPass = 0;
      if (!m_decoder->Rewind()) {
        // A stream that cannot seek starts over from a fresh open.
        m_decoder = Decoder::Open(m_path);
        if (!m_decoder) return false;
      }
    }
  }

  const std::wstring m_id;
  const std::string m_path;
  const VideoFormat m_format;
  std::mutex m_mutex;  // Open, Start and Close; the decoder belongs to the frame thread while it runs
  std::unique_ptr<Decoder> m_decoder;
  const std::vector<uint8_t> m_still;  // the whole picture of a still file; empty for a video
  int64_t m_size;
  int64_t m_picturesThisPass = 0;
  PacedFrameThread m_thread;  // last: stops before the decoder it reads goes
};

}  // namespace

std::shared_ptr<SourceDevice> MakeFileDevice(const std::wstring& id) {
  if (!id.starts_with(kPrefix) || id.size() == kPrefix.size()) return nullptr;
  const std::string path = NativePathFromWide(std::wstring_view(id).substr(kPrefix.size()));
  auto decoder = Decoder::Open(path);
  if (!decoder || decoder->Next() != Decoder::Result::Frame) return nullptr;
  const int32_t width = decoder->Picture().width, height = decoder->Picture().height;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return nullptr;
  std::vector<uint8_t> first(size_t(width) * size_t(height) * 4);
  try {
    decoder->ConvertTo(first.data(), width, height);
  } catch (const PlatformError&) {
    return nullptr;  // a pixel format the scaler does not take
  }
  // A second picture tells a video from a still: a still is kept as it is, without its decoder.
  AVRational rate = kStillRate;
  if (decoder->Next() == Decoder::Result::Frame) {
    rate = decoder->AverageRate();
    av_reduce(&rate.num, &rate.den, rate.num, rate.den, INT32_MAX);
    if (!decoder->Rewind()) decoder = Decoder::Open(path);
    if (!decoder) return nullptr;
    first.clear();
  } else {
    decoder.reset();
  }
  VideoFormat format{uint32_t(width), uint32_t(height), "BGRA8", uint32_t(rate.num), uint32_t(rate.den)};
  return std::make_shared<FileDevice>(id, path, std::move(format), std::move(decoder), std::move(first));
}

}  // namespace kalto::camera::linuxcam
