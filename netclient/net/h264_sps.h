// Picture size from an H.264 sequence parameter set (ITU-T H.264 7.3.2.1.1).
//
// Used for streams whose description announces the picture only through
// "sprop-parameter-sets" (RFC 6184 section 8.1). The reader is bounds-checked
// bit by bit: a truncated or malformed set gives false, never a read past the
// input.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornet {

struct SpsPictureSize {
  int32_t width = 0;   // pixels, after frame cropping
  int32_t height = 0;  // pixels, after frame cropping, both fields for interlaced
  // Frames per second from the VUI timing (time_scale / (2 x
  // num_units_in_tick)), rounded; 0 when the set carries no usable timing.
  int32_t frame_rate = 0;
};

// nal points at the NAL unit including its one-byte header (type 7), with
// emulation-prevention bytes still in place.
bool ParseSpsPictureSize(const uint8_t* nal, size_t size, SpsPictureSize* out);

// The same from an H.265 sequence parameter set (ITU-T H.265 7.3.2.2): nal
// points at the unit including its two-byte header (type 33). frame_rate is
// always 0 (the timing sits behind fields we do not read).
bool ParseH265SpsPictureSize(const uint8_t* nal, size_t size, SpsPictureSize* out);

}  // namespace quornet
