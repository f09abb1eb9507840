#pragma once
// The neural-network runtime the segmentation model runs on: an environment, sessions made from
// model files, and synchronous runs of one input to one output. Shaped after the ONNX Runtime C
// API the engine uses; engine classes see only this header.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kalto::inference {

// ONNX tensor element types, as the runtime numbers them.
enum class ElementType : int32_t { Undefined = 0, Float = 1, Uint8 = 2, Int64 = 7, Float16 = 10 };

// What a failed call reports. `runtime` separates the runtime's own errors (a bad model, a failed
// run) from everything else (no runtime library, out of memory).
struct Status {
  bool ok = true;
  bool runtime = false;
  std::string message;

  static Status Ok() { return {}; }
  static Status RuntimeError(std::string text) { return {false, true, std::move(text)}; }
  static Status OtherError(std::string text) { return {false, false, std::move(text)}; }
};

struct TensorInfo {
  std::string name;
  std::vector<int64_t> shape;  // -1 (or any negative) for a dynamic dimension
  ElementType type = ElementType::Undefined;
};

struct SessionOptions {
  int intraOpThreads = 0;
  bool optimizeAll = true;
  // Ask for the best accelerated execution provider the runtime offers; the CPU runs whatever
  // that provider does not take.
  bool appendAcceleratedProvider = false;
  // A spinning pool burns the cores the capture and the encoder need; off unless asked for.
  bool allowSpinning = false;
};

// An output as the run produced it: its real shape and element type, and its values when they
// are float32 (empty otherwise).
struct OutputTensor {
  std::vector<int64_t> shape;
  ElementType type = ElementType::Undefined;
  std::vector<float> data;
};

class Session {
 public:
  virtual ~Session() = default;
  virtual size_t InputCount() const = 0;
  virtual size_t OutputCount() const = 0;
  virtual TensorInfo Input(size_t index) const = 0;
  virtual TensorInfo Output(size_t index) const = 0;
  // Runs the named input with `values` of `shape` (float32, in CPU memory) and fetches the named
  // output into `out` (its buffer is reused).
  virtual Status Run(const std::string& inputName, const float* values, size_t count, const std::vector<int64_t>& shape,
                     const std::string& outputName, OutputTensor* out) = 0;
};

class Environment {
 public:
  virtual ~Environment() = default;
  virtual Status CreateSession(const std::filesystem::path& modelPath, const SessionOptions& options,
                               std::unique_ptr<Session>* session) = 0;
  // The accelerated provider the last session asked for, or empty when none was offered.
  virtual std::string AcceleratedProvider() const = 0;
};

class Runtime {
 public:
  virtual ~Runtime() = default;
  // Logging at warning level and above, tagged with `logId`.
  virtual Status CreateEnvironment(const std::string& logId, std::shared_ptr<Environment>* environment) = 0;
};

}  // namespace kalto::inference
