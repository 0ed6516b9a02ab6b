// H.265 over RTP (RFC 7798): single NAL unit packets (types 0-47),
// aggregation packets (type 48, section 4.4.2) and fragmentation units
// (type 49, section 4.4.3). PACI packets (type 50) and anything above are
// ignored. Every packet starts with the two-byte payload header, laid out
// like a NAL unit header: F, type (6 bits), layer id (6 bits), TID (3 bits).
//
// When the description's sprop-max-don-diff is above 0, every unit carries
// its decoding order number: a 16-bit DONL in front of a single unit, of the
// first unit of an aggregation packet and of a start fragment, an 8-bit DOND
// in front of every further aggregated unit. The numbers are read past, and
// the units are taken in transmission order: a camera sends one stream in
// decoding order, interleaving is for senders that spread a stream over
// several sessions.
//
// A picture handed over is one access unit, each unit behind a four-byte
// start code, complete at the RTP marker (RFC 7798 4.1) or, for senders
// without it, when the next one visibly begins: another RTP timestamp, an
// access unit delimiter, or a slice segment whose
// first_slice_segment_in_pic_flag is set. Frame type: 7 when a slice segment
// of the picture belongs to an IRAP picture (BLA, IDR, CRA), else 1.
#include <algorithm>

#include "net/video_depacketizer.h"

namespace quornet {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr int kAggregation = 48;
constexpr int kFragment = 49;

int UnitType(const uint8_t* header) {
  return (header[0] >> 1) & 0x3F;
}

bool IsSlice(int type) {
  return type >= 0 && type <= 31;
}

bool IsIrap(int type) {
  return type >= 16 && type <= 23;
}

// first_slice_segment_in_pic_flag is the first bit of the slice segment
// header. body: the bytes after the unit's two header bytes.
bool IsFirstSlice(int type, const uint8_t* body, size_t body_size) {
  return IsSlice(type) && body_size > 0 && (body[0] & 0x80) != 0;
}

// Units that come only in front of the first slice segment of an access
// unit (H.265 7.4.2.4.4): parameter sets, delimiter, prefix SEI, 41 to 44.
bool IsLeadingUnit(int type) {
  return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44);
}

class H265Depacketizer final : public VideoDepacketizer {
 public:
  H265Depacketizer(size_t capacity, bool donl, size_t max_picture)
      : buffer_(capacity, max_picture), donl_(donl) {}

  void Push(const RtpPacket& p, bool loss, VideoFrameSink* sink) override {
    if (p.payload_size < 3) return;
    const bool packet_boundary = p.timestamp != last_timestamp_ || last_marker_;
    last_timestamp_ = p.timestamp;
    last_marker_ = p.marker;
    if (loss) {
      oversized_.Finish(sink);
      DropPicture();
      skip_ = true;
      sink->OnDataLost();
    }
    // A set forbidden bit or TID 0 is not a unit a decoder may see.
    if ((p.payload[0] & 0x80) != 0 || (p.payload[1] & 0x07) == 0) return;
    const int packet_type = UnitType(p.payload);
    if (packet_type == kAggregation) return PushAggregation(p, packet_boundary, sink);
    if (packet_type == kFragment) return PushFragment(p, packet_boundary, sink);
    if (packet_type > kAggregation) return;

    // A single unit: its header is the payload header.
    const size_t skip = donl_ ? 2 : 0;
    if (p.payload_size < 2 + skip + 1) return;
    const uint8_t* body = p.payload + 2 + skip;
    const size_t body_size = p.payload_size - 2 - skip;
    if (!StartUnit(packet_type, p.payload, body, body_size, false, packet_boundary, p, sink))
      return;
    timestamp_ = p.timestamp;
    if (p.marker && have_slice_ && !in_fragment_) Complete(sink);
  }

  void Reset() override {
    DropPicture();
    skip_ = true;
    oversized_.Clear();
  }

 private:
  // Units behind 16-bit big-endian sizes, each preceded by its DONL (the
  // first) or DOND (the others) when decoding order numbers are on. A size
  // that runs past the packet ends it; the units before it are kept.
  void PushAggregation(const RtpPacket& p, bool packet_boundary, VideoFrameSink* sink) {
    size_t pos = 2;
    bool first = true;
    for (;;) {
      if (donl_) pos += first ? 2 : 1;
      first = false;
      if (pos + 2 > p.payload_size) break;
      const size_t n = (size_t{p.payload[pos]} << 8) | p.payload[pos + 1];
      pos += 2;
      if (n < 2 || n > p.payload_size - pos) break;
      const uint8_t* unit = p.payload + pos;
      pos += n;
      const int type = UnitType(unit);
      if ((unit[0] & 0x80) != 0 || type >= kAggregation) continue;
      if (!StartUnit(type, unit, unit + 2, n - 2, false, packet_boundary, p, sink)) return;
    }
    timestamp_ = p.timestamp;
    if (p.marker && have_slice_ && !in_fragment_) Complete(sink);
  }

