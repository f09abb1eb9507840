// The synthetic camera: a head-and-shoulders figure swaying in front of a room, with the frame
// number in the corner, at whatever size and rate it is asked for. The room is drawn once per
// size (fine stripes, a window with a skyline, books, a checkered picture, so blur and
// segmentation effects have detail to work on); a frame is a copy of it plus a few spans per row.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numbers>

#include "platform/camera/linux/paced_frame_thread.h"
#include "platform/camera/linux/source_device.h"

namespace kalto::camera::linuxcam {
namespace {

constexpr int32_t kMinWidth = 16, kMinHeight = 16, kMaxWidth = 3840, kMaxHeight = 2160;
constexpr uint32_t kMaxRate = 120;
constexpr std::array<std::pair<uint32_t, uint32_t>, 4> kListedSizes{{{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}}};
constexpr std::array<uint32_t, 4> kListedRates{15, 24, 30, 60};
// One sway, left to right and back.
constexpr double kSwayPeriodS = 8.0;

struct Color {
  int r, g, b;
};

constexpr uint32_t Pack(Color c) {
  return 0xFF000000u | uint32_t(std::clamp(c.r, 0, 255)) << 16 | uint32_t(std::clamp(c.g, 0, 255)) << 8 |
         uint32_t(std::clamp(c.b, 0, 255));
}

Color Mix(Color a, Color b, double t) {
  return {int(a.r + (b.r - a.r) * t), int(a.g + (b.g - a.g) * t), int(a.b + (b.b - a.b) * t)};
}

Color Shade(Color c, int delta) { return {c.r + delta, c.g + delta, c.b + delta}; }

// A cheap integer hash: fixed texture noise and per-object variety without a random generator.
constexpr uint32_t Hash(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

int Noise(uint32_t seed, int amplitude) { return int(Hash(seed) % uint32_t(2 * amplitude + 1)) - amplitude; }

// 5x7 digits, one byte per row, the low five bits left to right.
constexpr std::array<std::array<uint8_t, 7>, 10> kDigits{{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
}};

// Opaque BGRA pixels, packed as little-endian 32-bit words.
class Canvas {
 public:
  Canvas(int32_t width, int32_t height, uint32_t* pixels, int32_t stridePixels)
      : m_width(width), m_height(height), m_pixels(pixels), m_stride(stridePixels) {}

  int32_t Width() const { return m_width; }
  int32_t Height() const { return m_height; }
  uint32_t* Row(int32_t y) { return m_pixels + ptrdiff_t(y) * m_stride; }

  void FillRect(double x0, double y0, double x1, double y1, Color c) {
    const int32_t l = Clip(x0, m_width), r = Clip(x1, m_width), t = Clip(y0, m_height), b = Clip(y1, m_height);
    if (l >= r) return;
    const uint32_t packed = Pack(c);
    for (int32_t y = t; y < b; ++y) std::fill(Row(y) + l, Row(y) + r, packed);
  }

  // A span of row y from x0 to x1 (fractional), its two end pixels blended by coverage.
  void Span(int32_t y, double x0, double x1, Color c) {
    if (y < 0 || y >= m_height || x1 <= x0) return;
    x0 = std::max(x0, 0.0);
    x1 = std::min(x1, double(m_width));
    if (x1 <= x0) return;
    uint32_t* row = Row(y);
    const int32_t first = int32_t(std::ceil(x0)), last = int32_t(std::floor(x1));
    if (first > last) {  // inside one pixel
      Blend(row[last], c, x1 - x0);
      return;
    }
    std::fill(row + first, row + last, Pack(c));
    if (first > 0) Blend(row[first - 1], c, first - x0);
    if (last < m_width) Blend(row[last], c, x1 - last);
  }

  // Rows of an ellipse from its centre and radii; `fromY` cuts off what lies above it.
  void Ellipse(double cx, double cy, double rx, double ry, Color c, double fromY = -1e9) {
    if (rx <= 0 || ry <= 0) return;
    const int32_t t = std::max(Clip(cy - ry, m_height), Clip(fromY, m_height));
    const int32_t b = Clip(cy + ry + 1, m_height);
    for (int32_t y = t; y < b; ++y) {
      const double dy = (y + 0.5 - cy) / ry;
      if (dy * dy >= 1) continue;
      const double half = rx * std::sqrt(1 - dy * dy);
      Span(y, cx - half, cx + half, c);
    }
  }

 private:
  static int32_t Clip(double v, int32_t limit) { return int32_t(std::clamp(std::lround(v), 0L, long(limit))); }

  static void Blend(uint32_t& pixel, Color c, double coverage) {
    const int a = int(std::clamp(coverage, 0.0, 1.0) * 256);
    const int b0 = int(pixel & 0xFF), g0 = int(pixel >> 8 & 0xFF), r0 = int(pixel >> 16 & 0xFF);
    pixel = Pack({r0 + ((c.r - r0) * a >> 8), g0 + ((c.g - g0) * a >> 8), b0 + ((c.b - b0) * a >> 8)});
  }

  int32_t m_width, m_height;
  uint32_t* m_pixels;
  int32_t m_stride;
};

// The room behind the figure, in fractions of the frame so every size shows the same scene.
void DrawRoom(Canvas& canvas) {
  const int32_t w = canvas.Width(), h = canvas.Height();
  const double floorY = 0.80 * h;
  // Wall: a warm vertical gradient with wallpaper stripes and grain.
  const Color wallTop{208, 198, 182}, wallBottom{168, 156, 140};
  const int32_t stripe = std::max(4, w / 80);
  for (int32_t y = 0; y < h; ++y) {
    uint32_t* row = canvas.Row(y);
    const Color base = Mix(wallTop, wallBottom, double(y) / h);
    for (int32_t x = 0; x < w; ++x) {
      const int pattern = (x % stripe == 0) ? 14 : ((x + y / 2) % stripe == stripe / 2 ? -8 : 0);
      row[x] = Pack(Shade(base, pattern + Noise(uint32_t(y) * 7919u + uint32_t(x), 4)));
    }
  }
  canvas.FillRect(0, floorY - 0.025 * h, w, floorY, {232, 228, 218});  // skirting board
  // Floor: planks of varied tone with dark seams and grain along them.
  const int32_t plank = std::max(3, h / 40);
  for (int32_t y = int32_t(floorY); y < h; ++y) {
    uint32_t* row = canvas.Row(y);
    const int32_t band = (y - int32_t(floorY)) / plank;
    const bool seam = (y - int32_t(floorY)) % plank == 0;
    const int32_t boardLength = std::max(8, w / 5);
    for (int32_t x = 0; x < w; ++x) {
      const int32_t shifted = x + band * boardLength / 3;
      const uint32_t board = Hash(uint32_t(band) * 131u + uint32_t(shifted / boardLength));
      const bool joint = shifted % boardLength == 0;
      const Color wood{int(118 + board % 30), int(80 + board % 20), 48};
      row[x] = Pack(seam || joint ? Shade(wood, -45) : Shade(wood, Noise(uint32_t(y) * 31u + uint32_t(x) / 3u, 6)));
    }
  }
  // Window with a skyline: sky gradient, buildings, rows of small lit windows.
  const double wx0 = 0.05 * w, wx1 = 0.33 * w, wy0 = 0.08 * h, wy1 = 0.52 * h;
  const double frame = std::max(2.0, w / 160.0);
  canvas.FillRect(wx0 - frame, wy0 - frame, wx1 + frame, wy1 + frame, {240, 240, 236});
  for (int32_t y = int32_t(wy0); y < int32_t(wy1); ++y) {
    canvas.FillRect(wx0, y, wx1, y + 1, Mix({120, 170, 230}, {210, 225, 240}, (y - wy0) / (wy1 - wy0)));
  }
  const int32_t lot = std::max(3, w / 64);
  for (int32_t i = 0; wx0 + i * lot < wx1; ++i) {
    const uint32_t seed = Hash(uint32_t(i) + 77u);
    const double top = wy1 - (0.1 + (seed % 100) / 300.0) * (wy1 - wy0);
    const double bx0 = wx0 + i * lot, bx1 = std::min(wx1, bx0 + lot - 1);
    const Color stone = Shade({92, 100, 118}, int(seed % 40) - 20);
    canvas.FillRect(bx0, top, bx1, wy1, stone);
    const int32_t step = std::max(2, lot / 3);
    for (double y = top + step; y + 1 < wy1; y += step) {
      for (double x = bx0 + 1; x + 1 < bx1; x += step) {
        if (Hash(uint32_t(x) * 13u + uint32_t(y)) % 3 == 0) canvas.FillRect(x, y, x + 1, y + 1, {250, 226, 130});
      }
    }
  }
  canvas.FillRect((wx0 + wx1) / 2 - frame / 2, wy0, (wx0 + wx1) / 2 + frame / 2, wy1, {240, 240, 236});
  canvas.FillRect(wx0, (wy0 + wy1) / 2 - frame / 2, wx1, (wy0 + wy1) / 2 + frame / 2, {240, 240, 236});
  // A picture with a fine checkerboard, high above the figure's head.
  const double px0 = 0.42 * w, px1 = 0.58 * w, py0 = 0.06 * h, py1 = 0.22 * h;
  canvas.FillRect(px0 - frame * 2, py0 - frame * 2, px1 + frame * 2, py1 + frame * 2, {60, 40, 28});
  const int32_t check = std::max(1, w / 320);
  for (int32_t y = int32_t(py0); y < int32_t(py1); ++y) {
    uint32_t* row = canvas.Row(y);
    for (int32_t x = int32_t(px0); x < int32_t(px1); ++x) {
      row[x] = ((x / check + y / check) & 1) ? Pack({30, 60, 110}) : Pack({235, 225, 200});
    }
  }
  // A bookshelf: two boards, each carrying books of varied width, height and colour.
  constexpr std::array<Color, 6> kBooks{{{150, 30, 36}, {30, 80, 140}, {40, 110, 60}, {200, 160, 40}, {90, 50, 110}, {30, 30, 34}}};
  const double sx0 = 0.68 * w, sx1 = 0.96 * w;
  for (const double board : {0.30 * h, 0.55 * h}) {
    canvas.FillRect(sx0, board, sx1, board + std::max(2.0, 0.018 * h), {110, 72, 40});
    double x = sx0 + 0.005 * w;
    for (uint32_t i = 0; x < sx1 - 0.02 * w; ++i) {
      const uint32_t seed = Hash(i * 2654435761u + uint32_t(board));
      const double bookW = (0.012 + (seed % 16) / 1000.0) * w, bookH = (0.09 + (seed >> 8) % 8 / 100.0) * h;
      const Color cover = kBooks[seed % kBooks.size()];
      canvas.FillRect(x, board - bookH, x + bookW - 1, board, cover);
      canvas.FillRect(x, board - bookH * 0.8, x + bookW - 1, board - bookH * 0.8 + std::max(1.0, h / 240.0),
                      Shade(cover, 70));
      x += bookW;
    }
  }
}

// Head and shoulders around horizontal centre cx, scaled by u (the smaller of the height and
// three quarters of the width, so a narrow frame still holds the whole figure).
void DrawFigure(Canvas& canvas, double cx) {
  const double h = canvas.Height();
  const double u = std::min(h, canvas.Width() * 0.75);
  const Color skin{224, 172, 140}, skinShadow{196, 144, 114}, hair{58, 38, 28}, shirt{44, 86, 150};
  const double headY = h - 0.56 * u;
  const double torsoY = h + 0.12 * u, torsoRx = 0.40 * u, torsoRy = 0.42 * u;
  // The neck first, its foot hidden under the shoulders.
  canvas.FillRect(cx - 0.06 * u, headY + 0.10 * u, cx + 0.06 * u, torsoY - torsoRy + 0.08 * u, skinShadow);
  // Shoulders and chest: a wide ellipse rising from below the frame, shaded darker downwards.
  for (int32_t y = std::max(0, int32_t(torsoY - torsoRy)); y < int32_t(h); ++y) {
    const double dy = (y + 0.5 - torsoY) / torsoRy;
    if (dy * dy >= 1) continue;
    const double half = torsoRx * std::sqrt(1 - dy * dy);
    canvas.Span(y, cx - half, cx + half, Shade(shirt, -int(24 * (y - (torsoY - torsoRy)) / torsoRy)));
  }
  // The open collar: a skin-coloured V narrowing downwards.
  const double collarTop = torsoY - torsoRy, collarDepth = 0.10 * u;
  for (int32_t y = std::max(0, int32_t(collarTop)); y < std::min(int32_t(h), int32_t(collarTop + collarDepth)); ++y) {
    const double half = 0.06 * u * (1 - (y - collarTop) / collarDepth);
    canvas.Span(y, cx - half, cx + half, skinShadow);
  }
  canvas.Ellipse(cx - 0.125 * u, headY + 0.01 * u, 0.022 * u, 0.036 * u, skinShadow);  // ears
  canvas.Ellipse(cx + 0.125 * u, headY + 0.01 * u, 0.022 * u, 0.036 * u, skinShadow);
  canvas.Ellipse(cx, headY - 0.025 * u, 0.142 * u, 0.165 * u, hair);
  canvas.Ellipse(cx, headY + 0.015 * u, 0.125 * u, 0.155 * u, skin, headY - 0.075 * u);  // face below the hairline
  canvas.Ellipse(cx - 0.045 * u, headY, 0.016 * u, 0.010 * u, {40, 30, 30});  // eyes
  canvas.Ellipse(cx + 0.045 * u, headY, 0.016 * u, 0.010 * u, {40, 30, 30});
  canvas.Ellipse(cx, headY + 0.09 * u, 0.036 * u, 0.009 * u, {150, 70, 70});  // mouth
}

// The frame number, white on a dark box in the top-left corner.
void DrawCounter(Canvas& canvas, uint64_t number) {
  char text[24];
  const int digits = std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(number));
  const int32_t scale = std::max(1, canvas.Height() / 100), margin = scale * 2;
  canvas.FillRect(margin, margin, margin + (digits * 6 + 1) * scale, margin + 9 * scale, {16, 16, 16});
  for (int i = 0; i < digits; ++i) {
    const auto& glyph = kDigits[size_t(text[i] - '0')];
    const int32_t left = margin + (i * 6 + 1) * scale;
    for (int32_t row = 0; row < 7; ++row) {
      for (int32_t col = 0; col < 5; ++col) {
        if (glyph[size_t(row)] & (0x10 >> col)) {
          const int32_t x = left + col * scale, y = margin + (row + 1) * scale;
          canvas.FillRect(x, y, x + scale, y + scale, {255, 255, 255});
        }
      }
    }
  }
}

bool Accepted(const VideoFormat& format) {
  return format.Subtype == "BGRA8" && format.Width >= uint32_t(kMinWidth) && format.Width <= uint32_t(kMaxWidth) &&
         format.Height >= uint32_t(kMinHeight) && format.Height <= uint32_t(kMaxHeight) &&
         format.FrameRateDenominator != 0 && format.FrameRateNumerator >= format.FrameRateDenominator &&
         uint64_t(format.FrameRateNumerator) <= uint64_t(kMaxRate) * format.FrameRateDenominator;
}

class SyntheticDevice final : public SourceDevice {
 public:
  ~SyntheticDevice() override { m_thread.Stop(); }

