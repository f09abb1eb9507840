// The X11 capture backend against a private Xvfb: what is on screen is what arrives.
// gtest goes before any X header: Xlib's macros (None, Bool) clash with its internals.
#include <gtest/gtest.h>

#include "capture_harness.h"
#include "support/require.h"
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
    EXPECT_EQ(e.code(), code);
    return e.what();
  }
  return {};
}

// Fills a raw X window with a solid pixel value.
void FillRaw(::Display* d, Window window, unsigned long pixel, int width, int height) {
  GC gc = XCreateGC(d, window, 0, nullptr);
  XSetForeground(d, gc, pixel);
  XFillRectangle(d, window, gc, 0, 0, width, height);
  XFreeGC(d, gc);
  XSync(d, False);
}

using X11Capture = XTest;

TEST_F(X11Capture, BadArgumentsAndAMissingServerAreRefused) {
  ASSERT_TRUE(Boot(320, 240));
  CaptureHarness h(Display());
  std::shared_ptr<screen::CaptureItem> item;
  EXPECT_EQ(h.interop->CreateForMonitor(0x7FFF0000, &item), E_INVALIDARG);
  EXPECT_EQ(h.interop->CreateForWindow(0x7FFFFFF, &item), E_INVALIDARG);
  EXPECT_EQ(item, nullptr);
  std::shared_ptr<screen::CaptureDevice> noDevice;
  EXPECT_EQ(h.service.CreateCaptureDevice(nullptr, &noDevice), E_INVALIDARG);

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

TEST_F(X11Capture, MonitorShowsThePatternExactlyAndTheCursorOnlyWhenAsked) {
  ASSERT_TRUE(Boot(640, 480));
  TestWindow window(*client, 100, 100, 300, 200, "pattern", 5);
  const int pointerX = 250, pointerY = 200;  // over the pattern
  client->WarpPointer(pointerX, pointerY);

  CaptureHarness plain(Display());
  plain.Prepare(plain.MonitorItem());
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(plain.Count(), 0u) << "no frames before StartCapture";
  plain.Start(false);
  auto frame = plain.WaitForAny();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->content, (screen::SizeInt32{640, 480}));
  ASSERT_EQ(frame->pixels.size(), 640u * 480u);
  EXPECT_EQ(PatternMismatches(*frame, 100, 100, 300, 200, 5), 0);
  // Opaque everywhere, also where the server's memory left the top byte alone.
  EXPECT_TRUE(std::all_of(frame->pixels.begin(), frame->pixels.end(), [](uint32_t p) { return (p >> 24) == 0xFF; }));

  CaptureHarness cursor(Display());
  cursor.Run(cursor.MonitorItem(), /*cursor=*/true);
  frame = cursor.WaitForAny();
  ASSERT_TRUE(frame);
  int near = 0, far = 0;
  for (int y = 0; y < 200; ++y) {
    for (int x = 0; x < 300; ++x) {
      bool close = std::abs(100 + x - pointerX) < 40 && std::abs(100 + y - pointerY) < 40;
      (close ? near : far) += frame->At(100 + x, 100 + y) != PatternPixel(x, y, 5);
    }
  }
  EXPECT_GT(near, 10) << "the cursor should show around the pointer";
  EXPECT_EQ(far, 0) << "and nowhere else";
}

TEST_F(X11Capture, RightMonitorOfTwoShowsItsOwnContent) {
  ASSERT_TRUE(Boot(3200, 1080, /*twoMonitors=*/true));
  TestWindow onLeft(*client, 100, 100, 200, 100, "left", 1);
  TestWindow onRight(*client, 1920 + 100, 100, 200, 100, "right", 2);
  TestWindow corner(*client, 1920 + 1280 - 50, 1024 - 40, 50, 40, "corner", 4);

  CaptureHarness h(Display());
  h.Run(h.MonitorItem(1));
  auto frame = h.WaitForAny();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->content, (screen::SizeInt32{1280, 1024}));
  ASSERT_EQ(frame->width, 1280u);
  ASSERT_EQ(frame->height, 1024u);
  EXPECT_EQ(PatternMismatches(*frame, 100, 100, 200, 100, 2), 0);
  EXPECT_EQ(PatternMismatches(*frame, 1280 - 50, 1024 - 40, 50, 40, 4), 0);
}

TEST_F(X11Capture, OccludedWindowIsReadFromItsOwnPixmap) {
  ASSERT_TRUE(Boot(640, 480));
  TestWindow target(*client, 50, 50, 240, 160, "target", 6);
  TestWindow cover(*client, 100, 80, 300, 200, "cover", 7);
  cover.Fill(0x00FF00);

  CaptureHarness h(Display());
  h.Run(h.WindowItem(target.id()));
  ASSERT_TRUE(h.WaitForAny());
  // What was hidden was never drawn anywhere; an application repaints it when it is exposed.
  size_t before = h.Count();
  target.Draw();
  auto frame = h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 240, 160, 6) == 0; }, before);
  ASSERT_TRUE(frame) << "the covered window's own pixels should arrive";
  EXPECT_EQ(frame->content, (screen::SizeInt32{240, 160}));

  CaptureHarness screen(Display());
  screen.Run(screen.MonitorItem());
  auto screenFrame = screen.WaitForAny();
  ASSERT_TRUE(screenFrame);
  EXPECT_EQ(screenFrame->At(200, 150), 0xFF00FF00u) << "the screen itself still shows the cover";
}

