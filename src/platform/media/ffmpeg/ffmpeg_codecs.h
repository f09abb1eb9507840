#pragma once
// FFmpeg's H.264 encoders seen as the platform's encoder transforms: which exist, in which order,
// which input subtypes they take, and how one is opened from media types and codec settings.
#include <optional>
#include <string>
#include <vector>

#include "platform/media/ffmpeg/av_handles.h"
#include "platform/media/media_foundation.h"

namespace kalto::media::ffmpeg {

struct H264Encoder {
  const AVCodec* codec = nullptr;
  bool hardware = false;    // HARDWARE or HYBRID capability
  bool d3d11Aware = false;  // takes device surfaces (a frames-context hardware configuration)
  std::wstring friendlyName;
};

// Hardware encoders first (nvenc, vaapi, qsv, v4l2m2m, then any other), then the software ones
// (libx264, libopenh264). Only encoders this FFmpeg build has.
std::vector<H264Encoder> ListH264Encoders();

// The encoder's pixel formats as input subtypes: NV12 first when taken, then the encoder's own
// order; yuv420p gives IYUV then YV12. Formats without a subtype are left out.
std::vector<Guid> InputSubtypesOf(const AVCodec* codec);

// The pixel format frames of a subtype are handed over in (YV12 is yuv420p with the planes
// swapped); AV_PIX_FMT_NONE for other subtypes.
AVPixelFormat PixelFormatOf(const Guid& subtype);
bool CodecTakes(const AVCodec* codec, AVPixelFormat format);

// What opening a video encoder needs. Unset codec settings keep the encoder's defaults.
struct VideoSettings {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fpsNum = 0;
  uint32_t fpsDen = 1;
  uint32_t bitrate = 0;
  uint32_t profile = 0;  // eAVEncH264VProfile_*, 0 = encoder default
  AVPixelFormat pixelFormat = AV_PIX_FMT_NONE;
  AVColorPrimaries primaries = AVCOL_PRI_BT709;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
  AVColorSpace matrix = AVCOL_SPC_BT709;
  AVColorRange range = AVCOL_RANGE_MPEG;
  std::optional<uint32_t> qualityVsSpeed;
  std::optional<uint32_t> cabac;
  std::optional<uint32_t> bFrames;
  std::optional<uint32_t> gopSize;
  bool globalHeader = false;
  // Rows and columns of the coded picture that are not for display (even counts).
  uint32_t cropLeft = 0, cropTop = 0, cropRight = 0, cropBottom = 0;
};

// True when the encoder writes the crop into the stream, so players show only the display area.
bool SignalsCrop(const AVCodec* codec);

// Reads size, rate, bitrate, profile, colour and display area from an H.264 output type. MF_E_INVALIDMEDIATYPE
// when it is not video/H264, lacks a size or rate, or names a profile the platform does not have.
HRESULT VideoSettingsFromOutputType(const MediaType& type, VideoSettings* settings);

// The preset a quality-vs-speed value selects for libx264 (0 fastest .. 100 best).
const char* X264PresetFor(uint32_t qualityVsSpeed);

// Opens the encoder; MF_E_INVALIDMEDIATYPE when it refuses the settings.
HRESULT OpenVideoEncoder(const AVCodec* codec, const VideoSettings& settings, CodecContextPtr* context);

// Forwards FFmpeg's error lines to the debug output, once per process.
void InstallFfmpegLogging();

}  // namespace kalto::media::ffmpeg
