// Talk: two-way audio with the camera over a TCP connection of its own to the
// device's RTSP host and port.
//
// CTalk2VS runs the connection: connect, "CMD:TALK" exchange, then a
// CSendThread that encodes the microphone in 20 ms packets and, when the
// device offers its own audio, a CRecvThread that decodes the device's voice
// frames and plays them. Any send or receive failure tears both down and
// reconnects at once; a failed connect or a refusal is retried every 10 s.
//
// Threads and ownership (each worker has exactly one owner, which stops and
// joins it):
//   session -> CTalk2VS (talk thread)
//   talk thread -> CSendThread -> CDirectSoundCapture (capture device pump)
//               -> CRecvThread -> CDirectSound (playback pump)
// The talk socket is shared by the send and the receive thread (one sends,
// the other receives). Stopping always closes the socket first, so no worker
// stays blocked in a send or receive, and then joins; nothing waits with a
// limit and then abandons a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {

class CQuorsock;
class CSendThread;
class CRecvThread;

// Time limits of the talk connection (ms): connect, each send wait, each
// receive wait. A device that sends nothing for the receive limit while it
// offers audio counts as gone.
constexpr int32_t kTalkConnectTimeoutMs = 3000;
constexpr int32_t kTalkSendTimeoutMs = 10000;
constexpr int32_t kTalkRecvTimeoutMs = 10000;
// Pause after a failed connect or a refused talk before the next attempt.
constexpr uint32_t kTalkRetryPauseMs = 10000;

class CTalk2VS final : public ITalk, private qrplat::JThread {
 public:
  // voice_type: 0 chooses by the session's server kind when connecting;
  // else 1, 2 or 4..7 (talk_proto.h).
  CTalk2VS(CClientSession& session, int32_t voice_type);
  ~CTalk2VS() override;
  CTalk2VS(const CTalk2VS&) = delete;
  CTalk2VS& operator=(const CTalk2VS&) = delete;

  // Starts the talk thread; false when it could not start.
  bool Start();
  // Sets the stop flag and the stop event, closes the socket and joins the
  // talk thread (which stops its workers). Returns promptly in every state.
  void Stop() override;

  // Talks established since start (accepted replies), for diagnostics.
  uint32_t Established() const { return established_.load(); }

 private:
  int32_t Thread() override;
  // Connect step: socket, "CMD:TALK", reply. On success the socket stays in
  // sock_, *duplex tells whether the device offers audio and *rest holds
  // what came after the reply.
  bool Connect(bool* duplex, int32_t* type, std::string* rest);
  // Closes the socket and stops and joins the receive and send threads.
  void TearDown();
  void CloseSocket();

  CClientSession& session_;  // outlives this object (it owns it)
  const int32_t requested_type_;

  std::atomic<bool> stop_{false};
  qrplat::Event stop_event_{true, false};
  qrplat::Event send_error_{true, false};
  qrplat::Event recv_error_{true, false};
  std::atomic<uint32_t> established_{0};
  // Third value of the last accepted reply (0 when the device sent none).
  std::atomic<int32_t> reply_extra_{0};

  std::mutex sock_mutex_;
  std::shared_ptr<CQuorsock> sock_;  // guarded by sock_mutex_

  // Talk thread only (and the destructor after the join).
  std::unique_ptr<CSendThread> send_;
  std::unique_ptr<CRecvThread> recv_;
};

}  // namespace quornet
