// The X11 capture backend against the program's Xvfb: what is on screen is what arrives.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "capture_harness.h"
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>

#include "support/debug_capture.h"

namespace kalto::test {
namespace {

// Expects `call` to throw a PlatformError of `code`; returns its message.
std::string ExpectError(HRESULT code, const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& e) {
    EXPECT_EQ(code, e.code());
    return e.what();
  }
  return {};
}

void FillRaw(::Display* d, Window window, unsigned long pixel, int width, int height) {
  GC gc = XCreateGC(d, window, 0, nullptr);
  XSetForeground(d, gc, pixel);
  XFillRectangle(d, window, gc, 0, 0, width, height);
  XFreeGC(d, gc);
  XSync(d, False);
}

using X11Capture = XTest;

TEST_F(X11Capture, BadArgumentsAndAMissingServerAreRefused) {
  ASSERT_TRUE(Boot());
  CaptureHarness h(Display());
  std::shared_ptr<screen::CaptureItem> item;
  EXPECT_EQ(E_INVALIDARG, h.interop->CreateForMonitor(0x7FFF0000, &item));
  EXPECT_EQ(E_INVALIDARG, h.interop->CreateForWindow(0x7FFFFFF, &item));
  EXPECT_EQ(nullptr, item);
  std::shared_ptr<screen::CaptureDevice> noDevice;
  EXPECT_EQ(E_INVALIDARG, h.service.CreateCaptureDevice(nullptr, &noDevice));
  const auto bgra = gpu::Format::B8G8R8A8_UNORM;
  auto& s = h.service;
  ExpectError(E_INVALIDARG, [&] { s.CreateFreeThreadedFramePool(nullptr, bgra, 2, {64, 64}); });
  ExpectError(E_INVALIDARG, [&] { s.CreateFreeThreadedFramePool(h.captureDevice, gpu::Format::R8_UNORM, 2, {64, 64}); });
  ExpectError(E_INVALIDARG, [&] { s.CreateFreeThreadedFramePool(h.captureDevice, bgra, 0, {64, 64}); });
  ExpectError(E_INVALIDARG, [&] { s.CreateFreeThreadedFramePool(h.captureDevice, bgra, 2, {64, -1}); });
  auto pool = s.CreateFreeThreadedFramePool(h.captureDevice, bgra, 2, {64, 64});
  ExpectError(E_INVALIDARG, [&] { pool->Recreate(h.captureDevice, bgra, 2, {0, 0}); });
  ExpectError(E_INVALIDARG, [&] { pool->CreateCaptureSession(nullptr); });
  // The display is opened lazily: only the interop reports that it is not there.
  x11::X11CaptureService missing(UnusedDisplay());
  EXPECT_THROW(missing.GetItemInterop(), PlatformError);
}

TEST_F(X11Capture, EachMonitorShowsItsPatternExactlyAndTheCursorOnlyWhenAsked) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 100, 100, 300, 200, "pattern", 5);
  TestWindow onRight(*client, 1920 + 100, 100, 200, 100, "right", 2);
  TestWindow corner(*client, 1920 + 1280 - 50, 1024 - 40, 50, 40, "corner", 4);
  client->WarpPointer(250, 200);  // over the pattern

  CaptureHarness plain(Display());
  plain.Prepare(plain.MonitorItem());
  EXPECT_TRUE(plain.StaysAt(0, 100ms)) << "no frames before StartCapture";
  plain.Start(false);
  auto frame = plain.WaitForAny();
  ASSERT_TRUE(frame);
  EXPECT_EQ((screen::SizeInt32{1920, 1080}), frame->content);
  ASSERT_EQ(1920u * 1080u, frame->pixels.size());
  EXPECT_EQ(0, PatternMismatches(*frame, 100, 100, 300, 200, 5));
  // Opaque everywhere, also where the server's memory left the top byte alone.
  EXPECT_TRUE(std::all_of(frame->pixels.begin(), frame->pixels.end(), [](uint32_t p) { return (p >> 24) == 0xFF; }));

  CaptureHarness cursor(Display());
  cursor.Run(cursor.MonitorItem(), /*cursor=*/true);
  frame = cursor.WaitForAny();
  ASSERT_TRUE(frame);
  int near = 0, far = 0;
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 300; ++x) {
      const bool close = std::abs(100 + x - 250) < 40 && std::abs(100 + y - 200) < 40;
      (close ? near : far) += frame->At(100 + x, 100 + y) != PatternPixel(x, y, 5);
    }
  }
  EXPECT_GT(near, 10) << "the cursor should show around the pointer";
  EXPECT_EQ(0, far) << "and nowhere else";

  CaptureHarness right(Display());
  right.Run(right.MonitorItem(1));
  frame = right.WaitForAny();
  ASSERT_TRUE(frame);
  EXPECT_EQ((screen::SizeInt32{1280, 1024}), frame->content);
  ASSERT_EQ(1280u, frame->width);
  EXPECT_EQ(0, PatternMismatches(*frame, 100, 100, 200, 100, 2));
  EXPECT_EQ(0, PatternMismatches(*frame, 1280 - 50, 1024 - 40, 50, 40, 4));
}

