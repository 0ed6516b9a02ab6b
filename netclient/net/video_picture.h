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

// Video codec codes as the client session, the stream format and the alarm
// record files keep them (8 bits). H.265 and "a codec we cannot decode" come
// only from descriptions that name their codec; the devices send 26 and 96.
inline constexpr int kVideoCodeJpeg = 26;
inline constexpr int kVideoCodeH264 = 96;
inline constexpr int kVideoCodeH265 = 98;
inline constexpr int kVideoCodeUnsupported = 255;

// Whether pictures of the code are NAL unit streams in Annex B form.
inline bool IsAnnexBVideo(int code) {
  return code == kVideoCodeH264 || code == kVideoCodeH265;
}

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

// The same rules for an H.265 access unit (two-byte unit headers): the
// parameter sets (VPS 32, SPS 33, PPS 34) and the delimiter or prefix SEI
// come in front of the first slice segment. A key picture is an IRAP
// picture (BLA, IDR, CRA: types 16 to 23) or one that brings an SPS. The
// sps out-parameters receive the SPS unit with its two header bytes.
bool H265PictureHasSps(const uint8_t* picture, size_t size, const uint8_t** sps = nullptr,
                       size_t* sps_size = nullptr);
bool H265PictureIsKey(const uint8_t* picture, size_t size);

// The rule of the codec: H.264 or H.265 as above, anything else (JPEG) is
// never a parameter-set picture and always key.
bool VideoPictureHasSps(int code, const uint8_t* picture, size_t size,
                        const uint8_t** sps = nullptr, size_t* sps_size = nullptr);
bool VideoPictureIsKey(int code, const uint8_t* picture, size_t size);

}  // namespace quornet
