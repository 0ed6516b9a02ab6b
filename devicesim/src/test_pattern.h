// The simulator's picture, planar 4:2:0, 8 bits, limited range. Two scenes:
//   bars: 75 % colour bars and a box sweeping left and right; almost static.
//   busy: a detailed texture that zooms and pans, objects moving across it
//         and a light ripple travelling over it, so that nearly every
//         macroblock changes from picture to picture, as with a real camera.
// Both carry a seven-segment clock and frame counter and the frame number in
// the block code of devicesim/frame_code.h (in a grey band at the top).
#ifndef DEVICESIM_SRC_TEST_PATTERN_H_
#define DEVICESIM_SRC_TEST_PATTERN_H_

#include <cstdint>
#include <vector>

#include "devicesim/device.h"

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
  TestPattern(int width, int height, Scene scene = Scene::kBars);
  // `index` is the picture's position in its stream (drives the motion),
  // `frame` the number written into the block code, `clock_ms` the time of
  // day shown by the clock.
  void Draw(const Planes& out, uint64_t index, uint32_t frame, int64_t clock_ms) const;

 private:
  void FillRect(const Planes& out, int x, int y, int w, int h, uint8_t yv, uint8_t u,
                uint8_t v) const;
  void DrawDigits(const Planes& out, int x, int y, int digit_h, const char* text) const;
  void DrawBars(const Planes& out, uint64_t index) const;
  void DrawBusy(const Planes& out, uint64_t index) const;

  int w_;
  int h_;
  Scene scene_;
  int band_;  // rows of the grey band that holds the frame code
  // Bars: the background. Busy: the texture, kTexture x kTexture luma and
  // half that per chroma plane.
  std::vector<uint8_t> bg_y_, bg_u_, bg_v_;
};

}  // namespace devicesim

#endif  // DEVICESIM_SRC_TEST_PATTERN_H_
