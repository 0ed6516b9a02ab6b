// CRtspSession: the RTSP 1.0 client of one stream source. It opens the control
// connection, runs DESCRIBE / SETUP / PLAY for a live view or an NVR replay
// (answering a "401 Unauthorized" with Digest or Basic authorization), writes
// what the stream description announces into the client session, binds the
// RTP ports for RTP over UDP, and sends the in-session requests.
//
// Threads:
// - Open, the start requests, Close and the interleaved reading run on the
//   source thread (the owner).
// - Pause / resume / speed / keep-alive / teardown ("in-session requests")
//   may come from any thread; the request lock keeps one request and its reply
//   together, and they are refused while no stream is playing.
// - Abort may be called from any thread: it is one-shot (a source is never
//   restarted) and makes every wait of the session return at once.
//
// Replies are read with poll in short steps into a bounded buffer, across as
// many reads as they take; bytes after a reply (interleaved RTP behind the
// PLAY reply) are kept for the interleaved reader.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "net/rtsp_protocol.h"

namespace quornet {

class CClientSession;
class InterleavedParser;

class CRtspSession {
 public:
  // Longest reply taken (headers and body).
  static constexpr size_t kMaxReply = 8192;
  // Socket time-outs of the dialect, ms.
  static constexpr int kStartTimeoutMs = 5000;
  static constexpr int kInSessionTimeoutMs = 500;
  static constexpr int kTeardownTimeoutMs = 3000;
  // Receive buffer asked for the video RTP socket.
  static constexpr int kVideoReceiveBuffer = 4 * 1024 * 1024;
  // Longest session id taken from a standard server.
  static constexpr size_t kMaxStandardSessionId = 255;

  // udp: RTP over UDP (transport 0), else interleaved (transport 1).
  CRtspSession(CClientSession& client, bool udp);
  ~CRtspSession();
  CRtspSession(const CRtspSession&) = delete;
  CRtspSession& operator=(const CRtspSession&) = delete;

  // Closes everything and resolves the host: 0, -1 when a socket cannot be
  // created, -2 when the host does not resolve.
  int32_t Open();
  // 1 success, 0 failure, -1 credentials refused.
  int32_t LiveStart();
  int32_t ReplayStart();

  // In-session requests; 1 when "200 OK" came back (fire-and-forget teardown:
  // when sent).
  int32_t Pause(int32_t pause);  // 1 pause, 0 resume
  int32_t SetSpeed(int32_t speed_exponent);
  // Recorder scheme (kind 2): the recorder keep-alive GET_PARAMETER, 1 on "200 OK".
  // Other kinds: GET_PARAMETER without a body on the base URL, or OPTIONS
  // after the server refused GET_PARAMETER (405/501); any reply is 1.
  int32_t KeepAlive();
  // How often the stream needs a keep-alive, ms; 0 = none. Servers expire a
  // session after its announced timeout (60 s when none is announced, RFC
  // 2326 12.37); a keep-alive every half of it leaves room for a lost one.
  // Generic servers (kinds 0, -1) get one over either transport; banner
  // devices (kind 1) only when they announce a timeout; recorders (kind 2)
  // every 20 s over UDP as they always did, sooner or over TCP only when
  // their announced timeout asks for it.
  uint32_t KeepAliveIntervalMs() const;
  // Announced session timeout of the current session, s; 0 = none.
  int session_timeout_s() const { return session_timeout_s_.load(); }
  int32_t TearDown();
  int32_t TearDownNoWait();

  void Close();
  void CloseRtpSockets();

  // Makes every current and later wait return at once (stop of the source).
  void Abort();
  bool aborted() const { return aborted_.load(); }
  // Descriptor that becomes readable on Abort, for the readers' polls.
  int wake_fd() const { return wake_fd_; }

