#include "platform/media/ffmpeg/ffmpeg_codecs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "common/debug_output.h"

namespace kalto::media::ffmpeg {
namespace {

std::wstring Widen(const char* text) { return text == nullptr ? std::wstring() : Utf8ToWide(text); }

bool IsHardware(const AVCodec* codec) {
  return (codec->capabilities & (AV_CODEC_CAP_HARDWARE | AV_CODEC_CAP_HYBRID)) != 0;
}

thread_local bool t_probingDevice = false;

// Whether a device of this kind opens on this machine, asked once per kind. FFmpeg lists the
// hardware encoders it was built with whether or not the hardware is there.
bool DeviceOpens(AVHWDeviceType type) {
  static std::mutex mutex;
  static std::map<int, bool> opens;
  std::lock_guard lock(mutex);
  if (const auto it = opens.find(int(type)); it != opens.end()) return it->second;
  AVBufferRef* device = nullptr;
  t_probingDevice = true;  // a missing driver is the answer, not an error to print
  const bool ok = av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0) >= 0;
  t_probingDevice = false;
  av_buffer_unref(&device);
  opens[int(type)] = ok;
  return ok;
}

// Takes device surfaces, on a device this machine has.
bool TakesDeviceSurfaces(const AVCodec* codec) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
    if (config == nullptr) return false;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_FRAMES_CTX) && DeviceOpens(config->device_type)) return true;
  }
}

int Rank(std::string_view name, std::initializer_list<std::string_view> order) {
  int rank = 0;
  for (auto n : order) {
    if (n == name) return rank;
    ++rank;
  }
  return rank;
}

}  // namespace

std::vector<H264Encoder> ListH264Encoders() {
  std::vector<H264Encoder> hardware;
  std::vector<H264Encoder> software;
  void* iterator = nullptr;
  while (const AVCodec* codec = av_codec_iterate(&iterator)) {
    if (!av_codec_is_encoder(codec) || codec->id != AV_CODEC_ID_H264) continue;
    H264Encoder encoder{codec, IsHardware(codec), false, Widen(codec->long_name ? codec->long_name : codec->name)};
    if (encoder.hardware) {
      encoder.d3d11Aware = TakesDeviceSurfaces(codec);
      hardware.push_back(encoder);
    } else if (std::string_view(codec->name) == "libx264" || std::string_view(codec->name) == "libopenh264") {
      // The RGB variant of x264 and the OpenMAX wrapper are not general-purpose H.264 encoders.
      software.push_back(encoder);
    }
  }
  const auto byPreference = [](std::initializer_list<std::string_view> order) {
    return [order](const H264Encoder& a, const H264Encoder& b) { return Rank(a.codec->name, order) < Rank(b.codec->name, order); };
  };
  std::stable_sort(hardware.begin(), hardware.end(), byPreference({"h264_nvenc", "h264_vaapi", "h264_qsv", "h264_v4l2m2m"}));
  std::stable_sort(software.begin(), software.end(), byPreference({"libx264", "libopenh264"}));
  hardware.insert(hardware.end(), software.begin(), software.end());
  return hardware;
}

bool SignalsCrop(const AVCodec* codec) { return codec != nullptr && std::string_view(codec->name) == "libx264"; }

AVPixelFormat PixelFormatOf(const Guid& subtype) {
  if (subtype == MFVideoFormat_NV12) return AV_PIX_FMT_NV12;
  if (subtype == MFVideoFormat_IYUV || subtype == MFVideoFormat_YV12) return AV_PIX_FMT_YUV420P;
  if (subtype == MFVideoFormat_YUY2) return AV_PIX_FMT_YUYV422;
  if (subtype == MFVideoFormat_RGB32) return AV_PIX_FMT_BGR0;
  if (subtype == MFVideoFormat_ARGB32) return AV_PIX_FMT_BGRA;
  return AV_PIX_FMT_NONE;
}

bool CodecTakes(const AVCodec* codec, AVPixelFormat format) {
  if (codec == nullptr || codec->pix_fmts == nullptr) return false;
  for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
    if (*p == format) return true;
  }
  return false;
}

