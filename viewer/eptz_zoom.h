// CEptzZoom: the control's electronic-zoom worker. It sleeps on its event
// between commands; a zoom command steps the client's electronic zoom at
// `speed` steps per second (16 when 0 or negative) for at most 50 steps, until
// the command is cleared, the zoom reaches an end or the worker quits.
//
// The GUI thread writes the client handle, command and speed and signals;
// the worker reads them on its next step (atomics, no lock). The owner calls
// Quit() and the destructor joins.
#pragma once

#include <atomic>
#include <cstdint>

#include "qrplat/thread.h"

namespace quorvex {

class CEptzZoom : public qrplat::JThread {
 public:
  static constexpr int32_t kNone = 0;
  static constexpr int32_t kZoomIn = 100;
  static constexpr int32_t kZoomOut = 101;
  static constexpr int kMaxSteps = 50;

  CEptzZoom();
  ~CEptzZoom() override;  // Quit() and join

  // Sets what the next pass acts on and wakes the worker.
  void Command(uint32_t handle, int32_t command, int32_t speed);
  void Quit();
  // Zoom steps taken since start (tests).
  uint32_t Steps() const { return steps_.load(); }

 protected:
  int32_t Thread() override;

 private:
  qrplat::Event wake_{true, false};  // manual reset: a command is waiting
  qrplat::Event quit_event_{true, false};
  std::atomic<bool> quit_{false};
  std::atomic<uint32_t> handle_{0};
  std::atomic<int32_t> command_{kNone};
  std::atomic<int32_t> speed_{0};
  std::atomic<uint32_t> steps_{0};
};

}  // namespace quorvex
