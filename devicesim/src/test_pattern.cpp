#include "test_pattern.h"

#include <algorithm>
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

// Seven-segment masks, bit 0 = a (top) ... bit 6 = g (middle).
constexpr uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

}  // namespace

TestPattern::TestPattern(int width, int height)
    : w_(width),
      h_(height),
      bg_y_(static_cast<size_t>(width) * height),
      bg_u_(static_cast<size_t>(width / 2) * (height / 2)),
      bg_v_(bg_u_.size()) {
  const int band = 2 * std::max(frame_code::BlockSize(width), 4);
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

  // Clock (time of day) and frame counter on a black panel at the bottom.
  const int dh = std::max(8, h_ / 12);
  const int panel_y = h_ - dh * 2;
  FillRect(out, 0, panel_y - dh / 4, w_, h_ - panel_y + dh / 4, 16, 128, 128);
  const int64_t day_ms = ((clock_ms % 86400000) + 86400000) % 86400000;
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d %u", static_cast<int>(day_ms / 3600000),
                static_cast<int>(day_ms / 60000 % 60), static_cast<int>(day_ms / 1000 % 60),
                static_cast<int>(day_ms % 1000), frame);
  DrawDigits(out, dh / 2, panel_y, dh, text);

  // The code sits in the grey top band, whose chroma is neutral.
  frame_code::EncodeLuma(out.y, out.stride_y, w_, h_, frame);
}

}  // namespace devicesim
