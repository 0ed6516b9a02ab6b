#include "media/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quornet::recfile {
namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint64_t Le64(const uint8_t* p) {
  return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
}

constexpr uint32_t FourCC(const char* s) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

bool HasText(IByteSource& file, uint64_t offset, const char* text, size_t n) {
  uint8_t buf[64];
  if (n > sizeof buf || !file.ReadExact(offset, buf, n)) return false;
  return std::memcmp(buf, text, n) == 0;
}

int ClampRate(uint32_t rate) {
  return rate >= 1 && rate <= 30 ? static_cast<int>(rate) : 30;
}

// ---- Alarm and older record files ---------------------------------------------

// The index at the end: "BEGININDEX", N entries, N (32-bit), "ENDINDEX".
// Entries whose offset does not leave room for a record header before the
// index are dropped; an index with none left counts as missing.
bool ReadTailIndex(IByteSource& file, size_t entry_size, size_t header_size, IndexedFile* out) {
  const uint64_t size = file.Size();
  constexpr uint64_t kTail = 10 + 4 + 8;  // markers and count
  if (size < kRecordsOffset + kTail) return false;
  if (!HasText(file, size - 8, kEndIndex, 8)) return false;
  uint8_t count_bytes[4];
  if (!file.ReadExact(size - 12, count_bytes, 4)) return false;
  const uint64_t count = Le32(count_bytes);
  // The count must describe entries that fit between the first record and
  // the markers; anything else is a damaged or hostile count.
  if (count == 0 || count > (size - kRecordsOffset - kTail) / entry_size) return false;
  const uint64_t begin = size - kTail - count * entry_size;
  if (!HasText(file, begin, kBeginIndex, 10)) return false;

  std::vector<IndexEntry> index;
  index.reserve(static_cast<size_t>(std::min<uint64_t>(count, kMaxEntries)));
  uint8_t block[4096];
  const size_t per_block = sizeof block / entry_size;
  for (uint64_t i = 0; i < count && index.size() < kMaxEntries; i += per_block) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(per_block, count - i));
    if (!file.ReadExact(begin + 10 + i * entry_size, block, n * entry_size)) return false;
    for (size_t k = 0; k < n; ++k) {
      const uint8_t* e = block + k * entry_size;
      IndexEntry entry;
      if (entry_size == kAlarmIndexEntrySize) {
        entry.offset = Le64(e);
        entry.tick = Le32(e + 8);
      } else {
        entry.offset = Le32(e);
        entry.tick = Le32(e + 4);
      }
      if (entry.offset < kRecordsOffset || entry.offset > begin ||
          begin - entry.offset < header_size) {
        continue;
      }
      index.push_back(entry);
    }
  }
  if (index.empty()) return false;
  out->index = std::move(index);
  out->records_end = begin;
  out->index_from_scan = false;
  return true;
}

bool IsKeyRecord(const RecordHeader& h, int payload) {
  if (h.kind != kRecordVideo) return false;
  return h.frame_type == kFrameTypeKey ||
         (payload == kPayloadJpeg && h.frame_type == kFrameTypeJpeg);
}

// Walks the records from the first one and takes every key frame. Stops at
// the first record that does not fit in the file.
void ScanRecords(IByteSource& file, IndexedFile* out) {
  const uint64_t end = file.Size();
  out->records_end = end;
  out->index.clear();
  out->index_from_scan = true;
  const size_t hs = out->header_size;
  uint64_t pos = kRecordsOffset;
  uint8_t head[kAlarmRecordHeaderSize];
  while (pos <= end && end - pos >= hs && out->index.size() < kMaxEntries) {
    if (!file.ReadExact(pos, head, hs)) break;
    const RecordHeader h =
        hs == kAlarmRecordHeaderSize ? ParseAlarmRecordHeader(head) : ParseOlderRecordHeader(head);
    if (end - pos - hs < h.length) break;  // truncated record
    if (IsKeyRecord(h, out->info.video_payload)) out->index.push_back({pos, h.tick});
    pos += hs + h.length;
  }
}

