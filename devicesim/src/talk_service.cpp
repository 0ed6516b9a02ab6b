// The talk endpoint of the simulated camera: handshake, talk packet decoding
// and the device's own tone.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "devicesim/device.h"
#include "devicesim/talk.h"
#include "socket_util.h"

namespace devicesim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxRequestBytes = 1024;
// Largest voice frame accepted in a talk packet (bytes, header included).
constexpr uint32_t kMaxFrameBytes = 4 + 2 * 8192;
constexpr size_t kMaxPcmSamples = 8000 * 120;
constexpr int kSamplesPerFrame = 160;  // 20 ms
constexpr int kToneAmplitude = 8000;

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int TypeForCode(long code) {
  switch (code) {
    case 1:
    case 2:
    case 4:
    case 5:
    case 7:
      return int(code);
    case 6:
    case 16:
      return 6;
    default:
      return -1;
  }
}

// "@a@b..." values at the start of a line.
std::vector<long> Fields(std::string_view line) {
  std::vector<long> out;
  size_t pos = 0;
  while (pos < line.size() && line[pos] == '@' && out.size() < 8) {
    ++pos;
    size_t start = pos;
    if (pos < line.size() && (line[pos] == '-' || line[pos] == '+')) ++pos;
    size_t digits = pos;
    while (pos < line.size() && pos - digits < 9 && line[pos] >= '0' && line[pos] <= '9') ++pos;
    if (pos == digits) break;
    out.push_back(std::stol(std::string(line.substr(start, pos - start))));
  }
  return out;
}

// One direction of a talk codec through libavcodec: G.711 by the PCM
// A-law/mu-law codecs, G.726 as "adpcm_g726le" (RFC 3551 packing).
class Codec {
 public:
  ~Codec() {
    avcodec_free_context(&ctx_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
  }
  bool Open(int type, bool encoder) {
    AVCodecID id = AV_CODEC_ID_ADPCM_G726LE;
    if (type == 1) id = AV_CODEC_ID_PCM_ALAW;
    if (type == 2) id = AV_CODEC_ID_PCM_MULAW;
    const AVCodec* c = encoder ? avcodec_find_encoder(id) : avcodec_find_decoder(id);
    if (c == nullptr) return false;
    ctx_ = avcodec_alloc_context3(c);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!ctx_ || !frame_ || !packet_) return false;
    ctx_->sample_rate = 8000;
    ctx_->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&ctx_->ch_layout, 1);
    if (type >= 4 && type <= 7) {
      ctx_->bit_rate = 8000 * (type - 2);
      ctx_->bits_per_coded_sample = type - 2;
    }
    ctx_->time_base = AVRational{1, 8000};
    return avcodec_open2(ctx_, c, nullptr) >= 0;
  }

  // Appends the samples of one payload to *pcm.
  bool Decode(const uint8_t* data, size_t len, std::vector<int16_t>* pcm) {
    if (len == 0) return true;
    packet_->data = const_cast<uint8_t*>(data);
    packet_->size = int(len);
    int rc = avcodec_send_packet(ctx_, packet_);
    packet_->data = nullptr;
    packet_->size = 0;
    if (rc < 0) return false;
    while (avcodec_receive_frame(ctx_, frame_) == 0) {
      const int16_t* s = reinterpret_cast<const int16_t*>(frame_->data[0]);
      pcm->insert(pcm->end(), s, s + frame_->nb_samples);
      av_frame_unref(frame_);
    }
    return true;
  }

  // Encodes samples into code bytes appended to *out.
  bool Encode(const int16_t* samples, int count, std::string* out) {
    frame_->nb_samples = count;
    frame_->format = AV_SAMPLE_FMT_S16;
    frame_->sample_rate = 8000;
    if (av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout) < 0 ||
        av_frame_get_buffer(frame_, 0) < 0) {
      av_frame_unref(frame_);
      return false;
    }
    std::memcpy(frame_->data[0], samples, size_t(count) * 2);
    if (ctx_->frame_size != 0) ctx_->frame_size = count;
    int rc = avcodec_send_frame(ctx_, frame_);
    av_frame_unref(frame_);
    if (rc < 0) return false;
    while (avcodec_receive_packet(ctx_, packet_) == 0) {
      out->append(reinterpret_cast<const char*>(packet_->data), size_t(packet_->size));
      av_packet_unref(packet_);
    }
    return true;
  }

 private:
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

