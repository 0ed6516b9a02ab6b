// YUV 4:2:0 to RGB converters: colour values worked out by hand from the
// 13-bit coefficients, the 16-bit error carry, flipping, argument checks, and
// byte-for-byte equality of every vectorised converter with the portable
// reference.
#include "media/pixel_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace quornet {
namespace {

constexpr PixelLayout kLayouts[] = {PixelLayout::kRgb32, PixelLayout::kRgb24, PixelLayout::kRgb565,
                                    PixelLayout::kRgb555};
constexpr ConvertImpl kSimdImpls[] = {ConvertImpl::kSse2, ConvertImpl::kAvx2, ConvertImpl::kAvx512};
constexpr uint8_t kCanary = 0xA5;

// A picture with its own buffers; strides may carry padding.
struct Picture {
  int width = 0, height = 0;
  int y_stride = 0, uv_stride = 0;
  std::vector<uint8_t> y, u, v;

  Picture(int w, int h, int y_pad = 0, int uv_pad = 0)
      : width(w), height(h), y_stride(w + y_pad), uv_stride((w + 1) / 2 + uv_pad) {
    y.assign(static_cast<size_t>(y_stride) * h, 0);
    u.assign(static_cast<size_t>(uv_stride) * ((h + 1) / 2), 0);
    v.assign(u.size(), 0);
  }
  void Fill(uint8_t yv, uint8_t uv, uint8_t vv) {
    std::fill(y.begin(), y.end(), yv);
    std::fill(u.begin(), u.end(), uv);
    std::fill(v.begin(), v.end(), vv);
  }
  void Randomize(std::mt19937& rng) {
    for (auto* plane : {&y, &u, &v}) {
      for (uint8_t& b : *plane) b = static_cast<uint8_t>(rng());
    }
  }
  YuvPlanes Planes() const {
    return {y.data(), u.data(), v.data(), y_stride, uv_stride, width, height};
  }
};

// Destination with canary bytes in the row padding and around the buffer.
struct Surface {
  static constexpr size_t kGuard = 64;
  ptrdiff_t pitch;
  int rows;
  std::vector<uint8_t> mem;
  Surface(ptrdiff_t pitch, int rows)
      : pitch(pitch), rows(rows), mem(2 * kGuard + pitch * rows, kCanary) {}
  uint8_t* Data() { return mem.data() + kGuard; }
  const uint8_t* Pixel(int x, int row, int bpp) const {
    return mem.data() + kGuard + row * pitch + x * bpp;
  }
  uint16_t Word(int x, int row) const {
    const uint8_t* p = Pixel(x, row, 2);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
};

Surface Convert(const Picture& pic, PixelLayout layout, bool flip, ConvertImpl impl, int pad = 0) {
  Surface s(pic.width * BytesPerPixel(layout) + pad, pic.height);
  EXPECT_TRUE(ConvertYuv420(pic.Planes(), s.Data(), s.pitch, layout, flip, impl));
  return s;
}

struct Bgr {
  int b, g, r;
};

// Channels of every pixel of a 16-bit surface, widened back to 8 bits.
Bgr Unpack16(uint16_t w, PixelLayout layout) {
  if (layout == PixelLayout::kRgb565) {
    return {(w & 0x1F) << 3, ((w >> 5) & 0x3F) << 2, (w >> 11) << 3};
  }
  return {(w & 0x1F) << 3, ((w >> 5) & 0x1F) << 3, ((w >> 10) & 0x1F) << 3};
}

TEST(PixelConvert, Bt601ColoursMatchHandComputedValues) {
  // Channel = (9535 (y-16) + chroma terms) >> 13, clamped. Studio black and
  // white, the primaries as limited-range encoders produce them, and y = 255
  // with v = 255, whose red sum (3939263) must saturate, not wrap.
  struct Case {
    uint8_t y, u, v;
    Bgr want;
  } cases[] = {
      {16, 128, 128, {0, 0, 0}},        {235, 128, 128, {254, 254, 254}},
      {81, 90, 240, {0, 0, 254}},       {145, 54, 34, {0, 255, 0}},
      {41, 240, 110, {255, 0, 0}},      {255, 128, 255, {255, 174, 255}},
      {128, 128, 128, {130, 130, 130}}, {0, 128, 128, {0, 0, 0}},
  };
  for (ConvertImpl impl :
       {ConvertImpl::kPortable, ConvertImpl::kSse2, ConvertImpl::kAvx2, ConvertImpl::kAvx512}) {
    if (!ConvertImplAvailable(impl)) continue;
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << ConvertImplName(impl) << " y=" << int(c.y)
                                      << " u=" << int(c.u) << " v=" << int(c.v));
      Picture pic(35, 3);  // two vector blocks and a scalar tail
      pic.Fill(c.y, c.u, c.v);
      for (PixelLayout layout : {PixelLayout::kRgb32, PixelLayout::kRgb24}) {
        const int bpp = BytesPerPixel(layout);
        const Surface s = Convert(pic, layout, false, impl);
        for (int row = 0; row < pic.height; ++row) {
          for (int x = 0; x < pic.width; ++x) {
            const uint8_t* p = s.Pixel(x, row, bpp);
            ASSERT_EQ(p[0], c.want.b);
            ASSERT_EQ(p[1], c.want.g);
            ASSERT_EQ(p[2], c.want.r);
            if (bpp == 4) {
              ASSERT_EQ(p[3], 255);
            }
          }
        }
      }
    }
  }
}

