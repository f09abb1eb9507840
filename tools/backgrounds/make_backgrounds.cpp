// Draws the preset background pictures and writes them as JPEG files into the folder given on
// the command line. Every picture comes from fixed seeds and our own random numbers, so one build
// of this tool always writes the same bytes.
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr float kPi = 3.14159265f;

struct Color {
  float r, g, b;
};
struct Point {
  float x, y;
};

constexpr Color Hex(uint32_t rgb) {
  return {float((rgb >> 16) & 255) / 255.f, float((rgb >> 8) & 255) / 255.f, float(rgb & 255) / 255.f};
}
Color Mix(Color a, Color b, float t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }
Color Scale(Color c, float k) { return {c.r * k, c.g * k, c.b * k}; }
float Clamp01(float v) { return std::clamp(v, 0.f, 1.f); }
float Smooth(float edge0, float edge1, float v) {
  const float t = Clamp01((v - edge0) / (edge1 - edge0));
  return t * t * (3 - 2 * t);
}

// splitmix64: the standard distributions may differ between libraries, these numbers do not.
class Rng {
 public:
  explicit Rng(uint64_t seed) : m_state(seed) {}
  uint64_t Next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float Uniform(float lo, float hi) { return lo + (hi - lo) * float(Next() >> 40) / float(1 << 24); }
  int Int(int lo, int hi) { return lo + int(Next() % uint64_t(hi - lo + 1)); }
  bool Chance(float p) { return Uniform(0, 1) < p; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[Next() % items.size()];
  }

 private:
  uint64_t m_state;
};

float Hash(int x, int y, uint32_t seed) {
  uint32_t h = uint32_t(x) * 0x8DA6B343u ^ uint32_t(y) * 0xD8163841u ^ seed * 0xCB1AB31Fu;
  h = (h ^ (h >> 15)) * 0x2C1B3C6Du;
  h = (h ^ (h >> 12)) * 0x297A2D39u;
  return float((h ^ (h >> 15)) >> 8) / float(1 << 24);
}

float ValueNoise(float x, float y, uint32_t seed) {
  const float fx = std::floor(x), fy = std::floor(y);
  const int ix = int(fx), iy = int(fy);
  const float tx = Smooth(0, 1, x - fx), ty = Smooth(0, 1, y - fy);
  const float top = Hash(ix, iy, seed) + (Hash(ix + 1, iy, seed) - Hash(ix, iy, seed)) * tx;
  const float bottom = Hash(ix, iy + 1, seed) + (Hash(ix + 1, iy + 1, seed) - Hash(ix, iy + 1, seed)) * tx;
  return top + (bottom - top) * ty;
}

// Octaves of value noise, about 0..1 around 0.5.
float Fbm(float x, float y, int octaves, uint32_t seed) {
  float sum = 0, amplitude = 0.5f, norm = 0;
  for (int i = 0; i < octaves; ++i, x *= 2.03f, y *= 2.03f, amplitude *= 0.5f) {
    sum += ValueNoise(x, y, seed + uint32_t(i)) * amplitude;
    norm += amplitude;
  }
  return sum / norm;
}

enum class Blend { Over, Add };

class Canvas {
 public:
  Canvas() : m_pixels(size_t(kWidth) * kHeight) {}

  Color& At(int x, int y) { return m_pixels[size_t(y) * kWidth + size_t(x)]; }

