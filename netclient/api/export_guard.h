// The one place where an export turns a client handle into its session.
//
// The lookup goes through the handle table, so an unknown or stopped handle
// gets the export's failure value, and the reference it returns keeps the
// session alive until the export returns. No exception leaves an export.
#pragma once

#include <cstdint>
#include <memory>

#include "session/client_session.h"

namespace quornet {

// Runs `body` and returns its result, or `failure` when it throws.
template <class R, class F>
R Guarded(R failure, F&& body) {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// Runs `body` on the session of `handle`; `failure` for an invalid handle or
// when anything throws.
template <class R, class F>
R WithSession(uint32_t handle, R failure, F&& body) {
  return Guarded(failure, [&]() -> R {
    std::shared_ptr<CClientSession> session = CClientSession::Find(handle);
    if (!session) return failure;
    return body(*session);
  });
}

}  // namespace quornet
