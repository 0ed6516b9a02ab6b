// 32-pixel converter kernels on 256-bit registers, included only by
// pixel_convert_avx2.cpp and pixel_convert_avx512.cpp; each compiles them
// with its own instruction-set flags (everything here has internal linkage).
// With AVX-512 BW, VL and VBMI the same registers use three more instructions:
// an unsigned compare into a mask, a masked subtract, and a two-register byte
// permute that interleaves the packed channels in one step.
//
// Bit-identical to the portable tables. Same split of the sums as the SSE2
// file (integer part and 13-bit fraction, chroma parts by pmaddwd once per
// sample) with the fractions kept 8 times larger, so that no shifts are
// needed per channel: (u, v) enter pmaddwd multiplied by 8, so each 32-bit
// chroma sum holds qi in its high word and 8 ql in its low word, and the luma
// side's 8 pl is the low word of 10744 y. The carry pl + ql >= 8192 is the
// unsigned overflow of 8 pl + 8 ql, that is 8 ql > ~(8 pl) unsigned (the NOT
// on the luma side, which is shared by the three channels); AVX2 has only the
// signed compare, so there both sides are offset by 0x8000 instead:
// (8 pl ^ 0x8000) > (8 ql ^ 0x7FFF).
//
// Inside a 16-pixel register, 256-bit lane 0 holds pixels 0-3 and 8-11 and
// lane 1 pixels 4-7 and 12-15. Loads put luma and chroma in that order with
// one byte shuffle each, and the in-lane unpacks that interleave B, G, R, 255
// then leave pixels 0-7 in one register and 8-15 in the other, so no
// cross-lane fix-up is needed before storing. With AVX-512 one permute per 32
// output bytes picks them from the two packed registers instead.
#pragma once

#include <immintrin.h>

#include "media/pixel_convert_rows.h"

#if defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__AVX512VBMI__)
#define QR_PIXCONV_AVX512 1
#else
#define QR_PIXCONV_AVX512 0
#endif

namespace quornet::pixconv {
namespace {

inline __m256i Pair(int lo, int hi) {
  return _mm256_set1_epi32(static_cast<int>(
      static_cast<uint16_t>(lo) | (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16)));
}

// 16 bytes at p, zero-extended to 16-bit lanes in the order ctl gives.
inline __m256i LoadWords(const uint8_t* p, __m256i ctl) {
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(b), ctl);
}

// Luma of 16 pixels: lane 0 pixels 0-3, 8-11; lane 1 pixels 4-7, 12-15.
inline __m256i LumaOrder() {
  return _mm256_setr_epi8(0, -1, 1, -1, 2, -1, 3, -1, 8, -1, 9, -1, 10, -1, 11, -1,  //
                          4, -1, 5, -1, 6, -1, 7, -1, 12, -1, 13, -1, 14, -1, 15, -1);
}

// Chroma of 32 pixels (16 samples) ordered so that duplicating the low or
// high words of each lane gives the luma order of pixels 0-15 or 16-31.
inline __m256i ChromaOrder() {
  return _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,  //
                          2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1);
}

// Chroma part of one channel for 16 pixels: integer part qi and the
// compare operand 8 ql, or 8 ql ^ 0x7FFF for the signed compare.
struct Part {
  __m256i qi, qc;
};

// Chroma parts of the three channels for 16 pixels.
struct ChromaHalf {
  Part r, g, b;
};

// One channel's chroma part for 16 pixels from 8 (8 u, 8 v) pairs: the exact
// 32-bit sum 8 (coef . (u, v) + k), whose high word is qi and low word 8 ql.
// Each 32-bit lane holds one sample; the byte shuffles copy a word of it to
// both of the sample's pixels.
[[gnu::always_inline]] inline Part SplitChroma(__m256i uv8, __m256i coef, int k) {
  const __m256i dup_hi =
      _mm256_setr_epi8(2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15,  //
                       2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15);
  const __m256i dup_lo = _mm256_setr_epi8(0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13,  //
                                          0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13);
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(uv8, coef), _mm256_set1_epi32(8 * k));
#if QR_PIXCONV_AVX512
  return {_mm256_shuffle_epi8(sum, dup_hi), _mm256_shuffle_epi8(sum, dup_lo)};
#else
  // The low word's flip leaves qi in the high word as it is.
  const __m256i flipped = _mm256_xor_si256(sum, _mm256_set1_epi32(0x7FFF));
  return {_mm256_shuffle_epi8(sum, dup_hi), _mm256_shuffle_epi8(flipped, dup_lo)};
#endif
}