  template <typename F>  // F(x, y) -> Color
  void Fill(F color) {
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) At(x, y) = color(float(x), float(y));
  }
  template <typename F>  // F(x, y) -> factor
  void Modulate(F factor) {
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) At(x, y) = Scale(At(x, y), factor(float(x), float(y)));
  }

  // Blends `color` into the box wherever coverage(pixel centre) is above zero: every shape
  // below is a coverage function, anti-aliased by a one-pixel ramp on its signed distance.
  template <typename F>
  void Shape(float x0, float y0, float x1, float y1, Color color, float alpha, F coverage, Blend blend = Blend::Over) {
    const int left = std::max(0, int(std::floor(x0))), right = std::min(kWidth, int(std::ceil(x1)) + 1);
    const int top = std::max(0, int(std::floor(y0))), bottom = std::min(kHeight, int(std::ceil(y1)) + 1);
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        const float a = coverage(float(x) + 0.5f, float(y) + 0.5f) * alpha;
        if (a <= 0) continue;
        Color& p = At(x, y);
        p = blend == Blend::Add ? Color{p.r + color.r * a, p.g + color.g * a, p.b + color.b * a} : Mix(p, color, a);
      }
    }
  }

  void Rect(float x0, float y0, float x1, float y1, Color color, float alpha = 1) {
    Shape(x0, y0, x1, y1, color, alpha, [=](float x, float y) {
      return Clamp01(std::min(x - x0, x1 - x) + 0.5f) * Clamp01(std::min(y - y0, y1 - y) + 0.5f);
    });
  }
  // `soft` widens the edge ramp: 1 is a crisp edge, tens of pixels an out-of-focus one.
  void Disc(Point c, float radius, Color color, float alpha = 1, float soft = 1, Blend blend = Blend::Over) {
    const float reach = radius + soft;
    Shape(
        c.x - reach, c.y - reach, c.x + reach, c.y + reach, color, alpha,
        [=](float x, float y) { return Clamp01((radius - std::hypot(x - c.x, y - c.y)) / soft + 0.5f); }, blend);
  }
  void Ellipse(Point c, float rx, float ry, Color color, float alpha = 1, float soft = 1, Blend blend = Blend::Over) {
    const float reach = 1 + 0.5f * soft / std::min(rx, ry);  // where the ramp reaches zero
    Shape(
        c.x - rx * reach, c.y - ry * reach, c.x + rx * reach, c.y + ry * reach, color, alpha,
        [=](float x, float y) {
          const float d = std::hypot((x - c.x) / rx, (y - c.y) / ry);
          return Clamp01((1 - d) * std::min(rx, ry) / soft + 0.5f);
        },
        blend);
  }
  // Light falling off from the centre, added to what is there.
  void Glow(Point c, float radius, Color color, float strength) {
    Shape(
        c.x - radius, c.y - radius, c.x + radius, c.y + radius, color, strength,
        [=](float x, float y) {
          const float t = Clamp01(1 - std::hypot(x - c.x, y - c.y) / radius);
          return t * t;
        },
        Blend::Add);
  }
  // Any convex polygon, in either winding.
  void Convex(const std::vector<Point>& points, Color color, float alpha = 1) {
    float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f, area = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      const Point a = points[i], b = points[(i + 1) % points.size()];
      x0 = std::min(x0, a.x), y0 = std::min(y0, a.y), x1 = std::max(x1, a.x), y1 = std::max(y1, a.y);
      area += a.x * b.y - b.x * a.y;
    }
    const float sign = area > 0 ? 1.f : -1.f;
    Shape(x0, y0, x1, y1, color, alpha, [&](float x, float y) {
      float inside = 1e9f;
      for (size_t i = 0; i < points.size(); ++i) {
        const Point a = points[i], b = points[(i + 1) % points.size()];
        const float length = std::hypot(b.x - a.x, b.y - a.y);
        if (length > 0) inside = std::min(inside, sign * ((b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x)) / length);
      }
      return Clamp01(inside + 0.5f);
    });
  }
  void Line(Point a, Point b, float width, Color color, float alpha = 1) {
    const float dx = b.x - a.x, dy = b.y - a.y, length2 = std::max(dx * dx + dy * dy, 1e-6f), half = width / 2;
    Shape(std::min(a.x, b.x) - half, std::min(a.y, b.y) - half, std::max(a.x, b.x) + half, std::max(a.y, b.y) + half,
          color, alpha, [=](float x, float y) {
            const float t = Clamp01(((x - a.x) * dx + (y - a.y) * dy) / length2);
            return Clamp01(half - std::hypot(x - a.x - t * dx, y - a.y - t * dy) + 0.5f);
          });
  }
  // A pointed leaf from `base`, `length` long along `angle`, with its midrib and a shaded half.
  void Leaf(Point base, float length, float width, float angle, Color color) {
    const float ux = std::cos(angle), uy = std::sin(angle);
    const auto leaf = [=](bool shadedHalf) {
      return [=](float x, float y) {
        const float u = (x - base.x) * ux + (y - base.y) * uy, v = (x - base.x) * -uy + (y - base.y) * ux;
        if (u <= 0 || u >= length || (shadedHalf && v > 0)) return 0.f;
        return Clamp01(width / 2 * std::pow(std::sin(kPi * u / length), 0.7f) - std::abs(v) + 0.5f);
      };
    };
    const Point tip{base.x + ux * length, base.y + uy * length};
    const float x0 = std::min(base.x, tip.x) - width, x1 = std::max(base.x, tip.x) + width;
    const float y0 = std::min(base.y, tip.y) - width, y1 = std::max(base.y, tip.y) + width;
    Shape(x0, y0, x1, y1, color, 1, leaf(false));
    Shape(x0, y0, x1, y1, Hex(0x000000), 0.18f, leaf(true));
    Line(base, {base.x + ux * length * 0.9f, base.y + uy * length * 0.9f}, std::max(1.5f, width / 30),
         Mix(color, Hex(0xe8f5c8), 0.45f), 0.8f);
  }

  // Three box passes are close to a Gaussian; running sums keep each pass linear in the size.
  void Blur(int radius, int passes = 3) {
    std::vector<Color> line(std::max(kWidth, kHeight));
    const float scale = 1.f / float(2 * radius + 1);
    const auto pass = [&](int count, int length, auto pixel) {
      for (int i = 0; i < count; ++i) {
        for (int j = 0; j < length; ++j) line[size_t(j)] = pixel(i, j);
        Color sum{0, 0, 0};
        for (int k = -radius; k <= radius; ++k) {
          const Color& c = line[size_t(std::clamp(k, 0, length - 1))];
          sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
        }
        for (int j = 0; j < length; ++j) {
          pixel(i, j) = Scale(sum, scale);
          const Color& in = line[size_t(std::min(j + radius + 1, length - 1))];
          const Color& out = line[size_t(std::max(j - radius, 0))];
          sum = {sum.r + in.r - out.r, sum.g + in.g - out.g, sum.b + in.b - out.b};
        }
      }
    };
    for (int p = 0; p < passes; ++p) {
      pass(kHeight, kWidth, [&](int y, int x) -> Color& { return At(x, y); });
      pass(kWidth, kHeight, [&](int x, int y) -> Color& { return At(x, y); });
    }
  }
  void Grain(float amount, uint32_t seed) {
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const float n = (Hash(x, y, seed) - 0.5f) * amount;
        Color& p = At(x, y);
        p = {p.r + n, p.g + n, p.b + n};
      }
  }
  void Vignette(float strength) {
    Modulate([=](float x, float y) {
      const float dx = x / kWidth - 0.5f, dy = y / kHeight - 0.5f;
      return 1 - strength * Smooth(0.2f, 0.75f, std::sqrt(dx * dx + dy * dy));
    });
  }

  bool SaveJpeg(const std::filesystem::path& path) const {
    std::vector<uint8_t> rgb(m_pixels.size() * 3);
    for (size_t i = 0; i < m_pixels.size(); ++i) {
      rgb[i * 3] = uint8_t(Clamp01(m_pixels[i].r) * 255 + 0.5f);
      rgb[i * 3 + 1] = uint8_t(Clamp01(m_pixels[i].g) * 255 + 0.5f);
      rgb[i * 3 + 2] = uint8_t(Clamp01(m_pixels[i].b) * 255 + 0.5f);
    }
    const std::unique_ptr<void, int (*)(tjhandle)> encoder(tjInitCompress(), tjDestroy);
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (!encoder ||
        tjCompress2(encoder.get(), rgb.data(), kWidth, 0, kHeight, TJPF_RGB, &jpeg, &size, TJSAMP_420, 90, 0) != 0) {
      std::fprintf(stderr, "make_backgrounds: encoding %s failed: %s\n", path.c_str(), tjGetErrorStr2(encoder.get()));
      return false;
    }
    const std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(jpeg, tjFree);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
    if (!file || std::fwrite(jpeg, 1, size, file.get()) != size) {
      std::fprintf(stderr, "make_backgrounds: cannot write %s\n", path.c_str());
      return false;
    }
    return true;
  }

 private:
  std::vector<Color> m_pixels;
};

