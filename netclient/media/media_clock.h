// Time for the display pipeline: a millisecond tick and a sleep, behind an
// interface so that pacing, buffering and on-screen-display expiry can be
// driven by a simulated clock in tests.
#pragma once

#include <cstdint>

namespace quornet {

class IClock {
 public:
  virtual ~IClock() = default;
  // Monotonic milliseconds; wraps like qrplat::TickCount (compare with
  // unsigned subtraction).
  virtual uint32_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// qrplat::TickCount and qrplat::SleepMs. One process-wide instance, never
// destroyed; thread-safe.
IClock& RealClock();

}  // namespace quornet
