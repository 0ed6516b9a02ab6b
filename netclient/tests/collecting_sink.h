// A video frame sink for the depacketiser tests: keeps every picture handed
// over (bytes and frame type) and counts the other reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/video_depacketizer.h"

namespace quornet::test {

struct Picture {
  std::vector<uint8_t> data;
  int type;
};

class CollectingSink : public VideoFrameSink {
 public:
  void OnKeyFrameStart() override { ++key_starts; }
  void OnDataLost() override { ++losses; }
  void OnPictureTooLarge(size_t size) override { too_large.push_back(size); }
  void OnPicture(FrameBuffer* b, int type) override {
    pictures.push_back({std::vector<uint8_t>(b->picture(), b->picture() + b->size()), type});
  }
  std::vector<Picture> pictures;
  std::vector<size_t> too_large;
  int key_starts = 0;
  int losses = 0;
};

}  // namespace quornet::test
