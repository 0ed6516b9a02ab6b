// Internals shared by the pixel converter implementations.
//
// The SIMD files are compiled with their own instruction-set flags, so every
// helper here that they use has internal linkage (static): a shared inline
// function could otherwise be emitted once with AVX2 instructions and picked
// by the linker for callers on processors without AVX2. For the same reason
// the SIMD files use no standard-library templates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/pixel_convert.h"

namespace quornet::pixconv {

// BT.601 limited range in 13-bit fixed point (scale 8192):
// 1.164 (y), 1.596 (red from v), 0.391 (green from u), 0.813 (green from v),
// 2.018 (blue from u).
inline constexpr int kShift = 13;
inline constexpr int kCoefY = 9535;
inline constexpr int kCoefRv = 13074;
inline constexpr int kCoefGu = 3203;
inline constexpr int kCoefGv = 6660;
inline constexpr int kCoefBu = 16531;

// The vectorised converters compute the same sums exactly in 16-bit lanes.
// With 9535 y = 8192 (y + ph) + pl, where ph = (1343 y) >> 13 (a pmulhw by
// 1343 x 8) and pl = (1343 y) & 8191, and the chroma part of a sum
// Q = 13074 (v - 128) - 9535 x 16 (red; likewise green and blue)
// = 8192 qi + ql with 0 <= ql < 8192:
//   (9535 (y - 16) + chroma terms) >> 13 = (y + ph) + qi + (pl + ql >= 8192).
// They keep qc = 8191 - ql per chroma sample, so the last term is one signed
// compare pl > qc.
inline constexpr int kYFrac = kCoefY - 8192;  // 1343
inline constexpr int kYConst = -kCoefY * 16;  // -152560, folded into Q
inline constexpr int kFracMask = 8191;

// Per-sample terms, 256 entries each: y[i] = 9535 (i - 16), rv[i] =
// 13074 (i - 128), gu, gv and bu likewise.
struct Tables {
  int32_t y[256];
  int32_t rv[256];
  int32_t gu[256];
  int32_t gv[256];
  int32_t bu[256];
};
extern const Tables kTables;

// A conversion with validated arguments and the flip already applied.
struct Job {
  const uint8_t* y;
  const uint8_t* u;
  const uint8_t* v;
  ptrdiff_t y_stride;
  ptrdiff_t uv_stride;
  int width;
  int height;
  uint8_t* dst;        // where source row 0 goes
  ptrdiff_t dst_step;  // bytes from one output row to the next; negative when flipped
  PixelLayout layout;
};

void ConvertPortable(const Job& job);
void ConvertSse2(const Job& job);
void ConvertAvx2(const Job& job);
void ConvertAvx512(const Job& job);

// Channel values before clamping: (sum of table terms) >> 13. The shift is
// arithmetic, so negative sums round towards minus infinity.
static inline void ChannelSums(int y, int u, int v, int* r, int* g, int* b) {
  const Tables& t = kTables;
  const int ty = t.y[y];
  *r = (ty + t.rv[v]) >> kShift;
  *g = (ty - (t.gu[u] + t.gv[v])) >> kShift;
  *b = (ty + t.bu[u]) >> kShift;
}

static constexpr inline int BytesPerPixelOf(PixelLayout layout) {
  return layout == PixelLayout::kRgb32 ? 4 : (layout == PixelLayout::kRgb24 ? 3 : 2);
}

static constexpr inline int Clamp255(int x) {
  return x < 0 ? 0 : (x > 255 ? 255 : x);
}

// Columns per stretch of the vectorised 16-bit converters; a multiple of
// every block width and of 8.
inline constexpr int kStretch = 256;

}  // namespace quornet::pixconv
