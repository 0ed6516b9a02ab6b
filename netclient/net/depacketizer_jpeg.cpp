// JPEG over RTP (RFC 2435). Each packet carries the 8-byte main JPEG header
// (type-specific, 24-bit fragment offset, type, Q, width/8, height/8), a
// restart marker header for types 64..127, and in the first packet of a
// picture with Q >= 128 the quantisation table header and tables. The
// receiver rebuilds a JFIF picture: headers made from these values, then the
// scan data of every fragment, then EOI. The picture is complete at the RTP
// marker bit.
#include "net/depacketizer_jpeg.h"

#include <cstring>

#include "net/video_depacketizer.h"

namespace quornet {
namespace {

// Tables of ITU-T T.81 K.1 in natural order, as RFC 2435 Appendix A uses them.
constexpr uint8_t kLumaQuant[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                    58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                    22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                    77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                    103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
constexpr uint8_t kChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural index of each zigzag position.
constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// ITU-T T.81 K.3 standard Huffman tables: 16 code-length counts, then values.
constexpr uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

void Put(std::vector<uint8_t>& v, std::initializer_list<uint8_t> bytes) {
  v.insert(v.end(), bytes);
}
void Put16(std::vector<uint8_t>& v, int value) {
  v.push_back(static_cast<uint8_t>(value >> 8));
  v.push_back(static_cast<uint8_t>(value));
}
void PutHuffman(std::vector<uint8_t>& v, uint8_t class_id, const uint8_t bits[16],
                const uint8_t* values, size_t count) {
  Put(v, {0xFF, 0xC4});
  Put16(v, static_cast<int>(3 + 16 + count));
  v.push_back(class_id);
  v.insert(v.end(), bits, bits + 16);
  v.insert(v.end(), values, values + count);
}

}  // namespace

void MakeJpegQuantTables(int q, uint8_t luma[64], uint8_t chroma[64]) {
  int factor = q < 1 ? 1 : (q > 99 ? 99 : q);
  int scale = factor < 50 ? 5000 / factor : 200 - factor * 2;
  for (int i = 0; i < 64; ++i) {
    int lq = (kLumaQuant[kZigzag[i]] * scale + 50) / 100;
    int cq = (kChromaQuant[kZigzag[i]] * scale + 50) / 100;
    luma[i] = static_cast<uint8_t>(lq < 1 ? 1 : (lq > 255 ? 255 : lq));
    chroma[i] = static_cast<uint8_t>(cq < 1 ? 1 : (cq > 255 ? 255 : cq));
  }
}

int JpegWidthFromByte(uint8_t width_byte) {
  if (width_byte == 0) return 2048;
  if (width_byte == 64) return 2560;
  return width_byte * 8;
}

int JpegHeightFromByte(uint8_t height_byte) {
  // A height byte of 0 cannot be a picture; RFC 2435 allows up to 2040.
  return height_byte == 0 ? 2048 : height_byte * 8;
}

std::vector<uint8_t> BuildJpegHeader(int type, uint8_t width_byte, uint8_t height_byte,
                                     const uint8_t luma[64], const uint8_t chroma[64],
                                     uint16_t restart_interval) {
  std::vector<uint8_t> h;
  h.reserve(700);
  Put(h, {0xFF, 0xD8});
  Put(h, {0xFF, 0xDB, 0x00, 0x43, 0x00});
  h.insert(h.end(), luma, luma + 64);
  Put(h, {0xFF, 0xDB, 0x00, 0x43, 0x01});
  h.insert(h.end(), chroma, chroma + 64);
  if (restart_interval != 0) {
    Put(h, {0xFF, 0xDD, 0x00, 0x04});
    Put16(h, restart_interval);
  }
  Put(h, {0xFF, 0xC0, 0x00, 0x11, 0x08});
  Put16(h, JpegHeightFromByte(height_byte));
  Put16(h, JpegWidthFromByte(width_byte));
  h.push_back(0x03);
  // Type 0 (and 64, its restart-marker variant) is 4:2:2, type 1 is 4:2:0.
  Put(h, {0x00, static_cast<uint8_t>((type & 63) == 0 ? 0x21 : 0x22), 0x00});
  Put(h, {0x01, 0x11, 0x01});
  Put(h, {0x02, 0x11, 0x01});
  PutHuffman(h, 0x00, kDcLumaBits, kDcValues, sizeof kDcValues);
  PutHuffman(h, 0x10, kAcLumaBits, kAcLumaValues, sizeof kAcLumaValues);
  PutHuffman(h, 0x01, kDcChromaBits, kDcValues, sizeof kDcValues);
  PutHuffman(h, 0x11, kAcChromaBits, kAcChromaValues, sizeof kAcChromaValues);
  Put(h, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00});
  return h;
}

namespace {

class JpegDepacketizer final : public VideoDepacketizer {
 public:
  JpegDepacketizer(size_t capacity, size_t max_picture) : buffer_(capacity, max_picture) {}

