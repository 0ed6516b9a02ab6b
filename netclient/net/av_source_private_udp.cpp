#include "net/av_source_private_udp.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/media_frames.h"
#include "net/source_seams.h"
#include "qrplat/thread.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {
namespace {

// Empties a conduit unless the session is stopping (a reset would clear the
// stop flag under a reader that must stay woken).
void ResetUnlessStopping(CClientSession& session, CIConduit* conduit) {
  if (conduit != nullptr && !session.stopping()) conduit->Reset();
}

// PCM of the densest audio code (G.726 at 16 kbit/s: 4 samples per byte) for
// the largest payload.
constexpr size_t kPcmSamples = 4 * pudp::kDatagramCapacity;

}  // namespace

CAVSource_UDP::CAVSource_UDP() = default;

CAVSource_UDP::~CAVSource_UDP() {
  Stop();
  Release();
}

bool CAVSource_UDP::Prepare() {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return false;
  sinks_ = CreateMediaSinks(*session_, video_conduit_, audio_conduit_);
  recorder_ = CreateStreamRecorder(*session_);
  assembler_ = std::make_unique<pudp::PictureAssembler>();
  datagram_.assign(pudp::kDatagramCapacity, 0);
  pcm_.assign(kPcmSamples, 0);
  // The sound thread plays what this source decodes.
  session_->audio_conduit_pcm.store(1);
  // A set-up failure does not fail the start: the run tries once more and
  // reports the link lost.
  socket_result_ = SetUpSocket();
  return true;
}

void CAVSource_UDP::Release() {
  if (sinks_ && sinks_started_) sinks_->Stop();
  sinks_started_ = false;
  sinks_.reset();
  recorder_.reset();
  CloseSocket();
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  assembler_.reset();
}

int32_t CAVSource_UDP::Stop() {
  stop_.store(true, std::memory_order_release);
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    ssize_t n = write(wake_fd_, &one, sizeof one);
    (void)n;
  }
  if (recorder_) recorder_->StopAll();
  Wait();
  return 0;
}

int32_t CAVSource_UDP::SetSpeed(int32_t) {
  return 0;  // a pushed live stream has no speed
}

int32_t CAVSource_UDP::SetUpSocket() {
  CloseSocket();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  addrinfo* list = nullptr;
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", session_->port);
  int32_t result = kSocketOk;
  if (getaddrinfo(session_->host, port_text, &hints, &list) != 0 || list == nullptr) {
    result = kResolveFailed;
  } else {
    const addrinfo* ai = list;
    device_family_ = ai->ai_family;
    if (ai->ai_family == AF_INET6) {
      std::memcpy(device_address_, &reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr,
                  16);
    } else {
      std::memcpy(device_address_, &reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr, 4);
    }
    fd_ = socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd_ < 0) {
      result = kSocketFailed;
    } else {
      // The same port number on every local address: the device sends to it.
      sockaddr_storage local{};
      socklen_t local_len = 0;
      const uint16_t port = htons(static_cast<uint16_t>(session_->port));
      if (ai->ai_family == AF_INET6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&local);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_any;
        a6->sin6_port = port;
        local_len = sizeof(sockaddr_in6);
      } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&local);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_ANY);
        a4->sin_port = port;
        local_len = sizeof(sockaddr_in);
      }
      timeval tv{kReceiveTimeoutMs / 1000, (kReceiveTimeoutMs % 1000) * 1000};
      const int rcvbuf = kReceiveBufferBytes;
      if (bind(fd_, reinterpret_cast<sockaddr*>(&local), local_len) != 0) {
        result = kBindFailed;
      } else if (setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        result = kTimeoutOptionFailed;
      } else if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) != 0) {
        result = kBufferOptionFailed;
      }
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  if (result != kSocketOk) {
    qrplat::DebugOutput("InitalUDPSocket error\n");
    CloseSocket();
  }
  return result;
}

void CAVSource_UDP::CloseSocket() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool CAVSource_UDP::FromDevice(const void* address, unsigned length) const {
  const auto* sa = static_cast<const sockaddr*>(address);
  if (length < sizeof(sa_family_t) || sa->sa_family != device_family_) return false;
  if (sa->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    return std::memcmp(&static_cast<const sockaddr_in*>(address)->sin_addr, device_address_, 4) ==
           0;
  }
  if (sa->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    return std::memcmp(&static_cast<const sockaddr_in6*>(address)->sin6_addr, device_address_,
                       16) == 0;
  }
  return false;
}

int32_t CAVSource_UDP::Run() {
  pudp::StreamOrder order(this);
  bool lost = false;
  while (!StopRequested()) {
    if (fd_ < 0) {
      socket_result_ = SetUpSocket();
      if (socket_result_ != kSocketOk) {
        lost = true;
        break;
      }
      order.Desynchronise();
    }
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int r = poll(p, 2, kWaitMs);
    if (r < 0 && errno != EINTR) {
      qrplat::DebugOutput("recvfrom <=0\n");
      CloseSocket();
      continue;
    }
    if (r <= 0 || (p[1].revents & POLLIN) != 0) continue;
    if ((p[0].revents & (POLLIN | POLLERR | POLLHUP)) == 0) continue;
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    // MSG_TRUNC: the result is the datagram's real length, so that a longer
    // one is recognised and dropped instead of being cut to the buffer.
    const ssize_t n = recvfrom(fd_, datagram_.data(), datagram_.size(), MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      // The socket failed: set it up again; what was queued is lost and the
      // stream waits for the next key frame.
      qrplat::DebugOutput("recvfrom <=0\n");
      CloseSocket();
      continue;
    }
    const bool from_device = FromDevice(&from, from_len);
    if (static_cast<size_t>(n) > datagram_.size()) {
      // Longer than any datagram of the stream: its length field cannot hold.
      OnDrop(from_device ? pudp::Drop::kLengthMismatch : pudp::Drop::kForeignSender);
      continue;
    }
    // A zero-length datagram (n == 0) is just a short one, not a failure.
    order.Push(datagram_.data(), static_cast<size_t>(n), from_device, qrplat::TickCount());
  }
  if (sinks_ && sinks_started_) sinks_->Stop();
  sinks_started_ = false;
  if (lost && !StopRequested()) session_->ReportLinkState(5);
  return 0;
}

