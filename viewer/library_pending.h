// Calls into library families that this build of libquornet does not export
// yet (local file playback). Each returns the
// library's failure value until the family is present, so the control's
// methods keep their dispatch identifiers and report failure.
#pragma once

#include <cstdint>

namespace quorvex::pending {

uint32_t OpenFile(const char* path, uint32_t window, int32_t start);
int32_t CloseFile(uint32_t handle);
uint32_t ReplayTotalTime(uint32_t handle);
uint32_t ReplayCurTime(uint32_t handle);
int32_t ReplaySeek(uint32_t handle, uint32_t second);
int32_t ReplayPause(uint32_t handle);
int32_t ReplayContinue(uint32_t handle);
int32_t SpeedFast(uint32_t handle);
int32_t SpeedSlow(uint32_t handle);
int32_t SpeedNormal(uint32_t handle);

}  // namespace quorvex::pending
