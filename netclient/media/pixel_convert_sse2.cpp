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

// B, G, R, 0 of 8 pixels in two registers.
[[gnu::always_inline]] inline void Bgr0(const Rgb8& c, __m128i* p0, __m128i* p1) {
  const __m128i br = _mm_packus_epi16(c.b, c.r);
  const __m128i g0 = _mm_packus_epi16(c.g, _mm_setzero_si128());
  const __m128i bg = _mm_unpacklo_epi8(br, g0);
  const __m128i r0 = _mm_unpackhi_epi8(br, g0);
  *p0 = _mm_unpacklo_epi16(bg, r0);
  *p1 = _mm_unpackhi_epi16(bg, r0);
}

inline __m128i Bytes(uint64_t lo, uint64_t hi) {
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// 4 pixels B, G, R, 0 to 12 bytes B, G, R (bytes 12..15 zero).
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

[[gnu::always_inline]] inline void StoreValue(__m128i x, int16_t* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_min_epi16(_mm_max_epi16(x, _mm_set1_epi16(kCarryMin)), _mm_set1_epi16(255)));
}

[[gnu::always_inline]] inline void StoreValues(const Rgb8& c, int16_t* const out[3], int i) {
  StoreValue(c.r, out[0] + i);
  StoreValue(c.g, out[1] + i);
  StoreValue(c.b, out[2] + i);
}

// clamp(value + carry, 0, 255) of 8 pixels of one channel.
[[gnu::always_inline]] inline __m128i Carried(const int16_t* values, const uint8_t* carries) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i val = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
  const __m128i car = _mm_srli_epi16(
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(carries)), zero), 3);
  return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(val, car), zero), _mm_set1_epi16(255));
}

template <bool kGreen6>
[[gnu::always_inline]] inline void Pack8(const int16_t* const values[3],
                                         const uint8_t* const carries[3], int i, uint8_t* d) {
  const __m128i r = Carried(values[0] + i, carries[0] + i);
  const __m128i g = Carried(values[1] + i, carries[1] + i);
  const __m128i b = Carried(values[2] + i, carries[2] + i);
  const __m128i f8 = _mm_set1_epi16(0xF8);
  __m128i word;
  if constexpr (kGreen6) {
    word = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(r, f8), 8),
                                     _mm_slli_epi16(_mm_and_si128(g, _mm_set1_epi16(0xFC)), 3)),
                        _mm_srli_epi16(b, 3));
  } else {
    word = _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(r, f8), 7),
                                     _mm_slli_epi16(_mm_and_si128(g, f8), 2)),
                        _mm_srli_epi16(b, 3));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(d), word);
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

  template <bool kGreen6>
  static void Pack(const int16_t* const values[3], const uint8_t* const carries[3], uint8_t* d) {
    Pack8<kGreen6>(values, carries, 0, d);
    Pack8<kGreen6>(values, carries, 8, d + 16);
  }
};

}  // namespace

void ConvertSse2(const Job& job) {
  SimdConvert<Sse2>(job);
}

}  // namespace quornet::pixconv

#endif
