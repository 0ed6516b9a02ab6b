// The motion-detection fields of a client session that device control
// writes and the renderer reads: the stored motion-region record, the mask of
// regions in the last motion report and each region's last report tick.
//
// They are kept beside the session, keyed by the session object and its
// handle, and guarded by one lock: writers are the command exports and the
// event receiver thread, the reader is the display thread. The session calls
// ForgetMotionState when it is destroyed.
#pragma once

#include <cstdint>

#include "control/mctp.h"

namespace quornet {

class CClientSession;

// Replaces the session's motion-region record (after a successful read or
// save of the device's regions).
void StoreMotionRegions(CClientSession& session, const MotionRegionRecord& record);

// Stores one motion report: for each region in `mask` its rectangle and
// `tick` (ms) as its last report time, then the mask itself.
void StoreMotionReport(CClientSession& session, uint32_t mask, const MotionRect (&rect)[16],
                       uint32_t tick);

struct MotionState {
  MotionRegionRecord record{};  // regions as last read, saved or reported
  uint32_t mask = 0;            // regions of the last motion report
  uint32_t tick[16] = {};       // per region: tick (ms) of its last report
};

// A copy of the session's motion fields (all zero before any was stored).
MotionState ReadMotionState(const CClientSession& session);
void ForgetMotionState(const CClientSession& session);

}  // namespace quornet
