// Rebuilds whole encoded pictures from RTP payloads. One implementation per
// payload format (depacketizer_h264, depacketizer_jpeg); the receivers pick
// one by the video codec code of the stream description.
//
// Not thread-safe: one receiving thread owns a depacketiser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/rtp.h"
#include "net/video_picture.h"

namespace quornet {

// The picture is assembled behind kRecordHeaderSize reserved bytes, so that
// the recorder can write its frame header and the picture as one block.
//
// The block starts at its initial capacity and grows by doubling when a
// picture needs more, up to max_picture picture bytes: a stream of large
// pictures makes it grow a few times, never once per packet, and a stream of
// giant fragments can never make it larger than the bound. It keeps its size
// once grown.
class FrameBuffer {
 public:
  static constexpr size_t kRecordHeaderSize = 12;

  // initial_capacity: first block size including the reserved header bytes.
  explicit FrameBuffer(size_t initial_capacity, size_t max_picture = kMaxVideoPictureSize);

  // Appends; false (and nothing appended) when the picture would exceed
  // max_picture bytes or the block could not grow. The caller throws the
  // picture away then.
  bool Append(const void* data, size_t size);
  void Clear() { fill_ = 0; }

  size_t size() const { return fill_; }
  uint8_t* picture() { return block_.get() + kRecordHeaderSize; }
  // Header bytes followed by the picture.
  uint8_t* block() { return block_.get(); }
  size_t capacity() const { return capacity_; }
  size_t max_picture() const { return max_picture_; }

 private:
  std::unique_ptr<uint8_t[]> block_;
  size_t capacity_ = 0;  // bytes of block_
  size_t max_picture_;
  size_t fill_ = 0;  // picture bytes after the header reserve
};

// Receives what a depacketiser produces.
class VideoFrameSink {
 public:
  virtual ~VideoFrameSink() = default;
  // A key frame starts: an H.264 or H.265 SPS arrived, or a JPEG picture is
  // complete.
  virtual void OnKeyFrameStart() = 0;
  // Data was lost (a sequence gap, a broken fragment chain, an oversized
  // picture): pictures that follow may reference what is missing.
  virtual void OnDataLost() = 0;
  // A picture above the buffer's bound was dropped; size: its bytes as far
  // as they were received (at least the bound).
  virtual void OnPictureTooLarge(size_t size) { (void)size; }
  // A complete picture. frame_type: H.264 7 when it holds an IDR slice, else
  // the NAL type of its last slice; H.265 7 for an IRAP picture, else 1; 0
  // for JPEG. The picture starts at
  // buffer->picture() and is buffer->size() bytes long.
  virtual void OnPicture(FrameBuffer* buffer, int frame_type) = 0;
};

// A picture being dropped for exceeding the frame buffer's bound: its size
// counts on through the packets skipped after it and is reported once, when
// the picture ends (its marker) or the next one begins. Shared by the
// depacketisers that assemble pictures from many packets.
class OversizedPicture {
 public:
  // The picture held `bytes` when the next piece no longer fitted.
  void Begin(size_t bytes) { bytes_ = bytes; }
  void Clear() { bytes_ = 0; }
  // A packet dropped while skipping; its marker ends the picture.
  void Skipped(const RtpPacket& p, VideoFrameSink* sink) {
    if (bytes_ == 0) return;
    bytes_ += p.payload_size + 4;
    if (p.marker) Finish(sink);
  }
  // The packet that overflowed the buffer may be the picture's last.
  void EndIfMarked(const RtpPacket& p, VideoFrameSink* sink) {
    if (p.marker) Finish(sink);
  }
  void Finish(VideoFrameSink* sink) {
    if (bytes_ == 0) return;
    sink->OnPictureTooLarge(bytes_);
    bytes_ = 0;
  }

 private:
  size_t bytes_ = 0;
};

class VideoDepacketizer {
 public:
  virtual ~VideoDepacketizer() = default;
  // One RTP packet. loss: a sequence gap came before it (always false over
  // the interleaved TCP transport).
  virtual void Push(const RtpPacket& packet, bool loss, VideoFrameSink* sink) = 0;
  // Drops any partly assembled picture (e.g. RTSP text in the TCP stream).
  virtual void Reset() = 0;
  // H.264: parameter sets the stream description announced (Annex B, each
  // behind a start code). They go in front of an IDR picture that does not
  // bring its own, as standard servers send them out of band only.
  virtual void SetParameterSets(std::vector<uint8_t> annexb) { (void)annexb; }
};

// buffer_capacity: the frame buffer's first size (header reserve included);
// max_picture: the largest picture assembled.
std::unique_ptr<VideoDepacketizer> MakeH264Depacketizer(size_t buffer_capacity,
                                                        size_t max_picture = kMaxVideoPictureSize);
// donl: the stream carries decoding order numbers (sprop-max-don-diff > 0).
std::unique_ptr<VideoDepacketizer> MakeH265Depacketizer(size_t buffer_capacity, bool donl = false,
                                                        size_t max_picture = kMaxVideoPictureSize);
std::unique_ptr<VideoDepacketizer> MakeJpegDepacketizer(size_t buffer_capacity,
                                                        size_t max_picture = kMaxVideoPictureSize);

}  // namespace quornet
