// H.264 over RTP (RFC 6184): single NAL unit packets (types 1-23), STAP-A
// aggregation packets (type 24, section 5.7.1; standard servers put the
// parameter sets in one) and FU-A fragments (type 28, section 5.8). Other
// packet types (STAP-B, MTAP, FU-B) are ignored.
//
// A picture handed over is one access unit: every unit of it, each behind a
// four-byte start code, however many slices the encoder cut the picture
// into. It is complete at the RTP marker bit, which the sender sets on the
// last packet of an access unit (RFC 6184 5.1). For senders that never set
// the marker, an access unit that holds a slice is also complete when the
// next one visibly begins: a packet with another RTP timestamp, an access
// unit delimiter, or a slice whose first_mb_in_slice is 0. Parameter sets
// and SEI do not end it: senders repeat the parameter sets in front of every
// IDR slice of a picture.
#include <algorithm>
#include <cstring>
#include <new>

#include "net/video_depacketizer.h"

namespace quornet {

FrameBuffer::FrameBuffer(size_t initial_capacity, size_t max_picture)
    : capacity_(std::max(initial_capacity, kRecordHeaderSize + 1)), max_picture_(max_picture) {
  block_.reset(new uint8_t[capacity_]);
}

bool FrameBuffer::Append(const void* data, size_t size) {
  if (size > max_picture_ || fill_ > max_picture_ - size) return false;
  const size_t need = kRecordHeaderSize + fill_ + size;
  if (need > capacity_) {
    // Double, so that a growing stream reallocates a few times only.
    const size_t bound = kRecordHeaderSize + max_picture_;
    const size_t grown = std::min(std::max(need, capacity_ * 2), bound);
    uint8_t* bigger = new (std::nothrow) uint8_t[grown];
    if (bigger == nullptr) return false;
    std::memcpy(bigger, block_.get(), kRecordHeaderSize + fill_);
    block_.reset(bigger);
    capacity_ = grown;
  }
  std::memcpy(block_.get() + kRecordHeaderSize + fill_, data, size);
  fill_ += size;
  return true;
}

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

bool IsSlice(int type) {
  return type >= 1 && type <= 5;
}

// first_mb_in_slice is the first field of a slice header, ue(v)-coded: 0 is
// the single bit 1. body: the bytes after the unit's header byte.
bool IsFirstSlice(int type, const uint8_t* body, size_t body_size) {
  return (type == 1 || type == 2 || type == 5) && body_size > 0 && (body[0] & 0x80) != 0;
}

// Units that only ever come first in an access unit, or in front of its
// first slice (H.264 7.4.1.2.3): delimiter, SEI, parameter sets, 14 to 18.
bool IsLeadingUnit(int type) {
  return (type >= 6 && type <= 9) || (type >= 14 && type <= 18);
}

class H264Depacketizer final : public VideoDepacketizer {
 public:
  H264Depacketizer(size_t capacity, size_t max_picture) : buffer_(capacity, max_picture) {}

  void Push(const RtpPacket& p, bool loss, VideoFrameSink* sink) override {
    if (p.payload_size < 1) return;
    // The previous packet ended an access unit, or this one is of another.
    const bool packet_boundary = p.timestamp != last_timestamp_ || last_marker_;
    last_timestamp_ = p.timestamp;
    last_marker_ = p.marker;
    if (loss) {
      // The access unit being assembled misses data; so may the one this
      // packet belongs to, unless the packet visibly begins it.
      oversized_.Finish(sink);
      DropPicture();
      skip_ = true;
      sink->OnDataLost();
    }
    const uint8_t nal = p.payload[0];
    const int packet_type = nal & 0x1F;
    int type = packet_type;
    bool unit_start = true;
    const uint8_t* body = p.payload + 1;
    size_t body_size = p.payload_size - 1;
    if (packet_type == 28) {
      if (p.payload_size < 2) return;
      const uint8_t fu = p.payload[1];
      type = fu & 0x1F;
      // A fragment carries a NAL unit type of 1..23 (RFC 6184 5.8); anything
      // else is not a NAL unit the decoder could use.
      if (type < 1 || type > 23) return;
      unit_start = (fu & 0x80) != 0;
      body = p.payload + 2;
      body_size = p.payload_size - 2;
    } else if (packet_type == 24) {
      // STAP-A: units behind 16-bit big-endian sizes. A size that runs past
      // the packet ends it; the units before it are kept.
      size_t pos = 1;
      while (pos + 2 < p.payload_size) {
        const size_t n = (size_t{p.payload[pos]} << 8) | p.payload[pos + 1];
        pos += 2;
        if (n == 0 || n > p.payload_size - pos) break;
        const uint8_t* unit = p.payload + pos;
        pos += n;
        const int unit_type = unit[0] & 0x1F;
        if (unit_type < 1 || unit_type > 23) continue;
        if (!StartUnit(unit_type, unit[0], unit + 1, n - 1, unit, n, false, packet_boundary, p,
                       sink)) {
          return;
        }
      }
      timestamp_ = p.timestamp;
      if (p.marker && have_slice_ && !in_fragment_) Complete(sink);
      return;
    } else if (packet_type < 1 || packet_type > 23) {
      return;
    }

    if (unit_start) {
      if (!StartUnit(type, nal, body, body_size, p.payload, p.payload_size, packet_type == 28,
                     packet_boundary, p, sink)) {
        return;
      }
    } else {
      // A continuation belongs to a unit whose start fragment we have:
      // without it (lost, or joined mid-unit) the bytes are useless.
      if (skip_ || !in_fragment_) return oversized_.Skipped(p, sink);
      if (!Append(body, body_size, sink)) return oversized_.EndIfMarked(p, sink);
    }
    timestamp_ = p.timestamp;
    if (packet_type == 28 && (p.payload[1] & 0x40) != 0) in_fragment_ = false;
    if (p.marker && have_slice_ && !in_fragment_) Complete(sink);
  }

