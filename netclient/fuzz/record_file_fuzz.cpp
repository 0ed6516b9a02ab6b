// libFuzzer target: the record file readers on arbitrary bytes, followed by
// the walk the player makes over what they return. Invariants: everything a
// reader returns lies inside the file, index entries leave room for a record
// header before the end of the records, the AVI audio ranges are ordered,
// and no read leaves the file (the address sanitizer watches).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/avi_writer.h"
#include "media/record_file.h"
#include "net/video_picture.h"

using namespace quornet::recfile;

namespace {

void Check(bool ok) {
  if (!ok) abort();
}

void WalkRecords(IByteSource& file, const IndexedFile& f) {
  Check(f.records_end <= file.Size());
  for (const IndexEntry& e : f.index) {
    Check(e.offset >= kRecordsOffset && e.offset + f.header_size <= f.records_end);
  }
  uint8_t head[kAlarmRecordHeaderSize];
  uint64_t pos = f.index.empty() ? kRecordsOffset : f.index.front().offset;
  std::vector<uint8_t> payload;
  for (int n = 0; n < 4096 && pos + f.header_size <= f.records_end; ++n) {
    Check(file.ReadExact(pos, head, f.header_size));
    const RecordHeader h = f.header_size == kAlarmRecordHeaderSize ? ParseAlarmRecordHeader(head)
                                                                   : ParseOlderRecordHeader(head);
    Check(h.length < (1u << 20));
    if (f.records_end - pos - f.header_size < h.length) break;
    payload.resize(h.length);
    Check(file.ReadExact(pos + f.header_size, payload.data(), h.length));
    pos += f.header_size + h.length;
  }
}

void WalkAvi(IByteSource& file, const AviFile& a) {
  Check(!a.video.empty());
  Check(a.audio_from.size() == a.video.size() + 1);
  for (size_t i = 0; i + 1 < a.audio_from.size(); ++i)
    Check(a.audio_from[i] <= a.audio_from[i + 1]);
  Check(a.audio_from.back() == a.audio.size());
  Check(a.info.frame_rate >= 1 && a.info.frame_rate <= 30);
  std::vector<uint8_t> data;
  size_t n = 0;
  for (const AviChunk& c : a.video) {
    Check(c.offset + 8 + c.length <= file.Size());
    if (n++ < 64 && c.length <= 65536) {
      data.resize(c.length);
      Check(file.ReadExact(c.offset + 8, data.data(), c.length));
      quornet::H264PictureIsKey(data.data(), data.size());
    }
  }
  for (const AviChunk& c : a.audio) Check(c.offset + 8 + c.length <= file.Size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryBytes file(data, size);
  const FileKind kind = Recognize(file);
  // Also read every input as each kind: the readers must hold up whatever
  // the recognition says.
  for (FileKind k : {FileKind::kAlarmH264, FileKind::kAlarmMjpeg, FileKind::kOlder}) {
    IndexedFile f;
    if (ReadIndexedFile(file, k, &f)) WalkRecords(file, f);
  }
  AviFile a;
  if (ReadAviFile(file, &a)) {
    Check(kind == FileKind::kAvi);
    WalkAvi(file, a);
  }
  return 0;
}
