#include "platform/inference/onnxruntime/onnx_runtime.h"

#include <dlfcn.h>
#include <onnxruntime/onnxruntime_c_api.h>

#include <mutex>
#include <string_view>
#include <utility>

#include "common/known_folders.h"

namespace kalto::inference::onnx {
namespace {

constexpr uint32_t kApiVersion = 23;
constexpr const char* kLibraryName = "libonnxruntime.so.1";

// The API table, or the reason there is none. The library stays loaded: the runtime keeps
// threads and statics that must not outlive its code.
struct Loaded {
  const OrtApi* api = nullptr;
  std::string error;
};

const Loaded& LoadApi() {
  static const Loaded loaded = [] {
    Loaded result;
    std::vector<std::string> candidates;
    const std::filesystem::path beside = ExecutableFolder() / kLibraryName;
    candidates.push_back(beside.string());
#ifdef KALTO_ONNXRUNTIME_LIBRARY
    candidates.emplace_back(KALTO_ONNXRUNTIME_LIBRARY);
#endif
    candidates.emplace_back(kLibraryName);
    void* handle = nullptr;
    std::string lastError;
    for (const std::string& path : candidates) {
      if (path.find('/') != std::string::npos && !std::filesystem::exists(path)) continue;
      handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle != nullptr) break;
      const char* e = dlerror();
      lastError = e != nullptr ? e : path;
    }
    if (handle == nullptr) {
      result.error = "cannot load " + std::string(kLibraryName) + (lastError.empty() ? "" : ": " + lastError);
      return result;
    }
    using GetApiBase = const OrtApiBase* (*)();
    auto getBase = reinterpret_cast<GetApiBase>(dlsym(handle, "OrtGetApiBase"));
    const OrtApiBase* base = getBase != nullptr ? getBase() : nullptr;
    result.api = base != nullptr ? base->GetApi(kApiVersion) : nullptr;
    if (result.api == nullptr) {
      result.error = std::string(kLibraryName) + " does not offer API version " + std::to_string(kApiVersion);
    }
    return result;
  }();
  return loaded;
}

// Turns an OrtStatus into ours and frees it.
Status Take(const OrtApi* api, OrtStatus* status) {
  if (status == nullptr) return Status::Ok();
  Status s = Status::RuntimeError(api->GetErrorMessage(status));
  api->ReleaseStatus(status);
  return s;
}

#define KALTO_ORT(call)                           \
  do {                                            \
    if (Status s_ = Take(m_api, (call)); !s_.ok) { \
      return s_;                                  \
    }                                             \
  } while (0)

template <typename T>
using Releaser = void (*)(T*);

// One owned runtime object with the API's release function.
template <typename T>
class Owned {
 public:
  explicit Owned(Releaser<T> release) : m_release(release) {}
  ~Owned() {
    if (m_ptr != nullptr) m_release(m_ptr);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T** Out() { return &m_ptr; }
  T* get() const { return m_ptr; }
  T* release() { return std::exchange(m_ptr, nullptr); }

 private:
  T* m_ptr = nullptr;
  Releaser<T> m_release;
};

class OrtEnvironment;

class OrtSessionImpl final : public Session {
 public:
  OrtSessionImpl(const OrtApi* api, std::shared_ptr<const OrtEnvironment> env, OrtSession* session,
                 OrtMemoryInfo* memory, std::vector<TensorInfo> inputs, std::vector<TensorInfo> outputs)
      : m_api(api),
        m_env(std::move(env)),
        m_session(session),
        m_memory(memory),
        m_inputs(std::move(inputs)),
        m_outputs(std::move(outputs)) {}
  ~OrtSessionImpl() override {
    m_api->ReleaseMemoryInfo(m_memory);
    m_api->ReleaseSession(m_session);
  }

  size_t InputCount() const override { return m_inputs.size(); }
  size_t OutputCount() const override { return m_outputs.size(); }
  TensorInfo Input(size_t index) const override { return index < m_inputs.size() ? m_inputs[index] : TensorInfo{}; }
  TensorInfo Output(size_t index) const override {
    return index < m_outputs.size() ? m_outputs[index] : TensorInfo{};
  }

