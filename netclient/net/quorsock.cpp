#include "net/quorsock.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "qrplat/thread.h"

namespace quornet {
namespace {

// Finds the end of the HTTP header block in buf[0, n): the offset just past
// the blank line, or 0 when it is not complete yet.
size_t HeaderEnd(const char* buf, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    if (buf[i] != '\n') continue;
    if (buf[i + 1] == '\n') return i + 2;
    if (i + 2 < n && buf[i + 1] == '\r' && buf[i + 2] == '\n') return i + 3;
  }
  return 0;
}

struct HttpFraming {
  bool chunked = false;
  bool has_length = false;
  size_t content_length = 0;
  bool no_body = false;
};

// Reads the framing headers of a header block (case-insensitive names).
HttpFraming ParseFraming(const char* buf, size_t header_len) {
  HttpFraming f;
  // Status line: "HTTP/x.y NNN ...". 1xx, 204 and 304 replies have no body.
  if (header_len > 12 && strncasecmp(buf, "HTTP/", 5) == 0) {
    const char* sp = static_cast<const char*>(std::memchr(buf, ' ', header_len));
    if (sp != nullptr && size_t(sp - buf) + 4 <= header_len) {
      int code = 0;
      for (int i = 1; i <= 3; ++i) {
        if (sp[i] < '0' || sp[i] > '9') {
          code = 0;
          break;
        }
        code = code * 10 + (sp[i] - '0');
      }
      if ((code >= 100 && code < 200) || code == 204 || code == 304) f.no_body = true;
    }
  }
  size_t pos = 0;
  while (pos < header_len) {
    const char* line = buf + pos;
    const char* nl = static_cast<const char*>(std::memchr(line, '\n', header_len - pos));
    size_t len = nl ? size_t(nl - line) : header_len - pos;
    pos += len + 1;
    std::string text(line, len);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    size_t colon = text.find(':');
    if (colon == std::string::npos) continue;
    std::string name = text.substr(0, colon);
    std::string value = text.substr(colon + 1);
    size_t b = value.find_first_not_of(" \t");
    value = b == std::string::npos ? "" : value.substr(b);
    if (strcasecmp(name.c_str(), "Content-Length") == 0) {
      size_t v = 0;
      bool digits = false;
      for (char c : value) {
        if (c < '0' || c > '9') break;
        digits = true;
        if (v > (SIZE_MAX - 9) / 10) {  // absurd length: cap, it will not fit
          v = SIZE_MAX / 2;
          break;
        }
        v = v * 10 + size_t(c - '0');
      }
      if (digits) {
        f.has_length = true;
        f.content_length = v;
      }
    } else if (strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
      for (auto& c : value) c = char(tolower(static_cast<unsigned char>(c)));
      if (value.find("chunked") != std::string::npos) f.chunked = true;
    }
  }
  return f;
}

}  // namespace

CQuorsock::CQuorsock(int32_t /*mode*/) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CQuorsock::~CQuorsock() {
  Close();
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) {  // only when a call is still running, which the owner must not allow
    ::close(fd_);
    fd_ = -1;
  }
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

int32_t CQuorsock::InitSSL() {
  return 1;
}
void CQuorsock::CloseSSL() {}

int32_t CQuorsock::CreateSocket(int family) {
  int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0 && users_ == 0) ::close(fd_);
  fd_ = fd;
  closing_ = false;
  if (wake_fd_ >= 0) {  // forget a Close of a previous socket
    uint64_t v;
    while (::read(wake_fd_, &v, sizeof(v)) > 0) {
    }
  }
  return 1;
}

int32_t CQuorsock::Create(int32_t family, int32_t connect_timeout_ms, int32_t send_timeout_ms,
                          int32_t recv_timeout_ms, int32_t /*linger*/) {
  if (wake_fd_ < 0) return 0;
  connect_timeout_ms_ = connect_timeout_ms;
  send_timeout_ms_ = send_timeout_ms;
  recv_timeout_ms_ = recv_timeout_ms;
  return CreateSocket(family);
}

int32_t CQuorsock::Create(const char* host, int32_t port, int32_t connect_timeout_ms,
                          int32_t send_timeout_ms, int32_t recv_timeout_ms, int32_t linger) {
  addresses_.clear();
  address_lengths_.clear();
  if (host == nullptr || host[0] == 0 || port <= 0 || port > 65535) return 0;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  char service[16];
  std::snprintf(service, sizeof(service), "%d", port);
  addrinfo* list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return 0;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    sockaddr_storage ss{};
    std::memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
    addresses_.push_back(ss);
    address_lengths_.push_back(ai->ai_addrlen);
  }
  freeaddrinfo(list);
  if (addresses_.empty()) return 0;
  return Create(addresses_[0].ss_family, connect_timeout_ms, send_timeout_ms, recv_timeout_ms,
                linger);
}

int CQuorsock::Use() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || closing_) return -1;
  ++users_;
  return fd_;
}

