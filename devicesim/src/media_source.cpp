#include "media_source.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "test_pattern.h"

namespace devicesim {

namespace {

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Milliseconds since local midnight, for the clock in the picture.
int64_t LocalDayMs() {
  const auto now = std::chrono::system_clock::now();
  const int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  return ms + static_cast<int64_t>(tm.tm_gmtoff) * 1000;
}

uint32_t RandomU32() {
  static std::mutex mu;
  static std::mt19937 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(mu);
  return rng();
}

std::string AvError(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

int G726Bits(AudioCodec a) {
  switch (a) {
    case AudioCodec::kG726_16:
      return 2;
    case AudioCodec::kG726_24:
      return 3;
    case AudioCodec::kG726_32:
      return 4;
    case AudioCodec::kG726_40:
      return 5;
    default:
      return 0;
  }
}

}  // namespace

uint32_t FrameLedger::Next(int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t frame = next_++;
  times_[frame % kSize] = {frame, now_ms};
  sent_[frame % kSize] = -1;
  valid_[frame % kSize] = true;
  return frame;
}

void FrameLedger::MarkCaptured(uint32_t frame, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  if (valid_[frame % kSize] && times_[frame % kSize].first == frame) {
    times_[frame % kSize].second = now_ms;
  }
}

void FrameLedger::MarkSent(uint32_t frame, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  if (valid_[frame % kSize] && times_[frame % kSize].first == frame) sent_[frame % kSize] = now_ms;
}

std::optional<int64_t> FrameLedger::SentTimeMs(uint32_t frame) const {
  std::lock_guard<std::mutex> lock(mu_);
  const size_t i = frame % kSize;
  if (!valid_[i] || times_[i].first != frame || sent_[i] < 0) return std::nullopt;
  return sent_[i];
}

std::optional<int64_t> FrameLedger::CaptureTimeMs(uint32_t frame) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto& e = times_[frame % kSize];
  if (!valid_[frame % kSize] || e.first != frame) return std::nullopt;
  return e.second;
}

struct MediaSource::Encoders {
  AVCodecContext* video = nullptr;
  AVFrame* vframe = nullptr;
  AVPacket* pkt = nullptr;
  std::unique_ptr<TestPattern> pattern;
  std::unique_ptr<RtpStream> vrtp;

  AVCodecContext* audio = nullptr;
  AVFrame* aframe = nullptr;
  std::unique_ptr<RtpStream> artp;
  int audio_rate = 0;
  int samples_per_packet = 0;
  size_t bytes_per_packet = 0;  // 0: one access unit per packet (AAC)
  Bytes fifo;                   // encoded bytes not yet sent (sample codecs)
  std::vector<Bytes> units;     // encoded access units not yet sent (AAC)
  double phase = 0;
  uint32_t audio_ts = 0;

