#include "net/rtsp_session.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "api/process_state.h"
#include "net/interleaved.h"
#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsLeft(Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// A text field of the client record that need not be terminated.
std::string Field(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

// Client nonce of a Digest answer with qop: 16 hexadecimal digits.
std::string MakeClientNonce() {
  std::random_device rd;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", rd(), rd());
  return text;
}

void SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

CRtspSession::CRtspSession(CClientSession& client, bool udp) : client_(client), udp_(udp) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CRtspSession::~CRtspSession() {
  Close();
  if (wake_fd_ >= 0) close(wake_fd_);
}

void CRtspSession::Abort() {
  if (aborted_.exchange(true)) return;
  if (wake_fd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(wake_fd_, &one, sizeof one);
    (void)r;
  }
  std::lock_guard<std::mutex> lock(mailbox_mutex_);
  mailbox_cv_.notify_all();
}

void CRtspSession::CloseFd(std::atomic<int>& fd) {
  std::lock_guard<std::mutex> lock(fd_mutex_);
  int old = fd.exchange(-1);
  if (old >= 0) close(old);
}

void CRtspSession::CloseRtpSockets() {
  CloseFd(video_fd_);
  CloseFd(audio_fd_);
}

void CRtspSession::Close() {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  in_session_ = false;
  SetInterleavedStreaming(false);
  CloseRtpSockets();
  CloseFd(control_fd_);
  rx_.clear();
}

int32_t CRtspSession::Open() {
  Close();
  return OpenPeer(Field(client_.host, sizeof client_.host), client_.port);
}

int32_t CRtspSession::OpenPeer(const std::string& host, int32_t port_number) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string port = std::to_string(port_number);
  if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) {
    if (res) freeaddrinfo(res);
    return -2;
  }
  std::memcpy(&peer_, res->ai_addr, res->ai_addrlen);
  peer_len_ = res->ai_addrlen;
  family_ = res->ai_family;
  freeaddrinfo(res);

  std::lock_guard<std::mutex> lock(fd_mutex_);
  int tcp = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (tcp < 0) return -1;
  control_fd_.store(tcp);
  if (udp_) {
    int v = socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int a = socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    video_fd_.store(v);
    audio_fd_.store(a);
    if (v < 0 || a < 0) {
      for (std::atomic<int>* fd : {&control_fd_, &video_fd_, &audio_fd_}) {
        int old = fd->exchange(-1);
        if (old >= 0) close(old);
      }
      return -1;
    }
  }
  return 0;
}

bool CRtspSession::Connect() {
  const int fd = control_fd_.load();
  if (fd < 0 || aborted_) return false;
  SetNonBlocking(fd);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer_), peer_len_) != 0 &&
      errno != EINPROGRESS) {
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(GetWaitTimes().connect_timeout_s);
  for (;;) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    int64_t left = MsLeft(deadline);
    if (left <= 0) return false;
    int r = poll(p, 2, static_cast<int>(left < 100 ? left : 100));
    if (aborted_ || (r > 0 && (p[1].revents & POLLIN))) return false;
    if (r > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      return err == 0;
    }
    if (r < 0 && errno != EINTR) return false;
  }
}

