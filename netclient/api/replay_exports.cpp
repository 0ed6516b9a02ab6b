// Exports of local file playback and of the replay controls that local files
// and NVR replays share: open and close, pause and continue, seek, position,
// single step and replay speed. The controls are session fields that the
// reader and display threads poll; none of these calls waits for them.
#include <algorithm>
#include <cstring>
#include <memory>

#include "api/export_guard.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;
using quornet::WithSession;

namespace {

constexpr int32_t kSlowest = -4;
constexpr int32_t kFastest = 4;

template <class F>
int32_t Control(uint32_t handle, F&& body) {
  return WithSession(handle, int32_t{0}, [&](CClientSession& s) {
    body(s);
    return int32_t{1};
  });
}

}  // namespace

extern "C" {

QRNET_API uint32_t QRNET_OpenFile(const char* path, uint32_t window, int32_t start_position) {
  if (path == nullptr || path[0] == 0) return 0;
  if (strnlen(path, quornet::kFilePathSize) >= quornet::kFilePathSize) return 0;
  return quornet::Guarded(uint32_t{0}, [&] {
    auto session = std::make_shared<CClientSession>();
    session->InitLocalFile(path, window, start_position);
    return CClientSession::Launch(session);
  });
}

QRNET_API int32_t QRNET_CloseFile(uint32_t handle) {
  return quornet::Guarded(int32_t{0}, [&] { return CClientSession::StopClient(handle) ? 1 : 0; });
}

QRNET_API int32_t QRNET_ReplayPause(uint32_t handle) {
  return Control(handle, [](CClientSession& s) { s.play_state.store(1); });
}

QRNET_API int32_t QRNET_ReplayContinue(uint32_t handle) {
  return Control(handle, [](CClientSession& s) { s.play_state.store(0); });
}

QRNET_API int32_t QRNET_ReplaySeek(uint32_t handle, int32_t seconds) {
  return WithSession(handle, int32_t{0}, [&](CClientSession& s) {
    const int32_t total = s.total_time.load();
    if (total == 0) return int32_t{0};
    const int32_t target = std::clamp(seconds, 0, total);
    s.seek_target.store(target);
    s.current_time.store(target);
    // The flag goes up before the paused display is told, so that the
    // display waits for the reader instead of showing a frame from before.
    s.seek_flag.store(1);
    if (s.play_state.load() == 1) s.seek_while_paused.store(1);
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_ReplayCurTime(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    return std::min(s.current_time.load(), s.total_time.load());
  });
}

QRNET_API int32_t QRNET_ReplayTotalTime(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) { return s.total_time.load(); });
}

QRNET_API int32_t QRNET_ReplayStepByStep(uint32_t handle, int32_t enable, int32_t next) {
  return Control(handle, [&](CClientSession& s) {
    if (enable != 0 && next == 0) {
      s.saved_play_state.store(s.play_state.load());
      s.play_state.store(2);
      s.step_request.store(1);
    } else if (enable != 0) {
      s.step_request.store(1);
    } else {
      s.play_state.store(s.saved_play_state.load());
    }
  });
}

QRNET_API int32_t QRNET_GetSpeed(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) { return s.speed_exponent.load(); });
}

QRNET_API int32_t QRNET_SpeedSlow(uint32_t handle) {
  const int32_t now = QRNET_GetSpeed(handle);
  if (now <= kSlowest) return 0;
  return QRNET_SetSpeed(handle, now - 1);
}

QRNET_API int32_t QRNET_SpeedFast(uint32_t handle) {
  const int32_t now = QRNET_GetSpeed(handle);
  if (now >= kFastest) return 0;
  return QRNET_SetSpeed(handle, now + 1);
}

QRNET_API int32_t QRNET_SpeedNormal(uint32_t handle) {
  return QRNET_SetSpeed(handle, 0);
}

QRNET_API int32_t QRNET_ClientNVRReplaySpeed(uint32_t handle, int32_t speed_exponent) {
  return QRNET_SetSpeed(handle, speed_exponent);
}

QRNET_API int32_t QRNET_ClientNVRReplayPause(uint32_t handle, int32_t pause) {
  return Control(handle, [&](CClientSession& s) { s.play_state.store(pause != 0 ? 1 : 0); });
}

QRNET_API int32_t QRNET_ClientNVRReplayStepByStep(uint32_t handle) {
  return Control(handle, [](CClientSession& s) {
    s.play_state.store(2);
    s.step_request.store(1);
  });
}

QRNET_API int32_t QRNET_ClientNVRUpdateReplayTime(uint32_t handle, const char* start_time) {
  return WithSession(handle, int32_t{0}, [&](CClientSession& s) {
    if (start_time == nullptr || strnlen(start_time, 19) > 18) return int32_t{-1};
    std::lock_guard<std::mutex> lock(s.text_mutex);
    quornet::CopyTextField(s.running_start_time, sizeof s.running_start_time, start_time);
    return int32_t{0};
  });
}

}  // extern "C"