  int control_fd() const { return control_fd_.load(); }
  int video_fd() const { return video_fd_.load(); }
  int audio_fd() const { return audio_fd_.load(); }
  int video_client_port() const { return video_port_; }
  int audio_client_port() const { return audio_port_; }
  bool has_audio() const { return format_.audio_track != 0; }
  const rtsp::StreamFormat& format() const { return format_; }
  const std::string& session_id() const { return ctx_.session_id; }
  bool challenged() const { return ctx_.auth.scheme != rtsp::Auth::Scheme::kNone; }

  // Interleaved transport. While streaming, the source thread owns every read
  // of the control socket: in-session replies reach their waiting request
  // through PostReplyText instead of a read of their own.
  void SetInterleavedStreaming(bool on);
  // Moves bytes received behind the last reply into the parser.
  void DrainPendingInto(InterleavedParser* parser);
  void PostReplyText(const uint8_t* data, size_t size);

 private:
  // In-session requests of a replay name the running start time, which
  // QRNET_ClientNVRUpdateReplayTime may have changed. Caller holds
  // request_mutex_.
  void TakeRunningStartTime();
  int32_t Start(bool replay);
  // SETUP and PLAY of a standard server, after its description was read.
  int32_t StartStandard();
  // A 3xx's Location: reconnects to its host and makes it the request URL.
  bool Redirect(const std::string& location, std::string* request_url);
  // Resolves host and port and (re)creates the sockets: 0, -1, -2 as Open.
  int32_t OpenPeer(const std::string& host, int32_t port);
  bool Connect();
  bool SendText(const std::string& text, int timeout_ms);
  // Reads one complete reply into *reply. False on error, time-out, abort or
  // a reply that does not fit kMaxReply.
  bool ReadReply(std::string* reply, int timeout_ms);
  bool Exchange(const std::string& request, std::string* reply, int timeout_ms);
  // In-session request under the request lock.
  // *reply_out (optional) receives the reply, empty when none came.
  int32_t InSession(const std::string& request, int timeout_ms, size_t reply_limit,
                    std::string* reply_out = nullptr);
  // Binds the UDP socket in *slot to the next free client port (a fresh
  // socket per failed port, up to 10000 ports).
  bool BindRtpSocket(int* port_out, std::atomic<int>* slot, int receive_buffer);
  void CloseFd(std::atomic<int>& fd);

  CClientSession& client_;
  const bool udp_;

  int wake_fd_ = -1;  // eventfd, written once by Abort
  std::atomic<bool> aborted_{false};

  // Descriptors: created and closed by the owner thread under fd_mutex_, so
  // that Abort (any thread) never shuts down a reused number.
  std::mutex fd_mutex_;
  std::atomic<int> control_fd_{-1};
  std::atomic<int> video_fd_{-1};
  std::atomic<int> audio_fd_{-1};

  sockaddr_storage peer_{};  // resolved by Open
  socklen_t peer_len_ = 0;
  int family_ = 0;

  // Serialises in-session requests and their replies, and Close against them.
  std::recursive_mutex request_mutex_;
  bool in_session_ = false;   // guarded by request_mutex_: a PLAY succeeded
  rtsp::RequestContext ctx_;  // guarded by request_mutex_ once in session
  std::string suffix_;
  rtsp::StreamFormat format_;
  int video_port_ = 0;
  int audio_port_ = 0;
  int video_server_port_ = 0;
  int audio_server_port_ = 0;
  std::atomic<int> session_timeout_s_{0};  // announced in the SETUP reply; 0 = none
  bool keep_alive_options_ = false;        // guarded by request_mutex_: GET_PARAMETER refused

  std::string rx_;  // bytes read but not yet consumed (owner thread, or under request lock)

  // Reply hand-over for the interleaved transport.
  std::mutex mailbox_mutex_;
  std::condition_variable mailbox_cv_;
  bool interleaved_streaming_ = false;  // guarded by mailbox_mutex_
  bool mailbox_full_ = false;           // guarded by mailbox_mutex_
  std::string mailbox_;                 // guarded by mailbox_mutex_
};

}  // namespace quornet
