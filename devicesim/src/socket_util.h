// Small socket helpers shared by the simulator's services.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <string_view>

namespace devicesim {

// Writes all of `data` to a blocking stream socket; false when the peer is
// gone. Never raises SIGPIPE.
inline bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(size_t(n));
  }
  return true;
}

}  // namespace devicesim
