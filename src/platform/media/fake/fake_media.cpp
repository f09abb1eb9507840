#include "platform/media/fake/fake_media.h"

#include <cstdio>

namespace kalto::media::fake {

// ---- Transform -------------------------------------------------------------------------------
HRESULT FakeTransform::SetOutputType(uint32_t stream, const MediaType* type, uint32_t flags) {
  std::lock_guard lock(m_mutex);
  if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (type == nullptr) {
    if ((flags & MFT_SET_TYPE_TEST_ONLY) == 0) m_outputType.reset();
    return S_OK;
  }
  m_tried.push_back(*type);
  const HRESULT hr = m_script.outputTypeCheck ? m_script.outputTypeCheck(*type) : m_script.setOutputTypeResult;
  if (Succeeded(hr) && (flags & MFT_SET_TYPE_TEST_ONLY) == 0) m_outputType = *type;
  return hr;
}

HRESULT FakeTransform::GetOutputCurrentType(uint32_t stream, std::shared_ptr<MediaType>* type) {
  if (type == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!m_outputType) return MF_E_TRANSFORM_TYPE_NOT_SET;
  *type = std::make_shared<MediaType>(*m_outputType);
  return S_OK;
}

HRESULT FakeTransform::GetInputAvailableType(uint32_t stream, uint32_t index, std::shared_ptr<MediaType>* type) {
  if (type == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  m_asked.push_back(index);
  if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
  if (!m_outputType) return MF_E_TRANSFORM_TYPE_NOT_SET;
  if (index >= m_script.inputSubtypes.size()) return m_script.endOfTypesResult;
  auto input = std::make_shared<MediaType>();
  input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  input->SetGUID(MF_MT_SUBTYPE, m_script.inputSubtypes[index]);
  uint64_t packed = 0;
  if (Succeeded(m_outputType->GetUINT64(MF_MT_FRAME_SIZE, &packed))) input->SetUINT64(MF_MT_FRAME_SIZE, packed);
  if (Succeeded(m_outputType->GetUINT64(MF_MT_FRAME_RATE, &packed))) input->SetUINT64(MF_MT_FRAME_RATE, packed);
  *type = std::move(input);
  return S_OK;
}

std::vector<MediaType> FakeTransform::OutputTypesTried() const {
  std::lock_guard lock(m_mutex);
  return m_tried;
}

std::vector<uint32_t> FakeTransform::InputIndexesAsked() const {
  std::lock_guard lock(m_mutex);
  return m_asked;
}

// ---- Sink writer services --------------------------------------------------------------------
namespace {

class FakeCodecApi final : public CodecApi {
 public:
  explicit FakeCodecApi(std::shared_ptr<FakeSinkWriter> writer) : m_writer(std::move(writer)) {}
  HRESULT SetValue(const Guid& api, uint32_t value) override { return m_writer->RecordCodecValue(api, value); }
  HRESULT GetValue(const Guid& api, uint32_t* value) override { return m_writer->LookupCodecValue(api, value); }
  bool IsSupported(const Guid&) override { return true; }

 private:
  std::shared_ptr<FakeSinkWriter> m_writer;
};

class FakePropertyStore final : public PropertyStore {
 public:
  explicit FakePropertyStore(std::shared_ptr<FakeSinkWriter> writer) : m_writer(std::move(writer)) {}
  HRESULT SetValue(const PropertyKey& key, const std::wstring& value) override { return m_writer->RecordProperty(key, value); }
  HRESULT GetValue(const PropertyKey& key, std::wstring* value) override { return m_writer->LookupProperty(key, value); }

 private:
  std::shared_ptr<FakeSinkWriter> m_writer;
};

}  // namespace

// ---- Sink writer -----------------------------------------------------------------------------
const char* WriterCallName(WriterCall call) {
  switch (call) {
    case WriterCall::AddStream: return "AddStream";
    case WriterCall::SetInputMediaType: return "SetInputMediaType";
    case WriterCall::GetCodecApi: return "GetCodecApi";
    case WriterCall::GetPropertyStore: return "GetPropertyStore";
    case WriterCall::BeginWriting: return "BeginWriting";
    case WriterCall::WriteSample: return "WriteSample";
    case WriterCall::Finalize: return "Finalize";
    case WriterCall::CodecApiSetValue: return "CodecApiSetValue";
    case WriterCall::PropertySetValue: return "PropertySetValue";
  }
  return "?";
}

FakeSinkWriter::FakeSinkWriter(std::wstring url, const Attributes* attributes) : m_url(std::move(url)) {
  if (attributes != nullptr) attributes->CopyAllItems(&m_attributes);
}

void FakeSinkWriter::FailCall(WriterCall call, HRESULT hr, uint32_t skip, uint32_t count) {
  std::lock_guard lock(m_mutex);
  m_rules[call] = Rule{hr, skip, count};
}

void FakeSinkWriter::ClearFailures() {
  std::lock_guard lock(m_mutex);
  m_rules.clear();
}

void FakeSinkWriter::SetAddStreamCheck(std::function<HRESULT(const MediaType&)> check) {
  std::lock_guard lock(m_mutex);
  m_addStreamCheck = std::move(check);
}

void FakeSinkWriter::SetInputTypeCheck(std::function<HRESULT(uint32_t, const MediaType&)> check) {
  std::lock_guard lock(m_mutex);
  m_inputTypeCheck = std::move(check);
}

void FakeSinkWriter::SetCallHook(WriterCall call, std::function<void()> hook) {
  std::lock_guard lock(m_mutex);
  m_hooks[call] = std::move(hook);
}

void FakeSinkWriter::RunHook(WriterCall call) {
  std::function<void()> hook;
  {
    std::lock_guard lock(m_mutex);
    auto found = m_hooks.find(call);
    if (found != m_hooks.end()) hook = found->second;
  }
  if (hook) hook();
}

HRESULT FakeSinkWriter::Scripted(WriterCall call) {
  auto found = m_rules.find(call);
  if (found == m_rules.end()) return S_OK;
  Rule& rule = found->second;
  if (rule.skip > 0) {
    --rule.skip;
    return S_OK;
  }
  if (rule.count == 0) return S_OK;
  if (rule.count != UINT32_MAX) --rule.count;
  return rule.hr;
}

HRESULT FakeSinkWriter::Log(WriterCall call, HRESULT hr) {
  char line[96];
  std::snprintf(line, sizeof line, "%s -> 0x%08X", WriterCallName(call), HrBits(hr));
  m_log.emplace_back(line);
  ++m_counts[call];
  return hr;
}

HRESULT FakeSinkWriter::AddStream(const MediaType& outputType, uint32_t* streamIndex) {
  if (streamIndex == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::AddStream);
  if (Succeeded(hr) && m_began) hr = MF_E_INVALIDREQUEST;
  if (Succeeded(hr) && m_addStreamCheck) hr = m_addStreamCheck(outputType);
  if (Succeeded(hr)) {
    *streamIndex = static_cast<uint32_t>(m_outputTypes.size());
    m_outputTypes.push_back(outputType);
  }
  return Log(WriterCall::AddStream, hr);
}

HRESULT FakeSinkWriter::SetInputMediaType(uint32_t streamIndex, const MediaType& inputType, const Attributes*) {
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::SetInputMediaType);
  if (Succeeded(hr) && streamIndex >= m_outputTypes.size()) hr = MF_E_INVALIDSTREAMNUMBER;
  if (Succeeded(hr) && m_inputTypeCheck) hr = m_inputTypeCheck(streamIndex, inputType);
  if (Succeeded(hr)) m_inputTypes[streamIndex] = inputType;
  return Log(WriterCall::SetInputMediaType, hr);
}

HRESULT FakeSinkWriter::GetCodecApi(uint32_t streamIndex, std::shared_ptr<CodecApi>* codecApi) {
  if (codecApi == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::GetCodecApi);
  if (Succeeded(hr) && streamIndex >= m_outputTypes.size()) hr = MF_E_INVALIDSTREAMNUMBER;
  if (Succeeded(hr)) *codecApi = std::make_shared<FakeCodecApi>(shared_from_this());
  return Log(WriterCall::GetCodecApi, hr);
}

HRESULT FakeSinkWriter::GetMediaSinkPropertyStore(std::shared_ptr<PropertyStore>* store) {
  if (store == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  const HRESULT hr = Scripted(WriterCall::GetPropertyStore);
  if (Succeeded(hr)) *store = std::make_shared<FakePropertyStore>(shared_from_this());
  return Log(WriterCall::GetPropertyStore, hr);
}

HRESULT FakeSinkWriter::BeginWriting() {
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::BeginWriting);
  if (Succeeded(hr) && (m_began || m_outputTypes.empty())) hr = MF_E_INVALIDREQUEST;
  if (Succeeded(hr)) m_began = true;
  return Log(WriterCall::BeginWriting, hr);
}

HRESULT FakeSinkWriter::WriteSample(uint32_t streamIndex, const Sample& sample) {
  RunHook(WriterCall::WriteSample);
  std::lock_guard lock(m_mutex);
  RecordedSample recorded;
  recorded.stream = streamIndex;
  recorded.hasTime = Succeeded(sample.GetSampleTime(&recorded.time));
  recorded.hasDuration = Succeeded(sample.GetSampleDuration(&recorded.duration));
  recorded.bytes = sample.ContiguousBytes();
  HRESULT hr = Scripted(WriterCall::WriteSample);
  if (Succeeded(hr) && (!m_began || m_finalized)) hr = MF_E_INVALIDREQUEST;
  if (Succeeded(hr) && streamIndex >= m_outputTypes.size()) hr = MF_E_INVALIDSTREAMNUMBER;
  if (Succeeded(hr) && !recorded.hasTime) hr = MF_E_NO_SAMPLE_TIMESTAMP;
  recorded.result = hr;
  m_samples.push_back(std::move(recorded));
  return Log(WriterCall::WriteSample, hr);
}

HRESULT FakeSinkWriter::Finalize() {
  RunHook(WriterCall::Finalize);
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::Finalize);
  if (Succeeded(hr) && (!m_began || m_finalized)) hr = MF_E_INVALIDREQUEST;
  if (Succeeded(hr)) m_finalized = true;
  return Log(WriterCall::Finalize, hr);
}

