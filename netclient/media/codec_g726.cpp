#include "media/codec_g726.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include "media/codec_g711.h"

namespace {

constexpr int kVoiceSampleRate = 8000;

bool IsG726(int type) {
  return type >= kVoiceTypeG726_16 && type <= kVoiceTypeG726_40;
}

}  // namespace

// Gives the free functions access to the state's fields without making them
// part of the class interface.
struct VoiceEngineAccess {
  static int Reset(VoiceEngineState* s, int type, bool encoder);
  static int Decode(VoiceEngineState* s, const uint8_t* frame, size_t frame_len, int16_t* out,
                    size_t out_capacity, uint16_t* out_count);
  static int Encode(VoiceEngineState* s, const int16_t* pcm, uint8_t* out, size_t out_capacity,
                    int sample_count);
};

VoiceEngineState::~VoiceEngineState() {
  Release();
}

void VoiceEngineState::Release() {
  avcodec_free_context(&ctx_);
  av_frame_free(&frame_);
  av_packet_free(&packet_);
  type_ = 0;
}

int VoiceEngineBitsPerSample(int type) {
  switch (type) {
    case kVoiceTypeG711Alaw:
    case kVoiceTypeG711Ulaw:
      return 8;
    case kVoiceTypeG726_16:
    case kVoiceTypeG726_24:
    case kVoiceTypeG726_32:
    case kVoiceTypeG726_40:
      return type - 2;
    default:
      return 0;
  }
}

int VoiceEngineAccess::Reset(VoiceEngineState* s, int type, bool encoder) {
  if (s == nullptr) return -1;
  s->Release();
  const int bits = VoiceEngineBitsPerSample(type);
  if (bits == 0) return -1;
  s->encoder_ = encoder;
  if (!IsG726(type)) {
    s->type_ = type;
    return 0;
  }
  const AVCodec* codec = encoder ? avcodec_find_encoder(AV_CODEC_ID_ADPCM_G726LE)
                                 : avcodec_find_decoder(AV_CODEC_ID_ADPCM_G726LE);
  if (codec == nullptr) return -1;
  s->ctx_ = avcodec_alloc_context3(codec);
  s->frame_ = av_frame_alloc();
  s->packet_ = av_packet_alloc();
  if (s->ctx_ == nullptr || s->frame_ == nullptr || s->packet_ == nullptr) {
    s->Release();
    return -1;
  }
  AVCodecContext* ctx = s->ctx_;
  ctx->sample_rate = kVoiceSampleRate;
  av_channel_layout_default(&ctx->ch_layout, 1);
  if (encoder) {
    ctx->sample_fmt = AV_SAMPLE_FMT_S16;
    ctx->bit_rate = static_cast<int64_t>(bits) * kVoiceSampleRate;
  } else {
    ctx->bits_per_coded_sample = bits;
  }
  if (avcodec_open2(ctx, codec, nullptr) < 0) {
    s->Release();
    return -1;
  }
  s->type_ = type;
  return 0;
}

int VoiceEngineAccess::Decode(VoiceEngineState* s, const uint8_t* frame, size_t frame_len,
                              int16_t* out, size_t out_capacity, uint16_t* out_count) {
  if (out_count) *out_count = 0;
  if (s == nullptr || s->type_ == 0 || s->encoder_ || out_count == nullptr) return -1;
  const uint8_t* payload = nullptr;
  size_t payload_len = 0;
  if (!VoiceFrameParse(frame, frame_len, &payload, &payload_len)) return -1;

  const int bits = VoiceEngineBitsPerSample(s->type_);
  if (!IsG726(s->type_)) {
    if (payload_len > out_capacity) return -1;
    if (payload_len == 0) return 0;
    if (out == nullptr) return -1;
    if (s->type_ == kVoiceTypeG711Alaw)
      g711::AlawDecode(payload, payload_len, out);
    else
      g711::UlawDecode(payload, payload_len, out);
    *out_count = static_cast<uint16_t>(payload_len);
    return 0;
  }

  // 3- and 5-bit code words end on a byte boundary only every 3 or 5 bytes;
  // bits after the last whole code word are padding.
  if (bits % 2 != 0) payload_len -= payload_len % static_cast<size_t>(bits);
  const size_t samples = payload_len * 8 / static_cast<size_t>(bits);
  if (samples > out_capacity || samples > 0xFFFF) return -1;
  if (samples == 0) return 0;  // an empty packet would mean end of stream to libavcodec
  if (out == nullptr) return -1;

  AVPacket* pkt = s->packet_;
  if (av_new_packet(pkt, static_cast<int>(payload_len)) < 0) return -1;
  std::memcpy(pkt->data, payload, payload_len);
  int ret = avcodec_send_packet(s->ctx_, pkt);
  av_packet_unref(pkt);
  if (ret < 0) return -1;

  size_t written = 0;
  int result = 0;
  while ((ret = avcodec_receive_frame(s->ctx_, s->frame_)) == 0) {
    const size_t n = static_cast<size_t>(s->frame_->nb_samples);
    if (s->frame_->format != AV_SAMPLE_FMT_S16 || n > samples - written) {
      result = -1;
    } else {
      std::memcpy(out + written, s->frame_->data[0], n * sizeof(int16_t));
      written += n;
    }
    av_frame_unref(s->frame_);
  }
  if (ret != AVERROR(EAGAIN) || result != 0 || written == 0) return -1;
  *out_count = static_cast<uint16_t>(written);
  return 0;
}

