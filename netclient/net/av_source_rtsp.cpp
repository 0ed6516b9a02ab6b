#include "net/av_source_rtsp.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "api/process_state.h"
#include "net/interleaved.h"
#include "net/rtp.h"
#include "net/rtp_receivers.h"
#include "net/rtsp_session.h"
#include "net/source_seams.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {

namespace {

// "RTSP/..." up to and including the blank line that ends its headers.
bool IsWholeReplyHead(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  return text.starts_with("RTSP/") && text.ends_with("\r\n\r\n");
}

}  // namespace

// ---- Shared ---------------------------------------------------------------

CAVSource_RTSP::~CAVSource_RTSP() = default;

int32_t CAVSource_RTSP::SetSpeed(int32_t exponent) {
  if (rtsp_) {
    rtsp_->Pause(1);
    rtsp_->SetSpeed(exponent);
  }
  return 1;
}

bool CAVSource_RTSP::PrepareCommon() {
  rtsp_ = std::make_unique<CRtspSession>(*session_, udp_);
  keep_alive_ = std::make_unique<CRTCPInstance>(*rtsp_);
  recorder_ = CreateStreamRecorder(*session_);
  sinks_ = CreateMediaSinks(*session_, video_conduit_, audio_conduit_);
  return true;
}

void CAVSource_RTSP::ReleaseCommon() {
  StopKeepAlive();
  keep_alive_.reset();
  StopEventReceiver();
  events_.reset();
  StopSinks();
  sinks_.reset();
  rtsp_.reset();
  recorder_.reset();
}

int32_t CAVSource_RTSP::OpenAndStart() {
  // An open failure (the name does not resolve, no socket) counts as a
  // failed attempt: the name may resolve on the next one.
  if (rtsp_->Open() != 0) return 0;
  // Only the interleaved transport serves relayed channels.
  if (!udp_ && session_->channel_server_flag.load() == 1) {
    int32_t channel = QueryChannelServer(*session_);
    if (channel < 0) {
      session_->Notify(1, 7);
      return 0;
    }
    if (channel == 0) {
      session_->Notify(1, 8);
      return 0;
    }
    session_->channel.store(channel);
  }
  return session_->replay_mode.load() != 0 ? rtsp_->ReplayStart() : rtsp_->LiveStart();
}

bool CAVSource_RTSP::ReconnectPause() {
  const int32_t steps = GetWaitTimes().reconnect_pause_s * 10;
  for (int32_t i = 0; i < steps; ++i) {
    if (StopRequested()) return false;
    qrplat::SleepMs(100);
  }
  return !StopRequested();
}

CAVSource_RTSP::Format CAVSource_RTSP::CurrentFormat() const {
  return Format{session_->audio_codec.load(), session_->frame_rate.load(), session_->height.load(),
                session_->width.load(), session_->video_payload.load()};
}

void CAVSource_RTSP::CheckFormatAfterReconnect() {
  if (have_format_ && !(CurrentFormat() == saved_format_) && recorder_) {
    recorder_->StopForFormatChange();
  }
}

void CAVSource_RTSP::SaveFormat() {
  saved_format_ = CurrentFormat();
  have_format_ = true;
}

void CAVSource_RTSP::CheckRecordGap() {
  const uint32_t now = qrplat::TickCount();
  if (now - last_activity_ > kRecordGapMs) {
    if (recorder_) recorder_->StopForFormatChange();
    last_activity_ = now;
  }
}

bool CAVSource_RTSP::StartSinks() {
  if (!sinks_) return true;  // nothing wired: frames only reach the conduits
  sinks_started_ = sinks_->Start();
  return sinks_started_;
}

void CAVSource_RTSP::StopSinks() {
  if (sinks_ && sinks_started_) sinks_->Stop();
  sinks_started_ = false;
}

