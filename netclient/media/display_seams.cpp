#include "media/display_seams.h"

#include <mutex>

#include "media/av_display.h"
#include "session/client_session.h"

namespace quornet {
namespace {

// Slots hold shared pointers so that a call copies a reference, not the
// function, on every frame.
template <class F>
class Slot {
 public:
  F Swap(F value) {
    auto next = value ? std::make_shared<const F>(std::move(value)) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<const F> old = std::move(fn_);
    fn_ = std::move(next);
    return old ? *old : F();
  }
  std::shared_ptr<const F> Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fn_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const F> fn_;  // guarded by mutex_
};

// Never destroyed: display threads may run during static destruction.
Slot<SessionFlagProbe>& RecordingSlot() {
  static auto* slot = new Slot<SessionFlagProbe>;
  return *slot;
}
Slot<SessionFlagProbe>& AlarmOutSlot() {
  static auto* slot = new Slot<SessionFlagProbe>;
  return *slot;
}
Slot<SnapshotWriter>& SnapshotSlot() {
  static auto* slot = new Slot<SnapshotWriter>;
  return *slot;
}
Slot<PlaybackControl>& PlaybackSlot() {
  static auto* slot = new Slot<PlaybackControl>;
  return *slot;
}

}  // namespace

SessionFlagProbe RegisterRecordingProbe(SessionFlagProbe probe) {
  return RecordingSlot().Swap(std::move(probe));
}
SessionFlagProbe RegisterAlarmOutProbe(SessionFlagProbe probe) {
  return AlarmOutSlot().Swap(std::move(probe));
}
bool SessionIsRecording(const CClientSession& session) {
  auto fn = RecordingSlot().Get();
  return fn && (*fn)(session);
}
bool SessionAlarmOutOn(const CClientSession& session) {
  auto fn = AlarmOutSlot().Get();
  return fn && (*fn)(session);
}

SnapshotWriter RegisterSnapshotWriter(SnapshotWriter writer) {
  return SnapshotSlot().Swap(std::move(writer));
}
bool RunSnapshotWriter(CAVDisplay& display, const YuvPlanes& picture) {
  auto fn = SnapshotSlot().Get();
  if (!fn) return false;
  (*fn)(display, picture);
  return true;
}

PlaybackControl RegisterPlaybackControl(PlaybackControl control) {
  return PlaybackSlot().Swap(std::move(control));
}
void RunPlaybackControl(CAVDisplay& display, const FrameHeader& frame) {
  auto fn = PlaybackSlot().Get();
  if (fn) {
    (*fn)(display, frame);
  } else {
    display.RunPacer(display.session().speed_exponent.load());
  }
}

}  // namespace quornet