TEST_F(X11Capture, ResizedWindowReportsItsNewContentSizeUntilThePoolIsRecreated) {
  ASSERT_TRUE(Boot(640, 480));
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
  EXPECT_EQ(resized->width, 160u);
  EXPECT_EQ(resized->height, 120u);
  EXPECT_EQ(resized->At(10, 100), 0xFF000000u);

  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {200, 90});
  before = h.Count();
  window.Draw();
  auto recreated = h.WaitFor(
      [](const CapturedFrame& f) { return f.width == 200 && PatternMismatches(f, 0, 0, 200, 90, 8) == 0; }, before);
  ASSERT_TRUE(recreated);
  EXPECT_EQ(recreated->content, (screen::SizeInt32{200, 90}));
}

TEST_F(X11Capture, HeldFramesStayValidAcrossRecreateAndBlockDeliveryWhenAllAreHeld) {
  ASSERT_TRUE(Boot(320, 240));
  TestWindow window(*client, 0, 0, 320, 240, "full", 9);
  CaptureHarness h(Display());
  h.Run(h.MonitorItem(), false, /*keepFrames=*/true);
  // The next queued frame of that width; frames of the old size may still be queued.
  auto next = [&](uint32_t width) {
    std::shared_ptr<screen::CaptureFrame> frame;
    EXPECT_TRUE(WaitUntil([&] {
      return (frame = h.pool->TryGetNextFrame()) != nullptr && frame->Surface()->GetDesc().width == width;
    }));
    return frame;
  };
  auto held = next(320);
  ASSERT_TRUE(held);
  h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {100, 100});
  window.Fill(0x123456);
  auto small = next(100);
  ASSERT_TRUE(small);
  // The old frame still has its own memory and what it captured.
  CapturedFrame old = CopyFrame(*held);
  EXPECT_EQ(old.width, 320u);
  EXPECT_EQ(PatternMismatches(old, 0, 0, 320, 240, 9), 0);
  held->Close();
  ExpectError(RO_E_CLOSED, [&] { held->Surface(); });
  ExpectError(RO_E_CLOSED, [&] { held->ContentSize(); });

  // Both new buffers held: a change is seen but cannot be delivered until one is freed.
  window.Fill(0x010203);
  auto second = next(100);
  ASSERT_TRUE(second);
  window.Fill(0x040506);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(h.pool->TryGetNextFrame(), nullptr);
  small->Close();
  auto latest = next(100);
  ASSERT_TRUE(latest) << "a freed buffer carries the pending change";
  EXPECT_EQ(CopyFrame(*latest).At(10, 10), 0xFF040506u);
}

TEST_F(X11Capture, IconifiedWindowYieldsNoFramesAndComesBack) {
  ASSERT_TRUE(Boot(640, 480, false, /*windowManager=*/true));
  TestWindow window(*client, 50, 50, 200, 100, "iconify me", 2);
  CaptureHarness h(Display());
  h.Run(h.WindowItem(window.id()), /*cursor=*/true);
  ASSERT_TRUE(h.WaitForAny());

  ASSERT_TRUE(window.Iconify());
  std::this_thread::sleep_for(300ms);  // let anything in flight land
  size_t iconic = h.Count();
  window.Draw();                   // drawing to an unmapped window changes nothing visible
  client->WarpPointer(600, 400);   // outside the restored window
  std::this_thread::sleep_for(500ms);
  EXPECT_LE(h.Count(), iconic + 1);

  ASSERT_TRUE(window.Restore());
  window.Draw();
  auto back = h.WaitFor([](const CapturedFrame& f) { return PatternMismatches(f, 0, 0, 200, 100, 2) == 0; }, iconic);
  EXPECT_TRUE(back) << "capture resumes when the window is restored";
}

TEST_F(X11Capture, WindowIsCapturedOnlyWhileViewableAndDeliveryEndsWhenItIsDestroyed) {
  ASSERT_TRUE(Boot(320, 240));
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
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(h.Count(), 0u);

  XMapWindow(d, parent);
  FillRaw(d, child, 0xABCDEF, 120, 90);
  EXPECT_TRUE(h.WaitFor([](const CapturedFrame& f) { return f.At(60, 45) == 0xFFABCDEFu; }))
      << "capture starts once the window can be read";
  EXPECT_EQ(debug.CountPrefix("[X11] untrapped"), 0) << "every failure was the capture's own, and handled";

  XDestroyWindow(d, parent);
  XSync(d, False);
  std::this_thread::sleep_for(300ms);
  size_t after = h.Count();
  client->WarpPointer(20, 20);  // would be drawn if the worker still ran
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(h.Count(), after);
  h.session->Close();  // joins a worker that has already finished
}

