#include "media/audio_dec.h"

#include <cstring>

namespace quornet {

namespace {

constexpr uint32_t kWideReadSize = 2500;   // PCM and AAC
constexpr uint32_t kVoiceReadSize = 1280;  // G.711 and the voice engine
constexpr int32_t kVoiceRate = 8000;
constexpr int32_t kAacRate = 16000;
constexpr uint32_t kAacMaxSamples = 2048;  // one HE-AAC frame

}  // namespace

bool BuildAdtsHeader(uint32_t payload_len, uint8_t (&h)[kAdtsHeaderBytes]) {
  if (payload_len > kAdtsMaxFrameBytes - kAdtsHeaderBytes) return false;
  const uint32_t f = payload_len + kAdtsHeaderBytes;
  h[0] = 0xFF;
  h[1] = 0xF9;  // MPEG-2, layer 0, no CRC
  h[2] = 0x60;  // AAC LC, sampling index 8 (16000 Hz), channel bit 2 = 0
  h[3] = static_cast<uint8_t>(0x40 | ((f >> 11) & 3));  // one channel
  h[4] = static_cast<uint8_t>((f >> 3) & 0xFF);
  h[5] = static_cast<uint8_t>(((f & 7) << 5) | 0x1F);  // buffer fullness 0x7FF
  h[6] = 0xFC;                                         // one raw data block
  return true;
}

CAudioDec::CAudioDec() {
  scratch_.reserve(kAdtsMaxFrameBytes);
}

CAudioDec::~CAudioDec() {
  Close();
}

uint32_t CAudioDec::ReadSize(int32_t code) {
  return code == kAudioPcm || code == kAudioAac ? kWideReadSize : kVoiceReadSize;
}

int32_t CAudioDec::DefaultSampleRate(int32_t code) {
  return code == kAudioAac ? kAacRate : kVoiceRate;
}

int32_t CAudioDec::SampleRate(int32_t code, int32_t session_rate) {
  return session_rate > 0 ? session_rate : DefaultSampleRate(code);
}

uint32_t CAudioDec::PcmCapacity(int32_t code) {
  switch (code) {
    case kAudioPcm:
      return kWideReadSize;
    case kAudioAlaw:
    case kAudioUlaw:
      return 2 * kVoiceReadSize;
    case kAudioAac:
      return 2 * kAacMaxSamples;
    default:
      // Voice engine: the densest code (2 bits per sample) gives 4 samples
      // per payload byte.
      return 2 * 4 * kVoiceReadSize;
  }
}

int CAudioDec::InitDecoder(int32_t code) {
  switch (code) {
    case kAudioAac:
      if (aac_ == nullptr) aac_ = avcodec_AACInitDecoder();
      return aac_ != nullptr ? 0 : -1;
    case kAudioAlaw:
    case kAudioUlaw:
      g711_.mode = code == kAudioAlaw ? kVoiceModeAlaw : kVoiceModeUlaw;
      return avcodec_Voice_DecInit(&g711_) == 0 ? 0 : -1;
    case kAudioPcm:
      return 0;
    default:
      return HI_VOICE_DecReset(&voice_, code) == 0 ? 0 : -1;
  }
}

void CAudioDec::Close() {
  avcodec_AACFreeDecoder(aac_);
  aac_ = nullptr;
}

int CAudioDec::Decode(int32_t length, int32_t* out_bytes, int32_t code, const uint8_t* input,
                      int16_t* output, size_t output_capacity) {
  int32_t dummy = 0;
  if (out_bytes == nullptr) out_bytes = &dummy;
  *out_bytes = 0;
  if (length < 0 || (input == nullptr && length != 0) || output == nullptr) return -1;
  const size_t len = static_cast<size_t>(length);
  const size_t capacity_samples = output_capacity / 2;

  switch (code) {
    case kAudioPcm: {
      // Whole samples only: an odd byte would shift every later sample of
      // the output stream by one byte.
      const size_t bytes = len & ~size_t{1};
      if (bytes > capacity_samples * 2) return -1;
      if (bytes != 0) std::memcpy(output, input, bytes);
      *out_bytes = static_cast<int32_t>(bytes);
      return 0;
    }
    case kAudioAlaw:
    case kAudioUlaw: {
      uint16_t count = 0;
      if (avcodec_Voice_Dec(&g711_, input, len, output, capacity_samples, &count) != 0) return -1;
      *out_bytes = 2 * static_cast<int32_t>(count);
      return 0;
    }
    case kAudioAac: {
      if (aac_ == nullptr || len < kAacAuHeaderBytes) return -1;
      const uint32_t payload = static_cast<uint32_t>(len - kAacAuHeaderBytes);
      uint8_t header[kAdtsHeaderBytes];
      if (!BuildAdtsHeader(payload, header)) return -1;
      scratch_.resize(kAdtsHeaderBytes + payload);
      std::memcpy(scratch_.data(), header, kAdtsHeaderBytes);
      if (payload != 0)
        std::memcpy(scratch_.data() + kAdtsHeaderBytes, input + kAacAuHeaderBytes, payload);
      const uint8_t* p = scratch_.data();
      int left = static_cast<int>(scratch_.size());
      if (avcodec_AACDecode(aac_, &p, &left, output, capacity_samples) != 0) return -1;
      AacFrameInfo info{};
      if (avcodec_AACGetLastFrameInfo(aac_, &info) != 0) return -1;
      if (info.sample_count <= 0 || static_cast<size_t>(info.sample_count) > capacity_samples)
        return -1;
      *out_bytes = 2 * info.sample_count;
      return 0;
    }
    default: {
      // A voice frame carries whole 16-bit words; a trailing odd byte cannot
      // be framed and is left out.
      const size_t payload = len & ~size_t{1};
      if (payload > kVoiceFrameMaxPayload) return -1;
      scratch_.resize(kVoiceFrameHeaderBytes + payload);
      const size_t frame_len = VoiceFrameBuild(input, payload, scratch_.data(), scratch_.size());
      if (frame_len == 0) return -1;
      uint16_t count = 0;
      if (HI_VOICE_DecodeFrame(&voice_, scratch_.data(), frame_len, output, capacity_samples,
                               &count) != 0)
        return -1;
      *out_bytes = 2 * static_cast<int32_t>(count);
      return 0;
    }
  }
}

}  // namespace quornet