int VoiceEngineAccess::Encode(VoiceEngineState* s, const int16_t* pcm, uint8_t* out,
                              size_t out_capacity, int sample_count) {
  if (s == nullptr || s->type_ == 0 || !s->encoder_) return -1;
  if (sample_count <= 0 || pcm == nullptr || out == nullptr) return -1;
  const int bits = VoiceEngineBitsPerSample(s->type_);
  const size_t code_bits = static_cast<size_t>(sample_count) * static_cast<size_t>(bits);
  if (code_bits % 16 != 0) return -1;
  const size_t payload_len = code_bits / 8;
  if (payload_len > kVoiceFrameMaxPayload) return -1;
  if (out_capacity < kVoiceFrameHeaderBytes || out_capacity - kVoiceFrameHeaderBytes < payload_len)
    return -1;
  uint8_t* payload = out + kVoiceFrameHeaderBytes;

  if (!IsG726(s->type_)) {
    if (s->type_ == kVoiceTypeG711Alaw)
      g711::AlawEncode(pcm, static_cast<size_t>(sample_count), payload);
    else
      g711::UlawEncode(pcm, static_cast<size_t>(sample_count), payload);
  } else {
    AVFrame* frame = s->frame_;
    frame->nb_samples = sample_count;
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kVoiceSampleRate;
    if (av_channel_layout_copy(&frame->ch_layout, &s->ctx_->ch_layout) < 0 ||
        av_frame_get_buffer(frame, 0) < 0) {
      av_frame_unref(frame);
      return -1;
    }
    std::memcpy(frame->data[0], pcm, static_cast<size_t>(sample_count) * sizeof(int16_t));
    // This libavcodec encoder takes any frame length when frame_size is 0.
    // Versions that announce a fixed size would refuse every frame after a
    // short one; our frames are all complete, so announce their length.
    if (s->ctx_->frame_size != 0) s->ctx_->frame_size = sample_count;
    int ret = avcodec_send_frame(s->ctx_, frame);
    av_frame_unref(frame);
    if (ret < 0) return -1;
    size_t written = 0;
    int result = 0;
    AVPacket* pkt = s->packet_;
    while ((ret = avcodec_receive_packet(s->ctx_, pkt)) == 0) {
      const size_t n = static_cast<size_t>(pkt->size);
      if (n > payload_len - written) {
        result = -1;
      } else {
        std::memcpy(payload + written, pkt->data, n);
        written += n;
      }
      av_packet_unref(pkt);
    }
    if (ret != AVERROR(EAGAIN) || result != 0 || written != payload_len) return -1;
  }

  const size_t words = payload_len / 2;
  out[0] = kVoiceFrameHeaderWord & 0xFF;
  out[1] = kVoiceFrameHeaderWord >> 8;
  out[2] = static_cast<uint8_t>(words & 0xFF);
  out[3] = static_cast<uint8_t>(words >> 8);
  return 0;
}

int HI_VOICE_DecReset(VoiceEngineState* state, int type) {
  return VoiceEngineAccess::Reset(state, type, false);
}

int HI_VOICE_EncReset(VoiceEngineState* state, int type) {
  return VoiceEngineAccess::Reset(state, type, true);
}

int HI_VOICE_DecodeFrame(VoiceEngineState* state, const uint8_t* frame, size_t frame_len,
                         int16_t* out, size_t out_capacity, uint16_t* out_count) {
  return VoiceEngineAccess::Decode(state, frame, frame_len, out, out_capacity, out_count);
}

int HI_VOICE_EncodeFrame(VoiceEngineState* state, const int16_t* pcm, uint8_t* out,
                         size_t out_capacity, int sample_count) {
  return VoiceEngineAccess::Encode(state, pcm, out, out_capacity, sample_count);
}