  Status Run(const std::string& inputName, const float* values, size_t count, const std::vector<int64_t>& shape,
             const std::string& outputName, OutputTensor* out) override {
    if (values == nullptr || out == nullptr) return Status::OtherError("null run arguments");
    Owned<OrtValue> input(m_api->ReleaseValue);
    // The runtime reads an input it was given; the const goes only because the C API has none.
    KALTO_ORT(m_api->CreateTensorWithDataAsOrtValue(m_memory, const_cast<float*>(values), count * sizeof(float),
                                                    shape.data(), shape.size(),
                                                    ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, input.Out()));
    const char* inNames[] = {inputName.c_str()};
    const char* outNames[] = {outputName.c_str()};
    const OrtValue* inputs[] = {input.get()};
    Owned<OrtValue> output(m_api->ReleaseValue);
    KALTO_ORT(m_api->Run(m_session, nullptr, inNames, inputs, 1, outNames, 1, output.Out()));
    Owned<OrtTensorTypeAndShapeInfo> info(m_api->ReleaseTensorTypeAndShapeInfo);
    KALTO_ORT(m_api->GetTensorTypeAndShape(output.get(), info.Out()));
    ONNXTensorElementDataType type = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
    KALTO_ORT(m_api->GetTensorElementType(info.get(), &type));
    size_t rank = 0;
    KALTO_ORT(m_api->GetDimensionsCount(info.get(), &rank));
    out->shape.assign(rank, 0);
    KALTO_ORT(m_api->GetDimensions(info.get(), out->shape.data(), rank));
    out->type = static_cast<ElementType>(type);
    out->data.clear();
    if (type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) return Status::Ok();
    size_t elements = 0;
    KALTO_ORT(m_api->GetTensorShapeElementCount(info.get(), &elements));
    void* data = nullptr;
    KALTO_ORT(m_api->GetTensorMutableData(output.get(), &data));
    if (data != nullptr) {
      const auto* f = static_cast<const float*>(data);
      out->data.assign(f, f + elements);
    }
    return Status::Ok();
  }

 private:
  const OrtApi* m_api;
  std::shared_ptr<const OrtEnvironment> m_env;  // outlives every session made in it
  OrtSession* m_session;
  OrtMemoryInfo* m_memory;
  std::vector<TensorInfo> m_inputs;
  std::vector<TensorInfo> m_outputs;
};

class OrtEnvironment final : public Environment, public std::enable_shared_from_this<OrtEnvironment> {
 public:
  OrtEnvironment(const OrtApi* api, OrtEnv* env) : m_api(api), m_env(env) {}
  ~OrtEnvironment() override { m_api->ReleaseEnv(m_env); }

  Status CreateSession(const std::filesystem::path& modelPath, const SessionOptions& options,
                       std::unique_ptr<Session>* session) override {
    if (session == nullptr) return Status::OtherError("null session argument");
    session->reset();
    Owned<OrtSessionOptions> opts(m_api->ReleaseSessionOptions);
    KALTO_ORT(m_api->CreateSessionOptions(opts.Out()));
    if (options.intraOpThreads > 0) KALTO_ORT(m_api->SetIntraOpNumThreads(opts.get(), options.intraOpThreads));
    KALTO_ORT(m_api->SetSessionGraphOptimizationLevel(opts.get(), options.optimizeAll ? ORT_ENABLE_ALL : ORT_ENABLE_BASIC));
    if (!options.allowSpinning) {
      KALTO_ORT(m_api->AddSessionConfigEntry(opts.get(), "session.intra_op.allow_spinning", "0"));
      KALTO_ORT(m_api->AddSessionConfigEntry(opts.get(), "session.inter_op.allow_spinning", "0"));
    }
    m_accelerated.clear();
    if (options.appendAcceleratedProvider) AppendAccelerated(opts.get());
    Owned<OrtSession> created(m_api->ReleaseSession);
    KALTO_ORT(m_api->CreateSession(m_env, modelPath.c_str(), opts.get(), created.Out()));
    std::vector<TensorInfo> inputs, outputs;
    if (Status s = Describe(created.get(), true, &inputs); !s.ok) return s;
    if (Status s = Describe(created.get(), false, &outputs); !s.ok) return s;
    Owned<OrtMemoryInfo> memory(m_api->ReleaseMemoryInfo);
    KALTO_ORT(m_api->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, memory.Out()));
    *session = std::make_unique<OrtSessionImpl>(m_api, shared_from_this(), created.release(), memory.release(),
                                                std::move(inputs), std::move(outputs));
    return Status::Ok();
  }

