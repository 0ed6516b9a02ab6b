// Seams of the display pipeline towards components wired in by their own
// parts of the library:
// - the "REC" and "ALARM" marks of the on-screen display ask whether the
//   session's source is recording and whether its alarm output is on;
// - the snapshot writer takes the decoded picture when a capture is pending;
// - the playback control (pause, single step, seek, replay speed) runs after
//   every shown frame of a local file or an NVR replay.
//
// Each is a process-wide slot installed at static-initialisation time or by
// tests; a slot may be swapped at any time (calls already running finish with
// the previous one). Without one installed: no marks, no snapshots, and the
// playback step only paces frames at the session's replay speed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "media/pixel_convert.h"
#include "session/conduit.h"

namespace quornet {

class CAVDisplay;
class CClientSession;

// Called on the display thread and on callers of QRNET_ClientRefreshWnd;
// must be quick and must not take the renderer lock.
using SessionFlagProbe = std::function<bool(const CClientSession& session)>;
SessionFlagProbe RegisterRecordingProbe(SessionFlagProbe probe);
SessionFlagProbe RegisterAlarmOutProbe(SessionFlagProbe probe);
bool SessionIsRecording(const CClientSession& session);
bool SessionAlarmOutOn(const CClientSession& session);

// Called on the display thread after a picture was decoded and drawn while
// display.CapturePending() is set. The writer clears the request with
// display.SetCapturePending(false) (under display.capture_mutex() if it keeps
// more request state there). The planes are valid only during the call.
using SnapshotWriter = std::function<void(CAVDisplay& display, const YuvPlanes& picture)>;
SnapshotWriter RegisterSnapshotWriter(SnapshotWriter writer);
// Runs the installed writer; false when none is installed.
bool RunSnapshotWriter(CAVDisplay& display, const YuvPlanes& picture);

// Called on the display thread after every frame of a local file or a replay
// (shown or dropped undecoded by the high-speed skipping is not included),
// after the session's current time was updated from the frame's timestamp.
// It owns the pacing of those modes: the default runs
// display.RunPacer(session speed exponent). It must return promptly once
// display.StopRequested() is true.
using PlaybackControl = std::function<void(CAVDisplay& display, const FrameHeader& frame)>;
// FrameHeader::word1 of the first frame a file reader queues after a seek
// (other frames carry 0).
constexpr uint32_t kFirstAfterSeek = 1;
PlaybackControl RegisterPlaybackControl(PlaybackControl control);
void RunPlaybackControl(CAVDisplay& display, const FrameHeader& frame);

}  // namespace quornet
