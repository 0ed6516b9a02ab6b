// Rules about whole encoded video pictures, shared by every path that
// assembles, buffers, decodes or records them: the RTP receivers, the video
// conduit, the display, the recorder and the file readers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornet {

// Largest encoded picture (bytes) that any path assembles, queues or
// decodes. Cameras of 8 and 12 megapixels send key pictures of several
// megabytes at high quality; anything above this is not a picture we can
// use and is dropped (the stream resumes at the next key picture).
inline constexpr size_t kMaxVideoPictureSize = size_t{16} << 20;

// An H.264 picture in Annex B form (units behind 00 00 01 or 00 00 00 01
// start codes), as the receivers hand it over: one access unit.
//
// An access unit may start with an access unit delimiter (type 9) or SEI
// (type 6) before its parameter sets, so these look at every unit in front
// of the first slice, not at the first unit only. The scan stops at the
// first slice and never reads more than the first kH264KeyScanLimit bytes.
inline constexpr size_t kH264KeyScanLimit = 64 * 1024;

// True when a sequence parameter set comes before the first slice: the
// decoder can (re)start here. When sps / sps_size are given, they receive the
// parameter set's unit (header byte included, start code excluded; at most
// 4096 bytes), e.g. for the picture size.
bool H264PictureHasSps(const uint8_t* picture, size_t size, const uint8_t** sps = nullptr,
                       size_t* sps_size = nullptr);
// True when the picture brings an SPS or its first slice is an IDR slice.
bool H264PictureIsKey(const uint8_t* picture, size_t size);

}  // namespace quornet
