// Exports of the RTSP streaming transport: NVR replay start and replay speed.
// (The measured bit rate, written by the TCP source, is read by
// QRNET_GetBitStreamInfo with the display exports.)
#include <cstring>
#include <memory>

#include "api/export_guard.h"
#include "api/process_state.h"
#include "net/av_source.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;

extern "C" {

QRNET_API uint32_t QRNET_ClientNVRReplay(const QRNET_ClientParam* param, const char* start_time,
                                         int32_t speed_exponent) {
  if (param == nullptr || start_time == nullptr) return 0;
  // The recorder's start-time text ("YYYYMMDDhhmmss" and its variants) fits
  // 18 characters; a longer text is refused rather than cut.
  if (strnlen(start_time, 19) > 18) return 0;
  try {
    auto session = std::make_shared<CClientSession>();
    session->InitLive(*param);
    session->replay_mode.store(1);
    session->speed_exponent.store(speed_exponent >= -4 && speed_exponent <= 4 ? speed_exponent : 0);
    {
      std::lock_guard<std::mutex> lock(session->text_mutex);
      quornet::CopyTextField(session->requested_start_time, sizeof session->requested_start_time,
                             start_time);
      quornet::CopyTextField(session->running_start_time, sizeof session->running_start_time,
                             start_time);
    }
    return CClientSession::Launch(session);
  } catch (...) {
    return 0;
  }
}

QRNET_API int32_t QRNET_SetSpeed(uint32_t handle, int32_t speed_exponent) {
  if (speed_exponent < -4 || speed_exponent > 4) return 0;
  return quornet::WithSession(handle, int32_t{0}, [&](CClientSession& session) {
    session.speed_exponent.store(speed_exponent);
    if (session.replay_mode.load() != 0) {
      if (std::shared_ptr<quornet::CAVSource> source = session.source()) {
        source->SetSpeed(speed_exponent);
      }
    }
    return int32_t{1};
  });
}

}  // extern "C"
