#pragma once
#include <memory>

#include "platform/inference/inference.h"

namespace kalto::inference::onnx {

// ONNX Runtime, loaded at first use from beside the executable, then from the project's own
// prefix, then from the loader's path, and kept for the life of the process.
std::shared_ptr<Runtime> MakeOnnxRuntime();

}  // namespace kalto::inference::onnx