  ~Encoders() {
    avcodec_free_context(&video);
    avcodec_free_context(&audio);
    av_frame_free(&vframe);
    av_frame_free(&aframe);
    av_packet_free(&pkt);
  }
};

MediaSource::MediaSource(const SourceKey& key, FrameLedger* ledger, Faults* faults)
    : key_(key), ledger_(ledger), faults_(faults), enc_(std::make_unique<Encoders>()) {}

MediaSource::~MediaSource() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool MediaSource::Start(std::string* error) {
  Encoders& e = *enc_;
  e.pkt = av_packet_alloc();
  e.vframe = av_frame_alloc();
  if (!e.pkt || !e.vframe) {
    *error = "out of memory";
    return false;
  }
  video_ssrc_ = RandomU32();
  audio_ssrc_ = RandomU32();

  const bool h264 = key_.codec == VideoCodec::kH264;
  const bool h265 = key_.codec == VideoCodec::kH265;
  const AVCodec* vc = h264   ? avcodec_find_encoder_by_name("libx264")
                      : h265 ? avcodec_find_encoder_by_name("libx265")
                             : avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!vc) {
    *error = h264   ? "libx264 encoder not available"
             : h265 ? "libx265 encoder not available"
                    : "mjpeg encoder not available";
    return false;
  }
  e.video = avcodec_alloc_context3(vc);
  AVCodecContext* v = e.video;
  v->width = key_.width;
  v->height = key_.height;
  v->time_base = AVRational{1, key_.fps};
  v->framerate = AVRational{key_.fps, 1};
  v->thread_count = 1;      // one core per configuration
  v->slices = key_.slices;  // one slice per picture unless asked for more
  if (h264) {
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->gop_size = key_.gop;
    v->keyint_min = key_.gop;
    v->max_b_frames = 0;
    v->bit_rate = int64_t{key_.bitrate_kbps} * 1000;
    v->rc_max_rate = v->bit_rate;
    v->rc_buffer_size = static_cast<int>(v->bit_rate / 2);
    av_opt_set(v->priv_data, "preset", "ultrafast", 0);
    av_opt_set(v->priv_data, "tune", "zerolatency", 0);
    // Parameter sets in band before every IDR picture; IDR pictures only at
    // the fixed interval.
    av_opt_set(v->priv_data, "x264-params", "repeat-headers=1:scenecut=0", 0);
  } else if (h265) {
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->gop_size = key_.gop;
    v->keyint_min = key_.gop;
    v->max_b_frames = 0;
    v->bit_rate = int64_t{key_.bitrate_kbps} * 1000;
    av_opt_set(v->priv_data, "preset", "ultrafast", 0);
    av_opt_set(v->priv_data, "tune", "zerolatency", 0);
    // As for H.264: parameter sets before every IDR picture at the fixed
    // interval, closed groups of pictures, one worker thread, no banner.
    const std::string params =
        "repeat-headers=1:scenecut=0:open-gop=0:bframes=0:keyint=" + std::to_string(key_.gop) +
        ":min-keyint=" + std::to_string(key_.gop) + ":pools=none:frame-threads=1:log-level=error";
    av_opt_set(v->priv_data, "x265-params", params.c_str(), 0);
  } else {
    v->pix_fmt = AV_PIX_FMT_YUVJ420P;
    v->color_range = AVCOL_RANGE_JPEG;
    v->flags |= AV_CODEC_FLAG_QSCALE;
    v->global_quality = FF_QP2LAMBDA * key_.mjpeg_quality;
    // RFC 2435 receivers rebuild the picture with the standard tables of
    // ITU-T T.81 Annex K.3, so optimised Huffman tables are not allowed.
    av_opt_set(v->priv_data, "huffman", "default", 0);
  }
  int rc = avcodec_open2(v, vc, nullptr);
  if (rc < 0) {
    *error = std::string("cannot open video encoder: ") + AvError(rc);
    return false;
  }
  e.vframe->format = v->pix_fmt;
  e.vframe->width = v->width;
  e.vframe->height = v->height;
  if (av_frame_get_buffer(e.vframe, 0) < 0) {
    *error = "out of memory";
    return false;
  }
  e.pattern = std::make_unique<TestPattern>(key_.width, key_.height, key_.scene);
  e.vrtp = std::make_unique<RtpStream>(h264 || h265 ? 96 : 26, video_ssrc_,
                                       static_cast<uint16_t>(RandomU32()));

  StreamInfo info;
  info.codec = key_.codec;
  info.width = key_.width;
  info.height = key_.height;
  info.fps = key_.fps;
  info.audio = key_.audio;

