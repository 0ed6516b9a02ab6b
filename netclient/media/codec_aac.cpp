#include "media/codec_aac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

struct AacDecoder {
  AVCodecContext* ctx = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AacFrameInfo info{};
};

namespace {

constexpr int kAdtsSampleRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                      16000, 12000, 11025, 8000,  7350,  0,     0,     0};

struct AdtsHeader {
  size_t frame_length;  // header + payload, bytes
  int profile;
  int sample_rate;
  int channels;
};

// ADTS fixed and variable header, ISO/IEC 13818-7 6.2.1 / 14496-3 1.A.2.2.
bool ParseAdts(const uint8_t* p, size_t len, AdtsHeader* h) {
  if (len < 7) return false;
  if (p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return false;  // syncword
  if ((p[1] & 0x06) != 0) return false;                     // layer must be 0
  const bool crc = (p[1] & 0x01) == 0;
  const int rate_index = (p[2] >> 2) & 0x0F;
  h->profile = p[2] >> 6;
  h->sample_rate = kAdtsSampleRates[rate_index];
  h->channels = ((p[2] & 0x01) << 2) | (p[3] >> 6);
  h->frame_length =
      (static_cast<size_t>(p[3] & 0x03) << 11) | (static_cast<size_t>(p[4]) << 3) | (p[5] >> 5);
  const size_t header = crc ? 9 : 7;
  if (h->sample_rate == 0) return false;
  if (h->frame_length <= header || h->frame_length > len) return false;
  return true;
}

int16_t ToS16(float v) {
  const float scaled = std::nearbyint(v * 32768.0f);
  return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

// Mixes the decoded frame down to mono into out. Returns the samples written,
// or -1 for a format this code does not handle.
long MixToMono(const AVFrame* f, int16_t* out) {
  const int channels = f->ch_layout.nb_channels;
  const int n = f->nb_samples;
  if (channels <= 0) return -1;
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  for (int i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (int c = 0; c < channels; ++c) {
      switch (fmt) {
        case AV_SAMPLE_FMT_FLTP:
          sum += reinterpret_cast<const float*>(f->extended_data[c])[i];
          break;
        case AV_SAMPLE_FMT_FLT:
          sum += reinterpret_cast<const float*>(f->extended_data[0])[i * channels + c];
          break;
        case AV_SAMPLE_FMT_S16P:
          sum += reinterpret_cast<const int16_t*>(f->extended_data[c])[i] / 32768.0f;
          break;
        case AV_SAMPLE_FMT_S16:
          sum += reinterpret_cast<const int16_t*>(f->extended_data[0])[i * channels + c] / 32768.0f;
          break;
        default:
          return -1;
      }
    }
    out[i] = ToS16(sum / static_cast<float>(channels));
  }
  return n;
}

}  // namespace

AacDecoder* avcodec_AACInitDecoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) return nullptr;
  auto* d = new (std::nothrow) AacDecoder;
  if (d == nullptr) return nullptr;
  d->ctx = avcodec_alloc_context3(codec);
  d->packet = av_packet_alloc();
  d->frame = av_frame_alloc();
  // Without extradata the decoder configures itself from each ADTS header.
  if (d->ctx == nullptr || d->packet == nullptr || d->frame == nullptr ||
      avcodec_open2(d->ctx, codec, nullptr) < 0) {
    avcodec_AACFreeDecoder(d);
    return nullptr;
  }
  return d;
}

int avcodec_AACDecode(AacDecoder* d, const uint8_t** in, int* bytes_left, int16_t* out,
                      size_t out_capacity) {
  if (d == nullptr) return -1;
  d->info.sample_count = 0;
  if (in == nullptr || *in == nullptr || bytes_left == nullptr || *bytes_left <= 0 ||
      out == nullptr)
    return -1;
  AdtsHeader h{};
  if (!ParseAdts(*in, static_cast<size_t>(*bytes_left), &h)) return -1;

  const uint8_t* data = *in;
  *in += h.frame_length;
  *bytes_left -= static_cast<int>(h.frame_length);

  if (av_new_packet(d->packet, static_cast<int>(h.frame_length)) < 0) return -1;
  std::memcpy(d->packet->data, data, h.frame_length);
  int ret = avcodec_send_packet(d->ctx, d->packet);
  av_packet_unref(d->packet);
  if (ret < 0) return -1;

  size_t written = 0;
  int result = 0;
  int out_rate = 0;
  int out_channels = 0;
  while ((ret = avcodec_receive_frame(d->ctx, d->frame)) == 0) {
    const size_t n = static_cast<size_t>(d->frame->nb_samples);
    if (n > out_capacity - written) {
      result = -1;  // keep draining so the next call starts clean
    } else if (result == 0) {
      const long got = MixToMono(d->frame, out + written);
      if (got < 0)
        result = -1;
      else
        written += static_cast<size_t>(got);
      out_rate = d->frame->sample_rate;
      out_channels = d->frame->ch_layout.nb_channels;
    }
    av_frame_unref(d->frame);
  }
  if (ret != AVERROR(EAGAIN) || result != 0 || written == 0 || written > 0xFFFF) return -1;

  d->info.bit_rate = static_cast<int32_t>(std::min<int64_t>(d->ctx->bit_rate, INT32_MAX));
  d->info.channels = out_channels > 0 ? out_channels : h.channels;
  d->info.core_sample_rate = h.sample_rate;
  d->info.sample_rate = out_rate > 0 ? out_rate : h.sample_rate;
  d->info.bits_per_sample = 16;
  d->info.sample_count = static_cast<int32_t>(written);
  d->info.profile = h.profile;
  return 0;
}

int avcodec_AACGetLastFrameInfo(AacDecoder* d, AacFrameInfo* info) {
  if (d == nullptr || info == nullptr) return -1;
  *info = d->info;
  return 0;
}

void avcodec_AACFreeDecoder(AacDecoder* d) {
  if (d == nullptr) return;
  avcodec_free_context(&d->ctx);
  av_packet_free(&d->packet);
  av_frame_free(&d->frame);
  delete d;
}
