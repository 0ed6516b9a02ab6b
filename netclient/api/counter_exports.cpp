// Exports of the stream health counters kept in the client session.
#include <cstring>

#include "api/export_guard.h"
#include "quornet.h"
#include "session/client_session.h"

using quornet::CClientSession;

extern "C" {

QRNET_API int32_t QRNET_ClientGetStreamCounters(uint32_t handle, QRNET_StreamCounters* counters) {
  if (counters == nullptr) return 0;
  return quornet::WithSession(handle, int32_t{0}, [counters](CClientSession& s) {
    QRNET_StreamCounters c;
    std::memset(&c, 0, sizeof c);
    c.decode_errors = s.decode_errors.load();
    c.oversized_pictures = s.oversized_pictures.load();
    *counters = c;
    return int32_t{1};
  });
}

}  // extern "C"
