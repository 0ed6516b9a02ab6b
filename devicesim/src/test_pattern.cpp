#include "test_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "devicesim/frame_code.h"

namespace devicesim {

namespace {

struct Yuv {
  uint8_t y, u, v;
};

// 75 % bars, ITU-R BT.601 limited range: white, yellow, cyan, green,
// magenta, red, blue, black.
constexpr Yuv kBars[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                          {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

// Busy scene: the texture repeats every kTexture luma samples each way.
constexpr int kTexture = 1024;
constexpr int kTextureMask = kTexture - 1;
constexpr int kChromaTexture = kTexture / 2;

uint32_t Hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  return h ^ (h >> 15);
}

// Smooth noise in [0, 1) with features `cell` samples apart, repeating every
// `period` samples (a multiple of cell).
double ValueNoise(int x, int y, int cell, int period, uint32_t seed) {
  const int cells = period / cell;
  const int cx = x / cell, cy = y / cell;
  const double fx = double(x % cell) / cell, fy = double(y % cell) / cell;
  auto at = [&](int i, int j) {
    return (Hash((i % cells + cells) % cells, (j % cells + cells) % cells, seed) & 0xffff) /
           65536.0;
  };
  const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const double top = at(cx, cy) + (at(cx + 1, cy) - at(cx, cy)) * sx;
  const double bottom = at(cx, cy + 1) + (at(cx + 1, cy + 1) - at(cx, cy + 1)) * sx;
  return top + (bottom - top) * sy;
}

uint8_t Clamp8(int v, int lo, int hi) {
  return static_cast<uint8_t>(std::clamp(v, lo, hi));
}

// Seven-segment masks, bit 0 = a (top) ... bit 6 = g (middle).
constexpr uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

}  // namespace

TestPattern::TestPattern(int width, int height, Scene scene)
    : w_(width), h_(height), scene_(scene), band_(2 * std::max(frame_code::BlockSize(width), 4)) {
  if (scene_ == Scene::kBusy) {
    // Detail at several scales: large blotches, mid-size cells, fine grain
    // and a diagonal weave, so that the encoder finds texture everywhere.
    bg_y_.resize(size_t{kTexture} * kTexture);
    for (int y = 0; y < kTexture; ++y) {
      for (int x = 0; x < kTexture; ++x) {
        const double v = 0.45 * ValueNoise(x, y, 64, kTexture, 1) +
                         0.30 * ValueNoise(x, y, 16, kTexture, 2) +
                         0.15 * ValueNoise(x, y, 4, kTexture, 3) +
                         0.10 * ((((x + y) / 6) ^ ((x - y + kTexture) / 6)) & 1);
        bg_y_[size_t{static_cast<unsigned>(y)} * kTexture + x] = Clamp8(int(24 + v * 200), 16, 235);
      }
    }
    bg_u_.resize(size_t{kChromaTexture} * kChromaTexture);
    bg_v_.resize(bg_u_.size());
    for (int y = 0; y < kChromaTexture; ++y) {
      for (int x = 0; x < kChromaTexture; ++x) {
        const size_t i = size_t{static_cast<unsigned>(y)} * kChromaTexture + x;
        bg_u_[i] = Clamp8(int(70 + 116 * ValueNoise(x, y, 32, kChromaTexture, 4)), 16, 240);
        bg_v_[i] = Clamp8(int(70 + 116 * ValueNoise(x, y, 32, kChromaTexture, 5)), 16, 240);
      }
    }
    return;
  }
  bg_y_.resize(static_cast<size_t>(width) * height);
  bg_u_.resize(static_cast<size_t>(width / 2) * (height / 2));
  bg_v_.resize(bg_u_.size());
  const int band = band_;
  for (int y = 0; y < h_; ++y) {
    for (int x = 0; x < w_; ++x) {
      Yuv c = y < band ? Yuv{64, 128, 128} : kBars[std::min(7, x * 8 / w_)];
      bg_y_[static_cast<size_t>(y) * w_ + x] = c.y;
      if ((x | y) % 2 == 0) {
        const size_t ci = static_cast<size_t>(y / 2) * (w_ / 2) + x / 2;
        bg_u_[ci] = c.u;
        bg_v_[ci] = c.v;
      }
    }
  }
}

void TestPattern::FillRect(const Planes& out, int x, int y, int w, int h, uint8_t yv, uint8_t u,
                           uint8_t v) const {
  const int x0 = std::clamp(x, 0, w_), x1 = std::clamp(x + w, 0, w_);
  const int y0 = std::clamp(y, 0, h_), y1 = std::clamp(y + h, 0, h_);
  if (x0 >= x1 || y0 >= y1) return;
  for (int r = y0; r < y1; ++r) std::memset(out.y + r * out.stride_y + x0, yv, x1 - x0);
  for (int r = y0 / 2; r < (y1 + 1) / 2; ++r) {
    std::memset(out.u + r * out.stride_u + x0 / 2, u, (x1 + 1) / 2 - x0 / 2);
    std::memset(out.v + r * out.stride_v + x0 / 2, v, (x1 + 1) / 2 - x0 / 2);
  }
}

void TestPattern::DrawDigits(const Planes& out, int x, int y, int dh, const char* text) const {
  const int dw = dh / 2;
  const int t = std::max(2, dh / 8);  // stroke width
  for (const char* c = text; *c; ++c) {
    if (*c == ':' || *c == '.') {
      if (*c == ':') FillRect(out, x + dw / 4, y + dh / 4, t, t, 235, 128, 128);
      FillRect(out, x + dw / 4, y + dh * 3 / 4 - t, t, t, 235, 128, 128);
      x += dw / 2 + t;
      continue;
    }
    if (*c < '0' || *c > '9') {
      x += dw + t * 2;
      continue;
    }
    const uint8_t m = kSegments[*c - '0'];
    const int half = dh / 2;
    if (m & 0x01) FillRect(out, x, y, dw, t, 235, 128, 128);
    if (m & 0x02) FillRect(out, x + dw - t, y, t, half, 235, 128, 128);
    if (m & 0x04) FillRect(out, x + dw - t, y + half, t, half, 235, 128, 128);
    if (m & 0x08) FillRect(out, x, y + dh - t, dw, t, 235, 128, 128);
    if (m & 0x10) FillRect(out, x, y + half, t, half, 235, 128, 128);
    if (m & 0x20) FillRect(out, x, y, t, half, 235, 128, 128);
    if (m & 0x40) FillRect(out, x, y + half - t / 2, dw, t, 235, 128, 128);
    x += dw + t * 2;
  }
}

void TestPattern::Draw(const Planes& out, uint64_t index, uint32_t frame, int64_t clock_ms) const {
  if (scene_ == Scene::kBusy) {
    DrawBusy(out, index);
  } else {
    DrawBars(out, index);
  }

  // Clock (time of day) and frame counter on a black panel at the bottom.
  const int dh = std::max(8, h_ / (scene_ == Scene::kBusy ? 24 : 12));
  const int panel_y = h_ - dh * 2;
  const int64_t day_ms = ((clock_ms % 86400000) + 86400000) % 86400000;
  char text[48];
  const int len =
      std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d %u", static_cast<int>(day_ms / 3600000),
                    static_cast<int>(day_ms / 60000 % 60), static_cast<int>(day_ms / 1000 % 60),
                    static_cast<int>(day_ms % 1000), frame);
  // The busy scene keeps the panel to the text, so that the scene fills the
  // rest of the picture.
  const int panel_w = scene_ == Scene::kBusy ? dh + len * (dh / 2 + 2 * std::max(2, dh / 8)) : w_;
  FillRect(out, 0, panel_y - dh / 4, panel_w, h_ - panel_y + dh / 4, 16, 128, 128);
  DrawDigits(out, dh / 2, panel_y, dh, text);