bool CRtspSession::SendText(const std::string& text, int timeout_ms) {
  const int fd = control_fd_.load();
  if (fd < 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  size_t sent = 0;
  while (sent < text.size()) {
    if (aborted_) return false;
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    int64_t left = MsLeft(deadline);
    if (left <= 0) return false;
    pollfd p[2] = {{fd, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
    poll(p, 2, static_cast<int>(left < 100 ? left : 100));
  }
  return true;
}

bool CRtspSession::ReadReply(std::string* reply, int timeout_ms) {
  const int fd = control_fd_.load();
  if (fd < 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[kMaxReply];
  for (;;) {
    long n = rtsp::MessageLength(rx_, kMaxReply);
    if (n < 0) {
      rx_.clear();
      return false;
    }
    if (n > 0) {
      reply->assign(rx_, 0, static_cast<size_t>(n));
      rx_.erase(0, static_cast<size_t>(n));
      return true;
    }
    if (aborted_) return false;
    int64_t left = MsLeft(deadline);
    if (left <= 0) return false;
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int r = poll(p, 2, static_cast<int>(left < 100 ? left : 100));
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0 || !(p[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    ssize_t got = recv(fd, buf, kMaxReply - rx_.size(), MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return false;
    }
    rx_.append(buf, static_cast<size_t>(got));
  }
}

bool CRtspSession::Exchange(const std::string& request, std::string* reply, int timeout_ms) {
  if (!SendText(request, timeout_ms)) return false;
  const int cseq = rtsp::ParseCSeq(request);
  // A late reply to an earlier request (one that timed out) is skipped.
  for (int i = 0; i < 4; ++i) {
    if (!ReadReply(reply, timeout_ms)) return false;
    int got = rtsp::ParseCSeq(*reply);
    if (got < 0 || cseq < 0 || got >= cseq) return true;
  }
  return false;
}

bool CRtspSession::BindRtpSocket(int* port_out, std::atomic<int>* slot, int receive_buffer) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    int fd = slot->load();
    if (fd < 0) {
      std::lock_guard<std::mutex> lock(fd_mutex_);
      fd = socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd < 0) return false;
      slot->store(fd);
    }
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    const int port = rtsp::NextRtpClientPort();
    sockaddr_storage any{};
    socklen_t len = 0;
    if (family_ == AF_INET6) {
      auto* a6 = reinterpret_cast<sockaddr_in6*>(&any);
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_any;
      a6->sin6_port = htons(static_cast<uint16_t>(port));
      len = sizeof(sockaddr_in6);
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(&any);
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_ANY);
      a4->sin_port = htons(static_cast<uint16_t>(port));
      len = sizeof(sockaddr_in);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), len) == 0) {
      *port_out = port;
      return true;
    }
    CloseFd(*slot);  // a fresh socket for the next port
  }
  return false;
}