Color VerticalGradient(float y, Color top, Color bottom) { return Mix(top, bottom, y / kHeight); }

// Wood: a base colour streaked along one axis (stretch the other noise scale to turn it).
Color Wood(float x, float y, Color base, float sx, float sy, uint32_t seed) {
  const float grain = Fbm(x / sx, y / sy, 4, seed);
  return Scale(base, 0.72f + 0.55f * grain + 0.06f * std::sin(grain * 40));
}

void AbstractWaves(Canvas& c) {
  c.Fill([](float x, float y) {
    return Mix(Mix(Hex(0x0b1a3a), Hex(0x2a0f4a), x / kWidth), Hex(0x05060f), 0.5f * y / kHeight);
  });
  const Color colors[] = {Hex(0x1fb5c9), Hex(0x3a6fd8), Hex(0x8b3fd1), Hex(0xe0428f), Hex(0xf28c38)};
  Rng rng(11);
  for (int layer = 0; layer < 5; ++layer) {
    const float base = kHeight * (0.3f + 0.13f * float(layer)), amplitude = rng.Uniform(50, 110);
    const float f1 = rng.Uniform(1.2f, 2.4f), f2 = rng.Uniform(3, 5), p1 = rng.Uniform(0, 6), p2 = rng.Uniform(0, 6);
    std::vector<float> crest(kWidth);
    for (int x = 0; x < kWidth; ++x) {
      const float t = float(x) / kWidth * 2 * kPi;
      crest[size_t(x)] = base + amplitude * std::sin(f1 * t + p1) + amplitude * 0.3f * std::sin(f2 * t + p2);
    }
    const auto crestAt = [&](float x) { return crest[size_t(std::min(int(x), kWidth - 1))]; };
    c.Shape(0, base - 1.4f * amplitude, kWidth, kHeight, colors[layer], 0.62f, [&](float x, float y) {
      return Clamp01(y - crestAt(x) + 0.5f) * (0.55f + 0.45f * Smooth(400, 0, y - crestAt(x)));
    });
    c.Shape(
        0, base - 1.4f * amplitude - 40, kWidth, base + 1.4f * amplitude + 40, Mix(colors[layer], Hex(0xffffff), 0.5f),
        0.5f,
        [&](float x, float y) {
          const float d = (y - crestAt(x)) / 6;
          return std::exp(-d * d);
        },
        Blend::Add);
  }
  c.Grain(0.015f, 12);
}

void GeometricMesh(Canvas& c) {
  c.Fill([](float x, float y) { return Mix(Hex(0x0a1128), Hex(0x1c2541), (x / kWidth + y / kHeight) / 2); });
  constexpr int kCols = 14, kRows = 9;
  Rng rng(21);
  std::vector<Point> grid;
  for (int j = 0; j <= kRows; ++j)
    for (int i = 0; i <= kCols; ++i)
      grid.push_back({(float(i) + rng.Uniform(-0.35f, 0.35f)) * kWidth / (kCols - 1) - 60,
                      (float(j) + rng.Uniform(-0.35f, 0.35f)) * kHeight / (kRows - 1) - 60});
  const auto at = [&](int i, int j) { return grid[size_t(j * (kCols + 1) + i)]; };
  for (int j = 0; j < kRows; ++j)
    for (int i = 0; i < kCols; ++i) {
      for (const auto& tri : {std::vector{at(i, j), at(i + 1, j), at(i + 1, j + 1)},
                              std::vector{at(i, j), at(i + 1, j + 1), at(i, j + 1)}}) {
        const Color fill = rng.Chance(0.12f) ? Hex(0x5bc0be) : Mix(Hex(0x1c2541), Hex(0x3a506b), rng.Uniform(0, 1));
        c.Convex(tri, fill, rng.Uniform(0.35f, 0.7f));
      }
    }
  const Color line = Hex(0x6fffe9);
  for (int j = 0; j <= kRows; ++j)
    for (int i = 0; i <= kCols; ++i) {
      if (i < kCols) c.Line(at(i, j), at(i + 1, j), 1.6f, line, 0.4f);
      if (j < kRows) c.Line(at(i, j), at(i, j + 1), 1.6f, line, 0.4f);
      if (i < kCols && j < kRows) c.Line(at(i, j), at(i + 1, j + 1), 1.2f, line, 0.25f);
      c.Glow(at(i, j), 26, line, 0.25f);
      c.Disc(at(i, j), 3.5f, line, 0.9f);
    }
}

