// The exported MCTP/1.0 device commands: pan-tilt-zoom, picture parameters,
// alarm acknowledgement, motion detection, privacy cover and 3D positioning.
//
// Each call runs on the caller's thread, opens its own connection to the
// client's device host and port, sends one message, reads at most one reply
// and closes; nothing is retried. Calls for one client may run concurrently.
#include <cstring>
#include <memory>

#include "api/export_guard.h"
#include "control/mctp.h"
#include "control/mctp_exchange.h"
#include "control/session_fields.h"
#include "quornet.h"
#include "session/client_session.h"

using namespace quornet;

static_assert(sizeof(QRNET_MDInfo) == sizeof(MotionRegionRecord));
static_assert(offsetof(QRNET_MDInfo, rect) == offsetof(MotionRegionRecord, rect));

namespace {

// The session of a handle for a device command; null for an invalid handle
// and, when `refuse_private_udp`, for a client on the private UDP stream,
// whose devices have no command channel.
std::shared_ptr<CClientSession> CommandSession(uint32_t handle, bool refuse_private_udp) {
  std::shared_ptr<CClientSession> session = CClientSession::Find(handle);
  if (!session) return nullptr;
  if (refuse_private_udp && session->param().transport == QRNET_TRANSPORT_UDP) return nullptr;
  return session;
}

bool Send(const CClientSession& session, const mctp::Timeouts& timeouts, const std::string& message,
          std::string* reply) {
  return mctp::Exchange(session.host, session.port, timeouts, message, reply);
}

template <class F>
int32_t Guard(F&& body) {
  return Guarded(int32_t{0}, std::forward<F>(body));
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_ClientPTZCtrl(uint32_t handle, int32_t code, int32_t speed) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session) return 0;
    std::string reply;
    return Send(*session, mctp::kPtzTimeouts, mctp::BuildPtz(session->channel, code, speed), &reply)
               ? 1
               : 0;
  });
}

QRNET_API int32_t QRNET_ClientGetVideoParam(uint32_t handle, uint8_t* brightness, uint8_t* contrast,
                                            uint8_t* saturation) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session) return 0;
    std::string reply;
    if (!Send(*session, mctp::kCommandTimeouts,
              mctp::BuildVideoParam(mctp::kVideoRead, session->channel, 0, 0, 0), &reply)) {
      return 0;
    }
    mctp::VideoParams p;
    if (!mctp::ParseGetVideoParamReply(reply, &p)) return 0;
    if (brightness) *brightness = p.brightness;
    if (contrast) *contrast = p.contrast;
    if (saturation) *saturation = p.saturation;
    return 1;
  });
}

QRNET_API int32_t QRNET_ClientSetVideoParam(uint32_t handle, int32_t brightness, int32_t contrast,
                                            int32_t saturation, int32_t mode) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session) return 0;
    std::string reply;
    std::string msg = mctp::BuildVideoParam(mctp::VideoSetOperation(mode), session->channel,
                                            brightness & 0xFF, contrast & 0xFF, saturation & 0xFF);
    if (!Send(*session, mctp::kCommandTimeouts, msg, &reply)) return 0;
    return mctp::ParseResultReply(reply, 3) ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientStopAlarm(uint32_t handle, int32_t alarm) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session) return 0;
    std::string reply;
    if (!Send(*session, mctp::kCommandTimeouts, mctp::BuildStopAlarm(alarm, session->channel),
              &reply)) {
      return 0;
    }
    return mctp::ParseResultReply(reply, 3) ? 1 : 0;
  });
}

static int32_t MdSwitch(uint32_t handle, int32_t operation) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session) return 0;
    std::string reply;
    if (!Send(*session, mctp::kCommandTimeouts, mctp::BuildMdCommand(operation, session->channel),
              &reply)) {
      return 0;
    }
    return mctp::ParseResultReply(reply, 8) ? 1 : 0;
  });
}

QRNET_API int32_t QRNET_ClientStartMD(uint32_t handle) {
  return MdSwitch(handle, mctp::kMdStart);
}

QRNET_API int32_t QRNET_ClientStopMD(uint32_t handle) {
  return MdSwitch(handle, mctp::kMdStop);
}

QRNET_API int32_t QRNET_ClientGetMDInfo(uint32_t handle, QRNET_MDInfo* info) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session || info == nullptr) return 0;
    std::string reply;
    if (!Send(*session, mctp::kCommandTimeouts,
              mctp::BuildMdCommand(mctp::kMdReadRegions, session->channel), &reply)) {
      return 0;
    }
    MotionRegionRecord record;
    if (!mctp::ParseGetMdReply(reply, &record)) return 0;
    std::memcpy(info, &record, sizeof record);
    StoreMotionRegions(*session, record);
    return 1;
  });
}

QRNET_API int32_t QRNET_ClientSaveMDInfo(uint32_t handle, const QRNET_MDInfo* info) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, true);
    if (!session || info == nullptr) return 0;
    MotionRegionRecord record;
    std::memcpy(&record, info, sizeof record);
    std::string reply;
    if (!Send(*session, mctp::kCommandTimeouts, mctp::BuildSaveMd(session->channel, record),
              &reply)) {
      return 0;
    }
    if (!mctp::ParseResultReply(reply, 8)) return 0;
    StoreMotionRegions(*session, record);
    return 1;
  });
}

QRNET_API int32_t QRNET_SetCoverPosit(uint32_t handle, int32_t a, int32_t b, int32_t c, int32_t d,
                                      int32_t e, int32_t f) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, false);
    if (!session) return 0;
    return Send(*session, mctp::kShortTimeouts, mctp::BuildCoverPosit(a, b, c, d, e, f), nullptr)
               ? 1
               : 0;
  });
}

QRNET_API int32_t QRNET_Set3DPosit(uint32_t handle, int32_t a, int32_t b, int32_t c, int32_t d) {
  return Guard([&]() -> int32_t {
    auto session = CommandSession(handle, false);
    if (!session) return 0;
    return Send(*session, mctp::kShortTimeouts, mctp::Build3DPosit(a, b, c, d), nullptr) ? 1 : 0;
  });
}

}  // extern "C"
