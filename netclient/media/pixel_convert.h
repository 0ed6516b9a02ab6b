// YUV 4:2:0 to RGB converters for the renderer's video surface.
//
// BT.601 limited range (y 16..235, u and v 16..240 around 128), 13-bit fixed
// point, results truncated towards minus infinity and clamped to 0..255. The
// 16-bit layouts carry the bits each channel loses in packing to the next
// pixel of the same row (error diffusion along rows); the carries start at 0
// on every row.
//
// Every implementation (portable table-driven, SSE2, AVX2, AVX-512) writes
// exactly the same bytes; the portable one is the reference. Thread-safe:
// converters keep no state besides constant tables.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornet {

// Destination pixel layouts, little-endian in memory. The values are the
// renderer's surface pixel types.
enum class PixelLayout : int {
  kRgb32 = 2,   // bytes B, G, R, 255 (opaque, as 32-bit RGB images expect)
  kRgb24 = 3,   // bytes B, G, R
  kRgb565 = 4,  // 16-bit word R:5 G:6 B:5 (red in the top bits)
  kRgb555 = 5,  // 16-bit word 0:1 R:5 G:5 B:5
};

// 4, 3, 2 or 2; 0 for a value outside the enum.
int BytesPerPixel(PixelLayout layout);

enum class ConvertImpl {
  kAuto,      // the fastest one the processor runs
  kPortable,  // table-driven reference
  kSse2,
  kAvx2,
  kAvx512,  // AVX-512 BW, VL and VBMI instructions on 256-bit registers
};

// Whether this build and processor can run impl (kAuto and kPortable always).
// Every implementation above kPortable implies the ones before it.
bool ConvertImplAvailable(ConvertImpl impl);
// What kAuto resolves to on this processor; decided once per process.
ConvertImpl BestConvertImpl();
// "auto", "portable", "sse2", "avx2", "avx512".
const char* ConvertImplName(ConvertImpl impl);

// One YUV 4:2:0 picture. Chroma sample (x / 2, row / 2) belongs to pixel
// (x, row), so for odd sizes the chroma planes hold (width + 1) / 2 samples
// by (height + 1) / 2 rows, as decoders lay them out. Strides are in bytes and
// may be negative.
struct YuvPlanes {
  const uint8_t* y = nullptr;
  const uint8_t* u = nullptr;
  const uint8_t* v = nullptr;
  ptrdiff_t y_stride = 0;
  ptrdiff_t uv_stride = 0;
  int width = 0;
  int height = 0;
};

// Converts the whole picture into dst, whose rows are dst_pitch bytes apart
// (row 0 at dst). With flip, source row 0 goes to the last destination row
// and the picture is written bottom-up. Only width x height pixels are
// written; padding between rows is left as it was.
//
// Returns false, writing nothing, for null planes, a non-positive size, an
// unknown layout, |dst_pitch| smaller than a row of pixels, source strides
// smaller than their rows, or a forced impl that is not available.
bool ConvertYuv420(const YuvPlanes& src, uint8_t* dst, ptrdiff_t dst_pitch, PixelLayout layout,
                   bool flip, ConvertImpl impl = ConvertImpl::kAuto);

}  // namespace quornet
