// The process-level and client-lifecycle exports of quornet.h.
//
// Every export turns its handle into a session through the handle table (the
// lookup keeps the session alive until the export returns) and never lets an
// exception out.
#include <cstdarg>

#include "api/export_guard.h"
#include "api/handle_table.h"
#include "api/process_state.h"
#include "net/quorsock.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;
using quornet::WithSession;

namespace {

uint32_t StartLive(const QRNET_ClientParam* param, bool trans, int32_t server_channel,
                   int32_t server_flag) {
  if (param == nullptr) return 0;
  try {
    auto session = std::make_shared<CClientSession>();
    session->InitLive(*param);
    if (trans) {
      session->channel_server_channel.store(server_channel);
      session->channel_server_flag.store(server_flag);
    }
    return CClientSession::Launch(session);
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_Startup(uint32_t slot1, uint32_t slot2,
                                QRNET_StatusCallback status_callback, uint32_t slot4) {
  quornet::InitProcessFacts();
  quornet::StoreStartupSlots(slot1, slot2, status_callback, slot4);
  (void)quornet::CodecLock();
  quornet::CQuorsock::InitSSL();
  return 1;
}

QRNET_API void QRNET_Cleanup(void) {
  try {
    quornet::CQuorsock::CloseSSL();
    quornet::CloseLogStream();
    quornet::RunCleanupHooks();
  } catch (...) {
  }
}

QRNET_API int32_t QRNET_SetWaitTime(int32_t connect_timeout_s, int32_t reconnect_attempts,
                                    int32_t reconnect_pause_s) {
  quornet::SetWaitTimes(connect_timeout_s, reconnect_attempts, reconnect_pause_s);
  return 1;
}

QRNET_API int32_t QRNET_Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int32_t n = quornet::LogStreamWrite(format, args);
  va_end(args);
  return n;
}

QRNET_API uint32_t QRNET_ClientStart(const QRNET_ClientParam* param) {
  return StartLive(param, false, 0, 0);
}

QRNET_API uint32_t QRNET_ClientStart_Trans(const QRNET_ClientParam* param, int32_t server_channel,
                                           int32_t server_flag) {
  return StartLive(param, true, server_channel, server_flag);
}

QRNET_API int32_t QRNET_ClientStop(uint32_t handle) {
  try {
    return CClientSession::StopClient(handle) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

QRNET_API int32_t QRNET_GetClientState(uint32_t handle) {
  return WithSession(handle, int32_t{QRNET_INVALID_STATE},
                     [](CClientSession& s) { return s.link_state.load(); });
}

QRNET_API int32_t QRNET_GetClientParam(uint32_t handle, QRNET_ClientOutput* out) {
  if (out == nullptr) return 0;
  return WithSession(handle, int32_t{0}, [out](CClientSession& s) {
    QRNET_ClientOutput o{};
    o.width = static_cast<uint16_t>(s.width.load());
    o.height = static_cast<uint16_t>(s.height.load());
    o.frame_rate = static_cast<uint16_t>(s.frame_rate.load());
    o.video_payload = static_cast<uint8_t>(s.video_payload.load());
    o.audio_codec = static_cast<uint8_t>(s.audio_codec.load());
    o.bit_rate = s.bit_rate_value.load();
    *out = o;
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_ClientStartView(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    s.view_flag.store(1);
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_ClientStopView(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    s.view_flag.store(0);
    // The display thread finishes the picture it is drawing and then sees the
    // flag. A stopped session draws nothing more.
    while (s.drawing.load() != 0 && !s.stopping()) qrplat::SleepMs(10);
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_GetLiveViewPerformance(uint32_t handle, int32_t automatic) {
  return WithSession(handle, int32_t{-1}, [automatic](CClientSession& s) {
    if (automatic == 0) return s.live_view_performance.load();
    if (s.frame_rate.load() == 0) return int32_t{-1};
    return quornet::AutoLiveViewPerformance(s.bit_rate_value.load());
  });
}

QRNET_API int32_t QRNET_ClientPlayAudio(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    s.audio_enabled.store(1);
    return int32_t{1};
  });
}

QRNET_API int32_t QRNET_ClientStopAudio(uint32_t handle) {
  return WithSession(handle, int32_t{0}, [](CClientSession& s) {
    s.audio_enabled.store(0);
    // Reset would clear the stop flag of a conduit that a concurrent stop has
    // just stopped.
    if (!s.stopping() && s.audio_conduit() != nullptr) s.audio_conduit()->Reset();
    return int32_t{1};
  });
}

QRNET_API void QRNET_SetAVCallback(void*) {}
QRNET_API void QRNET_SetDecodeCallBack(void*) {}
QRNET_API void QRNET_SetDrawCallback(void*) {}
QRNET_API void QRNET_SetRGBDataCallback(void*) {}
QRNET_API void QRNET_SetCaptureCallBack(void*) {}

QRNET_API void* QRNET_SetClipCallback(void* callback) {
  return quornet::SetClipCallbackSlot(callback);
}

QRNET_API int32_t QRNET_ClientShowcallback(uint32_t, int32_t, int32_t) {
  return 1;
}

QRNET_API int32_t QRNET_ClientReplayStartClip(uint32_t, int32_t, int32_t, int32_t, int32_t,
                                              int32_t) {
  return 0;
}
QRNET_API int32_t QRNET_ClientNVRReplayStartClip(uint32_t, int32_t, int32_t, int32_t, int32_t,
                                                 int32_t, int32_t, int32_t, int32_t) {
  return 0;
}
QRNET_API void QRNET_ClientReplayStopClip(uint32_t) {}
QRNET_API void QRNET_ClientReplayPauseClip(uint32_t) {}
QRNET_API void QRNET_ClientReplayContinueClip(uint32_t, int32_t, int32_t, int32_t) {}
QRNET_API int32_t CreateImage(int32_t, int32_t, int32_t, int32_t) {
  return 0;
}
QRNET_API int32_t CreateRGBImage(int32_t, int32_t, int32_t) {
  return 0;
}
QRNET_API int32_t LoadImage2(int32_t, int32_t) {
  return 0;
}
QRNET_API void Draw(int32_t, int32_t) {}
QRNET_API void DrawImage(int32_t, int32_t, int32_t) {}
QRNET_API void DrawRGBImage(int32_t) {}
QRNET_API void ReleaseImage(int32_t) {}

}  // extern "C"