void SoftBokeh(Canvas& c) {
  c.Fill([](float x, float y) {
    const float d = std::hypot(x / kWidth - 0.45f, y / kHeight - 0.55f);
    return Mix(Hex(0x3a2216), Hex(0x0b0709), Smooth(0, 0.8f, d));
  });
  const std::vector<Color> warm = {Hex(0xffb347), Hex(0xff7f50), Hex(0xffd27f),
                                   Hex(0xf6a6b2), Hex(0xfff1c1), Hex(0x9ad0ec)};
  Rng rng(31);
  for (int i = 0; i < 90; ++i) {
    const float u = rng.Uniform(0, 1), radius = 25 + 130 * u * u;
    c.Disc({rng.Uniform(-50, kWidth + 50), rng.Uniform(-50, kHeight + 50)}, radius, rng.Pick(warm),
           rng.Uniform(0.06f, 0.22f), 3 + radius * 0.1f, Blend::Add);
  }
  c.Blur(4, 2);
  for (int i = 0; i < 25; ++i)
    c.Disc({rng.Uniform(0, kWidth), rng.Uniform(0, kHeight)}, rng.Uniform(10, 28), rng.Pick(warm),
           rng.Uniform(0.2f, 0.4f), 3, Blend::Add);
  c.Grain(0.012f, 32);
}

void MinimalShapes(Canvas& c) {
  c.Fill([](float x, float y) { return Mix(Hex(0xf4ece1), Hex(0xe9dccb), (x / kWidth + y / kHeight) / 2); });
  const Color shadow = Hex(0x5a4a3a);
  c.Disc({1372, 442}, 300, shadow, 0.12f, 40);
  c.Disc({1350, 420}, 300, Hex(0xe07a5f));
  c.Rect(280, 580, 780, 920, shadow, 0.1f);
  c.Rect(260, 560, 760, 900, Hex(0x3d405b));
  c.Disc({560, 330}, 110, Hex(0xf2cc8f));
  c.Rect(1490, 770, 1730, 1010, Hex(0x81b29a));
  c.Convex({{880, 980}, {1120, 980}, {1000, 770}}, Hex(0xf2cc8f), 0.9f);
  c.Line({180, 190}, {700, 190}, 6, Hex(0x3d405b));
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 5; ++i) c.Disc({1560 + 55.f * float(i), 140 + 55.f * float(j)}, 6, Hex(0x3d405b));
  c.Grain(0.01f, 41);
}

void NatureLeaves(Canvas& c) {
  c.Fill([](float x, float y) {
    return Scale(VerticalGradient(y, Hex(0x1f4d2b), Hex(0x0f2a17)), 0.75f + 0.5f * Fbm(x / 260, y / 260, 3, 51));
  });
  const std::vector<Color> back = {Hex(0x1b4332), Hex(0x2d6a4f), Hex(0x264d36), Hex(0x3b6e46)};
  const std::vector<Color> front = {Hex(0x2d6a4f), Hex(0x40916c), Hex(0x52b788),
                                    Hex(0x74c69d), Hex(0x6a994e), Hex(0xa7c957)};
  Rng rng(52);
  for (int i = 0; i < 140; ++i) {
    const float length = rng.Uniform(90, 190);
    c.Leaf({rng.Uniform(-100, kWidth), rng.Uniform(-100, kHeight)}, length, length * rng.Uniform(0.35f, 0.5f),
           rng.Uniform(0, 2 * kPi), rng.Pick(back));
  }
  c.Blur(7);
  for (int i = 0; i < 55; ++i) {
    const float length = rng.Uniform(170, 340);
    c.Leaf({rng.Uniform(-150, kWidth), rng.Uniform(-150, kHeight)}, length, length * rng.Uniform(0.38f, 0.5f),
           rng.Uniform(0, 2 * kPi), Scale(rng.Pick(front), rng.Uniform(0.8f, 1.1f)));
  }
  c.Glow({1500, 120}, 700, Hex(0xfff4c2), 0.18f);
  c.Vignette(0.35f);
}