// Older files name no codec: the first video payload tells.
int SniffOlderPayload(IByteSource& file) {
  const uint64_t end = file.Size();
  uint64_t pos = kRecordsOffset;
  uint8_t head[kOlderRecordHeaderSize];
  for (int records = 0; records < 64 && pos <= end && end - pos >= sizeof head; ++records) {
    if (!file.ReadExact(pos, head, sizeof head)) break;
    const RecordHeader h = ParseOlderRecordHeader(head);
    if (h.kind == kRecordVideo && h.length >= 2) {
      uint8_t first[2];
      if (!file.ReadExact(pos + sizeof head, first, 2)) break;
      return first[0] == 0xFF && first[1] == 0xD8 ? kPayloadJpeg : kPayloadH264;
    }
    pos += sizeof head + h.length;
  }
  return kPayloadH264;
}

// ---- AVI ---------------------------------------------------------------------------

struct Chunk {
  uint32_t id = 0;
  uint32_t size = 0;
};

bool ReadChunkHeader(IByteSource& file, uint64_t at, Chunk* c) {
  uint8_t b[8];
  if (!file.ReadExact(at, b, 8)) return false;
  c->id = Le32(b);
  c->size = Le32(b + 4);
  return true;
}

constexpr uint32_t kList = FourCC("LIST");
constexpr uint32_t kMovi = FourCC("movi");
constexpr uint32_t kHdrl = FourCC("hdrl");
constexpr uint32_t kStrh = FourCC("strh");
constexpr uint32_t kStrf = FourCC("strf");
constexpr uint32_t kIdx1 = FourCC("idx1");
constexpr uint32_t kVids = FourCC("vids");
constexpr uint32_t kAuds = FourCC("auds");
constexpr uint32_t kVideoChunk = FourCC("00dc");
constexpr uint32_t kAudioChunk = FourCC("01wb");

// Stream headers inside hdrl: the video handler gives the payload type, an
// audio stream's format record its sample rate.
void ReadStreamHeaders(IByteSource& file, uint64_t from, uint64_t end, StreamInfo* info) {
  uint32_t last_type = 0;
  Chunk c;
  for (int guard = 0; guard < 256 && from <= end && end - from >= 8; ++guard) {
    if (!ReadChunkHeader(file, from, &c)) return;
    const uint64_t data = from + 8;
    if (c.id == kList) {
      from = data + 4;  // descend into strl lists
      continue;
    }
    if (c.id == kStrh && c.size >= 8) {
      uint8_t b[8];
      if (!file.ReadExact(data, b, 8)) return;
      last_type = Le32(b);
      if (last_type == kVids) {
        const uint32_t handler = Le32(b + 4);
        if (handler == FourCC("mjpg") || handler == FourCC("MJPG")) {
          info->video_payload = kPayloadJpeg;
        } else if (handler == FourCC("HEVC") || handler == FourCC("hevc") ||
                   handler == FourCC("H265") || handler == FourCC("h265")) {
          info->video_payload = kPayloadH265;
        } else {
          info->video_payload = kPayloadH264;
        }
      }
    } else if (c.id == kStrf && last_type == kAuds && c.size >= 8) {
      uint8_t b[8];
      if (!file.ReadExact(data, b, 8)) return;
      const uint32_t rate = Le32(b + 4);
      if (rate >= 1000 && rate <= 192000) info->audio_sample_rate = static_cast<int>(rate);
    }
    from = data + c.size + (c.size & 1);
  }
}

bool InFile(uint64_t size, uint64_t offset, uint32_t length) {
  return offset <= size && size - offset >= 8 && size - offset - 8 >= length;
}

// Adds one chunk to the lists (audio before the first picture is dropped).
void AddChunk(AviFile* out, uint32_t id, uint64_t offset, uint32_t length) {
  if (id == kVideoChunk) {
    out->video.push_back({offset, length});
    out->audio_from.push_back(static_cast<uint32_t>(out->audio.size()));
  } else if (id == kAudioChunk) {
    out->audio.push_back({offset, length});
  }
}