bool CAVSource_RTSP::StartEventReceiver() {
  const int32_t kind = session_->server_kind.load();
  if (kind != rtsp::kServerGeneric && kind != rtsp::kServerBanner) return true;
  if (!events_) events_ = CreateDeviceEventReceiver(*session_, *rtsp_);
  if (!events_ || !events_->Connect()) return true;
  events_started_ = events_->Start();
  return events_started_;
}

void CAVSource_RTSP::StopEventReceiver() {
  if (events_ && events_started_) events_->Stop();
  events_started_ = false;
}

bool CAVSource_RTSP::StartKeepAlive() {
  const uint32_t interval = rtsp_->KeepAliveIntervalMs();
  if (interval == 0 || !keep_alive_) return true;
  keep_alive_started_ = keep_alive_->Begin(interval) == 0;
  return keep_alive_started_;
}

void CAVSource_RTSP::StopKeepAlive() {
  if (keep_alive_ && keep_alive_started_) keep_alive_->Stop();
  keep_alive_started_ = false;
}

// ---- RTSP over TCP ------------------------------------------------------------

CAVSource_RTSP_TCP::~CAVSource_RTSP_TCP() {
  Stop();
  Release();
}

bool CAVSource_RTSP_TCP::Prepare() {
  return PrepareCommon();
}

void CAVSource_RTSP_TCP::Release() {
  ReleaseCommon();
}

int32_t CAVSource_RTSP_TCP::Stop() {
  stop_.store(true, std::memory_order_release);
  if (rtsp_) rtsp_->Abort();
  if (recorder_) recorder_->StopAll();
  Wait();
  return 0;
}

