// CEventReceiver2: the MCTP event channel of a camera during live view.
//
// The stream source creates one after PLAY, starts it with the RTSP session
// identifier of the live stream and stops it before it tears the session down:
//
//   auto events = std::make_unique<CEventReceiver2>();
//   if (!events->Start(session, rtsp_session_id)) events.reset();  // no events
//   ...
//   events->Stop();  // joins; also done by the destructor
//
// Start subscribes on the device's RTSP host and port ("CMD:ALIVE" with the
// session identifier and the channel); on success the receiver thread keeps
// the channel alive every 10 s and turns the device's reports into
// notifications of the session: kind 2 with the region mask for motion
// (regions' rectangles, ticks and the mask are stored in the session for the
// renderer), kind 4 with the input number for alarms. The thread ends by
// itself when the channel breaks; that end is not reported, live view goes on
// without events until the source reconnects and starts a new receiver.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "control/mctp_event.h"
#include "net/quorsock.h"
#include "qrplat/thread.h"

namespace quornet {

class CClientSession;

class CEventReceiver2 : public qrplat::JThread {
 public:
  static constexpr uint32_t kKeepAliveMs = 10000;
  static constexpr int32_t kPollMs = 100;

  CEventReceiver2() = default;
  ~CEventReceiver2() override;  // Stop()

  // Subscribes to the event channel of `session`'s device and starts the
  // thread. False when the subscription was refused or failed, or the thread
  // did not start: then nothing runs and the socket is closed. `session` must
  // stay alive until Stop() returns. Call once.
  bool Start(CClientSession* session, std::string_view rtsp_session_id);
  // Like Start, but the subscription runs on the receiver's own thread, so
  // that the stream source never waits for a slow device: false only when
  // the thread did not start. A refused subscription ends the thread quietly.
  bool StartInBackground(CClientSession* session, std::string_view rtsp_session_id);
  // Sets the stop flag, closes the socket (a blocked send or receive returns
  // at once) and waits for the thread. Idempotent; safe when never started.
  // Never call it on the receiver's own thread.
  void Stop();

  // Handles one message taken from the event channel (also used by tests).
  // False when the message asks the receiver to end.
  bool HandleMessage(std::string_view message);

 protected:
  int32_t Thread() override;

 private:
  // Receives once, waiting at most kPollMs for data. >0 bytes, 0 nothing
  // arrived in time, -1 the channel failed (closed, error).
  int ReceiveSome(char* buffer, size_t capacity);
  // Sends the subscription and reads its reply; false (socket closed) when
  // the device refused or did not answer.
  bool Subscribe();

  CClientSession* session_ = nullptr;
  std::string subscription_;          // the "CMD:ALIVE" message
  bool subscribe_on_thread_ = false;  // set before the thread starts
  CQuorsock sock_{0};
  std::atomic<bool> stop_{false};
  // Owned by the receiver thread once it runs; Start fills it with bytes that
  // followed the subscription reply.
  mctp::EventBuffer buffer_;
};

}  // namespace quornet
