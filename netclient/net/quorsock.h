// CQuorsock: a blocking TCP client socket with time-outs, used for every
// short command exchange (device commands, NVR manager requests, channel
// server queries, event receivers, talk).
//
// Members return non-zero for success and 0 for failure unless noted. One
// thread uses an object; any other thread may call Close to end a blocked
// connect, send or receive promptly (the blocked call then fails).
//
// Time-outs (milliseconds) given to Create: the first bounds Connect, the
// second each wait for send space, the third each wait for received bytes
// (SetRecvTimeOut changes it later). A time-out of 0 or less waits without
// limit.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quornet {

class CQuorsock {
 public:
  // `mode` is kept for callers that pass one through; it changes nothing.
  explicit CQuorsock(int32_t mode = 0);
  ~CQuorsock();
  CQuorsock(const CQuorsock&) = delete;
  CQuorsock& operator=(const CQuorsock&) = delete;

  // Secure-transport set-up hooks; no TLS is used, so both do nothing.
  static int32_t InitSSL();
  static void CloseSSL();

  // Creates a TCP socket of `family` (AF_INET or AF_INET6). `linger` is
  // accepted for callers that pass one (-1 usually) and not used.
  int32_t Create(int32_t family, int32_t connect_timeout_ms, int32_t send_timeout_ms,
                 int32_t recv_timeout_ms, int32_t linger = -1);
  // Resolves host:port (numeric or name) and creates a socket for the first
  // address; Connect() then tries the resolved addresses in order.
  int32_t Create(const char* host, int32_t port, int32_t connect_timeout_ms,
                 int32_t send_timeout_ms, int32_t recv_timeout_ms, int32_t linger = -1);

  int32_t Connect(const sockaddr* address, socklen_t length);
  int32_t Connect();

  // Sends all `length` bytes; 1 when they were all sent.
  int32_t Send(const char* data, int32_t length);
  // One receive of at most `capacity` bytes (no terminator is written: pass
  // one byte less than the buffer when the text is to be terminated). 1 with
  // *received > 0; 0 on time-out, error or when the peer closed
  // (*received = 0).
  int32_t Recv(char* buffer, int32_t capacity, int32_t* received);
  // True when the last Recv failed because the peer closed the connection
  // (not a time-out or an error).
  bool LastRecvClosed() const { return recv_closed_; }
  // Reads exactly `length` bytes; returns `length`, or 0 when the peer closed,
  // a time-out struck or an error occurred first.
  int32_t RecvFull(char* buffer, int32_t length);
  // Reads one whole HTTP reply: the header block, then a body delimited by
  // Content-Length, chunked transfer coding (stored de-chunked) or the peer
  // closing. At most capacity - 1 bytes are stored and the text is always
  // terminated. 1 with the whole reply in the buffer; 0 on failure or when
  // the reply does not fit (*received then tells how much was stored).
  int32_t RecvFullHttp(char* buffer, int32_t capacity, int32_t* received);
  // True when the last RecvFullHttp failed because the reply was longer than
  // its buffer (what fitted is stored; the rest is still unread).
  bool LastReplyOverflowed() const { return overflowed_; }

  int32_t SetRecvTimeOut(int32_t ms);
  // Bounds every later wait (connect, send, receive) by one overall deadline
  // `ms` milliseconds from now, so a peer trickling bytes cannot hold a call
  // for ever; 0 or less removes it.
  void SetDeadline(int32_t ms);
  int32_t SetNoDelay(int32_t on);
  int32_t SetRecvBuff(int32_t bytes);
  int32_t SetSendBuff(int32_t bytes);

  // Closes the socket; safe from any thread and more than once. A call
  // blocked in another thread is woken and fails.
  void Close();

 private:
  enum class Wait { kReady, kTimeout, kClosed, kError };

  // Takes the socket for one operation; -1 when it is closed. While taken,
  // Close only shuts it down and leaves the descriptor to Unuse, so the
  // number cannot be reused under a running call.
  int Use();
  void Unuse();
  Wait WaitFor(int fd, short events, int32_t timeout_ms);
  // Receives 1..capacity bytes: >0 bytes, 0 peer closed, -1 failure.
  int ReceiveSome(int fd, char* buffer, size_t capacity);
  int32_t CreateSocket(int family);

  std::mutex mutex_;
  int fd_ = -1;           // guarded by mutex_
  int wake_fd_ = -1;      // eventfd written by Close; fixed after construction
  int users_ = 0;         // guarded by mutex_: operations running on fd_
  bool closing_ = false;  // guarded by mutex_: Close came while fd_ was in use

  int32_t connect_timeout_ms_ = 0;
  int32_t send_timeout_ms_ = 0;
  int32_t recv_timeout_ms_ = 0;
  bool overflowed_ = false;   // set by RecvFullHttp
  bool recv_closed_ = false;  // set by Recv
  bool has_deadline_ = false;
  uint32_t deadline_tick_ = 0;               // monotonic ms, valid while has_deadline_
  std::vector<sockaddr_storage> addresses_;  // from Create(host, ...)
  std::vector<socklen_t> address_lengths_;
};

}  // namespace quornet
