#include "control/session_fields.h"

#include <mutex>

#include "session/client_session.h"

namespace quornet {

void StoreMotionRegions(CClientSession& session, const MotionRegionRecord& record) {
  std::lock_guard<std::mutex> lock(session.motion_mutex);
  session.motion.record = record;
}

void StoreMotionReport(CClientSession& session, uint32_t mask, const MotionRect (&rect)[16],
                       uint32_t tick) {
  std::lock_guard<std::mutex> lock(session.motion_mutex);
  MotionState& state = session.motion;
  for (int i = 0; i < 16; ++i) {
    if (!(mask & (1u << i))) continue;
    state.record.rect[i] = rect[i];
    state.tick[i] = tick;
  }
  state.mask = mask;
}

MotionState ReadMotionState(const CClientSession& session) {
  std::lock_guard<std::mutex> lock(session.motion_mutex);
  return session.motion;
}

void ClearMotionAlarmBit(CClientSession& session, int region, uint32_t tick) {
  if (region < 0 || region >= 16) return;
  std::lock_guard<std::mutex> lock(session.motion_mutex);
  if (session.motion.tick[region] == tick) session.motion.mask &= ~(1u << region);
}

}  // namespace quornet
