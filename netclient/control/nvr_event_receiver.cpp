#include "control/nvr_event_receiver.h"

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "api/process_state.h"
#include "control/nvr_report.h"
#include "quornet.h"

namespace quornet {

namespace {

constexpr int32_t kConnectTimeoutMs = 3000;
constexpr int32_t kSendTimeoutMs = 1000;
constexpr int32_t kHandshakeTimeoutMs = 1000;
constexpr int32_t kPollMs = 100;
constexpr uint32_t kPassSleepMs = 20;
// Shortest wait before a new connection attempt, also with a reconnect pause
// of 0: a recorder that refuses at once is not hammered.
constexpr uint32_t kMinReconnectMs = 100;

struct AddrInfoDeleter {
  void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};

}  // namespace

CNVREventReceiver::CNVREventReceiver(const char* host, int32_t port, int32_t context)
    : port_(port), context_(context) {
  if (host != nullptr) std::snprintf(host_, sizeof host_, "%s", host);
}

CNVREventReceiver::~CNVREventReceiver() {
  Stop();
}

void CNVREventReceiver::Stop() {
  stop_.store(true, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(sock_mutex_);
    if (sock_ != nullptr) sock_->Close();
  }
  Wait();
}

bool CNVREventReceiver::Pause(uint32_t ms) {
  for (uint32_t waited = 0; waited < ms; waited += 100) {
    if (stop_.load(std::memory_order_acquire)) return false;
    qrplat::SleepMs(std::min<uint32_t>(100, ms - waited));
  }
  return !stop_.load(std::memory_order_acquire);
}

void CNVREventReceiver::Report(std::string_view text) {
  int32_t value = 0;
  if (!nvr::ParseReport(text, &value)) return;
  QRNET_StatusCallback callback = StatusCallback();
  if (callback != nullptr) {  // these reports are never posted as messages
    try {
      callback(handle_, 7, value, context_);
    } catch (...) {
    }
  }
  reports_read_.fetch_add(1);
}

int32_t CNVREventReceiver::Thread() {
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", port_);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (getaddrinfo(host_, port_text, &hints, &found) != 0 || found == nullptr) {
    qrplat::DebugOutput("nvr alarm: cannot resolve %s\n", host_);
    return -1;
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> address(found);

  char buf[4096];
  while (!stop_.load(std::memory_order_acquire)) {
    auto sock = std::make_unique<CQuorsock>(0);
    if (!sock->Create(address->ai_family, kConnectTimeoutMs, kSendTimeoutMs, kHandshakeTimeoutMs,
                      -1)) {
      qrplat::DebugOutput("nvr alarm: cannot create a socket\n");
      return -1;
    }
    {
      std::lock_guard<std::mutex> lock(sock_mutex_);
      if (stop_.load(std::memory_order_acquire)) break;
      sock_ = sock.get();
    }
    bool open = false;
    // Bytes behind "ok" in the handshake answer: the start of the first
    // report, which a recorder may send right behind its answer.
    std::string carry;
    const bool connected = sock->Connect(address->ai_addr, socklen_t(address->ai_addrlen)) != 0;
    if (connected && sock->Send(nvr::kHandshake.data(), int32_t(nvr::kHandshake.size()))) {
      int32_t received = 0;
      char answer[nvr::kHandshakeReplyBytes];
      open = sock->Recv(answer, int32_t(sizeof answer), &received) && received > 0 &&
             nvr::HandshakeAccepted(std::string_view(answer, size_t(received)));
      if (open) {
        std::string_view text(answer, size_t(received));
        carry.assign(text.substr(text.find("ok") + 2));
      }
      if (!open) qrplat::DebugOutput("nvr alarm: handshake refused\n");
    } else if (!connected) {
      qrplat::DebugOutput("nvr alarm: cannot connect to %s:%d\n", host_, port_);
    }
    if (open) {
      sock->SetRecvTimeOut(kPollMs);
      while (!stop_.load(std::memory_order_acquire)) {
        const auto begin = std::chrono::steady_clock::now();
        int32_t received = 0;
        if (sock->Recv(buf, int32_t(sizeof buf), &received) && received > 0) {
          if (carry.empty()) {
            Report(std::string_view(buf, size_t(received)));
          } else {
            carry.append(buf, size_t(received));
            Report(carry);
            carry.clear();
          }
        } else if (std::chrono::steady_clock::now() - begin <
                   std::chrono::milliseconds(kPollMs / 2)) {
          // Gave up before the wait was over: closed or failed, not idle.
          qrplat::DebugOutput("nvr alarm: connection lost\n");
          break;
        }
        qrplat::SleepMs(kPassSleepMs);
      }
    }
    {
      std::lock_guard<std::mutex> lock(sock_mutex_);
      sock_ = nullptr;
    }
    sock->Close();
    if (stop_.load(std::memory_order_acquire)) break;
    // A failed connection attempt waits the reconnect pause; a lost channel or
    // a refused handshake is retried at once.
    uint32_t pause =
        connected ? 0 : uint32_t(std::clamp(GetWaitTimes().reconnect_pause_s, 0, 86400)) * 1000u;
    if (!Pause(std::max(pause, kMinReconnectMs))) break;
  }
  return 0;
}

}  // namespace quornet

using quornet::CHandleTable;
using quornet::CNVREventReceiver;

extern "C" {

QRNET_API uint32_t QRNET_ClientNVRConnectAlarm(const char* host, int32_t port, int32_t context) {
  try {
    if (host == nullptr || std::strlen(host) > CNVREventReceiver::kMaxHostLength) return 0;
    auto receiver = std::make_shared<CNVREventReceiver>(host, port, context);
    CHandleTable& table = CHandleTable::Instance();
    // The id is known to the thread before it runs and becomes visible to
    // callers only once the thread started.
    const uint32_t handle = table.Reserve();
    if (handle == 0) return 0;
    receiver->SetHandle(handle);
    if (receiver->Start() != 0 || !table.Publish(handle, receiver)) {
      table.Remove(handle);
      receiver->Stop();
      return 0;
    }
    return handle;
  } catch (...) {
    return 0;
  }
}

QRNET_API int32_t QRNET_ClientNVRDisConnectAlarm(uint32_t handle) {
  try {
    std::shared_ptr<CNVREventReceiver> receiver =
        CHandleTable::Instance().RemoveAs<CNVREventReceiver>(handle);
    if (!receiver) return 0;
    receiver->Stop();
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
