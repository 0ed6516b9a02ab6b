// RTP header, sequence check, H.264 and JPEG depacketisers, interleaved
// framing, from byte arrays.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/depacketizer_jpeg.h"
#include "net/interleaved.h"
#include "net/media_frames.h"
#include "net/rtp.h"
#include "net/video_depacketizer.h"

namespace quornet {
namespace {

using Bytes = std::vector<uint8_t>;

struct Picture {
  Bytes data;
  int type;
};

class CollectingSink : public VideoFrameSink {
 public:
  void OnKeyFrameStart() override { ++key_starts; }
  void OnDataLost() override { ++losses; }
  void OnPicture(FrameBuffer* b, int type) override {
    pictures.push_back({Bytes(b->picture(), b->picture() + b->size()), type});
  }
  std::vector<Picture> pictures;
  int key_starts = 0;
  int losses = 0;
};

RtpPacket Payload(const Bytes& payload, bool marker = false) {
  RtpPacket p;
  p.payload = payload.data();
  p.payload_size = payload.size();
  p.marker = marker;
  return p;
}

TEST(RtpHeader, HonoursCsrcExtensionAndPadding) {
  Bytes d = {0x80, 0xE0, 0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 2, 0xAA};
  RtpPacket p;
  ASSERT_TRUE(ParseRtp(d.data(), d.size(), &p));
  EXPECT_TRUE(p.marker);
  EXPECT_EQ(p.payload_type, 96);
  EXPECT_EQ(p.sequence, 0x1234);
  EXPECT_EQ(p.payload_size, 1u);
  // CC=1, X=1 with one extension word, P=1 with 2 padding bytes.
  Bytes e = {0xB1, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0,  // fixed header
             9,    9,    9, 9,                          // CSRC
             0xBE, 0xDE, 0, 1, 7, 7, 7, 7,              // extension, 1 word
             0x55, 0x66, 0, 2};                         // payload, padding
  ASSERT_TRUE(ParseRtp(e.data(), e.size(), &p));
  ASSERT_EQ(p.payload_size, 2u);
  EXPECT_EQ(p.payload[0], 0x55);
  // Lengths that run past the datagram.
  Bytes bad_cc = {0x8F, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_FALSE(ParseRtp(bad_cc.data(), bad_cc.size(), &p));
  Bytes bad_ext = {0x90, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xBE, 0xDE, 0xFF, 0xFF};
  EXPECT_FALSE(ParseRtp(bad_ext.data(), bad_ext.size(), &p));
  Bytes bad_pad = {0xA0, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x20};
  EXPECT_FALSE(ParseRtp(bad_pad.data(), bad_pad.size(), &p));
  Bytes v1 = {0x40, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_FALSE(ParseRtp(v1.data(), v1.size(), &p));
  EXPECT_FALSE(ParseRtp(d.data(), 11, &p));
}

TEST(SequenceCheck, LateDuplicateWrapAndJump) {
  using V = SequenceCheck::Verdict;
  SequenceCheck s;
  EXPECT_EQ(s.Check(10), V::kInOrder);
  EXPECT_EQ(s.Check(5), V::kDrop);   // late
  EXPECT_EQ(s.Check(10), V::kDrop);  // duplicate
  EXPECT_EQ(s.Check(11), V::kInOrder);
  EXPECT_EQ(s.Check(40000), V::kLoss);  // far jump: sender restarted
  EXPECT_EQ(s.Check(40001), V::kInOrder);
  SequenceCheck w;
  EXPECT_EQ(w.Check(65534), V::kInOrder);
  EXPECT_EQ(w.Check(65535), V::kInOrder);
  EXPECT_EQ(w.Check(0), V::kInOrder);
  EXPECT_EQ(w.Check(65535), V::kDrop);  // late across the wrap
  EXPECT_EQ(w.Check(2), V::kLoss);      // 1 missing
  EXPECT_EQ(w.Check(1), V::kDrop);      // arrives after the gap was reported
}

TEST(H264, ParameterSetsAndIdrBecomeOneKeyPicture) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  Bytes sps = {0x67, 1, 2}, pps = {0x68, 3}, idr = {0x65, 4, 5}, p = {0x41, 6};
  d->Push(Payload(sps), false, &sink);
  d->Push(Payload(pps), false, &sink);
  d->Push(Payload(idr), false, &sink);
  d->Push(Payload(p), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[0].data,
            (Bytes{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5}));
  EXPECT_EQ(sink.pictures[1].type, 1);
  EXPECT_EQ(sink.key_starts, 1);
  // STAP-A and reserved types contribute nothing.
  Bytes stap = {0x78, 0, 2, 0x67, 1};
  d->Push(Payload(stap), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 2u);
}

TEST(H264, FuaRebuildsNalHeaderAndDropsPictureWithMissingMiddle) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  // FU indicator: NRI 3, type 28; FU header: S/E bits and type 5.
  Bytes start = {0x7C, 0x85, 1, 2}, middle = {0x7C, 0x05, 3}, end = {0x7C, 0x45, 4};
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(middle), false, &sink);
  d->Push(Payload(end), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, (Bytes{0, 0, 0, 1, 0x65, 1, 2, 3, 4}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  // Second picture loses its middle fragment: the end is flagged after a gap.
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(end), /*loss=*/true, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.losses, 1);
  // Continuations stay dropped until the next start fragment.
  d->Push(Payload(middle), false, &sink);
  d->Push(Payload(end), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  Bytes pstart = {0x5C, 0x81, 9}, pend = {0x5C, 0x41, 10};
  d->Push(Payload(pstart), false, &sink);
  d->Push(Payload(pend), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, (Bytes{0, 0, 0, 1, 0x41, 9, 10}));
  EXPECT_EQ(sink.pictures[1].type, 1);
}

TEST(H264, TruncatedFuaEmptyPayloadAndOversizedPicture) {
  auto d = MakeH264Depacketizer(64);
  CollectingSink sink;
  Bytes truncated = {0x7C};  // FU indicator without FU header
  d->Push(Payload(truncated), false, &sink);
  d->Push(Payload(Bytes{}), false, &sink);
  // Joined mid-unit: continuation and end without their start fragment
  // (found by fuzzing).
  d->Push(Payload(Bytes{0x7C, 0x05, 1}), false, &sink);
  d->Push(Payload(Bytes{0x7C, 0x45, 2}), false, &sink);
  // Fragments claiming NAL types 0 or 24..31 (found by fuzzing).
  d->Push(Payload(Bytes{0x7C, 0xDF, 1}), false, &sink);
  d->Push(Payload(Bytes{0x7C, 0xC0, 1}), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  // A picture that outgrows the buffer is thrown away with its remaining
  // fragments; the next picture goes through.
  Bytes start = {0x7C, 0x85, 1}, big(40, 0xAB), end = {0x7C, 0x45, 2};
  big[0] = 0x7C;
  big[1] = 0x05;
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(big), false, &sink);
  d->Push(Payload(big), false, &sink);
  d->Push(Payload(end), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  EXPECT_EQ(sink.losses, 1);
  d->Push(Payload(Bytes{0x41, 1}), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, (Bytes{0, 0, 0, 1, 0x41, 1}));
}

Bytes JpegPacket(uint32_t offset, uint8_t type, uint8_t q, uint8_t w, uint8_t h, const Bytes& data,
                 const Bytes& extra = {}) {
  Bytes p = {0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), type, q, w, h};
  p.insert(p.end(), extra.begin(), extra.end());
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

constexpr size_t kNotFound = static_cast<size_t>(-1);

size_t FindMarker(const Bytes& b, uint8_t marker) {
  for (size_t i = 0; i + 1 < b.size(); ++i) {
    if (b[i] == 0xFF && b[i + 1] == marker) return i;
  }
  return kNotFound;
}

TEST(Jpeg, HeaderFromQAndSizeBytes) {
  auto d = MakeJpegDepacketizer(1 << 20);
  CollectingSink sink;
  Bytes first = JpegPacket(0, 1, 50, 0, 60, {1, 2, 3});
  Bytes last = JpegPacket(3, 1, 50, 0, 60, {4, 5});
  d->Push(Payload(first), false, &sink);
  d->Push(Payload(last, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  const Bytes& pic = sink.pictures[0].data;
  EXPECT_EQ(sink.pictures[0].type, 0);
  EXPECT_EQ(sink.key_starts, 1);
  ASSERT_GE(pic.size(), 4u);
  EXPECT_EQ(pic[0], 0xFF);
  EXPECT_EQ(pic[1], 0xD8);
  // Scan data then the EOI the receiver adds.
  EXPECT_EQ(Bytes(pic.end() - 7, pic.end()), (Bytes{1, 2, 3, 4, 5, 0xFF, 0xD9}));
  size_t sof = FindMarker(pic, 0xC0);
  ASSERT_NE(sof, kNotFound);
  EXPECT_EQ((pic[sof + 5] << 8) | pic[sof + 6], 480);   // height 60 * 8
  EXPECT_EQ((pic[sof + 7] << 8) | pic[sof + 8], 2048);  // width byte 0
  EXPECT_EQ(pic[sof + 11], 0x22);                       // type 1: 4:2:0
  // Q 50 gives the Annex K tables unscaled, luminance DC entry 16.
  size_t dqt = FindMarker(pic, 0xDB);
  ASSERT_NE(dqt, kNotFound);
  EXPECT_EQ(pic[dqt + 5], 16);
  EXPECT_EQ(FindMarker(pic, 0xDD), kNotFound);
  EXPECT_EQ(JpegWidthFromByte(64), 2560);
}

TEST(Jpeg, InBandTablesRestartHeaderAndMissingFragment) {
  auto d = MakeJpegDepacketizer(1 << 20);
  CollectingSink sink;
  Bytes restart = {0x00, 0x10, 0xFF, 0xFF};
  Bytes qheader = {0, 0, 0, 128};
  Bytes tables(128, 7);
  tables[0] = 3;
  Bytes extra = restart;
  extra.insert(extra.end(), qheader.begin(), qheader.end());
  extra.insert(extra.end(), tables.begin(), tables.end());
  Bytes first = JpegPacket(0, 64, 255, 80, 60, {1, 2}, extra);
  Bytes last = JpegPacket(2, 64, 255, 80, 60, {3, 0xFF, 0xD9}, restart);
  d->Push(Payload(first), false, &sink);
  d->Push(Payload(last, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  const Bytes& pic = sink.pictures[0].data;
  size_t dqt = FindMarker(pic, 0xDB);
  EXPECT_EQ(pic[dqt + 5], 3);
  size_t dri = FindMarker(pic, 0xDD);
  ASSERT_NE(dri, kNotFound);
  EXPECT_EQ((pic[dri + 4] << 8) | pic[dri + 5], 16);
  EXPECT_EQ(pic[FindMarker(pic, 0xC0) + 11], 0x21);  // type 64: 4:2:2 with restarts
  EXPECT_EQ(Bytes(pic.end() - 5, pic.end()), (Bytes{1, 2, 3, 0xFF, 0xD9}));  // EOI not doubled
  // A fragment offset that skips data drops the picture.
  Bytes a = JpegPacket(0, 1, 50, 80, 60, {1, 2});
  Bytes c = JpegPacket(4, 1, 50, 80, 60, {5}, {});
  d->Push(Payload(a), false, &sink);
  d->Push(Payload(c, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  // Tables announced longer than the packet, short packets: nothing, no crash.
  Bytes lying = JpegPacket(0, 1, 200, 80, 60, {}, {0, 0, 0xFF, 0xFF, 1, 2});
  d->Push(Payload(lying, true), false, &sink);
  d->Push(Payload(Bytes{0, 0, 0}, true), false, &sink);
  Bytes restart_cut = {0, 0, 0, 0, 64, 50, 80, 60, 0};
  d->Push(Payload(restart_cut, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
}

TEST(Interleaved, SplitPacketsTextAndBrokenFraming) {
  InterleavedParser p;
  InterleavedParser::Item item;
  Bytes stream = {'$', 0, 0, 3, 0xA, 0xB, 0xC, '$', 2, 0, 1, 0xD};
  std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 5\r\n\r\n";
  stream.insert(stream.end(), reply.begin(), reply.end());
  // Fed one byte at a time, the items come out whole and in order.
  std::vector<std::pair<int, Bytes>> got;
  for (uint8_t byte : stream) {
    p.Feed(&byte, 1);
    while (p.Next(&item) == InterleavedParser::Status::kItem) {
      got.push_back({item.channel, Bytes(item.data, item.data + item.size)});
    }
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (std::pair<int, Bytes>{0, {0xA, 0xB, 0xC}}));
  EXPECT_EQ(got[1], (std::pair<int, Bytes>{2, {0xD}}));
  EXPECT_EQ(got[2].first, InterleavedParser::kTextChannel);
  EXPECT_EQ(std::string(got[2].second.begin(), got[2].second.end()), reply);

  InterleavedParser bad;
  Bytes channel4 = {'$', 4, 0, 1, 0};
  bad.Feed(channel4.data(), channel4.size());
  EXPECT_EQ(bad.Next(&item), InterleavedParser::Status::kError);
  InterleavedParser zero;
  Bytes empty = {'$', 1, 0, 0};
  zero.Feed(empty.data(), empty.size());
  EXPECT_EQ(zero.Next(&item), InterleavedParser::Status::kError);
}

TEST(Interleaved, MaximalPacketAndGarbageText) {
  InterleavedParser p;
  InterleavedParser::Item item;
  Bytes big = {'$', 1, 0xFF, 0xFF};
  big.resize(4 + 65535, 0x5A);
  big.push_back('x');
  big.push_back('$');
  size_t fed = 0;
  int packets = 0;
  while (fed < big.size()) {
    size_t room = 0;
    uint8_t* w = p.WriteSpace(&room);
    ASSERT_GT(room, 0u);
    size_t n = std::min(room, std::min<size_t>(1500, big.size() - fed));
    std::memcpy(w, big.data() + fed, n);
    p.Commit(n);
    fed += n;
    while (p.Next(&item) == InterleavedParser::Status::kItem) {
      if (item.channel == 1) {
        EXPECT_EQ(item.size, 65535u);
        ++packets;
      } else {
        EXPECT_EQ(item.channel, InterleavedParser::kTextChannel);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(item.data), item.size), "x");
      }
    }
  }
  EXPECT_EQ(packets, 1);
  EXPECT_EQ(p.buffered(), 1u);  // the lone "$" waits for its channel byte
}

TEST(MediaFrames, VoiceFrameAndRecordHeaderLayout) {
  Bytes datagram(12 + 6, 0);
  uint8_t* v = PackVoiceFrameInPlace(datagram.data() + 12, 6);
  EXPECT_EQ(v, datagram.data() + 8);
  EXPECT_EQ(Bytes(v, v + 4), (Bytes{0x00, 0x01, 3, 0}));
  uint8_t h[12];
  PackRecordFrameHeader(h, 1, 6, 164, 0, 0, 0x01020304);
  EXPECT_EQ(h[0], 1 | (6 << 2));
  EXPECT_EQ(h[1], (164 << 4) & 0xFF);
  EXPECT_EQ(h[2], 164 >> 4);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(h[11], 1);
}

}  // namespace
}  // namespace quornet
