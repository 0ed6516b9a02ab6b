// Readers of the record files the player opens: recognition of the file
// kind, the alarm and older record formats (record headers and the key-frame
// index at the file's end, or an index rebuilt by scanning the records), and
// the AVI record file (stream headers and the chunk list from idx1, or from
// the movi list when idx1 is missing or unusable).
//
// Pure byte code over IByteSource, so that every reader runs on memory in
// tests and under the fuzzer. Every count and offset read from a file is
// checked against the file's size before it is used: a hostile or truncated
// file can make a reader find nothing, never read outside the file or
// allocate more than a small multiple of the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quornet::recfile {

// Random access to the bytes of one file.
class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Copies up to n bytes from offset into dst; returns the bytes copied
  // (fewer at the end of the file or on a read error).
  virtual size_t ReadAt(uint64_t offset, void* dst, size_t n) = 0;
  // True when exactly n bytes were read.
  bool ReadExact(uint64_t offset, void* dst, size_t n) { return ReadAt(offset, dst, n) == n; }
};

class MemoryBytes final : public IByteSource {
 public:
  MemoryBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* dst, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// A file opened for reading (pread on its descriptor, so one source may be
// read from any position without a shared file position).
class FileBytes final : public IByteSource {
 public:
  FileBytes() = default;
  ~FileBytes() override;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  // Opens a native path; false when it is not a readable regular file.
  bool Open(const std::string& native_path);
  void Close();
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* dst, size_t n) override;

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// kAlarmH264: an alarm file of NAL unit pictures, H.264 or H.265 (its
// stream header's payload says which).
enum class FileKind { kUnknown, kAvi, kOlder, kAlarmH264, kAlarmMjpeg };

inline constexpr char kSignature[] = "Halvenmoore";  // 11 bytes, alarm files
inline constexpr size_t kSignatureSize = 11;
inline constexpr char kOlderSignature[] = "Halvenmoore video server record format";  // 38 bytes
inline constexpr size_t kOlderSignatureSize = 38;
inline constexpr char kAviTagText[] = "HalvenMoore";  // at 328 or 336 of an AVI record
inline constexpr uint64_t kRecordsOffset = 39;        // first record of alarm and older files
inline constexpr size_t kStreamHeaderSize = 28;       // alarm files, at offset 11
inline constexpr size_t kAlarmRecordHeaderSize = 12;
inline constexpr size_t kOlderRecordHeaderSize = 8;
inline constexpr char kBeginIndex[] = "BEGININDEX";  // 10 bytes
inline constexpr char kEndIndex[] = "ENDINDEX";      // 8 bytes
inline constexpr size_t kAlarmIndexEntrySize = 16;   // 64-bit offset, 32-bit tick, 32-bit zero
inline constexpr size_t kOlderIndexEntrySize = 8;    // 32-bit offset, 32-bit tick

// Record kinds and the frame type of key frames in the packed header word.
inline constexpr int kRecordVideo = 0;
inline constexpr int kRecordAudio = 1;
inline constexpr int kFrameTypeKey = 7;   // an H.264 picture with its SPS (or IDR)
inline constexpr int kFrameTypeJpeg = 0;  // a JPEG picture

inline constexpr int kPayloadJpeg = 26;
inline constexpr int kPayloadH264 = 96;
inline constexpr int kPayloadH265 = 98;

// One record header: the packed word (bits 0-1 kind, 2-5 frame type, 12-31
// payload length), then for alarm files width, height and tick, for older
// files the tick.
struct RecordHeader {
  int kind = 0;
  int frame_type = 0;
  uint32_t length = 0;  // payload bytes, below 2^20 by construction
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t tick = 0;  // ms
};
RecordHeader ParseAlarmRecordHeader(const uint8_t* bytes);  // 12 bytes
RecordHeader ParseOlderRecordHeader(const uint8_t* bytes);  // 8 bytes

// Writes the packed word of a record header.
uint32_t PackRecordWord(int kind, int frame_type, uint32_t length);

struct IndexEntry {
  uint64_t offset = 0;  // of the record header
  uint32_t tick = 0;    // ms
};

// What the session learns from a file.
struct StreamInfo {
  int video_payload = 0;  // 26, 96 or 98; 0 not known
  int audio_code = 255;
  int width = 0;
  int height = 0;
  int frame_rate = 30;  // 1..30
  int server_kind = 0;
  int audio_sample_rate = 0;  // Hz; 0 when the file has no audio format
};

FileKind Recognize(IByteSource& file);

// Alarm and older record files.
struct IndexedFile {
  FileKind kind = FileKind::kUnknown;
  StreamInfo info;
  // Key frames in file order; ticks as recorded.
  std::vector<IndexEntry> index;
  bool index_from_scan = false;  // no usable index at the end: rebuilt
  // End of the frame records: where "BEGININDEX" stands, else the file size.
  uint64_t records_end = 0;
  size_t header_size = kAlarmRecordHeaderSize;
};

// Reads the stream header and the index of an alarm (kinds kAlarmH264,
// kAlarmMjpeg) or older (kOlder) file, or rebuilds the index by scanning the
// records. False when the file is not of that kind or its header is unusable.
// The older format names no video codec: it is taken from the first video
// record (a JPEG start of image makes 26, anything else 96). It names no
// audio codec either: older files have audio code 255 (no sound).
bool ReadIndexedFile(IByteSource& file, FileKind kind, IndexedFile* out);

// AVI record files.
struct AviChunk {
  uint64_t offset = 0;  // of the chunk header; the data follow 8 bytes later
  uint32_t length = 0;  // data bytes
};
struct AviFile {
  StreamInfo info;
  uint32_t header_frames = 0;   // total frames as the main header states it
  std::vector<AviChunk> video;  // frame number = position
  std::vector<AviChunk> audio;
  // audio_from[i] .. audio_from[i + 1] - 1: the audio chunks that follow
  // video chunk i in the file (audio before the first picture is not played).
  std::vector<uint32_t> audio_from;
  bool index_from_movi = false;  // idx1 missing or unusable: chunks from the movi list
};
// Reads the headers and the chunk list of an AVI record file. False when it
// is not one, or when it holds no video chunk.
bool ReadAviFile(IByteSource& file, AviFile* out);

// Largest number of index entries or chunks taken from one file.
inline constexpr size_t kMaxEntries = size_t{1} << 23;

}  // namespace quornet::recfile