TEST(PixelConvert, SixteenBitBlackAndWhiteAreExact) {
  // White (254) carries 6 into the next pixel, which then saturates: every
  // word stays all ones, and black stays all zeros.
  for (PixelLayout layout : {PixelLayout::kRgb565, PixelLayout::kRgb555}) {
    const uint16_t white = layout == PixelLayout::kRgb565 ? 0xFFFF : 0x7FFF;
    Picture pic(40, 2);
    pic.Fill(235, 128, 128);
    Surface s = Convert(pic, layout, false, ConvertImpl::kAuto);
    for (int x = 0; x < pic.width; ++x) ASSERT_EQ(s.Word(x, 1), white) << x;
    pic.Fill(16, 128, 128);
    s = Convert(pic, layout, false, ConvertImpl::kAuto);
    for (int x = 0; x < pic.width; ++x) ASSERT_EQ(s.Word(x, 0), 0) << x;
  }
}

TEST(PixelConvert, SixteenBitCarryKeepsRowAveragesAndRestartsEachRow) {
  // Grey 130 (binary 10000010) cannot be shown in 5 or 6 bits. Carrying the
  // dropped bits makes the shown values alternate so that their mean is 130
  // in every channel; each row starts again with no carry.
  for (ConvertImpl impl :
       {ConvertImpl::kPortable, ConvertImpl::kSse2, ConvertImpl::kAvx2, ConvertImpl::kAvx512}) {
    if (!ConvertImplAvailable(impl)) continue;
    for (PixelLayout layout : {PixelLayout::kRgb565, PixelLayout::kRgb555}) {
      SCOPED_TRACE(testing::Message() << ConvertImplName(impl) << " layout=" << int(layout));
      Picture pic(64, 3);
      pic.Fill(128, 128, 128);
      const Surface s = Convert(pic, layout, false, impl);
      for (int row = 0; row < pic.height; ++row) {
        int sum[3] = {0, 0, 0};
        for (int x = 0; x < pic.width; ++x) {
          const Bgr c = Unpack16(s.Word(x, row), layout);
          sum[0] += c.b;
          sum[1] += c.g;
          sum[2] += c.r;
        }
        for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(sum[ch], 130 * pic.width) << "channel " << ch;
        // First pixel: 130 truncated, no carry from the row above.
        const Bgr first = Unpack16(s.Word(0, row), layout);
        EXPECT_EQ(first.r, 128);
        EXPECT_EQ(first.b, 128);
        EXPECT_EQ(first.g, 128);
      }
      // The 5-5-5 sequence of red: 130, 132, 134, 136 shown as 16, 16, 16, 17.
      if (layout == PixelLayout::kRgb555) {
        const int want[] = {16, 16, 16, 17, 16, 16, 16, 17};
        for (int x = 0; x < 8; ++x) EXPECT_EQ(s.Word(x, 0) >> 10, want[x]) << x;
      }
    }
  }
}

