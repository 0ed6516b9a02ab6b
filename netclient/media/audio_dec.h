// Audio decoder: turns one encoded audio frame into 16-bit mono PCM by the
// session's audio code.
//
//   code  stream              decoder                       read size  default rate
//   0     16-bit PCM          copy                          2500       8000 (*)
//   1     G.711 A-law         G.711 tables (mode 'a')       1280       8000
//   2     G.711 mu-law        G.711 tables (mode 'u')       1280       8000
//   4..7  G.726 16..40 kbit/s voice engine                  1280       8000
//   8     AAC                 AAC decoder, ADTS put in front 2500      16000
//   other                     voice engine with the code    1280       8000
// (*) PCM has no rate of its own: the session's audio sample rate, when
//     known, replaces the default of every code.
//
// Read size is the most bytes of one encoded frame the sound thread takes
// from the audio conduit. PcmCapacity is the most PCM bytes such a frame can
// decode to (G.726 at 16 kbit/s gives 4 samples per byte, HE-AAC 2048
// samples per frame); output buffers are sized by it.
//
// A decoder is used by one thread at a time (the sound thread, or the
// recorder for its own instance).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/codec_aac.h"
#include "media/codec_g711.h"
#include "media/codec_g726.h"

namespace quornet {

enum AudioCode : int32_t {
  kAudioPcm = 0,
  kAudioAlaw = 1,
  kAudioUlaw = 2,
  kAudioG726_16 = 4,
  kAudioG726_24 = 5,
  kAudioG726_32 = 6,
  kAudioG726_40 = 7,
  kAudioAac = 8,
  kAudioNone = 255,
};

// Bytes of the AU-header section in front of each AAC access unit as the RTP
// receivers hand it on (RFC 3640: 16-bit AU-headers-length, one 16-bit AU
// header).
constexpr uint32_t kAacAuHeaderBytes = 4;
constexpr uint32_t kAdtsHeaderBytes = 7;
// The ADTS frame length field has 13 bits.
constexpr uint32_t kAdtsMaxFrameBytes = 0x1FFF;

// Writes the 7-byte ADTS header for an AAC LC, 16000 Hz, mono access unit of
// payload_len bytes (MPEG-2, no CRC). False when the frame would not fit the
// 13-bit length field.
bool BuildAdtsHeader(uint32_t payload_len, uint8_t (&header)[kAdtsHeaderBytes]);

class CAudioDec {
 public:
  CAudioDec();
  ~CAudioDec();
  CAudioDec(const CAudioDec&) = delete;
  CAudioDec& operator=(const CAudioDec&) = delete;

  static uint32_t ReadSize(int32_t code);
  static int32_t DefaultSampleRate(int32_t code);
  // The session's rate when positive, else the code's default.
  static int32_t SampleRate(int32_t code, int32_t session_rate);
  static uint32_t PcmCapacity(int32_t code);

  // Prepares the decoder for a code: G.711 mode byte, AAC decoder open (an
  // open decoder is reused), or voice-engine reset. 0 on success, -1 when the
  // AAC decoder cannot be opened or the voice engine refuses the code.
  int InitDecoder(int32_t code);

  // Decodes `length` bytes of `input` into `output` (room for
  // output_capacity bytes). On success returns 0 with *out_bytes the PCM
  // byte count (always even); on failure returns -1 with *out_bytes 0 and
  // writes nothing beyond output_capacity. Input of any content and length is
  // safe.
  int Decode(int32_t length, int32_t* out_bytes, int32_t code, const uint8_t* input,
             int16_t* output, size_t output_capacity);

  // Closes the AAC decoder (InitDecoder reopens it).
  void Close();

 private:
  VoiceCodecState g711_{};
  AacDecoder* aac_ = nullptr;  // null when not open
  VoiceEngineState voice_;
  // ADTS frame or voice frame being built; grows only for unusually long
  // input.
  std::vector<uint8_t> scratch_;
};

}  // namespace quornet