bool ReadIdx1(IByteSource& file, uint64_t idx_data, uint32_t idx_size, uint64_t movi_fourcc,
              AviFile* out) {
  const uint64_t size = file.Size();
  const uint64_t avail = std::min<uint64_t>(idx_size, size - std::min(size, idx_data));
  const uint64_t count = std::min<uint64_t>(avail / 16, kMaxEntries);
  if (count == 0) return false;
  // Offsets are absolute in our files; other writers count from the movi
  // list's type field. The first entry tells which.
  uint64_t base = 0;
  uint8_t block[4096];
  for (uint64_t i = 0; i < count; i += sizeof block / 16) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof block / 16, count - i));
    if (!file.ReadExact(idx_data + i * 16, block, n * 16)) break;
    for (size_t k = 0; k < n; ++k) {
      const uint8_t* e = block + k * 16;
      const uint32_t id = Le32(e);
      const uint64_t offset = Le32(e + 8);
      const uint32_t length = Le32(e + 12);
      if (i == 0 && k == 0 && offset < movi_fourcc) base = movi_fourcc;
      if (id != kVideoChunk && id != kAudioChunk) continue;
      if (!InFile(size, base + offset, length)) continue;
      AddChunk(out, id, base + offset, length);
    }
  }
  return !out->video.empty();
}

// Without a usable index: the chunks of the movi list in file order, up to
// the first one that does not fit (a recording cut short).
void WalkMovi(IByteSource& file, uint64_t from, uint64_t end, AviFile* out) {
  end = std::min(end, file.Size());
  Chunk c;
  while (from <= end && end - from >= 8 && out->video.size() + out->audio.size() < kMaxEntries) {
    if (!ReadChunkHeader(file, from, &c)) break;
    if (c.id == kList) {
      from += 12;  // "rec " lists: their chunks follow
      continue;
    }
    if (end - from - 8 < c.size) break;
    AddChunk(out, c.id, from, c.size);
    from += 8 + uint64_t{c.size} + (c.size & 1);
  }
}

}  // namespace

size_t MemoryBytes::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (offset >= size_) return 0;
  const size_t k = static_cast<size_t>(std::min<uint64_t>(n, size_ - offset));
  if (k == 0) return 0;  // dst may be null for an empty read
  std::memcpy(dst, data_ + offset, k);
  return k;
}

FileBytes::~FileBytes() {
  Close();
}

bool FileBytes::Open(const std::string& native_path) {
  Close();
  fd_ = ::open(native_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return false;
  struct stat st {};
  if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    return false;
  }
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

void FileBytes::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
}

size_t FileBytes::ReadAt(uint64_t offset, void* dst, size_t n) {
  if (fd_ < 0 || offset >= size_) return 0;
  size_t done = 0;
  auto* p = static_cast<uint8_t*>(dst);
  while (done < n) {
    const ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    done += static_cast<size_t>(r);
  }
  return done;
}

RecordHeader ParseAlarmRecordHeader(const uint8_t* b) {
  RecordHeader h = ParseOlderRecordHeader(b);
  h.width = Le16(b + 4);
  h.height = Le16(b + 6);
  h.tick = Le32(b + 8);
  return h;
}

RecordHeader ParseOlderRecordHeader(const uint8_t* b) {
  const uint32_t word = Le32(b);
  RecordHeader h;
  h.kind = static_cast<int>(word & 3);
  h.frame_type = static_cast<int>(word >> 2 & 15);
  h.length = word >> 12;
  h.tick = Le32(b + 4);
  return h;
}

uint32_t PackRecordWord(int kind, int frame_type, uint32_t length) {
  return (uint32_t(kind) & 3) | (uint32_t(frame_type) & 15) << 2 | length << 12;
}

FileKind Recognize(IByteSource& file) {
  if (HasText(file, 0, "RIFF", 4)) {
    if (HasText(file, 328, kAviTagText, 11) || HasText(file, 336, kAviTagText, 11)) {
      return FileKind::kAvi;
    }
    return FileKind::kUnknown;
  }
  if (HasText(file, 0, kOlderSignature, kOlderSignatureSize)) return FileKind::kOlder;
  if (HasText(file, 0, kSignature, kSignatureSize)) {
    uint8_t payload = 0;
    if (!file.ReadExact(kSignatureSize, &payload, 1)) return FileKind::kUnknown;
    if (payload == kPayloadH264 || payload == kPayloadH265) return FileKind::kAlarmH264;
    if (payload == kPayloadJpeg) return FileKind::kAlarmMjpeg;
  }
  return FileKind::kUnknown;
}