void CQuorsock::Unuse() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--users_ == 0 && closing_) {
    ::close(fd_);
    fd_ = -1;
    closing_ = false;
  }
}

void CQuorsock::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0 || closing_) return;
  if (users_ == 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  // A call runs on the socket in another thread: wake it and let it close
  // the descriptor when it leaves.
  closing_ = true;
  ::shutdown(fd_, SHUT_RDWR);
  uint64_t one = 1;
  if (wake_fd_ >= 0) (void)!::write(wake_fd_, &one, sizeof(one));
}

void CQuorsock::SetDeadline(int32_t ms) {
  has_deadline_ = ms > 0;
  deadline_tick_ = qrplat::TickCount() + uint32_t(ms > 0 ? ms : 0);
}

CQuorsock::Wait CQuorsock::WaitFor(int fd, short events, int32_t timeout_ms) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
  for (;;) {
    if (has_deadline_) {
      const int32_t left = int32_t(deadline_tick_ - qrplat::TickCount());
      if (left <= 0) return Wait::kTimeout;
      if (timeout_ms <= 0 || left < timeout_ms) timeout_ms = left;
    }
    int r = ::poll(fds, 2, timeout_ms > 0 ? timeout_ms : -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Wait::kError;
    if (r == 0) return Wait::kTimeout;
    if (fds[1].revents != 0) return Wait::kClosed;
    return Wait::kReady;
  }
}

int32_t CQuorsock::Connect(const sockaddr* address, socklen_t length) {
  if (address == nullptr) return 0;
  int fd = Use();
  if (fd < 0) return 0;
  int32_t ok = 0;
  if (::connect(fd, address, length) == 0) {
    ok = 1;
  } else if (errno == EINPROGRESS || errno == EINTR) {
    if (WaitFor(fd, POLLOUT, connect_timeout_ms_) == Wait::kReady) {
      int error = 0;
      socklen_t len = sizeof(error);
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0) ok = 1;
    }
  }
  Unuse();
  return ok;
}

int32_t CQuorsock::Connect() {
  for (size_t i = 0; i < addresses_.size(); ++i) {
    if (i > 0) {
      // A socket whose connect failed cannot be reused; the next address may
      // also be of another family.
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0 || closing_) return 0;  // closed by another thread
      }
      if (!CreateSocket(addresses_[i].ss_family)) return 0;
    }
    if (Connect(reinterpret_cast<const sockaddr*>(&addresses_[i]), address_lengths_[i])) return 1;
  }
  return 0;
}

int32_t CQuorsock::Send(const char* data, int32_t length) {
  if (data == nullptr || length < 0) return 0;
  int fd = Use();
  if (fd < 0) return 0;
  int32_t sent = 0;
  bool ok = true;
  while (sent < length) {
    ssize_t n = ::send(fd, data + sent, size_t(length - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += int32_t(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd, POLLOUT, send_timeout_ms_) != Wait::kReady) {
        ok = false;
        break;
      }
    } else {
      ok = false;
      break;
    }
  }
  Unuse();
  return ok ? 1 : 0;
}

int CQuorsock::ReceiveSome(int fd, char* buffer, size_t capacity) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n > 0) return int(n);
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (WaitFor(fd, POLLIN, recv_timeout_ms_) != Wait::kReady) return -1;
  }
}

int32_t CQuorsock::Recv(char* buffer, int32_t capacity, int32_t* received) {
  if (received != nullptr) *received = 0;
  if (buffer == nullptr || capacity <= 0) return 0;
  int fd = Use();
  if (fd < 0) return 0;
  int n = ReceiveSome(fd, buffer, size_t(capacity));
  Unuse();
  recv_closed_ = n == 0;
  if (n <= 0) return 0;
  if (received != nullptr) *received = n;
  return 1;
}

int32_t CQuorsock::RecvFull(char* buffer, int32_t length) {
  if (buffer == nullptr || length <= 0) return 0;
  int fd = Use();
  if (fd < 0) return 0;
  int32_t got = 0;
  while (got < length) {
    int n = ReceiveSome(fd, buffer + got, size_t(length - got));
    if (n <= 0) break;
    got += n;
  }
  Unuse();
  return got == length ? length : 0;
}

