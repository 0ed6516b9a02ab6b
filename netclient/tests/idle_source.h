// A stream source that only idles: tests that need a started client (the
// exports, the sound thread) but no stream put it in through
// RegisterSourceFactory.
#pragma once

#include <cstdint>

#include "net/av_source.h"
#include "qrplat/thread.h"

namespace quornet::test {

class IdleSource : public CAVSource {
 public:
  ~IdleSource() override { Stop(); }
  bool Prepare() override { return true; }
  void Release() override {}
  int32_t Run() override {
    while (!StopRequested()) qrplat::SleepMs(5);
    return 0;
  }
  int32_t Stop() override {
    stop_.store(true);
    Wait();
    return 0;
  }
  int32_t SetSpeed(int32_t) override { return 1; }
};

}  // namespace quornet::test
