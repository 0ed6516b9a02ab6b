// G.711 A-law and mu-law (ITU-T G.711) with our own lookup tables.
//
// Samples are 16-bit linear PCM. A-law uses the 13 most significant bits of a
// sample, mu-law the 14 most significant bits; decoding returns the value at the
// centre of the quantisation interval, scaled back to 16 bits (so A-law 0xD5
// decodes to 8 and mu-law 0x00 to -32124).
//
// The state-based functions keep the calling convention of the codec extras:
// the caller owns a VoiceCodecState whose first byte selects the law, calls the
// init function, then decodes or encodes whole buffers. They are not
// thread-safe per state; distinct states may be used from distinct threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/voice_frame.h"

namespace g711 {

uint8_t AlawFromLinear(int16_t sample);
int16_t LinearFromAlaw(uint8_t code);
uint8_t UlawFromLinear(int16_t sample);
int16_t LinearFromUlaw(uint8_t code);

// Whole buffers: n samples <-> n code bytes. Callers check sizes.
void AlawDecode(const uint8_t* in, size_t n, int16_t* out);
void UlawDecode(const uint8_t* in, size_t n, int16_t* out);
void AlawEncode(const int16_t* in, size_t n, uint8_t* out);
void UlawEncode(const int16_t* in, size_t n, uint8_t* out);

}  // namespace g711

// Mode bytes: the ASCII letters 'a' and 'u'.
inline constexpr uint8_t kVoiceModeAlaw = 97;
inline constexpr uint8_t kVoiceModeUlaw = 117;

struct VoiceCodecState {
  uint8_t mode;  // kVoiceModeAlaw or kVoiceModeUlaw; set by the caller before init
};

// Both return 0 when the mode byte names a law, -1 otherwise (or for null).
int avcodec_Voice_DecInit(VoiceCodecState* state);
int avcodec_Voice_EncInit(VoiceCodecState* state);

// Decodes in_len code bytes into in_len samples. *out_count receives the number
// of samples written (0 on failure). Fails (-1) without writing when the state
// is not A-law or mu-law, when in_len exceeds out_capacity (in samples) or
// 65535 (the count is 16 bits).
int avcodec_Voice_Dec(const VoiceCodecState* state, const uint8_t* in, size_t in_len, int16_t* out,
                      size_t out_capacity, uint16_t* out_count);

// Encodes in_count samples into in_count code bytes; *out_count receives the
// bytes written. Same failure rules as decoding.
int avcodec_Voice_Enc(const VoiceCodecState* state, const int16_t* in, size_t in_count,
                      uint8_t* out, size_t out_capacity, uint16_t* out_count);