// The sums use u and v as stored; the constants carry -128 x coefficient
// and the luma offset -9535 x 16.
[[gnu::always_inline]] inline ChromaHalf SplitChroma(__m256i uv8) {
  return {SplitChroma(uv8, Pair(0, kCoefRv), kYConst - 128 * kCoefRv),
          SplitChroma(uv8, Pair(-kCoefGu, -kCoefGv), kYConst + 128 * (kCoefGu + kCoefGv)),
          SplitChroma(uv8, Pair(kCoefBu, 0), kYConst - 128 * kCoefBu)};
}

// (8 u, 8 v) pairs of a 32-pixel block. The 16 samples go into 32-bit lanes
// in the order 0, 1, 4, 5 | 2, 3, 6, 7 for pixels 0-15 (first) and
// 8, 9, 12, 13 | 10, 11, 14, 15 for pixels 16-31 (second), which is the luma
// order once each sample is duplicated.
[[gnu::always_inline]] inline void LoadChroma(const uint8_t* up, const uint8_t* vp, __m256i* first,
                                              __m256i* second) {
  const __m256i ctl = ChromaOrder();
  const __m256i u8 = _mm256_slli_epi16(LoadWords(up, ctl), 3);
  const __m256i v8 = _mm256_slli_epi16(LoadWords(vp, ctl), 3);
  *first = _mm256_unpacklo_epi16(u8, v8);
  *second = _mm256_unpackhi_epi16(u8, v8);
}

// Luma of 16 pixels split as y + ph and ~(8 pl) (8 pl ^ 0x8000 for the
// signed compare), in luma order: 10744 y = 65536 ph + 8 pl.
struct Luma {
  __m256i yi, pl;
};

[[gnu::always_inline]] inline Luma LoadY(const uint8_t* yp) {
  const __m256i y = LoadWords(yp, LumaOrder());
  const __m256i m = _mm256_set1_epi16(kYFrac * 8);
  const __m256i ph = _mm256_mulhi_epi16(y, m);
  const __m256i pl = _mm256_xor_si256(_mm256_mullo_epi16(y, m),
                                      _mm256_set1_epi16(QR_PIXCONV_AVX512 ? -1 : -0x8000));
  return {_mm256_add_epi16(y, ph), pl};
}

// (y + ph) + qi + carry, the carry being 8 ql > ~(8 pl) unsigned, or the
// offset signed compare giving -1.
[[gnu::always_inline]] inline __m256i Channel(const Luma& y, const Part& q) {
  const __m256i sum = _mm256_add_epi16(y.yi, q.qi);
#if QR_PIXCONV_AVX512
  return _mm256_mask_sub_epi16(sum, _mm256_cmpgt_epu16_mask(q.qc, y.pl), sum,
                               _mm256_set1_epi16(-1));
#else
  return _mm256_sub_epi16(sum, _mm256_cmpgt_epi16(y.pl, q.qc));
#endif
}

// Channel values (sum >> 13, not clamped) of 16 pixels in luma order.
struct Rgb16 {
  __m256i r, g, b;
};

[[gnu::always_inline]] inline Rgb16 Channels(const uint8_t* yp, const ChromaHalf& c) {
  const Luma y = LoadY(yp);
  return {Channel(y, c.r), Channel(y, c.g), Channel(y, c.b)};
}

#if QR_PIXCONV_AVX512
// Byte permutes from the packed registers br (B of a lane's 8 pixels, then
// their R) and g0 (G, then 255) to 16 pixels in memory order: index[j] is the
// source of output byte j, bit 5 choosing g0.
struct PermuteTable {
  alignas(32) int8_t index[64];
};

constexpr PermuteTable BuildPermute(int bytes_per_pixel) {
  PermuteTable t{};
  for (int j = 0; j < 16 * bytes_per_pixel; ++j) {
    const int p = j / bytes_per_pixel;
    const int at = ((p >> 2) & 1) * 16 + (p & 3) + ((p >> 3) << 2);  // luma order
    const int channel = j % bytes_per_pixel;                         // B, G, R, 255
    t.index[j] = static_cast<int8_t>(channel == 0   ? at
                                     : channel == 1 ? 32 + at
                                     : channel == 2 ? 8 + at
                                                    : 40);
  }
  return t;
}

constexpr PermuteTable kBgr0Permute = BuildPermute(4);
constexpr PermuteTable kBgrPermute = BuildPermute(3);

inline __m256i PermuteHalf(const PermuteTable& t, int half, __m256i br, __m256i g0) {
  const __m256i index = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.index + 32 * half));
  return _mm256_permutex2var_epi8(br, index, g0);
}

