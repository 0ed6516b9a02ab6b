#include "media/media_clock.h"

#include "qrplat/thread.h"

namespace quornet {
namespace {

class CRealClock final : public IClock {
 public:
  uint32_t NowMs() override { return qrplat::TickCount(); }
  void SleepMs(uint32_t ms) override { qrplat::SleepMs(ms); }
};

}  // namespace

IClock& RealClock() {
  static CRealClock* clock = new CRealClock;  // used by worker threads at exit
  return *clock;
}

}  // namespace quornet