void CAVSource_UDP::OnDrop(pudp::Drop reason) {
  if (const char* text = pudp::DropText(reason)) qrplat::DebugOutput("%s", text);
}

CAVSource_UDP::Format CAVSource_UDP::CurrentFormat() const {
  return Format{session_->audio_codec.load(), session_->frame_rate.load(), session_->height.load(),
                session_->width.load(), session_->video_payload.load()};
}

bool CAVSource_UDP::OnStreamStart(const pudp::Header& header) {
  // Stream parameters; a zero or absurd size or rate is not taken.
  const pudp::StreamParams p = pudp::ReadStreamParams(header);
  if (!p.width_ok || !p.height_ok || !p.frame_rate_ok) {
    qrplat::DebugOutput("udp stream parameters out of range: %ux%u, %u fps\n", header.width,
                        header.height, header.frame_rate);
  }
  if (p.width_ok) session_->width.store(p.width);
  if (p.height_ok) session_->height.store(p.height);
  if (p.frame_rate_ok) session_->frame_rate.store(p.frame_rate);
  if (p.bit_rate_ok) session_->bit_rate_value.store(p.bit_rate);
  session_->server_kind.store(p.server_kind);
  session_->video_payload.store(p.video_code);
  session_->audio_codec.store(p.audio_code);

  // A record file never mixes stream formats.
  const Format format = CurrentFormat();
  if (have_format_ && !(format == saved_format_) && recorder_) recorder_->StopForFormatChange();
  saved_format_ = format;
  have_format_ = true;

  if (sinks_ && sinks_started_) sinks_->Stop();
  sinks_started_ = false;
  // The new display and sound threads begin with this stream, not with what
  // the old one left queued.
  ResetUnlessStopping(*session_, video_conduit_);
  ResetUnlessStopping(*session_, audio_conduit_);
  if (sinks_) {
    if (!sinks_->Start()) {
      qrplat::DebugOutput("error!!!!!!!!!! create display failed\n");
      return false;
    }
    sinks_started_ = true;
  }

  audio_code_ = p.audio_code;
  if (audio_decoder_.InitDecoder(audio_code_) != 0) {
    qrplat::DebugOutput(audio_code_ == kAudioAlaw || audio_code_ == kAudioUlaw
                            ? "audio dec reset g711 error!!"
                            : "audio dec reset g726 error!!");
  }
  assembler_->Reset();
  need_key_ = true;
  accepted_ = true;
  session_->ReportLinkState(0);
  return true;
}

void CAVSource_UDP::OnDatagram(const pudp::Header& header, uint8_t* payload, size_t size) {
  switch (header.media) {
    case pudp::kMediaVideo:
      assembler_->Push(header.fragment, payload, size, this);
      break;
    case pudp::kMediaAudio:
      OnAudio(header, payload, size);
      break;
    default:
      qrplat::DebugOutput("other data type????\n");
      break;
  }
}

void CAVSource_UDP::OnPicture(pudp::PictureAssembler::Picture& picture) {
  // After a start or a lost picture, the decoder and the record file begin at
  // a picture that brings its parameter sets.
  if (need_key_ && !picture.key) return;
  need_key_ = false;
  const uint32_t size = static_cast<uint32_t>(picture.size);
  if (picture.key) {
    if (recorder_) recorder_->OnKeyFrameStart();
    if (!accepted_) {
      ResetUnlessStopping(*session_, video_conduit_);
      accepted_ = true;
    }
  }
  if (accepted_ && video_conduit_ != nullptr) {
    // After a refusal (full) nothing goes in until the next key picture.
    accepted_ = video_conduit_->Append(picture.block + pudp::kPictureReserve, size, 1,
                                       qrplat::TickCount(), 0);
  }
  if (recorder_) recorder_->OnVideoFrame(picture.block, size, picture.frame_type);
}

void CAVSource_UDP::OnAudio(const pudp::Header& header, uint8_t* payload, size_t size) {
  if (header.payload_length != size) {
    qrplat::DebugOutput("audio data length error! \n");
    return;
  }
  int32_t bytes = 0;
  if (audio_decoder_.Decode(static_cast<int32_t>(size), &bytes, audio_code_, payload, pcm_.data(),
                            pcm_.size() * sizeof(int16_t)) != 0 ||
      bytes <= 0) {
    return;  // undecodable frames are dropped
  }
  if (session_->audio_enabled.load() != 0 && audio_conduit_ != nullptr) {
    // Old audio is dropped rather than delayed.
    if (audio_conduit_->Buffered() > kAudioBacklogLimit) {
      ResetUnlessStopping(*session_, audio_conduit_);
    }
    // One PCM block per frame: the sound thread reads whole frames.
    audio_conduit_->Append(pcm_.data(), static_cast<uint32_t>(bytes), 1, 0, 0);
  }
  if (recorder_) recorder_->OnAudioFrame(payload, static_cast<uint32_t>(size));
}

namespace {

const bool g_registered = [] {
  RegisterSourceFactory(kSourceUdp, [](CClientSession&) -> std::unique_ptr<CAVSource> {
    return std::make_unique<CAVSource_UDP>();
  });
  return true;
}();

}  // namespace
}  // namespace quornet
