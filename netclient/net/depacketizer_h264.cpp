// H.264 over RTP (RFC 6184): single NAL unit packets (types 1-23) and FU-A
// fragments (type 28, section 5.8). Other packet types, STAP-A included, are
// not sent by the devices and are ignored.
//
// A picture is complete at a slice NAL unit (types 1 and 5) or at the end
// fragment of an FU-A; parameter sets and SEI sent before the slice are
// gathered into the same picture, each unit with a four-byte start code.
#include <cstring>

#include "net/video_depacketizer.h"

namespace quornet {

bool FrameBuffer::Append(const void* data, size_t size) {
  if (size >= block_.size() || fill_ + kRecordHeaderSize + size >= block_.size()) return false;
  std::memcpy(block_.data() + kRecordHeaderSize + fill_, data, size);
  fill_ += size;
  return true;
}

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

class H264Depacketizer final : public VideoDepacketizer {
 public:
  explicit H264Depacketizer(size_t capacity) : buffer_(capacity) {}

  void Push(const RtpPacket& p, bool loss, VideoFrameSink* sink) override {
    if (p.payload_size < 1) return;
    if (loss) {
      // Whatever was being assembled misses data.
      buffer_.Clear();
      discard_ = true;
      sink->OnDataLost();
    }
    const uint8_t nal = p.payload[0];
    const int type = nal & 0x1F;
    if (type >= 1 && type <= 23) {
      if (discard_) buffer_.Clear();
      discard_ = false;
      in_fragment_ = false;
      if (type == 7) sink->OnKeyFrameStart();
      if (!Append(kStartCode, 4, sink) || !Append(p.payload, p.payload_size, sink)) return;
      nal_type_ = type;
      if (type == 1 || type == 5) Complete(sink);
    } else if (type == 28) {
      if (p.payload_size < 2) return;
      const uint8_t fu = p.payload[1];
      // A fragment carries a NAL unit type of 1..23 (RFC 6184 5.8); anything
      // else is not a NAL unit the decoder could use.
      const int fu_type = fu & 0x1F;
      if (fu_type < 1 || fu_type > 23) return;
      if (fu & 0x80) {
        if (discard_) buffer_.Clear();
        discard_ = false;
        in_fragment_ = true;
        const uint8_t header = static_cast<uint8_t>((nal & 0xE0) | (fu & 0x1F));
        if (!Append(kStartCode, 4, sink) || !Append(&header, 1, sink)) return;
      } else if (discard_ || !in_fragment_) {
        // A continuation belongs to a unit whose start fragment we have:
        // without it (lost, or joined mid-unit) the bytes are useless.
        return;
      }
      if (!Append(p.payload + 2, p.payload_size - 2, sink)) return;
      nal_type_ = fu & 0x1F;
      if (fu & 0x40) {
        in_fragment_ = false;
        Complete(sink);
      }
    }
  }

  void Reset() override {
    buffer_.Clear();
    discard_ = true;
    in_fragment_ = false;
  }

 private:
  // An oversized picture is thrown away whole, and its remaining fragments
  // with it.
  bool Append(const void* data, size_t size, VideoFrameSink* sink) {
    if (buffer_.Append(data, size)) return true;
    buffer_.Clear();
    discard_ = true;
    in_fragment_ = false;
    sink->OnDataLost();
    return false;
  }

  void Complete(VideoFrameSink* sink) {
    sink->OnPicture(&buffer_, nal_type_ == 5 ? 7 : nal_type_);
    buffer_.Clear();
  }

  FrameBuffer buffer_;
  bool discard_ = false;      // drop until the next unit or start fragment
  bool in_fragment_ = false;  // between an FU-A start and end fragment
  int nal_type_ = 0;
};

}  // namespace

std::unique_ptr<VideoDepacketizer> MakeH264Depacketizer(size_t buffer_capacity) {
  return std::make_unique<H264Depacketizer>(buffer_capacity);
}

}  // namespace quornet
