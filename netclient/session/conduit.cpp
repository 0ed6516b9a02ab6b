#include "session/conduit.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "qrplat/drives.h"

namespace quornet {
namespace {

// A waiting writer is also let in whenever a read leaves less than this many
// bytes, whatever the low-water mark.
constexpr uint32_t kNearlyEmpty = 1024;
constexpr uint32_t kWriterWaitMs = 1000;

std::string UniqueCachePath() {
  static std::atomic<uint32_t> counter{0};
  uint32_t n = counter.fetch_add(1) + 1;
  return qrplat::CacheDirectory() + "/step_by_step-" + std::to_string(getpid()) + "-" +
         std::to_string(n) + ".h264";
}

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void CBufferConduit::FreeRing::operator()(uint8_t* p) const {
  std::free(p);
}

CBufferConduit::CBufferConduit() : cache_path_(UniqueCachePath()) {}

CBufferConduit::~CBufferConduit() {
  Release();
}

bool CBufferConduit::Create(uint32_t capacity, int32_t writer_waits, uint32_t low_water,
                            int32_t framed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (created_) return false;
  created_ = true;
  if (capacity != 0) {
    size_t rounded = (size_t(capacity) + 63) / 64 * 64;
    ring_.reset(static_cast<uint8_t*>(std::aligned_alloc(64, rounded)));
  }
  capacity_ = ring_ ? capacity : 0;
  low_water_ = low_water;
  writer_waits_.store(writer_waits);
  framed_ = framed;
  buffered_ = read_offset_ = write_offset_ = frame_start_ = pending_ = 0;
  index_.clear();
  stop_.store(false);
  return ring_ != nullptr;
}

void CBufferConduit::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  ring_.reset();
  capacity_ = buffered_ = read_offset_ = write_offset_ = frame_start_ = pending_ = 0;
  index_.clear();
  CloseStepFilesLocked();
  qrplat::RemoveFile(cache_path_);
}

void CBufferConduit::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  buffered_ = read_offset_ = write_offset_ = frame_start_ = pending_ = 0;
  index_.clear();
  stop_.store(false, std::memory_order_release);
  space_event_.Set();
}

void CBufferConduit::SetWriterWaits(int32_t flag) {
  writer_waits_.store(flag);
}

void CBufferConduit::ReleaseWriterLocked() {
  if (writer_waits_.load() == 1) space_event_.Set();
}

void CBufferConduit::SignalDataLocked() {
  if (!data_signalled_) {
    data_event_.Set();
    data_signalled_ = true;
  }
}

void CBufferConduit::ClearDataLocked() {
  data_event_.Reset();
  data_signalled_ = false;
}

void CBufferConduit::CopyOutLocked(void* dst, uint32_t n) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  uint32_t first = capacity_ - read_offset_;
  if (first > n) first = n;
  std::memcpy(out, ring_.get() + read_offset_, first);
  std::memcpy(out + first, ring_.get(), n - first);
  read_offset_ += n;
  if (read_offset_ >= capacity_) read_offset_ -= capacity_;
  buffered_ -= n;
  if (buffered_ == 0) {
    // Empty (so no open frame either): start again at the ring's beginning.
    // A reader that keeps up then cycles through the same few cache-hot
    // bytes instead of the whole ring.
    read_offset_ = write_offset_ = frame_start_ = 0;
  }
}

uint32_t CBufferConduit::ReadBytes(void* dst, uint32_t length, uint32_t* buffered_after,
                                   uint32_t timeout_ms) {
  if (stop_.load(std::memory_order_acquire) || dst == nullptr) return 0;
  if (writer_waits_.load() == 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (buffered_ < low_water_) space_event_.Set();
  }
  if (!data_event_.Wait(timeout_ms)) {
    ReleaseWriterLocked();
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_.load(std::memory_order_acquire)) return 0;
  if (length == 0 || buffered_ < length) {
    ClearDataLocked();
    ReleaseWriterLocked();
    return 0;
  }
  CopyOutLocked(dst, length);
  if (buffered_ < kNearlyEmpty) ReleaseWriterLocked();
  if (buffered_after != nullptr) *buffered_after = buffered_;
  return length;
}

