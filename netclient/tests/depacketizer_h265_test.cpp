// H.265 over RTP (RFC 7798) from byte arrays: aggregation packets,
// fragmentation units, decoding order numbers, access unit boundaries and
// the key-picture and SPS rules of net/video_picture.h.
#include <gtest/gtest.h>

#include <vector>

#include "collecting_sink.h"
#include "net/h264_sps.h"
#include "net/rtp.h"
#include "net/video_depacketizer.h"
#include "net/video_picture.h"

namespace quornet {
namespace {

using Bytes = std::vector<uint8_t>;

using test::CollectingSink;
using test::Picture;

RtpPacket Packet(const Bytes& payload, uint32_t timestamp, bool marker) {
  RtpPacket p;
  p.payload = payload.data();
  p.payload_size = payload.size();
  p.timestamp = timestamp;
  p.marker = marker;
  return p;
}

// Units with a two-byte header of the given type (layer 0, TID 1).
Bytes Unit(int type, Bytes body) {
  Bytes u = {static_cast<uint8_t>(type << 1), 0x01};
  u.insert(u.end(), body.begin(), body.end());
  return u;
}

// A picture in Annex B form: each unit behind 00 00 00 01.
Bytes AnnexB(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

// Aggregation packet; don: put a DONL in front of the first unit and a DOND
// in front of the others.
Bytes Aggregate(const std::vector<Bytes>& units, bool don = false) {
  Bytes p = {48 << 1, 0x01};
  for (size_t i = 0; i < units.size(); ++i) {
    if (don) {
      if (i == 0) {
        p.insert(p.end(), {0x12, 0x34});
      } else {
        p.push_back(0x00);
      }
    }
    p.push_back(static_cast<uint8_t>(units[i].size() >> 8));
    p.push_back(static_cast<uint8_t>(units[i].size()));
    p.insert(p.end(), units[i].begin(), units[i].end());
  }
  return p;
}

// Fragmentation unit of `unit` carrying body bytes [from, to).
Bytes Fragment(const Bytes& unit, size_t from, size_t to, bool start, bool end, bool don = false) {
  Bytes p = {static_cast<uint8_t>((unit[0] & 0x81) | (49 << 1)), unit[1],
             static_cast<uint8_t>((start ? 0x80 : 0) | (end ? 0x40 : 0) | ((unit[0] >> 1) & 0x3F))};
  if (don && start) p.insert(p.end(), {0x00, 0x07});
  p.insert(p.end(), unit.begin() + 2 + long(from), unit.begin() + 2 + long(to));
  return p;
}

// first_slice_segment_in_pic_flag set (0x80) or not (0x00).
const Bytes kVps = Unit(32, {0x0C, 0x01});
const Bytes kSps = Unit(33, {0x01, 0x60});
const Bytes kPps = Unit(34, {0xC1, 0x72});
const Bytes kIdr = Unit(19, {0xAF, 0x11, 0x22, 0x33});
const Bytes kCra = Unit(21, {0xAF, 0x44});
const Bytes kTrail = Unit(1, {0x80, 0x55, 0x66, 0x77, 0x88, 0x99});
const Bytes kTrailSecond = Unit(1, {0x40, 0xAA});

TEST(H265, AggregationOfParameterSetsAndIdrIsOneKeyPicture) {
  auto d = MakeH265Depacketizer(64);
  CollectingSink sink;
  const Bytes ap = Aggregate({kVps, kSps, kPps});
  d->Push(Packet(ap, 1000, false), false, &sink);
  d->Push(Packet(kIdr, 1000, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kVps, kSps, kPps, kIdr}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.key_starts, 1);
  const Bytes& pic = sink.pictures[0].data;
  const uint8_t* sps = nullptr;
  size_t sps_size = 0;
  EXPECT_TRUE(H265PictureHasSps(pic.data(), pic.size(), &sps, &sps_size));
  EXPECT_EQ(Bytes(sps, sps + sps_size), kSps);
  EXPECT_TRUE(VideoPictureIsKey(kVideoCodeH265, pic.data(), pic.size()));
  // The same bytes read as H.264 are not a key picture with an SPS: the
  // codec decides the rule.
  EXPECT_FALSE(H264PictureHasSps(pic.data(), pic.size()));

  // A following trailing picture: not key.
  d->Push(Packet(kTrail, 4600, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].type, 1);
  EXPECT_FALSE(H265PictureIsKey(sink.pictures[1].data.data(), sink.pictures[1].data.size()));
}

TEST(H265, FragmentsRebuildTheUnitAndALostMiddleDropsThePicture) {
  auto d = MakeH265Depacketizer(64);
  CollectingSink sink;
  Bytes big = Unit(1, {0x80});
  for (int i = 0; i < 30; ++i) big.push_back(static_cast<uint8_t>(i + 1));
  const size_t body = big.size() - 2;
  d->Push(Packet(Fragment(big, 0, 10, true, false), 10, false), false, &sink);
  d->Push(Packet(Fragment(big, 10, 20, false, false), 10, false), false, &sink);
  d->Push(Packet(Fragment(big, 20, body, false, true), 10, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({big}));

  // Middle fragment lost: the end fragment arrives with the loss flag.
  d->Push(Packet(Fragment(big, 0, 10, true, false), 20, false), false, &sink);
  d->Push(Packet(Fragment(big, 20, body, false, true), 20, true), true, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.losses, 1);
  // A continuation without its start (joined mid-unit) is ignored too.
  d->Push(Packet(Fragment(big, 10, 20, false, false), 25, false), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  // The stream resumes where a picture begins.
  d->Push(Packet(kTrail, 30, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({kTrail}));

  // A start fragment that follows one whose end never came (no loss seen,
  // as over TCP): the damaged picture is never handed over.
  d->Push(Packet(Fragment(big, 0, 10, true, false), 40, false), false, &sink);
  d->Push(Packet(Fragment(big, 0, 10, true, false), 50, false), false, &sink);
  d->Push(Packet(Fragment(big, 10, body, false, true), 50, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 3u);
  EXPECT_EQ(sink.pictures[2].data, AnnexB({big}));
}

TEST(H265, DecodingOrderNumbersAreReadPastInEveryPacketKind) {
  auto d = MakeH265Depacketizer(64, /*donl=*/true);
  CollectingSink sink;
  Bytes big = Unit(19, {0x80});
  for (int i = 0; i < 20; ++i) big.push_back(static_cast<uint8_t>(0x30 + i));
  const size_t body = big.size() - 2;
  // Single unit: DONL between the header and the unit's body.
  Bytes single = {kVps[0], kVps[1], 0x00, 0x05};
  single.insert(single.end(), kVps.begin() + 2, kVps.end());
  d->Push(Packet(single, 7, false), false, &sink);
  d->Push(Packet(Aggregate({kSps, kPps}, true), 7, false), false, &sink);
  d->Push(Packet(Fragment(big, 0, 8, true, false, true), 7, false), false, &sink);
  d->Push(Packet(Fragment(big, 8, body, false, true, true), 7, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kVps, kSps, kPps, big}));
  EXPECT_EQ(sink.pictures[0].type, 7);
}

TEST(H265, WithoutMarkerTimestampFirstSegmentOrDelimiterEndAccessUnits) {
  auto d = MakeH265Depacketizer(64);
  CollectingSink sink;
  // Two slice segments of one picture, no marker anywhere.
  d->Push(Packet(kTrail, 100, false), false, &sink);
  d->Push(Packet(kTrailSecond, 100, false), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  // Another timestamp ends it.
  d->Push(Packet(kCra, 200, false), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kTrail, kTrailSecond}));
  // A first segment under the same timestamp (a sender that reuses it).
  d->Push(Packet(kTrail, 200, false), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({kCra}));
  EXPECT_EQ(sink.pictures[1].type, 7);
  // An access unit delimiter.
  const Bytes aud = Unit(35, {0x50});
  d->Push(Packet(aud, 200, false), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 3u);
  // Suffix SEI after the slice stays in the picture.
  const Bytes suffix_sei = Unit(40, {0x01, 0x02});
  d->Push(Packet(kTrail, 300, false), false, &sink);
  d->Push(Packet(suffix_sei, 300, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 4u);
  EXPECT_EQ(sink.pictures[3].data, AnnexB({aud, kTrail, suffix_sei}));
}

TEST(H265, MalformedPacketsAreIgnoredAndTheBoundHolds) {
  auto d = MakeH265Depacketizer(64, false, 64);
  CollectingSink sink;
  // Forbidden bit, TID 0, PACI, too short: nothing.
  Bytes forbidden = kTrail;
  forbidden[0] |= 0x80;
  Bytes tid0 = kTrail;
  tid0[1] = 0x00;
  const Bytes paci = {50 << 1, 0x01, 0x00, 0x00, 0x00};
  const Bytes shorty = {0x02, 0x01};
  for (const Bytes* b : std::initializer_list<const Bytes*>{&forbidden, &tid0, &paci, &shorty}) {
    d->Push(Packet(*b, 1, true), false, &sink);
  }
  EXPECT_TRUE(sink.pictures.empty());
  // An aggregation whose second size runs past the packet keeps the first.
  Bytes ap = Aggregate({kVps, kSps});
  ap[2 + 2 + kVps.size() + 1] = 0xFF;
  d->Push(Packet(ap, 2, false), false, &sink);
  d->Push(Packet(kIdr, 2, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kVps, kIdr}));

  // A picture above 64 bytes is dropped, reported and the next one passes.
  Bytes big = Unit(1, {0x80});
  big.resize(80, 0x11);
  d->Push(Packet(Fragment(big, 0, 40, true, false), 3, false), false, &sink);
  d->Push(Packet(Fragment(big, 40, big.size() - 2, false, true), 3, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  ASSERT_EQ(sink.too_large.size(), 1u);
  EXPECT_GE(sink.too_large[0], 64u);
  d->Push(Packet(kTrail, 4, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 2u);
}

TEST(H265Picture, KeyRulesLookPastDelimiterAndSei) {
  const Bytes aud = Unit(35, {0x50});
  const Bytes sei = Unit(39, {0x05, 0x01});
  const Bytes cra = AnnexB({aud, sei, kCra});
  EXPECT_TRUE(H265PictureIsKey(cra.data(), cra.size()));
  EXPECT_FALSE(H265PictureHasSps(cra.data(), cra.size()));
  const Bytes with_sets = AnnexB({aud, sei, kVps, kSps, kPps, kIdr});
  EXPECT_TRUE(H265PictureHasSps(with_sets.data(), with_sets.size()));
  // BLA (16) and IDR without leading pictures (20) are IRAP; RASL (8) not.
  for (int t : {16, 17, 18, 20}) {
    const Bytes p = AnnexB({Unit(t, {0x80})});
    EXPECT_TRUE(H265PictureIsKey(p.data(), p.size())) << t;
  }
  const Bytes rasl = AnnexB({Unit(8, {0x80})});
  EXPECT_FALSE(H265PictureIsKey(rasl.data(), rasl.size()));
  // An SPS behind the first slice does not count.
  const Bytes late = AnnexB({kTrail, kSps});
  EXPECT_FALSE(H265PictureHasSps(late.data(), late.size()));
  EXPECT_FALSE(H265PictureIsKey(nullptr, 0));
}

TEST(H265Sps, PictureSizeAfterTheConformanceWindow) {
  // libx265's SPS of a 636x360 picture (coded 640x360, 4 columns cropped).
  const Bytes sps = {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9E, 0x08, 0x00,
                     0x00, 0x03, 0x00, 0x00, 0x3F, 0x90, 0x00, 0xA0, 0x40, 0x2D, 0x39, 0x7C,
                     0xB2, 0xB3, 0x49, 0x26, 0x57, 0x80, 0xB7, 0x02, 0x02, 0x00, 0x04, 0x00,
                     0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x64, 0x20};
  SpsPictureSize size;
  ASSERT_TRUE(ParseH265SpsPictureSize(sps.data(), sps.size(), &size));
  EXPECT_EQ(size.width, 636);
  EXPECT_EQ(size.height, 360);
  // Every truncation fails cleanly or still gives the size, never more.
  for (size_t n = 0; n < sps.size(); ++n) {
    SpsPictureSize s;
    if (ParseH265SpsPictureSize(sps.data(), n, &s)) {
      EXPECT_EQ(s.width, 636);
      EXPECT_EQ(s.height, 360);
    }
  }
  // Not an SPS (an H.264 one, or a PPS).
  const Bytes pps = kPps;
  EXPECT_FALSE(ParseH265SpsPictureSize(pps.data(), pps.size(), &size));
}

}  // namespace
}  // namespace quornet
