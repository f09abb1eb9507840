#pragma once
// The media platform the encoder writes through. Shaped after the Media Foundation calls the engine
// makes: start-up and shut-down, transform enumeration and activation, media types as attribute
// bags, memory buffers and samples, the MP4 sink writer with its codec-settings and property-store
// services. Objects are reference counted (shared_ptr); every call returns an HRESULT with the
// platform's real codes where callers branch on them.
//
// Two backends implement MediaPlatform: FFmpeg (the default, platform/media/ffmpeg) and a scripted
// fake for tests (platform/media/fake). The free functions below go to the current backend.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "common/result.h"

namespace kalto::media {

// ---- Result codes ----------------------------------------------------------------------------
inline constexpr HRESULT MF_E_INVALIDREQUEST = MakeHr(0xC00D36B2u);
inline constexpr HRESULT MF_E_INVALIDSTREAMNUMBER = MakeHr(0xC00D36B3u);
inline constexpr HRESULT MF_E_INVALIDMEDIATYPE = MakeHr(0xC00D36B4u);
inline constexpr HRESULT MF_E_NOTACCEPTING = MakeHr(0xC00D36B5u);
inline constexpr HRESULT MF_E_NOT_INITIALIZED = MakeHr(0xC00D36B6u);
inline constexpr HRESULT MF_E_NO_MORE_TYPES = MakeHr(0xC00D36B9u);
inline constexpr HRESULT MF_E_INVALIDTYPE = MakeHr(0xC00D36BDu);
inline constexpr HRESULT MF_E_UNSUPPORTED_BYTESTREAM_TYPE = MakeHr(0xC00D36C4u);
inline constexpr HRESULT MF_E_NO_SAMPLE_TIMESTAMP = MakeHr(0xC00D36C9u);
inline constexpr HRESULT MF_E_NO_SAMPLE_DURATION = MakeHr(0xC00D36CAu);
inline constexpr HRESULT MF_E_ATTRIBUTENOTFOUND = MakeHr(0xC00D36E6u);
inline constexpr HRESULT MF_E_BAD_STARTUP_VERSION = MakeHr(0xC00D36E3u);
inline constexpr HRESULT MF_E_PLATFORM_NOT_INITIALIZED = MakeHr(0xC00D36FAu);
inline constexpr HRESULT MF_E_HW_MFT_FAILED_START_STREAMING = MakeHr(0xC00D3704u);
inline constexpr HRESULT MF_E_TOPO_CODEC_NOT_FOUND = MakeHr(0xC00D5212u);
inline constexpr HRESULT MF_E_TRANSFORM_TYPE_NOT_SET = MakeHr(0xC00D6D60u);

// ---- GUIDs -----------------------------------------------------------------------------------
// The platform's in-memory GUID layout (Data1, Data2, Data3 little-endian on this machine, then
// Data4): the encoder cache file stores these 16 bytes as they are.
struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  friend bool operator==(const Guid&, const Guid&) = default;
  friend auto operator<=>(const Guid&, const Guid&) = default;

  std::array<uint8_t, 16> ToBytes() const;
  static Guid FromBytes(const uint8_t* bytes16);
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
  std::string ToString() const;
};
static_assert(sizeof(Guid) == 16);

inline constexpr Guid GUID_NULL{};

