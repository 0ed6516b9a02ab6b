// The talk exports of quornet.h: start and stop two-way audio on a client.
#include <memory>
#include <mutex>

#include "api/export_guard.h"
#include "media/talk.h"
#include "media/talk_proto.h"
#include "quornet.h"
#include "session/client_session.h"

using namespace quornet;

namespace {

// Talk starts and stops run one at a time, so that two starts on one client
// never leave two talk connections running side by side: the old talk is
// stopped (its threads joined) before the new one connects. Holding it while
// a talk stops is short: stopping closes the socket before it joins.
std::mutex& TalkMutex() {
  static std::mutex m;
  return m;
}

int32_t StartTalk(uint32_t handle, int32_t voice_type) {
  if (voice_type != talk::kTalkTypeAuto && !talk::IsTalkType(voice_type)) return 0;
  return WithSession(handle, int32_t{0}, [&](CClientSession& s) -> int32_t {
    // The private UDP stream has no command channel, and a local file has no
    // device at all.
    if (s.param().transport == QRNET_TRANSPORT_UDP || s.host[0] == '\0') return 0;
    std::lock_guard<std::mutex> lock(TalkMutex());
    s.StopTalk();
    auto talk = std::make_unique<CTalk2VS>(s, voice_type);
    if (!talk->Start()) return 0;
    // False when the client is being stopped: the talk was stopped again.
    return s.SetTalk(std::move(talk)) ? 1 : 0;
  });
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_ClientStartTalk(uint32_t handle) {
  return StartTalk(handle, talk::kTalkTypeAuto);
}

QRNET_API int32_t QRNET_ClientStartTalkEx(uint32_t handle, int32_t voice_type) {
  return StartTalk(handle, voice_type);
}

QRNET_API void QRNET_ClientStopTalk(uint32_t handle) {
  WithSession(handle, int32_t{0}, [](CClientSession& s) {
    std::lock_guard<std::mutex> lock(TalkMutex());
    s.StopTalk();
    return int32_t{1};
  });
}

}  // extern "C"