TEST_F(X11Capture, OccludedWindowIsReadFromItsOwnPixmap) {
  ASSERT_TRUE(Boot());
  TestWindow target(*client, 50, 50, 240, 160, "target", 6);
  TestWindow cover(*client, 100, 80, 300, 200, "cover", 7);
  cover.Fill(0x00FF00);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(target.id()));
  ASSERT_TRUE(h.WaitForAny());
  // What was hidden was never drawn anywhere; an application repaints it when it is exposed.
  const size_t before = h.Count();
  target.Draw();
  auto frame = h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 240, 160, 6) == 0; }, before);
  ASSERT_TRUE(frame) << "the covered window's own pixels should arrive";
  EXPECT_EQ((screen::SizeInt32{240, 160}), frame->content);
  CaptureHarness screen(Display());
  screen.Run(screen.MonitorItem());
  auto screenFrame = screen.WaitForAny();
  ASSERT_TRUE(screenFrame);
  EXPECT_EQ(0xFF00FF00u, screenFrame->At(200, 150)) << "the screen itself still shows the cover";
}

TEST_F(X11Capture, ResizedWindowReportsItsNewContentSizeUntilThePoolIsRecreated) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 20, 20, 160, 120, "resizable", 8);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window.id()));
  ASSERT_TRUE(h.WaitForAny());
  size_t before = h.Count();
  window.Resize(200, 90);
  window.Draw();
  auto resized = h.WaitFor(
      [](const CapturedFrame& f) {
        return f.content == screen::SizeInt32{200, 90} && PatternMismatches(f, 0, 0, 160, 90, 8) == 0;
      },
      before);
  ASSERT_TRUE(resized) << "a frame of the new size should arrive";
  // The surface keeps the pool's size: the overlap is the content, the rest is black.
  EXPECT_EQ(160u, resized->width);
  EXPECT_EQ(120u, resized->height);
  EXPECT_EQ(0xFF000000u, resized->At(10, 100));
  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {200, 90});
  before = h.Count();
  window.Draw();
  auto recreated = h.WaitFor(
      [](const CapturedFrame& f) { return f.width == 200 && PatternMismatches(f, 0, 0, 200, 90, 8) == 0; }, before);
  ASSERT_TRUE(recreated);
  EXPECT_EQ((screen::SizeInt32{200, 90}), recreated->content);
}

TEST_F(X11Capture, HeldFramesStayValidAcrossRecreateAndBlockDeliveryWhenAllAreHeld) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 0, 0, 320, 240, "full", 9);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window.id()), false, /*keepFrames=*/true);
  // The next queued frame of that width; frames of the old size may still be queued.
  auto next = [&](uint32_t width, std::chrono::milliseconds timeout = 15s) {
    std::shared_ptr<screen::CaptureFrame> frame;
    WaitUntil([&] { return (frame = h.pool->TryGetNextFrame()) && frame->Surface()->GetDesc().width == width; }, timeout);
    return frame && frame->Surface()->GetDesc().width == width ? frame : nullptr;
  };
  auto held = next(320);
  ASSERT_TRUE(held);
  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {100, 100});
  window.Fill(0x123456);
  auto small = next(100);
  ASSERT_TRUE(small);
  // The old frame still has its own memory and what it captured.
  CapturedFrame old = CopyFrame(*held);
  EXPECT_EQ(320u, old.width);
  EXPECT_EQ(0, PatternMismatches(old, 0, 0, 320, 240, 9));
  held->Close();
  ExpectError(RO_E_CLOSED, [&] { held->Surface(); });
  ExpectError(RO_E_CLOSED, [&] { held->ContentSize(); });
  // Both new buffers held: a change is seen but cannot be delivered until one is freed.
  window.Fill(0x010203);
  auto second = next(100);
  ASSERT_TRUE(second);
  window.Fill(0x040506);
  EXPECT_FALSE(next(100, 300ms));
  small->Close();
  auto latest = next(100);
  ASSERT_TRUE(latest) << "a freed buffer carries the pending change";
  EXPECT_EQ(0xFF040506u, CopyFrame(*latest).At(10, 10));
}

