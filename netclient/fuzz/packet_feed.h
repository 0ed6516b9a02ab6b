// The depacketiser fuzz targets' input: RTP packets behind 2-byte big-endian
// lengths from `pos` on. With `udp` the packets pass the sequence check
// first (duplicates and old packets dropped, gaps reported as loss); a
// packet that does not parse and begins with 0xFF resets the depacketiser.
// Aborts when the RTP parser hands out a payload outside its packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "net/rtp.h"
#include "net/video_depacketizer.h"

namespace quornet::fuzz {

inline void FeedPackets(const uint8_t* data, size_t size, size_t pos, bool udp,
                        VideoDepacketizer* depacketizer, VideoFrameSink* sink) {
  SequenceCheck sequence;
  while (pos + 2 <= size) {
    size_t len = (size_t{data[pos]} << 8) | data[pos + 1];
    pos += 2;
    if (len > size - pos) len = size - pos;
    const uint8_t* bytes = data + pos;
    pos += len;
    RtpPacket packet;
    if (!ParseRtp(bytes, len, &packet)) {
      if (len > 0 && bytes[0] == 0xFF) depacketizer->Reset();
      continue;
    }
    if (packet.payload < bytes || packet.payload + packet.payload_size > bytes + len) abort();
    bool loss = false;
    if (udp) {
      const auto verdict = sequence.Check(packet.sequence);
      if (verdict == SequenceCheck::Verdict::kDrop) continue;
      loss = verdict == SequenceCheck::Verdict::kLoss;
    }
    depacketizer->Push(packet, loss, sink);
  }
}

}  // namespace quornet::fuzz
