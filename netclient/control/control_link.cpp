#include "control/control_link.h"

#include <netdb.h>
#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "control/nvr_http.h"
#include "qrplat/thread.h"

namespace quornet::ctl {
namespace {

std::atomic<int32_t> g_nvr_deadline_ms{15000};

// True when the header block of `reply` frames its body (a length or chunked
// coding), so the connection can carry the next request.
bool SelfDelimited(std::string_view reply) {
  size_t end = reply.find("\r\n\r\n");
  std::string header(reply.substr(0, end == std::string_view::npos ? reply.size() : end));
  for (char& c : header) c = char(tolower(static_cast<unsigned char>(c)));
  if (header.find("\ncontent-length:") != std::string::npos) return true;
  size_t te = header.find("\ntransfer-encoding:");
  return te != std::string::npos && header.find("chunked", te) != std::string::npos;
}

}  // namespace

Dial Connect(CQuorsock& sock, const char* host, int32_t port, const Timeouts& timeouts,
             int32_t deadline_ms) {
  if (host == nullptr || host[0] == '\0' || port <= 0 || port > 65535) return Dial::kResolve;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return Dial::kResolve;
  Dial result = Dial::kConnect;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (!sock.Create(ai->ai_family, timeouts.connect_ms, timeouts.send_ms, timeouts.recv_ms, -1)) {
      result = Dial::kSocket;
      continue;
    }
    sock.SetDeadline(deadline_ms);
    if (sock.Connect(ai->ai_addr, ai->ai_addrlen)) {
      result = Dial::kOk;
      break;
    }
    result = Dial::kConnect;
  }
  freeaddrinfo(list);
  return result;
}

int32_t NvrCallDeadlineMs() {
  return g_nvr_deadline_ms.load();
}

void SetNvrCallDeadlineMs(int32_t ms) {
  g_nvr_deadline_ms.store(ms > 0 ? ms : 15000);
}

NvrLink::NvrLink(const char* host, int32_t port, int32_t socket_mode, int32_t recv_buffer)
    : host_(host),
      port_(port),
      mode_(socket_mode),
      recv_buffer_(recv_buffer),
      start_tick_(qrplat::TickCount()) {}

Dial NvrLink::Open() {
  sock_ = std::make_unique<CQuorsock>(mode_);
  const int32_t left = NvrCallDeadlineMs() - int32_t(qrplat::TickCount() - start_tick_);
  if (left <= 0) return Dial::kConnect;
  Dial d = Connect(*sock_, host_, port_, kNvrTimeouts, left);
  if (d == Dial::kOk && recv_buffer_ > 0) sock_->SetRecvBuff(recv_buffer_);
  spent_ = false;
  return d;
}

int32_t NvrLink::Exchange(const std::string& request, size_t capacity, std::string* reply) {
  if (!sock_ || spent_) {
    if (Open() != Dial::kOk) return nvrhttp::kRecvFailed;
  }
  if (!sock_->Send(request.data(), int32_t(request.size()))) return nvrhttp::kSendFailed;
  std::vector<char> buf(capacity);
  int32_t received = 0;
  const bool ok = sock_->RecvFullHttp(buf.data(), int32_t(capacity), &received) != 0;
  if (!ok && !sock_->LastReplyOverflowed()) {
    spent_ = true;
    return nvrhttp::kRecvFailed;
  }
  reply->assign(buf.data(), size_t(received));
  if (!ok || !SelfDelimited(*reply)) spent_ = true;
  // Ended by closing before its header block was complete: cut, not a reply.
  if (ok && reply->find("\r\n\r\n") == std::string::npos) return nvrhttp::kRecvFailed;
  return 0;
}

Read ReadReply(CQuorsock& sock, char* buffer, size_t capacity, size_t* received,
               const std::function<bool(std::string_view)>& complete) {
  size_t got = 0;
  *received = 0;
  Read result = Read::kOk;
  while (got < capacity) {
    int32_t n = 0;
    if (!sock.Recv(buffer + got, int32_t(capacity - got), &n) || n <= 0) {
      if (sock.LastRecvClosed()) {
        result = got > 0 ? Read::kOk : Read::kClosedEmpty;
      } else {
        result = got > 0 ? Read::kPartial : Read::kNothing;
      }
      break;
    }
    got += size_t(n);
    if (complete && complete(std::string_view(buffer, got))) break;
  }
  *received = got;
  return result;
}

}  // namespace quornet::ctl