void ConcreteWall(Canvas& c) {
  c.Fill([](float x, float y) {
    const float v = 0.58f + 0.18f * (Fbm(x / 320, y / 320, 4, 61) - 0.5f) + 0.08f * (Fbm(x / 35, y / 35, 3, 62) - 0.5f);
    return Color{v + 0.01f, v, v - 0.012f};
  });
  c.Grain(0.06f, 63);
  Rng rng(64);
  for (int i = 0; i < 3000; ++i)
    c.Disc({rng.Uniform(0, kWidth), rng.Uniform(0, kHeight)}, rng.Uniform(0.7f, 2.6f), Hex(0x3a3a3a),
           rng.Uniform(0.3f, 0.7f));
  for (int i = 0; i < 900; ++i)
    c.Disc({rng.Uniform(0, kWidth), rng.Uniform(0, kHeight)}, rng.Uniform(0.6f, 1.8f), Hex(0xd8d8d4), 0.35f);
  for (float y : {360.f, 720.f}) {
    c.Line({0, y}, {kWidth, y}, 2.5f, Hex(0x2e2e2e), 0.3f);
    c.Line({0, y + 2.5f}, {kWidth, y + 2.5f}, 1.5f, Hex(0xe0e0e0), 0.2f);
  }
  c.Line({960, 0}, {960, kHeight}, 2.5f, Hex(0x2e2e2e), 0.3f);
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 4; ++i) {
      const Point hole{240 + 480.f * float(i), 180 + 360.f * float(j)};
      c.Disc(hole, 17, Hex(0x9a9a96), 0.25f, 3);
      c.Disc(hole, 11, Hex(0x2b2b2b), 0.8f, 1.5f);
    }
  c.Vignette(0.25f);
}

// A desk seen from the front: top, legs and a monitor.
void Desk(Canvas& c, float x0, float x1, float top, Color surface, bool monitor) {
  c.Rect(x0, top, x1, top + 22, surface);
  c.Rect(x0 + 12, top + 22, x0 + 26, top + 200, Hex(0x3a3a3a));
  c.Rect(x1 - 26, top + 22, x1 - 12, top + 200, Hex(0x3a3a3a));
  if (!monitor) return;
  const float mid = (x0 + x1) / 2;
  c.Rect(mid - 130, top - 170, mid + 130, top - 20, Hex(0x1e1e22));
  c.Rect(mid - 120, top - 162, mid + 120, top - 28, Hex(0x4a78b5));
  c.Rect(mid - 10, top - 20, mid + 10, top, Hex(0x2a2a2a));
}

void OfficeBlur(Canvas& c) {
  c.Fill([](float x, float y) {
    if (y < 110) return Hex(0xefeee9);
    if (y > 760) return Scale(Hex(0x8a8177), 1.1f - 0.3f * (y - 760) / 320 + 0.05f * std::sin(x / 90));
    return VerticalGradient(y, Hex(0xdcd8cf), Hex(0xc6c0b4));
  });
  for (float x : {240.f, 760.f, 1280.f, 1700.f}) {
    c.Rect(x - 150, 40, x + 150, 62, Hex(0xffffff));
    c.Glow({x, 60}, 320, Hex(0xfff8e8), 0.35f);
  }
  for (float x0 : {90.f, 710.f, 1330.f}) {
    c.Rect(x0, 170, x0 + 520, 640, Hex(0xcfe4f5));
    c.Rect(x0, 170, x0 + 520, 330, Hex(0xeaf4fc), 0.7f);
    c.Rect(x0 + 60, 470, x0 + 200, 640, Hex(0x9fb3c4), 0.8f);
    c.Rect(x0 + 260, 420, x0 + 420, 640, Hex(0xaebfcc), 0.8f);
    for (float m : {0.f, 173.f, 346.f, 512.f}) c.Rect(x0 + m, 170, x0 + m + 8, 640, Hex(0x6b6b6b));
    c.Rect(x0, 640, x0 + 520, 652, Hex(0x6b6b6b));
  }
  Desk(c, 60, 760, 700, Hex(0xe8e4dc), true);
  Desk(c, 880, 1560, 690, Hex(0xe8e4dc), true);
  Desk(c, 1620, 1980, 720, Hex(0xe8e4dc), false);
  for (float x : {300.f, 1100.f, 1380.f}) {
    c.Rect(x - 60, 760, x + 60, 900, Hex(0x2f2f35));
    c.Rect(x - 70, 880, x + 70, 920, Hex(0x2f2f35));
  }
  for (Point p : {Point{800, 600}, Point{1640, 600}})
    for (int i = 0; i < 6; ++i)
      c.Disc({p.x + 35 * std::sin(float(i) * 2.1f), p.y - 30.f * float(i % 3)}, 55, Hex(0x4f7a4a));
  c.Blur(24);
  c.Grain(0.012f, 71);
}

void Bookshelf(Canvas& c) {
  c.Fill([](float x, float y) { return Wood(x, y, Hex(0x3b2516), 700, 14, 81); });
  const std::vector<Color> spines = {Hex(0x8c1c13), Hex(0x1d3557), Hex(0x2a6041), Hex(0xd4a017), Hex(0xe9e3d3),
                                     Hex(0x6b3e26), Hex(0x457b9d), Hex(0x7b2d43), Hex(0x264653), Hex(0xc0582b)};
  constexpr float kBoard = 34;
  Rng rng(82);
  float top = 0;
  for (float shelf : {200.f, 412.f, 624.f, 836.f, 1046.f}) {
    const float bottom = shelf;
    c.Rect(0, top, kWidth, top + 30, Hex(0x000000), 0.35f);  // shadow of the board above
    for (float x = 52; x < kWidth - 52;) {
      if (rng.Chance(0.04f)) {
        x += rng.Uniform(30, 90);
        continue;
      }
      const float w = rng.Uniform(22, 50), h = (bottom - top - kBoard) * rng.Uniform(0.62f, 0.95f);
      const float x1 = std::min(x + w, float(kWidth - 52));
      const Color spine = Scale(rng.Pick(spines), rng.Uniform(0.8f, 1.1f));
      c.Rect(x, bottom - h, x1, bottom, Scale(spine, 0.55f));
      c.Rect(x + 1.5f, bottom - h + 1.5f, x1 - 1.5f, bottom, spine);
      c.Rect(x + 2, bottom - h + 2, x + 6, bottom, Hex(0xffffff), 0.12f);
      c.Rect(x1 - 7, bottom - h + 2, x1 - 2, bottom, Hex(0x000000), 0.2f);
      for (int band = rng.Int(0, 2); band > 0; --band) {
        const float y = bottom - h + h * rng.Uniform(0.08f, 0.3f);
        c.Rect(x + 3, y, x1 - 3, y + 4, Hex(0xd4af37), 0.85f);
      }
      if (rng.Chance(0.3f)) c.Rect(x + 5, bottom - h * 0.55f, x1 - 5, bottom - h * 0.4f, Hex(0xf1ead8), 0.8f);
      x = x1 + rng.Uniform(0, 2);
    }
    for (int y = int(bottom); y < int(bottom + kBoard) && y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) c.At(x, y) = Wood(float(x), float(y), Hex(0x8b5a2b), 500, 6, 83);
    c.Line({0, bottom + 1}, {kWidth, bottom + 1}, 2, Hex(0xd9a066), 0.7f);
    top = bottom + kBoard;
  }
  for (float x : {0.f, float(kWidth - 44)})
    for (int y = 0; y < kHeight; ++y)
      for (int i = 0; i < 44; ++i) c.At(int(x) + i, y) = Wood(x + float(i), float(y), Hex(0x7a4b24), 8, 500, 84);
  c.Vignette(0.3f);
}