TEST_F(X11Capture, ArgbWindowIsGrabbedAndMadeOpaque) {
  ASSERT_TRUE(Boot(320, 240));
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

TEST_F(X11Capture, StaticScreenIsQuietAndAChangingOneIsDeliveredContinuously) {
  ASSERT_TRUE(Boot(1920, 1080));
  TestWindow window(*client, 0, 0, 1920, 1080, "busy", 1);
  CaptureHarness h(Display());
  h.Run(h.MonitorItem(), /*cursor=*/true);
  ASSERT_TRUE(h.WaitForAny());
  size_t first = h.Count();
  std::this_thread::sleep_for(1s);
  EXPECT_LE(h.Count() - first, 3u) << "nothing changed";

  // Repaint a band at about 100 Hz for a second.
  std::atomic<bool> stop{false};
  std::thread painter([&] {
    for (uint32_t colour = 0; !stop.load(); std::this_thread::sleep_for(10ms)) {
      FillRaw(client->get(), window.id(), colour += 0x010101, 1920, 100);
    }
  });
  size_t before = h.Count();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  size_t delivered = h.Count() - before;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  stop = true;
  painter.join();
  // 60 Hz would be 60; a loaded machine gets fewer, never more than the refresh allows.
  EXPECT_GE(delivered, 10u);
  EXPECT_LE(delivered, static_cast<size_t>(seconds * 60 * 1.25 + 2));
}

TEST_F(X11Capture, MinimumUpdateIntervalThinsDeliveryButKeepsTheLastChange) {
  ASSERT_TRUE(Boot(640, 480));
  TestWindow window(*client, 0, 0, 640, 480, "busy", 1);
  CaptureHarness h(Display());
  h.Prepare(h.MonitorItem());
  ASSERT_NE(h.session->QueryMinUpdateIntervalSetting(), nullptr);
  h.session->QueryMinUpdateIntervalSetting()->SetMinUpdateInterval(100ms);
  h.Start(false);
  ASSERT_TRUE(h.WaitForAny());

  std::atomic<bool> stop{false};
  std::atomic<uint32_t> last{0};
  std::thread painter([&] {
    for (uint32_t colour = 0x102030; !stop.load(); std::this_thread::sleep_for(10ms)) {
      FillRaw(client->get(), window.id(), colour += 0x010101, 640, 480);
      last = colour;
    }
  });
  size_t before = h.Count();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1500ms);
  stop = true;
  painter.join();
  size_t delivered = h.Count() - before;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // About 10 a second instead of the 60 the screen would give.
  EXPECT_GE(delivered, 5u);
  EXPECT_LE(delivered, static_cast<size_t>(seconds * 10 + 2));
  // The change that fell inside the last interval comes at its end, not never.
  const uint32_t expected = 0xFF000000u | last.load();
  EXPECT_TRUE(h.WaitFor([&](const CapturedFrame& f) { return f.At(320, 240) == expected; }, before));
}

TEST_F(X11Capture, ClosingStopsDeliveryAndClosedObjectsThrow) {
  ASSERT_TRUE(Boot(320, 240));
  TestWindow window(*client, 0, 0, 100, 100, "w", 1);
  CaptureHarness h(Display());
  h.Run(h.MonitorItem());
  ASSERT_TRUE(h.WaitForAny());
  EXPECT_THROW(h.session->StartCapture(), PlatformError) << "started twice";

  h.pool->Close();
  h.pool->Close();
  size_t after = h.Count();
  window.Fill(0xFFFFFF);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(h.Count(), after);
  h.session->Close();
  h.session->Close();
  EXPECT_EQ(ExpectError(RO_E_CLOSED, [&] { h.session->StartCapture(); }), "The object has been closed.");
  ExpectError(RO_E_CLOSED, [&] { h.session->QueryCursorCaptureSetting()->SetIsCursorCaptureEnabled(true); });
  ExpectError(RO_E_CLOSED, [&] { h.session->QueryBorderSetting()->SetIsBorderRequired(true); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->TryGetNextFrame(); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->AddFrameArrived([](screen::FramePool&) {}); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->Recreate(h.captureDevice, gpu::Format::B8G8R8A8_UNORM, 2, {10, 10}); });
  ExpectError(RO_E_CLOSED, [&] { h.pool->CreateCaptureSession(h.item); });
  h.pool->RemoveFrameArrived(h.token);  // harmless after close
}

TEST_F(X11Capture, RemovingAHandlerWaitsForItUnlessItRemovesItselfAndClosesTheSession) {
  ASSERT_TRUE(Boot(320, 240));
  TestWindow window(*client, 0, 0, 100, 100, "w", 1);
  CaptureHarness h(Display());
  h.Prepare(h.MonitorItem());
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
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(calls.load(), 1);
}

}  // namespace
}  // namespace kalto::test
