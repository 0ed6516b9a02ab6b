// Small frame layouts the receivers fill for the recorder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornet {

// Audio backlog limit of the live receivers: when the audio conduit holds
// more than this many bytes, old audio is dropped rather than delayed.
inline constexpr uint32_t kAudioBacklogLimit = 3072;

// Record frame header (12 bytes, little-endian) in front of every frame of
// the alarm record file: packed word (bits 0-1 kind, 2-5 frame type or audio
// code, 12-31 payload length), width, height, tick in ms.
inline constexpr size_t kRecordFrameHeaderSize = 12;
inline void PackRecordFrameHeader(uint8_t* out, int kind, int type, uint32_t length, uint16_t width,
                                  uint16_t height, uint32_t tick) {
  uint32_t word = (uint32_t(kind) & 3u) | ((uint32_t(type) & 15u) << 2) | (length << 12);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(word >> (8 * i));
  out[4] = static_cast<uint8_t>(width);
  out[5] = static_cast<uint8_t>(width >> 8);
  out[6] = static_cast<uint8_t>(height);
  out[7] = static_cast<uint8_t>(height >> 8);
  for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(tick >> (8 * i));
}

// Voice frame: 16-bit 0x0100, 16-bit count of payload bytes / 2, then the
// payload (little-endian). Written in place over the four bytes in front of
// the payload (the end of the RTP header), so that header and payload go out
// in one write. Returns the start of the voice frame (payload - 4); its
// length is payload_size + 4.
inline constexpr size_t kVoiceFrameHeaderSize = 4;
inline uint8_t* PackVoiceFrameInPlace(uint8_t* payload, size_t payload_size) {
  uint8_t* h = payload - kVoiceFrameHeaderSize;
  uint16_t words = static_cast<uint16_t>(payload_size / 2);
  h[0] = 0x00;
  h[1] = 0x01;
  h[2] = static_cast<uint8_t>(words);
  h[3] = static_cast<uint8_t>(words >> 8);
  return h;
}

}  // namespace quornet
