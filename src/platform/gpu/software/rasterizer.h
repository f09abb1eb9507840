#pragma once
// The software device's triangle rasteriser: the draw call's fixed-function half around the
// vertex and pixel kernels. Internal to the software backend.
#include <cstdint>

#include "platform/gpu/gpu_device.h"

namespace kalto::gpu::software::raster {

// Render target 0: a 4-byte UNORM colour texture (B8G8R8A8 or R8G8B8A8).
struct Target {
  uint8_t* data = nullptr;
  uint32_t rowPitch = 0;
  bool bgra = true;
};

// Everything one draw reads, resolved by the context from its bindings.
struct DrawCall {
  Target target;
  Viewport viewport;
  // The pixels a draw may touch: viewport, target and enabled scissor already intersected.
  Rect clip;
  RasterizerDesc rasterizer;
  RenderTargetBlendDesc blend;
  bool alphaToCoverage = false;
  float blendFactor[4] = {1, 1, 1, 1};
  uint32_t sampleMask = 0xFFFFFFFFu;
  PrimitiveTopology topology = PrimitiveTopology::Undefined;
  const VertexKernel* vertex = nullptr;
  const PixelKernel* pixel = nullptr;
  StageBindings vs;
  StageBindings ps;
};

// Runs the vertex kernel for vertices [startVertex, startVertex + vertexCount), assembles
// triangles (lists and strips; other topologies draw nothing), culls and rasterises them with a
// top-left fill rule at 8-bit sub-pixel precision, and runs the pixel kernel on covered pixels
// only, blending its colour into the target. Triangles with a vertex at w <= 0 or beyond a
// million pixels from the origin are skipped: there is no clipping against those planes.
void Draw(const DrawCall& call, uint32_t vertexCount, uint32_t startVertex);

}  // namespace kalto::gpu::software::raster
