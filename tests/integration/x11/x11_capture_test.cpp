// The X11 capture backend against the program's Xvfb: what is on screen is what arrives.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "capture_harness.h"

#include <algorithm>

namespace kalto::test {
namespace {

using X11Capture = XTest;

TEST_F(X11Capture, EachMonitorShowsItsPatternExactlyAndTheCursorOnlyWhenAsked) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 100, 100, 300, 200, "pattern", 5);
  TestWindow onRight(*client, 1920 + 100, 100, 200, 100, "right", 2);
  client->WarpPointer(250, 200);  // over the pattern
  for (bool cursor : {false, true}) {
    CaptureHarness h(display, false, 0, cursor);
    auto frame = h.WaitFor();
    ASSERT_TRUE(frame);
    EXPECT_EQ((screen::SizeInt32{1920, 1080}), frame->content);
    ASSERT_EQ(1920u * 1080u, frame->pixels.size());
    // Opaque everywhere, also where the server's memory left the top byte alone.
    EXPECT_TRUE(std::all_of(frame->pixels.begin(), frame->pixels.end(), [](uint32_t p) { return p >> 24 == 0xFF; }));
    int near = 0, far = 0;
    for (int y = 0; y < 200; ++y) {
      for (int x = 0; x < 300; ++x) {
        const bool close = std::abs(100 + x - 250) < 40 && std::abs(100 + y - 200) < 40;
        (close ? near : far) += frame->At(100 + x, 100 + y) != PatternPixel(x, y, 5);
      }
    }
    EXPECT_EQ(cursor, near > 10) << "the cursor shows around the pointer only when asked";
    EXPECT_EQ(0, far);
  }
  CaptureHarness right(display, false, 1);
  auto frame = right.WaitFor();
  ASSERT_TRUE(frame);
  EXPECT_EQ((screen::SizeInt32{1280, 1024}), frame->content);
  EXPECT_EQ(0, PatternMismatches(*frame, 100, 100, 200, 100, 2));
}

// A covered window is read from its own pixmap (what was hidden arrives once repainted); a
// resized one reports its new content size in surfaces of the pool's size until it is recreated.
TEST_F(X11Capture, WindowIsReadFromItsOwnPixmapAndReportsItsNewSize) {
  ASSERT_TRUE(Boot());
  TestWindow target(*client, 50, 50, 240, 160, "target", 6);
  TestWindow cover(*client, 100, 80, 300, 200, "cover", 7);
  CaptureHarness h(display, true, target.id());
  ASSERT_TRUE(h.WaitFor());
  target.Draw();
  ASSERT_TRUE(h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 240, 160, 6) == 0; }));
  size_t before = h.Count();
  target.Resize(200, 90);
  target.Draw();
  auto resized = h.WaitFor([](const CapturedFrame& f) { return f.content == screen::SizeInt32{200, 90}; }, before);
  ASSERT_TRUE(resized);
  EXPECT_EQ(240u, resized->width);
  EXPECT_EQ(0xFF000000u, resized->At(10, 120)) << "outside the content is black";
  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {200, 90});
  before = h.Count();
  target.Draw();
  EXPECT_TRUE(h.WaitFor(
      [](const CapturedFrame& f) { return f.width == 200 && PatternMismatches(f, 0, 0, 200, 90, 6) == 0; }, before));
}

TEST_F(X11Capture, BadArgumentsAreRefusedAndClosedObjectsThrow) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 0, 0, 100, 100, "w", 1);
  CaptureHarness h(display, true, window.id());
  std::shared_ptr<screen::CaptureItem> none;
  EXPECT_EQ(E_INVALIDARG, h.interop->CreateForMonitor(0x7FFF0000, &none));
  EXPECT_EQ(E_INVALIDARG, h.interop->CreateForWindow(0x7FFFFFF, &none));
  EXPECT_THROW(h.service.CreateFreeThreadedFramePool(h.captureDevice, gpu::Format::R8_UNORM, 2, {64, 64}), PlatformError);
  EXPECT_THROW(x11::X11CaptureService(UnusedDisplay()).GetItemInterop(), PlatformError);
  ASSERT_TRUE(h.WaitFor());
  EXPECT_THROW(h.session->StartCapture(), PlatformError) << "started twice";
  h.pool->Close();
  const size_t after = h.Count();
  window.Fill(0xFFFFFF);
  EXPECT_FALSE(h.WaitFor({}, after, 300ms)) << "nothing arrives after Close";
  h.session->Close();
  try {
    h.session->StartCapture();
    ADD_FAILURE() << "a closed session started";
  } catch (const PlatformError& e) {
    EXPECT_EQ(RO_E_CLOSED, e.code());
    EXPECT_STREQ("The object has been closed.", e.what());
  }
  EXPECT_THROW(h.pool->TryGetNextFrame(), PlatformError);
}

}  // namespace
}  // namespace kalto::test
