// RTP packetisation and the frame-number block code.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "devicesim/frame_code.h"
#include "rtp_packetizer.h"
#include "test_pattern.h"

namespace devicesim {
namespace {

uint16_t Seq(const Bytes& p) {
  return static_cast<uint16_t>((p[2] << 8) | p[3]);
}
bool Marker(const Bytes& p) {
  return (p[1] & 0x80) != 0;
}

TEST(H264Packetizer, SmallUnitsGoSingleAndLargeOnesAsFuA) {
  std::string sps("\x67\x42\xc0\x1f", 4), pps("\x68\xce\x3c\x80", 4);
  std::string idr(3000, '\0');
  idr[0] = '\x65';
  for (size_t i = 1; i < idr.size(); ++i) idr[i] = static_cast<char>(i * 7);
  const std::string stream = std::string("\0\0\0\1", 4) + sps + std::string("\0\0\1", 3) + pps +
                             std::string("\0\0\0\1", 4) + idr;
  auto nals = SplitAnnexB(stream);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(nals[0], sps);
  EXPECT_EQ(nals[1], pps);
  EXPECT_EQ(nals[2], idr);

  RtpStream rtp(96, 0x11223344, 65534);
  std::vector<Bytes> out;
  PacketizeH264(nals, 90000, &rtp, &out);
  ASSERT_EQ(out.size(), 5u);  // SPS, PPS, three FU-A fragments
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i][1] & 0x7f, 96);
    EXPECT_EQ(Seq(out[i]), static_cast<uint16_t>(65534 + i));  // wraps past 65535
    EXPECT_EQ(Marker(out[i]), i + 1 == out.size());
    EXPECT_LE(out[i].size(), 12 + kMaxPayload);
  }
  EXPECT_EQ(std::string(out[0].begin() + 12, out[0].end()), sps);

  // Reassemble the FU-A fragments (RFC 6184 5.8).
  std::string rebuilt;
  for (size_t i = 2; i < out.size(); ++i) {
    const Bytes& p = out[i];
    EXPECT_EQ(p[12] & 0x1f, 28);
    EXPECT_EQ(p[12] & 0xe0, 0x60);
    EXPECT_EQ(p[13] & 0x1f, 5);
    EXPECT_EQ((p[13] & 0x80) != 0, i == 2);
    EXPECT_EQ((p[13] & 0x40) != 0, i + 1 == out.size());
    if (i == 2) rebuilt += static_cast<char>((p[12] & 0xe0) | (p[13] & 0x1f));
    rebuilt.append(p.begin() + 14, p.end());
  }
  EXPECT_EQ(rebuilt, idr);
}

TEST(H265Packetizer, ParameterSetsAggregatedAndLargeUnitsAsFragments) {
  // Two-byte unit headers: VPS 32, SPS 33, PPS 34, IDR_W_RADL 19 (TID 1).
  const std::string vps("\x40\x01\x0c\x01", 4), sps("\x42\x01\x01\x60", 4),
      pps("\x44\x01\xc1\x72", 4);
  std::string idr(3000, '\0');
  idr[0] = '\x26';
  idr[1] = '\x01';
  for (size_t i = 2; i < idr.size(); ++i) idr[i] = static_cast<char>(i * 7);
  RtpStream rtp(96, 1, 100);
  std::vector<Bytes> out;
  PacketizeH265({vps, sps, pps, idr}, 0, &rtp, &out, /*aggregate=*/true);
  ASSERT_EQ(out.size(), 4u);  // one aggregation packet, three fragments
  // Aggregation packet (RFC 7798 4.4.2): type 48, units behind 16-bit sizes.
  const Bytes& ap = out[0];
  EXPECT_EQ((ap[12] >> 1) & 0x3f, 48);
  EXPECT_EQ(ap[13] & 0x07, 1);
  size_t pos = 14;
  for (const std::string& u : {vps, sps, pps}) {
    ASSERT_LE(pos + 2 + u.size(), ap.size());
    EXPECT_EQ(size_t((ap[pos] << 8) | ap[pos + 1]), u.size());
    EXPECT_EQ(std::string(ap.begin() + long(pos) + 2, ap.begin() + long(pos + 2 + u.size())), u);
    pos += 2 + u.size();
  }
  EXPECT_EQ(pos, ap.size());
  EXPECT_FALSE(Marker(ap));
  // Fragments (4.4.3): type 49 in the payload header, S/E and the type in
  // the FU header; the unit's header rebuilt from both.
  std::string rebuilt;
  for (size_t i = 1; i < out.size(); ++i) {
    const Bytes& p = out[i];
    EXPECT_EQ((p[12] >> 1) & 0x3f, 49);
    EXPECT_EQ(p[14] & 0x3f, 19);
    EXPECT_EQ((p[14] & 0x80) != 0, i == 1);
    EXPECT_EQ((p[14] & 0x40) != 0, i + 1 == out.size());
    EXPECT_EQ(Marker(p), i + 1 == out.size());
    EXPECT_LE(p.size(), 12 + kMaxPayload);
    if (i == 1) {
      rebuilt += static_cast<char>((p[12] & 0x81) | ((p[14] & 0x3f) << 1));
      rebuilt += static_cast<char>(p[13]);
    }
    rebuilt.append(p.begin() + 15, p.end());
  }
  EXPECT_EQ(rebuilt, idr);
}

