// AVI record file writer (RIFF AVI 1.0 with an idx1 index) for one video
// stream (H.264 Annex B access units or JPEG pictures) and an optional 16-bit
// PCM audio stream.
//
// File layout (little-endian; offsets are absolute):
//     0  "RIFF" size "AVI "
//    12  "LIST" size "hdrl"
//    24    "avih" 56: main header; total frames at 48, width 64, height 68
//    88    "LIST" size "strl"  video: "strh" (rate at 132), "strf" BITMAPINFOHEADER
//   212    "LIST" size "strl"  audio: "strh", "strf" PCM WAVEFORMAT (rate at 300)
//   312  "JUNK" padding up to 512; the 11 bytes "HalvenMoore" always sit at
//        328 (inside the padding whether or not there is an audio stream), so
//        our player recognises its files without walking the headers
//   512  "LIST" size "movi", then "00dc" video and "01wb" audio chunks in the
//        order written (odd lengths padded with one zero byte)
//        "idx1": 16-byte entries {chunk id, flags, absolute offset of the
//        chunk header, data length}; AVIIF_KEYFRAME marks H.264 frames that
//        carry an IDR slice or an SPS, every other video frame type, and audio
//
// Calling order: AVI_set_video, AVI_set_audio (optional), AVI_Init, any number
// of AVI_write_frame / AVI_write_audio, AVI_close; then the caller closes the
// FILE. Frame timing is implied by the frame rate (AVI has no time stamps), so
// the tick arguments are accepted and ignored.
//
// Writes go straight to the file descriptor at known offsets (pwrite), never
// through the FILE's buffer. A write that fails (disk full) is cut back to the
// end of the last complete chunk and reported; the file stays complete up to
// there and AVI_close still finishes it. The movi data is limited to 1 GiB so
// that every offset and size stays far inside the 32-bit RIFF fields; a chunk
// beyond it is refused (kAviErrTooLarge) and the caller starts a new file.
//
// Not thread-safe: callers serialise all calls on one avi_tag (the recorder
// holds its record-file lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct AviWriter;  // internal state, owned by the avi_tag

// Writes len bytes at offset to fd; returns the bytes written (possibly fewer)
// or -1 with errno set. The default is pwrite(2); tests substitute a failing
// one.
using AviWriteFn = long (*)(void* ctx, int fd, const void* data, size_t len, uint64_t offset);

// Zeroed by the caller (avi_tag avi{}; or memset), then fp set to a file
// opened with mode "wb". A trivial type, so zeroing is valid.
struct avi_tag {
  FILE* fp;
  AviWriter* writer;    // allocated by the first AVI_set_* call, freed by AVI_close
  AviWriteFn write_fn;  // null: pwrite
  void* write_ctx;
};

enum AviResult : int {
  kAviOk = 0,
  kAviErrArgument = -1,  // bad parameter, null record or file
  kAviErrState = -2,     // call out of order (e.g. write before init)
  kAviErrWrite = -3,     // the file refused bytes; nothing partial is left behind
  kAviErrTooLarge = -4,  // the chunk would take the movi data past kAviMaxMoviBytes
  kAviErrNoMemory = -5,
};

inline constexpr uint64_t kAviMaxMoviBytes = uint64_t{1} << 30;

// Offsets readers rely on.
inline constexpr size_t kAviTotalFramesOffset = 48;
inline constexpr size_t kAviWidthOffset = 64;
inline constexpr size_t kAviHeightOffset = 68;
inline constexpr size_t kAviFirstStreamRateOffset = 132;
inline constexpr size_t kAviTagOffset = 328;
inline constexpr char kAviTag[] = "HalvenMoore";  // 11 bytes in the file, no terminator
inline constexpr size_t kAviMoviListOffset = 512;
inline constexpr uint32_t kAviIndexKeyFrame = 0x10;  // AVIIF_KEYFRAME

// width and height 1..65535; fps > 0 (an integral rate is stored as rate/1,
// others as rate/1000); compressor a four-character code, "H264", "HEVC" or "MJPG".
int AVI_set_video(avi_tag* avi, int width, int height, double fps, const char* compressor);
// channels 1 or 2 (0: no audio stream), rate 1..384000 samples per second,
// bits 8 or 16, format 1 (PCM) only.
int AVI_set_audio(avi_tag* avi, int channels, long rate, int bits, int format);
// Writes the headers; the file is a valid AVI with no frames afterwards.
int AVI_Init(avi_tag* avi);
// One video frame as one chunk; an empty frame is a valid skipped frame.
int AVI_write_frame(avi_tag* avi, const uint8_t* data, long bytes, uint32_t tick);
// PCM bytes as one chunk; the length must be a whole number of sample
// blocks. Nothing is written for 0 bytes.
int AVI_write_audio(avi_tag* avi, const uint8_t* data, long bytes, uint32_t tick);
// Writes the index and the final header values and releases the state. On a
// zeroed record, or one never initialised, it only releases the state and
// writes nothing. Returns kAviErrWrite when the index could not be written
// (the file is then finished without one).
int AVI_close(avi_tag* avi);