int32_t CRtspSession::Start(bool replay) {
  // Connect step: per attempt, CSeq, challenge and session restart.
  video_server_port_ = audio_server_port_ = 0;
  session_timeout_s_.store(0);
  {
    std::lock_guard<std::recursive_mutex> lock(request_mutex_);
    keep_alive_options_ = false;
  }
  ctx_ = rtsp::RequestContext{};
  ctx_.cseq = 1;
  ctx_.udp = udp_;
  ctx_.host = Field(client_.host2[0] ? client_.host2 : client_.host, sizeof client_.host);
  ctx_.channel = client_.channel.load();
  suffix_ = Field(client_.path_suffix, sizeof client_.path_suffix);
  const int32_t port = client_.port;
  int32_t kind = rtsp::kServerGeneric;
  if (replay) {
    {
      std::lock_guard<std::mutex> lock(client_.text_mutex);
      ctx_.start_time = Field(client_.requested_start_time, sizeof client_.requested_start_time);
    }
    ctx_.base_url = rtsp::ReplayBaseUrl(ctx_.host, port, ctx_.channel, ctx_.start_time);
    kind = rtsp::kServerRecorder;
  } else if (client_.standard_url) {
    // A full rtsp:// address: its own URL, the standard requests.
    kind = rtsp::kServerPathSuffix;
    ctx_.base_url = rtsp::MakeRtspUrl(ctx_.host, port, suffix_);
    suffix_.clear();
  } else {
    ctx_.base_url = rtsp::LiveBaseUrl(ctx_.host, port, ctx_.channel, suffix_, &kind);
  }
  client_.server_kind.store(kind);
  format_ = rtsp::StreamFormat{};
  format_.width = client_.width.load();
  format_.height = client_.height.load();
  format_.frame_rate = client_.frame_rate.load();
  format_.bit_rate = client_.bit_rate_value.load();
  if (!Connect()) return 0;

  // DESCRIBE, answering a challenge once.
  std::string request_url = ctx_.base_url + suffix_;
  const std::string first = rtsp::DescribeRequest(ctx_.base_url, suffix_, ctx_.cseq++);
  std::string reply;
  if (!Exchange(first, &reply, kStartTimeoutMs)) return 0;
  rtsp::Banner banner;
  if (!replay && !client_.standard_url && reply.find(rtsp::kBannerV200) != std::string::npos) {
    kind = rtsp::kServerBanner;
    if (rtsp::ParseBanner(reply, rtsp::kBannerV200, rtsp::kBannerV200.size() + 1, &banner)) {
      format_.width = banner.width;
      format_.height = banner.height;
      format_.frame_rate = banner.frame_rate;
      format_.bit_rate = banner.bit_rate;
    }
  }
  // Servers addressed by a path may be standard RTSP servers: those may
  // redirect (followed once) and get the standard requests when their
  // description does not use the devices' track names.
  const bool standard_capable = !replay && kind == rtsp::kServerPathSuffix;
  bool standard = !replay && client_.standard_url;
  bool redirected = false;
  auto follow_redirect = [&]() -> int32_t {
    std::string location;
    if (!standard_capable || redirected || !rtsp::RedirectLocation(reply, &location)) return 1;
    redirected = true;
    standard = true;
    if (!Redirect(location, &request_url)) return 0;
    const std::string again =
        rtsp::StandardRequest(ctx_, "DESCRIBE", request_url, false, "Accept: application/sdp\r\n");
    ++ctx_.cseq;
    return Exchange(again, &reply, kStartTimeoutMs) ? 1 : 0;
  };
  if (follow_redirect() == 0) return 0;
  if (rtsp::ReplyUnauthorized(reply)) {
    if (!rtsp::ParseChallenge(reply, &ctx_.auth)) return 0;
    const QRNET_ClientParam& param = client_.param();
    ctx_.auth.user = Field(param.user, sizeof param.user);
    ctx_.auth.password = Field(param.password, sizeof param.password);
    if (client_.url_credentials) {
      ctx_.auth.user = client_.url_user;
      ctx_.auth.password = client_.url_password;
    }
    auto standard_describe = [&]() {
      ctx_.auth.standard = true;
      ctx_.auth.cnonce = MakeClientNonce();
      ctx_.auth.nc = 0;
      const std::string text = rtsp::StandardRequest(ctx_, "DESCRIBE", request_url, false,
                                                     "Accept: application/sdp\r\n");
      ++ctx_.cseq;
      return Exchange(text, &reply, kStartTimeoutMs);
    };
    // The devices never ask for qop: a challenge that does is a standard
    // server's.
    if (standard_capable && ctx_.auth.scheme != rtsp::Auth::Scheme::kNone &&
        (standard || ctx_.auth.qop_auth)) {
      standard = true;
      if (!standard_describe()) return -1;
    } else {
      std::string again = ctx_.auth.scheme == rtsp::Auth::Scheme::kNone
                              ? first
                              : rtsp::DescribeAuthorizedRequest(ctx_);
      ++ctx_.cseq;
      if (!Exchange(again, &reply, kStartTimeoutMs)) return -1;
      // The devices take the authorized DESCRIBE without the path; a
      // standard server wants the whole URL and the uri of the request.
      if (!rtsp::ReplyOk(reply) && standard_capable &&
          ctx_.auth.scheme != rtsp::Auth::Scheme::kNone) {
        if (!standard_describe()) return -1;
        if (rtsp::ReplyOk(reply)) standard = true;
      }
    }
    if (follow_redirect() == 0) return 0;
    if (!rtsp::ReplyOk(reply)) return -1;
  } else if (!rtsp::ReplyOk(reply)) {
    return 0;
  }

  // Stream description.
  format_.server_kind = kind;
  if (replay) {
    rtsp::ReadReplayDescription(reply, &format_);
    ctx_.form = rtsp::UrlForm::kReplay;
  } else if (standard || (standard_capable && !rtsp::UsesDialectControls(reply))) {
    if (!rtsp::ReadStandardDescription(reply, request_url, &format_)) return 0;
    ctx_.form = rtsp::UrlForm::kGeneric;
    // In-session requests name the whole session.
    ctx_.base_url = format_.session_url;
  } else {
    if (!rtsp::ReadLiveDescription(reply, &format_)) return 0;
    ctx_.form = kind == rtsp::kServerRecorder ? rtsp::UrlForm::kMonitor : rtsp::UrlForm::kGeneric;
  }
  client_.server_kind.store(kind);
  client_.width.store(format_.width);
  client_.height.store(format_.height);
  client_.frame_rate.store(format_.frame_rate);
  client_.bit_rate_value.store(format_.bit_rate);
  client_.video_payload.store(format_.video_code);
  client_.video_don.store(format_.video_don ? 1 : 0);
  {
    std::lock_guard<std::mutex> lock(client_.text_mutex);
    const size_t n =
        std::min(format_.video_unsupported.size(), sizeof client_.video_unsupported - 1);
    std::memcpy(client_.video_unsupported, format_.video_unsupported.data(), n);
    client_.video_unsupported[n] = 0;
    const size_t sets =
        std::min(format_.video_parameter_sets.size(), sizeof client_.video_parameter_sets);
    std::memcpy(client_.video_parameter_sets, format_.video_parameter_sets.data(), sets);
    client_.video_parameter_sets_size = static_cast<uint32_t>(sets);
  }
  if (format_.video_code == rtsp::kVideoUnsupported) {
    // The stream still runs (its sound plays); the video is reported, never
    // a black window without a word.
    qrplat::DebugOutput("CRtspSession: video \"%s\" cannot be decoded, no picture\n",
                        format_.video_unsupported.c_str());
    client_.Notify(CClientSession::kNotifyUnsupportedVideo, format_.video_code);
  }
  client_.audio_codec.store(format_.audio_code);
  if (!format_.audio_unsupported.empty()) {
    qrplat::DebugOutput("CRtspSession: audio \"%s\" cannot be decoded, no sound\n",
                        format_.audio_unsupported.c_str());
  }
  int32_t perf = client_.live_view_performance.load();
  int32_t restore = rtsp::RestoreFrameCount(&perf, format_.frame_rate, format_.bit_rate);
  if (format_.frame_rate > 0) client_.live_view_performance.store(perf);
  client_.restore_frame_count.store(restore);

  if (format_.standard) return StartStandard();

  // SETUP video, then audio. Cameras send a key picture of a megabyte and
  // more in one burst: the video socket asks for room for several (the
  // system may grant less).
  if (udp_ && !BindRtpSocket(&video_port_, &video_fd_, kVideoReceiveBuffer)) return 0;
  if (!Exchange(rtsp::SetupVideoRequest(ctx_, format_.video_track, video_port_), &reply,
                kStartTimeoutMs) ||
      !rtsp::ReplyOk(reply)) {
    return 0;
  }
  ++ctx_.cseq;
  ctx_.session_id = rtsp::ParseSessionId(reply);
  session_timeout_s_.store(rtsp::ParseSessionTimeout(reply));
  if (udp_) video_server_port_ = rtsp::ParseServerPort(reply);
  if (format_.audio_track != 0) {
    if (udp_ && !BindRtpSocket(&audio_port_, &audio_fd_, 8192)) return 0;
    if (!Exchange(rtsp::SetupAudioRequest(ctx_, format_.audio_track, audio_port_), &reply,
                  kStartTimeoutMs) ||
        !rtsp::ReplyOk(reply)) {
      return 0;
    }
    ++ctx_.cseq;
    if (udp_) audio_server_port_ = rtsp::ParseServerPort(reply);
  }

  // PLAY.
  if (!Exchange(rtsp::PlayRequest(ctx_, client_.speed_exponent.load()), &reply, kStartTimeoutMs) ||
      !rtsp::ReplyOk(reply)) {
    return 0;
  }
  ++ctx_.cseq;
  if (replay) {
    std::lock_guard<std::mutex> lock(client_.text_mutex);
    CopyTextField(client_.running_start_time, sizeof client_.running_start_time,
                  ctx_.start_time.c_str());
  }
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  in_session_ = true;
  return 1;
}