bool CBufferConduit::Append(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
                            uint32_t word1) {
  if (stop_.load(std::memory_order_acquire)) return false;
  if (writer_waits_.load() == 1 && !space_event_.Wait(kWriterWaitMs)) return false;

  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_.load(std::memory_order_acquire)) return false;
  if (src == nullptr && length != 0) return false;
  const uint64_t frame_bytes = uint64_t(pending_) + length;
  // Large frames (above a quarter of the ring) make it grow when it could
  // hold fewer than two of them, or when one no longer fits behind the
  // queued ones; smaller frames keep the ring as it is.
  if (framed_ && grow_limit_ > capacity_ && frame_bytes > capacity_ / 4 &&
      (frame_bytes > capacity_ / 2 || uint64_t(buffered_) + length > capacity_)) {
    GrowLocked(frame_bytes);
  }
  if (uint64_t(buffered_) + length > capacity_) {
    // Refused whole; wake the reader so the ring drains.
    SignalDataLocked();
    return false;
  }
  if (length != 0) {
    const uint8_t* in = static_cast<const uint8_t*>(src);
    uint32_t first = capacity_ - write_offset_;
    if (first > length) first = length;
    std::memcpy(ring_.get() + write_offset_, in, first);
    std::memcpy(ring_.get(), in + first, length - first);
    write_offset_ += length;
    if (write_offset_ >= capacity_) write_offset_ -= capacity_;
  }
  if (framed_) {
    pending_ += length;
    // An empty frame is not queued: it would stay in the index with no bytes
    // behind it and read back as "no frame".
    if (end_of_frame == 1 && pending_ != 0) {
      index_.push_back(FrameHeader{frame_start_, pending_, word0, word1});
      pending_ = 0;
      frame_start_ = write_offset_;
    }
  }
  buffered_ += length;
  SignalDataLocked();
  return true;
}

void CBufferConduit::SetGrowLimit(uint32_t max_capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  grow_limit_ = max_capacity;
}

uint32_t CBufferConduit::Capacity() {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_;
}

bool CBufferConduit::GrowLocked(uint64_t frame_bytes) {
  if (!ring_) return false;
  uint64_t want = std::max<uint64_t>(uint64_t(capacity_) * 2, frame_bytes * 2);
  want = std::min<uint64_t>((want + 63) / 64 * 64, grow_limit_);
  if (want <= capacity_) return false;
  std::unique_ptr<uint8_t, FreeRing> bigger(
      static_cast<uint8_t*>(std::aligned_alloc(64, (size_t(want) + 63) / 64 * 64)));
  if (!bigger) return false;
  // The buffered bytes move to the start of the new ring, in order.
  const uint32_t old_capacity = capacity_;
  const uint32_t read = read_offset_;
  const uint32_t first = std::min(buffered_, old_capacity - read);
  std::memcpy(bigger.get(), ring_.get() + read, first);
  std::memcpy(bigger.get() + first, ring_.get(), buffered_ - first);
  for (FrameHeader& h : index_) h.start = (h.start + old_capacity - read) % old_capacity;
  ring_ = std::move(bigger);
  capacity_ = uint32_t(want);
  read_offset_ = 0;
  write_offset_ = buffered_;
  frame_start_ = buffered_ - pending_;
  return true;
}

bool CBufferConduit::Append2(const void* src, uint32_t length, int32_t end_of_frame, uint32_t word0,
                             uint32_t word1) {
  return Append(src, length, end_of_frame, word0, word1);
}

void CBufferConduit::EndFrame(uint32_t word0, uint32_t word1) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!framed_ || pending_ == 0) return;
  index_.push_back(FrameHeader{frame_start_, pending_, word0, word1});
  pending_ = 0;
  frame_start_ = write_offset_;
  // A reader that found only the open frame cleared the data event; wake it
  // now that the frame is complete.
  SignalDataLocked();
}

uint32_t CBufferConduit::Buffered() {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffered_;
}

uint32_t CBufferConduit::FrameCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(index_.size());
}

uint32_t CBufferConduit::TakeFrameLocked(void* dst, uint32_t capacity, uint32_t* frames_left,
                                         FrameHeader* header) {
  FrameHeader entry = index_.front();
  if (header != nullptr) *header = entry;
  if (frames_left != nullptr) *frames_left = static_cast<uint32_t>(index_.size());
  // Too long for the caller: it stays queued so a larger buffer can take it.
  if (entry.length > capacity) return 0;
  index_.pop_front();
  if (frames_left != nullptr) *frames_left = static_cast<uint32_t>(index_.size());
  if (entry.length > buffered_) {
    // The ring holds fewer bytes than the entry claims; the entry is lost.
    ClearDataLocked();
    ReleaseWriterLocked();
    return 0;
  }
  CopyOutLocked(dst, entry.length);
  if (buffered_ < kNearlyEmpty) ReleaseWriterLocked();
  return entry.length;
}

