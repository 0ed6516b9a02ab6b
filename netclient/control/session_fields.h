// The motion-detection fields of a client session that device control
// writes and the renderer reads: the stored motion-region record, the mask of
// regions in the last motion report and each region's last report tick.
//
// They live in the session (CClientSession::motion) under its motion lock:
// writers are the command exports and the event receiver thread, the reader
// is the display thread. These functions are the only access.
#pragma once

#include <cstdint>

#include "control/mctp.h"

namespace quornet {

class CClientSession;

struct MotionState {
  MotionRegionRecord record{};  // regions as last read, saved or reported
  uint32_t mask = 0;            // regions in alarm: reported and not yet expired
  uint32_t tick[16] = {};       // per region: tick (ms) of its last report
};

// Replaces the session's motion-region record (after a successful read or
// save of the device's regions).
void StoreMotionRegions(CClientSession& session, const MotionRegionRecord& record);

// Stores one motion report: for each region in `mask` its rectangle and
// `tick` (ms) as its last report time, then the mask itself.
void StoreMotionReport(CClientSession& session, uint32_t mask, const MotionRect (&rect)[16],
                       uint32_t tick);

// A copy of the session's motion fields (all zero before any was stored).
MotionState ReadMotionState(const CClientSession& session);

// Clears region `region`'s bit in the mask when its last report is still the
// one at `tick` (a newer report keeps it set).
void ClearMotionAlarmBit(CClientSession& session, int region, uint32_t tick);

}  // namespace quornet