  if (key_.audio != AudioCodec::kNone) {
    const AVCodec* ac = nullptr;
    int pt = 0;
    const int g726 = G726Bits(key_.audio);
    e.audio_rate = 8000;
    e.samples_per_packet = 160;  // 20 ms
    AVSampleFormat fmt = AV_SAMPLE_FMT_S16;
    int64_t bit_rate = 64000;
    if (key_.audio == AudioCodec::kPcma) {
      ac = avcodec_find_encoder(AV_CODEC_ID_PCM_ALAW);
      pt = 8;
    } else if (key_.audio == AudioCodec::kPcmu) {
      ac = avcodec_find_encoder(AV_CODEC_ID_PCM_MULAW);
      pt = 0;
    } else if (g726) {
      // Little-endian ("right-justified") packing as RFC 3551 4.5.4 asks.
      ac = avcodec_find_encoder(AV_CODEC_ID_ADPCM_G726LE);
      pt = 97;
      bit_rate = 8000 * g726;
    } else {
      ac = avcodec_find_encoder(AV_CODEC_ID_AAC);
      pt = 108;
      fmt = AV_SAMPLE_FMT_FLTP;
      e.audio_rate = 16000;
      e.samples_per_packet = 1024;  // one AAC frame
      bit_rate = 32000;
    }
    if (!ac) {
      *error = std::string("audio encoder not available: ") + ToString(key_.audio);
      return false;
    }
    e.audio = avcodec_alloc_context3(ac);
    AVCodecContext* a = e.audio;
    a->sample_fmt = fmt;
    a->sample_rate = e.audio_rate;
    a->bit_rate = bit_rate;
    a->time_base = AVRational{1, e.audio_rate};
    av_channel_layout_default(&a->ch_layout, 1);
    if (key_.audio == AudioCodec::kAac) a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    rc = avcodec_open2(a, ac, nullptr);
    if (rc < 0) {
      *error = std::string("cannot open audio encoder: ") + AvError(rc);
      return false;
    }
    if (key_.audio == AudioCodec::kAac) {
      if (!a->extradata || a->extradata_size < 2) {
        *error = "AAC encoder gave no AudioSpecificConfig";
        return false;
      }
      info.aac_config.assign(reinterpret_cast<const char*>(a->extradata), a->extradata_size);
    } else {
      e.bytes_per_packet = static_cast<size_t>(e.samples_per_packet) * (g726 ? g726 : 8) / 8;
    }
    e.aframe = av_frame_alloc();
    if (!e.aframe) {
      *error = "out of memory";
      return false;
    }
    e.aframe->format = fmt;
    e.aframe->sample_rate = e.audio_rate;
    av_channel_layout_default(&e.aframe->ch_layout, 1);
    e.aframe->nb_samples = a->frame_size > 0 ? a->frame_size : e.samples_per_packet;
    if (av_frame_get_buffer(e.aframe, 0) < 0) {
      *error = "out of memory";
      return false;
    }
    e.artp = std::make_unique<RtpStream>(pt, audio_ssrc_, static_cast<uint16_t>(RandomU32()));
  }

  {
    std::lock_guard<std::mutex> lock(mu_);
    info_ = info;
    // H.264 and H.265 wait for the parameter sets of the first picture (the
    // description carries them).
    ready_ = key_.codec == VideoCodec::kMjpeg;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

bool MediaSource::WaitReady(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return ready_ || stop_; }) && ready_;
}

StreamInfo MediaSource::Info() const {
  std::lock_guard<std::mutex> lock(mu_);
  return info_;
}

void MediaSource::Subscribe(PacketSink* sink) {
  std::lock_guard<std::mutex> lock(sinks_mu_);
  sinks_.push_back(sink);
}

void MediaSource::Unsubscribe(PacketSink* sink) {
  std::lock_guard<std::mutex> lock(sinks_mu_);
  std::erase(sinks_, sink);
}

