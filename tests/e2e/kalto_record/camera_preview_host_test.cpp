// kalto-camera: a preview picture written as PNG with the effect in it, the live preview drawn in
// its window until a SIGTERM ends it cleanly, and what it refuses before opening anything.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "e2e_support.h"
#include "support/require.h"
// After gtest: Xlib's None macro would rename gtest's type.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace kalto::test {
namespace {

using namespace std::chrono_literals;

class CameraPreviewHostTest : public RecordTest {
 protected:
  std::string Camera(const std::string& args) const {
    return "DISPLAY=" + X().Display() + " " KALTO_CAMERA_PATH " " + args + " </dev/null";
  }
};

TEST_F(CameraPreviewHostTest, TheSnapshotHasTheEffectsColourBehindThePersonOnly) {
  const std::string photo = KALTO_TEST_PHOTO;
  KALTO_REQUIRE(std::filesystem::exists(photo), photo + " (scripts/setup-deps fetches it)");
  const std::string png = File("out.png");
  const ShellRun run = Shell(Camera("--snapshot " + png + " --effect color:2 file:" + photo));
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<RgbFrame> frames = DecodeFrames(png);
  ASSERT_EQ(frames.size(), 1u);
  const RgbFrame& f = frames[0];
  ASSERT_EQ(f.width, 512);
  for (auto [x, y] : {std::pair{0, 0}, {f.width - 40, 0}}) {
    EXPECT_TRUE(Near(f.Mean(x, y, 40, 40), 23, 42, 69, 6)) << "corner at " << x << "," << y;
  }
  EXPECT_FALSE(Near(f.Mean(200, 80, 50, 80), 23, 42, 69, 30)) << "the face";
}

// The synthetic camera's room away from the person, who moves.
constexpr struct {
  int x, y, w, h;
} kRoom[] = {{440, 10, 180, 40}, {40, 50, 70, 80}, {10, 400, 100, 60}};

struct Shown {
  Window id = 0;
  std::string title;
  RgbFrame picture;
};
// The host's window with its title and picture, or nothing while it is not shown.
std::optional<Shown> HostWindow(Display* display) {
  Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
  unsigned count = 0;
  std::optional<Shown> shown;
  if (!XQueryTree(display, root, &root, &parent, &children, &count)) return shown;
  for (unsigned i = 0; i < count && !shown; ++i) {
    char* name = nullptr;
    XWindowAttributes a{};
    const std::string title = XFetchName(display, children[i], &name) && name ? name : "";
    if (name) XFree(name);
    if (title.rfind("kalto-camera", 0) != 0 || !XGetWindowAttributes(display, children[i], &a) ||
        a.map_state != IsViewable) {
      continue;
    }
    XImage* image = XGetImage(display, children[i], 0, 0, unsigned(a.width), unsigned(a.height), AllPlanes, ZPixmap);
    if (!image) continue;
    shown = Shown{children[i], title, {0, a.width, a.height, {}}};
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        const unsigned long p = XGetPixel(image, x, y);
        shown->picture.rgb.insert(shown->picture.rgb.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)});
      }
    }
    XDestroyImage(image);
  }
  if (children) XFree(children);
  return shown;
}

// Polls the host's window until `ok` holds of it or the deadline passes; the last one seen.
template <typename Ok>
std::optional<Shown> WaitShown(Display* display, Ok ok, std::chrono::seconds within) {
  std::optional<Shown> shown;
  for (const auto deadline = std::chrono::steady_clock::now() + within; std::chrono::steady_clock::now() < deadline;) {
    if ((shown = HostWindow(display)) && ok(*shown)) break;
    std::this_thread::sleep_for(50ms);
  }
  return shown;
}

TEST_F(CameraPreviewHostTest, TheWindowShowsTheCameraTakesKeysAndASigtermClosesItCleanly) {
  const std::string png = File("room.png"), log = File("camera.log");
  const ShellRun snap = Shell(Camera("--snapshot " + png + " --effect none synthetic:"));
  ASSERT_EQ(snap.status, 0) << snap.output;
  const RgbFrame room = DecodeFrames(png).at(0);
  ChildProcess host = StartProcess({"env", "DISPLAY=" + X().Display(), KALTO_CAMERA_PATH, "synthetic:"}, log);
  XClient client(X().Display());
  std::string wrong;
  const auto showsRoom = [&](const Shown& shown) {
    wrong = shown.picture.width == room.width ? "" : "not the camera's size";
    for (const auto& r : kRoom) {
      const RgbFrame::Colour want = room.Mean(r.x, r.y, r.w, r.h), got = shown.picture.Mean(r.x, r.y, r.w, r.h);
      if (!Near(got, want.r, want.g, want.b, 20)) wrong += " at " + std::to_string(r.x) + "," + std::to_string(r.y);
    }
    return wrong.empty();
  };
  std::optional<Shown> shown = WaitShown(client.get(), showsRoom, 10s);
  ASSERT_TRUE(shown && wrong.empty()) << wrong << ReadFile(log);
  // `e` moves from no effect to the blur (strength 0), `p` to the next strength, and four `m`s
  // from Auto round to mode 0, whose interval is 999; the title says so within its next second.
  const auto press = [&](KeySym sym) {
    XEvent key{};
    key.xkey = {KeyPress, 0, True, client.get(), shown->id, client.Root(), 0, CurrentTime, 1, 1, 1, 1, 0,
                XKeysymToKeycode(client.get(), sym), True};
    XSendEvent(client.get(), shown->id, False, KeyPressMask, &key);
    XFlush(client.get());
  };
  const std::pair<std::vector<KeySym>, const char*> steps[] = {
      {{XK_e}, "fps  blur:0  interval"}, {{XK_p}, "fps  blur:1  interval"},
      {{XK_m, XK_m, XK_m, XK_m}, "fps  blur:1  interval 999  tier"}};
  for (const auto& [keys, title] : steps) {
    for (KeySym key : keys) press(key);
    const auto shows = [title = std::string(title)](const Shown& s) { return s.title.find(title) != std::string::npos; };
    shown = WaitShown(client.get(), shows, 5s);
    ASSERT_TRUE(shown && shows(*shown)) << title << ": " << (shown ? shown->title : "no window");
  }
  ASSERT_EQ(kill(host.pid(), SIGTERM), 0);
  EXPECT_EQ(host.Wait(10s), 0) << ReadFile(log);
}

struct Refusal {
  const char *args, *message;
};
class CameraPreviewHostRefusalTest : public CameraPreviewHostTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CameraPreviewHostRefusalTest, RefusesBeforeOpeningTheCamera) {
  std::string args = GetParam().args;
  if (const size_t at = args.find("DIR"); at != std::string::npos) args.replace(at, 3, folder.string());
  const ShellRun run = Shell(args == "NODISPLAY" ? "env -u DISPLAY " KALTO_CAMERA_PATH " synthetic: </dev/null"
                                                 : Camera(args));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_NE(run.output.find(GetParam().message), std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, CameraPreviewHostRefusalTest,
    ::testing::Values(Refusal{"nosuch:", "kalto-camera: no camera with id nosuch: (see --list)"},
                      Refusal{"NODISPLAY", "kalto-camera: cannot open the display (is $DISPLAY set?)"},
                      Refusal{"--snapshot DIR/missing/x.png", "/missing' does not exist"},
                      Refusal{"--snapshot DIR", "' is a folder, not a file"},
                      Refusal{"--performance 5", "kalto-camera: --performance must be between 0 and 4"}));

}  // namespace
}  // namespace kalto::test
