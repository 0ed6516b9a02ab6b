#include "media/audio_session_fields.h"

#include <map>
#include <mutex>
#include <utility>

#include "session/client_session.h"

namespace quornet {

namespace {

using Key = std::pair<const CClientSession*, uint32_t>;

struct AudioFields {
  int32_t ended = 0;
  int32_t sample_rate = 0;  // Hz; 0 = unknown
};

struct Store {
  std::mutex mutex;
  std::map<Key, AudioFields> fields;  // guarded by mutex
};

Store& GetStore() {
  static Store* store = new Store;  // never destroyed: worker threads use it at exit
  return *store;
}

Key KeyOf(const CClientSession& session) {
  return {&session, session.handle()};
}

template <class F>
void Update(const CClientSession& session, F&& f) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  f(store.fields[KeyOf(session)]);
}

AudioFields Read(const CClientSession& session) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  auto it = store.fields.find(KeyOf(session));
  return it == store.fields.end() ? AudioFields{} : it->second;
}

}  // namespace

void SetAudioEnded(const CClientSession& session, int32_t ended) {
  Update(session, [ended](AudioFields& f) { f.ended = ended; });
}

int32_t AudioEnded(const CClientSession& session) {
  return Read(session).ended;
}

void SetAudioSampleRate(const CClientSession& session, int32_t rate_hz) {
  Update(session, [rate_hz](AudioFields& f) { f.sample_rate = rate_hz; });
}

int32_t AudioSampleRate(const CClientSession& session) {
  return Read(session).sample_rate;
}

void ForgetAudioFields(const CClientSession& session) {
  Store& store = GetStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.fields.erase(KeyOf(session));
}

}  // namespace quornet
