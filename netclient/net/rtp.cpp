#include "net/rtp.h"

namespace quornet {

bool ParseRtp(const uint8_t* data, size_t size, RtpPacket* out) {
  if (data == nullptr || size < 12) return false;
  if ((data[0] >> 6) != 2) return false;
  bool padding = (data[0] & 0x20) != 0;
  bool extension = (data[0] & 0x10) != 0;
  size_t csrc_count = data[0] & 0x0F;
  size_t offset = 12 + 4 * csrc_count;
  if (offset > size) return false;
  if (extension) {
    if (offset + 4 > size) return false;
    size_t words = (size_t{data[offset + 2]} << 8) | data[offset + 3];
    offset += 4 + 4 * words;
    if (offset > size) return false;
  }
  size_t end = size;
  if (padding) {
    size_t pad = data[size - 1];
    if (pad == 0 || pad > end - offset) return false;
    end -= pad;
  }
  out->marker = (data[1] & 0x80) != 0;
  out->payload_type = data[1] & 0x7F;
  out->sequence = static_cast<uint16_t>((data[2] << 8) | data[3]);
  out->timestamp =
      (uint32_t{data[4]} << 24) | (uint32_t{data[5]} << 16) | (uint32_t{data[6]} << 8) | data[7];
  out->ssrc =
      (uint32_t{data[8]} << 24) | (uint32_t{data[9]} << 16) | (uint32_t{data[10]} << 8) | data[11];
  out->payload = data + offset;
  out->payload_size = end - offset;
  return true;
}

SequenceCheck::Verdict SequenceCheck::Check(uint16_t sequence) {
  if (first_) {
    first_ = false;
    last_ = sequence;
    return Verdict::kInOrder;
  }
  uint16_t expected = static_cast<uint16_t>(last_ + 1);
  if (sequence == expected) {
    last_ = sequence;
    return Verdict::kInOrder;
  }
  uint16_t behind = static_cast<uint16_t>(last_ - sequence);
  if (behind <= kMaxMisorder) return Verdict::kDrop;
  last_ = sequence;
  return Verdict::kLoss;
}

}  // namespace quornet