// Packing with unsigned saturation clamps to 0..255.
template <PixelLayout kLayout>
[[gnu::always_inline]] inline void StoreRgb(const Rgb16& c, uint8_t* d) {
  const __m256i br = _mm256_packus_epi16(c.b, c.r);
  const __m256i g0 = _mm256_packus_epi16(c.g, _mm256_set1_epi16(255));
  if constexpr (kLayout == PixelLayout::kRgb32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), PermuteHalf(kBgr0Permute, 0, br, g0));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), PermuteHalf(kBgr0Permute, 1, br, g0));
  } else {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), PermuteHalf(kBgrPermute, 0, br, g0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 32),
                     _mm256_castsi256_si128(PermuteHalf(kBgrPermute, 1, br, g0)));
  }
}
#else
// B, G, R, 255 of 16 pixels in luma order: pixels 0..7 in p0, 8..15 in p1.
[[gnu::always_inline]] inline void Bgr0(const Rgb16& c, __m256i* p0, __m256i* p1) {
  const __m256i br = _mm256_packus_epi16(c.b, c.r);
  const __m256i g0 = _mm256_packus_epi16(c.g, _mm256_set1_epi16(255));
  const __m256i bg = _mm256_unpacklo_epi8(br, g0);
  const __m256i r0 = _mm256_unpackhi_epi8(br, g0);
  *p0 = _mm256_unpacklo_epi16(bg, r0);
  *p1 = _mm256_unpackhi_epi16(bg, r0);
}

// 8 pixels B, G, R, 255 to 24 bytes B, G, R at the bottom (the rest zero).
inline __m256i Drop0(__m256i p) {
  const __m256i in_lane = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p, in_lane), join);
}

template <PixelLayout kLayout>
[[gnu::always_inline]] inline void StoreRgb(const Rgb16& c, uint8_t* d) {
  __m256i p0, p1;
  Bgr0(c, &p0, &p1);
  if constexpr (kLayout == PixelLayout::kRgb32) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), p0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + 32), p1);
  } else {
    // 48 bytes: the first store's 8 spare bytes are overwritten by the
    // second half, which stays inside the block.
    const __m256i z1 = Drop0(p1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), Drop0(p0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 24), _mm256_castsi256_si128(z1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 40), _mm256_extracti128_si256(z1, 1));
  }
}
#endif

// Stored in pixel order: 64-bit groups 0, 2, 1, 3 of the luma order.
[[gnu::always_inline]] inline void StoreValue(__m256i x, int16_t* out) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(x, 0xD8));
}

[[gnu::always_inline]] inline void StoreValues(const Rgb16& c, int16_t* const out[3], int i) {
  StoreValue(c.r, out[0] + i);
  StoreValue(c.g, out[1] + i);
  StoreValue(c.b, out[2] + i);
}

// Transposes two 8 x 8 blocks of 16-bit values in place, one per 128-bit
// lane: m[i] element k becomes m[k] element i within each lane.
[[gnu::always_inline]] inline void Transpose8(__m256i m[8]) {
  const __m256i t0 = _mm256_unpacklo_epi16(m[0], m[1]);
  const __m256i t1 = _mm256_unpackhi_epi16(m[0], m[1]);
  const __m256i t2 = _mm256_unpacklo_epi16(m[2], m[3]);
  const __m256i t3 = _mm256_unpackhi_epi16(m[2], m[3]);
  const __m256i t4 = _mm256_unpacklo_epi16(m[4], m[5]);
  const __m256i t5 = _mm256_unpackhi_epi16(m[4], m[5]);
  const __m256i t6 = _mm256_unpacklo_epi16(m[6], m[7]);
  const __m256i t7 = _mm256_unpackhi_epi16(m[6], m[7]);
  const __m256i u0 = _mm256_unpacklo_epi32(t0, t2);
  const __m256i u1 = _mm256_unpackhi_epi32(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi32(t1, t3);
  const __m256i u3 = _mm256_unpackhi_epi32(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi32(t4, t6);
  const __m256i u5 = _mm256_unpackhi_epi32(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi32(t5, t7);
  const __m256i u7 = _mm256_unpackhi_epi32(t5, t7);
  m[0] = _mm256_unpacklo_epi64(u0, u4);
  m[1] = _mm256_unpackhi_epi64(u0, u4);
  m[2] = _mm256_unpacklo_epi64(u1, u5);
  m[3] = _mm256_unpackhi_epi64(u1, u5);
  m[4] = _mm256_unpacklo_epi64(u2, u6);
  m[5] = _mm256_unpackhi_epi64(u2, u6);
  m[6] = _mm256_unpacklo_epi64(u3, u7);
  m[7] = _mm256_unpackhi_epi64(u3, u7);
}

// Columns x..x+7 of one channel of a 16-row band: m[k] element r = row r,
// column x + k (rows 0-7 in the low lane, 8-15 in the high lane).
[[gnu::always_inline]] inline void LoadColumns(const int16_t (*values)[3][kStretch], int ch, int x,
                                               __m256i m[8]) {
  for (int r = 0; r < 8; ++r) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values[r][ch] + x));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values[r + 8][ch] + x));
    m[r] = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
  }
  Transpose8(m);
}

