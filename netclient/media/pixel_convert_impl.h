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

// 16-bit layouts, vectorised in three passes per stretch of a row:
//  1. SIMD: channel values, clamped to [kCarryMin, 255]. Clamping there
//     changes nothing: for any carry 0..7, clamp(value + carry, 0, 255) is the
//     same for value and for its clamped form.
//  2. CarryRun16: the carry chain, the only serial part.
//  3. SIMD: clamp(value + carry) packed into words.
inline constexpr int kCarryMin = -7;

// State of one row's three carry chains (red, green, blue), each 8 x carry.
struct CarryState {
  uint32_t c[3] = {0, 0, 0};
};

// For n pixels of one row: values[ch][i] in [kCarryMin, 255] gives
// carries[ch][i] = 8 x the carry that enters pixel i. green6 selects the
// 5-6-5 green channel, which drops two bits instead of three.
void CarryRun16(const int16_t* const values[3], uint8_t* const carries[3], int n, bool green6,
                CarryState* state);

// Scalar form of pass 3 for one pixel.
static inline uint16_t PackCarried16(int r, int g, int b, int cr8, int cg8, int cb8, bool green6) {
  r = Clamp255(r + (cr8 >> 3));
  g = Clamp255(g + (cg8 >> 3));
  b = Clamp255(b + (cb8 >> 3));
  if (green6) return static_cast<uint16_t>(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
  return static_cast<uint16_t>(((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3));
}

// Pixels per stretch in the 16-bit passes; a multiple of every vector width.
inline constexpr int kStretch = 512;

}  // namespace quornet::pixconv