HRESULT FakeSinkWriter::RecordCodecValue(const Guid& api, uint32_t value) {
  std::lock_guard lock(m_mutex);
  const HRESULT hr = Scripted(WriterCall::CodecApiSetValue);
  if (Succeeded(hr)) m_codecValues.emplace_back(api, value);
  return Log(WriterCall::CodecApiSetValue, hr);
}

HRESULT FakeSinkWriter::LookupCodecValue(const Guid& api, uint32_t* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  for (auto it = m_codecValues.rbegin(); it != m_codecValues.rend(); ++it) {
    if (it->first == api) {
      *value = it->second;
      return S_OK;
    }
  }
  return MF_E_ATTRIBUTENOTFOUND;
}

HRESULT FakeSinkWriter::RecordProperty(const PropertyKey& key, const std::wstring& value) {
  std::lock_guard lock(m_mutex);
  HRESULT hr = Scripted(WriterCall::PropertySetValue);
  if (Succeeded(hr) && key.fmtid != FMTID_MediaFileSummaryInformation) hr = E_INVALIDARG;
  if (Succeeded(hr)) m_properties[key.pid] = value;
  return Log(WriterCall::PropertySetValue, hr);
}

HRESULT FakeSinkWriter::LookupProperty(const PropertyKey& key, std::wstring* value) const {
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  auto found = m_properties.find(key.pid);
  *value = found == m_properties.end() || key.fmtid != FMTID_MediaFileSummaryInformation ? std::wstring() : found->second;
  return S_OK;
}

