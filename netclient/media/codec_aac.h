// AAC decoding of ADTS frames (ISO/IEC 13818-7 / 14496-3) to 16-bit mono PCM
// through libavcodec's AAC decoder.
//
// One call decodes one ADTS frame (7-byte header, or 9 bytes with CRC, then
// the raw data block). Multi-channel streams are mixed down to mono by
// averaging the channels. A handle is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/voice_frame.h"

struct AacDecoder;  // opaque

// Information about the last decoded frame. The layout is fixed: callers read
// the sample count as the 16-bit value at byte 20 (little-endian).
struct AacFrameInfo {
  int32_t bit_rate;          // 0: bits per second as announced by the decoder, 0 if unknown
  int32_t channels;          // 4: channels coded in the stream (output is always mono)
  int32_t core_sample_rate;  // 8: sampling rate of the ADTS header
  int32_t sample_rate;       // 12: output sampling rate (twice the core rate with SBR)
  int32_t bits_per_sample;   // 16: 16
  int32_t sample_count;      // 20: mono samples written by the last decode, 0 after a failure
  int32_t profile;           // 24: ADTS profile (audio object type - 1); 1 = AAC LC
  int32_t reserved[2];
};
static_assert(offsetof(AacFrameInfo, sample_count) == 20);

// Returns a new decoder, or null when libavcodec has no AAC decoder or memory
// runs out.
AacDecoder* avcodec_AACInitDecoder();

// Decodes the ADTS frame at *in (of *bytes_left bytes) into out, which holds
// out_capacity samples. On success returns 0 and advances *in and reduces
// *bytes_left by the frame length; the sample count is then in the frame
// info. Returns -1 when no complete ADTS frame starts at *in (nothing is
// consumed), or when the frame does not decode or its samples do not fit
// (the frame is consumed, so a loop over a buffer always progresses).
int avcodec_AACDecode(AacDecoder* decoder, const uint8_t** in, int* bytes_left, int16_t* out,
                      size_t out_capacity);

// Copies the information about the last decode into *info; 0 on success, -1
// for null arguments.
int avcodec_AACGetLastFrameInfo(AacDecoder* decoder, AacFrameInfo* info);

// Releases a decoder; null is ignored.
void avcodec_AACFreeDecoder(AacDecoder* decoder);
