#pragma once
// The background effect's compute kernels on the graphics device. Each is registered under its
// shader name with entry "main" and target "cs_5_0"; the processor compiles them by name.
#include <cstdint>

namespace kalto::effects {

inline constexpr const char* kBlurHorizontal = "BlurHorizontal.hlsl";
inline constexpr const char* kBlurVertical = "BlurVertical.hlsl";
inline constexpr const char* kComposite = "CompositeWithMask.hlsl";
inline constexpr const char* kImageCover = "ImageCover.hlsl";
inline constexpr const char* kColorFill = "SolidColor.hlsl";
inline constexpr const char* kGradientFill = "Gradient.hlsl";
inline constexpr const char* kChannelSwap = "ChannelSwap.hlsl";
inline constexpr const char* kEntry = "main";
inline constexpr const char* kTarget = "cs_5_0";

// Thread-group sizes, which the dispatches divide the frame by.
inline constexpr uint32_t kBlurGroupLong = 64;
inline constexpr uint32_t kBlurGroupShort = 4;
inline constexpr uint32_t kBlurApron = 32;  // the row cache holds 64 + 2 x 32 texels
inline constexpr uint32_t kFillGroup = 8;

// Constant buffers, laid out as the kernels read them.
struct BlurParams {  // 16 bytes
  int32_t radius;
  float texelWidth;
  float texelHeight;
  float padding;
};
struct ColorParams {  // 16 bytes
  float rgba[4];
};
struct GradientParams {  // 32 bytes
  float top[4];
  float bottom[4];
};
struct CompositeParams {  // 16 bytes
  float scale;
  float offsetX;
  float offsetY;
  // 1 when the background holds red and blue exchanged (the horizontal blur leaves them so).
  float backgroundSwapped;
};
struct ImageCoverParams {  // 16 bytes
  float sourceWidth;
  float sourceHeight;
  float destWidth;
  float destHeight;
};

// Registers all seven kernels once per process.
void RegisterKernels();

// Short descriptions handed to the compiler with each name.
extern const char* const kBlurHorizontalSource;
extern const char* const kBlurVerticalSource;
extern const char* const kCompositeSource;
extern const char* const kImageCoverSource;
extern const char* const kColorFillSource;
extern const char* const kGradientFillSource;
extern const char* const kChannelSwapSource;

}  // namespace kalto::effects