TEST_F(X11Capture, IconifiedWindowYieldsNoFramesAndComesBack) {
  ASSERT_TRUE(Boot(/*windowManager=*/true));
  TestWindow window(*client, 50, 50, 200, 100, "iconify me", 2);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window.id()), /*cursor=*/true);
  ASSERT_TRUE(h.WaitForAny());
  ASSERT_TRUE(window.Iconify());
  const size_t iconic = h.Count() + 1;  // one frame already in flight may land
  window.Draw();                         // drawing to an unmapped window changes nothing visible
  client->WarpPointer(600, 400);         // outside the restored window
  EXPECT_TRUE(h.StaysAt(iconic, 500ms));
  ASSERT_TRUE(window.Restore());
  window.Draw();
  EXPECT_TRUE(h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 200, 100, 2) == 0; }, iconic - 1))
      << "capture resumes when the window is restored";
}

TEST_F(X11Capture, WindowIsCapturedOnlyWhileViewableAndDeliveryEndsWhenItIsDestroyed) {
  ASSERT_TRUE(Boot());
  ::Display* d = client->get();
  client->WarpPointer(300, 230);
  // A mapped child of an unmapped parent: naming its pixmap or grabbing it raises BadMatch.
  Window parent = XCreateSimpleWindow(d, client->Root(), 10, 10, 120, 90, 0, 0, 0);
  Window child = XCreateSimpleWindow(d, parent, 0, 0, 120, 90, 0, 0, 0);
  XMapWindow(d, child);
  XSync(d, False);
  DebugCapture debug;
  CaptureHarness h(Display());
  h.Run(h.WindowItem(child), /*cursor=*/true);
  EXPECT_TRUE(h.StaysAt(0, 400ms));
  XMapWindow(d, parent);
  FillRaw(d, child, 0xABCDEF, 120, 90);
  EXPECT_TRUE(h.WaitFor([](const CapturedFrame& f) { return f.At(60, 45) == 0xFFABCDEFu; }))
      << "capture starts once the window can be read";
  EXPECT_EQ(0, debug.CountPrefix("[X11] untrapped")) << "every failure was the capture's own, and handled";
  XDestroyWindow(d, parent);
  XSync(d, False);
  WaitUntil([&] { return h.StaysAt(h.Count(), 100ms); });
  const size_t after = h.Count();
  client->WarpPointer(20, 20);  // would be drawn if the worker still ran
  EXPECT_TRUE(h.StaysAt(after));
  h.session->Close();  // joins a worker that has already finished
}

TEST_F(X11Capture, ArgbWindowIsGrabbedAndMadeOpaque) {
  ASSERT_TRUE(Boot());
  ::Display* d = client->get();
  XVisualInfo visual{};
  KALTO_REQUIRE(XMatchVisualInfo(d, DefaultScreen(d), 32, TrueColor, &visual), "no 32-bit visual");
  XSetWindowAttributes attributes{};
  attributes.colormap = XCreateColormap(d, client->Root(), visual.visual, AllocNone);
  Window window = XCreateWindow(d, client->Root(), 20, 20, 64, 48, 0, 32, InputOutput, visual.visual,
                                CWColormap | CWBorderPixel | CWBackPixel, &attributes);
  XMapWindow(d, window);
  XSync(d, False);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window));
  ASSERT_TRUE(h.WaitForAny());
  FillRaw(d, window, 0x80800000, 64, 48);  // half-transparent red
  EXPECT_TRUE(h.WaitFor([](const CapturedFrame& f) { return f.At(10, 10) == 0xFF800000u; }));
  h.Stop();
  XDestroyWindow(d, window);
  XFreeColormap(d, attributes.colormap);
  XSync(d, False);
}