// Encodes one test picture with libavcodec's mjpeg encoder as the simulator
// configures it.
std::string EncodeJpeg(int w, int h) {
  const AVCodec* c = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = avcodec_alloc_context3(c);
  ctx->width = w;
  ctx->height = h;
  ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
  ctx->time_base = {1, 25};
  ctx->flags |= AV_CODEC_FLAG_QSCALE;
  ctx->global_quality = FF_QP2LAMBDA * 4;
  av_opt_set(ctx->priv_data, "huffman", "default", 0);
  EXPECT_EQ(avcodec_open2(ctx, c, nullptr), 0);
  AVFrame* f = av_frame_alloc();
  f->format = ctx->pix_fmt;
  f->width = w;
  f->height = h;
  av_frame_get_buffer(f, 0);
  TestPattern pattern(w, h);
  pattern.Draw({f->data[0], f->data[1], f->data[2], f->linesize[0], f->linesize[1], f->linesize[2]},
               0, 12345, 0);
  f->quality = ctx->global_quality;
  AVPacket* pkt = av_packet_alloc();
  std::string out;
  if (avcodec_send_frame(ctx, f) == 0 && avcodec_receive_packet(ctx, pkt) == 0)
    out.assign(reinterpret_cast<const char*>(pkt->data), pkt->size);
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&ctx);
  return out;
}

TEST(H264Packetizer, ParameterSetsAggregateIntoOneStapA) {
  const std::string sps("\x67\x42\xc0\x1f", 4), pps("\x68\xce\x3c\x80", 4), idr("\x65\x88", 2);
  RtpStream rtp(96, 1, 0);
  std::vector<Bytes> out;
  PacketizeH264({sps, pps, idr}, 0, &rtp, &out, true);
  ASSERT_EQ(out.size(), 2u);
  const Bytes& stap = out[0];
  EXPECT_FALSE(Marker(stap));
  EXPECT_EQ(stap[12], 0x78);  // NRI 3, type 24
  EXPECT_EQ(Bytes(stap.begin() + 13, stap.end()),
            (Bytes{0, 4, 0x67, 0x42, 0xc0, 0x1f, 0, 4, 0x68, 0xce, 0x3c, 0x80}));
  EXPECT_TRUE(Marker(out[1]));
  // A picture without parameter sets in front goes out as before.
  out.clear();
  PacketizeH264({idr}, 0, &rtp, &out, true);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][12], 0x65);
}

