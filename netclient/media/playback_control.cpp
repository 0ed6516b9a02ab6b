// The playback control step of the display thread for local files and NVR
// replays, run after every frame: pause (the current picture is redrawn every
// 100 ms), a seek while paused (exactly one picture from the new position is
// shown, then the pause goes on), single step (one picture per step
// request), and the frame pacer at the session's speed exponent. Installed
// into the display's playback seam at static initialisation.
#include "media/av_display.h"
#include "media/display_seams.h"
#include "session/client_session.h"

namespace quornet {
namespace {

constexpr uint32_t kRedrawMs = 100;
// A seek while paused waits this many redraw periods for the reader.
constexpr int kSeekWaitSteps = 10;

void PlaybackStep(CAVDisplay& display, const FrameHeader& frame) {
  CClientSession& s = display.session();
  // The first picture after a seek is the one a seek while paused shows,
  // whether the display waited in the pause below or was idle (at the end
  // of the file) when the seek came.
  if (frame.word1 == kFirstAfterSeek) s.seek_while_paused.store(0);
  bool waited = false;
  while (s.play_state.load() == 1 && !display.StopRequested()) {
    waited = true;
    if (s.seek_while_paused.exchange(0) != 0) {
      // Let the reader move first, so that the next frame fetched is the
      // first one from the new position.
      for (int i = 0; i < kSeekWaitSteps && s.seek_flag.load() != 0 && !display.StopRequested();
           ++i) {
        display.Sleep(kRedrawMs);
      }
      break;
    }
    display.ServePendingSnapshot();
    display.RedrawCurrent();
    display.Sleep(kRedrawMs);
  }
  while (s.play_state.load() == 2 && !display.StopRequested()) {
    waited = true;
    display.ServePendingSnapshot();
    display.RedrawCurrent();
    if (s.step_request.exchange(0) != 0) break;
    display.Sleep(kRedrawMs);
  }
  if (waited) display.RestartPacer();
  display.RunPacer(s.speed_exponent.load());
}

const bool g_installed = [] {
  RegisterPlaybackControl(PlaybackStep);
  return true;
}();

}  // namespace
}  // namespace quornet
