#include "media/alarm_record_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "qrplat/thread.h"

namespace quornet {
namespace {

long DefaultWrite(void*, int fd, const void* data, size_t len, uint64_t offset) {
  return static_cast<long>(pwrite(fd, data, len, static_cast<off_t>(offset)));
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

CAlarmRecordFile::~CAlarmRecordFile() {
  Close();
}

bool CAlarmRecordFile::Open(FILE* file, AlarmWriteFn write_fn, void* write_ctx) {
  Close();
  if (file == nullptr) return false;
  try {
    buffer_.assign(kBufferSize, 0);
  } catch (const std::bad_alloc&) {
    std::fclose(file);
    return false;
  }
  file_ = file;
  fd_ = fileno(file);
  write_fn_ = write_fn ? write_fn : DefaultWrite;
  write_ctx_ = write_ctx;
  fill_ = 0;
  flushed_ = 0;
  durable_end_ = 0;
  pending_ends_.clear();
  index_.clear();
  failed_ = false;
  return true;
}

bool CAlarmRecordFile::WriteAt(const void* data, size_t size, uint64_t offset, size_t* written) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    const long n = write_fn_(write_ctx_, fd_, p + done, size - done, offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  *written = done;
  return done == size;
}

void CAlarmRecordFile::CutBack(uint64_t on_disk) {
  uint64_t durable = durable_end_;
  for (uint64_t end : pending_ends_) {
    if (end <= on_disk) durable = end;
  }
  if (ftruncate(fd_, static_cast<off_t>(durable)) != 0) {
    qrplat::DebugOutput("alarm record: cannot cut the file back (errno %d)\n", errno);
  }
  flushed_ = durable;
  durable_end_ = durable;
  fill_ = 0;
  pending_ends_.clear();
  while (!index_.empty() && index_.back().offset >= durable) index_.pop_back();
}

bool CAlarmRecordFile::Flush() {
  if (fill_ == 0) return true;
  size_t written = 0;
  if (!WriteAt(buffer_.data(), fill_, flushed_, &written)) {
    qrplat::DebugOutput(
        "alarm record: write failed at %llu (errno %d); file kept up to its last "
        "whole record\n",
        static_cast<unsigned long long>(flushed_ + written), errno);
    CutBack(flushed_ + written);
    failed_ = true;
    return false;
  }
  flushed_ += fill_;
  fill_ = 0;
  while (!pending_ends_.empty() && pending_ends_.front() <= flushed_) {
    durable_end_ = pending_ends_.front();
    pending_ends_.pop_front();
  }
  return true;
}

bool CAlarmRecordFile::Append(const uint8_t* data, size_t size) {
  while (size > 0) {
    const size_t n = std::min(size, buffer_.size() - fill_);
    std::memcpy(buffer_.data() + fill_, data, n);
    fill_ += n;
    data += n;
    size -= n;
    if (fill_ == buffer_.size() && !Flush()) return false;
  }
  return true;
}

bool CAlarmRecordFile::WriteHeader(const AlarmStreamHeader& h) {
  if (file_ == nullptr || failed_) return false;
  uint8_t head[kAlarmHeaderEnd] = {};
  std::memcpy(head, kAlarmSignature, kAlarmSignatureSize);
  uint8_t* s = head + kAlarmSignatureSize;
  s[0] = h.video_payload;
  s[1] = h.audio_code;
  s[2] = static_cast<uint8_t>(h.width);
  s[3] = static_cast<uint8_t>(h.width >> 8);
  s[4] = static_cast<uint8_t>(h.height);
  s[5] = static_cast<uint8_t>(h.height >> 8);
  s[6] = h.server_kind;
  s[27] = h.frame_rate;
  pending_ends_.push_back(flushed_ + fill_ + sizeof head);
  return Append(head, sizeof head);
}

bool CAlarmRecordFile::WriteRecord(const uint8_t* frame_header, const uint8_t* payload, size_t size,
                                   uint32_t tick, bool key) {
  if (file_ == nullptr || failed_) return false;
  const uint64_t at = flushed_ + fill_;
  try {
    if (key) index_.push_back({at, tick});
    pending_ends_.push_back(at + 12 + size);
  } catch (const std::bad_alloc&) {
    if (key && !index_.empty() && index_.back().offset == at) index_.pop_back();
    return true;  // the record is left out; the file stays consistent
  }
  return Append(frame_header, 12) && Append(payload, size);
}

bool CAlarmRecordFile::WriteIndexAt(uint64_t at) {
  std::vector<uint8_t> t(10 + kAlarmIndexEntrySize * index_.size() + 4 + 8, 0);
  std::memcpy(t.data(), "BEGININDEX", 10);
  uint8_t* p = t.data() + 10;
  for (const Entry& e : index_) {
    PutU32(p, static_cast<uint32_t>(e.offset));
    PutU32(p + 4, static_cast<uint32_t>(e.offset >> 32));
    PutU32(p + 8, e.tick);
    p += kAlarmIndexEntrySize;
  }
  PutU32(p, static_cast<uint32_t>(index_.size()));
  std::memcpy(p + 4, "ENDINDEX", 8);
  size_t written = 0;
  if (WriteAt(t.data(), t.size(), at, &written)) return true;
  const int error = errno;
  if (ftruncate(fd_, static_cast<off_t>(at)) != 0) {
    qrplat::DebugOutput("alarm record: cannot cut the file back (errno %d)\n", errno);
  }
  errno = error;
  return false;
}

CAlarmRecordFile::CloseResult CAlarmRecordFile::Close() {
  CloseResult result;
  if (file_ == nullptr) return result;
  Flush();
  // Without room for the index, trailing records give way to it: each step
  // drops everything from the last indexed key frame on.
  uint64_t at = durable_end_;
  while (!WriteIndexAt(at)) {
    failed_ = true;
    // Only a lack of space is cured by giving room back.
    if (errno != ENOSPC && errno != EFBIG && errno != EDQUOT) break;
    if (index_.empty()) break;
    at = index_.back().offset;
    index_.pop_back();
    if (ftruncate(fd_, static_cast<off_t>(at)) != 0) break;
  }
  result.write_failed = failed_;
  result.index_entries = index_.size();
  std::fclose(file_);
  file_ = nullptr;
  fd_ = -1;
  buffer_.clear();
  buffer_.shrink_to_fit();
  index_.clear();
  pending_ends_.clear();
  return result;
}

}  // namespace quornet