// Media subtypes built from a FOURCC or a format tag: XXXXXXXX-0000-0010-8000-00AA00389B71.
constexpr Guid FourccGuid(uint32_t code) {
  return Guid{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr uint32_t Fourcc(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

inline constexpr Guid MFMediaType_Video = FourccGuid(Fourcc('v', 'i', 'd', 's'));
inline constexpr Guid MFMediaType_Audio = FourccGuid(Fourcc('a', 'u', 'd', 's'));

inline constexpr Guid MFVideoFormat_NV12 = FourccGuid(Fourcc('N', 'V', '1', '2'));
inline constexpr Guid MFVideoFormat_IYUV = FourccGuid(Fourcc('I', 'Y', 'U', 'V'));
inline constexpr Guid MFVideoFormat_YV12 = FourccGuid(Fourcc('Y', 'V', '1', '2'));
inline constexpr Guid MFVideoFormat_YUY2 = FourccGuid(Fourcc('Y', 'U', 'Y', '2'));
inline constexpr Guid MFVideoFormat_RGB32 = FourccGuid(0x16);   // D3DFMT_X8R8G8B8
inline constexpr Guid MFVideoFormat_ARGB32 = FourccGuid(0x15);  // D3DFMT_A8R8G8B8
inline constexpr Guid MFVideoFormat_H264 = FourccGuid(Fourcc('H', '2', '6', '4'));
inline constexpr Guid MFAudioFormat_PCM = FourccGuid(0x0001);   // WAVE_FORMAT_PCM
inline constexpr Guid MFAudioFormat_AAC = FourccGuid(0x1610);   // WAVE_FORMAT_MPEG_HEAAC

// Transform categories.
inline constexpr Guid MFT_CATEGORY_VIDEO_ENCODER{0xf79eac7d, 0xe545, 0x4387, {0xbd, 0xee, 0xd6, 0x47, 0xd7, 0xbd, 0xe4, 0x2a}};

// Media-type attributes.
inline constexpr Guid MF_MT_MAJOR_TYPE{0x48eba18e, 0xf8c9, 0x4687, {0xbf, 0x11, 0x0a, 0x74, 0xc9, 0xf9, 0x6a, 0x8f}};
inline constexpr Guid MF_MT_SUBTYPE{0xf7e34c9a, 0x42e8, 0x4714, {0xb7, 0x4b, 0xcb, 0x29, 0xd7, 0x2c, 0x35, 0xe5}};
inline constexpr Guid MF_MT_AVG_BITRATE{0x20332624, 0xfb0d, 0x4d9e, {0xbd, 0x0d, 0xcb, 0xf6, 0x78, 0x6c, 0x10, 0x2e}};
inline constexpr Guid MF_MT_INTERLACE_MODE{0xe2724bb8, 0xe676, 0x4806, {0xb4, 0xb2, 0xa8, 0xd6, 0xef, 0xb4, 0x4c, 0xcd}};
inline constexpr Guid MF_MT_FRAME_SIZE{0x1652c33d, 0xd6b2, 0x4012, {0xb8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xa3, 0x7d}};
inline constexpr Guid MF_MT_FRAME_RATE{0xc459a2e8, 0x3d2c, 0x4e44, {0xb1, 0x32, 0xfe, 0xe5, 0x15, 0x6c, 0x7b, 0xb0}};
inline constexpr Guid MF_MT_PIXEL_ASPECT_RATIO{0xc6376a1e, 0x8d0a, 0x4027, {0xbe, 0x45, 0x6d, 0x9a, 0x0a, 0xd3, 0x9b, 0xb6}};
inline constexpr Guid MF_MT_MINIMUM_DISPLAY_APERTURE{0xd7388766, 0x18fe, 0x48c6, {0xa1, 0x77, 0xee, 0x89, 0x48, 0x67, 0xc8, 0xc4}};
inline constexpr Guid MF_MT_YUV_MATRIX{0x3e23d450, 0x2c75, 0x4d25, {0xa0, 0x0e, 0xb9, 0x16, 0x70, 0xd1, 0x23, 0x27}};
inline constexpr Guid MF_MT_VIDEO_PRIMARIES{0xdbfbe4d7, 0x0740, 0x4ee0, {0x81, 0x92, 0x85, 0x0a, 0xb0, 0xe2, 0x19, 0x35}};
inline constexpr Guid MF_MT_TRANSFER_FUNCTION{0x5fb0fce9, 0xbe5c, 0x4935, {0xa8, 0x11, 0xec, 0x83, 0x8f, 0x8e, 0xed, 0x93}};
inline constexpr Guid MF_MT_VIDEO_NOMINAL_RANGE{0xc21b8ee5, 0xb956, 0x4071, {0x8d, 0xaf, 0x32, 0x5e, 0xdf, 0x5c, 0xab, 0x11}};
inline constexpr Guid MF_MT_MPEG2_PROFILE{0xad76a80b, 0x2d5c, 0x4e0b, {0xb3, 0x75, 0x64, 0xe5, 0x20, 0x13, 0x70, 0x36}};
inline constexpr Guid MF_MT_AUDIO_NUM_CHANNELS{0x37e48bf5, 0x645e, 0x4c5b, {0x89, 0xde, 0xad, 0xa9, 0xe2, 0x9b, 0x69, 0x6a}};
inline constexpr Guid MF_MT_AUDIO_SAMPLES_PER_SECOND{0x5faeeae7, 0x0290, 0x4c31, {0x9e, 0x8a, 0xc5, 0x34, 0xf6, 0x8d, 0x9d, 0xba}};
inline constexpr Guid MF_MT_AUDIO_BITS_PER_SAMPLE{0xf2deb57f, 0x40fa, 0x4764, {0xaa, 0x33, 0xed, 0x4f, 0x2d, 0x1f, 0xf6, 0x69}};
inline constexpr Guid MF_MT_AUDIO_AVG_BYTES_PER_SECOND{0x1aab75c8, 0xcfef, 0x451c, {0xab, 0x95, 0xac, 0x03, 0x4b, 0x8e, 0x17, 0x31}};
inline constexpr Guid MF_MT_AUDIO_BLOCK_ALIGNMENT{0x322de230, 0x9eeb, 0x43bd, {0xab, 0x7a, 0xff, 0x41, 0x22, 0x51, 0x54, 0x1d}};

// Transform and activation attributes.
inline constexpr Guid MFT_FRIENDLY_NAME_Attribute{0x314ffbae, 0x5b41, 0x4c95, {0x9c, 0x19, 0x4e, 0x7d, 0x58, 0x6f, 0xac, 0xe3}};
inline constexpr Guid MFT_ENUM_HARDWARE_URL_Attribute{0x2fb866ac, 0xb078, 0x4942, {0xab, 0x6c, 0x00, 0x3d, 0x05, 0xcd, 0xa6, 0x74}};
inline constexpr Guid MF_SA_D3D11_AWARE{0x206b4fc8, 0xfcf9, 0x4c51, {0xaf, 0xe3, 0x97, 0x64, 0x36, 0x9e, 0x33, 0xa0}};
// Our own: the backend's codec name behind an activation object ("libx264", "h264_nvenc").
inline constexpr Guid KALTO_MFT_CODEC_NAME{0x6b616c74, 0x0001, 0x4d46, {0x90, 0x01, 0x63, 0x6f, 0x64, 0x65, 0x63, 0x00}};

// Sink-writer attributes.
inline constexpr Guid MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS{0xa634a91c, 0x822b, 0x41b9, {0xa4, 0x94, 0x4d, 0xe4, 0x64, 0x36, 0x12, 0xb0}};
inline constexpr Guid MF_SINK_WRITER_DISABLE_THROTTLING{0x08b845d8, 0x2b74, 0x4afe, {0x9d, 0x53, 0xbe, 0x16, 0xd2, 0xd5, 0xae, 0x4f}};
inline constexpr Guid MF_SINK_WRITER_D3D_MANAGER{0xec822da2, 0xe1e9, 0x4b29, {0xa0, 0xd8, 0x56, 0x3c, 0x71, 0x9f, 0x52, 0x69}};
// Our own: how many video frames the writer's encoding queue holds (default kDefaultVideoQueueFrames).
inline constexpr Guid KALTO_SINK_WRITER_VIDEO_QUEUE_FRAMES{0x6b616c74, 0x0002, 0x4d46, {0x90, 0x01, 0x71, 0x75, 0x65, 0x75, 0x65, 0x00}};

// Codec-settings properties.
inline constexpr Guid CODECAPI_AVEncCommonQualityVsSpeed{0x98332df8, 0x03cd, 0x476b, {0x89, 0xfa, 0x3f, 0x9e, 0x44, 0x2d, 0xec, 0x9f}};
inline constexpr Guid CODECAPI_AVEncH264CABACEnable{0xee6cad62, 0xd305, 0x4248, {0xa5, 0x0e, 0xe1, 0xb2, 0x55, 0xf7, 0xca, 0xf8}};
inline constexpr Guid CODECAPI_AVEncMPVDefaultBPictureCount{0x8d390aac, 0xdc5c, 0x4200, {0xb5, 0x7f, 0x81, 0x4d, 0x04, 0xba, 0xba, 0xb2}};
inline constexpr Guid CODECAPI_AVEncMPVGOPSize{0x95f31b26, 0x95a4, 0x41aa, {0x93, 0x03, 0x24, 0x6a, 0x7f, 0xc6, 0xee, 0xf1}};

// Attribute values.
inline constexpr uint32_t MFVideoInterlace_Progressive = 2;
inline constexpr uint32_t MFVideoTransferMatrix_BT709 = 1;
inline constexpr uint32_t MFVideoTransferMatrix_BT601 = 2;
inline constexpr uint32_t MFVideoPrimaries_BT709 = 2;
inline constexpr uint32_t MFVideoTransFunc_709 = 5;
inline constexpr uint32_t MFNominalRange_0_255 = 1;
inline constexpr uint32_t MFNominalRange_16_235 = 2;
inline constexpr uint32_t eAVEncH264VProfile_Base = 66;
inline constexpr uint32_t eAVEncH264VProfile_Main = 77;
inline constexpr uint32_t eAVEncH264VProfile_High = 100;

// Start-up.
inline constexpr uint32_t MF_VERSION = 0x00020070;
inline constexpr uint32_t MFSTARTUP_FULL = 0;
inline constexpr uint32_t MFSTARTUP_LITE = 1;

// Enumeration flags.
enum : uint32_t {
  MFT_ENUM_FLAG_SYNCMFT = 0x01,
  MFT_ENUM_FLAG_ASYNCMFT = 0x02,
  MFT_ENUM_FLAG_HARDWARE = 0x04,
  MFT_ENUM_FLAG_FIELDOFUSE = 0x08,
  MFT_ENUM_FLAG_LOCALMFT = 0x10,
  MFT_ENUM_FLAG_TRANSCODE_ONLY = 0x20,
  MFT_ENUM_FLAG_SORTANDFILTER = 0x40,
  MFT_ENUM_FLAG_ALL = 0x3F,
};
inline constexpr uint32_t MFT_SET_TYPE_TEST_ONLY = 0x1;

// ---- Attribute bags --------------------------------------------------------------------------
enum class AttributeType : uint32_t { UInt32, UInt64, Double, Guid, String, Blob };

// A bag of GUID-keyed values (IMFAttributes). Reading a key of another type gives
// MF_E_INVALIDTYPE, a missing key MF_E_ATTRIBUTENOTFOUND. Not synchronised: one owner at a time.
class Attributes {
 public:
  using Value = std::variant<uint32_t, uint64_t, double, Guid, std::wstring, std::vector<uint8_t>>;

  Attributes() = default;
  virtual ~Attributes() = default;
  Attributes(const Attributes&) = default;
  Attributes& operator=(const Attributes&) = default;

  HRESULT SetUINT32(const Guid& key, uint32_t value);
  HRESULT SetUINT64(const Guid& key, uint64_t value);
  HRESULT SetDouble(const Guid& key, double value);
  HRESULT SetGUID(const Guid& key, const Guid& value);
  HRESULT SetString(const Guid& key, std::wstring value);
  HRESULT SetBlob(const Guid& key, std::vector<uint8_t> value);

  HRESULT GetUINT32(const Guid& key, uint32_t* value) const;
  HRESULT GetUINT64(const Guid& key, uint64_t* value) const;
  HRESULT GetDouble(const Guid& key, double* value) const;
  HRESULT GetGUID(const Guid& key, Guid* value) const;
  HRESULT GetString(const Guid& key, std::wstring* value) const;
  HRESULT GetBlob(const Guid& key, std::vector<uint8_t>* value) const;
  HRESULT GetItemType(const Guid& key, AttributeType* type) const;

  bool HasKey(const Guid& key) const;
  HRESULT DeleteItem(const Guid& key);
  void DeleteAllItems() { m_items.clear(); }
  uint32_t GetCount() const { return static_cast<uint32_t>(m_items.size()); }
  // Same keys with the same values, in any order.
  bool Equals(const Attributes& other) const;
  void CopyAllItems(Attributes* destination) const;

 private:
  const Value* Find(const Guid& key) const;
  std::vector<std::pair<Guid, Value>> m_items;  // insertion order, for readable dumps
};

// Packed pairs, as MFSetAttributeSize/MFSetAttributeRatio store them: first << 32 | second.
HRESULT SetAttributeSize(Attributes* attributes, const Guid& key, uint32_t width, uint32_t height);
HRESULT GetAttributeSize(const Attributes& attributes, const Guid& key, uint32_t* width, uint32_t* height);
HRESULT SetAttributeRatio(Attributes* attributes, const Guid& key, uint32_t numerator, uint32_t denominator);
HRESULT GetAttributeRatio(const Attributes& attributes, const Guid& key, uint32_t* numerator, uint32_t* denominator);

// The displayed part of a frame (an MFVideoArea blob: 16-bit x and y offsets, each after a
// 16-bit fraction, then the 32-bit width and height).
struct VideoArea {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};
HRESULT SetVideoArea(Attributes* attributes, const Guid& key, const VideoArea& area);
HRESULT GetVideoArea(const Attributes& attributes, const Guid& key, VideoArea* area);

// A media type (IMFMediaType): an attribute bag with a major type.
class MediaType : public Attributes {
 public:
  HRESULT GetMajorType(Guid* major) const { return GetGUID(MF_MT_MAJOR_TYPE, major); }
};

HRESULT CreateAttributes(std::shared_ptr<Attributes>* attributes, uint32_t initialSize = 0);
HRESULT CreateMediaType(std::shared_ptr<MediaType>* type);

// ---- Buffers and samples ---------------------------------------------------------------------
// A system-memory buffer (IMFMediaBuffer from MFCreateMemoryBuffer). Its bytes start undefined,
// as the platform's do; a picture's buffer reuses a block a former one gave back.
class MediaBuffer {
 public:
  // Throws std::bad_alloc.
  explicit MediaBuffer(uint32_t maxLength);
  MediaBuffer(const MediaBuffer&) = delete;
  MediaBuffer& operator=(const MediaBuffer&) = delete;
  HRESULT Lock(uint8_t** data, uint32_t* maxLength, uint32_t* currentLength);
  HRESULT Unlock();
  HRESULT SetCurrentLength(uint32_t length);
  uint32_t GetCurrentLength() const { return m_currentLength; }
  uint32_t GetMaxLength() const { return m_maxLength; }
  const uint8_t* Data() const { return m_bytes.get(); }
  // The owner will not write the bytes again: a sink writer may keep a reference to them
  // instead of a copy. Lock fails from then on.
  void SetReadOnly() { m_readOnly = true; }
  bool IsReadOnly() const { return m_readOnly; }

 private:
  std::shared_ptr<uint8_t> m_bytes;
  uint32_t m_maxLength = 0;
  uint32_t m_currentLength = 0;
  std::atomic<bool> m_readOnly{false};
};

// A sample (IMFSample): buffers plus a time and a duration in 100-ns units.
class Sample : public Attributes {
 public:
  HRESULT AddBuffer(std::shared_ptr<MediaBuffer> buffer);
  uint32_t GetBufferCount() const { return static_cast<uint32_t>(m_buffers.size()); }
  HRESULT GetBufferByIndex(uint32_t index, std::shared_ptr<MediaBuffer>* buffer) const;
  uint32_t GetTotalLength() const;
  // Every buffer's current bytes, in order.
  std::vector<uint8_t> ContiguousBytes() const;
  HRESULT SetSampleTime(int64_t time);
  HRESULT GetSampleTime(int64_t* time) const;
  HRESULT SetSampleDuration(int64_t duration);
  HRESULT GetSampleDuration(int64_t* duration) const;

 private:
  std::vector<std::shared_ptr<MediaBuffer>> m_buffers;
  int64_t m_time = 0;
  int64_t m_duration = 0;
  bool m_hasTime = false;
  bool m_hasDuration = false;
};

HRESULT CreateMemoryBuffer(uint32_t maxLength, std::shared_ptr<MediaBuffer>* buffer);
HRESULT CreateSample(std::shared_ptr<Sample>* sample);

// ---- Transforms and their activation ---------------------------------------------------------
// An encoder transform (IMFTransform), as far as discovery uses it.
class Transform {
 public:
  virtual ~Transform() = default;
  // Fails as the encoder would (unsupported size, rate, profile) with MF_E_INVALIDMEDIATYPE.
  // A null type clears the output type. MFT_SET_TYPE_TEST_ONLY checks without storing.
  virtual HRESULT SetOutputType(uint32_t stream, const MediaType* type, uint32_t flags) = 0;
  virtual HRESULT GetOutputCurrentType(uint32_t stream, std::shared_ptr<MediaType>* type) = 0;
  // MF_E_TRANSFORM_TYPE_NOT_SET before an output type is set; MF_E_NO_MORE_TYPES past the end.
  virtual HRESULT GetInputAvailableType(uint32_t stream, uint32_t index, std::shared_ptr<MediaType>* type) = 0;
};

// An activation object (IMFActivate): its attributes carry MFT_FRIENDLY_NAME_Attribute, for
// hardware encoders MFT_ENUM_HARDWARE_URL_Attribute, MF_SA_D3D11_AWARE = 1 for those that take
// device surfaces, and KALTO_MFT_CODEC_NAME.
class Activate : public Attributes {
 public:
  virtual HRESULT ActivateObject(std::shared_ptr<Transform>* transform) = 0;
  virtual HRESULT ShutdownObject() { return S_OK; }

  std::wstring FriendlyName() const;
  bool IsHardware() const { return HasKey(MFT_ENUM_HARDWARE_URL_Attribute); }
  bool IsD3D11Aware() const;
};

// The type filter of MFTEnumEx (MFT_REGISTER_TYPE_INFO).
struct RegisterTypeInfo {
  Guid majorType;
  Guid subtype;
};

// ---- Sink writer -----------------------------------------------------------------------------
// The encoder's settings service (ICodecAPI). Takes CODECAPI_AVEncCommonQualityVsSpeed (0..100),
// CODECAPI_AVEncH264CABACEnable (0/1), CODECAPI_AVEncMPVDefaultBPictureCount and
// CODECAPI_AVEncMPVGOPSize (frames); anything else gives E_NOTIMPL.
class CodecApi {
 public:
  virtual ~CodecApi() = default;
  virtual HRESULT SetValue(const Guid& api, uint32_t value) = 0;
  virtual HRESULT GetValue(const Guid& api, uint32_t* value) = 0;
  virtual bool IsSupported(const Guid& api) = 0;
};

// A property key (PROPERTYKEY).
struct PropertyKey {
  Guid fmtid;
  uint32_t pid = 0;
  friend bool operator==(const PropertyKey&, const PropertyKey&) = default;
};
// The media-file summary property set.
inline constexpr Guid FMTID_MediaFileSummaryInformation{0x64440492, 0x4c8b, 0x11d1, {0x8b, 0x70, 0x08, 0x00, 0x36, 0xb1, 0x1a, 0x03}};
inline constexpr PropertyKey PKEY_Media_EncodedBy{FMTID_MediaFileSummaryInformation, 36};
inline constexpr PropertyKey PKEY_Media_EncodingSettings{FMTID_MediaFileSummaryInformation, 37};

// The media sink's property store (IPropertyStore), for the file's metadata texts. The MP4 writer
// takes the two keys above (shown as the "encoded_by" and "encoding_settings" tags) and refuses
// others with E_INVALIDARG; values must be set before BeginWriting.
class PropertyStore {
 public:
  virtual ~PropertyStore() = default;
  virtual HRESULT SetValue(const PropertyKey& key, const std::wstring& value) = 0;
  virtual HRESULT GetValue(const PropertyKey& key, std::wstring* value) = 0;
};

// The sink writer (IMFSinkWriter). Calls go in this order: AddStream, then per stream
// GetCodecApi (optional) and SetInputMediaType, then BeginWriting, WriteSample..., Finalize.
// WriteSample copies the sample's bytes and returns without waiting for the encoder; the caller
// may refill its buffer at once. Thread-safe: samples may arrive from several threads.
class SinkWriter {
 public:
  virtual ~SinkWriter() = default;
  virtual HRESULT AddStream(const MediaType& outputType, uint32_t* streamIndex) = 0;
  virtual HRESULT SetInputMediaType(uint32_t streamIndex, const MediaType& inputType, const Attributes* encodingParameters) = 0;
  // GetServiceForStream(stream, GUID_NULL, ICodecAPI): the video stream's encoder settings.
  virtual HRESULT GetCodecApi(uint32_t streamIndex, std::shared_ptr<CodecApi>* codecApi) = 0;
  // GetServiceForStream(MF_SINK_WRITER_MEDIASINK, ...) queried for IPropertyStore.
  virtual HRESULT GetMediaSinkPropertyStore(std::shared_ptr<PropertyStore>* store) = 0;
  virtual HRESULT BeginWriting() = 0;
  // MF_E_NOTACCEPTING when the encoding queue has no room: the sample is dropped, nothing else
  // changes. Other failures mean the stream or the writer has failed.
  virtual HRESULT WriteSample(uint32_t streamIndex, const Sample& sample) = 0;
  // Drains the queue, flushes the encoders and completes the file; the first error seen while
  // writing is returned here too. A second call gives MF_E_INVALIDREQUEST.
  virtual HRESULT Finalize() = 0;
};

// Video frames the FFmpeg writer's queue holds unless KALTO_SINK_WRITER_VIDEO_QUEUE_FRAMES says
// otherwise; audio blocks are bounded separately so a video backlog never refuses audio.
inline constexpr uint32_t kDefaultVideoQueueFrames = 8;
inline constexpr uint32_t kAudioQueueBlocks = 256;

// ---- Backends --------------------------------------------------------------------------------
class MediaPlatform {
 public:
  virtual ~MediaPlatform() = default;
  // Called on the first MediaStartup of the process-wide count.
  virtual HRESULT Startup() { return S_OK; }
  virtual void Shutdown() {}
  virtual HRESULT EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                                 const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates) = 0;
  virtual HRESULT CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes,
                                          std::shared_ptr<SinkWriter>* writer) = 0;
};

// Replaces the process-wide backend and returns the previous one; nullptr restores FFmpeg.
std::shared_ptr<MediaPlatform> SetMediaPlatform(std::shared_ptr<MediaPlatform> platform);
std::shared_ptr<MediaPlatform> CurrentMediaPlatform();

// ---- Free functions (MFStartup, MFTEnumEx, MFCreateSinkWriterFromURL) ------------------------
// Reference counted: each successful MediaStartup needs one MediaShutdown.
HRESULT MediaStartup(uint32_t version = MF_VERSION, uint32_t flags = MFSTARTUP_FULL);
HRESULT MediaShutdown();
bool IsMediaStarted();

// Hardware transforms come first. Flags 0 mean SYNCMFT | LOCALMFT | SORTANDFILTER; software
// encoders need SYNCMFT, hardware ones HARDWARE.
HRESULT EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                       const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates);
// H.264 video encoders with the given flags.
HRESULT EnumVideoEncoders(uint32_t flags, std::vector<std::shared_ptr<Activate>>* activates);

