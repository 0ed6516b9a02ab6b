#include "library_pending.h"

namespace quorvex::pending {

// clang-format off
uint32_t OpenFile(const char*, uint32_t, int32_t) { return 0; }
int32_t CloseFile(uint32_t) { return 0; }
uint32_t ReplayTotalTime(uint32_t) { return 0; }
uint32_t ReplayCurTime(uint32_t) { return 0; }
int32_t ReplaySeek(uint32_t, uint32_t) { return 0; }
int32_t ReplayPause(uint32_t) { return 0; }
int32_t ReplayContinue(uint32_t) { return 0; }
int32_t SpeedFast(uint32_t) { return 0; }
int32_t SpeedSlow(uint32_t) { return 0; }
int32_t SpeedNormal(uint32_t) { return 0; }
// clang-format on

}  // namespace quorvex::pending
