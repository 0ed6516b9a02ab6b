// SSE2 converters, bit-identical to the portable tables.
//
// Each channel sum is formed exactly in 32 bits with pmaddwd: pairs
// (y - 16, chroma - 128) times pairs of 13-bit coefficients, plus for green
// the second chroma term, computed once per chroma sample for both rows.
// Shifting by 13 and packing with signed then unsigned saturation gives the
// same clamp to 0..255 as the tables.
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

inline __m128i Shift2Pack(__m128i lo, __m128i hi) {
  return _mm_packs_epi32(_mm_srai_epi32(lo, kShift), _mm_srai_epi32(hi, kShift));
}

// Chroma of 8 pixels: each sample duplicated for its two pixels, minus 128,
// and the green term of v as 32-bit values for pixels 0..3 and 4..7.
struct Chroma8 {
  __m128i u, v, gv_lo, gv_hi;
};

struct Chroma16 {
  Chroma8 half[2];
};

inline Chroma16 LoadChroma(const uint8_t* up, const uint8_t* vp) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i c128 = _mm_set1_epi16(128);
  const __m128i gv_coef = Pair(-kCoefGv, 0);
  const __m128i u = _mm_sub_epi16(
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(up)), zero), c128);
  const __m128i v = _mm_sub_epi16(
      _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(vp)), zero), c128);
  Chroma16 c;
  c.half[0].u = _mm_unpacklo_epi16(u, u);
  c.half[1].u = _mm_unpackhi_epi16(u, u);
  c.half[0].v = _mm_unpacklo_epi16(v, v);
  c.half[1].v = _mm_unpackhi_epi16(v, v);
  for (Chroma8& h : c.half) {
    h.gv_lo = _mm_madd_epi16(_mm_unpacklo_epi16(h.v, zero), gv_coef);
    h.gv_hi = _mm_madd_epi16(_mm_unpackhi_epi16(h.v, zero), gv_coef);
  }
  return c;
}

// Channel values (sum >> 13, not clamped) of 8 pixels as 16-bit lanes.
inline void Channels(__m128i y, const Chroma8& c, __m128i* r, __m128i* g, __m128i* b) {
  const __m128i ry = Pair(kCoefY, kCoefRv);
  const __m128i gy = Pair(kCoefY, -kCoefGu);
  const __m128i by = Pair(kCoefY, kCoefBu);
  const __m128i yv_lo = _mm_unpacklo_epi16(y, c.v);
  const __m128i yv_hi = _mm_unpackhi_epi16(y, c.v);
  const __m128i yu_lo = _mm_unpacklo_epi16(y, c.u);
  const __m128i yu_hi = _mm_unpackhi_epi16(y, c.u);
  *r = Shift2Pack(_mm_madd_epi16(yv_lo, ry), _mm_madd_epi16(yv_hi, ry));
  *b = Shift2Pack(_mm_madd_epi16(yu_lo, by), _mm_madd_epi16(yu_hi, by));
  *g = Shift2Pack(_mm_add_epi32(_mm_madd_epi16(yu_lo, gy), c.gv_lo),
                  _mm_add_epi32(_mm_madd_epi16(yu_hi, gy), c.gv_hi));
}

// y - 16 of pixels 0..7 and 8..15.
inline void LoadY(const uint8_t* yp, __m128i* lo, __m128i* hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i c16 = _mm_set1_epi16(16);
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yp));
  *lo = _mm_sub_epi16(_mm_unpacklo_epi8(y, zero), c16);
  *hi = _mm_sub_epi16(_mm_unpackhi_epi8(y, zero), c16);
}

// B, G, R, 0 of 8 pixels in two registers.
inline void Bgr0(__m128i r, __m128i g, __m128i b, __m128i* p0, __m128i* p1) {
  const __m128i br = _mm_packus_epi16(b, r);
  const __m128i g0 = _mm_packus_epi16(g, _mm_setzero_si128());
  const __m128i bg = _mm_unpacklo_epi8(br, g0);
  const __m128i r0 = _mm_unpackhi_epi8(br, g0);
  *p0 = _mm_unpacklo_epi16(bg, r0);
  *p1 = _mm_unpackhi_epi16(bg, r0);
}

