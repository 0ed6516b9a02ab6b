// The simulator's picture: 75 % colour bars, a box sweeping left and right,
// a seven-segment clock and frame counter, and the frame number in the block
// code of devicesim/frame_code.h. Planar 4:2:0, 8 bits, limited range.
#ifndef DEVICESIM_SRC_TEST_PATTERN_H_
#define DEVICESIM_SRC_TEST_PATTERN_H_

#include <cstdint>
#include <vector>

namespace devicesim {

struct Planes {
  uint8_t* y;
  uint8_t* u;
  uint8_t* v;
  int stride_y;
  int stride_u;
  int stride_v;
};

class TestPattern {
 public:
  // Width and height must be even.
  TestPattern(int width, int height);
  // `index` is the picture's position in its stream (drives the motion),
  // `frame` the number written into the block code, `clock_ms` the time of
  // day shown by the clock.
  void Draw(const Planes& out, uint64_t index, uint32_t frame, int64_t clock_ms) const;

 private:
  void FillRect(const Planes& out, int x, int y, int w, int h, uint8_t yv, uint8_t u,
                uint8_t v) const;
  void DrawDigits(const Planes& out, int x, int y, int digit_h, const char* text) const;

  int w_;
  int h_;
  std::vector<uint8_t> bg_y_, bg_u_, bg_v_;
};

}  // namespace devicesim

#endif  // DEVICESIM_SRC_TEST_PATTERN_H_