void MeetingRoom(Canvas& c) {
  c.Fill([](float x, float y) {
    if (y < 700) return VerticalGradient(y, Hex(0xe9e4da), Hex(0xd6cfc2));
    return Scale(Hex(0x4f555d), 0.9f + 0.2f * Fbm(x / 6, y / 6, 2, 91) - 0.15f * (y - 700) / 380);
  });
  c.Rect(120, 140, 760, 600, Hex(0x7a6a58));
  for (int y = 152; y < 588; ++y)
    for (int x = 132; x < 748; ++x) c.At(x, y) = VerticalGradient(float(y) * 1.6f, Hex(0x9cc6e8), Hex(0xe6f1f8));
  Rng rng(92);
  for (float x = 132; x < 748; x += rng.Uniform(40, 90))
    c.Rect(x, rng.Uniform(380, 520), x + rng.Uniform(30, 70), 588, Hex(0x8fa3b5), 0.7f);
  c.Rect(436, 152, 444, 588, Hex(0x7a6a58));
  c.Rect(1170, 210, 1710, 530, Hex(0x2a2a2c));
  c.Rect(1180, 220, 1700, 520, Hex(0x141518));
  c.Convex({{1180, 220}, {1400, 220}, {1260, 520}, {1180, 520}}, Hex(0xffffff), 0.05f);
  c.Rect(0, 690, kWidth, 702, Hex(0xbfb6a6));
  for (float x : {700.f, 960.f, 1220.f}) {
    c.Line({x, 0}, {x, 150}, 2, Hex(0x333333));
    c.Convex({{x - 45, 190}, {x - 20, 150}, {x + 20, 150}, {x + 45, 190}}, Hex(0x2b2b2b));
    c.Glow({x, 200}, 240, Hex(0xfff1d6), 0.3f);
  }
  const Color chair = Hex(0x2f3a45);
  for (int i = 0; i < 5; ++i) {  // chair backs beyond the far edge
    const float x = 700 + 130.f * float(i);
    c.Rect(x - 45, 560, x + 45, 660, chair);
    c.Disc({x, 565}, 45, chair);
  }
  for (const auto& [x, size] : {std::pair{530.f, 1.f}, {420.f, 1.35f}, {1390.f, 1.f}, {1500.f, 1.35f}}) {  // sides
    const float w = 42 * size, top = 520 + 150 * (size - 1) + 60;
    c.Rect(x - w, top, x + w, top + 130 * size, chair);
    c.Disc({x, top}, w, chair);
  }
  c.Convex({{620, 640}, {1300, 640}, {1640, 950}, {280, 950}}, Hex(0xc8a27a));
  c.Convex({{280, 950}, {1640, 950}, {1640, 978}, {280, 978}}, Hex(0x8a6744));
  c.Line({620, 641}, {1300, 641}, 2, Hex(0xf0dcc0), 0.8f);
  c.Convex({{300, 1080}, {330, 860}, {560, 860}, {600, 1080}}, Scale(chair, 0.8f));
  c.Convex({{1300, 1080}, {1340, 860}, {1570, 860}, {1610, 1080}}, Scale(chair, 0.8f));
  c.Grain(0.012f, 93);
  c.Vignette(0.3f);
}

// A potted plant: a tapered pot and leaves fanning up from its rim.
void Plant(Canvas& c, Rng& rng, Point rim, float size, Color pot) {
  const std::vector<Color> greens = {Hex(0x2d6a4f), Hex(0x40916c), Hex(0x52b788), Hex(0x3a7d44)};
  for (int i = 0; i < 14; ++i) {
    const float angle = -kPi / 2 + rng.Uniform(-1.2f, 1.2f), length = size * rng.Uniform(0.6f, 1.1f);
    c.Leaf({rim.x + rng.Uniform(-0.1f, 0.1f) * size, rim.y}, length, length * 0.45f, angle, rng.Pick(greens));
  }
  c.Convex({{rim.x - size * 0.32f, rim.y},
            {rim.x + size * 0.32f, rim.y},
            {rim.x + size * 0.24f, rim.y + size * 0.55f},
            {rim.x - size * 0.24f, rim.y + size * 0.55f}},
           pot);
  c.Rect(rim.x - size * 0.34f, rim.y - 4, rim.x + size * 0.34f, rim.y + size * 0.07f, Scale(pot, 0.85f));
}

