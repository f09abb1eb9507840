#pragma once
// A scripted runtime for component tests: sessions with chosen input and output descriptions, a
// function that produces each run's output, and failures on demand.
#include <atomic>
#include <functional>
#include <mutex>

#include "platform/inference/inference.h"

namespace kalto::inference::fake {

class FakeRuntime : public Runtime {
 public:
  using Compute = std::function<void(const float* values, const std::vector<int64_t>& shape, OutputTensor* out)>;

  // Failures: an empty text means the call succeeds.
  std::string failEnvironment;         // other error
  std::string failSession;             // runtime error
  std::string failRun;                 // runtime error
  std::vector<TensorInfo> inputs{{"input", {1, 256, 256, 3}, ElementType::Float}};
  std::vector<TensorInfo> outputs{{"output", {1, 256, 256, 1}, ElementType::Float}};
  std::string acceleratedProvider;
  // Writes the output of a run; unset: a float32 output of the declared shape, all 1.
  Compute compute;

  std::atomic<int> environments{0};
  std::atomic<int> sessions{0};
  std::atomic<int> runs{0};
  SessionOptions lastOptions;
  std::filesystem::path lastModel;
  std::vector<float> lastInput;
  std::vector<int64_t> lastInputShape;

  Status CreateEnvironment(const std::string& logId, std::shared_ptr<Environment>* environment) override;

  std::mutex mutex;  // guards the last* fields
};

}  // namespace kalto::inference::fake
