// Plugs the camera event channel into the RTSP stream sources: after each
// PLAY on a camera (server kinds 0 and 1) the source connects a fresh
// CEventReceiver2 with the RTSP session id of that connection.

#include <memory>
#include <string>

#include "control/event_receiver.h"
#include "net/rtsp_session.h"
#include "net/source_seams.h"

namespace quornet {
namespace {

class DeviceEventReceiver : public IDeviceEventReceiver {
 public:
  DeviceEventReceiver(CClientSession& session, CRtspSession& rtsp)
      : session_(session), rtsp_(rtsp) {}
  ~DeviceEventReceiver() override { Stop(); }

  // Starts a receiver that subscribes on its own thread: a device that is
  // slow to answer (or never does) must not hold up the stream, which the
  // source thread reads. The session id changes with every reconnection, so
  // it is read here, not when the receiver is created.
  bool Connect() override {
    Stop();
    auto receiver = std::make_unique<CEventReceiver2>();
    if (!receiver->StartInBackground(&session_, rtsp_.session_id())) return false;
    receiver_ = std::move(receiver);
    return true;
  }
  bool Start() override { return receiver_ != nullptr; }
  void Stop() override {
    if (receiver_) receiver_->Stop();
    receiver_.reset();
  }

 private:
  CClientSession& session_;
  CRtspSession& rtsp_;  // owned by the source, which owns this object too
  std::unique_ptr<CEventReceiver2> receiver_;
};

const bool kRegistered = [] {
  RegisterDeviceEventReceiverFactory([](CClientSession& session, CRtspSession& rtsp) {
    return std::make_unique<DeviceEventReceiver>(session, rtsp);
  });
  return true;
}();

}  // namespace
}  // namespace quornet
