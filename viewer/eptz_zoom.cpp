#include "eptz_zoom.h"

#include "quornet.h"

namespace quorvex {

CEptzZoom::CEptzZoom() = default;

CEptzZoom::~CEptzZoom() {
  Quit();
  Wait();
}

void CEptzZoom::Command(uint32_t handle, int32_t command, int32_t speed) {
  handle_ = handle;
  speed_ = speed;
  command_ = command;
  wake_.Set();
}

void CEptzZoom::Quit() {
  quit_ = true;
  quit_event_.Set();
  wake_.Set();
}

int32_t CEptzZoom::Thread() {
  while (!quit_) {
    wake_.Wait(qrplat::kInfinite);
    // Reset before the pass, not after: a command given while the pass runs
    // is then either seen by the pass or wakes the next one, never lost.
    wake_.Reset();
    const int32_t speed = speed_ > 0 ? speed_.load() : 16;
    for (int i = 0; i < kMaxSteps; ++i) {
      const int32_t command = command_;
      if (command == kNone || quit_) break;
      const int32_t level = QRNET_EptzZoom(handle_, command == kZoomIn ? 1 : -1);
      ++steps_;
      if (level == 0 || level == 38) break;
      // Interruptible pause: quitting must not wait for a slow zoom.
      if (quit_event_.Wait(uint32_t(1000 / speed))) break;
    }
  }
  return int32_t(0xDEAD);
}

}  // namespace quorvex