void MediaSource::Fanout(std::vector<Bytes>& packets, uint8_t media, bool key) {
  // A large picture goes out kPaceBytes per millisecond, as a camera paces
  // it: in one burst it would overrun any receiver's socket buffer.
  constexpr size_t kPaceBytes = 32 * 1024;
  constexpr size_t kPaceAbove = 256 * 1024;
  size_t total = 0;
  for (const Bytes& b : packets) total += b.size();
  const bool pace = total > kPaceAbove;
  bool delivered_picture = false;
  size_t i = 0;
  while (i < packets.size()) {
    {
      std::lock_guard<std::mutex> lock(sinks_mu_);
      size_t chunk = 0;
      for (; i < packets.size() && (!pace || chunk < kPaceBytes); ++i) {
        chunk += packets[i].size();
        Packet p;
        p.rtp = std::make_shared<const Bytes>(std::move(packets[i]));
        p.media = media;
        p.key_start = key && i == 0;
        p.picture_end = i + 1 == packets.size();
        for (PacketSink* s : sinks_) {
          if (s->Deliver(p) && media == 0 && p.picture_end) delivered_picture = true;
        }
      }
    }
    if (i < packets.size()) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (delivered_picture) ledger_->frames_sent.fetch_add(1, std::memory_order_relaxed);
}

void MediaSource::EncodeVideo(uint64_t index) {
  Encoders& e = *enc_;
  if (av_frame_make_writable(e.vframe) < 0) return;
  const uint32_t frame = ledger_->Next(SteadyMs());
  Planes planes{e.vframe->data[0],     e.vframe->data[1],     e.vframe->data[2],
                e.vframe->linesize[0], e.vframe->linesize[1], e.vframe->linesize[2]};
  e.pattern->Draw(planes, index, frame, LocalDayMs());
  // The picture is captured once it is whole, as a sensor's read-out ends;
  // from here on encoding and sending count towards its latency.
  ledger_->MarkCaptured(frame, SteadyMs());
  e.vframe->pts = static_cast<int64_t>(index);
  if (key_.codec == VideoCodec::kMjpeg) e.vframe->quality = FF_QP2LAMBDA * key_.mjpeg_quality;
  if (avcodec_send_frame(e.video, e.vframe) < 0) return;
  // RTP media clock of video is 90 kHz (RFC 6184 8.2.1, RFC 2435 3.1).
  const uint32_t ts = static_cast<uint32_t>(index * 90000 / static_cast<uint64_t>(key_.fps));
  while (avcodec_receive_packet(e.video, e.pkt) == 0) {
    std::string_view data(reinterpret_cast<const char*>(e.pkt->data), e.pkt->size);
    std::vector<Bytes> packets;
    const bool key = (e.pkt->flags & AV_PKT_FLAG_KEY) != 0;
    if (key_.codec == VideoCodec::kH264) {
      std::vector<std::string_view> nals;
      std::string sps, pps;
      size_t picture_bytes = 0;
      for (std::string_view n : SplitAnnexB(data)) {
        const int type = static_cast<uint8_t>(n[0]) & 0x1f;
        if (type == 9) continue;  // access unit delimiters carry nothing here
        if (type == 7) sps = n;
        if (type == 8) pps = n;
        if ((type == 7 || type == 8) && key_.strip_parameter_sets) continue;
        nals.push_back(n);
        picture_bytes += 4 + n.size();
      }
      // Padding: one filler data unit (H.264 7.3.2.7: 0xFF bytes, then the
      // stop bit) after the slices, counted with its start code.
      size_t target = key_.pad_picture_bytes;
      if (faults_ != nullptr) target = std::max(target, faults_->pad_next_picture.exchange(0));
      std::string filler;
      if (target > picture_bytes + 6) {
        filler.assign(target - picture_bytes - 4, static_cast<char>(0xFF));
        filler.front() = 0x0C;
        filler.back() = static_cast<char>(0x80);
        nals.push_back(filler);
      }
      if (!sps.empty() && !pps.empty()) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ready_) {
          info_.sps = sps;
          info_.pps = pps;
          ready_ = true;
          cv_.notify_all();
        }
      }
      PacketizeH264(nals, ts, e.vrtp.get(), &packets, key_.stap_a);
    } else if (key_.codec == VideoCodec::kH265) {
      std::vector<std::string_view> nals;
      std::string vps, sps, pps;
      for (std::string_view n : SplitAnnexB(data)) {
        if (n.size() < 2) continue;
        const int type = (static_cast<uint8_t>(n[0]) >> 1) & 0x3f;
        if (type == 35) continue;  // access unit delimiters carry nothing here
        if (type == 32) vps = n;
        if (type == 33) sps = n;
        if (type == 34) pps = n;
        if (type >= 32 && type <= 34 && key_.strip_parameter_sets) continue;
        nals.push_back(n);
      }
      if (!vps.empty() && !sps.empty() && !pps.empty()) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!ready_) {
          info_.vps = vps;
          info_.sps = sps;
          info_.pps = pps;
          ready_ = true;
          cv_.notify_all();
        }
      }
      PacketizeH265(nals, ts, e.vrtp.get(), &packets, key_.stap_a);
    } else if (auto jpeg = ParseJpeg(data)) {
      PacketizeJpeg(*jpeg, ts, e.vrtp.get(), &packets);
    }
    av_packet_unref(e.pkt);
    if (!packets.empty()) {
      Fanout(packets, 0, key);
      ledger_->MarkSent(frame, SteadyMs());
    }
  }
}