void StartupOffice(Canvas& c) {
  c.Fill([](float x, float y) {
    if (y < 720) return VerticalGradient(y, Hex(0xf6f4f0), Hex(0xe9e6e0));
    const int plank = int((y - 720) / 40);
    return Wood(x + float(plank) * 397, y, Hex(0xc9a57a), 400, 5, 101);
  });
  for (int y = 720; y < kHeight; y += 40) c.Line({0, float(y)}, {kWidth, float(y)}, 1.5f, Hex(0x6e5338), 0.4f);
  for (int y = 100; y < 560; ++y)
    for (int x = 160; x < 1760; ++x) {
      const float greenery = Smooth(0.45f, 0.6f, Fbm(float(x) / 120, float(y) / 120, 3, 102) + float(y - 330) / 600);
      c.At(x, y) = Mix(VerticalGradient(float(y) * 1.5f, Hex(0xa8d0f0), Hex(0xf0f7fc)), Hex(0x6a9a5b), greenery);
    }
  for (float x = 160; x <= 1760; x += 320) c.Rect(x - 6, 100, x + 6, 560, Hex(0x222222));
  for (float y : {100.f, 330.f, 560.f}) c.Rect(154, y - 6, 1766, y + 6, Hex(0x222222));
  for (float x : {420.f, 960.f, 1500.f}) {
    c.Line({x, 0}, {x, 60}, 2, Hex(0x222222));
    c.Ellipse({x, 78}, 60, 26, Hex(0x1f1f1f));
    c.Glow({x, 120}, 200, Hex(0xfff3d9), 0.25f);
  }
  Desk(c, 260, 900, 690, Hex(0xfafafa), true);
  Desk(c, 1040, 1680, 690, Hex(0xfafafa), true);
  c.Rect(1490, 676, 1580, 690, Hex(0x9a9a9e));  // a laptop
  c.Rect(340, 660, 362, 690, Hex(0xe76f51));    // a mug
  Rng rng(103);
  Plant(c, rng, {120, 720}, 330, Hex(0xc8684a));
  Plant(c, rng, {1800, 760}, 360, Hex(0xf0f0f0));
  Plant(c, rng, {700, 640}, 110, Hex(0xd9d2c5));
  Plant(c, rng, {1180, 640}, 100, Hex(0x3d405b));
  c.Blur(2, 2);
  c.Grain(0.01f, 104);
}

void ExecutiveDesk(Canvas& c) {
  c.Fill([](float x, float y) {
    if (y >= 720) return Wood(x, y, Hex(0x6b3a22), 520, 7, 111);
    return Wood(x, y, Hex(0x4a2c1a), 7, 420, 112);
  });
  for (float x = 0; x <= kWidth; x += 320) {
    c.Rect(x - 4, 0, x + 4, 720, Hex(0x1e110a), 0.8f);
    c.Rect(x + 4, 0, x + 6, 720, Hex(0x9a6a44), 0.4f);
  }
  c.Rect(0, 690, kWidth, 720, Hex(0x24140b));
  c.Line({0, 721}, {kWidth, 721}, 3, Hex(0xd08a55), 0.8f);
  c.Convex({{520, 800}, {1260, 800}, {1320, 1080}, {460, 1080}}, Hex(0x1f3b2c));
  c.Convex({{530, 810}, {1250, 810}, {1308, 1080}, {472, 1080}}, Hex(0x24473a));
  // The books on the left and a closed notebook on the pad.
  const Color books[] = {Hex(0x7b2d26), Hex(0x1d3557), Hex(0x2a4d3a)};
  for (int i = 0; i < 3; ++i)
    c.Rect(150 + 8.f * float(i), 660 - 40.f * float(i), 430 - 6.f * float(i), 700 - 40.f * float(i), books[i]);
  c.Convex({{760, 880}, {1000, 870}, {1016, 1010}, {770, 1020}}, Hex(0x1a1a1a));
  c.Line({1080, 900}, {1200, 1010}, 7, Hex(0x111111));
  // The lamp: brass base and stem, green shade, warm light on the desk and the wall.
  const Color brass = Hex(0xb08d57);
  c.Glow({1400, 600}, 650, Hex(0xffb870), 0.35f);
  c.Ellipse({1400, 778}, 330, 70, Hex(0xffd59a), 0.5f, 60, Blend::Add);
  c.Ellipse({1400, 782}, 120, 26, Scale(brass, 0.6f));
  c.Ellipse({1400, 772}, 115, 24, brass);
  c.Rect(1392, 500, 1408, 772, brass);
  c.Rect(1396, 500, 1400, 772, Hex(0xffe9b8), 0.6f);
  c.Convex({{1270, 410}, {1530, 410}, {1590, 525}, {1210, 525}}, Hex(0x1e5a3a));
  c.Convex({{1290, 420}, {1350, 420}, {1320, 515}, {1240, 515}}, Hex(0xffffff), 0.18f);
  c.Rect(1206, 522, 1594, 532, brass);
  c.Vignette(0.5f);
}