int32_t CQuorsock::RecvFullHttp(char* buffer, int32_t capacity, int32_t* received) {
  if (received != nullptr) *received = 0;
  if (buffer == nullptr || capacity < 2) return 0;
  int fd = Use();
  if (fd < 0) return 0;
  const size_t limit = size_t(capacity) - 1;  // room for the terminator
  size_t got = 0;
  bool ok = false;
  bool closed = false;  // the peer closed the connection
  bool timed_out = false;

  // Reads more bytes to buffer[got, limit). False when nothing came.
  overflowed_ = false;
  auto fill = [&]() -> bool {
    if (got >= limit) {
      overflowed_ = true;
      return false;
    }
    int n = ReceiveSome(fd, buffer + got, limit - got);
    if (n > 0) {
      got += size_t(n);
      return true;
    }
    if (n == 0) {
      closed = true;
    } else {
      timed_out = true;
    }
    return false;
  };

  size_t header_len = 0;
  for (;;) {
    header_len = HeaderEnd(buffer, got);
    if (header_len != 0) break;
    if (!fill()) break;
  }

  if (header_len == 0) {
    // No complete header block: acceptable only when the peer ended the
    // reply by closing (some devices answer with a bare status line).
    ok = closed && got > 0;
  } else {
    HttpFraming framing = ParseFraming(buffer, header_len);
    if (framing.no_body) {
      got = header_len;
      ok = true;
    } else if (framing.chunked) {
      // De-chunk in place: decoded body at [out, ...), unparsed raw bytes at
      // [in, got). out <= in always.
      size_t out = header_len, in = header_len;
      auto more = [&]() -> bool {
        if (got == limit && in > out) {  // make room by dropping parsed bytes
          std::memmove(buffer + out, buffer + in, got - in);
          got = out + (got - in);
          in = out;
        }
        return fill();
      };
      for (;;) {
        // Chunk size line.
        const char* nl = static_cast<const char*>(std::memchr(buffer + in, '\n', got - in));
        if (nl == nullptr) {
          if (!more()) break;
          continue;
        }
        size_t size = 0;
        size_t digits = 0;
        for (const char* p = buffer + in; p < nl; ++p) {
          int v = (*p >= '0' && *p <= '9')   ? *p - '0'
                  : (*p >= 'a' && *p <= 'f') ? *p - 'a' + 10
                  : (*p >= 'A' && *p <= 'F') ? *p - 'A' + 10
                                             : -1;
          if (v < 0) break;
          size = size * 16 + size_t(v);
          if (++digits > 8) break;  // larger than any buffer we have
        }
        if (digits == 0 || digits > 8) break;
        in = size_t(nl - buffer) + 1;
        if (size == 0) {
          // Trailer fields up to an empty line.
          bool done = false;
          for (;;) {
            const char* end = static_cast<const char*>(std::memchr(buffer + in, '\n', got - in));
            if (end == nullptr) {
              if (!more()) break;
              continue;
            }
            size_t line_len = size_t(end - (buffer + in));
            bool empty = line_len == 0 || (line_len == 1 && buffer[in] == '\r');
            in = size_t(end - buffer) + 1;
            if (empty) {
              done = true;
              break;
            }
          }
          // A peer that closes right after the last chunk is complete too.
          ok = done || closed;
          got = out;
          break;
        }
        // Chunk data, then its line end.
        bool failed = false;
        while (size > 0) {
          size_t avail = got - in;
          if (avail == 0) {
            if (!more()) {
              failed = true;
              break;
            }
            continue;
          }
          size_t take = avail < size ? avail : size;
          std::memmove(buffer + out, buffer + in, take);
          out += take;
          in += take;
          size -= take;
        }
        if (failed) break;
        while (got - in < 2) {
          if (!more()) {
            failed = true;
            break;
          }
        }
        if (failed) break;
        if (buffer[in] == '\r') ++in;
        if (buffer[in] == '\n') ++in;
      }
      if (!ok) got = out;
    } else if (framing.has_length) {
      if (framing.content_length > limit - header_len) {
        while (fill()) {
        }
        overflowed_ = true;
        ok = false;
      } else {
        size_t total = header_len + framing.content_length;
        while (got < total && fill()) {
        }
        ok = got >= total;
        if (got > total) got = total;  // bytes of a following reply are not ours
      }
    } else {
      // Delimited by the peer closing. A device that neither closes nor sends
      // a length ends its reply with silence: a receive time-out then ends it.
      while (fill()) {
      }
      if (got < limit) {
        ok = closed || timed_out;
      } else {
        char probe;
        ok = ReceiveSome(fd, &probe, 1) == 0;  // full buffer: fits only if nothing follows
        overflowed_ = !ok;
      }
    }
  }
  Unuse();
  buffer[got] = 0;
  if (received != nullptr) *received = int32_t(got);
  return ok ? 1 : 0;
}

int32_t CQuorsock::SetRecvTimeOut(int32_t ms) {
  recv_timeout_ms_ = ms;
  return 1;
}

namespace {
int32_t SetOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof(value)) == 0 ? 1 : 0;
}
}  // namespace

int32_t CQuorsock::SetNoDelay(int32_t on) {
  int fd = Use();
  if (fd < 0) return 0;
  int32_t r = SetOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
  Unuse();
  return r;
}

int32_t CQuorsock::SetRecvBuff(int32_t bytes) {
  int fd = Use();
  if (fd < 0) return 0;
  int32_t r = SetOption(fd, SOL_SOCKET, SO_RCVBUF, bytes);
  Unuse();
  return r;
}

int32_t CQuorsock::SetSendBuff(int32_t bytes) {
  int fd = Use();
  if (fd < 0) return 0;
  int32_t r = SetOption(fd, SOL_SOCKET, SO_SNDBUF, bytes);
  Unuse();
  return r;
}

}  // namespace quornet