int32_t CRtspSession::StartStandard() {
  std::string reply;
  // Which keep-alive the server takes: GET_PARAMETER unless its Public
  // header leaves it out.
  if (!Exchange(rtsp::StandardRequest(ctx_, "OPTIONS", format_.session_url, false), &reply,
                kStartTimeoutMs)) {
    return 0;
  }
  ++ctx_.cseq;
  if (rtsp::ReplyOk(reply) && rtsp::PublicListsGetParameter(reply) == 0) {
    std::lock_guard<std::recursive_mutex> lock(request_mutex_);
    keep_alive_options_ = true;
  }

  if (udp_ && !BindRtpSocket(&video_port_, &video_fd_, kVideoReceiveBuffer)) return 0;
  if (!Exchange(rtsp::StandardSetupRequest(ctx_, format_.video_url, false, video_port_, false),
                &reply, kStartTimeoutMs) ||
      !rtsp::ReplyOk(reply)) {
    return 0;
  }
  ++ctx_.cseq;
  ctx_.session_id = rtsp::ParseSessionId(reply, kMaxStandardSessionId);
  if (ctx_.session_id.empty()) return 0;
  session_timeout_s_.store(rtsp::ParseSessionTimeout(reply));
  if (udp_) video_server_port_ = rtsp::ParseServerPort(reply);
  if (format_.audio_track != 0) {
    if (udp_ && !BindRtpSocket(&audio_port_, &audio_fd_, 8192)) return 0;
    if (!Exchange(rtsp::StandardSetupRequest(ctx_, format_.audio_url, true, audio_port_, true),
                  &reply, kStartTimeoutMs)) {
      return 0;
    }
    ++ctx_.cseq;
    if (rtsp::ReplyOk(reply)) {
      if (udp_) audio_server_port_ = rtsp::ParseServerPort(reply);
    } else {
      // A server that refuses the audio track still gives the picture.
      qrplat::DebugOutput("CRtspSession: audio track refused, no sound\n");
      format_.audio_track = 0;
      format_.audio_code = rtsp::kAudioNone;
      client_.audio_codec.store(rtsp::kAudioNone);
    }
  }
  if (!Exchange(
          rtsp::StandardRequest(ctx_, "PLAY", format_.session_url, true, "Range: npt=0.000-\r\n"),
          &reply, kStartTimeoutMs) ||
      !rtsp::ReplyOk(reply)) {
    return 0;
  }
  ++ctx_.cseq;
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  in_session_ = true;
  return 1;
}

