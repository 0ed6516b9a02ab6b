// Portable table-driven converters (the reference) and the choice of
// implementation.
#include "media/pixel_convert.h"

#include <cstdlib>

#include "media/pixel_convert_impl.h"

namespace quornet {
namespace pixconv {
namespace {

constexpr Tables BuildTables() {
  Tables t{};
  for (int i = 0; i < 256; ++i) {
    t.y[i] = kCoefY * (i - 16);
    t.rv[i] = kCoefRv * (i - 128);
    t.gu[i] = kCoefGu * (i - 128);
    t.gv[i] = kCoefGv * (i - 128);
    t.bu[i] = kCoefBu * (i - 128);
  }
  return t;
}

template <PixelLayout kLayout>
void PortableRow(const uint8_t* yp, const uint8_t* up, const uint8_t* vp, int width, uint8_t* d) {
  // Bits each channel of a 16-bit layout drops in packing, carried to the
  // next pixel of the row.
  int cr = 0, cg = 0, cb = 0;
  for (int x = 0; x < width; ++x) {
    int r, g, b;
    ChannelSums(yp[x], up[x >> 1], vp[x >> 1], &r, &g, &b);
    if constexpr (kLayout == PixelLayout::kRgb32 || kLayout == PixelLayout::kRgb24) {
      constexpr int kBytes = kLayout == PixelLayout::kRgb32 ? 4 : 3;
      uint8_t* p = d + x * kBytes;
      p[0] = static_cast<uint8_t>(Clamp255(b));
      p[1] = static_cast<uint8_t>(Clamp255(g));
      p[2] = static_cast<uint8_t>(Clamp255(r));
      if constexpr (kBytes == 4) p[3] = 255;
    } else {
      constexpr bool kGreen6 = kLayout == PixelLayout::kRgb565;
      r = Clamp255(r + cr);
      g = Clamp255(g + cg);
      b = Clamp255(b + cb);
      cr = r & 7;
      cg = g & (kGreen6 ? 3 : 7);
      cb = b & 7;
      const int word = kGreen6 ? ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)
                               : ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
      d[2 * x] = static_cast<uint8_t>(word);
      d[2 * x + 1] = static_cast<uint8_t>(word >> 8);
    }
  }
}

template <PixelLayout kLayout>
void PortableRows(const Job& j) {
  for (int row = 0; row < j.height; ++row) {
    const ptrdiff_t crow = row >> 1;
    PortableRow<kLayout>(j.y + row * j.y_stride, j.u + crow * j.uv_stride, j.v + crow * j.uv_stride,
                         j.width, j.dst + row * j.dst_step);
  }
}

}  // namespace

constexpr Tables kTables = BuildTables();

void ConvertPortable(const Job& job) {
  switch (job.layout) {
    case PixelLayout::kRgb32:
      return PortableRows<PixelLayout::kRgb32>(job);
    case PixelLayout::kRgb24:
      return PortableRows<PixelLayout::kRgb24>(job);
    case PixelLayout::kRgb565:
      return PortableRows<PixelLayout::kRgb565>(job);
    case PixelLayout::kRgb555:
      return PortableRows<PixelLayout::kRgb555>(job);
  }
}

}  // namespace pixconv

int BytesPerPixel(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::kRgb32:
      return 4;
    case PixelLayout::kRgb24:
      return 3;
    case PixelLayout::kRgb565:
    case PixelLayout::kRgb555:
      return 2;
  }
  return 0;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
constexpr bool kX86 = true;
#else
constexpr bool kX86 = false;
#endif

ConvertImpl DetectBest() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi")) {
      return ConvertImpl::kAvx512;
    }
    return ConvertImpl::kAvx2;
  }
  if (__builtin_cpu_supports("sse2")) return ConvertImpl::kSse2;
#endif
  return ConvertImpl::kPortable;
}

}  // namespace

ConvertImpl BestConvertImpl() {
  static const ConvertImpl best = DetectBest();
  return best;
}

bool ConvertImplAvailable(ConvertImpl impl) {
  switch (impl) {
    case ConvertImpl::kAuto:
    case ConvertImpl::kPortable:
      return true;
    case ConvertImpl::kSse2:
      return kX86 && BestConvertImpl() != ConvertImpl::kPortable;
    case ConvertImpl::kAvx2:
      return kX86 &&
             (BestConvertImpl() == ConvertImpl::kAvx2 || BestConvertImpl() == ConvertImpl::kAvx512);
    case ConvertImpl::kAvx512:
      return kX86 && BestConvertImpl() == ConvertImpl::kAvx512;
  }
  return false;
}

const char* ConvertImplName(ConvertImpl impl) {
  switch (impl) {
    case ConvertImpl::kAuto:
      return "auto";
    case ConvertImpl::kPortable:
      return "portable";
    case ConvertImpl::kSse2:
      return "sse2";
    case ConvertImpl::kAvx2:
      return "avx2";
    case ConvertImpl::kAvx512:
      return "avx512";
  }
  return "?";
}

bool ConvertYuv420(const YuvPlanes& src, uint8_t* dst, ptrdiff_t dst_pitch, PixelLayout layout,
                   bool flip, ConvertImpl impl) {
  const int bpp = BytesPerPixel(layout);
  if (bpp == 0 || !src.y || !src.u || !src.v || !dst || src.width <= 0 || src.height <= 0) {
    return false;
  }
  const ptrdiff_t width = src.width;
  if (std::abs(dst_pitch) < width * bpp || std::abs(src.y_stride) < width ||
      std::abs(src.uv_stride) < (width + 1) / 2) {
    return false;
  }
  if (!ConvertImplAvailable(impl)) return false;
  if (impl == ConvertImpl::kAuto) impl = BestConvertImpl();

  pixconv::Job job{src.y,     src.u,      src.v, src.y_stride, src.uv_stride,
                   src.width, src.height, dst,   dst_pitch,    layout};
  if (flip) {
    job.dst = dst + (src.height - 1) * dst_pitch;
    job.dst_step = -dst_pitch;
  }
  switch (impl) {
#if defined(__x86_64__) || defined(__i386__)
    case ConvertImpl::kAvx512:
      pixconv::ConvertAvx512(job);
      break;
    case ConvertImpl::kAvx2:
      pixconv::ConvertAvx2(job);
      break;
    case ConvertImpl::kSse2:
      pixconv::ConvertSse2(job);
      break;
#endif
    default:
      pixconv::ConvertPortable(job);
      break;
  }
  return true;
}

}  // namespace quornet
