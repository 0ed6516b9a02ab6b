// SSE2 converters, bit-identical to the portable tables.
//
// Sums are split into an integer part and a 13-bit fraction as described in
// pixel_convert_impl.h, so all per-pixel work runs on eight 16-bit lanes.
// The chroma parts are formed exactly in 32 bits with pmaddwd once per chroma
// sample and shared by its four pixels. Packing with unsigned saturation
// gives the same clamp to 0..255 as the tables.
#if defined(__x86_64__) || defined(__i386__)

#include <emmintrin.h>

#include "media/pixel_convert_rows.h"

namespace quornet::pixconv {
namespace {

// Two 16-bit coefficients, lo for the first of a pair and hi for the second.
inline __m128i Pair(int lo, int hi) {
  return _mm_set1_epi32(static_cast<int>(static_cast<uint16_t>(lo) |
                                         (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16)));
}

// Chroma part of one channel for 8 pixels: integer part and 8191 - fraction.
struct Part {
  __m128i qi, qc;
};

// Chroma parts of the three channels for 8 pixels.
struct ChromaHalf {
  Part r, g, b;
};

// Chroma of a 16-pixel block: pixels 0-7 and 8-15.
struct Chroma {
  ChromaHalf lo, hi;
};

// One channel's chroma part from (u, v) pairs: the exact 32-bit sum
// coef . (u, v) + k, split into qi and qc and duplicated for both pixels of
// each sample.
[[gnu::always_inline]] inline void SplitChroma(__m128i uv_lo, __m128i uv_hi, __m128i coef, int k,
                                               Part* first, Part* second) {
  const __m128i add = _mm_set1_epi32(k);
  const __m128i frac = _mm_set1_epi32(kFracMask);
  const __m128i lo = _mm_add_epi32(_mm_madd_epi16(uv_lo, coef), add);
  const __m128i hi = _mm_add_epi32(_mm_madd_epi16(uv_hi, coef), add);
  const __m128i qi = _mm_packs_epi32(_mm_srai_epi32(lo, kShift), _mm_srai_epi32(hi, kShift));
  const __m128i qc = _mm_packs_epi32(_mm_andnot_si128(lo, frac), _mm_andnot_si128(hi, frac));
  *first = {_mm_unpacklo_epi16(qi, qi), _mm_unpacklo_epi16(qc, qc)};
  *second = {_mm_unpackhi_epi16(qi, qi), _mm_unpackhi_epi16(qc, qc)};
}

[[gnu::always_inline]] inline Chroma LoadChroma(const uint8_t* up, const uint8_t* vp) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i u = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(up)), zero);
  const __m128i v = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(vp)), zero);
  const __m128i uv_lo = _mm_unpacklo_epi16(u, v);
  const __m128i uv_hi = _mm_unpackhi_epi16(u, v);
  // The sums use u and v as stored; the constants carry -128 x coefficient
  // and the luma offset -9535 x 16.
  Chroma c;
  SplitChroma(uv_lo, uv_hi, Pair(0, kCoefRv), kYConst - 128 * kCoefRv, &c.lo.r, &c.hi.r);
  SplitChroma(uv_lo, uv_hi, Pair(-kCoefGu, -kCoefGv), kYConst + 128 * (kCoefGu + kCoefGv), &c.lo.g,
              &c.hi.g);
  SplitChroma(uv_lo, uv_hi, Pair(kCoefBu, 0), kYConst - 128 * kCoefBu, &c.lo.b, &c.hi.b);
  return c;
}

// Luma of 8 pixels split as y + ph and pl.
struct Luma {
  __m128i yi, pl;
};

[[gnu::always_inline]] inline Luma SplitY(__m128i y) {
  const __m128i ph = _mm_mulhi_epi16(y, _mm_set1_epi16(kYFrac * 8));
  const __m128i pl =
      _mm_and_si128(_mm_mullo_epi16(y, _mm_set1_epi16(kYFrac)), _mm_set1_epi16(kFracMask));
  return {_mm_add_epi16(y, ph), pl};
}

[[gnu::always_inline]] inline __m128i Channel(const Luma& y, const Part& q) {
  return _mm_sub_epi16(_mm_add_epi16(y.yi, q.qi), _mm_cmpgt_epi16(y.pl, q.qc));
}

