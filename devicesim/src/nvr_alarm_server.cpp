// The recorder alarm channel of the simulator: "qr_transmit" handshake and
// "chan=C&type=T&" reports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/control.h"
#include "socket_util.h"

namespace devicesim {

namespace {

constexpr std::string_view kHandshake = "qr_transmit";

}  // namespace

struct NvrAlarmServer::Impl {
  struct Client {
    int fd = -1;
    bool open = false;    // handshake accepted
    std::string pending;  // handshake bytes so far
  };

  NvrAlarmServer* owner = nullptr;
  int listen_fd = -1;
  int wake_fd = -1;
  uint16_t port = 0;
  std::thread thread;
  std::thread periodic;

  mutable std::mutex mutex;
  mutable std::condition_variable cv;
  bool stop = false;            // guarded by mutex
  std::vector<Client> clients;  // guarded by mutex; fds closed under mutex
  size_t handshakes = 0;        // guarded by mutex

  void Loop();
  void CloseClientLocked(size_t i) {
    ::close(clients[i].fd);
    clients.erase(clients.begin() + long(i));
    cv.notify_all();
  }
  int Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    int written = 0;
    for (Client& c : clients) {
      if (c.open && SendAll(c.fd, bytes)) ++written;
    }
    return written;
  }
};

void NvrAlarmServer::Impl::Loop() {
  std::vector<pollfd> fds;
  char buf[256];
  for (;;) {
    fds.clear();
    fds.push_back({listen_fd, POLLIN, 0});
    fds.push_back({wake_fd, POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stop) return;
      for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    }
    int r = ::poll(fds.data(), fds.size(), 200);
    if (r < 0 && errno != EINTR) return;
    if (r <= 0) continue;
    if (fds[1].revents) return;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex);
        clients.push_back({fd, false, {}});
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t k = 2; k < fds.size(); ++k) {
      if (!fds[k].revents) continue;
      size_t i = 0;
      while (i < clients.size() && clients[i].fd != fds[k].fd) ++i;
      if (i == clients.size()) continue;
      ssize_t n = ::recv(fds[k].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        CloseClientLocked(i);
        continue;
      }
      Client& c = clients[i];
      if (c.open) continue;  // the client has nothing more to say
      c.pending.append(buf, size_t(n));
      if (c.pending.size() < kHandshake.size()) continue;
      if (c.pending.find(kHandshake) == std::string::npos || owner->refuse_handshake.load()) {
        SendAll(c.fd, "no");
        CloseClientLocked(i);
        continue;
      }
      SendAll(c.fd, "ok");
      c.open = true;
      ++handshakes;
      cv.notify_all();
    }
  }
}

NvrAlarmServer::NvrAlarmServer() = default;

NvrAlarmServer::~NvrAlarmServer() {
  Stop();
}

bool NvrAlarmServer::Start(uint16_t port, const std::string& bind_address) {
  Stop();
  auto impl = std::make_unique<Impl>();
  impl->owner = this;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1) return false;
  impl->listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (impl->listen_fd < 0) return false;
  int one = 1;
  ::setsockopt(impl->listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (::bind(impl->listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(impl->listen_fd, 16) != 0 ||
      ::getsockname(impl->listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(impl->listen_fd);
    return false;
  }
  impl->port = ntohs(addr.sin_port);
  impl->wake_fd = ::eventfd(0, EFD_CLOEXEC);
  if (impl->wake_fd < 0) {
    ::close(impl->listen_fd);
    return false;
  }
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Loop(); });
  impl_ = std::move(impl);
  return true;
}

void NvrAlarmServer::Stop() {
  if (!impl_) return;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stop = true;
  }
  impl_->cv.notify_all();
  uint64_t one = 1;
  (void)!::write(impl_->wake_fd, &one, sizeof one);
  if (impl_->thread.joinable()) impl_->thread.join();
  if (impl_->periodic.joinable()) impl_->periodic.join();
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& c : impl_->clients) ::close(c.fd);
    impl_->clients.clear();
  }
  ::close(impl_->listen_fd);
  ::close(impl_->wake_fd);
  impl_.reset();
}

uint16_t NvrAlarmServer::Port() const {
  return impl_ ? impl_->port : 0;
}

size_t NvrAlarmServer::Clients() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  size_t n = 0;
  for (const auto& c : impl_->clients) n += c.open ? 1 : 0;
  return n;
}

bool NvrAlarmServer::WaitClients(size_t count, int timeout_ms) const {
  if (!impl_) return false;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    size_t n = 0;
    for (const auto& c : impl_->clients) n += c.open ? 1 : 0;
    return n == count;
  });
}

size_t NvrAlarmServer::Handshakes() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->handshakes;
}

int NvrAlarmServer::SendReport(int channel, int type) {
  return SendRaw("chan=" + std::to_string(channel) + "&type=" + std::to_string(type) + "&");
}

int NvrAlarmServer::SendRaw(const std::string& bytes) {
  return impl_ ? impl_->Send(bytes) : 0;
}

void NvrAlarmServer::StartPeriodicReports(int interval_ms, int channel, int type) {
  if (!impl_ || impl_->periodic.joinable()) return;
  Impl* raw = impl_.get();
  std::string report = "chan=" + std::to_string(channel) + "&type=" + std::to_string(type) + "&";
  impl_->periodic = std::thread([raw, interval_ms, report] {
    std::unique_lock<std::mutex> lock(raw->mutex);
    while (!raw->cv.wait_for(lock, std::chrono::milliseconds(interval_ms),
                             [&] { return raw->stop; })) {
      for (auto& c : raw->clients) {
        if (c.open) SendAll(c.fd, report);
      }
    }
  });
}

}  // namespace devicesim