  std::wstring Id() const override { return L"synthetic:"; }
  std::wstring Name() const override { return L"Synthetic camera"; }
  void Open() override {}

  std::vector<VideoFormat> SupportedFormats() override {
    std::vector<VideoFormat> formats;
    for (const auto& [width, height] : kListedSizes) {
      for (const uint32_t rate : kListedRates) formats.push_back({width, height, "BGRA8", rate, 1});
    }
    return formats;
  }

  VideoFormat CurrentFormat() override {
    std::lock_guard lock(m_mutex);
    return m_format;
  }

  void SetFormat(const VideoFormat& format) override {
    if (!Accepted(format)) throw PlatformError(E_INVALIDARG, "The parameter is incorrect.");
    std::lock_guard lock(m_mutex);
    if (m_thread.Running()) throw PlatformError(E_ILLEGAL_METHOD_CALL, "The camera is streaming.");
    m_format = format;
  }

  MediaFrameReaderStartStatus Start(FrameSink frames, EndedSink ended) override {
    std::lock_guard lock(m_mutex);
    if (m_thread.Running()) return MediaFrameReaderStartStatus::UnknownFailure;
    const int32_t width = int32_t(m_format.Width), height = int32_t(m_format.Height);
    if (m_roomWidth != width || m_roomHeight != height) {
      m_room.assign(size_t(width) * size_t(height), 0);
      Canvas room(width, height, m_room.data(), width);
      DrawRoom(room);
      m_roomWidth = width;
      m_roomHeight = height;
    }
    const double rate = double(m_format.FrameRateNumerator) / m_format.FrameRateDenominator;
    const int64_t periodNs = int64_t(1e9 * m_format.FrameRateDenominator / m_format.FrameRateNumerator);
    auto tick = [this, width, height, rate, frames = std::move(frames)](int64_t timeNs) {
      frames(Render(width, height, rate), timeNs);
      return true;
    };
    m_thread.Start("kalto-cam-synth", periodNs, std::move(tick), std::move(ended));
    return MediaFrameReaderStartStatus::Success;
  }