// Channel values (sum >> 13, not clamped) of 8 pixels.
struct Rgb8 {
  __m128i r, g, b;
};

[[gnu::always_inline]] inline Rgb8 Channels(__m128i y, const ChromaHalf& c) {
  const Luma l = SplitY(y);
  return {Channel(l, c.r), Channel(l, c.g), Channel(l, c.b)};
}

// Two halves of 16 bytes of luma as 16-bit lanes.
[[gnu::always_inline]] inline void LoadY(const uint8_t* yp, __m128i* lo, __m128i* hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yp));
  *lo = _mm_unpacklo_epi8(y, zero);
  *hi = _mm_unpackhi_epi8(y, zero);
}

// B, G, R, 255 of 8 pixels in two registers.
[[gnu::always_inline]] inline void Bgr0(const Rgb8& c, __m128i* p0, __m128i* p1) {
  const __m128i br = _mm_packus_epi16(c.b, c.r);
  const __m128i g0 = _mm_packus_epi16(c.g, _mm_set1_epi16(255));
  const __m128i bg = _mm_unpacklo_epi8(br, g0);
  const __m128i r0 = _mm_unpackhi_epi8(br, g0);
  *p0 = _mm_unpacklo_epi16(bg, r0);
  *p1 = _mm_unpackhi_epi16(bg, r0);
}

inline __m128i Bytes(uint64_t lo, uint64_t hi) {
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// 4 pixels B, G, R, 255 to 12 bytes B, G, R (bytes 12..15 zero).
[[gnu::always_inline]] inline __m128i Drop0(__m128i p) {
  const __m128i px0 = Bytes(0xFFFFFF, 0xFFFFFF);
  const __m128i px1 = Bytes(0xFFFFFF000000, 0xFFFFFF000000);
  const __m128i q = _mm_or_si128(_mm_and_si128(p, px0), _mm_and_si128(_mm_srli_epi64(p, 8), px1));
  const __m128i lo6 = Bytes(0xFFFFFFFFFFFF, 0);
  const __m128i mid6 = Bytes(0xFFFF000000000000ull, 0xFFFFFFFF);
  return _mm_or_si128(_mm_and_si128(q, lo6), _mm_and_si128(_mm_srli_si128(q, 2), mid6));
}

template <PixelLayout kLayout>
[[gnu::always_inline]] inline void StoreRgb(const Rgb8& c, uint8_t* d) {
  __m128i p0, p1;
  Bgr0(c, &p0, &p1);
  if constexpr (kLayout == PixelLayout::kRgb32) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), p0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), p1);
  } else {
    const __m128i z0 = Drop0(p0);
    const __m128i z1 = Drop0(p1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_or_si128(z0, _mm_slli_si128(z1, 12)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), _mm_srli_si128(z1, 4));
  }
}

[[gnu::always_inline]] inline void StoreValues(const Rgb8& c, int16_t* const out[3], int i) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[0] + i), c.r);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[1] + i), c.g);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out[2] + i), c.b);
}

// Transposes 8 x 8 16-bit values in place: m[i] element k becomes m[k]
// element i.
[[gnu::always_inline]] inline void Transpose8(__m128i m[8]) {
  const __m128i t0 = _mm_unpacklo_epi16(m[0], m[1]);
  const __m128i t1 = _mm_unpackhi_epi16(m[0], m[1]);
  const __m128i t2 = _mm_unpacklo_epi16(m[2], m[3]);
  const __m128i t3 = _mm_unpackhi_epi16(m[2], m[3]);
  const __m128i t4 = _mm_unpacklo_epi16(m[4], m[5]);
  const __m128i t5 = _mm_unpackhi_epi16(m[4], m[5]);
  const __m128i t6 = _mm_unpacklo_epi16(m[6], m[7]);
  const __m128i t7 = _mm_unpackhi_epi16(m[6], m[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2);
  const __m128i u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3);
  const __m128i u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6);
  const __m128i u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7);
  const __m128i u7 = _mm_unpackhi_epi32(t5, t7);
  m[0] = _mm_unpacklo_epi64(u0, u4);
  m[1] = _mm_unpackhi_epi64(u0, u4);
  m[2] = _mm_unpacklo_epi64(u1, u5);
  m[3] = _mm_unpackhi_epi64(u1, u5);
  m[4] = _mm_unpacklo_epi64(u2, u6);
  m[5] = _mm_unpackhi_epi64(u2, u6);
  m[6] = _mm_unpacklo_epi64(u3, u7);
  m[7] = _mm_unpackhi_epi64(u3, u7);
}

