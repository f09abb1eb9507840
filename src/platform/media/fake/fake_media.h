#pragma once
// A scripted media platform for tests: enumerations of made-up encoders that activate, take
// output types and list input types as scripted, and a sink writer that records every call and
// sample and fails any call on demand. Install it with SetMediaPlatform.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/media_foundation.h"

namespace kalto::media::fake {

struct FakeEncoderScript {
  std::wstring friendlyName = L"Fake H.264 Encoder";
  bool hasFriendlyName = true;
  bool hardware = false;
  bool d3d11Aware = false;
  HRESULT activateResult = S_OK;
  // SetOutputType's answer; when `outputTypeCheck` is set it decides instead.
  HRESULT setOutputTypeResult = S_OK;
  std::function<HRESULT(const MediaType&)> outputTypeCheck;
  // What GetInputAvailableType lists, in this order (any subtypes, accepted or not).
  std::vector<Guid> inputSubtypes;
  // Returned instead of MF_E_NO_MORE_TYPES past the end, to script other enumeration errors.
  HRESULT endOfTypesResult = MF_E_NO_MORE_TYPES;
};

class FakeTransform final : public Transform {
 public:
  explicit FakeTransform(FakeEncoderScript script) : m_script(std::move(script)) {}
  HRESULT SetOutputType(uint32_t stream, const MediaType* type, uint32_t flags) override;
  HRESULT GetOutputCurrentType(uint32_t stream, std::shared_ptr<MediaType>* type) override;
  HRESULT GetInputAvailableType(uint32_t stream, uint32_t index, std::shared_ptr<MediaType>* type) override;

  // Every type given to SetOutputType, accepted or not.
  std::vector<MediaType> OutputTypesTried() const;
  // Indexes asked of GetInputAvailableType, in order.
  std::vector<uint32_t> InputIndexesAsked() const;

 private:
  mutable std::mutex m_mutex;
  FakeEncoderScript m_script;
  std::optional<MediaType> m_outputType;
  std::vector<MediaType> m_tried;
  std::vector<uint32_t> m_asked;
};

enum class WriterCall {
  AddStream,
  SetInputMediaType,
  GetCodecApi,
  GetPropertyStore,
  BeginWriting,
  WriteSample,
  Finalize,
  CodecApiSetValue,
  PropertySetValue,
};
const char* WriterCallName(WriterCall call);

struct RecordedSample {
  uint32_t stream = 0;
  bool hasTime = false;
  int64_t time = 0;
  bool hasDuration = false;
  int64_t duration = 0;
  std::vector<uint8_t> bytes;
  HRESULT result = S_OK;  // what WriteSample answered
};

class FakeSinkWriter final : public SinkWriter, public std::enable_shared_from_this<FakeSinkWriter> {
 public:
  FakeSinkWriter(std::wstring url, const Attributes* attributes);

  // ---- Script ----
  // After `skip` successful calls of this kind, the next `count` fail with `hr`.
  void FailCall(WriterCall call, HRESULT hr, uint32_t skip = 0, uint32_t count = UINT32_MAX);
  void ClearFailures();
  // Runs `hook` at the start of every call of this kind, outside the writer's lock (to hold a
  // call up, as a slow disk or encoder would).
  void SetCallHook(WriterCall call, std::function<void()> hook);
  // Extra checks on the types, as a real sink would refuse them.
  void SetAddStreamCheck(std::function<HRESULT(const MediaType&)> check);
  void SetInputTypeCheck(std::function<HRESULT(uint32_t stream, const MediaType&)> check);

  // ---- Records ----
  const std::wstring& Url() const { return m_url; }
  const Attributes& CreationAttributes() const { return m_attributes; }
  // One line per call: "AddStream -> 0x00000000", in call order.
  std::vector<std::string> CallLog() const;
  int CallCount(WriterCall call) const;
  std::vector<MediaType> OutputTypes() const;                 // per accepted stream
  std::map<uint32_t, MediaType> InputTypes() const;           // per stream, accepted ones
  std::vector<std::pair<Guid, uint32_t>> CodecValues() const;  // accepted SetValue calls, in order
  std::map<uint32_t, std::wstring> Properties() const;        // by property id
  std::vector<RecordedSample> Samples() const;                // every WriteSample, refused ones too
  bool Began() const;
  bool Finalized() const;