void MediaSource::EncodeAudio() {
  Encoders& e = *enc_;
  const double step = 2 * M_PI * 1000.0 / e.audio_rate;
  // Encodes one encoder frame of the tone and collects its output.
  auto encode_frame = [&]() -> bool {
    if (av_frame_make_writable(e.aframe) < 0) return false;
    for (int i = 0; i < e.aframe->nb_samples; ++i) {
      const double s = 0.25 * std::sin(e.phase);
      e.phase = std::fmod(e.phase + step, 2 * M_PI);
      if (e.aframe->format == AV_SAMPLE_FMT_FLTP) {
        reinterpret_cast<float*>(e.aframe->data[0])[i] = static_cast<float>(s);
      } else {
        reinterpret_cast<int16_t*>(e.aframe->data[0])[i] = static_cast<int16_t>(s * 32767);
      }
    }
    if (avcodec_send_frame(e.audio, e.aframe) < 0) return false;
    while (avcodec_receive_packet(e.audio, e.pkt) == 0) {
      if (e.bytes_per_packet) {
        e.fifo.insert(e.fifo.end(), e.pkt->data, e.pkt->data + e.pkt->size);
      } else {
        e.units.emplace_back(e.pkt->data, e.pkt->data + e.pkt->size);
      }
      av_packet_unref(e.pkt);
    }
    return true;
  };

  Bytes payload;
  if (e.bytes_per_packet) {
    // Sample codecs: the encoder's frame is cut into 20 ms payloads; each
    // ends on a byte boundary because 160 samples fill whole bytes at every
    // G.726 rate.
    for (int guard = 0; e.fifo.size() < e.bytes_per_packet && guard < 8; ++guard)
      if (!encode_frame()) return;
    if (e.fifo.size() < e.bytes_per_packet) return;
    payload.assign(e.fifo.begin(), e.fifo.begin() + static_cast<ptrdiff_t>(e.bytes_per_packet));
    e.fifo.erase(e.fifo.begin(), e.fifo.begin() + static_cast<ptrdiff_t>(e.bytes_per_packet));
  } else {
    // The AAC encoder delays its output by a frame or two at the start.
    for (int guard = 0; e.units.empty() && guard < 4; ++guard)
      if (!encode_frame()) return;
    if (e.units.empty()) return;
    payload = AacPayload(std::string_view(reinterpret_cast<const char*>(e.units.front().data()),
                                          e.units.front().size()));
    e.units.erase(e.units.begin());
    if (payload.empty()) return;
  }
  // RFC 3640 3.2: the marker ends an access unit; sample codecs leave it
  // clear in a continuous stream (RFC 3551 4.1).
  Bytes p = e.artp->Start(!e.bytes_per_packet, e.audio_ts, payload.size());
  std::memcpy(p.data() + 12, payload.data(), payload.size());
  e.audio_ts += static_cast<uint32_t>(e.samples_per_packet);
  std::vector<Bytes> packets;
  packets.push_back(std::move(p));
  Fanout(packets, 1, false);
}

void MediaSource::Run() {
  using clock = std::chrono::steady_clock;
  const double scale = key_.scale_milli / 1000.0;
  const auto video_step = std::chrono::duration_cast<clock::duration>(
      std::chrono::duration<double>(1.0 / (key_.fps * scale)));
  const bool audio = enc_->audio != nullptr;
  const auto audio_step =
      audio ? std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(
                  enc_->samples_per_packet / (enc_->audio_rate * scale)))
            : clock::duration::max();
  uint64_t video_index = 0;
  auto next_video = clock::now();
  auto next_audio = next_video;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
    }
    const auto now = clock::now();
    if (now >= next_video) {
      EncodeVideo(video_index++);
      next_video += video_step;
      // After a stall (debugger, overloaded machine) resume the pace instead
      // of sending a burst of stale pictures.
      if (clock::now() - next_video > std::chrono::seconds(1)) next_video = clock::now();
      continue;
    }
    if (audio && now >= next_audio) {
      EncodeAudio();
      next_audio += audio_step;
      if (clock::now() - next_audio > std::chrono::seconds(1)) next_audio = clock::now();
      continue;
    }
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_until(lock, audio ? std::min(next_video, next_audio) : next_video,
                   [this] { return stop_; });
  }
}

}  // namespace devicesim