  std::string AcceleratedProvider() const override { return m_accelerated; }

 private:
  // Appends the first provider the runtime lists that is not the CPU, like the platform's request
  // for its own accelerator; the result does not matter, the CPU takes what is left.
  void AppendAccelerated(OrtSessionOptions* opts) {
    char** names = nullptr;
    int count = 0;
    if (OrtStatus* s = m_api->GetAvailableProviders(&names, &count); s != nullptr) {
      m_api->ReleaseStatus(s);
      return;
    }
    // The runtime lists providers in its order of preference, including ones whose libraries this
    // machine lacks: the first that accepts being appended is the one.
    for (int i = 0; i < count && m_accelerated.empty(); ++i) {
      const std::string_view name = names[i];
      if (name == "CPUExecutionProvider") continue;
      const std::string shortName(name.substr(0, name.find("ExecutionProvider")));
      if (OrtStatus* s = m_api->SessionOptionsAppendExecutionProvider(opts, shortName.c_str(), nullptr, nullptr, 0);
          s != nullptr) {
        m_api->ReleaseStatus(s);
        continue;
      }
      m_accelerated = shortName;
    }
    if (OrtStatus* s = m_api->ReleaseAvailableProviders(names, count); s != nullptr) m_api->ReleaseStatus(s);
  }

  Status Describe(OrtSession* session, bool inputs, std::vector<TensorInfo>* infos) {
    size_t count = 0;
    KALTO_ORT(inputs ? m_api->SessionGetInputCount(session, &count) : m_api->SessionGetOutputCount(session, &count));
    OrtAllocator* allocator = nullptr;
    KALTO_ORT(m_api->GetAllocatorWithDefaultOptions(&allocator));
    for (size_t i = 0; i < count; ++i) {
      TensorInfo info;
      char* name = nullptr;
      KALTO_ORT(inputs ? m_api->SessionGetInputName(session, i, allocator, &name)
                       : m_api->SessionGetOutputName(session, i, allocator, &name));
      info.name = name != nullptr ? name : "";
      if (name != nullptr) {
        if (OrtStatus* s = m_api->AllocatorFree(allocator, name); s != nullptr) m_api->ReleaseStatus(s);
      }
      Owned<OrtTypeInfo> type(m_api->ReleaseTypeInfo);
      KALTO_ORT(inputs ? m_api->SessionGetInputTypeInfo(session, i, type.Out())
                       : m_api->SessionGetOutputTypeInfo(session, i, type.Out()));
      const OrtTensorTypeAndShapeInfo* tensor = nullptr;
      KALTO_ORT(m_api->CastTypeInfoToTensorInfo(type.get(), &tensor));
      if (tensor != nullptr) {
        ONNXTensorElementDataType et = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
        KALTO_ORT(m_api->GetTensorElementType(tensor, &et));
        info.type = static_cast<ElementType>(et);
        size_t rank = 0;
        KALTO_ORT(m_api->GetDimensionsCount(tensor, &rank));
        info.shape.assign(rank, 0);
        KALTO_ORT(m_api->GetDimensions(tensor, info.shape.data(), rank));
      }
      infos->push_back(std::move(info));
    }
    return Status::Ok();
  }

  const OrtApi* m_api;
  OrtEnv* m_env;
  std::string m_accelerated;
};

class OrtRuntime final : public Runtime {
 public:
  Status CreateEnvironment(const std::string& logId, std::shared_ptr<Environment>* environment) override {
    if (environment == nullptr) return Status::OtherError("null environment argument");
    environment->reset();
    const Loaded& loaded = LoadApi();
    if (loaded.api == nullptr) return Status::OtherError(loaded.error);
    const OrtApi* m_api = loaded.api;
    OrtEnv* env = nullptr;
    KALTO_ORT(m_api->CreateEnv(ORT_LOGGING_LEVEL_WARNING, logId.c_str(), &env));
    *environment = std::make_shared<OrtEnvironment>(m_api, env);
    return Status::Ok();
  }
};

}  // namespace

std::shared_ptr<Runtime> MakeOnnxRuntime() { return std::make_shared<OrtRuntime>(); }

}  // namespace kalto::inference::onnx
