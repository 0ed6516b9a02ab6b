#include "net/rtp_receivers.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "net/media_frames.h"
#include "net/rtp.h"
#include "net/rtsp_protocol.h"
#include "net/rtsp_session.h"
#include "net/source_seams.h"
#include "net/video_picture.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {

void ResetConduit(CClientSession& session, CIConduit* conduit) {
  if (conduit != nullptr && !session.stopping()) conduit->Reset();
}

VideoHandoff::VideoHandoff(CClientSession& session, CIConduit* video, IStreamRecorder* recorder,
                           int video_code)
    : session_(session), video_(video), recorder_(recorder), video_code_(video_code) {
  if (!IsAnnexBVideo(video_code)) return;
  need_key_ = true;
  std::lock_guard<std::mutex> lock(session.text_mutex);
  const uint32_t n =
      std::min<uint32_t>(session.video_parameter_sets_size, sizeof session.video_parameter_sets);
  described_sets_.assign(session.video_parameter_sets, session.video_parameter_sets + n);
}

void VideoHandoff::OnKeyFrameStart() {
  if (recorder_ != nullptr) recorder_->OnKeyFrameStart();
  if (!accepted_) {
    ResetConduit(session_, video_);
    accepted_ = true;
  }
}

void VideoHandoff::OnPicture(FrameBuffer* buffer, int frame_type) {
  const uint8_t* pic = buffer->picture();
  const uint32_t size = static_cast<uint32_t>(buffer->size());
  const uint8_t* shown = pic;
  uint32_t shown_size = size;
  const bool annex_b = IsAnnexBVideo(video_code_);
  const bool has_sps = annex_b && VideoPictureHasSps(video_code_, pic, size);
  // A picture the decoder can start at with the described parameter sets.
  const bool described_key =
      annex_b && !has_sps && !described_sets_.empty() && VideoPictureIsKey(video_code_, pic, size);
  if (need_key_) {
    // The decoder resynchronises at a picture that brings its parameter sets.
    const bool key = !annex_b || has_sps || described_key;
    if (!key) return;
  }
  if ((first_ || need_key_) && annex_b && !has_sps && !described_sets_.empty() &&
      described_sets_.size() + size <= kMaxVideoPictureSize) {
    joined_.assign(described_sets_.begin(), described_sets_.end());
    joined_.insert(joined_.end(), pic, pic + size);
    shown = joined_.data();
    shown_size = static_cast<uint32_t>(joined_.size());
  }
  need_key_ = false;
  first_ = false;
  if (accepted_ && video_ != nullptr) {
    if (session_.replay_mode.load() != 0 && session_.play_state.load() == 2) {
      video_->AppendStep(shown, shown_size, 0);
    } else {
      accepted_ = video_->Append(shown, shown_size, 1, qrplat::TickCount(), 0);
    }
  }
  if (recorder_ != nullptr) recorder_->OnVideoFrame(buffer->block(), size, frame_type);
}

void VideoHandoff::OnPictureTooLarge(size_t size) {
  session_.oversized_pictures.fetch_add(1);
  qrplat::DebugOutput("quornet: video picture of %zu bytes is larger than %zu bytes: dropped\n",
                      size, kMaxVideoPictureSize);
}

void HandOffAudio(CClientSession& session, CIConduit* audio, IStreamRecorder* recorder,
                  uint8_t* payload, size_t size) {
  if (size == 0) return;
  if (session.audio_enabled.load() != 0 && audio != nullptr) {
    // Old audio is dropped rather than delayed.
    if (audio->Buffered() > kAudioBacklogLimit) ResetConduit(session, audio);
    audio->Append(payload, static_cast<uint32_t>(size), 1, 0, 0);
  }
  if (recorder != nullptr) recorder->OnAudioFrame(payload, static_cast<uint32_t>(size));
}

