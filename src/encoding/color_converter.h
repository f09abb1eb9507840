#pragma once
#include <cstdint>
#include <memory>

#include "platform/gpu/gpu_device.h"

namespace kalto {

// Turns BGRA frames of one fixed, even size into NV12 (BT.709, limited range) with a compute
// kernel, and reads the planes back into one CPU-readable staging texture laid out as an NV12
// image: `height` rows of Y, then `height / 2` rows of interleaved U, V.
//
// Threads: one caller (the encoder's video thread) on the frame device's immediate context.
class ColorConverter {
 public:
  // The kernel's source name, entry point and target, as compiled.
  static constexpr const char* kShaderName = "BgraToNv12.hlsl";
  static constexpr const char* kShaderEntry = "main";
  static constexpr const char* kShaderTarget = "cs_5_0";
  static constexpr uint32_t kGroupSize = 16;
  // What the registered kernel computes, kept as the reference text of the shader.
  static const char* const kShaderSource;

  // `compiler` compiles the kernel (the stand-in for D3DCompile).
  explicit ColorConverter(std::shared_ptr<gpu::DeviceFactory> compiler);
  ~ColorConverter();
  ColorConverter(const ColorConverter&) = delete;
  ColorConverter& operator=(const ColorConverter&) = delete;

  bool Initialize(gpu::Device* device, uint32_t width, uint32_t height);
  // `input` is borrowed for the call. On success `*nv12` is the converter's staging texture (no
  // extra reference): valid until the next Convert or destruction; the caller maps it to read.
  bool Convert(gpu::Texture2D* input, gpu::Texture2D** nv12);
  void Shutdown();

  uint32_t GetWidth() const { return m_width; }
  uint32_t GetHeight() const { return m_height; }
  bool IsInitialized() const { return m_initialized; }

  // Registers the kernel under (kShaderName, kShaderEntry, kShaderTarget). Initialize does it
  // once per process; tests that replace the kernel call it to put it back.
  static void RegisterKernel();

 private:
  bool CreateShaders();
  bool CreateTextures();
  bool CreateStagingTextures();

  std::shared_ptr<gpu::DeviceFactory> m_compiler;

  std::shared_ptr<gpu::Device> m_device;
  std::shared_ptr<gpu::DeviceContext> m_context;
  std::shared_ptr<gpu::ComputeShader> m_computeShader;
  std::shared_ptr<gpu::Texture2D> m_nv12Staging;
  std::shared_ptr<gpu::Texture2D> m_yStaging;
  std::shared_ptr<gpu::Texture2D> m_uvStaging;
  std::shared_ptr<gpu::UnorderedAccessView> m_yUav;
  std::shared_ptr<gpu::UnorderedAccessView> m_uvUav;
  std::shared_ptr<gpu::Texture2D> m_yTexture;
  std::shared_ptr<gpu::Texture2D> m_uvTexture;
  uint32_t m_width = 0;
  uint32_t m_height = 0;
  bool m_initialized = false;
};

}  // namespace kalto
