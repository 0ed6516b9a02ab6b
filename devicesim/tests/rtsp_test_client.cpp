#include "rtsp_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace devicesim::testing {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string RtspReply::Header(const std::string& name) const {
  const std::string key = "\r\n" + name + ":";
  size_t p = head.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  while (p < head.size() && head[p] == ' ') ++p;
  return head.substr(p, head.find("\r\n", p) - p);
}

RawRtspClient::~RawRtspClient() {
  if (fd_ >= 0) close(fd_);
}

bool RawRtspClient::Connect(uint16_t port, const char* host) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, host, &a.sin_addr);
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  return fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool RawRtspClient::Send(const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = send(fd_, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool RawRtspClient::Fill(int timeout_ms) {
  if (eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char tmp[65536];
  ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  buf_.append(tmp, static_cast<size_t>(n));
  return true;
}

// Moves one complete reply or frame from the buffer to its list.
bool RawRtspClient::ParseOne() {
  if (buf_.empty()) return false;
  if (buf_[0] == '$') {
    if (buf_.size() < 4) return false;
    const size_t len = (static_cast<uint8_t>(buf_[2]) << 8) | static_cast<uint8_t>(buf_[3]);
    if (buf_.size() < 4 + len) return false;
    Interleaved f;
    f.channel = static_cast<uint8_t>(buf_[1]);
    f.data.assign(buf_.begin() + 4, buf_.begin() + 4 + static_cast<ptrdiff_t>(len));
    frames_.push_back(std::move(f));
    buf_.erase(0, 4 + len);
    return true;
  }
  const size_t end = buf_.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  RtspReply r;
  r.head = buf_.substr(0, end + 2);
  size_t body = 0;
  const std::string cl = r.Header("Content-Length");
  if (!cl.empty()) body = std::stoul(cl);
  if (buf_.size() < end + 4 + body) return false;
  r.body = buf_.substr(end + 4, body);
  if (r.head.rfind("RTSP/1.0 ", 0) == 0) r.status = std::atoi(r.head.c_str() + 9);
  buf_.erase(0, end + 4 + body);
  replies_.push_back(std::move(r));
  return true;
}

std::optional<RtspReply> RawRtspClient::ReadReply(int timeout_ms) {
  const int64_t until = NowMs() + timeout_ms;
  for (;;) {
    while (ParseOne()) {
    }
    if (!replies_.empty()) {
      RtspReply r = std::move(replies_.front());
      replies_.erase(replies_.begin());
      return r;
    }
    const int64_t left = until - NowMs();
    if (left <= 0 || !Fill(static_cast<int>(left))) {
      if (left <= 0 || eof_) return std::nullopt;
    }
  }
}

std::optional<Interleaved> RawRtspClient::ReadFrame(int timeout_ms) {
  const int64_t until = NowMs() + timeout_ms;
  for (;;) {
    while (ParseOne()) {
    }
    if (!frames_.empty()) {
      Interleaved f = std::move(frames_.front());
      frames_.erase(frames_.begin());
      return f;
    }
    const int64_t left = until - NowMs();
    if (left <= 0 || (!Fill(static_cast<int>(left)) && eof_)) return std::nullopt;
  }
}

bool RawRtspClient::WaitClosed(int timeout_ms) {
  const int64_t until = NowMs() + timeout_ms;
  while (!eof_) {
    const int64_t left = until - NowMs();
    if (left <= 0) return false;
    Fill(static_cast<int>(left));
    buf_.clear();
  }
  return true;
}

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) close(fd_);
  if (fd_rtcp_ >= 0) close(fd_rtcp_);
}

bool UdpReceiver::Open() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (fd_ >= 0) close(fd_);
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) continue;
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t p = ntohs(a.sin_port);
    if (p % 2 || p == 65535) continue;
    fd_rtcp_ = socket(AF_INET, SOCK_DGRAM, 0);
    a.sin_port = htons(p + 1);
    if (bind(fd_rtcp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_rtcp_);
      fd_rtcp_ = -1;
      continue;
    }
    int rcvbuf = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    port_ = p;
    return true;
  }
  return false;
}

std::optional<std::vector<uint8_t>> UdpReceiver::Receive(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
  std::vector<uint8_t> buf(65536);
  ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  if (n <= 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return buf;
}

uint16_t RtpSeq(const std::vector<uint8_t>& p) {
  return p.size() >= 4 ? static_cast<uint16_t>((p[2] << 8) | p[3]) : 0;
}

bool RtpMarker(const std::vector<uint8_t>& p) {
  return p.size() >= 2 && (p[1] & 0x80);
}

}  // namespace devicesim::testing
