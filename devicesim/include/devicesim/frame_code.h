// Frame number coded into the simulator's pictures, so that a client can tell
// which generated frame a decoded picture is (loss, order, latency).
//
// Layout: a row of 32 square blocks at the top-left corner, block k covering
// x in [k*B, (k+1)*B) and y in [0, B). Block k is white (luma 235) when bit
// (31 - k) of the 32-bit frame number is set, black (luma 16) otherwise: the
// most significant bit comes first. The blocks carry neutral chroma, so a
// colour conversion keeps them grey. B is 16 for pictures at least 512 pixels
// wide, else 8 for at least 256, else 4 (minimum width 128, height B).
//
// Reading: sample the mean of the centre (B/2 x B/2) of each block and
// threshold at mid grey (128). Blocks this large and this contrasted survive
// H.264 and JPEG compression at any sensible quality.
//
// Header-only, no dependencies: client tests include it directly.
#ifndef DEVICESIM_FRAME_CODE_H_
#define DEVICESIM_FRAME_CODE_H_

#include <cstddef>
#include <cstdint>
#include <optional>

namespace devicesim::frame_code {

inline constexpr int kBits = 32;
inline constexpr uint8_t kBlack = 16;
inline constexpr uint8_t kWhite = 235;

// Block edge in pixels for a picture of this width; 0 when too small.
inline constexpr int BlockSize(int width) {
  if (width >= 512) return 16;
  if (width >= 256) return 8;
  if (width >= 128) return 4;
  return 0;
}

// Writes the blocks into an 8-bit luma plane.
inline void EncodeLuma(uint8_t* y, int stride, int width, int height, uint32_t frame) {
  const int b = BlockSize(width);
  if (b == 0 || height < b) return;
  for (int k = 0; k < kBits; ++k) {
    const uint8_t v = ((frame >> (kBits - 1 - k)) & 1u) ? kWhite : kBlack;
    for (int row = 0; row < b; ++row) {
      uint8_t* p = y + static_cast<ptrdiff_t>(row) * stride + k * b;
      for (int i = 0; i < b; ++i) p[i] = v;
    }
  }
}

namespace detail {
// Mean of the block centre through `sample(x, y)`, which returns luma 0..255.
template <typename Sample>
inline std::optional<uint32_t> Decode(int width, int height, Sample sample) {
  const int b = BlockSize(width);
  if (b == 0 || height < b) return std::nullopt;
  const int half = b / 2;
  const int from = b / 4;
  uint32_t frame = 0;
  for (int k = 0; k < kBits; ++k) {
    int sum = 0;
    for (int yy = from; yy < from + half; ++yy)
      for (int xx = from; xx < from + half; ++xx) sum += sample(k * b + xx, yy);
    const int mean = sum / (half * half);
    frame = (frame << 1) | (mean >= 128 ? 1u : 0u);
  }
  return frame;
}
}  // namespace detail

// Reads the frame number from an 8-bit luma plane (limited or full range).
inline std::optional<uint32_t> DecodeLuma(const uint8_t* y, int stride, int width, int height) {
  return detail::Decode(width, height, [&](int x, int yy) {
    return static_cast<int>(y[static_cast<ptrdiff_t>(yy) * stride + x]);
  });
}

// Reads the frame number from a 32-bit B,G,R,X picture (stride in bytes).
inline std::optional<uint32_t> DecodeBgrx(const uint8_t* px, int stride, int width, int height) {
  return detail::Decode(width, height, [&](int x, int yy) {
    const uint8_t* p = px + static_cast<ptrdiff_t>(yy) * stride + x * 4;
    return (p[0] + 2 * p[1] + p[2]) / 4;
  });
}

}  // namespace devicesim::frame_code

#endif  // DEVICESIM_FRAME_CODE_H_
