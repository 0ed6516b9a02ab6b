#include "library_pending.h"

namespace quorvex::pending {

int32_t ClientStartRecord(uint32_t, const char*, int32_t) {
  return 0;
}
int32_t ClientStopRecord(uint32_t) {
  return 0;
}
int32_t ClientCapturePicture(uint32_t, const char*) {
  return 0;
}
int32_t ClientStartTalk(uint32_t) {
  return 0;
}
int32_t ClientStopTalk(uint32_t) {
  return 0;
}
uint32_t OpenFile(const char*, uint32_t, int32_t) {
  return 0;
}
int32_t CloseFile(uint32_t) {
  return 0;
}
uint32_t ReplayTotalTime(uint32_t) {
  return 0;
}
uint32_t ReplayCurTime(uint32_t) {
  return 0;
}
int32_t ReplaySeek(uint32_t, uint32_t) {
  return 0;
}
int32_t ReplayPause(uint32_t) {
  return 0;
}
int32_t ReplayContinue(uint32_t) {
  return 0;
}
int32_t SpeedFast(uint32_t) {
  return 0;
}
int32_t SpeedSlow(uint32_t) {
  return 0;
}
int32_t SpeedNormal(uint32_t) {
  return 0;
}

}  // namespace quorvex::pending
