// Rebuilds whole encoded pictures from RTP payloads. One implementation per
// payload format (depacketizer_h264, depacketizer_jpeg); the receivers pick
// one by the video payload code of the stream description.
//
// Not thread-safe: one receiving thread owns a depacketiser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/rtp.h"

namespace quornet {

// The picture is assembled behind kRecordHeaderSize reserved bytes, so that
// the recorder can write its frame header and the picture as one block.
class FrameBuffer {
 public:
  static constexpr size_t kRecordHeaderSize = 12;

  // capacity: total block size including the reserved header bytes.
  explicit FrameBuffer(size_t capacity) : block_(capacity) {}

  // Appends; false (and nothing appended) when the picture would reach the
  // capacity. The caller throws the picture away then.
  bool Append(const void* data, size_t size);
  void Clear() { fill_ = 0; }

  size_t size() const { return fill_; }
  uint8_t* picture() { return block_.data() + kRecordHeaderSize; }
  // Header bytes followed by the picture.
  uint8_t* block() { return block_.data(); }
  size_t capacity() const { return block_.size(); }

 private:
  std::vector<uint8_t> block_;
  size_t fill_ = 0;  // picture bytes after the header reserve
};

// Receives what a depacketiser produces.
class VideoFrameSink {
 public:
  virtual ~VideoFrameSink() = default;
  // A key frame starts: an H.264 SPS arrived, or a JPEG picture is complete.
  virtual void OnKeyFrameStart() = 0;
  // Data was lost (a sequence gap, a broken fragment chain, an oversized
  // picture): pictures that follow may reference what is missing.
  virtual void OnDataLost() = 0;
  // A complete picture. frame_type: the NAL type of its last unit with 5
  // (IDR) reported as 7, or 0 for JPEG. The picture starts at
  // buffer->picture() and is buffer->size() bytes long.
  virtual void OnPicture(FrameBuffer* buffer, int frame_type) = 0;
};

class VideoDepacketizer {
 public:
  virtual ~VideoDepacketizer() = default;
  // One RTP packet. loss: a sequence gap came before it (always false over
  // the interleaved TCP transport).
  virtual void Push(const RtpPacket& packet, bool loss, VideoFrameSink* sink) = 0;
  // Drops any partly assembled picture (e.g. RTSP text in the TCP stream).
  virtual void Reset() = 0;
};

std::unique_ptr<VideoDepacketizer> MakeH264Depacketizer(size_t buffer_capacity);
std::unique_ptr<VideoDepacketizer> MakeJpegDepacketizer(size_t buffer_capacity);

}  // namespace quornet
