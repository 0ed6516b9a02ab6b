// The frame pacer: spaces shown frames at the stream's frame rate, scaled by a
// replay speed of 2 to the power of a speed exponent.
//
// The pacer counts frames from a start time and sleeps until the count's
// due time, so a late frame is followed by shorter waits instead of drift.
// It restarts itself every 200 frames and whenever the speed changes, so an
// error in the frame rate cannot accumulate.
//
// The record lives in the client session (display thread only; the fields
// are atomics there because tests and exports may read them).
#pragma once

#include <cstdint>

namespace quornet {

class CClientSession;

struct PacerRecord {
  int32_t fps = 0;          // frames per second; 0 disables pacing
  uint32_t start_ms = 0;    // tick of the start time
  int32_t frames = 0;       // frames shown since start_ms
  int32_t last_speed = -1;  // speed exponent of the last call
};

constexpr int32_t kPacerRestartFrames = 200;

// Accounts one shown frame at tick `now` with speed exponent `speed` and
// returns the milliseconds to sleep before showing it (<= 0: show now).
// A frame with a new speed exponent restarts the schedule at `now` and is
// shown at once; frame n after it is due n frame intervals later.
// Speed exponents outside -4..4 are taken as the nearest end.
int32_t PacerDelay(PacerRecord& pacer, int32_t speed, uint32_t now);
// Live view: the frame was taken from the stream at `fetched` and is ready
// (decoded) at `now`. It is scheduled by `fetched`, so that the time spent
// decoding one picture (the decoder's first, a large key picture) does not
// shift the schedule of every later frame; the time already spent counts
// towards the wait. An early frame waits only when more frames are queued
// behind it (a burst to spread out); alone, it shows that the schedule
// started late (its first frame came late), and the schedule restarts at it
// instead of holding every later frame by as much. Returns the milliseconds
// still to sleep.
int32_t PacerLiveDelay(PacerRecord& pacer, uint32_t fetched, uint32_t now, bool queued_behind);
// After the frame: restarts the count at `now` once it reached 200. Live view
// passes the frame's arrival time (before the sleep), so that the new
// schedule starts where the stream is and not one sleep later.
void PacerAfterFrame(PacerRecord& pacer, uint32_t now);
// Count 0, start = now (the speed is kept).
void PacerRestart(PacerRecord& pacer, uint32_t now);

PacerRecord LoadPacer(const CClientSession& session);
void StorePacer(CClientSession& session, const PacerRecord& pacer);

}  // namespace quornet