// A still screen is quiet; a changing one comes at most at the refresh rate, or at the minimum
// interval asked for, and the change inside the last interval still arrives at its end.
TEST_F(X11Capture, DeliveryFollowsChangesUpToTheRateAndTheMinimumInterval) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 0, 0, 640, 480, "busy", 1);
  for (bool thinned : {false, true}) {
    SCOPED_TRACE(thinned);
    CaptureHarness h(Display());
    h.Prepare(h.WindowItem(window.id()));
    ASSERT_NE(nullptr, h.session->QueryMinUpdateIntervalSetting());
    if (thinned) h.session->QueryMinUpdateIntervalSetting()->SetMinUpdateInterval(100ms);
    h.Start(true);
    ASSERT_TRUE(h.WaitForAny());
    EXPECT_TRUE(thinned || h.StaysAt(h.Count() + 3, 1s)) << "nothing changed";
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> last{0};
    std::thread painter([&] {
      for (uint32_t colour = 0x102030; !stop.load(); std::this_thread::sleep_for(10ms)) {
        FillRaw(client->get(), window.id(), colour += 0x010101, 640, 480);
        last = colour;
      }
    });
    const size_t before = h.Count();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    stop = true;
    painter.join();
    const size_t delivered = h.Count() - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A loaded machine gets fewer, never more than the rate allows.
    EXPECT_GE(delivered, thinned ? 5u : 10u);
    EXPECT_LE(delivered, static_cast<size_t>(seconds * (thinned ? 10 : 75) + 2));
    const uint32_t expected = 0xFF000000u | last.load();
    EXPECT_TRUE(h.WaitFor([&](const CapturedFrame& f) { return f.At(320, 240) == expected; }, before));
  }
}

TEST_F(X11Capture, ClosingStopsDeliveryAndClosedObjectsThrow) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 0, 0, 100, 100, "w", 1);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window.id()));
  ASSERT_TRUE(h.WaitForAny());
  EXPECT_THROW(h.session->StartCapture(), PlatformError) << "started twice";
  h.pool->Close();
  h.pool->Close();
  const size_t after = h.Count();
  window.Fill(0xFFFFFF);
  EXPECT_TRUE(h.StaysAt(after));
  h.session->Close();
  h.session->Close();
  EXPECT_EQ("The object has been closed.", ExpectError(RO_E_CLOSED, [&] { h.session->StartCapture(); }));
  ExpectError(RO_E_CLOSED, [&] { h.session->QueryCursorCaptureSetting()->SetIsCursorCaptureEnabled(true); });
  ExpectError(RO_E_CLOSED, [&] { h.session->QueryBorderSetting()->SetIsBorderRequired(true); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->TryGetNextFrame(); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->AddFrameArrived([](screen::FramePool&) {}); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {10, 10}); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->CreateCaptureSession(h.item); });
  h.pool->RemoveFrameArrived(h.token);  // harmless after close
}

TEST_F(X11Capture, RemovingAHandlerWaitsForItUnlessItRemovesItselfAndClosesTheSession) {
  ASSERT_TRUE(Boot());
  TestWindow window(*client, 0, 0, 100, 100, "w", 1);
  CaptureHarness h(Display());
  h.Prepare(h.WindowItem(window.id()));
  h.pool->RemoveFrameArrived(h.token);
  std::atomic<bool> entered{false}, finished{false};
  screen::EventToken slow = h.pool->AddFrameArrived([&](screen::FramePool& sender) {
    entered = true;
    std::this_thread::sleep_for(300ms);
    if (auto f = sender.TryGetNextFrame()) f->Close();
    finished = true;
  });
  h.Start(false);
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
  h.pool->RemoveFrameArrived(slow);
  EXPECT_TRUE(finished.load()) << "Remove returned while the handler still ran";
  // Removing itself or closing from inside the handler must not wait for the handler.
  std::atomic<int> calls{0};
  std::atomic<screen::EventToken> self{0};
  self = h.pool->AddFrameArrived([&](screen::FramePool& sender) {
    ++calls;
    sender.RemoveFrameArrived(self.load());
    h.session->Close();
  });
  window.Fill(0x0000FF);
  ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 1; }));
  window.Fill(0x00FF00);
  EXPECT_FALSE(WaitUntil([&] { return calls.load() > 1; }, 300ms));
}

}  // namespace
}  // namespace kalto::test
