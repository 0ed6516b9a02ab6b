// RTP fixed header (RFC 3550 section 5.1) and the receive-side sequence check.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornet {

struct RtpPacket {
  bool marker = false;
  uint8_t payload_type = 0;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  const uint8_t* payload = nullptr;  // points into the parsed datagram
  size_t payload_size = 0;
};

// Parses version 2 packets, skipping CSRCs and a header extension and
// removing padding (RFC 3550 5.1, 5.3.1). False for anything that does not
// hold together: wrong version, CSRC list, extension or padding running past
// the datagram.
bool ParseRtp(const uint8_t* data, size_t size, RtpPacket* out);

// Sequence check of the UDP receivers, in 16-bit arithmetic.
//
// In order: accepted. A packet up to kMaxMisorder behind the last accepted
// one is late or a duplicate: dropped, the last number unchanged. Anything
// else (a gap ahead, or a jump so far that the sender must have restarted) is
// accepted with the loss flag, and becomes the new last number.
class SequenceCheck {
 public:
  enum class Verdict { kInOrder, kLoss, kDrop };
  static constexpr uint16_t kMaxMisorder = 3000;

  Verdict Check(uint16_t sequence);
  void Reset() { first_ = true; }

 private:
  bool first_ = true;
  uint16_t last_ = 0;
};

}  // namespace quornet
