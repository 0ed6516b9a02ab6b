#include "control/mctp_exchange.h"

#include "control/mctp.h"
#include "net/quorsock.h"
#include "qrplat/thread.h"

namespace quornet::mctp {

bool Exchange(const char* host, int32_t port, const Timeouts& timeouts, const std::string& message,
              std::string* reply) {
  if (host == nullptr || host[0] == '\0' || message.empty()) return false;
  CQuorsock sock(0);
  if (!sock.Create(host, port, timeouts.connect_ms, timeouts.send_ms, timeouts.recv_ms, -1)) {
    qrplat::DebugOutput("mctp: cannot resolve %s:%d\n", host, port);
    return false;
  }
  if (!sock.Connect()) {
    qrplat::DebugOutput("mctp: cannot connect to %s:%d\n", host, port);
    return false;
  }
  if (!sock.Send(message.data(), int32_t(message.size()))) return false;
  if (reply == nullptr) return true;
  char buf[kReplyCapacity];
  int32_t received = 0;
  if (!sock.Recv(buf, int32_t(sizeof buf), &received) || received <= 0) return false;
  if (received > int32_t(sizeof buf)) received = int32_t(sizeof buf);
  reply->assign(buf, size_t(received));
  return true;
}

}  // namespace quornet::mctp