  void Push(const RtpPacket& p, bool loss, VideoFrameSink* sink) override {
    if (loss) Drop(sink);
    const uint8_t* d = p.payload;
    const size_t n = p.payload_size;
    if (n < 8) return;
    const uint32_t offset = (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
    const uint8_t type = d[4];
    const uint8_t q = d[5];
    const uint8_t width_byte = d[6];
    const uint8_t height_byte = d[7];
    size_t pos = 8;
    uint16_t restart_interval = 0;
    if (type >= 64) {
      if (n < pos + 4) return;
      restart_interval = static_cast<uint16_t>((d[8] << 8) | d[9]);
      pos += 4;
    }
    if (offset == 0) {
      uint8_t luma[64], chroma[64];
      if (q >= 128) {
        // Quantisation table header: MBZ, precision, 16-bit length, tables.
        if (n < pos + 4) return Drop(sink);
        const uint8_t precision = d[pos + 1];
        const size_t length = (size_t{d[pos + 2]} << 8) | d[pos + 3];
        pos += 4;
        if (n < pos + length) return Drop(sink);
        if (length == 0 && q == 255 && have_tables_) {
          // Tables unchanged since the last picture (RFC 2435 3.1.8).
          std::memcpy(luma, luma_, 64);
          std::memcpy(chroma, chroma_, 64);
        } else if (precision == 0 && length >= 128) {
          std::memcpy(luma, d + pos, 64);
          std::memcpy(chroma, d + pos + 64, 64);
        } else {
          // 16-bit tables do not fit a baseline DQT of 8-bit entries.
          return Drop(sink);
        }
        pos += length;
        std::memcpy(luma_, luma, 64);
        std::memcpy(chroma_, chroma, 64);
        have_tables_ = true;
      } else {
        MakeJpegQuantTables(q, luma, chroma);
      }
      buffer_.Clear();
      std::vector<uint8_t> header =
          BuildJpegHeader(type, width_byte, height_byte, luma, chroma, restart_interval);
      if (!buffer_.Append(header.data(), header.size())) return Drop(sink);
      header_size_ = header.size();
      expected_offset_ = 0;
      assembling_ = true;
    } else if (!assembling_ || offset != expected_offset_) {
      // A fragment is missing: the picture cannot be rebuilt.
      return Drop(sink);
    }
    const size_t data = n - pos;
    if (!buffer_.Append(d + pos, data)) {
      // Above the bound: the rest of this picture no longer matches the
      // expected offset and is dropped with it.
      sink->OnPictureTooLarge(buffer_.size() + data);
      return Drop(sink);
    }
    expected_offset_ += static_cast<uint32_t>(data);
    if (p.marker) {
      const uint8_t* pic = buffer_.picture();
      const size_t size = buffer_.size();
      bool has_eoi = size >= header_size_ + 2 && pic[size - 2] == 0xFF && pic[size - 1] == 0xD9;
      static constexpr uint8_t kEoi[2] = {0xFF, 0xD9};
      if (!has_eoi && !buffer_.Append(kEoi, 2)) {
        sink->OnPictureTooLarge(size + 2);
        return Drop(sink);
      }
      sink->OnKeyFrameStart();
      sink->OnPicture(&buffer_, 0);
      buffer_.Clear();
      assembling_ = false;
    }
  }

  void Reset() override {
    buffer_.Clear();
    assembling_ = false;
  }

 private:
  void Drop(VideoFrameSink* sink) {
    if (assembling_) sink->OnDataLost();
    Reset();
  }

  FrameBuffer buffer_;
  bool assembling_ = false;  // a picture with offset 0 was started
  uint32_t expected_offset_ = 0;
  size_t header_size_ = 0;
  bool have_tables_ = false;
  uint8_t luma_[64] = {};
  uint8_t chroma_[64] = {};
};

}  // namespace

std::unique_ptr<VideoDepacketizer> MakeJpegDepacketizer(size_t buffer_capacity,
                                                        size_t max_picture) {
  return std::make_unique<JpegDepacketizer>(buffer_capacity, max_picture);
}

}  // namespace quornet
