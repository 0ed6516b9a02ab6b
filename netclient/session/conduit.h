// The frame conduit: a fixed-size byte ring with a queue of frame boundaries,
// carrying encoded media from the thread that receives it to the thread that
// decodes or plays it.
//
// Threads: one writer and one reader per conduit, plus control calls (Reset,
// Stop, the counts) from any thread. Every state change happens under the
// conduit's lock; the data event lets the reader sleep until bytes arrive,
// the space event lets a writer in writer-waits mode sleep until the reader
// has drained. Stop wakes every blocked reader and writer; after it every read
// and append fails at once until Reset.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "qrplat/thread.h"

namespace quornet {

// One entry of the frame index, handed back to readers as the frame header.
// 16 bytes, the layout of the single-step cache record header too.
struct FrameHeader {
  uint32_t start;   // ring offset where the frame began (informational)
  uint32_t length;  // bytes
  uint32_t word0;   // writers put the frame's timestamp (ms) here
  uint32_t word1;   // writers put 0 here
};
static_assert(sizeof(FrameHeader) == 16);

// The conduit interface. Lengths and capacities are in bytes, time-outs in
// milliseconds (qrplat::kInfinite waits without limit).
class CIConduit {
 public:
  virtual ~CIConduit() = default;

  // Allocates a ring of `capacity` bytes. writer_waits 1: an append waits up
  // to 1 s for space; 0: it never waits. A writer waiting for space is
  // released when the reader drains below low_water. framed 1 keeps the frame
  // index (frame reads need it). A conduit is created once; a second call
  // returns false and changes nothing. True when the ring exists.
  virtual bool Create(uint32_t capacity, int32_t writer_waits, uint32_t low_water,
                      int32_t framed) = 0;
  // Frees the ring, empties the index, closes and deletes the step cache.
  virtual void Release() = 0;
  // Empties ring and index and clears the stop flag.
  virtual void Reset() = 0;
  virtual void SetWriterWaits(int32_t flag) = 0;
  // Reads exactly `length` bytes regardless of frames; 0 when fewer are
  // buffered after the wait. *buffered_after (optional) gets the bytes left.
  virtual uint32_t ReadBytes(void* dst, uint32_t length, uint32_t* buffered_after,
                             uint32_t timeout_ms) = 0;
  // Appends a block; end_of_frame 1 closes the frame that the block ends. A
  // block that does not fit is refused whole (false) and the reader is woken
  // to drain.
  virtual bool Append(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
                      uint32_t word1) = 0;
  // The same as Append (the second entry of the original interface).
  virtual bool Append2(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
                       uint32_t word1) = 0;
  // Appends a record (16-byte header, then the data) to the single-step
  // cache file.
  virtual bool AppendStep(const void* data, uint32_t length, uint32_t word) = 0;
  virtual uint32_t Buffered() = 0;
  virtual uint32_t FrameCount() = 0;
  // Closes the bytes appended since the last boundary as one frame.
  virtual void EndFrame(uint32_t word0, uint32_t word1) = 0;
  // Reads the oldest frame, but returns 0 at once when no frame is queued.
  virtual uint32_t ReadFrameIfPresent(void* dst, uint32_t capacity, uint32_t* frames_left,
                                      FrameHeader* header, uint32_t timeout_ms) = 0;
  // Waits up to timeout_ms for data and reads the oldest frame into dst.
  // Returns its length; 0 on time-out, stop, no complete frame, or when the
  // frame is longer than `capacity` (it then stays queued).
  virtual uint32_t ReadFrame(void* dst, uint32_t capacity, uint32_t* frames_left,
                             FrameHeader* header, uint32_t timeout_ms) = 0;
  // Reads the next record of the single-step cache; the data length when the
  // whole record was read and fits `capacity`, else 0.
  virtual uint32_t ReadStep(void* dst, uint32_t capacity, uint32_t unused1, FrameHeader* header,
                            uint32_t unused2) = 0;
  // Sets the stop flag and wakes every blocked reader and writer.
  virtual void Stop() = 0;
};

class CBufferConduit final : public CIConduit {
 public:
  CBufferConduit();
  ~CBufferConduit() override;
  CBufferConduit(const CBufferConduit&) = delete;
  CBufferConduit& operator=(const CBufferConduit&) = delete;