std::vector<std::string> FakeSinkWriter::CallLog() const {
  std::lock_guard lock(m_mutex);
  return m_log;
}
int FakeSinkWriter::CallCount(WriterCall call) const {
  std::lock_guard lock(m_mutex);
  auto found = m_counts.find(call);
  return found == m_counts.end() ? 0 : found->second;
}
std::vector<MediaType> FakeSinkWriter::OutputTypes() const {
  std::lock_guard lock(m_mutex);
  return m_outputTypes;
}
std::map<uint32_t, MediaType> FakeSinkWriter::InputTypes() const {
  std::lock_guard lock(m_mutex);
  return m_inputTypes;
}
std::vector<std::pair<Guid, uint32_t>> FakeSinkWriter::CodecValues() const {
  std::lock_guard lock(m_mutex);
  return m_codecValues;
}
std::map<uint32_t, std::wstring> FakeSinkWriter::Properties() const {
  std::lock_guard lock(m_mutex);
  return m_properties;
}
std::vector<RecordedSample> FakeSinkWriter::Samples() const {
  std::lock_guard lock(m_mutex);
  return m_samples;
}
bool FakeSinkWriter::Began() const {
  std::lock_guard lock(m_mutex);
  return m_began;
}
bool FakeSinkWriter::Finalized() const {
  std::lock_guard lock(m_mutex);
  return m_finalized;
}

// ---- Activation ------------------------------------------------------------------------------
namespace {

class FakeActivate final : public Activate {
 public:
  FakeActivate(std::weak_ptr<FakeMediaPlatform> platform, size_t index, const FakeEncoderScript& script)
      : m_platform(std::move(platform)), m_index(index) {
    if (script.hasFriendlyName) SetString(MFT_FRIENDLY_NAME_Attribute, script.friendlyName);
    if (script.hardware) SetString(MFT_ENUM_HARDWARE_URL_Attribute, L"fake-hardware-" + std::to_wstring(index));
    if (script.d3d11Aware) SetUINT32(MF_SA_D3D11_AWARE, 1);
  }

  HRESULT ActivateObject(std::shared_ptr<Transform>* transform) override {
    if (transform == nullptr) return E_POINTER;
    auto platform = m_platform.lock();
    if (!platform) return E_UNEXPECTED;
    return platform->ActivateScripted(m_index, transform);
  }