bool WriteWavFile(const std::string& path, const std::vector<int16_t>& pcm) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const uint32_t data = uint32_t(pcm.size() * 2);
  uint8_t h[44];
  auto le16 = [](uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
  };
  auto le32 = [](uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
  };
  std::memcpy(h, "RIFF", 4);
  le32(h + 4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  le32(h + 16, 16);
  le16(h + 20, 1);
  le16(h + 22, 1);
  le32(h + 24, 8000);
  le32(h + 28, 16000);
  le16(h + 32, 2);
  le16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  le32(h + 40, data);
  bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h &&
            std::fwrite(pcm.data(), 2, pcm.size(), f) == pcm.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

struct TalkService::State {
  TalkOptions options;

  mutable std::mutex mutex;
  mutable std::condition_variable cv;
  std::vector<std::shared_ptr<TalkConnection>> connections;  // guarded by mutex
  std::string wav_path;                                      // guarded by mutex

  void Serve(int fd, std::string buf);
  // Decodes the complete talk packets at the front of `in`; false when the
  // stream cannot be framed any more.
  bool TakePackets(std::string* in, Codec* decoder, TalkConnection* c);
};

bool TalkService::State::TakePackets(std::string* in, Codec* decoder, TalkConnection* c) {
  size_t pos = 0;
  std::vector<int16_t> pcm;
  bool ok = true;
  while (in->size() - pos >= 8) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(in->data()) + pos;
    const uint32_t len = Le32(p);
    if (len < 4 || len > kMaxFrameBytes) {
      ok = false;
      break;
    }
    if (in->size() - pos - 8 < len) break;
    const uint8_t* frame = p + 8;
    const uint32_t words = uint32_t(frame[2]) | uint32_t(frame[3]) << 8;
    if (frame[0] != 0x00 || frame[1] != 0x01 || 4 + 2 * words != len ||
        !decoder->Decode(frame + 4, len - 4, &pcm)) {
      std::lock_guard<std::mutex> lock(mutex);
      ++c->bad_packets;
    } else {
      std::lock_guard<std::mutex> lock(mutex);
      ++c->packets;
    }
    pos += 8 + len;
  }
  in->erase(0, pos);
  if (!pcm.empty()) {
    std::lock_guard<std::mutex> lock(mutex);
    const size_t room = kMaxPcmSamples - std::min(kMaxPcmSamples, c->pcm.size());
    c->pcm.insert(c->pcm.end(), pcm.begin(), pcm.begin() + std::min(room, pcm.size()));
    cv.notify_all();
  }
  return ok;
}