  // ---- SinkWriter ----
  HRESULT AddStream(const MediaType& outputType, uint32_t* streamIndex) override;
  HRESULT SetInputMediaType(uint32_t streamIndex, const MediaType& inputType, const Attributes* encodingParameters) override;
  HRESULT GetCodecApi(uint32_t streamIndex, std::shared_ptr<CodecApi>* codecApi) override;
  HRESULT GetMediaSinkPropertyStore(std::shared_ptr<PropertyStore>* store) override;
  HRESULT BeginWriting() override;
  HRESULT WriteSample(uint32_t streamIndex, const Sample& sample) override;
  HRESULT Finalize() override;

  // Used by the codec-settings and property-store services.
  HRESULT RecordCodecValue(const Guid& api, uint32_t value);
  HRESULT LookupCodecValue(const Guid& api, uint32_t* value) const;
  HRESULT RecordProperty(const PropertyKey& key, const std::wstring& value);
  HRESULT LookupProperty(const PropertyKey& key, std::wstring* value) const;

 private:
  struct Rule {
    HRESULT hr = S_OK;
    uint32_t skip = 0;
    uint32_t count = 0;
  };
  // Under m_mutex: the scripted result for this call, logged.
  HRESULT Scripted(WriterCall call);
  HRESULT Log(WriterCall call, HRESULT hr);
  void RunHook(WriterCall call);

  const std::wstring m_url;
  Attributes m_attributes;
  mutable std::mutex m_mutex;
  std::map<WriterCall, Rule> m_rules;
  std::map<WriterCall, std::function<void()>> m_hooks;
  std::function<HRESULT(const MediaType&)> m_addStreamCheck;
  std::function<HRESULT(uint32_t, const MediaType&)> m_inputTypeCheck;
  std::vector<std::string> m_log;
  std::map<WriterCall, int> m_counts;
  std::vector<MediaType> m_outputTypes;
  std::map<uint32_t, MediaType> m_inputTypes;
  std::vector<std::pair<Guid, uint32_t>> m_codecValues;
  std::map<uint32_t, std::wstring> m_properties;
  std::vector<RecordedSample> m_samples;
  bool m_began = false;
  bool m_finalized = false;
};

class FakeMediaPlatform final : public MediaPlatform, public std::enable_shared_from_this<FakeMediaPlatform> {
 public:
  // ---- Script ----
  void SetEncoders(std::vector<FakeEncoderScript> encoders);
  void SetEnumResult(HRESULT hr);
  void SetStartupResult(HRESULT hr);
  void SetCreateWriterResult(HRESULT hr);
  // Runs on every new writer before it is returned, to script it.
  void SetWriterSetup(std::function<void(FakeSinkWriter&)> setup);

  // ---- Records ----
  struct EnumCall {
    Guid category;
    uint32_t flags = 0;
    std::optional<RegisterTypeInfo> inputType;
    std::optional<RegisterTypeInfo> outputType;
  };
  std::vector<EnumCall> EnumCalls() const;
  // Transforms handed out by ActivateObject, in activation order, with the script index.
  std::vector<std::pair<size_t, std::shared_ptr<FakeTransform>>> Transforms() const;
  std::vector<size_t> ActivationAttempts() const;  // script indexes, failed ones too
  std::vector<std::shared_ptr<FakeSinkWriter>> Writers() const;
  int StartupCount() const;
  int ShutdownCount() const;

  // ---- MediaPlatform ----
  HRESULT Startup() override;
  void Shutdown() override;
  HRESULT EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                         const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates) override;
  HRESULT CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes, std::shared_ptr<SinkWriter>* writer) override;

  // Used by the fake activation objects.
  HRESULT ActivateScripted(size_t index, std::shared_ptr<Transform>* transform);

 private:
  mutable std::mutex m_mutex;
  std::vector<FakeEncoderScript> m_encoders;
  HRESULT m_enumResult = S_OK;
  HRESULT m_startupResult = S_OK;
  HRESULT m_createWriterResult = S_OK;
  std::function<void(FakeSinkWriter&)> m_writerSetup;
  std::vector<EnumCall> m_enumCalls;
  std::vector<std::pair<size_t, std::shared_ptr<FakeTransform>>> m_transforms;
  std::vector<size_t> m_activationAttempts;
  std::vector<std::shared_ptr<FakeSinkWriter>> m_writers;
  int m_startups = 0;
  int m_shutdowns = 0;
};

}  // namespace kalto::media::fake
