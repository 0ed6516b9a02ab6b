#include "control/session_fields.h"

#include <map>
#include <mutex>
#include <utility>

#include "session/client_session.h"

namespace quornet {

namespace {

// The handle is part of the key so that a new session that happens to get the
// address of a destroyed one never sees its regions.
using Key = std::pair<const CClientSession*, uint32_t>;

struct Store {
  std::mutex mutex;
  std::map<Key, MotionState> states;  // guarded by mutex
};

Store& GetStore() {
  static Store* store = new Store;  // never destroyed: used by worker threads at exit
  return *store;
}

Key KeyOf(const CClientSession& session) {
  return {&session, session.handle()};
}

}  // namespace

void StoreMotionRegions(CClientSession& session, const MotionRegionRecord& record) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.states[KeyOf(session)].record = record;
}

void StoreMotionReport(CClientSession& session, uint32_t mask, const MotionRect (&rect)[16],
                       uint32_t tick) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  MotionState& state = store.states[KeyOf(session)];
  for (int i = 0; i < 16; ++i) {
    if (!(mask & (1u << i))) continue;
    state.record.rect[i] = rect[i];
    state.tick[i] = tick;
  }
  state.mask = mask;
}

MotionState ReadMotionState(const CClientSession& session) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  auto it = store.states.find(KeyOf(session));
  return it == store.states.end() ? MotionState{} : it->second;
}

void ForgetMotionState(const CClientSession& session) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.states.erase(KeyOf(session));
}

}  // namespace quornet
