#include "platform/media/ffmpeg/ffmpeg_platform.h"

#include <algorithm>

#include "common/debug_output.h"
#include "platform/media/ffmpeg/ffmpeg_codecs.h"
#include "platform/media/ffmpeg/ffmpeg_sink_writer.h"

namespace kalto::media::ffmpeg {
namespace {

// An opened encoder as discovery sees it. Setting the output type opens the codec with that
// type, so sizes, rates and profiles it cannot do are refused as the encoder itself refuses them.
class FfmpegTransform final : public Transform {
 public:
  explicit FfmpegTransform(const AVCodec* codec) : m_codec(codec) {}

  HRESULT SetOutputType(uint32_t stream, const MediaType* type, uint32_t flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type == nullptr) {
      if ((flags & MFT_SET_TYPE_TEST_ONLY) == 0) m_outputType.reset();
      return S_OK;
    }
    VideoSettings settings;
    HRESULT hr = VideoSettingsFromOutputType(*type, &settings);
    if (Failed(hr)) return hr;
    const auto subtypes = InputSubtypesOf(m_codec);
    settings.pixelFormat = subtypes.empty() ? AV_PIX_FMT_NONE : PixelFormatOf(subtypes.front());
    CodecContextPtr context;
    hr = OpenVideoEncoder(m_codec, settings, &context);
    if (Failed(hr)) return hr;
    if ((flags & MFT_SET_TYPE_TEST_ONLY) == 0) {
      m_outputType = std::make_shared<MediaType>(*type);
    }
    return S_OK;
  }

  HRESULT GetOutputCurrentType(uint32_t stream, std::shared_ptr<MediaType>* type) override {
    if (type == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!m_outputType) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *type = std::make_shared<MediaType>(*m_outputType);
    return S_OK;
  }

  HRESULT GetInputAvailableType(uint32_t stream, uint32_t index, std::shared_ptr<MediaType>* type) override {
    if (type == nullptr) return E_POINTER;
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (!m_outputType) return MF_E_TRANSFORM_TYPE_NOT_SET;
    const auto subtypes = InputSubtypesOf(m_codec);
    if (index >= subtypes.size()) return MF_E_NO_MORE_TYPES;
    auto input = std::make_shared<MediaType>();
    input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    input->SetGUID(MF_MT_SUBTYPE, subtypes[index]);
    for (const Guid& key : {MF_MT_FRAME_SIZE, MF_MT_FRAME_RATE, MF_MT_PIXEL_ASPECT_RATIO}) {
      uint64_t packed = 0;
      if (Succeeded(m_outputType->GetUINT64(key, &packed))) input->SetUINT64(key, packed);
    }
    input->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    *type = std::move(input);
    return S_OK;
  }

 private:
  const AVCodec* m_codec;
  std::shared_ptr<MediaType> m_outputType;
};

class FfmpegActivate final : public Activate {
 public:
  explicit FfmpegActivate(const H264Encoder& encoder) : m_encoder(encoder) {
    SetString(MFT_FRIENDLY_NAME_Attribute, encoder.friendlyName);
    SetString(KALTO_MFT_CODEC_NAME, Utf8ToWide(encoder.codec->name));
    if (encoder.hardware) SetString(MFT_ENUM_HARDWARE_URL_Attribute, Utf8ToWide(encoder.codec->name));
    if (encoder.d3d11Aware) SetUINT32(MF_SA_D3D11_AWARE, 1);
  }

  HRESULT ActivateObject(std::shared_ptr<Transform>* transform) override {
    if (transform == nullptr) return E_POINTER;
    if (m_encoder.hardware) {
      // A hardware encoder that cannot open on this machine cannot be activated, as a hardware
      // transform without its device fails to start.
      VideoSettings probe;
      probe.width = 1280;
      probe.height = 720;
      probe.fpsNum = 30;
      const auto subtypes = InputSubtypesOf(m_encoder.codec);
      probe.pixelFormat = subtypes.empty() ? AV_PIX_FMT_NONE : PixelFormatOf(subtypes.front());
      CodecContextPtr context;
      if (Failed(OpenVideoEncoder(m_encoder.codec, probe, &context))) return MF_E_HW_MFT_FAILED_START_STREAMING;
    }
    *transform = std::make_shared<FfmpegTransform>(m_encoder.codec);
    return S_OK;
  }

 private:
  H264Encoder m_encoder;
};

class FfmpegPlatform final : public MediaPlatform {
 public:
  FfmpegPlatform() { InstallFfmpegLogging(); }

  HRESULT EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                         const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates) override {
    if (activates == nullptr) return E_POINTER;
    activates->clear();
    if (category != MFT_CATEGORY_VIDEO_ENCODER) return S_OK;
    if (outputType != nullptr && (outputType->majorType != MFMediaType_Video || outputType->subtype != MFVideoFormat_H264)) {
      return S_OK;
    }
    for (const H264Encoder& encoder : ListH264Encoders()) {
      if (encoder.hardware ? (flags & MFT_ENUM_FLAG_HARDWARE) == 0 : (flags & MFT_ENUM_FLAG_SYNCMFT) == 0) continue;
      if (inputType != nullptr) {
        const auto subtypes = InputSubtypesOf(encoder.codec);
        if (inputType->majorType != MFMediaType_Video ||
            std::find(subtypes.begin(), subtypes.end(), inputType->subtype) == subtypes.end()) {
          continue;
        }
      }
      activates->push_back(std::make_shared<FfmpegActivate>(encoder));
    }
    return S_OK;
  }

  HRESULT CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes,
                                  std::shared_ptr<SinkWriter>* writer) override {
    return CreateFfmpegSinkWriter(url, attributes, writer);
  }
};

}  // namespace

std::shared_ptr<MediaPlatform> CreateFfmpegPlatform() { return std::make_shared<FfmpegPlatform>(); }

}  // namespace kalto::media::ffmpeg