void TalkService::State::Serve(int fd, std::string buf) {
  // The request: up to "END\n".
  char chunk[4096];
  size_t end;
  while ((end = buf.find("END\n")) == std::string::npos) {
    if (buf.size() > kMaxRequestBytes) return;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    buf.append(chunk, size_t(n));
  }
  end += 4;
  auto c = std::make_shared<TalkConnection>();
  c->request = buf.substr(0, end);
  buf.erase(0, end);
  {
    size_t lf = c->request.find('\n');
    std::vector<long> v = Fields(std::string_view(c->request).substr(lf + 1));
    if (v.size() >= 2) {
      c->channel = int(v[0]);
      c->code = int(v[1]);
      c->voice_type = TypeForCode(v[1]);
    }
  }
  const TalkAnswer answer = options.answer.load();
  c->accepted = answer != TalkAnswer::kRefuse && c->voice_type > 0;
  c->duplex = c->accepted && answer == TalkAnswer::kDuplex;
  Codec decoder, encoder;
  if (c->accepted &&
      (!decoder.Open(c->voice_type, false) || (c->duplex && !encoder.Open(c->voice_type, true)))) {
    c->accepted = c->duplex = false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    c->id = connections.size() + 1;
    connections.push_back(c);
    cv.notify_all();
  }
  auto finish = [&] {
    std::string path;
    std::vector<int16_t> pcm;
    {
      std::lock_guard<std::mutex> lock(mutex);
      c->open = false;
      cv.notify_all();
      path = wav_path;
      if (!path.empty() && c->accepted) pcm = c->pcm;
    }
    if (!path.empty() && c->accepted) WriteWavFile(path, pcm);
  };
  if (options.silent.load()) {
    // Hold the connection without a word until the peer or the device ends it.
    while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
    }
    finish();
    return;
  }

  char reply[96];
  std::snprintf(reply, sizeof reply, "CMD:TALK MCTP/1.0 CS\n@%d@%d@%d@\n", c->duplex ? 1 : 0,
                c->accepted ? 1 : 0, c->code < 0 ? 0 : c->code);
  std::string out = reply;
  if (!c->accepted) {
    SendAll(fd, out);
    finish();
    return;
  }

  // The tone, one 20 ms voice frame at a time.
  double phase = 0;
  auto tone_frame = [&](std::string* dst) {
    int16_t s[kSamplesPerFrame];
    const double step = 2 * M_PI * options.tone_hz.load() / 8000.0;
    for (int i = 0; i < kSamplesPerFrame; ++i) {
      s[i] = int16_t(std::lround(kToneAmplitude * std::sin(phase)));
      phase = std::fmod(phase + step, 2 * M_PI);
    }
    std::string code;
    if (!encoder.Encode(s, kSamplesPerFrame, &code)) return false;
    const size_t words = code.size() / 2;
    code.resize(words * 2);
    const char head[4] = {0x00, 0x01, char(words & 0xFF), char(words >> 8)};
    dst->append(head, 4);
    dst->append(code);
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++c->frames_sent;
    }
    return true;
  };

  const Clock::time_point start = Clock::now();
  Clock::time_point next_frame = start;
  auto sending = [&] { return c->duplex && options.device_audio.load(); };
  if (sending() && !options.reply_alone.load() && tone_frame(&out)) {
    next_frame += std::chrono::milliseconds(20);
  }
  bool alive = SendAll(fd, out);
  while (alive) {
    if (!TakePackets(&buf, &decoder, c.get())) break;
    Clock::time_point now = Clock::now();
    const int drop_ms = options.drop_after_ms.load();
    if (drop_ms > 0 && now - start >= std::chrono::milliseconds(drop_ms)) break;
    if (sending()) {
      std::string frames;
      while (now >= next_frame) {
        if (!tone_frame(&frames)) break;
        next_frame += std::chrono::milliseconds(20);
      }
      if (!frames.empty() && !SendAll(fd, frames)) break;
    } else {
      next_frame = now;
    }
    int wait_ms = 20;
    if (sending()) {
      wait_ms =
          int(std::chrono::duration_cast<std::chrono::milliseconds>(next_frame - now).count());
      wait_ms = std::clamp(wait_ms, 0, 20);
    }
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, wait_ms);
    if (r < 0 && errno != EINTR) break;
    if (r > 0) {
      ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n == 0) break;
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (n > 0) buf.append(chunk, size_t(n));
    }
  }
  finish();
}

TalkService::TalkService() : state_(std::make_shared<State>()) {}

TalkService::~TalkService() = default;

void TalkService::Attach(Device& device) {
  std::shared_ptr<State> state = state_;
  device.AddProtocol("CMD:TALK", [state](int fd, std::string already_read) {
    state->Serve(fd, std::move(already_read));
  });
}

TalkOptions& TalkService::options() {
  return state_->options;
}

void TalkService::SetWavPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->wav_path = path;
}

size_t TalkService::Connections() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->connections.size();
}

size_t TalkService::OpenConnections() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return size_t(std::count_if(state_->connections.begin(), state_->connections.end(),
                              [](const auto& c) { return c->open; }));
}

bool TalkService::WaitConnections(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return state_->connections.size() >= count; });
}

bool TalkService::WaitSamples(size_t index, size_t samples, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return index < state_->connections.size() && state_->connections[index]->pcm.size() >= samples;
  });
}

TalkConnection TalkService::Connection(size_t index) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (index >= state_->connections.size()) return {};
  return *state_->connections[index];
}

bool TalkService::WriteWav(size_t index, const std::string& path) const {
  std::vector<int16_t> pcm;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (index >= state_->connections.size()) return false;
    pcm = state_->connections[index]->pcm;
  }
  return WriteWavFile(path, pcm);
}

}  // namespace devicesim