bool CRtspSession::Redirect(const std::string& location, std::string* request_url) {
  rtsp::RtspUrl url;
  if (!rtsp::ParseRtspUrl(location, &url)) return false;
  qrplat::DebugOutput("CRtspSession: redirected to %s\n", location.c_str());
  Close();
  if (OpenPeer(url.host, url.port) != 0 || !Connect()) return false;
  ctx_.host = url.host;
  *request_url = rtsp::MakeRtspUrl(url.host, url.port, url.path);
  ctx_.base_url = *request_url;
  suffix_.clear();
  return true;
}

int32_t CRtspSession::LiveStart() {
  return Start(false);
}
int32_t CRtspSession::ReplayStart() {
  return Start(true);
}

void CRtspSession::SetInterleavedStreaming(bool on) {
  std::lock_guard<std::mutex> lock(mailbox_mutex_);
  interleaved_streaming_ = on;
  mailbox_full_ = false;
  mailbox_.clear();
  mailbox_cv_.notify_all();
}

void CRtspSession::DrainPendingInto(InterleavedParser* parser) {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  if (!rx_.empty()) parser->Feed(reinterpret_cast<const uint8_t*>(rx_.data()), rx_.size());
  rx_.clear();
}

void CRtspSession::PostReplyText(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mailbox_mutex_);
  mailbox_.assign(reinterpret_cast<const char*>(data), size);
  mailbox_full_ = true;
  mailbox_cv_.notify_all();
}

int32_t CRtspSession::InSession(const std::string& request, int timeout_ms, size_t reply_limit,
                                std::string* reply_out) {
  // Caller holds request_mutex_.
  std::string reply;
  if (reply_out) reply_out->clear();
  bool via_mailbox;
  {
    std::lock_guard<std::mutex> lock(mailbox_mutex_);
    via_mailbox = interleaved_streaming_;
    mailbox_full_ = false;
  }
  if (!via_mailbox) {
    if (!Exchange(request, &reply, timeout_ms)) return 0;
  } else {
    if (!SendText(request, timeout_ms)) return 0;
    const int cseq = rtsp::ParseCSeq(request);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mailbox_mutex_);
    for (;;) {
      mailbox_cv_.wait_until(lock, deadline,
                             [&] { return mailbox_full_ || aborted_ || !interleaved_streaming_; });
      if (!mailbox_full_) return 0;
      reply.swap(mailbox_);
      mailbox_full_ = false;
      // A late reply to an earlier request (one that timed out) is not ours.
      const int got = rtsp::ParseCSeq(reply);
      if (got < 0 || cseq < 0 || got >= cseq) break;
      reply.clear();
    }
  }
  if (reply.size() > reply_limit) reply.resize(reply_limit);
  if (reply_out) *reply_out = reply;
  return rtsp::ReplyOk(reply) ? 1 : 0;
}

void CRtspSession::TakeRunningStartTime() {
  if (client_.replay_mode.load() == 0) return;
  std::lock_guard<std::mutex> lock(client_.text_mutex);
  ctx_.start_time = Field(client_.running_start_time, sizeof client_.running_start_time);
}

