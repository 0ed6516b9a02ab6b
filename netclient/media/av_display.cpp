#include "media/av_display.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "api/process_state.h"
#include "media/display_seams.h"
#include "media/frame_pacer.h"
#include "media/libav_log.h"
#include "net/video_picture.h"
#include "session/client_session.h"

namespace quornet {
namespace {

static_assert(CAVDisplay::kMaxFrameSize == kMaxVideoPictureSize);

// Slices of the interruptible sleeps (ms).
constexpr uint32_t kSleepSliceMs = 20;

bool Is420(int format) {
  return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

CAVDisplay::CAVDisplay(CClientSession& session, CIConduit* video, IClock& clock)
    : session_(session), conduit_(video), clock_(clock), renderer_(&session, &clock) {}

CAVDisplay::~CAVDisplay() {
  StopThread();
  CloseDecoder();
}

bool CAVDisplay::OpenDecoder() {
  CloseDecoder();
  stop_.store(false);
  payload_ = session_.video_payload.load() & 0xFF;
  AVCodecID id;
  if (payload_ == kPayloadJpeg) {
    input_size_ = kMjpegInputSize;
    id = AV_CODEC_ID_MJPEG;
  } else if (payload_ == kPayloadH264) {
    input_size_ = kH264InputSize;
    id = AV_CODEC_ID_H264;
  } else if (payload_ == kVideoCodeH265) {
    input_size_ = kH264InputSize;
    id = AV_CODEC_ID_HEVC;
  } else {
    return false;
  }
  try {
    input_.assign(size_t(input_size_) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  } catch (const std::bad_alloc&) {
    input_size_ = 0;
    return false;
  }
  RouteLibavLog();
  const AVCodec* codec = avcodec_find_decoder(id);
  if (codec == nullptr) return false;
  context_ = avcodec_alloc_context3(nullptr);
  picture_ = av_frame_alloc();
  scratch_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (context_ == nullptr || picture_ == nullptr || scratch_ == nullptr || packet_ == nullptr) {
    return false;
  }
#if defined(AV_CODEC_CAP_TRUNCATED) && defined(AV_CODEC_FLAG_TRUNCATED)
  // Only libavcodec versions that still know partial frames have the flag.
  if (codec->capabilities & AV_CODEC_CAP_TRUNCATED) context_->flags |= AV_CODEC_FLAG_TRUNCATED;
#endif
  std::lock_guard<std::mutex> lock(CodecLock());
  // On failure the context stays allocated until the next close.
  return avcodec_open2(context_, codec, nullptr) >= 0;
}

void CAVDisplay::CloseDecoder() {
  input_.clear();
  input_.shrink_to_fit();
  input_size_ = 0;
  if (context_ != nullptr) {
    std::lock_guard<std::mutex> lock(CodecLock());
    avcodec_free_context(&context_);
  }
  av_frame_free(&picture_);
  av_frame_free(&scratch_);
  av_packet_free(&packet_);
  sws_freeContext(sws_);
  sws_ = nullptr;
  converted_.clear();
  have_picture_ = false;
  planes_ = YuvPlanes{};
}

bool CAVDisplay::StartThread() {
  return Start() == 0;
}

void CAVDisplay::StopThread() {
  stop_.store(true);
  Wait();
}

void CAVDisplay::SetWindow(uint32_t window) {
  std::lock_guard<std::mutex> lock(display_mutex_);
  renderer_.SetWindow(window);
}

void CAVDisplay::Sleep(uint32_t ms) {
  while (ms > 0 && !stop_.load()) {
    const uint32_t step = std::min(ms, kSleepSliceMs);
    clock_.SleepMs(step);
    ms -= step;
  }
}

void CAVDisplay::RunPacer(int32_t speed_exponent) {
  PacerRecord p = LoadPacer(session_);
  const uint32_t arrival = clock_.NowMs();
  const int32_t delay = PacerDelay(p, speed_exponent, arrival);
  StorePacer(session_, p);
  if (delay > 0) Sleep(static_cast<uint32_t>(delay));
  const bool live = session_.local_file_mode.load() == 0 && session_.replay_mode.load() == 0;
  PacerAfterFrame(p, live ? arrival : clock_.NowMs());
  StorePacer(session_, p);
}

void CAVDisplay::RunLivePacer(uint32_t fetched, bool queued_behind) {
  PacerRecord p = LoadPacer(session_);
  const int32_t delay = PacerLiveDelay(p, fetched, clock_.NowMs(), queued_behind);
  StorePacer(session_, p);
  if (delay > 0) Sleep(static_cast<uint32_t>(delay));
  // A new schedule starts where the stream is, not one sleep later.
  PacerAfterFrame(p, fetched);
  StorePacer(session_, p);
}

void CAVDisplay::RestartPacer() {
  RestartPacer(clock_.NowMs());
}

void CAVDisplay::RestartPacer(uint32_t at) {
  PacerRecord p = LoadPacer(session_);
  PacerRestart(p, at);
  StorePacer(session_, p);
}

void CAVDisplay::RedrawCurrent() {
  if (!have_picture_) return;
  session_.drawing.store(1);
  if (session_.view_flag.load() == 1 && session_.video_window.load() != 0) renderer_.Refresh();
  session_.drawing.store(0);
}

void CAVDisplay::ServePendingSnapshot() {
  if (have_picture_ && CapturePending()) RunSnapshotWriter(*this, planes_);
}

CAVDisplay::Stats CAVDisplay::GetStats() const {
  Stats s;
  s.frames_read = frames_read_.load();
  s.pictures = pictures_.load();
  s.drawn = drawn_.load();
  s.skipped_resync = skipped_resync_.load();
  s.skipped_fast = skipped_fast_.load();
  s.flushes = flushes_.load();
  s.decode_errors = decode_errors_.load();
  return s;
}

uint32_t CAVDisplay::Fetch(bool step_cache, uint32_t* frames_left, FrameHeader* header) {
  uint8_t* buf = input_.data();
  if (step_cache) {
    return conduit_->ReadStep(buf, input_size_, 0, header, 0);
  }
  const uint32_t limit = std::min(kReadLimit, input_size_);
  *header = FrameHeader{};
  uint32_t n = conduit_->ReadFrame(buf, limit, frames_left, header, kFetchWaitMs);
  if (n == 0 && header->length > limit && header->length <= kMaxFrameSize) {
    // A frame longer than the read limit stays at the head of the queue; take
    // it with a buffer of its size instead of stalling the stream forever.
    if (header->length > input_size_) {
      try {
        input_.assign(size_t(header->length) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      } catch (const std::bad_alloc&) {
        return 0;
      }
      input_size_ = header->length;
    }
    n = conduit_->ReadFrameIfPresent(input_.data(), input_size_, frames_left, header, 0);
  }
  if (n > 0) {
    // libavcodec reads up to the padding size past the end of a packet.
    std::memset(input_.data() + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  }
  return n;
}

bool CAVDisplay::PicturePlanes(YuvPlanes* out) {
  AVFrame* f = picture_;
  if (f->width <= 0 || f->height <= 0 || f->data[0] == nullptr) return false;
  YuvPlanes p;
  p.width = f->width;
  p.height = f->height;
  if (Is420(f->format)) {
    p.y = f->data[0];
    p.u = f->data[1];
    p.v = f->data[2];
    p.y_stride = f->linesize[0];
    p.uv_stride = f->linesize[1];
    if (p.u == nullptr || p.v == nullptr || f->linesize[1] != f->linesize[2]) return false;
    *out = p;
    return true;
  }
  // Cameras send 4:2:2 and 4:4:4 JPEG too: bring them to 4:2:0 so that the
  // renderer and the snapshot writer see one layout.
  sws_ = sws_getCachedContext(sws_, f->width, f->height, static_cast<AVPixelFormat>(f->format),
                              f->width, f->height, AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr,
                              nullptr);
  if (sws_ == nullptr) return false;
  const int cw = (f->width + 1) / 2, ch = (f->height + 1) / 2;
  const int y_stride = (f->width + 31) & ~31, c_stride = (cw + 31) & ~31;
  const size_t y_size = size_t(y_stride) * size_t(f->height);
  const size_t c_size = size_t(c_stride) * size_t(ch);
  try {
    converted_.resize(y_size + 2 * c_size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  uint8_t* dst[4] = {converted_.data(), converted_.data() + y_size,
                     converted_.data() + y_size + c_size, nullptr};
  int dst_stride[4] = {y_stride, c_stride, c_stride, 0};
  if (sws_scale(sws_, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0) return false;
  p.y = dst[0];
  p.u = dst[1];
  p.v = dst[2];
  p.y_stride = y_stride;
  p.uv_stride = c_stride;
  *out = p;
  return true;
}

bool CAVDisplay::Decode(const uint8_t* data, uint32_t length, YuvPlanes* out) {
  if (context_ == nullptr) return false;
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = static_cast<int>(length);
  packet_->pts = AV_NOPTS_VALUE;
  packet_->dts = AV_NOPTS_VALUE;
  LibavErrorScope errors;
  int ret = avcodec_send_packet(context_, packet_);
  bool got = false;
  bool damaged = false;
  auto drain = [&] {
    while (avcodec_receive_frame(context_, scratch_) == 0) {
      damaged = damaged || scratch_->decode_error_flags != 0 ||
                (scratch_->flags & AV_FRAME_FLAG_CORRUPT) != 0;
      av_frame_unref(picture_);
      av_frame_move_ref(picture_, scratch_);
      got = true;
    }
  };
  if (ret == AVERROR(EAGAIN)) {
    // Pictures still queued in the decoder: take them, then the frame fits.
    drain();
    ret = avcodec_send_packet(context_, packet_);
  }
  av_packet_unref(packet_);
  if (ret >= 0 || got) drain();
  if ((ret < 0 && ret != AVERROR(EAGAIN)) || damaged || errors.error_seen()) {
    decode_errors_.fetch_add(1);
    session_.decode_errors.fetch_add(1);
  }
  if (ret < 0 && !got) return false;
  if (!got) return false;
  if (!PicturePlanes(&planes_)) {
    have_picture_ = false;
    return false;
  }
  have_picture_ = true;
  session_.width.store(context_->width > 0 ? context_->width : planes_.width);
  session_.height.store(context_->height > 0 ? context_->height : planes_.height);
  session_.picture_ready.store(1);
  *out = planes_;
  return true;
}

int32_t CAVDisplay::Thread() {
  CClientSession& s = session_;
  int32_t rate = s.frame_rate.load();
  if (rate < 1 || rate > 30 || s.replay_mode.load() != 0) {
    rate = 30;
    s.frame_rate.store(rate);
  }
  PacerRecord pacer;
  pacer.fps = rate;
  pacer.start_ms = clock_.NowMs();
  pacer.frames = 0;
  pacer.last_speed = -1;
  StorePacer(s, pacer);

  bool resync = false;
  bool pacing_reset = true;
  int32_t hold_threshold = 2;
  int32_t gop_length = 30;
  int32_t gop_counter = 0;
  uint32_t frames_left = 0;

  while (!stop_.load()) {
    // Buffer hold: keep R frames queued before showing (live buffering).
    const int32_t restore = s.restore_frame_count.load();
    if (restore != 0) {
      const int32_t queued = static_cast<int32_t>(conduit_->FrameCount());
      s.queued_frames.store(queued);
      if (int64_t(queued) - restore > 0) {
        pacing_reset = true;  // a backlog: show without pacing
        hold_threshold = 2;
      } else if (queued >= hold_threshold) {
        hold_threshold = 2;
      } else {
        hold_threshold = restore;
        pacing_reset = true;
        Sleep(kIdleSleepMs);
        continue;
      }
    } else {
      pacing_reset = frames_left > 1;
    }

    // Fetch.
    const bool file_or_replay = s.local_file_mode.load() != 0 || s.replay_mode.load() != 0;
    const bool step_cache =
        s.replay_mode.load() != 0 && s.play_state.load() == 2 && conduit_->FrameCount() == 0;
    FrameHeader header{};
    uint32_t left = 0;
    const uint32_t length = Fetch(step_cache, &left, &header);
    if (length == 0) {
      Sleep(kIdleSleepMs);
      continue;
    }
    const uint32_t fetched_ms = clock_.NowMs();
    if (!step_cache) frames_left = left;
    frames_read_.fetch_add(1);
    const uint8_t* frame = input_.data();
    // Where decoding can begin: a picture that brings its parameter sets
    // (behind a delimiter or SEI, as many encoders send them).
    const bool annex_b = IsAnnexBVideo(payload_);
    const bool key = VideoPictureHasSps(payload_, frame, length);

    // Frame selection.
    if (!file_or_replay) {
      if (resync && annex_b) {
        if (!key) {
          skipped_resync_.fetch_add(1);
          continue;
        }
        avcodec_flush_buffers(context_);
        flushes_.fetch_add(1);
      }
    } else if (annex_b) {
      // High replay speeds decode only the head of every group of pictures.
      // (Motion JPEG pictures are all key frames and are never skipped.)
      const int32_t speed = s.speed_exponent.load();
      if (speed > 1) {
        if (key) {
          if (gop_counter > 0) gop_length = gop_counter;
          gop_counter = 1;
          RestartPacer();
        } else if (gop_counter > (gop_length >> std::min(speed, 30)) * 2) {
          ++gop_counter;
          skipped_fast_.fetch_add(1);
          continue;
        } else {
          ++gop_counter;
        }
      }
    }

    if (s.view_flag.load() != 1) {
      resync = true;
      s.drawing.store(0);
      continue;
    }
    if (resync) {
      pacing_reset = true;
      resync = false;
    }
    YuvPlanes picture;
    const bool got = Decode(frame, length, &picture);
    if (got) pictures_.fetch_add(1);

    if (!file_or_replay) {
      if (pacing_reset) {
        pacing_reset = false;
        RestartPacer(fetched_ms);
      } else {
        RunLivePacer(fetched_ms, frames_left > 0);
      }
    }

    // Draw. The drawing flag is raised before the view flag is read again, so
    // that QRNET_ClientStopView (view flag down, then wait for the drawing
    // flag) either sees this draw or this draw sees the stop.
    if (got) {
      s.drawing.store(1);
      if (s.view_flag.load() == 1) {
        const uint32_t window = s.video_window.load();
        if (window != 0) {
          std::lock_guard<std::mutex> lock(display_mutex_);
          if (renderer_.DrawPicture(window, picture)) drawn_.fetch_add(1);
        }
      }
      s.drawing.store(0);
    }

    // Snapshot.
    if (have_picture_ && CapturePending()) RunSnapshotWriter(*this, planes_);

    // Playback control of files and replays.
    if (file_or_replay) {
      s.current_time.store(static_cast<int32_t>(header.word0 - s.start_timestamp.load()) / 1000);
      RunPlaybackControl(*this, header);
    }
  }
  s.drawing.store(0);
  return kExitCode;
}

// ---- Display registry --------------------------------------------------------

namespace {

using DisplayKey = std::pair<const CClientSession*, uint32_t>;

struct DisplayRegistry {
  std::mutex mutex;
  std::map<DisplayKey, std::weak_ptr<CAVDisplay>> displays;  // guarded by mutex
};

DisplayRegistry& Registry() {
  static auto* registry = new DisplayRegistry;  // used by worker threads at exit
  return *registry;
}

DisplayKey KeyOf(const CClientSession& session) {
  return {&session, session.handle()};
}

}  // namespace

std::shared_ptr<CAVDisplay> AcquireDisplay(CClientSession& session, CIConduit* video) {
  DisplayRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.displays.begin(); it != r.displays.end();) {
    it = it->second.expired() ? r.displays.erase(it) : std::next(it);
  }
  std::weak_ptr<CAVDisplay>& slot = r.displays[KeyOf(session)];
  std::shared_ptr<CAVDisplay> display = slot.lock();
  if (!display) {
    display = std::make_shared<CAVDisplay>(session, video);
    slot = display;
  }
  return display;
}

std::shared_ptr<CAVDisplay> FindDisplay(const CClientSession& session) {
  DisplayRegistry& r = Registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.displays.find(KeyOf(session));
  return it == r.displays.end() ? nullptr : it->second.lock();
}

void ApplyLiveViewPerformance(CClientSession& session, int32_t value) {
  const int32_t rate = session.frame_rate.load();
  // A frame rate above 1000 would make the frame period 0; treat it as 1 ms.
  const int32_t period = rate > 0 ? std::max(1000 / rate, 1) : 0;
  if (period == 0 || value == 0) {
    session.live_view_performance.store(0);
    session.restore_frame_count.store(0);
    return;
  }
  const int32_t stored = value > 0 ? value : AutoLiveViewPerformance(session.bit_rate_value.load());
  session.live_view_performance.store(stored);
  session.restore_frame_count.store(stored / period);
}

}  // namespace quornet