  void Reset() override {
    DropPicture();
    skip_ = true;
    oversized_.Clear();
  }

 private:
  // The start of one NAL unit: a single unit (whole, whole_size) or an FU-A
  // start fragment (header byte rebuilt from nal and type, then body).
  // False when the packet is done with (skipped or overflowed).
  bool StartUnit(int type, uint8_t nal, const uint8_t* body, size_t body_size, const uint8_t* whole,
                 size_t whole_size, bool fragment, bool packet_boundary, const RtpPacket& p,
                 VideoFrameSink* sink) {
    const bool first_slice = IsFirstSlice(type, body, body_size);
    if (have_slice_ && (first_slice || type == 9 || p.timestamp != timestamp_)) Complete(sink);
    if (skip_) {
      // Resume only where an access unit surely begins: not at parameter
      // sets repeated between the slices of a picture.
      const bool begins = first_slice || type == 9 || (IsLeadingUnit(type) && packet_boundary);
      if (!begins) {
        oversized_.Skipped(p, sink);
        return false;
      }
      oversized_.Finish(sink);
      skip_ = false;
    }
    if (type == 5 && !have_slice_ && !has_sps_ && !parameter_sets_.empty()) {
      sink->OnKeyFrameStart();
      if (!Append(parameter_sets_.data(), parameter_sets_.size(), sink)) {
        oversized_.EndIfMarked(p, sink);
        return false;
      }
      has_sps_ = true;
    }
    in_fragment_ = fragment;
    if (type == 7) {
      sink->OnKeyFrameStart();
      has_sps_ = true;
    }
    if (fragment) {
      const uint8_t header = static_cast<uint8_t>((nal & 0xE0) | type);
      if (!Append(kStartCode, 4, sink) || !Append(&header, 1, sink) ||
          !Append(body, body_size, sink)) {
        oversized_.EndIfMarked(p, sink);
        return false;
      }
    } else if (!Append(kStartCode, 4, sink) || !Append(whole, whole_size, sink)) {
      oversized_.EndIfMarked(p, sink);
      return false;
    }
    if (IsSlice(type)) {
      have_slice_ = true;
      idr_ = idr_ || type == 5;
      slice_type_ = type;
    }
    return true;
  }

  void SetParameterSets(std::vector<uint8_t> annexb) override {
    parameter_sets_ = std::move(annexb);
  }

  void DropPicture() {
    buffer_.Clear();
    have_slice_ = false;
    has_sps_ = false;
    idr_ = false;
    in_fragment_ = false;
  }

  // An oversized picture is thrown away whole, and its remaining units with
  // it: skipping lasts until the next access unit begins.
  bool Append(const void* data, size_t size, VideoFrameSink* sink) {
    if (buffer_.Append(data, size)) return true;
    oversized_.Begin(buffer_.size() + size);
    DropPicture();
    skip_ = true;
    sink->OnDataLost();
    return false;
  }

  void Complete(VideoFrameSink* sink) {
    sink->OnPicture(&buffer_, idr_ ? 7 : slice_type_);
    DropPicture();
  }

  FrameBuffer buffer_;
  bool skip_ = false;                    // drop until a unit that begins an access unit
  bool in_fragment_ = false;             // between an FU-A start and end fragment
  bool have_slice_ = false;              // the access unit being assembled holds a slice
  bool has_sps_ = false;                 // ... or a sequence parameter set
  std::vector<uint8_t> parameter_sets_;  // announced out of band, Annex B
  bool idr_ = false;                     // ... and one of its slices is an IDR slice
  int slice_type_ = 0;                   // NAL type of its last slice
  uint32_t timestamp_ = 0;               // RTP timestamp of the last packet taken
  uint32_t last_timestamp_ = 0;          // of the last packet seen, taken or not
  bool last_marker_ = true;              // its marker (the first packet starts a unit)
  OversizedPicture oversized_;           // a picture above the bound being dropped
};

}  // namespace

std::unique_ptr<VideoDepacketizer> MakeH264Depacketizer(size_t buffer_capacity,
                                                        size_t max_picture) {
  return std::make_unique<H264Depacketizer>(buffer_capacity, max_picture);
}

}  // namespace quornet
