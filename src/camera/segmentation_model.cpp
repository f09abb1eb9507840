#include "camera/segmentation_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <system_error>

#include "common/debug_output.h"
#include "common/known_folders.h"

namespace kalto {

const char* const SegmentationModel::kSearchPaths[14] = {
    "Assets/models/modnet.onnx",
    "modnet.onnx",
    "models/modnet.onnx",
    "Assets/models/selfie_segmentation.onnx",
    "selfie_segmentation.onnx",
    "models/selfie_segmentation.onnx",
    "../../../../Assets/models/modnet.onnx",
    "../../../Assets/models/modnet.onnx",
    "../../Assets/models/modnet.onnx",
    "../Assets/models/modnet.onnx",
    "../../../../Assets/models/selfie_segmentation.onnx",
    "../../../Assets/models/selfie_segmentation.onnx",
    "../../Assets/models/selfie_segmentation.onnx",
    "../Assets/models/selfie_segmentation.onnx",
};

namespace {

constexpr uint32_t kDynamicSize = 512;

void LogOnnxError(const std::string& text) {
  DebugLog<512>(L"[SegmentationModel] ONNX error: %s\n", text.c_str());
  DebugLog<256>(L"[SegmentationModel] ERROR: This usually means the model file is invalid or corrupted.\n");
  DebugLog<256>(L"[SegmentationModel] NOTE: TFLite files renamed to .onnx will NOT work - you need a proper ONNX model.\n");
  DebugLog<256>(L"[SegmentationModel] Convert TFLite to ONNX using tf2onnx, or download a pre-converted ONNX model.\n");
}

void LogOtherError(const std::string& text) {
  DebugLog<512>(L"[SegmentationModel] Error loading model: %s\n", text.c_str());
  DebugLog<256>(L"[SegmentationModel] ERROR: Model loading failed - check if the file is a valid ONNX model.\n");
}

}  // namespace

SegmentationModel::SegmentationModel(std::shared_ptr<inference::Runtime> runtime) : m_runtime(std::move(runtime)) {}

SegmentationModel::~SegmentationModel() { Shutdown(); }

std::filesystem::path SegmentationModel::FindModelPath(const std::filesystem::path& base) {
  if (!base.empty()) {
    for (const char* relative : kSearchPaths) {
      std::error_code ec;
      const std::filesystem::path candidate = base / relative;
      if (std::filesystem::exists(candidate, ec)) return candidate;
    }
  }
  DebugLog<128>(L"[SegmentationModel] Model file not found in any search path\n");
  DebugLog<128>(L"[SegmentationModel] To enable ML effects, download selfie_segmentation.onnx\n");
  DebugLog<128>(L"[SegmentationModel] from MediaPipe and place in Assets/models/ folder\n");
  return {};
}

bool SegmentationModel::Initialize(std::shared_ptr<gpu::Device> device) {
  if (device) {
    m_device = std::move(device);
    m_context = m_device->GetImmediateContext();
    if (!m_context) {
      DebugLog<128>(L"[SegmentationModel] GetImmediateContext returned null\n");
      return false;
    }
  }
  if (!LoadModel()) {
    DebugLog<128>(L"[SegmentationModel] ONNX model not available - ML effects disabled\n");
    m_ready = false;
    m_usesDirectML = false;
    return false;
  }
  if (!m_device) return m_runtimeState.sessionValid;
  if (!CreateTextures()) {
    DebugLog<128>(L"[SegmentationModel] Failed to create staging textures\n");
    return false;
  }
  m_inputTensor.assign(size_t(m_inputWidth) * m_inputHeight * 3, 0.0f);
  m_maskBuffer.assign(size_t(m_inputWidth) * m_inputHeight, 0.0f);
  m_ready = true;
  return true;
}

bool SegmentationModel::LoadModel() {
  const std::filesystem::path path = FindModelPath(ModuleFolder());
  if (path.empty()) return false;
  if (!m_runtime) {
    LogOtherError("no inference runtime");
    return false;
  }
  try {
    RuntimeState state;
    inference::Status s = m_runtime->CreateEnvironment("SegmentationModel", &state.environment);
    if (!s.ok) {
      s.runtime ? LogOnnxError(s.message) : LogOtherError(s.message);
      return false;
    }
    inference::SessionOptions options;
    options.intraOpThreads = 2;
    options.optimizeAll = true;
    options.appendAcceleratedProvider = true;
    // Set whether or not a provider was taken: a session without one runs on the CPU.
    m_usesDirectML = true;
    s = state.environment->CreateSession(path, options, &state.session);
    if (!s.ok || !state.session) {
      s.runtime ? LogOnnxError(s.message) : LogOtherError(s.message.empty() ? "no session" : s.message);
      return false;
    }
    if (state.session->InputCount() == 0 || state.session->OutputCount() == 0) {
      LogOnnxError("the model has no input or no output");
      return false;
    }
    const inference::TensorInfo input = state.session->Input(0);
    state.inputName = input.name;
    state.inputShape = input.shape;
    uint32_t width = 256, height = 256;
    bool channelsFirst = false;
    if (input.shape.size() == 4) {
      const int64_t d1 = input.shape[1], d2 = input.shape[2], d3 = input.shape[3];
      channelsFirst = d1 == 3 || (d1 >= 1 && d1 <= 4 && (d3 < 0 || d3 > 4));
      const int64_t h = channelsFirst ? d2 : d1;
      const int64_t w = channelsFirst ? d3 : d2;
      // A size no camera frame could need is as good as dynamic.
      height = h > 0 && h <= 8192 ? uint32_t(h) : kDynamicSize;
      width = w > 0 && w <= 8192 ? uint32_t(w) : kDynamicSize;
    }
    const inference::TensorInfo output = state.session->Output(0);
    state.outputName = output.name;
    state.outputShape = output.shape;
    state.sessionValid = true;
    m_runtimeState = std::move(state);
    m_channelsFirst = channelsFirst;
    m_inputWidth = width;
    m_inputHeight = height;
    return true;
  } catch (const std::exception& e) {
    LogOtherError(e.what());
  } catch (...) {
    LogOtherError("unknown exception");
  }
  return false;
}

bool SegmentationModel::CreateTextures() {
  const uint32_t w = m_inputWidth, h = m_inputHeight;
  if (Failed(m_device->CreateTexture2D(gpu::TextureDesc{.width = w,
                                                        .height = h,
                                                        .format = gpu::Format::B8G8R8A8_UNORM,
                                                        .usage = gpu::Usage::Staging,
                                                        .cpuAccessFlags = gpu::CPU_ACCESS_READ},
                                       nullptr, 0, &m_stagingInput))) {
    DebugLog<128>(L"[SegmentationModel] Failed to create staging input texture\n");
    return false;
  }
  if (Failed(m_device->CreateTexture2D(gpu::TextureDesc{.width = w,
                                                        .height = h,
                                                        .format = gpu::Format::R32_FLOAT,
                                                        .usage = gpu::Usage::Staging,
                                                        .cpuAccessFlags = gpu::CPU_ACCESS_WRITE},
                                       nullptr, 0, &m_stagingOutput))) {
    DebugLog<128>(L"[SegmentationModel] Failed to create staging output texture\n");
    return false;
  }
  if (Failed(
          m_device->CreateTexture2D(gpu::TextureDesc{.width = w,
                                                     .height = h,
                                                     .format = gpu::Format::B8G8R8A8_UNORM,
                                                     .usage = gpu::Usage::Default,
                                                     .bindFlags = gpu::BIND_SHADER_RESOURCE | gpu::BIND_RENDER_TARGET},
                                    nullptr, 0, &m_resizedInput))) {
    DebugLog<128>(L"[SegmentationModel] Failed to create resized input texture\n");
    return false;
  }
  if (Failed(m_device->CreateTexture2D(gpu::TextureDesc{.width = w,
                                                        .height = h,
                                                        .format = gpu::Format::R32_FLOAT,
                                                        .usage = gpu::Usage::Default,
                                                        .bindFlags = gpu::BIND_SHADER_RESOURCE},
                                       nullptr, 0, &m_outputMask))) {
    DebugLog<128>(L"[SegmentationModel] Failed to create output mask texture\n");
    return false;
  }
  return true;
}

bool SegmentationModel::Letterbox(gpu::Texture2D& frame) {
  const gpu::TextureDesc fd = frame.GetDesc();
  const uint32_t mw = m_inputWidth, mh = m_inputHeight;
  if (fd.width == mw && fd.height == mh) {
    m_context->CopyResource(*m_resizedInput, frame);
    return true;
  }
  gpu::TextureDesc sd = fd;
  sd.usage = gpu::Usage::Staging;
  sd.bindFlags = 0;
  sd.cpuAccessFlags = gpu::CPU_ACCESS_READ;
  sd.miscFlags = 0;
  std::shared_ptr<gpu::Texture2D> source;
  if (Failed(m_device->CreateTexture2D(sd, nullptr, 0, &source))) return false;
  m_context->CopyResource(*source, frame);
  gpu::MappedSubresource in;
  if (Failed(m_context->Map(*source, 0, gpu::MapType::Read, 0, &in))) return false;

  const uint32_t fw = fd.width, fh = fd.height;
  const float s = std::min(float(mw) / float(fw), float(mh) / float(fh));
  const float ox = (float(mw) - float(fw) * s) / 2.0f;
  const float oy = (float(mh) - float(fh) * s) / 2.0f;
  std::vector<uint8_t> target(size_t(mw) * mh * 4, 0);
  const auto* src = static_cast<const uint8_t*>(in.data);
  for (uint32_t y = 0; y < mh; ++y) {
    const float sy = (float(y) - oy) / s;
    if (sy < 0.0f || sy > float(fh - 1)) continue;
    const uint32_t y0 = uint32_t(sy);
    const uint32_t y1 = std::min(y0 + 1, fh - 1);
    const float fy = sy - float(y0);
    for (uint32_t x = 0; x < mw; ++x) {
      const float sx = (float(x) - ox) / s;
      if (sx < 0.0f || sx > float(fw - 1)) continue;
      const uint32_t x0 = uint32_t(sx);
      const uint32_t x1 = std::min(x0 + 1, fw - 1);
      const float fx = sx - float(x0);
      const uint8_t* p00 = src + size_t(y0) * in.rowPitch + size_t(x0) * 4;
      const uint8_t* p01 = src + size_t(y0) * in.rowPitch + size_t(x1) * 4;
      const uint8_t* p10 = src + size_t(y1) * in.rowPitch + size_t(x0) * 4;
      const uint8_t* p11 = src + size_t(y1) * in.rowPitch + size_t(x1) * 4;
      uint8_t* d = target.data() + (size_t(y) * mw + x) * 4;
      for (int c = 0; c < 4; ++c) {
        const float top = float(p00[c]) * (1.0f - fx) + float(p01[c]) * fx;
        const float bottom = float(p10[c]) * (1.0f - fx) + float(p11[c]) * fx;
        d[c] = static_cast<uint8_t>(top * (1.0f - fy) + bottom * fy);
      }
    }
  }
  m_context->Unmap(*source, 0);

  gpu::TextureDesc ud = gpu::TextureDesc{.width = mw,
                                         .height = mh,
                                         .format = fd.format,
                                         .usage = gpu::Usage::Staging,
                                         .cpuAccessFlags = gpu::CPU_ACCESS_WRITE};
  std::shared_ptr<gpu::Texture2D> upload;
  if (Failed(m_device->CreateTexture2D(ud, nullptr, 0, &upload))) return false;
  gpu::MappedSubresource out;
  if (Failed(m_context->Map(*upload, 0, gpu::MapType::Write, 0, &out))) return false;
  for (uint32_t y = 0; y < mh; ++y) {
    std::memcpy(static_cast<uint8_t*>(out.data) + size_t(y) * out.rowPitch, target.data() + size_t(y) * mw * 4,
                size_t(mw) * 4);
  }
  m_context->Unmap(*upload, 0);
  m_context->CopyResource(*m_resizedInput, *upload);
  return true;
}

// The person plane of the output, read by the output's real shape: the channel axis where the
// input's layout puts it (or the other one when only that fits), the second channel of a two-
// channel output, and never more values than the output holds.
bool SegmentationModel::ExtractMask(const inference::OutputTensor& output) {
  const size_t w = m_inputWidth, h = m_inputHeight, plane = w * h;
  if (output.type != inference::ElementType::Float) return false;
  const std::vector<int64_t>& s = output.shape;
  if (s.size() == 4) {
    const bool cfFits = s[2] == int64_t(h) && s[3] == int64_t(w) && s[1] >= 1;
    const bool clFits = s[1] == int64_t(h) && s[2] == int64_t(w) && s[3] >= 1;
    if (!cfFits && !clFits) return false;
    const bool channelsFirst = cfFits && (m_channelsFirst || !clFits);
    const size_t channels = size_t(channelsFirst ? s[1] : s[3]);
    const size_t channel = channels >= 2 ? 1 : 0;
    if (output.data.size() < channels * plane) return false;
    if (channelsFirst) {
      std::copy_n(output.data.begin() + channel * plane, plane, m_maskBuffer.begin());
    } else {
      for (size_t i = 0; i < plane; ++i) m_maskBuffer[i] = output.data[i * channels + channel];
    }
    return true;
  }
  if (output.data.size() < plane) return false;
  std::copy_n(output.data.begin(), plane, m_maskBuffer.begin());
  return true;
}

bool SegmentationModel::RunInference(gpu::Texture2D* frame, gpu::Texture2D** mask) {
  if (!m_ready || frame == nullptr || mask == nullptr || !m_runtimeState.sessionValid) return false;
  try {
    if (!Letterbox(*frame)) return false;
    m_context->CopyResource(*m_stagingInput, *m_resizedInput);
    gpu::MappedSubresource in;
    if (Failed(m_context->Map(*m_stagingInput, 0, gpu::MapType::Read, 0, &in))) return false;
    const uint32_t w = m_inputWidth, h = m_inputHeight;
    const size_t plane = size_t(w) * h;
    constexpr float kScale = 1.0f / 255.0f;
    for (uint32_t y = 0; y < h; ++y) {
      const uint8_t* row = static_cast<const uint8_t*>(in.data) + size_t(y) * in.rowPitch;
      for (uint32_t x = 0; x < w; ++x) {
        const size_t i = size_t(y) * w + x;
        const float r = float(row[x * 4 + 2]) * kScale;
        const float g = float(row[x * 4 + 1]) * kScale;
        const float b = float(row[x * 4 + 0]) * kScale;
        if (m_channelsFirst) {
          m_inputTensor[i] = r;
          m_inputTensor[plane + i] = g;
          m_inputTensor[2 * plane + i] = b;
        } else {
          m_inputTensor[i * 3 + 0] = r;
          m_inputTensor[i * 3 + 1] = g;
          m_inputTensor[i * 3 + 2] = b;
        }
      }
    }
    m_context->Unmap(*m_stagingInput, 0);

    const std::vector<int64_t> shape = m_channelsFirst ? std::vector<int64_t>{1, 3, h, w}
                                                       : std::vector<int64_t>{1, h, w, 3};
    const inference::Status s =
        m_runtimeState.session->Run(m_runtimeState.inputName, m_inputTensor.data(), m_inputTensor.size(), shape,
                                    m_runtimeState.outputName, &m_runtimeState.output);
    if (!s.ok) {
      DebugLog<512>(L"[SegmentationModel] Inference error: %s\n", s.message.c_str());
      return false;
    }
    if (!ExtractMask(m_runtimeState.output)) return false;

    gpu::MappedSubresource out;
    if (Failed(m_context->Map(*m_stagingOutput, 0, gpu::MapType::Write, 0, &out))) {
      *mask = nullptr;
      return false;
    }
    for (uint32_t y = 0; y < h; ++y) {
      std::memcpy(static_cast<uint8_t*>(out.data) + size_t(y) * out.rowPitch, m_maskBuffer.data() + size_t(y) * w,
                  size_t(w) * sizeof(float));
    }
    m_context->Unmap(*m_stagingOutput, 0);
    m_context->CopyResource(*m_outputMask, *m_stagingOutput);
    *mask = m_outputMask.get();
    return true;
  } catch (const std::exception& e) {
    DebugLog<512>(L"[SegmentationModel] Inference error: %s\n", e.what());
  }
  return false;
}

void SegmentationModel::Shutdown() {
  m_ready = false;
  m_runtimeState = RuntimeState{};
  m_stagingInput.reset();
  m_stagingOutput.reset();
  m_resizedInput.reset();
  m_outputMask.reset();
  m_context.reset();
  m_device.reset();
}

}  // namespace kalto