int32_t CRtspSession::Pause(int32_t pause) {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  if (!in_session_ || control_fd_.load() < 0) return 0;
  TakeRunningStartTime();
  const int32_t kind = client_.server_kind.load();
  std::string req = pause ? rtsp::PauseRequest(ctx_, kind) : rtsp::ResumeRequest(ctx_, kind);
  ++ctx_.cseq;
  return InSession(req, kInSessionTimeoutMs, kMaxReply);
}

int32_t CRtspSession::SetSpeed(int32_t speed_exponent) {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  if (!in_session_ || control_fd_.load() < 0) return 0;
  TakeRunningStartTime();
  std::string req = rtsp::SetSpeedRequest(ctx_, client_.server_kind.load(), speed_exponent);
  ++ctx_.cseq;
  return InSession(req, kInSessionTimeoutMs, kMaxReply);
}

int32_t CRtspSession::KeepAlive() {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  if (!in_session_ || control_fd_.load() < 0) return 0;
  if (client_.server_kind.load() == rtsp::kServerRecorder) {
    TakeRunningStartTime();
    std::string req = rtsp::KeepAliveRequest(ctx_, client_.replay_mode.load() != 0);
    ++ctx_.cseq;
    int32_t ok = InSession(req, kInSessionTimeoutMs, 1024);
    if (!ok) qrplat::DebugOutput("getparameter fail \n");
    return ok;
  }
  // Standard servers: whatever the answer, the request named the session
  // and so refreshed it. A server that does not know GET_PARAMETER gets
  // OPTIONS from then on, which every server must answer.
  std::string req = rtsp::GenericKeepAliveRequest(ctx_, keep_alive_options_);
  ++ctx_.cseq;
  std::string reply;
  InSession(req, kInSessionTimeoutMs, 1024, &reply);
  if (reply.empty()) {
    qrplat::DebugOutput("CRtspSession: no reply to the keep-alive\n");
    return 0;
  }
  const int status = rtsp::ReplyStatus(reply);
  if (!keep_alive_options_ && (status == 405 || status == 501)) {
    qrplat::DebugOutput("CRtspSession: GET_PARAMETER refused (%d), keep-alive by OPTIONS\n",
                        status);
    keep_alive_options_ = true;
  }
  return 1;
}

uint32_t CRtspSession::KeepAliveIntervalMs() const {
  constexpr uint32_t kRecorderIntervalMs = 20000;
  const int announced = session_timeout_s_.load();
  const uint32_t half = static_cast<uint32_t>(
      std::max(1000, (announced > 0 ? announced : rtsp::kDefaultSessionTimeoutS) * 500));
  switch (client_.server_kind.load()) {
    case rtsp::kServerGeneric:
    case rtsp::kServerPathSuffix:
      return half;
    case rtsp::kServerBanner:
      return announced > 0 ? half : 0;
    case rtsp::kServerRecorder:
      if (udp_) return announced > 0 ? std::min(half, kRecorderIntervalMs) : kRecorderIntervalMs;
      return announced > 0 ? half : 0;
    default:
      return 0;
  }
}

int32_t CRtspSession::TearDown() {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  if (!in_session_ || control_fd_.load() < 0) return 0;
  TakeRunningStartTime();
  qrplat::DebugOutput("CRtspSession::TearDown\n");
  std::string req =
      rtsp::TeardownRequest(ctx_, client_.server_kind.load(), client_.replay_mode.load() != 0);
  ++ctx_.cseq;
  int32_t ok = InSession(req, kTeardownTimeoutMs, kMaxReply);
  in_session_ = false;
  qrplat::DebugOutput("CRtspSession::TearDown return\n");
  return ok;
}

int32_t CRtspSession::TearDownNoWait() {
  std::lock_guard<std::recursive_mutex> lock(request_mutex_);
  const int fd = control_fd_.load();
  if (!in_session_ || fd < 0) return 0;
  std::string req = rtsp::TeardownNoWaitRequest(ctx_);
  ++ctx_.cseq;
  in_session_ = false;
  // One attempt without waiting: this runs on the way out of a stop.
  ssize_t n = send(fd, req.data(), req.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  return n == static_cast<ssize_t>(req.size()) ? 1 : 0;
}

}  // namespace quornet
