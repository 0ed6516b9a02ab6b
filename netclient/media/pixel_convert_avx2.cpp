// AVX2 converters, bit-identical to the portable tables. Same arithmetic as
// the SSE2 file (exact 32-bit sums by pmaddwd, shift by 13, saturating packs)
// on 16 pixels per register. The in-lane unpacks split pixels as 0-3|8-11
// and 4-7|12-15; the in-lane packs put them back in order.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "media/pixel_convert_rows.h"

namespace quornet::pixconv {
namespace {

inline __m256i Pair(int lo, int hi) {
  return _mm256_set1_epi32(static_cast<int>(
      static_cast<uint16_t>(lo) | (static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16)));
}

inline __m256i Shift2Pack(__m256i lo, __m256i hi) {
  return _mm256_packs_epi32(_mm256_srai_epi32(lo, kShift), _mm256_srai_epi32(hi, kShift));
}

// Chroma of 16 pixels: each sample duplicated for its two pixels, minus 128,
// and the green term of v as 32-bit values in the unpack order.
struct Chroma {
  __m256i u, v, gv_lo, gv_hi;
};

inline __m256i LoadChromaRow(const uint8_t* p) {
  const __m128i s = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  return _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(s, s)), _mm256_set1_epi16(128));
}

inline Chroma LoadChroma(const uint8_t* up, const uint8_t* vp) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i gv_coef = Pair(-kCoefGv, 0);
  Chroma c;
  c.u = LoadChromaRow(up);
  c.v = LoadChromaRow(vp);
  c.gv_lo = _mm256_madd_epi16(_mm256_unpacklo_epi16(c.v, zero), gv_coef);
  c.gv_hi = _mm256_madd_epi16(_mm256_unpackhi_epi16(c.v, zero), gv_coef);
  return c;
}

inline __m256i LoadY(const uint8_t* yp) {
  const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yp));
  return _mm256_sub_epi16(_mm256_cvtepu8_epi16(y), _mm256_set1_epi16(16));
}

// Channel values (sum >> 13, not clamped) of 16 pixels as 16-bit lanes.
inline void Channels(__m256i y, const Chroma& c, __m256i* r, __m256i* g, __m256i* b) {
  const __m256i ry = Pair(kCoefY, kCoefRv);
  const __m256i gy = Pair(kCoefY, -kCoefGu);
  const __m256i by = Pair(kCoefY, kCoefBu);
  const __m256i yv_lo = _mm256_unpacklo_epi16(y, c.v);
  const __m256i yv_hi = _mm256_unpackhi_epi16(y, c.v);
  const __m256i yu_lo = _mm256_unpacklo_epi16(y, c.u);
  const __m256i yu_hi = _mm256_unpackhi_epi16(y, c.u);
  *r = Shift2Pack(_mm256_madd_epi16(yv_lo, ry), _mm256_madd_epi16(yv_hi, ry));
  *b = Shift2Pack(_mm256_madd_epi16(yu_lo, by), _mm256_madd_epi16(yu_hi, by));
  *g = Shift2Pack(_mm256_add_epi32(_mm256_madd_epi16(yu_lo, gy), c.gv_lo),
                  _mm256_add_epi32(_mm256_madd_epi16(yu_hi, gy), c.gv_hi));
}

// B, G, R, 0 of pixels 0..7 in p0 and 8..15 in p1.
inline void Bgr0(__m256i r, __m256i g, __m256i b, __m256i* p0, __m256i* p1) {
  const __m256i br = _mm256_packus_epi16(b, r);
  const __m256i g0 = _mm256_packus_epi16(g, _mm256_setzero_si256());
  const __m256i bg = _mm256_unpacklo_epi8(br, g0);
  const __m256i r0 = _mm256_unpackhi_epi8(br, g0);
  const __m256i a = _mm256_unpacklo_epi16(bg, r0);  // pixels 0-3 | 8-11
  const __m256i c = _mm256_unpackhi_epi16(bg, r0);  // pixels 4-7 | 12-15
  *p0 = _mm256_permute2x128_si256(a, c, 0x20);
  *p1 = _mm256_permute2x128_si256(a, c, 0x31);
}

// 8 pixels B, G, R, 0 to 24 bytes B, G, R at the bottom (the rest zero).
inline __m256i Drop0(__m256i p) {
  const __m256i in_lane = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(p, in_lane), join);
}

struct Avx2 {
  template <PixelLayout kLayout>
  static void Rgb(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                  uint8_t* const d[2]) {
    const Chroma c = LoadChroma(u, v);
    for (int row = 0; row < rows; ++row) {
      __m256i r, g, b, p0, p1;
      Channels(LoadY(y[row]), c, &r, &g, &b);
      Bgr0(r, g, b, &p0, &p1);
      if constexpr (kLayout == PixelLayout::kRgb32) {
        __m256i* out = reinterpret_cast<__m256i*>(d[row]);
        _mm256_storeu_si256(out, p0);
        _mm256_storeu_si256(out + 1, p1);
      } else {
        // 48 bytes: the first store's 8 spare bytes are overwritten by the
        // second half, which stays inside the block.
        uint8_t* out = d[row];
        const __m256i z1 = Drop0(p1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), Drop0(p0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), _mm256_castsi256_si128(z1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 40), _mm256_extracti128_si256(z1, 1));
      }
    }
  }

  static void Values(const uint8_t* const y[2], int rows, const uint8_t* u, const uint8_t* v,
                     int16_t* const out[2][3]) {
    const Chroma c = LoadChroma(u, v);
    const __m256i lo = _mm256_set1_epi16(kCarryMin);
    const __m256i hi = _mm256_set1_epi16(255);
    for (int row = 0; row < rows; ++row) {
      __m256i ch[3];
      Channels(LoadY(y[row]), c, &ch[0], &ch[1], &ch[2]);
      for (int k = 0; k < 3; ++k) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[row][k]),
                            _mm256_min_epi16(_mm256_max_epi16(ch[k], lo), hi));
      }
    }
  }

  template <bool kGreen6>
  static void Pack(const int16_t* const values[3], const uint8_t* const carries[3], uint8_t* d) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i max = _mm256_set1_epi16(255);
    __m256i s[3];
    for (int k = 0; k < 3; ++k) {
      const __m256i val = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values[k]));
      const __m256i car = _mm256_srli_epi16(
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(carries[k]))), 3);
      s[k] = _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(val, car), zero), max);
    }
    __m256i word;
    if constexpr (kGreen6) {
      word = _mm256_or_si256(
          _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(s[0], _mm256_set1_epi16(0xF8)), 8),
                          _mm256_slli_epi16(_mm256_and_si256(s[1], _mm256_set1_epi16(0xFC)), 3)),
          _mm256_srli_epi16(s[2], 3));
    } else {
      word = _mm256_or_si256(
          _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(s[0], _mm256_set1_epi16(0xF8)), 7),
                          _mm256_slli_epi16(_mm256_and_si256(s[1], _mm256_set1_epi16(0xF8)), 2)),
          _mm256_srli_epi16(s[2], 3));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), word);
  }
};

}  // namespace

void ConvertAvx2(const Job& job) {
  SimdConvert<Avx2>(job);
}

}  // namespace quornet::pixconv

#endif
