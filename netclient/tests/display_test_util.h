// Shared pieces of the display tests: a simulated clock and a memory window
// that reads the frame number of every presented picture.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "devicesim/frame_code.h"
#include "media/media_clock.h"
#include "qrplat/memory_window.h"

namespace quornet::test {

// Time moves only when someone sleeps (or the test sets it). A sleep also
// yields for a real millisecond so that waiting threads do not spin.
class FakeClock final : public IClock {
 public:
  uint32_t NowMs() override { return now_.load(); }
  void SleepMs(uint32_t ms) override {
    now_.fetch_add(ms);
    slept_.fetch_add(ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Set(uint32_t now) { now_.store(now); }
  uint64_t Slept() const { return slept_.load(); }

 private:
  std::atomic<uint32_t> now_{100000};
  std::atomic<uint64_t> slept_{0};
};

// A memory window that decodes the frame number of each present (32-bit
// presents) and can hold presents at a gate.
class FrameWindow : public qrplat::MemoryWindowHost {
 public:
  using MemoryWindowHost::MemoryWindowHost;

  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               qrplat::PixelFormat format, const qrplat::Rect& source) override {
    {
      std::unique_lock<std::mutex> lock(gate_mutex_);
      in_present_ = true;
      gate_cv_.notify_all();
      gate_cv_.wait(lock, [this] { return gate_open_; });
      in_present_ = false;
    }
    MemoryWindowHost::Present(pixels, width, height, stride, format, source);
    if (format == qrplat::PixelFormat::Rgb32) {
      auto n = devicesim::frame_code::DecodeBgrx(pixels, stride, width, height);
      std::lock_guard<std::mutex> lock(frames_mutex_);
      frames_.push_back(n ? *n : 0xFFFFFFFFu);
    }
  }

  std::vector<uint32_t> Frames() {
    std::lock_guard<std::mutex> lock(frames_mutex_);
    return frames_;
  }
  void ClearFrames() {
    std::lock_guard<std::mutex> lock(frames_mutex_);
    frames_.clear();
  }
  void CloseGate() {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    gate_open_ = false;
  }
  void OpenGate() {
    std::lock_guard<std::mutex> lock(gate_mutex_);
    gate_open_ = true;
    gate_cv_.notify_all();
  }
  bool WaitInPresent(int timeout_ms) {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    return gate_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return in_present_; });
  }

 private:
  std::mutex frames_mutex_;
  std::vector<uint32_t> frames_;  // guarded by frames_mutex_
  std::mutex gate_mutex_;
  std::condition_variable gate_cv_;
  bool gate_open_ = true;    // guarded by gate_mutex_
  bool in_present_ = false;  // guarded by gate_mutex_
};

// Polls `pred` every 5 ms for up to timeout_ms.
template <class P>
bool WaitFor(P pred, int timeout_ms = 5000) {
  for (int waited = 0; waited < timeout_ms; waited += 5) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

}  // namespace quornet::test