bool ReadIndexedFile(IByteSource& file, FileKind kind, IndexedFile* out) {
  *out = IndexedFile{};
  out->kind = kind;
  size_t entry_size;
  if (kind == FileKind::kAlarmH264 || kind == FileKind::kAlarmMjpeg) {
    uint8_t h[kStreamHeaderSize];
    if (!file.ReadExact(kSignatureSize, h, sizeof h)) return false;
    out->info.video_payload = h[0];
    const bool nal = h[0] == kPayloadH264 || h[0] == kPayloadH265;
    if (kind == FileKind::kAlarmH264 ? !nal : h[0] != kPayloadJpeg) return false;
    out->info.audio_code = h[1];
    out->info.width = Le16(h + 2);
    out->info.height = Le16(h + 4);
    out->info.server_kind = static_cast<int8_t>(h[6]);
    out->info.frame_rate = ClampRate(h[27]);
    out->header_size = kAlarmRecordHeaderSize;
    entry_size = kAlarmIndexEntrySize;
  } else if (kind == FileKind::kOlder) {
    uint8_t rate = 0;
    if (!file.ReadExact(kOlderSignatureSize, &rate, 1)) return false;
    out->info.frame_rate = ClampRate(rate);
    out->info.video_payload = SniffOlderPayload(file);
    // The audio records carry voice frames, but the format names no codec:
    // rather than guess one and play noise, these files play without sound.
    out->info.audio_code = 255;
    out->header_size = kOlderRecordHeaderSize;
    entry_size = kOlderIndexEntrySize;
  } else {
    return false;
  }
  if (!ReadTailIndex(file, entry_size, out->header_size, out)) ScanRecords(file, out);
  return true;
}

bool ReadAviFile(IByteSource& file, AviFile* out) {
  *out = AviFile{};
  if (Recognize(file) != FileKind::kAvi) return false;
  const uint64_t size = file.Size();
  uint8_t head[136];
  if (!file.ReadExact(0, head, sizeof head)) return false;
  out->header_frames = Le32(head + 48);
  out->info.width = static_cast<int>(std::min<uint32_t>(Le32(head + 64), 65535));
  out->info.height = static_cast<int>(std::min<uint32_t>(Le32(head + 68), 65535));
  const uint32_t scale = Le32(head + 128);
  const uint32_t rate = Le32(head + 132);
  out->info.frame_rate = ClampRate(scale > 1 ? (rate + scale / 2) / scale : rate);
  out->info.audio_code = 0;  // PCM
  out->info.video_payload = kPayloadH264;

  // Top-level chunks after the form type: hdrl, padding, movi, idx1 (found
  // by their ids, whatever stands between them).
  uint64_t movi_fourcc = 0, movi_end = 0, idx_data = 0;
  uint32_t idx_size = 0;
  bool have_movi = false, have_idx = false;
  Chunk c;
  uint64_t at = 12;
  for (int guard = 0; guard < 4096 && at <= size && size - at >= 8; ++guard) {
    if (!ReadChunkHeader(file, at, &c)) break;
    const uint64_t data = at + 8;
    if (c.id == kList && size - data >= 4) {
      uint8_t type[4];
      if (!file.ReadExact(data, type, 4)) break;
      if (Le32(type) == kHdrl) {
        ReadStreamHeaders(file, data + 4, std::min<uint64_t>(data + c.size, size), &out->info);
      } else if (Le32(type) == kMovi && !have_movi) {
        have_movi = true;
        movi_fourcc = data;
        movi_end = data + c.size;
      }
    } else if (c.id == kIdx1 && !have_idx) {
      have_idx = true;
      idx_data = data;
      idx_size = c.size;
    }
    at = data + c.size + (c.size & 1);
  }
  if (!have_movi) {
    // A writer that never finished the movi list size: the list is at its
    // usual place and runs to the end of the file.
    if (size >= 524 && HasText(file, 512, "LIST", 4) && HasText(file, 520, "movi", 4)) {
      have_movi = true;
      movi_fourcc = 520;
      movi_end = size;
    }
  }
  if (have_idx) ReadIdx1(file, idx_data, idx_size, movi_fourcc, out);
  // Without idx1 the file was never finished (the movi size is still the
  // one of an empty list): its chunks run to the end of the file.
  if (!have_idx) movi_end = size;
  if (out->video.empty() && have_movi) {
    *out = AviFile{out->info, out->header_frames, {}, {}, {}, true};
    WalkMovi(file, movi_fourcc + 4, movi_end, out);
  }
  out->audio_from.push_back(static_cast<uint32_t>(out->audio.size()));
  return !out->video.empty();
}

}  // namespace quornet::recfile