 private:
  std::weak_ptr<FakeMediaPlatform> m_platform;
  size_t m_index;
};

}  // namespace

// ---- Platform --------------------------------------------------------------------------------
void FakeMediaPlatform::SetEncoders(std::vector<FakeEncoderScript> encoders) {
  std::lock_guard lock(m_mutex);
  m_encoders = std::move(encoders);
}
void FakeMediaPlatform::SetEnumResult(HRESULT hr) {
  std::lock_guard lock(m_mutex);
  m_enumResult = hr;
}
void FakeMediaPlatform::SetStartupResult(HRESULT hr) {
  std::lock_guard lock(m_mutex);
  m_startupResult = hr;
}
void FakeMediaPlatform::SetCreateWriterResult(HRESULT hr) {
  std::lock_guard lock(m_mutex);
  m_createWriterResult = hr;
}
void FakeMediaPlatform::SetWriterSetup(std::function<void(FakeSinkWriter&)> setup) {
  std::lock_guard lock(m_mutex);
  m_writerSetup = std::move(setup);
}

std::vector<FakeMediaPlatform::EnumCall> FakeMediaPlatform::EnumCalls() const {
  std::lock_guard lock(m_mutex);
  return m_enumCalls;
}
std::vector<std::pair<size_t, std::shared_ptr<FakeTransform>>> FakeMediaPlatform::Transforms() const {
  std::lock_guard lock(m_mutex);
  return m_transforms;
}
std::vector<size_t> FakeMediaPlatform::ActivationAttempts() const {
  std::lock_guard lock(m_mutex);
  return m_activationAttempts;
}
std::vector<std::shared_ptr<FakeSinkWriter>> FakeMediaPlatform::Writers() const {
  std::lock_guard lock(m_mutex);
  return m_writers;
}
int FakeMediaPlatform::StartupCount() const {
  std::lock_guard lock(m_mutex);
  return m_startups;
}
int FakeMediaPlatform::ShutdownCount() const {
  std::lock_guard lock(m_mutex);
  return m_shutdowns;
}

HRESULT FakeMediaPlatform::Startup() {
  std::lock_guard lock(m_mutex);
  ++m_startups;
  return m_startupResult;
}

void FakeMediaPlatform::Shutdown() {
  std::lock_guard lock(m_mutex);
  ++m_shutdowns;
}

HRESULT FakeMediaPlatform::EnumTransforms(const Guid& category, uint32_t flags, const RegisterTypeInfo* inputType,
                                          const RegisterTypeInfo* outputType, std::vector<std::shared_ptr<Activate>>* activates) {
  if (activates == nullptr) return E_POINTER;
  std::lock_guard lock(m_mutex);
  EnumCall call{category, flags, {}, {}};
  if (inputType != nullptr) call.inputType = *inputType;
  if (outputType != nullptr) call.outputType = *outputType;
  m_enumCalls.push_back(call);
  activates->clear();
  if (Failed(m_enumResult)) return m_enumResult;
  if (category != MFT_CATEGORY_VIDEO_ENCODER) return S_OK;
  for (size_t i = 0; i < m_encoders.size(); ++i) {
    const auto& script = m_encoders[i];
    if (script.hardware ? (flags & MFT_ENUM_FLAG_HARDWARE) == 0 : (flags & MFT_ENUM_FLAG_SYNCMFT) == 0) continue;
    activates->push_back(std::make_shared<FakeActivate>(weak_from_this(), i, script));
  }
  return S_OK;
}

HRESULT FakeMediaPlatform::ActivateScripted(size_t index, std::shared_ptr<Transform>* transform) {
  std::lock_guard lock(m_mutex);
  m_activationAttempts.push_back(index);
  if (index >= m_encoders.size()) return E_UNEXPECTED;
  if (Failed(m_encoders[index].activateResult)) return m_encoders[index].activateResult;
  auto created = std::make_shared<FakeTransform>(m_encoders[index]);
  m_transforms.emplace_back(index, created);
  *transform = std::move(created);
  return S_OK;
}

HRESULT FakeMediaPlatform::CreateSinkWriterFromUrl(const std::wstring& url, const Attributes* attributes,
                                                   std::shared_ptr<SinkWriter>* writer) {
  if (writer == nullptr) return E_POINTER;
  std::function<void(FakeSinkWriter&)> setup;
  {
    std::lock_guard lock(m_mutex);
    if (Failed(m_createWriterResult)) return m_createWriterResult;
    setup = m_writerSetup;
  }
  auto created = std::make_shared<FakeSinkWriter>(url, attributes);
  if (setup) setup(*created);
  {
    std::lock_guard lock(m_mutex);
    m_writers.push_back(created);
  }
  *writer = std::move(created);
  return S_OK;
}

}  // namespace kalto::media::fake
