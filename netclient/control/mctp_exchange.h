// One MCTP/1.0 command exchange over its own TCP connection.
#pragma once

#include <cstdint>
#include <string>

namespace quornet::mctp {

// Connect, send and receive time-outs in milliseconds.
struct Timeouts {
  int32_t connect_ms;
  int32_t send_ms;
  int32_t recv_ms;
};

constexpr Timeouts kShortTimeouts{1000, 1000, 1000};    // positioning
constexpr Timeouts kPtzTimeouts{1000, 500, 500};        // pan-tilt-zoom
constexpr Timeouts kCommandTimeouts{3000, 3000, 3000};  // parameters, motion, alarm

// Resolves host:port, connects, sends `message` in one call and, when `reply`
// is not null, receives one reply of at most kReplyCapacity bytes into it.
// Closes the connection before returning. False on any failure (resolution,
// connection, send, receive, an empty reply). Blocks at most for the
// time-outs.
bool Exchange(const char* host, int32_t port, const Timeouts& timeouts, const std::string& message,
              std::string* reply);

}  // namespace quornet::mctp