// Needs MediaStartup (MF_E_PLATFORM_NOT_INITIALIZED otherwise). The container follows from the
// extension (.mp4, .m4v); others give MF_E_UNSUPPORTED_BYTESTREAM_TYPE.
HRESULT CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes, std::shared_ptr<SinkWriter>* writer);

// RAII start-up: MediaStartup in the constructor, MediaShutdown in the destructor if it succeeded.
class MediaPlatformScope {
 public:
  MediaPlatformScope() : m_result(MediaStartup()) {}
  ~MediaPlatformScope() {
    if (Succeeded(m_result)) MediaShutdown();
  }
  MediaPlatformScope(const MediaPlatformScope&) = delete;
  MediaPlatformScope& operator=(const MediaPlatformScope&) = delete;
  HRESULT result() const { return m_result; }

 private:
  HRESULT m_result;
};

// ---- Input subtypes --------------------------------------------------------------------------
// The six video input subtypes the encoder converts to.
bool IsAcceptedVideoInputSubtype(const Guid& subtype);
// Bytes of one tightly packed frame of a subtype (0 for an unknown subtype).
uint64_t VideoFrameBytes(const Guid& subtype, uint32_t width, uint32_t height);
// "NV12", "IYUV", ..., "H264", "AAC", "PCM", or the GUID text.
std::string SubtypeName(const Guid& subtype);

}  // namespace kalto::media