TEST(PixelConvert, FlipWritesTopSourceRowToBottomRow) {
  Picture pic(20, 5);
  pic.Fill(16, 128, 128);
  std::fill(pic.y.begin(), pic.y.begin() + pic.width, 235);  // white top row
  for (ConvertImpl impl :
       {ConvertImpl::kPortable, ConvertImpl::kSse2, ConvertImpl::kAvx2, ConvertImpl::kAvx512}) {
    if (!ConvertImplAvailable(impl)) continue;
    for (PixelLayout layout : kLayouts) {
      const int bpp = BytesPerPixel(layout);
      const Surface plain = Convert(pic, layout, false, impl);
      const Surface flipped = Convert(pic, layout, true, impl);
      for (int row = 0; row < pic.height; ++row) {
        const bool white_plain = plain.Pixel(5, row, bpp)[0] != 0;
        const bool white_flipped = flipped.Pixel(5, row, bpp)[0] != 0;
        EXPECT_EQ(white_plain, row == 0) << ConvertImplName(impl) << " row " << row;
        EXPECT_EQ(white_flipped, row == pic.height - 1) << ConvertImplName(impl) << " row " << row;
        EXPECT_EQ(0, memcmp(plain.Pixel(0, row, bpp), flipped.Pixel(0, pic.height - 1 - row, bpp),
                            pic.width * bpp));
      }
    }
  }
}

TEST(PixelConvert, RejectsBadArgumentsWithoutWriting) {
  Picture pic(16, 4);
  Surface s(16 * 4, 4);
  const YuvPlanes good = pic.Planes();
  YuvPlanes p = good;
  p.u = nullptr;
  EXPECT_FALSE(ConvertYuv420(p, s.Data(), s.pitch, PixelLayout::kRgb32, false));
  p = good;
  p.height = 0;
  EXPECT_FALSE(ConvertYuv420(p, s.Data(), s.pitch, PixelLayout::kRgb32, false));
  p = good;
  p.y_stride = 15;
  EXPECT_FALSE(ConvertYuv420(p, s.Data(), s.pitch, PixelLayout::kRgb32, false));
  p = good;
  p.uv_stride = 7;
  EXPECT_FALSE(ConvertYuv420(p, s.Data(), s.pitch, PixelLayout::kRgb32, false));
  EXPECT_FALSE(ConvertYuv420(good, nullptr, s.pitch, PixelLayout::kRgb32, false));
  EXPECT_FALSE(ConvertYuv420(good, s.Data(), 63, PixelLayout::kRgb32, false));
  EXPECT_FALSE(ConvertYuv420(good, s.Data(), s.pitch, static_cast<PixelLayout>(1), false));
  for (uint8_t b : s.mem) ASSERT_EQ(b, kCanary);
  // A negative destination pitch is a bottom-up surface, not an error.
  EXPECT_TRUE(ConvertYuv420(good, s.Data() + 3 * s.pitch, -s.pitch, PixelLayout::kRgb32, false));
  EXPECT_EQ(BytesPerPixel(static_cast<PixelLayout>(0)), 0);
}

TEST(PixelConvert, NegativeSourceStridesEqualFlip) {
  std::mt19937 rng(7);
  Picture pic(37, 6, 3, 1);
  pic.Randomize(rng);
  YuvPlanes up = pic.Planes();
  up.y += (pic.height - 1) * pic.y_stride;
  up.u += ((pic.height - 1) / 2) * pic.uv_stride;
  up.v += ((pic.height - 1) / 2) * pic.uv_stride;
  up.y_stride = -up.y_stride;
  up.uv_stride = -up.uv_stride;
  for (PixelLayout layout : kLayouts) {
    const Surface flipped = Convert(pic, layout, true, ConvertImpl::kPortable);
    Surface s(flipped.pitch, pic.height);
    ASSERT_TRUE(ConvertYuv420(up, s.Data(), s.pitch, layout, false, ConvertImpl::kAuto));
    // Row pairs of a 6-row picture read upwards share the same chroma rows.
    EXPECT_EQ(s.mem, flipped.mem);
  }
}

