// RTP packetisation of the simulator's encoded media, without sockets:
// H.264 (RFC 6184 single NAL unit and FU-A), Motion JPEG (RFC 2435 with
// in-band quantisation tables), plain audio payloads (RFC 3551) and AAC
// (RFC 3640 AAC-hbr).
#ifndef DEVICESIM_SRC_RTP_PACKETIZER_H_
#define DEVICESIM_SRC_RTP_PACKETIZER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace devicesim {

using Bytes = std::vector<uint8_t>;

// Largest RTP payload the packetisers produce (RTP header excluded).
inline constexpr size_t kMaxPayload = 1400;

// Header state of one RTP stream (RFC 3550 5.1). Not thread-safe.
class RtpStream {
 public:
  RtpStream(uint8_t payload_type, uint32_t ssrc, uint16_t first_seq)
      : pt_(payload_type), ssrc_(ssrc), seq_(first_seq) {}
  // A packet with a 12-byte header and `payload_size` bytes left for the
  // caller to fill from index 12 on.
  Bytes Start(bool marker, uint32_t timestamp, size_t payload_size);
  uint32_t ssrc() const { return ssrc_; }
  uint16_t next_seq() const { return seq_; }

 private:
  uint8_t pt_;
  uint32_t ssrc_;
  uint16_t seq_;
};

// NAL units of an Annex B byte stream, start codes removed.
std::vector<std::string_view> SplitAnnexB(std::string_view stream);

// One access unit (its NAL units in decoding order) into packets: units up
// to kMaxPayload bytes as single NAL unit packets, larger ones as FU-A. The
// marker is set on the last packet (RFC 6184 5.1).
// With aggregate, the units in front of the first slice (parameter sets,
// SEI, delimiter) go out together as one STAP-A packet (RFC 6184 5.7.1).
void PacketizeH264(const std::vector<std::string_view>& nals, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out, bool aggregate = false);

// The same for H.265 (RFC 7798): single NAL unit packets and fragmentation
// units (type 49); with aggregate, the units in front of the first slice
// segment (parameter sets, prefix SEI, delimiter) as one aggregation packet
// (type 48). No decoding order numbers (sprop-max-don-diff 0).
void PacketizeH265(const std::vector<std::string_view>& nals, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out, bool aggregate = false);

// What RFC 2435 needs from a baseline JFIF picture.
struct JpegParts {
  int width = 0;
  int height = 0;
  uint8_t type = 1;       // 0 = 4:2:2 (Y 2x1), 1 = 4:2:0 (Y 2x2)
  uint8_t tables[128];    // luminance then chrominance table, zig-zag order
  std::string_view scan;  // entropy-coded data between SOS and EOI
};

// Parses a JFIF picture as written by libavcodec's mjpeg encoder: 8-bit
// tables, three components, no restart interval. nullopt otherwise.
std::optional<JpegParts> ParseJpeg(std::string_view jfif);

// One picture into RFC 2435 packets with Q = 255 and the tables in the first
// packet (3.1.8). Width and height must be multiples of 8 up to 2040.
void PacketizeJpeg(const JpegParts& jpeg, uint32_t timestamp, RtpStream* rtp,
                   std::vector<Bytes>* out);

// RTP payload for one AAC access unit: a 16-bit AU-headers-length of 16 and
// one AU-header with a 13-bit size and a 3-bit index of 0 (RFC 3640 3.2.1).
// Empty when the unit does not fit in 13 bits.
Bytes AacPayload(std::string_view access_unit);

}  // namespace devicesim

#endif  // DEVICESIM_SRC_RTP_PACKETIZER_H_
