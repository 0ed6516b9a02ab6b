#include "tcp_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "socket_util.h"

namespace devicesim {

bool TcpService::Start(uint16_t port, const std::string& bind_address, Handler handler) {
  Stop();
  stop_ = false;
  handler_ = std::move(handler);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1) return false;
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  port_ = ntohs(addr.sin_port);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void TcpService::Stop() {
  if (listen_fd_ < 0) return;
  stop_ = true;
  uint64_t one = 1;
  (void)!::write(wake_fd_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  std::list<Conn> conns;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Conn& c : conns_) ::shutdown(c.fd, SHUT_RDWR);
    conns.splice(conns.end(), conns_);
  }
  for (Conn& c : conns) {
    if (c.thread.joinable()) c.thread.join();
    ::close(c.fd);
  }
  ::close(listen_fd_);
  ::close(wake_fd_);
  listen_fd_ = wake_fd_ = -1;
}

void TcpService::Loop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int r = ::poll(fds, 2, 500);
    if (stop_.load() || (r > 0 && fds[1].revents)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    // Reap finished connections.
    for (auto it = conns_.begin(); it != conns_.end();) {
      if (it->done.load()) {
        it->thread.join();
        ::close(it->fd);
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Conn& c = conns_.emplace_back();
    c.fd = fd;
    const uint64_t id = ++next_id_;
    c.thread = std::thread([this, &c, id] {
      handler_(c.fd, id);
      ::shutdown(c.fd, SHUT_RDWR);
      c.done = true;
    });
  }
}

bool ReadUntil(int fd, std::string* text, std::string_view marker, size_t limit, size_t from) {
  char buf[4096];
  while (text->find(marker, from) == std::string::npos) {
    if (text->size() > limit) return false;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text->append(buf, size_t(n));
  }
  return true;
}

bool ReadAtLeast(int fd, std::string* text, size_t n) {
  char buf[4096];
  while (text->size() < n) {
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - text->size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    text->append(buf, size_t(r));
  }
  return true;
}

namespace {
void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
}  // namespace

bool SendReply(int fd, const std::string& reply, const ServerFaults& faults,
               const TcpService& service, std::string_view trickle_head) {
  if (faults.silent.load()) {
    while (!service.Stopping()) {  // keep the connection, answer nothing
      char c;
      if (::recv(fd, &c, 1, 0) <= 0) return false;
    }
    return false;
  }
  if (faults.trickle.load()) {
    if (!SendAll(fd, trickle_head)) return false;
    while (!service.Stopping()) {
      if (!SendAll(fd, "x")) return false;
      SleepMs(50);
    }
    return false;
  }
  std::string_view rest(reply);
  if (faults.close_mid_reply.load()) {
    SendAll(fd, rest.substr(0, rest.size() / 2));
    return false;
  }
  const int piece = faults.split_bytes.load();
  if (piece <= 0) return SendAll(fd, rest);
  bool first = true;
  while (!rest.empty()) {
    if (!first && faults.split_delay_ms.load() > 0) SleepMs(faults.split_delay_ms.load());
    first = false;
    if (!SendAll(fd, rest.substr(0, size_t(piece)))) return false;
    rest.remove_prefix(std::min(rest.size(), size_t(piece)));
  }
  return true;
}

std::string HttpReply(int status, const std::string& body, const ServerFaults& faults) {
  const char* reason = status == 200   ? "OK"
                       : status == 401 ? "Unauthorized"
                       : status == 404 ? "Not Found"
                                       : "Internal Server Error";
  std::string r = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                  "\r\nContent-Type: text/plain\r\nConnection: keep-alive\r\n";
  if (faults.chunked.load()) {
    r += "Transfer-Encoding: chunked\r\n\r\n";
    char size[16];
    for (size_t pos = 0; pos < body.size(); pos += 100) {
      std::string_view c = std::string_view(body).substr(pos, 100);
      std::snprintf(size, sizeof size, "%zx\r\n", c.size());
      r += size;
      r.append(c);
      r += "\r\n";
    }
    r += "0\r\n\r\n";
  } else if (faults.no_length.load()) {
    r += "\r\n" + body;
  } else {
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  }
  return r;
}

std::string Base64(std::string_view in) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v =
        uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8 | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i + 1 == in.size()) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16 | uint32_t(uint8_t(in[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace devicesim