CAVSource_RTSP_TCP::ReadEnd CAVSource_RTSP_TCP::ReadStream() {
  const uint8_t video_code = static_cast<uint8_t>(session_->video_payload.load());
  std::unique_ptr<VideoDepacketizer> depacketizer;
  if (video_code == rtsp::kVideoH264) {
    depacketizer = MakeH264Depacketizer(kH264FrameBufferSize);
    depacketizer->SetParameterSets(rtsp_->format().parameter_sets);
  } else if (video_code == rtsp::kVideoH265) {
    depacketizer = MakeH265Depacketizer(kH264FrameBufferSize, session_->video_don.load() != 0);
  } else if (video_code == rtsp::kVideoJpeg) {
    depacketizer = MakeJpegDepacketizer(kJpegFrameBufferSize);
  }
  VideoHandoff handoff(*session_, video_conduit_, recorder_.get(), video_code);
  auto parser = std::make_unique<InterleavedParser>();
  rtsp_->SetInterleavedStreaming(true);
  rtsp_->DrainPendingInto(parser.get());
  // Only now: from here on every byte of the connection is read by this
  // loop, and the keep-alive's replies reach it through the session.
  if (!StartKeepAlive()) qrplat::DebugOutput("CAVSource_RTSP_TCP: no keep-alive thread\n");
  uint8_t audio[2048];
  uint64_t window_bytes = 0;
  uint32_t window_start = qrplat::TickCount();
  uint32_t last_data = window_start;
  ReadEnd end = ReadEnd::kBroken;
  for (;;) {
    if (StopRequested()) {
      end = ReadEnd::kStopped;
      break;
    }
    InterleavedParser::Item item;
    InterleavedParser::Status status;
    while ((status = parser->Next(&item)) == InterleavedParser::Status::kItem) {
      RtpPacket packet;
      switch (item.channel) {
        case 0:
          window_bytes += item.size;
          if (depacketizer && ParseRtp(item.data, item.size, &packet)) {
            depacketizer->Push(packet, false, &handoff);
          }
          break;
        case 2:
          // Copied so that the voice-frame header can be written in front.
          if (item.size > 12 && item.size <= sizeof audio) {
            std::memcpy(audio, item.data, item.size);
            if (ParseRtp(audio, item.size, &packet)) {
              HandOffAudio(*session_, audio_conduit_, recorder_.get(),
                           const_cast<uint8_t*>(packet.payload), packet.payload_size);
            }
          }
          break;
        case InterleavedParser::kTextChannel:
          // A reply to an in-session request (keep-alive, speed, pause)
          // arrives whole between two packets and costs the picture nothing.
          // Any other text means the framing was lost: drop the picture being
          // assembled and wait for the next key picture, as after a loss.
          if (!IsWholeReplyHead(item.data, item.size) && depacketizer) {
            depacketizer->Reset();
            handoff.OnDataLost();
          }
          rtsp_->PostReplyText(item.data, item.size);
          break;
        default:
          break;  // RTCP channels 1 and 3
      }
    }
    if (status == InterleavedParser::Status::kError) break;

    const uint32_t now = qrplat::TickCount();
    if (now - window_start >= 1000) {
      session_->measured_bit_rate.store(
          static_cast<int32_t>((window_bytes * 8000 / (now - window_start)) >> 10));
      window_bytes = 0;
      window_start = now;
    }
    if (now - last_data >= kIdleTimeoutMs && session_->play_state.load() != 1) break;

    const int fd = rtsp_->control_fd();
    pollfd p[2] = {{fd, POLLIN, 0}, {rtsp_->wake_fd(), POLLIN, 0}};
    int r = poll(p, 2, 100);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0 || !(p[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
    size_t room = 0;
    uint8_t* space = parser->WriteSpace(&room);
    ssize_t n = recv(fd, space, room, MSG_DONTWAIT);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      break;
    }
    parser->Commit(static_cast<size_t>(n));
    last_data = now;
  }
  StopKeepAlive();
  rtsp_->SetInterleavedStreaming(false);
  session_->measured_bit_rate.store(0);
  return end;
}

int32_t CAVSource_RTSP_TCP::Run() {
  int32_t attempts = GetWaitTimes().reconnect_attempts;
  bool first = true;
  bool gave_up_or_failed = false;
  last_activity_ = qrplat::TickCount();
  for (;;) {
    if (!first && attempts != -1) --attempts;
    first = false;
    connected_.store(false);
    if (StopRequested()) break;
    session_->ReportLinkState(1);
    const int32_t started = OpenAndStart();
    if (started != 1) {
      if (started == -1) session_->Notify(1, 6);
      if (StopRequested()) break;
      // The attempts setting counts connection attempts: 1 means this one.
      if (attempts != -1 && attempts <= 1) {
        gave_up_or_failed = true;
        break;
      }
      if (!ReconnectPause()) break;
      session_->ReportLinkState(4);
      CheckRecordGap();
      continue;
    }
    CheckFormatAfterReconnect();
    connected_.store(true);
    session_->ReportLinkState(0);
    attempts = -1;  // once a stream has run, reconnection never gives up
    if (!StartEventReceiver() || !StartSinks()) {
      gave_up_or_failed = true;
      break;
    }
    ResetConduit(*session_, video_conduit_);
    ResetConduit(*session_, audio_conduit_);
    SaveFormat();
    last_activity_ = qrplat::TickCount();
    const ReadEnd end = ReadStream();
    last_activity_ = qrplat::TickCount();
    if (end == ReadEnd::kStopped) break;
    session_->ReportLinkState(3);
    StopEventReceiver();
    StopSinks();
    rtsp_->Close();
  }
  StopKeepAlive();
  StopEventReceiver();
  StopSinks();
  if (StopRequested()) {
    if (connected_.load()) rtsp_->TearDownNoWait();
    rtsp_->Close();
  } else {
    (void)gave_up_or_failed;
    rtsp_->Close();
    session_->ReportLinkState(5);
  }
  return kExitValue;
}

// ---- RTSP over UDP ------------------------------------------------------------

CAVSource_RTSP_UDP::~CAVSource_RTSP_UDP() {
  Stop();
  Release();
}

bool CAVSource_RTSP_UDP::Prepare() {
  if (!PrepareCommon()) return false;
  stop_event_ = std::make_unique<qrplat::Event>(false, false);
  stream_error_ = std::make_unique<qrplat::Event>(false, false);
  video_receiver_ = std::make_unique<CRTPVideoReceiver>(*session_, *rtsp_, video_conduit_,
                                                        stream_error_.get(), recorder_.get());
  audio_receiver_ =
      std::make_unique<CRTPAudioReceiver>(*session_, *rtsp_, audio_conduit_, recorder_.get());
  return true;
}

void CAVSource_RTSP_UDP::Release() {
  StopReceivers();
  StopKeepAlive();
  video_receiver_.reset();
  audio_receiver_.reset();
  ReleaseCommon();
  stop_event_.reset();
  stream_error_.reset();
}

int32_t CAVSource_RTSP_UDP::Stop() {
  stop_.store(true, std::memory_order_release);
  if (stop_event_) stop_event_->Set();
  if (rtsp_) rtsp_->Abort();
  if (recorder_) recorder_->StopAll();
  Wait();
  return 0;
}

void CAVSource_RTSP_UDP::StopReceivers() {
  if (video_receiver_) video_receiver_->Stop();
  if (audio_receiver_) audio_receiver_->Stop();
}

int32_t CAVSource_RTSP_UDP::Run() {
  int32_t attempts = GetWaitTimes().reconnect_attempts;
  bool first = true;
  last_activity_ = qrplat::TickCount();
  for (;;) {
    if (!first && attempts != -1) --attempts;
    first = false;
    stream_error_->Reset();
    if (StopRequested()) break;
    session_->ReportLinkState(1);
    const int32_t started = OpenAndStart();
    if (started != 1) {
      if (started == -1) session_->Notify(1, 6);
      if (StopRequested()) break;
      if (attempts != -1 && attempts <= 1) break;
      if (!ReconnectPause()) break;
      session_->ReportLinkState(4);
      CheckRecordGap();
      continue;
    }
    if (!StartSinks()) break;
    CheckFormatAfterReconnect();
    connected_.store(true);
    session_->ReportLinkState(0);
    attempts = -1;
    ResetConduit(*session_, video_conduit_);
    ResetConduit(*session_, audio_conduit_);
    if (video_receiver_->Begin() != 0) break;
    audio_started_ = rtsp_->has_audio() && audio_receiver_->Begin() == 0;
    if (session_->server_kind.load() == rtsp::kServerRecorder) {
      session_->recorder_keep_alive.store(1);
    } else {
      session_->recorder_keep_alive.store(0);
      if (!StartEventReceiver()) break;
    }
    if (!StartKeepAlive()) break;
    SaveFormat();
    const int which =
        qrplat::Event::WaitAny({stop_event_.get(), stream_error_.get()}, qrplat::kInfinite);
    last_activity_ = qrplat::TickCount();
    if (which != 1 || StopRequested()) break;
    // The stream broke: report, tear down and reconnect without limit.
    session_->ReportLinkState(3);
    StopReceivers();
    StopKeepAlive();
    rtsp_->TearDown();
    StopEventReceiver();
    StopSinks();
    connected_.store(false);
    rtsp_->Close();
    if (!ReconnectPause()) break;
    attempts = -1;
  }
  StopReceivers();
  StopKeepAlive();
  // A stop aborts every wait of the RTSP session: the teardown then goes out
  // without waiting for its reply.
  if (rtsp_->aborted()) {
    rtsp_->TearDownNoWait();
  } else {
    rtsp_->TearDown();
  }
  rtsp_->Close();
  StopEventReceiver();
  StopSinks();
  if (!StopRequested()) session_->ReportLinkState(5);
  return kExitValue;
}

// ---- Registration ----------------------------------------------------------------

namespace {

const bool g_registered = [] {
  RegisterSourceFactory(kSourceRtspUdp, [](CClientSession&) -> std::unique_ptr<CAVSource> {
    return std::make_unique<CAVSource_RTSP_UDP>();
  });
  RegisterSourceFactory(kSourceRtspTcp, [](CClientSession&) -> std::unique_ptr<CAVSource> {
    return std::make_unique<CAVSource_RTSP_TCP>();
  });
  return true;
}();

}  // namespace
}  // namespace quornet
