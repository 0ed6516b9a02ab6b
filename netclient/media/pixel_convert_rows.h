// Row loop shared by the vectorised converters, included only by their files.
//
// A kernel K converts blocks of K::kBlock pixels of one or two rows that
// share a chroma row; this loop walks the picture in row pairs, hands full
// blocks to the kernel and finishes each row's remaining pixels with the
// scalar formulas, so no vector load or store passes a row's end. K is a type local
// to the including file, so every instantiation has internal linkage.
//
// K provides, for kBlock pixels starting at y[r], u, v (kBlock / 2 chroma
// samples):
//   template <PixelLayout L> static void Rgb(const uint8_t* const y[2], int rows,
//       const uint8_t* u, const uint8_t* v, uint8_t* const d[2]);   // 32/24-bit
//   static void Values(const uint8_t* const y[2], int rows, const uint8_t* u,
//       const uint8_t* v, int16_t* const out[2][3]);  // clamped to [kCarryMin, 255]
//   template <bool kGreen6> static void Pack(const int16_t* const values[3],
//       const uint8_t* const carries[3], uint8_t* d);  // kBlock words
#pragma once

#include "media/pixel_convert_impl.h"

namespace quornet::pixconv {

template <PixelLayout kLayout>
static void ScalarRgbTail(const uint8_t* yp, const uint8_t* up, const uint8_t* vp, int x, int width,
                          uint8_t* d) {
  constexpr int kBytes = kLayout == PixelLayout::kRgb32 ? 4 : 3;
  for (; x < width; ++x) {
    int r, g, b;
    ChannelSums(yp[x], up[x >> 1], vp[x >> 1], &r, &g, &b);
    uint8_t* p = d + x * kBytes;
    p[0] = static_cast<uint8_t>(Clamp255(b));
    p[1] = static_cast<uint8_t>(Clamp255(g));
    p[2] = static_cast<uint8_t>(Clamp255(r));
    if constexpr (kBytes == 4) p[3] = 0;
  }
}

static inline int16_t CarryClamp(int x) {
  return static_cast<int16_t>(x < kCarryMin ? kCarryMin : (x > 255 ? 255 : x));
}

template <class K, PixelLayout kLayout>
static void SimdRows(const Job& j) {
  constexpr bool kSixteen = kLayout == PixelLayout::kRgb565 || kLayout == PixelLayout::kRgb555;
  constexpr bool kGreen6 = kLayout == PixelLayout::kRgb565;
  constexpr int kBlock = K::kBlock;
  static_assert(kStretch % kBlock == 0);
  const int w = j.width;
  const int full = w - w % kBlock;
  for (int row = 0; row < j.height; row += 2) {
    const int rows = j.height - row >= 2 ? 2 : 1;
    const uint8_t* const y[2] = {j.y + row * j.y_stride, j.y + (row + rows - 1) * j.y_stride};
    const uint8_t* const u = j.u + (row >> 1) * j.uv_stride;
    const uint8_t* const v = j.v + (row >> 1) * j.uv_stride;
    uint8_t* const d[2] = {j.dst + row * j.dst_step, j.dst + (row + rows - 1) * j.dst_step};

    if constexpr (!kSixteen) {
      for (int x = 0; x < full; x += kBlock) {
        const uint8_t* const yb[2] = {y[0] + x, y[1] + x};
        uint8_t* const db[2] = {d[0] + x * BytesPerPixelOf(kLayout),
                                d[1] + x * BytesPerPixelOf(kLayout)};
        K::template Rgb<kLayout>(yb, rows, u + x / 2, v + x / 2, db);
      }
      for (int r = 0; r < rows; ++r) ScalarRgbTail<kLayout>(y[r], u, v, full, w, d[r]);
    } else {
      // Values, then the serial carry chain, then packing, one stretch of the
      // row pair at a time so the scratch stays in the first-level cache.
      int16_t values[2][3][kStretch];
      uint8_t carries[2][3][kStretch];
      CarryState state[2];
      for (int x0 = 0; x0 < w; x0 += kStretch) {
        const int n = w - x0 < kStretch ? w - x0 : kStretch;
        const int nfull = n - n % kBlock;
        for (int x = 0; x < nfull; x += kBlock) {
          const uint8_t* const yb[2] = {y[0] + x0 + x, y[1] + x0 + x};
          int16_t* const out[2][3] = {{values[0][0] + x, values[0][1] + x, values[0][2] + x},
                                      {values[1][0] + x, values[1][1] + x, values[1][2] + x}};
          K::Values(yb, rows, u + (x0 + x) / 2, v + (x0 + x) / 2, out);
        }
        for (int r = 0; r < rows; ++r) {
          for (int x = nfull; x < n; ++x) {
            const int px = x0 + x;
            int cr, cg, cb;
            ChannelSums(y[r][px], u[px >> 1], v[px >> 1], &cr, &cg, &cb);
            values[r][0][x] = CarryClamp(cr);
            values[r][1][x] = CarryClamp(cg);
            values[r][2][x] = CarryClamp(cb);
          }
          const int16_t* const vals[3] = {values[r][0], values[r][1], values[r][2]};
          uint8_t* const cars[3] = {carries[r][0], carries[r][1], carries[r][2]};
          CarryRun16(vals, cars, n, kGreen6, &state[r]);
          uint8_t* const dr = d[r] + 2 * x0;
          for (int x = 0; x < nfull; x += kBlock) {
            const int16_t* const vb[3] = {vals[0] + x, vals[1] + x, vals[2] + x};
            const uint8_t* const cb[3] = {cars[0] + x, cars[1] + x, cars[2] + x};
            K::template Pack<kGreen6>(vb, cb, dr + 2 * x);
          }
          for (int x = nfull; x < n; ++x) {
            const uint16_t word = PackCarried16(vals[0][x], vals[1][x], vals[2][x], cars[0][x],
                                                cars[1][x], cars[2][x], kGreen6);
            dr[2 * x] = static_cast<uint8_t>(word);
            dr[2 * x + 1] = static_cast<uint8_t>(word >> 8);
          }
        }
      }
    }
  }
}

template <class K>
static void SimdConvert(const Job& j) {
  switch (j.layout) {
    case PixelLayout::kRgb32:
      return SimdRows<K, PixelLayout::kRgb32>(j);
    case PixelLayout::kRgb24:
      return SimdRows<K, PixelLayout::kRgb24>(j);
    case PixelLayout::kRgb565:
      return SimdRows<K, PixelLayout::kRgb565>(j);
    case PixelLayout::kRgb555:
      return SimdRows<K, PixelLayout::kRgb555>(j);
  }
}

}  // namespace quornet::pixconv
