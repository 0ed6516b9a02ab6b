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
//       const uint8_t* v, int16_t* const out[2][3]);  // channel values, in order
// and for the 16-bit layouts, over bands of kBand rows (see SimdRows16):
//   template <bool kGreen6> static void Walk(const int16_t (*values)[3][kStretch],
//       int columns, uint8_t* const dst[kBand], int16_t (*carry)[kBand]);
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
    if constexpr (kBytes == 4) p[3] = 255;
  }
}

template <class K, PixelLayout kLayout>
static void SimdRgbRows(const Job& j) {
  constexpr int kBlock = K::kBlock;
  constexpr int kBytes = BytesPerPixelOf(kLayout);
  const int w = j.width;
  const int full = w - w % kBlock;
  for (int row = 0; row < j.height; row += 2) {
    const int rows = j.height - row >= 2 ? 2 : 1;
    const uint8_t* const y[2] = {j.y + row * j.y_stride, j.y + (row + rows - 1) * j.y_stride};
    const uint8_t* const u = j.u + (row >> 1) * j.uv_stride;
    const uint8_t* const v = j.v + (row >> 1) * j.uv_stride;
    uint8_t* const d[2] = {j.dst + row * j.dst_step, j.dst + (row + rows - 1) * j.dst_step};
    for (int x = 0; x < full; x += kBlock) {
      const uint8_t* const yb[2] = {y[0] + x, y[1] + x};
      uint8_t* const db[2] = {d[0] + x * kBytes, d[1] + x * kBytes};
      K::template Rgb<kLayout>(yb, rows, u + x / 2, v + x / 2, db);
    }
    for (int r = 0; r < rows; ++r) ScalarRgbTail<kLayout>(y[r], u, v, full, w, d[r]);
  }
}

// 16-bit layouts. The carry runs along each row, so a row cannot be split
// across vector lanes; different rows are independent, though. The picture
// is taken in bands of K::kBand rows: channel values are computed row by row
// into scratch, then K::Walk transposes 8-column tiles so that each lane holds
// one row, steps the carries of all rows of the band one column at a time,
// and transposes the packed words back. Rows past the picture's end are
// computed from zeros and written to scratch.
template <class K, PixelLayout kLayout>
static void SimdRows16(const Job& j) {
  constexpr bool kGreen6 = kLayout == PixelLayout::kRgb565;
  constexpr int kBlock = K::kBlock;
  constexpr int kBand = K::kBand;
  static_assert(kStretch % kBlock == 0 && kStretch % 8 == 0 && kBand % 2 == 0);
  const int w = j.width;
  alignas(32) int16_t values[kBand][3][kStretch];
  alignas(32) uint8_t spare[2 * kStretch];
  for (int row0 = 0; row0 < j.height; row0 += kBand) {
    const int rows = j.height - row0 < kBand ? j.height - row0 : kBand;
    for (int r = rows; r < kBand; ++r) {
      for (int ch = 0; ch < 3; ++ch) {
        for (int x = 0; x < kStretch; ++x) values[r][ch][x] = 0;
      }
    }
    alignas(32) int16_t carry[3][kBand] = {};
    for (int x0 = 0; x0 < w; x0 += kStretch) {
      const int n = w - x0 < kStretch ? w - x0 : kStretch;
      const int nfull = n - n % kBlock;
      for (int r = 0; r < rows; r += 2) {
        const int pair = rows - r >= 2 ? 2 : 1;
        const int row = row0 + r;
        const uint8_t* const y[2] = {j.y + row * j.y_stride + x0,
                                     j.y + (row + pair - 1) * j.y_stride + x0};
        const uint8_t* const u = j.u + (row >> 1) * j.uv_stride + x0 / 2;
        const uint8_t* const v = j.v + (row >> 1) * j.uv_stride + x0 / 2;
        for (int x = 0; x < nfull; x += kBlock) {
          const uint8_t* const yb[2] = {y[0] + x, y[1] + x};
          int16_t* const out[2][3] = {{values[r][0] + x, values[r][1] + x, values[r][2] + x},
                                      {values[r + pair - 1][0] + x, values[r + pair - 1][1] + x,
                                       values[r + pair - 1][2] + x}};
          K::Values(yb, pair, u + x / 2, v + x / 2, out);
        }
        for (int p = 0; p < pair; ++p) {
          for (int x = nfull; x < n; ++x) {
            int cr, cg, cb;
            ChannelSums(y[p][x], u[x >> 1], v[x >> 1], &cr, &cg, &cb);
            values[r + p][0][x] = static_cast<int16_t>(cr);
            values[r + p][1][x] = static_cast<int16_t>(cg);
            values[r + p][2][x] = static_cast<int16_t>(cb);
          }
        }
      }
      uint8_t* d[kBand];
      for (int r = 0; r < kBand; ++r) {
        d[r] = r < rows ? j.dst + (row0 + r) * j.dst_step + 2 * x0 : spare;
      }
      const int n8 = n - n % 8;
      K::template Walk<kGreen6>(values, n8, d, carry);
      // The last 0..7 columns of a row.
      for (int r = 0; r < rows; ++r) {
        int c[3] = {carry[0][r], carry[1][r], carry[2][r]};
        for (int x = n8; x < n; ++x) {
          int s[3];
          for (int ch = 0; ch < 3; ++ch) {
            s[ch] = Clamp255(values[r][ch][x] + c[ch]);
            c[ch] = s[ch] & (kGreen6 && ch == 1 ? 3 : 7);
          }
          const int word = kGreen6 ? ((s[0] >> 3) << 11) | ((s[1] >> 2) << 5) | (s[2] >> 3)
                                   : ((s[0] >> 3) << 10) | ((s[1] >> 3) << 5) | (s[2] >> 3);
          d[r][2 * x] = static_cast<uint8_t>(word);
          d[r][2 * x + 1] = static_cast<uint8_t>(word >> 8);
        }
      }
    }
  }
}

template <class K>
static void SimdConvert(const Job& j) {
  switch (j.layout) {
    case PixelLayout::kRgb32:
      return SimdRgbRows<K, PixelLayout::kRgb32>(j);
    case PixelLayout::kRgb24:
      return SimdRgbRows<K, PixelLayout::kRgb24>(j);
    case PixelLayout::kRgb565:
      return SimdRows16<K, PixelLayout::kRgb565>(j);
    case PixelLayout::kRgb555:
      return SimdRows16<K, PixelLayout::kRgb555>(j);
  }
}

}  // namespace quornet::pixconv
