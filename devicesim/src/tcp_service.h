// A loopback TCP listener with one thread per connection, shared by the
// simulated recorder and channel server, plus the fault-aware reply sender.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "devicesim/nvr.h"

namespace devicesim {

class TcpService {
 public:
  // Runs on the connection's thread with a blocking socket; the service
  // shuts the socket down on Stop (blocked reads then return 0) and closes
  // it after the handler returned.
  using Handler = std::function<void(int fd, uint64_t connection)>;

  ~TcpService() { Stop(); }
  bool Start(uint16_t port, const std::string& bind_address, Handler handler);
  void Stop();
  uint16_t Port() const { return port_; }
  bool Stopping() const { return stop_.load(); }

 private:
  struct Conn {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Loop();

  Handler handler_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::list<Conn> conns_;  // guarded by mutex_
  uint64_t next_id_ = 0;   // accept thread only
};

// Reads from fd until `text` holds `marker` at or after `from` (appending to
// text); false when the peer closed first or more than `limit` bytes came.
bool ReadUntil(int fd, std::string* text, std::string_view marker, size_t limit, size_t from = 0);
// Reads until text holds at least `n` bytes.
bool ReadAtLeast(int fd, std::string* text, size_t n);

// Sends a reply under the faults: split into pieces, cut in the middle
// (false: close now), or replaced by a never-ending trickle (returns when
// the service stops or the peer goes; false).
bool SendReply(int fd, const std::string& reply, const ServerFaults& faults,
               const TcpService& service, std::string_view trickle_head);

// An HTTP/1.1 reply with `body`, framed as the faults say (length, chunked
// coding, or closing).
std::string HttpReply(int status, const std::string& body, const ServerFaults& faults);

std::string Base64(std::string_view in);

}  // namespace devicesim
