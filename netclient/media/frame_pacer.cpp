#include "media/frame_pacer.h"

#include <algorithm>
#include <cmath>

#include "session/client_session.h"

namespace quornet {

int32_t PacerDelay(PacerRecord& pacer, int32_t speed, uint32_t now) {
  if (pacer.fps <= 0) return 0;
  if (speed != pacer.last_speed) {
    // The frame that changes the speed starts the new schedule and is shown
    // at once: counting it as frame 1 would hold it (and, through the
    // schedule, every later frame) one frame interval for nothing.
    pacer.last_speed = speed;
    pacer.frames = 0;
    pacer.start_ms = now;
    return 0;
  }
  pacer.frames += 1;
  const int32_t s = std::clamp(speed, -4, 4);
  const double due = std::ldexp(pacer.frames * 1000.0 / pacer.fps, -s);
  const double elapsed = static_cast<double>(static_cast<uint32_t>(now - pacer.start_ms));
  // Truncated towards zero like the integer conversion of the original rule;
  // bounded so that a wrapped tick cannot overflow the result.
  const double delay = std::clamp(due - elapsed, -1.0e9, 1.0e9);
  return static_cast<int32_t>(delay);
}

int32_t PacerLiveDelay(PacerRecord& pacer, uint32_t fetched, uint32_t now, bool queued_behind) {
  const int32_t due = PacerDelay(pacer, 0, fetched);
  if (due > 0 && !queued_behind) {
    PacerRestart(pacer, fetched);
    return 0;
  }
  const int64_t spent = static_cast<int32_t>(now - fetched);
  return static_cast<int32_t>(std::clamp<int64_t>(int64_t{due} - spent, -1000000000, 1000000000));
}

void PacerAfterFrame(PacerRecord& pacer, uint32_t now) {
  if (pacer.frames >= kPacerRestartFrames) PacerRestart(pacer, now);
}

void PacerRestart(PacerRecord& pacer, uint32_t now) {
  pacer.frames = 0;
  pacer.start_ms = now;
}

PacerRecord LoadPacer(const CClientSession& session) {
  PacerRecord p;
  p.fps = session.pacer_fps.load();
  p.start_ms = session.pacer_start_ms.load();
  p.frames = session.pacer_frames.load();
  p.last_speed = session.pacer_last_speed.load();
  return p;
}

void StorePacer(CClientSession& session, const PacerRecord& pacer) {
  session.pacer_fps.store(pacer.fps);
  session.pacer_start_ms.store(pacer.start_ms);
  session.pacer_frames.store(pacer.frames);
  session.pacer_last_speed.store(pacer.last_speed);
}

}  // namespace quornet