// Converts with impl and with the portable reference into padded surfaces
// and requires identical bytes, padding and guards included.
void ExpectSameAsReference(const Picture& pic, PixelLayout layout, bool flip, ConvertImpl impl,
                           int pad) {
  const Surface ref = Convert(pic, layout, flip, ConvertImpl::kPortable, pad);
  const Surface got = Convert(pic, layout, flip, impl, pad);
  if (ref.mem == got.mem) return;
  size_t i = 0;
  while (ref.mem[i] == got.mem[i]) ++i;
  const ptrdiff_t off = static_cast<ptrdiff_t>(i) - static_cast<ptrdiff_t>(Surface::kGuard);
  ADD_FAILURE() << ConvertImplName(impl) << " layout=" << int(layout) << " " << pic.width << "x"
                << pic.height << " flip=" << flip << " pad=" << pad << ": first difference at row "
                << off / ref.pitch << " byte " << off % ref.pitch << " (" << int(ref.mem[i])
                << " vs " << int(got.mem[i]) << ")";
}

TEST(PixelConvert, SimdMatchesReferenceOnSmallRandomPictures) {
  std::mt19937 rng(12345);
  for (ConvertImpl impl : kSimdImpls) {
    if (!ConvertImplAvailable(impl)) continue;
    for (int w = 1; w <= 67; ++w) {
      for (int h = 1; h <= 5; ++h) {
        Picture pic(w, h, static_cast<int>(rng() % 5), static_cast<int>(rng() % 3));
        pic.Randomize(rng);
        for (PixelLayout layout : kLayouts) {
          for (bool flip : {false, true}) {
            ExpectSameAsReference(pic, layout, flip, impl, static_cast<int>(rng() % 7));
          }
        }
        if (HasFailure()) return;
      }
    }
  }
}

TEST(PixelConvert, SimdMatchesReferenceOnFullHdAndSkewedContent) {
  std::mt19937 rng(99);
  Picture random(1920, 1080, 0, 0);
  random.Randomize(rng);
  // Video-like content: smooth ramps near black and white where the 16-bit
  // carries run into the clamps, across several stretches of a wide row.
  Picture ramps(1283, 35, 5, 3);
  for (int row = 0; row < ramps.height; ++row) {
    for (int x = 0; x < ramps.width; ++x) {
      ramps.y[row * ramps.y_stride + x] = static_cast<uint8_t>(row % 2 ? 8 + x % 20 : 226 + x % 30);
    }
  }
  for (size_t i = 0; i < ramps.u.size(); ++i) {
    ramps.u[i] = static_cast<uint8_t>(118 + i % 21);
    ramps.v[i] = static_cast<uint8_t>(rng() % 2 ? 16 + i % 9 : 230 + i % 26);
  }
  for (ConvertImpl impl : kSimdImpls) {
    if (!ConvertImplAvailable(impl)) continue;
    for (PixelLayout layout : kLayouts) {
      for (bool flip : {false, true}) {
        ExpectSameAsReference(random, layout, flip, impl, flip ? 12 : 0);
        ExpectSameAsReference(ramps, layout, flip, impl, 2);
      }
    }
  }
}

TEST(PixelConvert, SimdMatchesReferenceForEveryYuvTriple) {
  // 64 pictures of 512 x 512: u runs along the chroma columns, v down the
  // chroma rows, and each 2 x 2 block holds four consecutive y values, so
  // together they cover all 2^24 (y, u, v).
  Picture pic(512, 512);
  for (int row = 0; row < 256; ++row) {
    for (int c = 0; c < 256; ++c) {
      pic.u[row * pic.uv_stride + c] = static_cast<uint8_t>(c);
      pic.v[row * pic.uv_stride + c] = static_cast<uint8_t>(row);
    }
  }
  for (int y0 = 0; y0 < 256; y0 += 4) {
    for (int row = 0; row < 512; ++row) {
      for (int x = 0; x < 512; ++x) {
        pic.y[row * pic.y_stride + x] = static_cast<uint8_t>(y0 + (row % 2) * 2 + x % 2);
      }
    }
    for (ConvertImpl impl : kSimdImpls) {
      if (!ConvertImplAvailable(impl)) continue;
      for (PixelLayout layout : kLayouts) ExpectSameAsReference(pic, layout, false, impl, 0);
    }
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace quornet