void BrickLoft(Canvas& c) {
  c.Fill([](float x, float y) { return Scale(Hex(0xb8b0a4), 0.85f + 0.3f * Fbm(x / 8, y / 8, 2, 121)); });
  const std::vector<Color> bricks = {Hex(0x8e3b2a), Hex(0xa0442f), Hex(0x7a3224),
                                     Hex(0xb0553a), Hex(0x94402e), Hex(0x6e2e22)};
  constexpr float kRow = 74, kMortar = 10, kPitch = 210;
  Rng rng(122);
  for (int row = 0; row * kRow < kHeight; ++row) {
    const float y0 = float(row) * kRow;
    for (float x0 = row % 2 ? -kPitch / 2 : 0; x0 < kWidth; x0 += kPitch) {
      const float x1 = x0 + kPitch - kMortar, y1 = y0 + kRow - kMortar;
      const Color brick = Scale(rng.Pick(bricks), rng.Uniform(0.85f, 1.12f));
      c.Shape(x0, y0, x1, y1, brick, 1, [=](float x, float y) {  // slightly worn corners
        const float inside = std::min(std::min(x - x0, x1 - x), std::min(y - y0, y1 - y));
        const float corner = std::min(x - x0, x1 - x) + std::min(y - y0, y1 - y) - 5;
        return Clamp01(std::min(inside, corner) + 0.5f);
      });
      c.Rect(x0 + 2, y0 + 1, x1 - 2, y0 + 5, Hex(0xffffff), 0.07f);
    }
  }
  c.Modulate([](float x, float y) {
    const float light = 1.12f - 0.4f * std::hypot(x / kWidth - 0.2f, y / kHeight - 0.1f);
    return light * (0.8f + 0.4f * Fbm(x / 26, y / 26, 3, 123)) * (1 - 0.15f * Smooth(700, kHeight, y));
  });
  c.Grain(0.05f, 124);
}

void CityView(Canvas& c) {
  c.Fill([](float, float y) {
    return y < 500 ? Mix(Hex(0x0b1026), Hex(0x2b2f5c), y / 500)
                   : Mix(Hex(0x2b2f5c), Hex(0xf0945a), Smooth(500, 860, y));
  });
  Rng rng(131);
  for (int i = 0; i < 180; ++i)
    c.Disc({rng.Uniform(0, kWidth), rng.Uniform(0, 420)}, rng.Uniform(0.7f, 1.6f), Hex(0xffffff),
           rng.Uniform(0.3f, 0.9f));
  c.Glow({1580, 170}, 180, Hex(0xf5f1e0), 0.25f);
  c.Disc({1580, 170}, 40, Hex(0xf5f1e0));
  struct Layer {
    Color body, lit;
    float minHeight, maxHeight, minWidth, maxWidth, litChance;
  };
  const Layer layers[] = {{Hex(0x3a3f6a), Hex(0xc9a86a), 250, 520, 60, 150, 0.15f},
                          {Hex(0x22264a), Hex(0xffd27a), 280, 680, 80, 200, 0.35f},
                          {Hex(0x10122a), Hex(0xffc65c), 160, 440, 120, 260, 0.45f}};
  for (const Layer& layer : layers) {
    for (float x = -40; x < kWidth;) {
      const float w = rng.Uniform(layer.minWidth, layer.maxWidth),
                  top = kHeight - rng.Uniform(layer.minHeight, layer.maxHeight);
      c.Rect(x, top, x + w, kHeight, layer.body);
      if (rng.Chance(0.25f)) {
        c.Line({x + w / 2, top}, {x + w / 2, top - 60}, 3, layer.body);
        c.Disc({x + w / 2, top - 60}, 4, Hex(0xff3b30), 0.9f);
      }
      for (float wy = top + 16; wy < kHeight - 12; wy += 22)
        for (float wx = x + 10; wx < x + w - 16; wx += 16)
          if (rng.Chance(layer.litChance))
            c.Rect(wx, wy, wx + 8, wy + 12, Scale(layer.lit, rng.Uniform(0.7f, 1.1f)), 0.9f);
      x += w + rng.Uniform(0, 30);
    }
    c.Shape(0, 600, kWidth, kHeight, Hex(0xf0945a), 0.12f, [](float, float y) { return Smooth(kHeight, 700, y); });
  }
  c.Grain(0.012f, 132);
}

struct Preset {
  const char* name;
  void (*draw)(Canvas&);
};
constexpr Preset kPresets[] = {
    {"bg_abstract_waves.jpg", AbstractWaves}, {"bg_geometric_mesh.jpg", GeometricMesh},
    {"bg_soft_bokeh.jpg", SoftBokeh},         {"bg_minimal_shapes.jpg", MinimalShapes},
    {"bg_nature_leaves.jpg", NatureLeaves},   {"bg_concrete_wall.jpg", ConcreteWall},
    {"bg_office_blur.jpg", OfficeBlur},       {"bg_bookshelf.jpg", Bookshelf},
    {"bg_meeting_room.jpg", MeetingRoom},     {"bg_startup_office.jpg", StartupOffice},
    {"bg_executive_desk.jpg", ExecutiveDesk}, {"bg_brick_loft.jpg", BrickLoft},
    {"bg_city_view.jpg", CityView},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    std::fprintf(stderr, "make_backgrounds: cannot create %s: %s\n", folder.c_str(), error.message().c_str());
    return 1;
  }
  for (const Preset& preset : kPresets) {
    Canvas canvas;
    preset.draw(canvas);
    if (!canvas.SaveJpeg(folder / preset.name)) return 1;
  }
  return 0;
}
