#include "platform/inference/fake/fake_inference.h"

namespace kalto::inference::fake {
namespace {

class FakeSession final : public Session {
 public:
  explicit FakeSession(FakeRuntime& runtime) : m_runtime(runtime) {}
  size_t InputCount() const override { return m_runtime.inputs.size(); }
  size_t OutputCount() const override { return m_runtime.outputs.size(); }
  TensorInfo Input(size_t i) const override { return i < m_runtime.inputs.size() ? m_runtime.inputs[i] : TensorInfo{}; }
  TensorInfo Output(size_t i) const override {
    return i < m_runtime.outputs.size() ? m_runtime.outputs[i] : TensorInfo{};
  }

  Status Run(const std::string& /*inputName*/, const float* values, size_t count, const std::vector<int64_t>& shape,
             const std::string& /*outputName*/, OutputTensor* out) override {
    ++m_runtime.runs;
    {
      std::lock_guard lock(m_runtime.mutex);
      m_runtime.lastInput.assign(values, values + count);
      m_runtime.lastInputShape = shape;
    }
    if (!m_runtime.failRun.empty()) return Status::RuntimeError(m_runtime.failRun);
    if (m_runtime.compute) {
      m_runtime.compute(values, shape, out);
      return Status::Ok();
    }
    const TensorInfo o = Output(0);
    out->shape = o.shape;
    out->type = o.type;
    size_t n = 1;
    for (int64_t d : o.shape) n *= d > 0 ? size_t(d) : 1;
    out->data.assign(o.type == ElementType::Float ? n : 0, 1.0f);
    return Status::Ok();
  }

 private:
  FakeRuntime& m_runtime;
};

class FakeEnvironment final : public Environment {
 public:
  explicit FakeEnvironment(FakeRuntime& runtime) : m_runtime(runtime) {}
  Status CreateSession(const std::filesystem::path& modelPath, const SessionOptions& options,
                       std::unique_ptr<Session>* session) override {
    {
      std::lock_guard lock(m_runtime.mutex);
      m_runtime.lastOptions = options;
      m_runtime.lastModel = modelPath;
    }
    if (!m_runtime.failSession.empty()) return Status::RuntimeError(m_runtime.failSession);
    ++m_runtime.sessions;
    *session = std::make_unique<FakeSession>(m_runtime);
    return Status::Ok();
  }
  std::string AcceleratedProvider() const override { return m_runtime.acceleratedProvider; }

 private:
  FakeRuntime& m_runtime;
};

}  // namespace

Status FakeRuntime::CreateEnvironment(const std::string& /*logId*/, std::shared_ptr<Environment>* environment) {
  ++environments;
  if (!failEnvironment.empty()) return Status::OtherError(failEnvironment);
  *environment = std::make_shared<FakeEnvironment>(*this);
  return Status::Ok();
}

}  // namespace kalto::inference::fake