uint32_t CBufferConduit::ReadFrameIfPresent(void* dst, uint32_t capacity, uint32_t* frames_left,
                                            FrameHeader* header, uint32_t /*timeout_ms*/) {
  if (stop_.load(std::memory_order_acquire) || dst == nullptr) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!framed_) return 0;
  if (buffered_ < low_water_) ReleaseWriterLocked();
  if (buffered_ == 0 || index_.empty()) {
    ClearDataLocked();
    ReleaseWriterLocked();
    return 0;
  }
  // A complete frame is queued, so the data event is set: no need to wait
  // (and waiting while holding the lock would block the writer).
  return TakeFrameLocked(dst, capacity, frames_left, header);
}

uint32_t CBufferConduit::ReadFrame(void* dst, uint32_t capacity, uint32_t* frames_left,
                                   FrameHeader* header, uint32_t timeout_ms) {
  if (stop_.load(std::memory_order_acquire) || dst == nullptr) return 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (buffered_ < low_water_) ReleaseWriterLocked();
    // A complete frame is queued, so the data event is set and waiting on it
    // would return at once: take the frame without the round trip.
    if (framed_ && buffered_ != 0 && !index_.empty() && !stop_.load(std::memory_order_acquire)) {
      return TakeFrameLocked(dst, capacity, frames_left, header);
    }
  }
  if (!data_event_.Wait(timeout_ms)) {
    ReleaseWriterLocked();
    return 0;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // Stop sets the data event: a woken reader must not take a frame after it.
  if (stop_.load(std::memory_order_acquire) || !framed_) return 0;
  if (buffered_ == 0 || index_.empty()) {
    ClearDataLocked();
    ReleaseWriterLocked();
    return 0;
  }
  return TakeFrameLocked(dst, capacity, frames_left, header);
}

bool CBufferConduit::AppendStep(const void* data, uint32_t length, uint32_t word) {
  if (data == nullptr && length != 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (step_write_ == nullptr) {
    step_write_ = qrplat::OpenFile(cache_path_, "wb");
    if (step_write_ == nullptr) return false;
  }
  uint8_t head[16];
  PutLe32(head, 0);
  PutLe32(head + 4, length);
  PutLe32(head + 8, word);
  PutLe32(head + 12, 0);
  bool ok = std::fwrite(head, 1, sizeof(head), step_write_) == sizeof(head) &&
            std::fwrite(data, 1, length, step_write_) == length;
  // Flushed per record: the read stream is a separate FILE on the same file
  // and must see what was written.
  ok = std::fflush(step_write_) == 0 && ok;
  return ok;
}

uint32_t CBufferConduit::ReadStep(void* dst, uint32_t capacity, uint32_t /*unused1*/,
                                  FrameHeader* header, uint32_t /*unused2*/) {
  if (dst == nullptr) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (step_read_ == nullptr) {
    step_read_ = qrplat::OpenFile(cache_path_, "rb");
    if (step_read_ == nullptr) return 0;
  }
  long record_start = std::ftell(step_read_);
  auto rewind_record = [&]() {
    // Leave the record for a later call (with a larger buffer, or once the
    // writer has finished it).
    std::clearerr(step_read_);
    if (record_start >= 0) std::fseek(step_read_, record_start, SEEK_SET);
    return 0u;
  };
  uint8_t head[16];
  if (std::fread(head, 1, sizeof(head), step_read_) != sizeof(head)) return rewind_record();
  FrameHeader h{GetLe32(head), GetLe32(head + 4), GetLe32(head + 8), GetLe32(head + 12)};
  if (h.length > capacity) return rewind_record();
  if (std::fread(dst, 1, h.length, step_read_) != h.length) return rewind_record();
  if (header != nullptr) *header = h;
  return h.length;
}

void CBufferConduit::CloseStepFilesLocked() {
  if (step_read_ != nullptr) {
    std::fclose(step_read_);
    step_read_ = nullptr;
  }
  if (step_write_ != nullptr) {
    std::fclose(step_write_);
    step_write_ = nullptr;
  }
}

void CBufferConduit::Stop() {
  stop_.store(true, std::memory_order_release);
  data_event_.Set();
  space_event_.Set();
}

}  // namespace quornet
