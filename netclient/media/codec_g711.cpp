#include "media/codec_g711.h"

#include <array>

namespace g711 {
namespace {

// ITU-T G.711 A-law compression of a sample reduced to its 12-bit magnitude
// (the sign is the 13th bit). Negative samples use the one's complement so
// that the decision levels are symmetric around -0.5 (as in the ITU-T G.191
// reference implementation). Even bits are inverted on the line (xor 0x55).
constexpr uint8_t AlawCompress(int sample) {
  int magnitude = sample < 0 ? (~sample) >> 4 : sample >> 4;  // 0..2047
  if (magnitude > 15) {
    int exponent = 1;
    while (magnitude > 16 + 15) {
      magnitude >>= 1;
      ++exponent;
    }
    magnitude -= 16;
    magnitude += exponent << 4;
  }
  if (sample >= 0) magnitude |= 0x80;
  return static_cast<uint8_t>(magnitude ^ 0x55);
}

constexpr int16_t AlawExpand(uint8_t code) {
  const int ix = (code ^ 0x55) & 0x7F;
  const int exponent = ix >> 4;
  int mantissa = ix & 0x0F;
  if (exponent > 0) mantissa += 16;  // implicit leading one of segments 1..7
  mantissa = (mantissa << 4) + 8;    // centre of the interval
  if (exponent > 1) mantissa <<= exponent - 1;
  return static_cast<int16_t>(code > 127 ? mantissa : -mantissa);
}

// ITU-T G.711 mu-law on the 14 most significant bits with the bias of 33
// (132 in 16-bit units); code words are transmitted inverted.
constexpr uint8_t UlawCompress(int sample) {
  int magnitude = (sample < 0 ? ((~sample) >> 2) : (sample >> 2)) + 33;
  if (magnitude > 0x1FFF) magnitude = 0x1FFF;
  int segment = 1;
  for (int i = magnitude >> 6; i != 0; i >>= 1) ++segment;
  const int high = 8 - segment;
  const int low = 0x0F - ((magnitude >> segment) & 0x0F);
  int code = (high << 4) | low;
  if (sample >= 0) code |= 0x80;
  return static_cast<uint8_t>(code);
}

constexpr int16_t UlawExpand(uint8_t code) {
  const int sign = code < 0x80 ? -1 : 1;
  const int inverted = ~code & 0xFF;
  const int exponent = (inverted >> 4) & 0x07;
  const int mantissa = inverted & 0x0F;
  const int step = 4 << (exponent + 1);
  return static_cast<int16_t>(sign * ((0x80 << exponent) + step * mantissa + step / 2 - 4 * 33));
}

// Encode tables are indexed by the bits each law keeps (sample >> 4 for
// A-law, sample >> 2 for mu-law, as unsigned indices); decode tables by code.
struct Tables {
  std::array<uint8_t, 4096> alaw_enc{};
  std::array<uint8_t, 16384> ulaw_enc{};
  std::array<int16_t, 256> alaw_dec{};
  std::array<int16_t, 256> ulaw_dec{};
};

constexpr Tables BuildTables() {
  Tables t;
  for (int i = 0; i < 4096; ++i) {
    const int sample = (i < 2048 ? i : i - 4096) * 16;  // lowest sample of the index
    t.alaw_enc[i] = AlawCompress(sample);
  }
  for (int i = 0; i < 16384; ++i) {
    const int sample = (i < 8192 ? i : i - 16384) * 4;
    t.ulaw_enc[i] = UlawCompress(sample);
  }
  for (int c = 0; c < 256; ++c) {
    t.alaw_dec[c] = AlawExpand(static_cast<uint8_t>(c));
    t.ulaw_dec[c] = UlawExpand(static_cast<uint8_t>(c));
  }
  return t;
}

constexpr Tables kTables = BuildTables();

// Spot checks against ITU-T G.711 values, so a broken table fails the build.
static_assert(kTables.alaw_dec[0xD5] == 8 && kTables.alaw_dec[0x55] == -8);
static_assert(kTables.alaw_dec[0xAA] == 32256 && kTables.alaw_dec[0x2A] == -32256);
static_assert(kTables.ulaw_dec[0xFF] == 0 && kTables.ulaw_dec[0x7F] == 0);
static_assert(kTables.ulaw_dec[0x80] == 32124 && kTables.ulaw_dec[0x00] == -32124);

}  // namespace

uint8_t AlawFromLinear(int16_t sample) {
  return kTables.alaw_enc[static_cast<uint16_t>(sample) >> 4];
}
int16_t LinearFromAlaw(uint8_t code) {
  return kTables.alaw_dec[code];
}
uint8_t UlawFromLinear(int16_t sample) {
  return kTables.ulaw_enc[static_cast<uint16_t>(sample) >> 2];
}
int16_t LinearFromUlaw(uint8_t code) {
  return kTables.ulaw_dec[code];
}

void AlawDecode(const uint8_t* in, size_t n, int16_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = kTables.alaw_dec[in[i]];
}
void UlawDecode(const uint8_t* in, size_t n, int16_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = kTables.ulaw_dec[in[i]];
}
void AlawEncode(const int16_t* in, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = AlawFromLinear(in[i]);
}
void UlawEncode(const int16_t* in, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = UlawFromLinear(in[i]);
}

}  // namespace g711

namespace {

bool KnownMode(const VoiceCodecState* state) {
  return state != nullptr && (state->mode == kVoiceModeAlaw || state->mode == kVoiceModeUlaw);
}

}  // namespace

int avcodec_Voice_DecInit(VoiceCodecState* state) {
  return KnownMode(state) ? 0 : -1;
}
int avcodec_Voice_EncInit(VoiceCodecState* state) {
  return KnownMode(state) ? 0 : -1;
}

int avcodec_Voice_Dec(const VoiceCodecState* state, const uint8_t* in, size_t in_len, int16_t* out,
                      size_t out_capacity, uint16_t* out_count) {
  if (out_count) *out_count = 0;
  if (!KnownMode(state) || out_count == nullptr) return -1;
  if (in_len > 0xFFFF || in_len > out_capacity) return -1;
  if (in_len == 0) return 0;
  if (in == nullptr || out == nullptr) return -1;
  if (state->mode == kVoiceModeAlaw)
    g711::AlawDecode(in, in_len, out);
  else
    g711::UlawDecode(in, in_len, out);
  *out_count = static_cast<uint16_t>(in_len);
  return 0;
}

int avcodec_Voice_Enc(const VoiceCodecState* state, const int16_t* in, size_t in_count,
                      uint8_t* out, size_t out_capacity, uint16_t* out_count) {
  if (out_count) *out_count = 0;
  if (!KnownMode(state) || out_count == nullptr) return -1;
  if (in_count > 0xFFFF || in_count > out_capacity) return -1;
  if (in_count == 0) return 0;
  if (in == nullptr || out == nullptr) return -1;
  if (state->mode == kVoiceModeAlaw)
    g711::AlawEncode(in, in_count, out);
  else
    g711::UlawEncode(in, in_count, out);
  *out_count = static_cast<uint16_t>(in_count);
  return 0;
}
