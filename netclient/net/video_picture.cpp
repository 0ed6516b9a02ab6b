#include "net/video_picture.h"

#include <algorithm>

namespace quornet {
namespace {

// Type of the first slice unit (1 to 5) in front of which no SPS was found,
// 7 when an SPS comes first, 0 when neither shows up within the scan limit.
// *unit: where that unit's header byte is.
int FirstSpsOrSlice(const uint8_t* p, size_t size, size_t* unit = nullptr) {
  if (p == nullptr) return 0;
  const size_t limit = std::min(size, kH264KeyScanLimit);
  size_t i = 0;
  while (i + 3 < limit) {
    if (p[i + 2] > 1) {
      i += 3;  // no start code can end at i + 2 or begin before i + 3
    } else if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      const int type = p[i + 3] & 0x1F;
      if (type == 7 || (type >= 1 && type <= 5)) {
        if (unit != nullptr) *unit = i + 3;
        return type;
      }
      i += 4;
    } else {
      ++i;
    }
  }
  return 0;
}

// The H.265 counterpart: 33 when an SPS comes first, else the type of the
// first slice segment (0 to 31), -1 when neither shows up.
int H265FirstSpsOrSlice(const uint8_t* p, size_t size, size_t* unit = nullptr) {
  if (p == nullptr) return -1;
  const size_t limit = std::min(size, kH264KeyScanLimit);
  size_t i = 0;
  while (i + 4 < limit) {
    if (p[i + 2] > 1) {
      i += 3;
    } else if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
      const int type = (p[i + 3] >> 1) & 0x3F;
      if (type == 33 || type < 32) {
        if (unit != nullptr) *unit = i + 3;
        return type;
      }
      i += 4;
    } else {
      ++i;
    }
  }
  return -1;
}

// A unit beginning at start runs to the next start code, at most 4096 bytes.
size_t UnitEnd(const uint8_t* picture, size_t size, size_t start) {
  const size_t stop = std::min(size, start + 4096);
  size_t end = start + 1;
  while (end + 2 < stop && !(picture[end] == 0 && picture[end + 1] == 0 && picture[end + 2] <= 1))
    ++end;
  if (end + 2 >= stop) end = stop;
  return end;
}

}  // namespace

bool H264PictureHasSps(const uint8_t* picture, size_t size, const uint8_t** sps, size_t* sps_size) {
  size_t start = 0;
  if (FirstSpsOrSlice(picture, size, &start) != 7) return false;
  // The unit runs to the next start code (an SPS is a few dozen bytes).
  const size_t end = UnitEnd(picture, size, start);
  if (sps != nullptr) *sps = picture + start;
  if (sps_size != nullptr) *sps_size = end - start;
  return true;
}

bool H264PictureIsKey(const uint8_t* picture, size_t size) {
  const int type = FirstSpsOrSlice(picture, size);
  return type == 7 || type == 5;
}

bool H265PictureHasSps(const uint8_t* picture, size_t size, const uint8_t** sps, size_t* sps_size) {
  size_t start = 0;
  if (H265FirstSpsOrSlice(picture, size, &start) != 33) return false;
  const size_t end = UnitEnd(picture, size, start);
  if (sps != nullptr) *sps = picture + start;
  if (sps_size != nullptr) *sps_size = end - start;
  return true;
}

bool H265PictureIsKey(const uint8_t* picture, size_t size) {
  const int type = H265FirstSpsOrSlice(picture, size);
  return type == 33 || (type >= 16 && type <= 23);
}

bool VideoPictureHasSps(int code, const uint8_t* picture, size_t size, const uint8_t** sps,
                        size_t* sps_size) {
  if (code == kVideoCodeH264) return H264PictureHasSps(picture, size, sps, sps_size);
  if (code == kVideoCodeH265) return H265PictureHasSps(picture, size, sps, sps_size);
  return false;
}

bool VideoPictureIsKey(int code, const uint8_t* picture, size_t size) {
  if (code == kVideoCodeH264) return H264PictureIsKey(picture, size);
  if (code == kVideoCodeH265) return H265PictureIsKey(picture, size);
  return true;
}

}  // namespace quornet
