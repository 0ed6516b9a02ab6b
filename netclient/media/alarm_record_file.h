// Alarm record file: the library's own record format, written while an alarm
// recording runs and read back by the file player.
//
// Layout (little-endian):
//      0  11  signature "Halvenmoore" (no terminator)
//     11  28  stream header: video payload code, audio code, width (16),
//             height (16), server kind, 20 zero bytes, frame rate (1..30)
//     39      records: 12-byte record frame header + payload, in arrival order
//  end - 22 - 16N  "BEGININDEX", N entries {64-bit offset of a record header,
//             32-bit tick, 32-bit zero}, N (32-bit), "ENDINDEX"
// Index entries are made for video key frames (frame types 0 and 7).
//
// Writes go through a 524,288-byte buffer. Every write result is examined: a
// failed write (disk full, file size limit) cuts the file back to the end of
// the last whole record on disk, and Close then writes an index that covers
// only what the file holds, dropping trailing records when that is what it
// takes to make room for the index. After a failure the file takes no more
// records (failed() is true) and the caller stops the recording.
//
// Not thread-safe: the recorder serialises every call under its alarm lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <vector>

namespace quornet {

inline constexpr char kAlarmSignature[] = "Halvenmoore";  // 11 bytes in the file
inline constexpr size_t kAlarmSignatureSize = 11;
inline constexpr size_t kAlarmStreamHeaderSize = 28;
inline constexpr size_t kAlarmHeaderEnd = kAlarmSignatureSize + kAlarmStreamHeaderSize;  // 39
inline constexpr size_t kAlarmIndexEntrySize = 16;
// The payload length field of a record frame header has 20 bits.
inline constexpr uint32_t kAlarmMaxPayload = (1u << 20) - 1;

struct AlarmStreamHeader {
  uint8_t video_payload = 0;  // 26 or 96
  uint8_t audio_code = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t server_kind = 0;
  uint8_t frame_rate = 30;  // 1..30
};

// Writes len bytes at offset; returns the bytes written (possibly fewer) or
// -1 with errno set. The default is pwrite(2); tests substitute a failing one.
using AlarmWriteFn = long (*)(void* ctx, int fd, const void* data, size_t len, uint64_t offset);

class CAlarmRecordFile {
 public:
  static constexpr size_t kBufferSize = 0x80000;

  CAlarmRecordFile() = default;
  ~CAlarmRecordFile();  // Close()
  CAlarmRecordFile(const CAlarmRecordFile&) = delete;
  CAlarmRecordFile& operator=(const CAlarmRecordFile&) = delete;

  // Takes over a file opened with mode "wb" (closed by Close). False when the
  // write buffer cannot be allocated (the file is closed then).
  bool Open(FILE* file, AlarmWriteFn write_fn = nullptr, void* write_ctx = nullptr);
  bool IsOpen() const { return file_ != nullptr; }
  bool failed() const { return failed_; }

  // Signature and stream header. False after a failed write.
  bool WriteHeader(const AlarmStreamHeader& header);
  // One record: the 12-byte frame header, then payload (size bytes). With key
  // an index entry (tick) points at the record's header.
  bool WriteRecord(const uint8_t* frame_header, const uint8_t* payload, size_t size, uint32_t tick,
                   bool key);

  struct CloseResult {
    bool write_failed = false;  // some write failed while open or on close
    size_t index_entries = 0;   // entries in the index as written
  };
  // Writes the index trailer, closes the file. Safe when not open.
  CloseResult Close();

 private:
  bool Append(const uint8_t* data, size_t size);
  bool Flush();
  bool WriteAt(const void* data, size_t size, uint64_t offset, size_t* written);
  // After a failed write that left `on_disk` bytes: cut back to the last
  // whole record.
  void CutBack(uint64_t on_disk);
  bool WriteIndexAt(uint64_t at);

  FILE* file_ = nullptr;
  int fd_ = -1;
  AlarmWriteFn write_fn_ = nullptr;
  void* write_ctx_ = nullptr;
  std::vector<uint8_t> buffer_;
  size_t fill_ = 0;
  uint64_t flushed_ = 0;               // bytes on disk
  uint64_t durable_end_ = 0;           // end of the last whole record (or header) on disk
  std::deque<uint64_t> pending_ends_;  // ends of records not yet wholly on disk
  struct Entry {
    uint64_t offset;
    uint32_t tick;
  };
  std::vector<Entry> index_;
  bool failed_ = false;
};

}  // namespace quornet
