#include "net/source_seams.h"

#include <mutex>

namespace quornet {
namespace {

// Created on first use and never destroyed: components install their
// factories from static initialisers of other files, in no defined order.
struct Seams {
  std::mutex mutex;
  MediaSinksFactory media_sinks;              // guarded by mutex
  DeviceEventReceiverFactory event_receiver;  // guarded by mutex
  ChannelServerQuery channel_query;           // guarded by mutex
  StreamRecorderFactory recorder;             // guarded by mutex
};

Seams& S() {
  static Seams* seams = new Seams();
  return *seams;
}

template <class F>
F Swap(F& slot, F value) {
  std::lock_guard<std::mutex> lock(S().mutex);
  F old = std::move(slot);
  slot = std::move(value);
  return old;
}

template <class F>
F Get(const F& slot) {
  std::lock_guard<std::mutex> lock(S().mutex);
  return slot;
}

}  // namespace

MediaSinksFactory RegisterMediaSinksFactory(MediaSinksFactory factory) {
  return Swap(S().media_sinks, std::move(factory));
}
std::unique_ptr<IMediaSinks> CreateMediaSinks(CClientSession& session, CIConduit* video,
                                              CIConduit* audio) {
  MediaSinksFactory f = Get(S().media_sinks);
  return f ? f(session, video, audio) : nullptr;
}

DeviceEventReceiverFactory RegisterDeviceEventReceiverFactory(DeviceEventReceiverFactory factory) {
  return Swap(S().event_receiver, std::move(factory));
}
std::unique_ptr<IDeviceEventReceiver> CreateDeviceEventReceiver(CClientSession& session,
                                                                CRtspSession& rtsp) {
  DeviceEventReceiverFactory f = Get(S().event_receiver);
  return f ? f(session, rtsp) : nullptr;
}

ChannelServerQuery RegisterChannelServerQuery(ChannelServerQuery query) {
  return Swap(S().channel_query, std::move(query));
}
int32_t QueryChannelServer(CClientSession& session) {
  ChannelServerQuery q = Get(S().channel_query);
  return q ? q(session) : -1;
}

StreamRecorderFactory RegisterStreamRecorderFactory(StreamRecorderFactory factory) {
  return Swap(S().recorder, std::move(factory));
}
std::unique_ptr<IStreamRecorder> CreateStreamRecorder(CClientSession& session) {
  StreamRecorderFactory f = Get(S().recorder);
  return f ? f(session) : nullptr;
}

}  // namespace quornet