  void Stop() override { m_thread.Stop(); }
  void Close() override { m_thread.Stop(); }

 private:
  // On the frame thread; the room is not touched while it runs (Start redraws it only when stopped).
  std::shared_ptr<SoftwareBitmap> Render(int32_t width, int32_t height, double rate) {
    auto bitmap = SoftwareBitmap::Create(BitmapPixelFormat::Bgra8, width, height, BitmapAlphaMode::Premultiplied);
    {
      auto buffer = bitmap->LockBuffer(BitmapBufferAccessMode::Write);
      std::memcpy(buffer->Data(), m_room.data(), m_room.size() * sizeof(uint32_t));
      Canvas canvas(width, height, reinterpret_cast<uint32_t*>(buffer->Data()), width);
      const double seconds = double(m_frameNumber) / rate;
      DrawFigure(canvas, width * (0.5 + 0.18 * std::sin(2 * std::numbers::pi * seconds / kSwayPeriodS)));
      DrawCounter(canvas, m_frameNumber);
    }
    ++m_frameNumber;
    return bitmap;
  }

  std::mutex m_mutex;  // the format, and Start against SetFormat
  VideoFormat m_format{640, 480, "BGRA8", 30, 1};
  std::vector<uint32_t> m_room;
  int32_t m_roomWidth = 0, m_roomHeight = 0;
  uint64_t m_frameNumber = 0;  // frame thread only
  PacedFrameThread m_thread;  // last: stops before the room it draws from goes
};

}  // namespace

std::shared_ptr<SourceDevice> MakeSyntheticDevice() { return std::make_shared<SyntheticDevice>(); }

}  // namespace kalto::camera::linuxcam
