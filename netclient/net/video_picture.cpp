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

}  // namespace

bool H264PictureHasSps(const uint8_t* picture, size_t size, const uint8_t** sps, size_t* sps_size) {
  size_t start = 0;
  if (FirstSpsOrSlice(picture, size, &start) != 7) return false;
  // The unit runs to the next start code (an SPS is a few dozen bytes).
  const size_t stop = std::min(size, start + 4096);
  size_t end = start + 1;
  while (end + 2 < stop && !(picture[end] == 0 && picture[end + 1] == 0 && picture[end + 2] <= 1))
    ++end;
  if (end + 2 >= stop) end = stop;
  if (sps != nullptr) *sps = picture + start;
  if (sps_size != nullptr) *sps_size = end - start;
  return true;
}

bool H264PictureIsKey(const uint8_t* picture, size_t size) {
  const int type = FirstSpsOrSlice(picture, size);
  return type == 7 || type == 5;
}

}  // namespace quornet