  bool Create(uint32_t capacity, int32_t writer_waits, uint32_t low_water, int32_t framed) override;
  void Release() override;
  void Reset() override;
  void SetWriterWaits(int32_t flag) override;
  uint32_t ReadBytes(void* dst, uint32_t length, uint32_t* buffered_after,
                     uint32_t timeout_ms) override;
  bool Append(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
              uint32_t word1) override;
  bool Append2(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
               uint32_t word1) override;
  bool AppendStep(const void* data, uint32_t length, uint32_t word) override;
  uint32_t Buffered() override;
  uint32_t FrameCount() override;
  void EndFrame(uint32_t word0, uint32_t word1) override;
  uint32_t ReadFrameIfPresent(void* dst, uint32_t capacity, uint32_t* frames_left,
                              FrameHeader* header, uint32_t timeout_ms) override;
  uint32_t ReadFrame(void* dst, uint32_t capacity, uint32_t* frames_left, FrameHeader* header,
                     uint32_t timeout_ms) override;
  uint32_t ReadStep(void* dst, uint32_t capacity, uint32_t unused1, FrameHeader* header,
                    uint32_t unused2) override;
  void Stop() override;

  bool IsStopped() const { return stop_.load(std::memory_order_acquire); }
  // Lets the ring grow up to max_capacity bytes for large frames (0, the
  // default: never). A frame longer than a quarter of the ring makes it grow
  // (doubling, to twice that frame at least) when it is longer than half the
  // ring or does not fit behind the queued bytes, so that buffering holds
  // several such frames; smaller frames never change the ring. Growing copies
  // what is buffered once, under the lock.
  void SetGrowLimit(uint32_t max_capacity);
  uint32_t Capacity();
  // Native path of this conduit's single-step cache file: unique per conduit,
  // in the user's cache directory (the program directory is often read-only).
  const std::string& CachePath() const { return cache_path_; }

 private:
  // Lets a writer that waits for space in. Caller holds mutex_.
  void ReleaseWriterLocked();
  void SignalDataLocked();
  void ClearDataLocked();
  // The frame-read steps after the wait: pops and copies the oldest frame.
  uint32_t TakeFrameLocked(void* dst, uint32_t capacity, uint32_t* frames_left,
                           FrameHeader* header);
  // Copies n bytes out of the ring from the read offset (two pieces when they
  // wrap) and advances it. Caller holds mutex_ and checked n <= buffered_.
  void CopyOutLocked(void* dst, uint32_t n);
  void CloseStepFilesLocked();
  // Grows the ring for an open frame of frame_bytes; false when it may not
  // grow (limit reached, no memory). Caller holds mutex_.
  bool GrowLocked(uint64_t frame_bytes);

  std::mutex mutex_;
  bool created_ = false;  // guarded by mutex_
  // Set whenever bytes are added; cleared by a reader that finds too little.
  qrplat::Event data_event_{true, false};
  // Mirrors data_event_ for the sets and resets made under mutex_, so that an
  // append does not pay for setting an event that is already set. (Stop sets
  // the event without the lock; the mirror then merely causes one extra set.)
  bool data_signalled_ = false;  // guarded by mutex_
  // Auto reset: each Set lets one waiting writer in.
  qrplat::Event space_event_{false, true};

  uint32_t capacity_ = 0;    // guarded by mutex_
  uint32_t grow_limit_ = 0;  // guarded by mutex_
  uint32_t buffered_ = 0;    // guarded by mutex_
  struct FreeRing {
    void operator()(uint8_t* p) const;
  };
  // Cache-line aligned, so that copies into and out of it run at full speed.
  std::unique_ptr<uint8_t, FreeRing> ring_;  // guarded by mutex_
  uint32_t frame_start_ = 0;                 // guarded by mutex_: ring offset of the open frame
  uint32_t read_offset_ = 0;                 // guarded by mutex_
  uint32_t write_offset_ = 0;                // guarded by mutex_
  // Written without the lock by Stop, read everywhere.
  std::atomic<bool> stop_{false};
  uint32_t low_water_ = 0;                // guarded by mutex_
  std::atomic<int32_t> writer_waits_{0};  // read before the lock is taken
  std::deque<FrameHeader> index_;         // guarded by mutex_: oldest first
  uint32_t pending_ = 0;                  // guarded by mutex_: bytes of the open frame
  int32_t framed_ = 0;                    // guarded by mutex_
  FILE* step_read_ = nullptr;             // guarded by mutex_
  FILE* step_write_ = nullptr;            // guarded by mutex_
  std::string cache_path_;                // fixed at construction
};

}  // namespace quornet
