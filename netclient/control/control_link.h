// Connections of the recorder management calls and the channel-server
// commands: dialling with distinct failure kinds, the recorder's keep-alive
// request/reply link, and the read-until-complete receive of the text
// commands. Thin layers over CQuorsock; the protocol texts live in
// nvr_http.h and channel_server.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/quorsock.h"

namespace quornet::ctl {

struct Timeouts {
  int32_t connect_ms;
  int32_t send_ms;
  int32_t recv_ms;
};
constexpr Timeouts kNvrTimeouts{3000, 3000, 3000};
constexpr Timeouts kKeyQueryTimeouts{1000, 1000, 1000};
constexpr Timeouts kServerTimeouts{3000, 3000, 3000};

enum class Dial { kOk, kResolve, kSocket, kConnect };

// Resolves host and decimal port (TCP), creates the socket for each address
// in turn and connects. The whole call, from here to the socket's last
// receive, is bounded by `deadline_ms`.
Dial Connect(CQuorsock& sock, const char* host, int32_t port, const Timeouts& timeouts,
             int32_t deadline_ms);

// Overall bound of one recorder management call (all its connections and
// exchanges). Process-wide; tests shorten it.
int32_t NvrCallDeadlineMs();
void SetNvrCallDeadlineMs(int32_t ms);

// One recorder management call: requests and whole HTTP replies on one
// connection. A reply that could not be delimited (longer than its buffer,
// or ended only by the peer closing or falling silent) spends the connection:
// the next request goes over a fresh one, so the unread tail of a long reply
// is never taken for the next reply.
class NvrLink {
 public:
  NvrLink(const char* host, int32_t port, int32_t socket_mode, int32_t recv_buffer);
  Dial Open();
  // 0 with the reply in *reply, or nvrhttp::kSendFailed / kRecvFailed. An
  // over-long reply is returned cut to `capacity` - 1 bytes (0).
  int32_t Exchange(const std::string& request, size_t capacity, std::string* reply);

 private:
  const char* host_;
  int32_t port_;
  int32_t mode_;
  int32_t recv_buffer_;
  uint32_t start_tick_;
  std::unique_ptr<CQuorsock> sock_;
  bool spent_ = false;
};

// Result of ReadReply.
enum class Read {
  kOk,           // complete: judged complete, the peer closed, or the buffer is full
  kPartial,      // bytes came, then a time-out (or the deadline) before the end
  kNothing,      // a time-out or an error before any byte
  kClosedEmpty,  // the peer closed before sending anything
};

// Receives into buffer[0, capacity) until `complete` (may be null) says the
// text so far can be judged, the peer closes, the buffer is full, or a
// receive times out (the socket's overall deadline included). *received is
// the byte count in every case.
Read ReadReply(CQuorsock& sock, char* buffer, size_t capacity, size_t* received,
               const std::function<bool(std::string_view)>& complete);

}  // namespace quornet::ctl