std::vector<Guid> InputSubtypesOf(const AVCodec* codec) {
  std::vector<Guid> subtypes;
  if (codec == nullptr || codec->pix_fmts == nullptr) return subtypes;
  const auto add = [&](const Guid& g) {
    if (std::find(subtypes.begin(), subtypes.end(), g) == subtypes.end()) subtypes.push_back(g);
  };
  // Our GPU conversion produces NV12, so it leads whenever the encoder takes it.
  if (CodecTakes(codec, AV_PIX_FMT_NV12)) add(MFVideoFormat_NV12);
  for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
    switch (*p) {
      case AV_PIX_FMT_NV12: add(MFVideoFormat_NV12); break;
      case AV_PIX_FMT_YUV420P:
        add(MFVideoFormat_IYUV);
        add(MFVideoFormat_YV12);
        break;
      case AV_PIX_FMT_YUYV422: add(MFVideoFormat_YUY2); break;
      case AV_PIX_FMT_BGR0: add(MFVideoFormat_RGB32); break;
      case AV_PIX_FMT_BGRA: add(MFVideoFormat_ARGB32); break;
      default: break;
    }
  }
  return subtypes;
}

HRESULT VideoSettingsFromOutputType(const MediaType& type, VideoSettings* settings) {
  Guid major, subtype;
  if (Failed(type.GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video) return MF_E_INVALIDMEDIATYPE;
  if (Failed(type.GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_H264) return MF_E_INVALIDMEDIATYPE;
  VideoSettings s = *settings;
  if (Failed(GetAttributeSize(type, MF_MT_FRAME_SIZE, &s.width, &s.height)) || s.width == 0 || s.height == 0) {
    return MF_E_INVALIDMEDIATYPE;
  }
  if (Failed(GetAttributeRatio(type, MF_MT_FRAME_RATE, &s.fpsNum, &s.fpsDen)) || s.fpsNum == 0 || s.fpsDen == 0) {
    return MF_E_INVALIDMEDIATYPE;
  }
  uint32_t value = 0;
  s.bitrate = Succeeded(type.GetUINT32(MF_MT_AVG_BITRATE, &value)) ? value : 0;
  s.profile = 0;
  if (Succeeded(type.GetUINT32(MF_MT_MPEG2_PROFILE, &value))) {
    if (value != eAVEncH264VProfile_Base && value != eAVEncH264VProfile_Main && value != eAVEncH264VProfile_High) {
      return MF_E_INVALIDMEDIATYPE;
    }
    s.profile = value;
  }
  if (Succeeded(type.GetUINT32(MF_MT_YUV_MATRIX, &value))) {
    s.matrix = value == MFVideoTransferMatrix_BT601 ? AVCOL_SPC_SMPTE170M : AVCOL_SPC_BT709;
  }
  if (Succeeded(type.GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &value))) {
    s.range = value == MFNominalRange_0_255 ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  }
  VideoArea area;
  if (Succeeded(GetVideoArea(type, MF_MT_MINIMUM_DISPLAY_APERTURE, &area))) {
    const int64_t right = int64_t{area.x} + area.width, bottom = int64_t{area.y} + area.height;
    // 4:2:0 crops whole chroma samples: an area that needs odd counts is left to the player.
    if (area.x < 0 || area.y < 0 || area.width <= 0 || area.height <= 0 || right > s.width || bottom > s.height ||
        ((area.x | area.y | area.width | area.height) & 1) != 0) {
      return MF_E_INVALIDMEDIATYPE;
    }
    s.cropLeft = static_cast<uint32_t>(area.x);
    s.cropTop = static_cast<uint32_t>(area.y);
    s.cropRight = static_cast<uint32_t>(s.width - right);
    s.cropBottom = static_cast<uint32_t>(s.height - bottom);
  }
  *settings = s;
  return S_OK;
}

const char* X264PresetFor(uint32_t q) {
  // 50, the platform's default, must stay real-time at 1080p on two cores.
  if (q <= 16) return "ultrafast";
  if (q <= 33) return "superfast";
  if (q <= 66) return "veryfast";
  if (q <= 83) return "faster";
  if (q <= 99) return "fast";
  return "medium";
}

HRESULT OpenVideoEncoder(const AVCodec* codec, const VideoSettings& s, CodecContextPtr* out) {
  if (codec == nullptr || out == nullptr) return E_POINTER;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return E_OUTOFMEMORY;
  context->width = static_cast<int>(s.width);
  context->height = static_cast<int>(s.height);
  // One tick per frame: frames sit on the nominal rate's grid, which is what players and
  // editors read back as the file's frame rate.
  context->time_base = AVRational{static_cast<int>(s.fpsDen), static_cast<int>(s.fpsNum)};
  context->framerate = AVRational{static_cast<int>(s.fpsNum), static_cast<int>(s.fpsDen)};
  context->sample_aspect_ratio = AVRational{1, 1};
  context->pix_fmt = s.pixelFormat != AV_PIX_FMT_NONE ? s.pixelFormat
                     : codec->pix_fmts != nullptr ? codec->pix_fmts[0]
                                                  : AV_PIX_FMT_NONE;
  context->color_primaries = s.primaries;
  context->color_trc = s.transfer;
  context->colorspace = s.matrix;
  context->color_range = s.range;
  if (s.bitrate > 0) {
    context->bit_rate = s.bitrate;
    // Without a VBV cap, noisy content overshoots the average several times.
    context->rc_max_rate = int64_t{s.bitrate} * 3 / 2;
    context->rc_buffer_size = static_cast<int>(std::min<int64_t>(int64_t{s.bitrate} * 2, INT32_MAX));
  }
  const uint32_t fps = std::max<uint32_t>(1, s.fpsNum / std::max<uint32_t>(1, s.fpsDen));
  context->gop_size = static_cast<int>(s.gopSize.value_or(fps));
  if (s.bFrames) context->max_b_frames = static_cast<int>(*s.bFrames);
  if (s.globalHeader) context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  const std::string_view name = codec->name;
  void* priv = context->priv_data;
  if (s.profile != 0) {
    const char* profile = s.profile == eAVEncH264VProfile_Base ? "baseline" : s.profile == eAVEncH264VProfile_Main ? "main" : "high";
    context->profile = s.profile == eAVEncH264VProfile_Base   ? FF_PROFILE_H264_BASELINE
                       : s.profile == eAVEncH264VProfile_Main ? FF_PROFILE_H264_MAIN
                                                              : FF_PROFILE_H264_HIGH;
    if (priv != nullptr) av_opt_set(priv, "profile", profile, 0);
  }
  const uint32_t quality = std::min<uint32_t>(s.qualityVsSpeed.value_or(50), 100);
  if (name == "libx264") {
    av_opt_set(priv, "preset", X264PresetFor(quality), 0);
    if (s.cropLeft + s.cropTop + s.cropRight + s.cropBottom > 0) {
      const std::string crop = "crop-rect=" + std::to_string(s.cropLeft) + "," + std::to_string(s.cropTop) + "," +
                               std::to_string(s.cropRight) + "," + std::to_string(s.cropBottom);
      av_opt_set(priv, "x264-params", crop.c_str(), 0);
    }
    if (s.cabac) av_opt_set(priv, "coder", *s.cabac != 0 ? "cabac" : "cavlc", 0);
  } else if (name == "h264_nvenc") {
    const std::string preset = "p" + std::to_string(1 + quality * 6 / 100);
    av_opt_set(priv, "preset", preset.c_str(), 0);
    if (s.cabac) av_opt_set(priv, "coder", *s.cabac != 0 ? "cabac" : "cavlc", 0);
  } else if (name == "h264_qsv") {
    static constexpr std::array<const char*, 7> presets{"veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow"};
    av_opt_set(priv, "preset", presets[quality * 6 / 100], 0);
  }

  if (context->pix_fmt == AV_PIX_FMT_NONE) return MF_E_INVALIDMEDIATYPE;
  // Subsampled chroma needs whole chroma samples. Checked here because x264 leaks on that refusal.
  if (const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(context->pix_fmt)) {
    const int wMask = (1 << format->log2_chroma_w) - 1, hMask = (1 << format->log2_chroma_h) - 1;
    if ((context->width & wMask) != 0 || (context->height & hMask) != 0) return MF_E_INVALIDMEDIATYPE;
  }
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return MF_E_INVALIDMEDIATYPE;
  *out = std::move(context);
  return S_OK;
}

namespace {

void LogCallback(void* avcl, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR || t_probingDevice) return;
  thread_local int printPrefix = 1;
  char line[512];
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(avcl, level, format, copy, line, sizeof line, &printPrefix);
  va_end(copy);
  std::string text = std::string("[MediaPlatform] ffmpeg: ") + line;
  if (text.empty() || text.back() != '\n') text += '\n';
  OutputDebugNarrow(text.c_str());
}

}  // namespace

void InstallFfmpegLogging() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogCallback); });
}

}  // namespace kalto::media::ffmpeg
