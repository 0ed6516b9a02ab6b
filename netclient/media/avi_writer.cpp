#include "media/avi_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

#include "net/video_picture.h"

static_assert(std::is_trivial_v<avi_tag>, "callers zero avi_tag with memset");

namespace {

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAvifIsInterleaved = 0x100;
constexpr size_t kHdrlListOffset = 12;
constexpr size_t kVideoStrlOffset = 88;
constexpr size_t kStrlBytes[2] = {12 + 64 + 48, 12 + 64 + 24};  // video, audio LIST chunks
constexpr size_t kMoviFourccOffset = kAviMoviListOffset + 8;
constexpr size_t kFirstChunkOffset = kMoviFourccOffset + 4;  // 524
constexpr size_t kIndexEntryBytes = 16;

struct IndexEntry {
  uint32_t id;
  uint32_t flags;
  uint32_t offset;  // absolute offset of the chunk header
  uint32_t length;
};

constexpr uint32_t FourCC(const char* s) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
constexpr uint32_t kVideoChunkId = FourCC("00dc");
constexpr uint32_t kAudioChunkId = FourCC("01wb");

// Little-endian serialiser over a fixed buffer; callers size it exactly.
class Out {
 public:
  explicit Out(uint8_t* p) : p_(p) {}
  void U8(uint8_t v) { p_[pos_++] = v; }
  void U16(uint32_t v) {
    U8(uint8_t(v));
    U8(uint8_t(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Tag(const char* s) { U32(FourCC(s)); }
  void Zeros(size_t n) {
    std::memset(p_ + pos_, 0, n);
    pos_ += n;
  }
  size_t pos() const { return pos_; }

 private:
  uint8_t* p_;
  size_t pos_ = 0;
};

}  // namespace

struct AviWriter {
  // Video stream.
  bool video_set = false;
  uint32_t width = 0, height = 0;
  double fps = 0;
  uint32_t scale = 1, rate = 0;  // frames per second = rate / scale
  uint32_t handler = 0;          // four-character code
  int codec = 0;                 // video code of the handler (H.264, H.265, else 0)

  // Audio stream; channels 0 means none.
  uint32_t channels = 0, sample_rate = 0, bits = 0;

  // File.
  int fd = -1;
  bool initialised = false;
  uint64_t end = 0;  // end of the last complete chunk: where the next one goes
  uint32_t video_frames = 0;
  uint64_t audio_bytes = 0;
  uint32_t max_video_chunk = 0, max_audio_chunk = 0;
  std::vector<IndexEntry> index;

  AviWriteFn write_fn = nullptr;
  void* write_ctx = nullptr;

  uint32_t block_align() const { return channels * bits / 8; }
  uint32_t streams() const { return channels ? 2 : 1; }
};

namespace {

long DefaultWrite(void*, int fd, const void* data, size_t len, uint64_t offset) {
  return static_cast<long>(pwrite(fd, data, len, static_cast<off_t>(offset)));
}

// Writes all of data at offset, retrying short writes and EINTR.
bool WriteAll(AviWriter* w, const void* data, size_t len, uint64_t offset) {
  AviWriteFn fn = w->write_fn ? w->write_fn : DefaultWrite;
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const long n = fn(w->write_ctx, w->fd, p, len, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// Cuts off whatever a failed write left after the last complete chunk.
void CutBack(AviWriter* w, uint64_t at) {
  if (ftruncate(w->fd, static_cast<off_t>(at)) != 0) {
    // Nothing more to do: the header and index never point past `at`.
  }
}

AviWriter* WriterOf(avi_tag* avi) {
  if (avi->writer == nullptr) avi->writer = new (std::nothrow) AviWriter;
  return avi->writer;
}

// Builds everything before the first chunk: RIFF header, hdrl list, padding
// with the tag, and the movi list header. file_end is the final file length.
void BuildHeader(const AviWriter& w, bool has_index, uint64_t file_end,
                 uint8_t (&buf)[kFirstChunkOffset]) {
  std::memset(buf, 0, sizeof buf);
  Out o(buf);
  const uint32_t frames = w.video_frames;
  const uint32_t align = w.block_align();
  const size_t hdrl_end =
      kVideoStrlOffset + kStrlBytes[0] + (w.channels ? kStrlBytes[1] : 0);  // 212 or 312

  o.Tag("RIFF");
  o.U32(static_cast<uint32_t>(file_end - 8));
  o.Tag("AVI ");

  o.Tag("LIST");
  o.U32(static_cast<uint32_t>(hdrl_end - kHdrlListOffset - 8));
  o.Tag("hdrl");

  // Main header (AVIMAINHEADER).
  const uint64_t movi_bytes = w.end - kFirstChunkOffset;
  const double seconds = frames ? frames / w.fps : 0.0;
  const double bytes_per_second =
      seconds > 0 ? double(movi_bytes) / seconds : double(align) * w.sample_rate;
  o.Tag("avih");
  o.U32(56);
  o.U32(static_cast<uint32_t>(std::lround(1e6 / w.fps)));  // microseconds per frame
  o.U32(static_cast<uint32_t>(std::min(bytes_per_second, 4e9)));
  o.U32(0);  // padding granularity
  o.U32((has_index ? kAvifHasIndex : 0) | kAvifIsInterleaved);
  o.U32(frames);  // offset 48
  o.U32(0);       // initial frames
  o.U32(w.streams());
  o.U32(std::max(w.max_video_chunk, w.max_audio_chunk));
  o.U32(w.width);   // offset 64
  o.U32(w.height);  // offset 68
  o.Zeros(16);

  // Video stream list.
  o.Tag("LIST");
  o.U32(static_cast<uint32_t>(kStrlBytes[0] - 8));
  o.Tag("strl");
  o.Tag("strh");
  o.U32(56);
  o.Tag("vids");
  o.U32(w.handler);
  o.U32(0);        // flags
  o.U32(0);        // priority, language
  o.U32(0);        // initial frames
  o.U32(w.scale);  // offset 128
  o.U32(w.rate);   // offset 132
  o.U32(0);        // start
  o.U32(frames);   // length in frames
  o.U32(w.max_video_chunk);
  o.U32(0xFFFFFFFF);  // quality: default
  o.U32(0);           // sample size: varies
  o.U16(0);
  o.U16(0);
  o.U16(w.width);
  o.U16(w.height);
  o.Tag("strf");
  o.U32(40);  // BITMAPINFOHEADER
  o.U32(40);
  o.U32(w.width);
  o.U32(w.height);
  o.U16(1);   // planes
  o.U16(24);  // bit count
  o.U32(w.handler);
  o.U32(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{w.width} * w.height * 3, 0xFFFFFFFF)));
  o.Zeros(16);  // resolution and palette

  if (w.channels) {
    o.Tag("LIST");
    o.U32(static_cast<uint32_t>(kStrlBytes[1] - 8));
    o.Tag("strl");
    o.Tag("strh");
    o.U32(56);
    o.Tag("auds");
    o.U32(0);  // handler
    o.U32(0);
    o.U32(0);
    o.U32(0);
    o.U32(align);                  // scale: one sample block
    o.U32(w.sample_rate * align);  // rate: bytes per second
    o.U32(0);
    o.U32(static_cast<uint32_t>(w.audio_bytes / align));  // length in blocks
    o.U32(w.max_audio_chunk);
    o.U32(0xFFFFFFFF);
    o.U32(align);  // sample size
    o.Zeros(8);
    o.Tag("strf");
    o.U32(16);  // WAVEFORMAT + wBitsPerSample
    o.U16(1);   // WAVE_FORMAT_PCM
    o.U16(w.channels);
    o.U32(w.sample_rate);
    o.U32(w.sample_rate * align);
    o.U16(align);
    o.U16(w.bits);
  }

  // Padding up to the movi list, with the tag at its fixed offset.
  o.Tag("JUNK");
  o.U32(static_cast<uint32_t>(kAviMoviListOffset - hdrl_end - 8));
  std::memcpy(buf + kAviTagOffset, kAviTag, sizeof kAviTag - 1);

  Out m(buf + kAviMoviListOffset);
  m.Tag("LIST");
  m.U32(static_cast<uint32_t>(w.end - kMoviFourccOffset));
  m.Tag("movi");
}

int WriteChunk(AviWriter* w, uint32_t id, uint32_t flags, const uint8_t* data, size_t len) {
  const uint64_t padded = len + (len & 1);
  if (w->end - kFirstChunkOffset + 8 + padded > kAviMaxMoviBytes) return kAviErrTooLarge;
  const uint64_t at = w->end;
  try {
    w->index.push_back({id, flags, static_cast<uint32_t>(at), static_cast<uint32_t>(len)});
  } catch (const std::bad_alloc&) {
    return kAviErrNoMemory;
  }
  uint8_t head[8];
  Out o(head);
  o.U32(id);
  o.U32(static_cast<uint32_t>(len));
  const uint8_t pad = 0;
  bool ok = WriteAll(w, head, sizeof head, at);
  if (ok && len > 0) ok = WriteAll(w, data, len, at + 8);
  if (ok && (len & 1)) ok = WriteAll(w, &pad, 1, at + 8 + len);
  if (!ok) {
    w->index.pop_back();
    CutBack(w, at);
    return kAviErrWrite;
  }
  w->end = at + 8 + padded;
  return kAviOk;
}

bool ValidFourCC(const char* s) {
  if (s == nullptr) return false;
  for (int i = 0; i < 4; ++i)
    if (s[i] < 0x20 || s[i] > 0x7E) return false;
  return true;
}

}  // namespace

int AVI_set_video(avi_tag* avi, int width, int height, double fps, const char* compressor) {
  if (avi == nullptr) return kAviErrArgument;
  if (width < 1 || width > 65535 || height < 1 || height > 65535) return kAviErrArgument;
  if (!std::isfinite(fps) || fps <= 0 || fps > 1000 || !ValidFourCC(compressor))
    return kAviErrArgument;
  AviWriter* w = WriterOf(avi);
  if (w == nullptr) return kAviErrNoMemory;
  if (w->initialised) return kAviErrState;
  w->width = static_cast<uint32_t>(width);
  w->height = static_cast<uint32_t>(height);
  w->fps = fps;
  const double whole = std::round(fps);
  if (std::fabs(fps - whole) < 1e-6) {
    w->scale = 1;
    w->rate = static_cast<uint32_t>(whole);
  } else {
    w->scale = 1000;
    w->rate = static_cast<uint32_t>(std::lround(fps * 1000));
  }
  w->handler = FourCC(compressor);
  w->codec = 0;
  if (w->handler == FourCC("H264") || w->handler == FourCC("h264")) {
    w->codec = quornet::kVideoCodeH264;
  } else if (w->handler == FourCC("HEVC") || w->handler == FourCC("hevc")) {
    w->codec = quornet::kVideoCodeH265;
  }
  w->video_set = true;
  return kAviOk;
}

int AVI_set_audio(avi_tag* avi, int channels, long rate, int bits, int format) {
  if (avi == nullptr) return kAviErrArgument;
  if (channels != 0) {
    if (channels < 0 || channels > 2 || rate < 1 || rate > 384000 || (bits != 8 && bits != 16) ||
        format != 1)
      return kAviErrArgument;
  }
  AviWriter* w = WriterOf(avi);
  if (w == nullptr) return kAviErrNoMemory;
  if (w->initialised) return kAviErrState;
  w->channels = static_cast<uint32_t>(channels);
  w->sample_rate = channels ? static_cast<uint32_t>(rate) : 0;
  w->bits = channels ? static_cast<uint32_t>(bits) : 0;
  return kAviOk;
}

int AVI_Init(avi_tag* avi) {
  if (avi == nullptr || avi->fp == nullptr) return kAviErrArgument;
  AviWriter* w = avi->writer;
  if (w == nullptr || !w->video_set || w->initialised) return kAviErrState;
  // Anything the caller wrote through the FILE goes out now; from here on
  // the FILE's buffer stays empty.
  if (std::fflush(avi->fp) != 0) return kAviErrWrite;
  const int fd = fileno(avi->fp);
  if (fd < 0) return kAviErrArgument;
  w->fd = fd;
  w->write_fn = avi->write_fn;
  w->write_ctx = avi->write_ctx;
  w->end = kFirstChunkOffset;
  w->video_frames = 0;
  w->audio_bytes = 0;
  w->index.clear();
  uint8_t header[kFirstChunkOffset];
  BuildHeader(*w, false, w->end, header);
  if (!WriteAll(w, header, sizeof header, 0)) {
    CutBack(w, 0);
    return kAviErrWrite;
  }
  w->initialised = true;
  return kAviOk;
}

int AVI_write_frame(avi_tag* avi, const uint8_t* data, long bytes, uint32_t /*tick*/) {
  if (avi == nullptr || bytes < 0 || (bytes > 0 && data == nullptr)) return kAviErrArgument;
  AviWriter* w = avi->writer;
  if (w == nullptr || !w->initialised) return kAviErrState;
  if (static_cast<uint64_t>(bytes) > kAviMaxMoviBytes) return kAviErrTooLarge;
  const size_t len = static_cast<size_t>(bytes);
  const bool key = len > 0 && quornet::VideoPictureIsKey(w->codec, data, len);
  const int r = WriteChunk(w, kVideoChunkId, key ? kAviIndexKeyFrame : 0, data, len);
  if (r != kAviOk) return r;
  ++w->video_frames;
  w->max_video_chunk = std::max(w->max_video_chunk, static_cast<uint32_t>(len));
  return kAviOk;
}

int AVI_write_audio(avi_tag* avi, const uint8_t* data, long bytes, uint32_t /*tick*/) {
  if (avi == nullptr || bytes < 0 || (bytes > 0 && data == nullptr)) return kAviErrArgument;
  AviWriter* w = avi->writer;
  if (w == nullptr || !w->initialised || w->channels == 0) return kAviErrState;
  if (bytes == 0) return kAviOk;
  if (static_cast<uint64_t>(bytes) > kAviMaxMoviBytes) return kAviErrTooLarge;
  const size_t len = static_cast<size_t>(bytes);
  if (len % w->block_align() != 0) return kAviErrArgument;
  const int r = WriteChunk(w, kAudioChunkId, kAviIndexKeyFrame, data, len);
  if (r != kAviOk) return r;
  w->audio_bytes += len;
  w->max_audio_chunk = std::max(w->max_audio_chunk, static_cast<uint32_t>(len));
  return kAviOk;
}

int AVI_close(avi_tag* avi) {
  if (avi == nullptr) return kAviErrArgument;
  AviWriter* w = avi->writer;
  avi->writer = nullptr;
  if (w == nullptr) return kAviOk;
  int result = kAviOk;
  if (w->initialised) {
    // idx1, written in blocks so a long recording needs no second copy.
    bool has_index = true;
    const uint64_t index_bytes = uint64_t{kIndexEntryBytes} * w->index.size();
    uint8_t head[8];
    Out o(head);
    o.Tag("idx1");
    o.U32(static_cast<uint32_t>(index_bytes));
    uint64_t at = w->end;
    has_index = WriteAll(w, head, sizeof head, at);
    at += sizeof head;
    constexpr size_t kBlock = 4096;
    std::vector<uint8_t> block;
    try {
      block.resize(kBlock * kIndexEntryBytes);
    } catch (const std::bad_alloc&) {
      has_index = false;
    }
    for (size_t i = 0; has_index && i < w->index.size(); i += kBlock) {
      const size_t n = std::min(kBlock, w->index.size() - i);
      Out e(block.data());
      for (size_t k = 0; k < n; ++k) {
        const IndexEntry& x = w->index[i + k];
        e.U32(x.id);
        e.U32(x.flags);
        e.U32(x.offset);
        e.U32(x.length);
      }
      has_index = WriteAll(w, block.data(), n * kIndexEntryBytes, at);
      at += n * kIndexEntryBytes;
    }
    uint64_t file_end = w->end + sizeof head + index_bytes;
    if (!has_index) {
      CutBack(w, w->end);
      file_end = w->end;
      result = kAviErrWrite;
    }
    uint8_t header[kFirstChunkOffset];
    BuildHeader(*w, has_index, file_end, header);
    if (!WriteAll(w, header, sizeof header, 0)) result = kAviErrWrite;
    // Leave the FILE positioned at the end for whatever the caller does next.
    if (avi->fp != nullptr) std::fseek(avi->fp, 0, SEEK_END);
  }
  delete w;
  return result;
}