  // The code sits in the grey top band, whose chroma is neutral.
  frame_code::EncodeLuma(out.y, out.stride_y, w_, h_, frame);
}

void TestPattern::DrawBusy(const Planes& out, uint64_t index) const {
  // The texture turns, zooms and pans: every sample position moves by its
  // own, mostly fractional amount from one picture to the next, as in a
  // scene filmed by a moving camera. Sample positions are 16.16 fixed point.
  const double t = static_cast<double>(index);
  const double zoom = 1.5 + 0.4 * std::sin(t * 2 * M_PI / 100);
  const double angle = 0.35 * std::sin(t * 2 * M_PI / 160);
  const double dx = std::cos(angle) / zoom, dy = std::sin(angle) / zoom;
  const double cx = t * 2.3, cy = t * 1.1 + 40 * std::sin(t * 2 * M_PI / 170);
  const auto fixed = [](double v) { return static_cast<int64_t>(std::llround(v * 65536)); };
  const int64_t step_u = fixed(dx), step_v = fixed(dy);

  // A light ripple travelling across the picture, from a 256-entry table.
  int8_t wave[256];
  for (int i = 0; i < 256; ++i) wave[i] = static_cast<int8_t>(24 * std::sin(i * 2 * M_PI / 256));
  const int phase = static_cast<int>(index * 23);
  // Sensor grain: a different pseudo-random offset into a noise table every
  // picture.
  static const std::vector<int8_t> grain = [] {
    std::vector<int8_t> g(4096);
    for (size_t i = 0; i < g.size(); ++i) g[i] = static_cast<int8_t>(Hash(i, 7, 9) % 13) - 6;
    return g;
  }();
  const uint32_t grain_seed = Hash(static_cast<uint32_t>(index), 1, 2);
  // Strips 40 samples wide slide up, down or stay, like fences and poles in
  // front of a background: the motion changes within many macroblocks.
  std::vector<int64_t> strip_v(w_);
  for (int x = 0; x < w_; ++x) strip_v[x] = fixed(((x + 13) / 40 % 3 - 1) * 3.3 * t);
  for (int y = 0; y < h_; ++y) {
    const double ry = y - h_ / 2.0, rx = -w_ / 2.0;
    int64_t u = fixed(cx + rx * dx - ry * dy), v = fixed(cy + rx * dy + ry * dx);
    uint8_t* dst = out.y + y * out.stride_y;
    const int row_phase = y * 4 - phase;
    for (int x = 0; x < w_; ++x, u += step_u, v += step_v) {
      const size_t i =
          size_t(((v + strip_v[x]) >> 16) & kTextureMask) * kTexture + ((u >> 16) & kTextureMask);
      dst[x] = Clamp8(
          bg_y_[i] + wave[(x * 5 + row_phase) & 255] + grain[(grain_seed + y * 1031 + x) & 4095],
          16, 235);
    }
  }
  for (int y = 0; y < h_ / 2; ++y) {
    const double ry = 2 * y - h_ / 2.0, rx = -w_ / 2.0;
    int64_t u = fixed(cx + rx * dx - ry * dy), v = fixed(cy + rx * dy + ry * dx);
    uint8_t* du = out.u + y * out.stride_u;
    uint8_t* dv = out.v + y * out.stride_v;
    for (int x = 0; x < w_ / 2; ++x, u += 2 * step_u, v += 2 * step_v) {
      const size_t i =
          size_t(((v + strip_v[2 * x]) >> 17) & (kChromaTexture - 1)) * kChromaTexture +
          ((u >> 17) & (kChromaTexture - 1));
      du[x] = bg_u_[i];
      dv[x] = bg_v_[i];
    }
  }

  // Objects crossing the scene at their own speeds, bouncing off the edges.
  static constexpr Yuv kColours[6] = {{235, 128, 128}, {16, 128, 128}, {162, 44, 142},
                                      {65, 100, 212},  {131, 156, 44}, {84, 184, 198}};
  for (int i = 0; i < 6; ++i) {
    const int size = std::max(8, h_ / (6 + 2 * i)) & ~1;
    const int span_x = std::max(1, w_ - size), span_y = std::max(1, h_ - size);
    const int64_t px = static_cast<int64_t>(index) * (3 + 2 * i) + i * 977;
    const int64_t py = static_cast<int64_t>(index) * (2 + i) + i * 613;
    const int ox = static_cast<int>(px % (2 * span_x));
    const int oy = static_cast<int>(py % (2 * span_y));
    const int x = ox < span_x ? ox : 2 * span_x - ox;
    const int y = oy < span_y ? oy : 2 * span_y - oy;
    const Yuv& c = kColours[i];
    FillRect(out, x, y, size, size, c.y, c.u, c.v);
    const uint8_t inner = c.y > 128 ? 16 : 235;
    FillRect(out, x + size / 4, y + size / 4, size / 2, size / 2, inner, c.v, c.u);
  }

  FillRect(out, 0, 0, w_, band_, 64, 128, 128);
}

void TestPattern::DrawBars(const Planes& out, uint64_t index) const {
  for (int r = 0; r < h_; ++r)
    std::memcpy(out.y + r * out.stride_y, bg_y_.data() + static_cast<size_t>(r) * w_, w_);
  for (int r = 0; r < h_ / 2; ++r) {
    std::memcpy(out.u + r * out.stride_u, bg_u_.data() + static_cast<size_t>(r) * (w_ / 2), w_ / 2);
    std::memcpy(out.v + r * out.stride_v, bg_v_.data() + static_cast<size_t>(r) * (w_ / 2), w_ / 2);
  }

  // A box sweeping across the bars, one full traverse every 100 pictures.
  const int box = std::max(8, h_ / 8) & ~1;
  const int span = std::max(1, w_ - box);
  const int phase = static_cast<int>(index % 200);
  const int bx = (phase < 100 ? phase : 200 - phase) * span / 100;
  const int by = h_ / 2 - box / 2;
  FillRect(out, bx, by, box, box, 16, 128, 128);
  FillRect(out, bx + box / 8, by + box / 8, box - box / 4, box - box / 4, 235, 128, 128);
}

}  // namespace devicesim
