// Voice engine: voice-frame codecs for live audio and talk.
//
// Types (the numbers are part of the stream description and of the talk
// handshake, so they are fixed):
//   1  G.711 A-law          one code byte per sample
//   2  G.711 mu-law         one code byte per sample (the talk encoder of
//                           devices that announce talk code 2)
//   4  G.726 16 kbit/s      2-bit code words
//   5  G.726 24 kbit/s      3-bit code words
//   6  G.726 32 kbit/s      4-bit code words
//   7  G.726 40 kbit/s      5-bit code words
// G.726 code words are packed as RFC 3551 section 4.5.4 specifies: the first
// code word in the least significant bits of the first byte. Encoding and
// decoding run through libavcodec's "adpcm_g726le"; the ADPCM predictor state
// lives in the VoiceEngineState, one per direction and stream.
//
// Input and output of the engine are voice frames (media/voice_frame.h).
//
// A state is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/voice_frame.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

enum VoiceEngineType : int {
  kVoiceTypeG711Alaw = 1,
  kVoiceTypeG711Ulaw = 2,
  kVoiceTypeG726_16 = 4,
  kVoiceTypeG726_24 = 5,
  kVoiceTypeG726_32 = 6,
  kVoiceTypeG726_40 = 7,
};

// Caller-owned codec state for one direction. Default-constructed it is
// unusable until reset; the destructor releases the codec.
class VoiceEngineState {
 public:
  VoiceEngineState() = default;
  ~VoiceEngineState();
  VoiceEngineState(const VoiceEngineState&) = delete;
  VoiceEngineState& operator=(const VoiceEngineState&) = delete;

 private:
  friend struct VoiceEngineAccess;
  void Release();

  int type_ = 0;  // 0 until a successful reset
  bool encoder_ = false;
  AVCodecContext* ctx_ = nullptr;  // G.726 only
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// Bits per sample of a type, 0 for an unknown type.
int VoiceEngineBitsPerSample(int type);

// (Re)initialise a state for decoding or encoding with a type; any previous
// codec of the state is released first. 0 on success; -1 for an unknown type
// or when the codec cannot be opened (the state is then unusable).
int HI_VOICE_DecReset(VoiceEngineState* state, int type);
int HI_VOICE_EncReset(VoiceEngineState* state, int type);

// Decodes one voice frame of frame_len bytes. *out_count receives the number
// of 16-bit samples written to out (0 on failure). Fails (-1) without writing
// for a state not reset for decoding, a malformed frame (short, wrong header,
// word count beyond frame_len), or more samples than out_capacity or 65535.
// For 24 and 40 kbit/s, trailing bits that do not make a whole code word are
// ignored. An empty payload decodes to 0 samples.
int HI_VOICE_DecodeFrame(VoiceEngineState* state, const uint8_t* frame, size_t frame_len,
                         int16_t* out, size_t out_capacity, uint16_t* out_count);

// Encodes sample_count samples into one voice frame written to out (header
// word, N, 2N bytes); the frame length is 4 + 2N with N read back from
// bytes 2-3. sample_count must fill whole 16-bit words of code
// (sample_count x bits per sample a multiple of 16; e.g. 160 samples, 20 ms,
// suits every type). Fails (-1) for a state not reset for encoding, a count
// that does not fill whole words or exceeds the 16-bit word count, or an
// output of fewer than 4 + 2N bytes.
int HI_VOICE_EncodeFrame(VoiceEngineState* state, const int16_t* pcm, uint8_t* out,
                         size_t out_capacity, int sample_count);
