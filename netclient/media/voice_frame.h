// Voice frame: the framing every voice-engine codec reads and writes, and the
// payload of audio records in our record files.
//
//   bytes 0-1  header word, little-endian 0x0100 (byte 0 = 0x00, byte 1 = 0x01:
//              frame type "audio data")
//   bytes 2-3  N, little-endian: number of 16-bit words of payload that follow
//   bytes 4-   2N payload bytes (G.711 code bytes or packed G.726 code words)
//
// Helpers here only frame and unframe bytes; they never look at the payload.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kVoiceFrameHeaderBytes = 4;
inline constexpr uint16_t kVoiceFrameHeaderWord = 0x0100;
// N is a 16-bit word count, so a payload holds at most 2 * 65535 bytes.
inline constexpr size_t kVoiceFrameMaxPayload = 2 * 0xFFFFu;

// Writes header and payload into out. The payload length must be even (it is a
// count of 16-bit words). Returns the frame length, or 0 when the payload is odd,
// too long, or the frame does not fit in out_capacity bytes.
inline size_t VoiceFrameBuild(const uint8_t* payload, size_t payload_len, uint8_t* out,
                              size_t out_capacity) {
  if ((payload_len & 1) != 0 || payload_len > kVoiceFrameMaxPayload) return 0;
  if (out == nullptr || out_capacity < kVoiceFrameHeaderBytes ||
      out_capacity - kVoiceFrameHeaderBytes < payload_len)
    return 0;
  if (payload_len != 0 && payload == nullptr) return 0;
  const size_t words = payload_len / 2;
  out[0] = kVoiceFrameHeaderWord & 0xFF;
  out[1] = kVoiceFrameHeaderWord >> 8;
  out[2] = static_cast<uint8_t>(words & 0xFF);
  out[3] = static_cast<uint8_t>(words >> 8);
  for (size_t i = 0; i < payload_len; ++i) out[kVoiceFrameHeaderBytes + i] = payload[i];
  return kVoiceFrameHeaderBytes + payload_len;
}

// Validates a voice frame of frame_len bytes and locates its payload. Fails
// (returns false) for a short buffer, a frame type other than audio data, or a
// word count that claims more bytes than the buffer holds. Bytes after the 2N
// payload bytes are ignored.
inline bool VoiceFrameParse(const uint8_t* frame, size_t frame_len, const uint8_t** payload,
                            size_t* payload_len) {
  if (frame == nullptr || frame_len < kVoiceFrameHeaderBytes) return false;
  if (frame[1] != (kVoiceFrameHeaderWord >> 8)) return false;
  const size_t words = static_cast<size_t>(frame[2]) | (static_cast<size_t>(frame[3]) << 8);
  if (words * 2 > frame_len - kVoiceFrameHeaderBytes) return false;
  if (payload) *payload = frame + kVoiceFrameHeaderBytes;
  if (payload_len) *payload_len = words * 2;
  return true;
}
