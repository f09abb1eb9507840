#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/gpu/gpu_device.h"
#include "platform/inference/inference.h"

namespace kalto {

// Turns a camera frame into a person mask (one float per model pixel, 1 = person) with an ONNX
// segmentation network found beside the executable. The frame goes in as a centred, aspect-
// preserving letterbox; the mask comes out as an R32_FLOAT texture at the model's input size.
// Threads: one caller (the camera frame thread), on the device's immediate context.
class SegmentationModel {
 public:
  // The search list, relative to the executable's folder, in the order tried.
  static const char* const kSearchPaths[14];

  explicit SegmentationModel(std::shared_ptr<inference::Runtime> runtime);
  ~SegmentationModel();
  SegmentationModel(const SegmentationModel&) = delete;
  SegmentationModel& operator=(const SegmentationModel&) = delete;

  // With a device: load the model and create the textures (ready). Without one: load only, true
  // when the session is valid (the availability check and the pre-warm have no device).
  bool Initialize(std::shared_ptr<gpu::Device> device);
  bool LoadModel();
  // `*mask` receives the output mask texture, owned by the model, valid until the next call.
  bool RunInference(gpu::Texture2D* frame, gpu::Texture2D** mask);
  void Shutdown();

  bool IsReady() const { return m_ready; }
  bool UsesDirectML() const { return m_usesDirectML; }
  bool IsSessionValid() const { return m_runtimeState.sessionValid; }
  bool ChannelsFirst() const { return m_channelsFirst; }
  uint32_t InputWidth() const { return m_inputWidth; }
  uint32_t InputHeight() const { return m_inputHeight; }
  // The model input the last inference was given (width x height x 3 floats, in the layout).
  const std::vector<float>& InputTensor() const { return m_inputTensor; }

  // The first existing path of the search list under `base`, or empty (after the three lines).
  static std::filesystem::path FindModelPath(const std::filesystem::path& base);

 private:
  struct RuntimeState {
    std::shared_ptr<inference::Environment> environment;
    std::unique_ptr<inference::Session> session;
    std::string inputName;
    std::string outputName;
    std::vector<int64_t> inputShape;
    std::vector<int64_t> outputShape;
    inference::OutputTensor output;
    bool sessionValid = false;
  };

  bool CreateTextures();
  bool Letterbox(gpu::Texture2D& frame);
  bool ExtractMask(const inference::OutputTensor& output);

  std::shared_ptr<inference::Runtime> m_runtime;
  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<gpu::Texture2D> m_stagingInput;
  std::shared_ptr<gpu::Texture2D> m_stagingOutput;
  std::shared_ptr<gpu::Texture2D> m_resizedInput;
  std::shared_ptr<gpu::Texture2D> m_outputMask;
  RuntimeState m_runtimeState;
  bool m_ready = false;
  bool m_usesDirectML = false;
  bool m_channelsFirst = false;
  uint32_t m_inputWidth = 256;
  uint32_t m_inputHeight = 256;
  std::vector<float> m_inputTensor;
  std::vector<float> m_maskBuffer;
};

}  // namespace kalto