// Columns x..x+7 of one channel of the band: m[k] lane r = row r, column x + k.
[[gnu::always_inline]] inline void LoadColumns(const int16_t (*values)[3][kStretch], int ch, int x,
                                               __m128i m[8]) {
  for (int r = 0; r < 8; ++r) {
    m[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values[r][ch] + x));
  }
  Transpose8(m);
}

// One column step of a channel's carries: s = clamp(value + carry), and the
// bits that packing drops become the next carry.
[[gnu::always_inline]] inline __m128i Step(__m128i value, __m128i* carry, __m128i keep) {
  const __m128i s = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(value, *carry), _mm_setzero_si128()),
                                  _mm_set1_epi16(255));
  *carry = _mm_and_si128(s, keep);
  return s;
}

struct Sse2 {
  static constexpr int kBlock = 16;

  template <PixelLayout kLayout>
  static void Rgb(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                  uint8_t* const d[2]) {
    constexpr int kBytes = BytesPerPixelOf(kLayout);
    const Chroma c = LoadChroma(u, v);
    for (int row = 0; row < rows; ++row) {
      __m128i lo, hi;
      LoadY(y[row], &lo, &hi);
      StoreRgb<kLayout>(Channels(lo, c.lo), d[row]);
      StoreRgb<kLayout>(Channels(hi, c.hi), d[row] + 8 * kBytes);
    }
  }

  static void Values(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                     int16_t* const out[2][3]) {
    const Chroma c = LoadChroma(u, v);
    for (int row = 0; row < rows; ++row) {
      __m128i lo, hi;
      LoadY(y[row], &lo, &hi);
      StoreValues(Channels(lo, c.lo), out[row], 0);
      StoreValues(Channels(hi, c.hi), out[row], 8);
    }
  }

  static constexpr int kBand = 8;

  template <bool kGreen6>
  static void Walk(const int16_t (*values)[3][kStretch], int columns, uint8_t* const dst[kBand],
                   int16_t (*carry)[kBand]) {
    const __m128i keep3 = _mm_set1_epi16(7);
    const __m128i keep_g = _mm_set1_epi16(kGreen6 ? 3 : 7);
    __m128i cr = _mm_load_si128(reinterpret_cast<const __m128i*>(carry[0]));
    __m128i cg = _mm_load_si128(reinterpret_cast<const __m128i*>(carry[1]));
    __m128i cb = _mm_load_si128(reinterpret_cast<const __m128i*>(carry[2]));
    for (int x = 0; x < columns; x += 8) {
      __m128i r[8], g[8], b[8];
      LoadColumns(values, 0, x, r);
      LoadColumns(values, 1, x, g);
      LoadColumns(values, 2, x, b);
      for (int k = 0; k < 8; ++k) {
        const __m128i sr = Step(r[k], &cr, keep3);
        const __m128i sg = Step(g[k], &cg, keep_g);
        const __m128i sb = Step(b[k], &cb, keep3);
        // Dropping the carried bits leaves the bits that are kept.
        const __m128i hi = _mm_sub_epi16(sr, cr);
        const __m128i mid = _mm_sub_epi16(sg, cg);
        r[k] = _mm_or_si128(
            _mm_or_si128(_mm_slli_epi16(hi, kGreen6 ? 8 : 7), _mm_slli_epi16(mid, kGreen6 ? 3 : 2)),
            _mm_srli_epi16(sb, 3));
      }
      Transpose8(r);
      for (int row = 0; row < 8; ++row) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst[row] + 2 * x), r[row]);
      }
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(carry[0]), cr);
    _mm_store_si128(reinterpret_cast<__m128i*>(carry[1]), cg);
    _mm_store_si128(reinterpret_cast<__m128i*>(carry[2]), cb);
  }
};

}  // namespace

void ConvertSse2(const Job& job) {
  SimdConvert<Sse2>(job);
}

}  // namespace quornet::pixconv

#endif