// One column step of a channel's carries: s = clamp(value + carry), and the
// bits that packing drops become the next carry.
[[gnu::always_inline]] inline __m256i Step(__m256i value, __m256i* carry, __m256i keep) {
  const __m256i s =
      _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(value, *carry), _mm256_setzero_si256()),
                       _mm256_set1_epi16(255));
  *carry = _mm256_and_si256(s, keep);
  return s;
}

struct Kernel256 {
  static constexpr int kBlock = 32;

  template <PixelLayout kLayout>
  static void Rgb(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                  uint8_t* const d[2]) {
    constexpr int kBytes = BytesPerPixelOf(kLayout);
    __m256i first, second;
    LoadChroma(u, v, &first, &second);
    // One half of the chroma at a time keeps everything in registers.
    const ChromaHalf lo = SplitChroma(first);
    StoreRgb<kLayout>(Channels(y[0], lo), d[0]);
    if (rows == 2) StoreRgb<kLayout>(Channels(y[1], lo), d[1]);
    const ChromaHalf hi = SplitChroma(second);
    StoreRgb<kLayout>(Channels(y[0] + 16, hi), d[0] + 16 * kBytes);
    if (rows == 2) StoreRgb<kLayout>(Channels(y[1] + 16, hi), d[1] + 16 * kBytes);
  }

  static void Values(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                     int16_t* const out[2][3]) {
    __m256i first, second;
    LoadChroma(u, v, &first, &second);
    const ChromaHalf lo = SplitChroma(first);
    const ChromaHalf hi = SplitChroma(second);
    for (int row = 0; row < rows; ++row) {
      StoreValues(Channels(y[row], lo), out[row], 0);
      StoreValues(Channels(y[row] + 16, hi), out[row], 16);
    }
  }

  static constexpr int kBand = 16;

  template <bool kGreen6>
  static void Walk(const int16_t (*values)[3][kStretch], int columns, uint8_t* const dst[kBand],
                   int16_t (*carry)[kBand]) {
    const __m256i keep3 = _mm256_set1_epi16(7);
    const __m256i keep_g = _mm256_set1_epi16(kGreen6 ? 3 : 7);
    __m256i cr = _mm256_load_si256(reinterpret_cast<const __m256i*>(carry[0]));
    __m256i cg = _mm256_load_si256(reinterpret_cast<const __m256i*>(carry[1]));
    __m256i cb = _mm256_load_si256(reinterpret_cast<const __m256i*>(carry[2]));
    for (int x = 0; x < columns; x += 8) {
      __m256i r[8], g[8], b[8];
      LoadColumns(values, 0, x, r);
      LoadColumns(values, 1, x, g);
      LoadColumns(values, 2, x, b);
      for (int k = 0; k < 8; ++k) {
        const __m256i sr = Step(r[k], &cr, keep3);
        const __m256i sg = Step(g[k], &cg, keep_g);
        const __m256i sb = Step(b[k], &cb, keep3);
        // Dropping the carried bits leaves the bits that are kept.
        const __m256i hi = _mm256_sub_epi16(sr, cr);
        const __m256i mid = _mm256_sub_epi16(sg, cg);
        r[k] = _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi16(hi, kGreen6 ? 8 : 7),
                                               _mm256_slli_epi16(mid, kGreen6 ? 3 : 2)),
                               _mm256_srli_epi16(sb, 3));
      }
      Transpose8(r);
      for (int row = 0; row < 8; ++row) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[row] + 2 * x),
                         _mm256_castsi256_si128(r[row]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[row + 8] + 2 * x),
                         _mm256_extracti128_si256(r[row], 1));
      }
    }
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry[0]), cr);
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry[1]), cg);
    _mm256_store_si256(reinterpret_cast<__m256i*>(carry[2]), cb);
  }
};

}  // namespace
}  // namespace quornet::pixconv