inline __m128i Bytes(uint64_t lo, uint64_t hi) {
  return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

// 4 pixels B, G, R, 0 to 12 bytes B, G, R (bytes 12..15 zero).
inline __m128i Drop0(__m128i p) {
  const __m128i px0 = Bytes(0xFFFFFF, 0xFFFFFF);
  const __m128i px1 = Bytes(0xFFFFFF000000, 0xFFFFFF000000);
  const __m128i q = _mm_or_si128(_mm_and_si128(p, px0), _mm_and_si128(_mm_srli_epi64(p, 8), px1));
  const __m128i lo6 = Bytes(0xFFFFFFFFFFFF, 0);
  const __m128i mid6 = Bytes(0xFFFF000000000000ull, 0xFFFFFFFF);
  return _mm_or_si128(_mm_and_si128(q, lo6), _mm_and_si128(_mm_srli_si128(q, 2), mid6));
}

struct Sse2 {
  template <PixelLayout kLayout>
  static void Rgb(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                  uint8_t* const d[2]) {
    const Chroma16 c = LoadChroma(u, v);
    for (int row = 0; row < rows; ++row) {
      __m128i yh[2];
      LoadY(y[row], &yh[0], &yh[1]);
      for (int h = 0; h < 2; ++h) {
        __m128i r, g, b, p0, p1;
        Channels(yh[h], c.half[h], &r, &g, &b);
        Bgr0(r, g, b, &p0, &p1);
        if constexpr (kLayout == PixelLayout::kRgb32) {
          __m128i* out = reinterpret_cast<__m128i*>(d[row] + 32 * h);
          _mm_storeu_si128(out, p0);
          _mm_storeu_si128(out + 1, p1);
        } else {
          uint8_t* out = d[row] + 24 * h;
          const __m128i z0 = Drop0(p0);
          const __m128i z1 = Drop0(p1);
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                           _mm_or_si128(z0, _mm_slli_si128(z1, 12)));
          _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm_srli_si128(z1, 4));
        }
      }
    }
  }

  static void Values(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                     int16_t* const out[2][3]) {
    const Chroma16 c = LoadChroma(u, v);
    const __m128i lo = _mm_set1_epi16(kCarryMin);
    const __m128i hi = _mm_set1_epi16(255);
    for (int row = 0; row < rows; ++row) {
      __m128i yh[2];
      LoadY(y[row], &yh[0], &yh[1]);
      for (int h = 0; h < 2; ++h) {
        __m128i ch[3];
        Channels(yh[h], c.half[h], &ch[0], &ch[1], &ch[2]);
        for (int k = 0; k < 3; ++k) {
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out[row][k] + 8 * h),
                           _mm_min_epi16(_mm_max_epi16(ch[k], lo), hi));
        }
      }
    }
  }

  template <bool kGreen6>
  static void Pack(const int16_t* const values[3], const uint8_t* const carries[3], uint8_t* d) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i max = _mm_set1_epi16(255);
    for (int h = 0; h < 2; ++h) {
      __m128i s[3];
      for (int k = 0; k < 3; ++k) {
        const __m128i val = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values[k] + 8 * h));
        const __m128i car = _mm_srli_epi16(
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(carries[k] + 8 * h)),
                              zero),
            3);
        s[k] = _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(val, car), zero), max);
      }
      __m128i word;
      if constexpr (kGreen6) {
        word =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(s[0], _mm_set1_epi16(0xF8)), 8),
                                      _mm_slli_epi16(_mm_and_si128(s[1], _mm_set1_epi16(0xFC)), 3)),
                         _mm_srli_epi16(s[2], 3));
      } else {
        word =
            _mm_or_si128(_mm_or_si128(_mm_slli_epi16(_mm_and_si128(s[0], _mm_set1_epi16(0xF8)), 7),
                                      _mm_slli_epi16(_mm_and_si128(s[1], _mm_set1_epi16(0xF8)), 2)),
                         _mm_srli_epi16(s[2], 3));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16 * h), word);
    }
  }
};

}  // namespace

void ConvertSse2(const Job& job) {
  SimdConvert<Sse2>(job);
}

}  // namespace quornet::pixconv

#endif