namespace {

// Waits up to 100 ms for a datagram on fd; false on time-out or wake.
bool WaitReadable(int fd, int wake_fd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  int r = poll(p, wake_fd >= 0 ? 2 : 1, 100);
  return r > 0 && (p[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

}  // namespace

// ---- Video ------------------------------------------------------------------

CRTPVideoReceiver::CRTPVideoReceiver(CClientSession& session, CRtspSession& rtsp, CIConduit* video,
                                     qrplat::Event* stream_error, IStreamRecorder* recorder)
    : session_(session),
      rtsp_(rtsp),
      video_(video),
      stream_error_(stream_error),
      recorder_(recorder) {}

CRTPVideoReceiver::~CRTPVideoReceiver() {
  Stop();
}

int CRTPVideoReceiver::Begin() {
  stop_.store(false);
  return Start();
}

void CRTPVideoReceiver::Stop() {
  stop_.store(true);
  Wait();
}

int32_t CRTPVideoReceiver::Thread() {
  const int video_code = session_.video_payload.load() & 0xFF;
  std::unique_ptr<VideoDepacketizer> depacketizer;
  try {
    if (video_code == kVideoCodeH264) {
      depacketizer = MakeH264Depacketizer(kH264FrameBufferSize);
      depacketizer->SetParameterSets(rtsp_.format().parameter_sets);
    } else if (video_code == kVideoCodeH265) {
      depacketizer = MakeH265Depacketizer(kH264FrameBufferSize, session_.video_don.load() != 0);
    } else if (video_code != kVideoCodeUnsupported) {
      depacketizer = MakeJpegDepacketizer(kJpegFrameBufferSize);
    }
  } catch (const std::bad_alloc&) {
    stream_error_->Set();
    return -10;
  }
  VideoHandoff handoff(session_, video_, recorder_, video_code);
  SequenceCheck sequence;
  std::vector<uint8_t> datagram(0x8000);
  uint32_t last_data = qrplat::TickCount();
  while (!stop_.load()) {
    if (session_.play_state.load() == 1) {
      rtsp_.Pause(1);
      while (session_.play_state.load() == 1 && !stop_.load()) qrplat::SleepMs(30);
      if (session_.play_state.load() == 0) rtsp_.Pause(0);
      last_data = qrplat::TickCount();
      continue;
    }
    const int fd = rtsp_.video_fd();
    if (fd < 0) {
      stream_error_->Set();
      break;
    }
    if (!WaitReadable(fd, rtsp_.wake_fd())) {
      if (qrplat::TickCount() - last_data >= kIdleTimeoutMs) {
        stream_error_->Set();
        break;
      }
      continue;
    }
    ssize_t n = recvfrom(fd, datagram.data(), datagram.size(), MSG_DONTWAIT, nullptr, nullptr);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      stream_error_->Set();
      break;
    }
    last_data = qrplat::TickCount();
    if (n < 14) continue;
    RtpPacket packet;
    if (!ParseRtp(datagram.data(), static_cast<size_t>(n), &packet)) continue;
    const SequenceCheck::Verdict verdict = sequence.Check(packet.sequence);
    if (verdict == SequenceCheck::Verdict::kDrop) continue;
    if (depacketizer)
      depacketizer->Push(packet, verdict == SequenceCheck::Verdict::kLoss, &handoff);
  }
  return 11;
}

// ---- Audio ------------------------------------------------------------------

CRTPAudioReceiver::CRTPAudioReceiver(CClientSession& session, CRtspSession& rtsp, CIConduit* audio,
                                     IStreamRecorder* recorder)
    : session_(session), rtsp_(rtsp), audio_(audio), recorder_(recorder) {}

CRTPAudioReceiver::~CRTPAudioReceiver() {
  Stop();
}

int CRTPAudioReceiver::Begin() {
  stop_.store(false);
  return Start();
}

void CRTPAudioReceiver::Stop() {
  stop_.store(true);
  Wait();
}

int32_t CRTPAudioReceiver::Thread() {
  uint8_t datagram[2048];
  while (!stop_.load()) {
    const int fd = rtsp_.audio_fd();
    if (fd < 0) break;
    if (!WaitReadable(fd, rtsp_.wake_fd())) continue;
    ssize_t n = recvfrom(fd, datagram, sizeof datagram, MSG_DONTWAIT, nullptr, nullptr);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;  // video goes on without audio
    }
    RtpPacket packet;
    if (n <= 12 || !ParseRtp(datagram, static_cast<size_t>(n), &packet)) continue;
    HandOffAudio(session_, audio_, recorder_, const_cast<uint8_t*>(packet.payload),
                 packet.payload_size);
  }
  return 12;
}

// ---- Keep-alive -------------------------------------------------------------

CRTCPInstance::CRTCPInstance(CRtspSession& rtsp) : rtsp_(rtsp) {}

CRTCPInstance::~CRTCPInstance() {
  Stop();
}

int CRTCPInstance::Begin(uint32_t interval_ms) {
  interval_ms_ = interval_ms;
  stop_.store(false);
  wake_.Reset();
  return Start();
}

void CRTCPInstance::Stop() {
  stop_.store(true);
  wake_.Set();
  Wait();
}

int32_t CRTCPInstance::Thread() {
  while (!stop_.load()) {
    rtsp_.KeepAlive();
    wake_.Wait(interval_ms_);
  }
  return 12;
}

}  // namespace quornet