  // FU header: S, E, the unit's type. The start fragment carries the DONL.
  void PushFragment(const RtpPacket& p, bool packet_boundary, VideoFrameSink* sink) {
    const uint8_t fu = p.payload[2];
    const int type = fu & 0x3F;
    const bool start = (fu & 0x80) != 0;
    const bool end = (fu & 0x40) != 0;
    if (type >= kAggregation) return;
    if (start) {
      const size_t skip = donl_ ? 2 : 0;
      if (p.payload_size < 3 + skip) return;
      // The unit's header: the payload header with the fragment's type.
      const uint8_t header[2] = {static_cast<uint8_t>((p.payload[0] & 0x81) | (type << 1)),
                                 p.payload[1]};
      if (!StartUnit(type, header, p.payload + 3 + skip, p.payload_size - 3 - skip, true,
                     packet_boundary, p, sink)) {
        return;
      }
    } else {
      // A continuation belongs to a unit whose start fragment we have:
      // without it (lost, or joined mid-unit) the bytes are useless.
      if (skip_ || !in_fragment_ || type != fragment_type_) return oversized_.Skipped(p, sink);
      if (!Append(p.payload + 3, p.payload_size - 3, sink)) return oversized_.EndIfMarked(p, sink);
    }
    timestamp_ = p.timestamp;
    if (end) in_fragment_ = false;
    if (p.marker && have_slice_ && !in_fragment_) Complete(sink);
  }

  // The start of one unit: its two header bytes, then body. fragment: more
  // of it follows in fragmentation units. False when the packet is done
  // with (skipped or overflowed).
  bool StartUnit(int type, const uint8_t* header, const uint8_t* body, size_t body_size,
                 bool fragment, bool packet_boundary, const RtpPacket& p, VideoFrameSink* sink) {
    if (in_fragment_) {
      // The previous unit's end fragment never came: the picture is damaged.
      DropPicture();
      skip_ = true;
      sink->OnDataLost();
    }
    const bool first_slice = IsFirstSlice(type, body, body_size);
    if (have_slice_ && (first_slice || type == 35 || p.timestamp != timestamp_)) Complete(sink);
    if (skip_) {
      const bool begins = first_slice || type == 35 || (IsLeadingUnit(type) && packet_boundary);
      if (!begins) {
        oversized_.Skipped(p, sink);
        return false;
      }
      oversized_.Finish(sink);
      skip_ = false;
    }
    in_fragment_ = fragment;
    fragment_type_ = type;
    if (type == 33) sink->OnKeyFrameStart();
    if (!Append(kStartCode, 4, sink) || !Append(header, 2, sink) ||
        !Append(body, body_size, sink)) {
      oversized_.EndIfMarked(p, sink);
      return false;
    }
    if (IsSlice(type)) {
      have_slice_ = true;
      irap_ = irap_ || IsIrap(type);
    }
    return true;
  }

  void DropPicture() {
    buffer_.Clear();
    have_slice_ = false;
    irap_ = false;
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
    sink->OnPicture(&buffer_, irap_ ? 7 : 1);
    DropPicture();
  }

  FrameBuffer buffer_;
  const bool donl_;              // units carry decoding order numbers
  bool skip_ = false;            // drop until a unit that begins an access unit
  bool in_fragment_ = false;     // between a start and an end fragment
  int fragment_type_ = -1;       // type of the fragmented unit
  bool have_slice_ = false;      // the access unit being assembled holds a slice segment
  bool irap_ = false;            // ... and one of them belongs to an IRAP picture
  uint32_t timestamp_ = 0;       // RTP timestamp of the last packet taken
  uint32_t last_timestamp_ = 0;  // of the last packet seen, taken or not
  bool last_marker_ = true;      // its marker (the first packet starts a unit)
  OversizedPicture oversized_;   // a picture above the bound being dropped
};

}  // namespace

std::unique_ptr<VideoDepacketizer> MakeH265Depacketizer(size_t buffer_capacity, bool donl,
                                                        size_t max_picture) {
  return std::make_unique<H265Depacketizer>(buffer_capacity, donl, max_picture);
}

}  // namespace quornet
