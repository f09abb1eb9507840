#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "gpu_test_util.h"

namespace kalto::gpu::test {
namespace {

constexpr uint32_t kGroup = 8;

struct InvertConstants {
  uint32_t width, height, mask, pad;
};

class ComputeTest : public GpuTest {
 protected:
  std::shared_ptr<ComputeShader> Compile(const std::string& name) {
    std::shared_ptr<ShaderBlob> blob;
    std::string errors;
    EXPECT_EQ(S_OK, factory.CompileShader(name, "// source", "main", "cs_5_0", &blob, &errors)) << errors;
    std::shared_ptr<ComputeShader> shader;
    if (blob) {
      EXPECT_EQ(S_OK, device->CreateComputeShader(*blob, &shader));
    }
    return shader;
  }
};

// XORs every byte of SRV 0 with the mask from constant buffer 0 into UAV 0: a wrong pitch, a
// wrong band split or a lost constant buffer each change the output.
TEST_F(ComputeTest, InvertKernelRunsOverOddSizesThroughViewsAndConstants) {
  ComputeKernel kernel;
  kernel.run = [](const ComputeBindings& bindings, uint32_t groupsX, uint32_t groupYBegin, uint32_t groupYEnd) {
    const auto constants = ReadConstants<InvertConstants>(bindings, 0);
    const TexturePixels in = PixelsOf(*bindings.srv[0]->GetTexture());
    const TexturePixels out = PixelsOf(*bindings.uav[0]->GetTexture());
    const uint32_t rowBytes = std::min(groupsX * kGroup, constants.width) * BytesPerPixel(in.format);
    for (uint32_t y = groupYBegin * kGroup; y < std::min(groupYEnd * kGroup, constants.height); ++y) {
      for (uint32_t i = 0; i < rowBytes; ++i) {
        out.data[size_t{y} * out.rowPitch + i] = in.data[size_t{y} * in.rowPitch + i] ^ uint8_t(constants.mask);
      }
    }
  };
  RegisterKernel("test_invert.hlsl", "main", "cs_5_0", std::move(kernel));

  const uint32_t w = 37, h = 23;
  const auto pixels = Pattern(w, h, Format::R8G8B8A8_UNORM);
  auto input = Make(Desc(w, h, Format::R8G8B8A8_UNORM), pixels.data(), w * 4);
  auto output = Make(Desc(w, h, Format::R8G8B8A8_UNORM, Usage::Default, BIND_UNORDERED_ACCESS));
  std::shared_ptr<ShaderResourceView> srv;
  std::shared_ptr<UnorderedAccessView> uav;
  std::shared_ptr<Buffer> constants;
  ASSERT_EQ(S_OK, device->CreateShaderResourceView(input, &srv));
  ASSERT_EQ(S_OK, device->CreateUnorderedAccessView(output, &uav));
  ASSERT_EQ(S_OK, device->CreateBuffer({16, Usage::Dynamic, BIND_CONSTANT_BUFFER, CPU_ACCESS_WRITE}, nullptr,
                                       &constants));
  MappedSubresource mapped;
  ASSERT_EQ(S_OK, context->Map(*constants, MapType::WriteDiscard, &mapped));
  const InvertConstants values{w, h, 0xFF, 0};
  std::memcpy(mapped.data, &values, sizeof values);
  context->Unmap(*constants);

  auto shader = Compile("test_invert.hlsl");
  ASSERT_TRUE(shader);
  ShaderResourceView* srvs[] = {srv.get()};
  UnorderedAccessView* uavs[] = {uav.get()};
  Buffer* cbs[] = {constants.get()};
  context->CSSetShader(shader.get());
  context->CSSetShaderResources(0, 1, srvs);
  context->CSSetUnorderedAccessViews(0, 1, uavs);
  context->CSSetConstantBuffers(0, 1, cbs);
  context->Dispatch((w + kGroup - 1) / kGroup, (h + kGroup - 1) / kGroup, 1);

  auto expected = pixels;
  for (auto& b : expected) b = static_cast<uint8_t>(~b);
  EXPECT_EQ(expected, ReadBack(*output));
}

TEST_F(ComputeTest, DispatchRunsEveryGroupRowExactlyOnce) {
  struct Log {
    std::vector<std::atomic<int>> rows = std::vector<std::atomic<int>>(1001);
    std::atomic<uint32_t> groupsX{0};
  };
  auto log = std::make_shared<Log>();
  ComputeKernel kernel;
  kernel.run = [log](const ComputeBindings&, uint32_t groupsX, uint32_t begin, uint32_t end) {
    log->groupsX = groupsX;
    for (uint32_t y = begin; y < end; ++y) log->rows[y]++;
  };
  RegisterKernel("test_rows.hlsl", "main", "cs_5_0", std::move(kernel));
  auto shader = Compile("test_rows.hlsl");
  context->CSSetShader(shader.get());
  context->Dispatch(3, 1001, 1);
  EXPECT_EQ(3u, log->groupsX.load());
  for (uint32_t y = 0; y < 1001; ++y) ASSERT_EQ(1, log->rows[y].load()) << "group row " << y;

  context->Dispatch(3, 1001, 2);  // kernels are two-dimensional
  context->Dispatch(0, 1001, 1);
  // A shader released while bound must not run (nor be touched after it is freed).
  shader.reset();
  context->Dispatch(1, 1, 1);
  EXPECT_EQ(1, log->rows[0].load());
}

TEST_F(ComputeTest, UnknownEntryReportsACompilerError) {
  RegisterKernel("test_known.hlsl", "main", "cs_5_0", {});
  std::shared_ptr<ShaderBlob> blob;
  std::string errors;
  EXPECT_EQ(E_FAIL, factory.CompileShader("test_known.hlsl", "src", "CSMissing", "cs_5_0", &blob, &errors));
  EXPECT_FALSE(blob);
  EXPECT_NE(std::string::npos, errors.find("test_known.hlsl")) << errors;
  EXPECT_NE(std::string::npos, errors.find("'CSMissing'")) << errors;
  EXPECT_NE(std::string::npos, errors.find("error X3501")) << errors;
  EXPECT_TRUE(Failed(factory.CompileShader("test_known.hlsl", "src", "main", "cs_4_0", &blob, &errors)));
  ASSERT_EQ(S_OK, factory.CompileShader("test_known.hlsl", "src", "main", "cs_5_0", &blob, &errors));
  EXPECT_TRUE(errors.empty());
}

TEST_F(ComputeTest, ConstantBuffersAreWholeRegistersAndReadSafely) {
  std::shared_ptr<Buffer> buffer;
  EXPECT_EQ(E_INVALIDARG, device->CreateBuffer({20, Usage::Default, BIND_CONSTANT_BUFFER, 0}, nullptr, &buffer));
  EXPECT_FALSE(buffer);
  const uint32_t initial[4] = {1, 2, 3, 4};
  ASSERT_EQ(S_OK, device->CreateBuffer({16, Usage::Default, BIND_CONSTANT_BUFFER, 0}, initial, &buffer));
  ComputeBindings bindings;
  bindings.cb[1] = buffer.get();
  EXPECT_EQ(3u, ReadConstants<InvertConstants>(bindings, 1).mask);
  struct Big {
    uint32_t values[16];
  };
  EXPECT_EQ(0u, ReadConstants<Big>(bindings, 1).values[0]);  // never reads past a short buffer
}

}  // namespace
}  // namespace kalto::gpu::test