TEST(JpegPacketizer, CarriesTablesInTheFirstPacketAndTheScanInOrder) {
  const std::string jfif = EncodeJpeg(320, 240);
  ASSERT_FALSE(jfif.empty());
  auto parts = ParseJpeg(jfif);
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->width, 320);
  EXPECT_EQ(parts->height, 240);
  EXPECT_EQ(parts->type, 1);
  EXPECT_GT(parts->scan.size(), 100u);
  // libavcodec writes one table for both components; the chroma slot gets a copy.
  EXPECT_EQ(std::memcmp(parts->tables, parts->tables + 64, 64), 0);
  EXPECT_NE(parts->tables[0], 0);

  RtpStream rtp(26, 1, 0);
  std::vector<Bytes> out;
  PacketizeJpeg(*parts, 3600, &rtp, &out);
  ASSERT_GE(out.size(), 1u);
  std::string scan;
  for (size_t i = 0; i < out.size(); ++i) {
    const Bytes& p = out[i];
    const size_t offset = (p[13] << 16) | (p[14] << 8) | p[15];
    EXPECT_EQ(offset, scan.size());
    EXPECT_EQ(p[16], 1);    // type 1: 4:2:0
    EXPECT_EQ(p[17], 255);  // Q: tables in band
    EXPECT_EQ(p[18], 40);   // 320 / 8
    EXPECT_EQ(p[19], 30);   // 240 / 8
    size_t data = 20;
    if (i == 0) {
      EXPECT_EQ(p[20], 0);
      EXPECT_EQ(p[21], 0);
      EXPECT_EQ((p[22] << 8) | p[23], 128);
      EXPECT_EQ(std::memcmp(p.data() + 24, parts->tables, 128), 0);
      data += 4 + 128;
    }
    scan.append(p.begin() + static_cast<ptrdiff_t>(data), p.end());
    EXPECT_EQ(Marker(p), i + 1 == out.size());
  }
  EXPECT_EQ(scan, parts->scan);
}

TEST(JpegPacketizer, ParserSurvivesEveryTruncationAndCorruption) {
  const std::string jfif = EncodeJpeg(256, 128);
  ASSERT_FALSE(jfif.empty());
  for (size_t n = 0; n < 700 && n < jfif.size(); ++n) ParseJpeg(jfif.substr(0, n));
  std::string bad = jfif;
  for (size_t i = 2; i < 700 && i < bad.size(); i += 3) {
    bad[i] = static_cast<char>(0xff);
    ParseJpeg(bad);
  }
  EXPECT_FALSE(ParseJpeg("\xff\xd8\xff\xc2\x00\x02"));  // progressive
}

TEST(AacPayload, HasOneThirteenBitAuHeader) {
  const std::string au(300, 'a');
  Bytes p = AacPayload(au);
  ASSERT_EQ(p.size(), 304u);
  EXPECT_EQ((p[0] << 8) | p[1], 16);
  EXPECT_EQ(((p[2] << 8) | p[3]) >> 3, 300);
  EXPECT_EQ(p[3] & 7, 0);
  EXPECT_TRUE(AacPayload(std::string(8192, 'a')).empty());
}

TEST(FrameCode, RoundTripsOnLumaAndBgrxAtEverySupportedWidth) {
  for (int w : {128, 320, 511, 512, 1280, 1920}) {
    const int h = 64;
    std::vector<uint8_t> y(static_cast<size_t>(w) * h, 128);
    for (uint32_t n : {0u, 1u, 0x80000001u, 0xdeadbeefu, 0xffffffffu}) {
      frame_code::EncodeLuma(y.data(), w, w, h, n);
      EXPECT_EQ(frame_code::DecodeLuma(y.data(), w, w, h), n) << w;
      std::vector<uint8_t> bgrx(static_cast<size_t>(w) * h * 4);
      for (size_t i = 0; i < y.size(); ++i)
        std::memset(&bgrx[i * 4], y[i], 3);  // grey picture as the renderer would make it
      EXPECT_EQ(frame_code::DecodeBgrx(bgrx.data(), w * 4, w, h), n) << w;
    }
  }
  uint8_t tiny[100 * 10] = {};
  EXPECT_FALSE(frame_code::DecodeLuma(tiny, 100, 100, 10));
}

}  // namespace
}  // namespace devicesim
