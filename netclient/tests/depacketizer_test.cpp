// RTP header, sequence check, H.264 and JPEG depacketisers, interleaved
// framing, from byte arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "collecting_sink.h"
#include "net/depacketizer_jpeg.h"
#include "net/interleaved.h"
#include "net/media_frames.h"
#include "net/rtp.h"
#include "net/video_depacketizer.h"
#include "net/video_picture.h"

namespace quornet {
namespace {

using Bytes = std::vector<uint8_t>;

using test::CollectingSink;
using test::Picture;

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
  // The devices' single-slice pictures: parameter sets and slice in single
  // NAL unit packets, the marker on the slice.
  Bytes sps = {0x67, 1, 2}, pps = {0x68, 3}, idr = {0x65, 0x84, 5}, p = {0x41, 0x86};
  d->Push(Payload(sps), false, &sink);
  d->Push(Payload(pps), false, &sink);
  d->Push(Payload(idr, true), false, &sink);
  d->Push(Payload(p, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[0].data,
            (Bytes{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0x84, 5}));
  EXPECT_EQ(sink.pictures[1].type, 1);
  EXPECT_EQ(sink.key_starts, 1);
  // A STAP-A of parameter sets alone is no picture.
  Bytes stap = {0x78, 0, 2, 0x67, 1};
  d->Push(Payload(stap, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 2u);
}

TEST(H264, StapAUnitsJoinTheAccessUnit) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  // STAP-A (NRI 3): SPS of 3 bytes, PPS of 2; then the IDR slice ends the
  // access unit.
  Bytes stap = {0x78, 0, 3, 0x67, 1, 2, 0, 2, 0x68, 3};
  Bytes idr = {0x65, 0x84, 5};
  d->Push(Payload(stap), false, &sink);
  d->Push(Payload(idr, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[0].data,
            (Bytes{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0x84, 5}));
  EXPECT_EQ(sink.key_starts, 1);
  // A size running past the packet ends it; the units before it stay. A
  // STAP-A holding a whole picture with the marker completes it.
  Bytes cut = {0x78, 0, 2, 0x41, 0x86, 0, 9, 0x41};
  d->Push(Payload(cut, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, (Bytes{0, 0, 0, 1, 0x41, 0x86}));
  EXPECT_EQ(sink.pictures[1].type, 1);
  // Zero sizes and reserved unit types inside contribute nothing.
  Bytes odd = {0x78, 0, 0, 0, 1, 0x00, 0, 1, 0x1F};
  d->Push(Payload(odd, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 2u);
}

TEST(H264, AnnouncedParameterSetsGoInFrontOfAnIdrPictureWithoutThem) {
  auto d = MakeH264Depacketizer(1 << 20);
  d->SetParameterSets({0, 0, 0, 1, 0x67, 9, 0, 0, 0, 1, 0x68, 8});
  CollectingSink sink;
  Bytes idr = {0x65, 0x84, 5}, p = {0x41, 0x86}, sps = {0x67, 1}, pps = {0x68, 3};
  d->Push(Payload(idr, true), false, &sink);
  d->Push(Payload(p, true), false, &sink);
  // An IDR picture that brings its own sets keeps exactly those.
  d->Push(Payload(sps), false, &sink);
  d->Push(Payload(pps), false, &sink);
  d->Push(Payload(idr, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 3u);
  EXPECT_EQ(sink.pictures[0].data,
            (Bytes{0, 0, 0, 1, 0x67, 9, 0, 0, 0, 1, 0x68, 8, 0, 0, 0, 1, 0x65, 0x84, 5}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[1].data, (Bytes{0, 0, 0, 1, 0x41, 0x86}));
  EXPECT_EQ(sink.pictures[2].data,
            (Bytes{0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0x84, 5}));
  EXPECT_EQ(sink.key_starts, 2);
}

TEST(H264, FuaRebuildsNalHeaderAndDropsPictureWithMissingMiddle) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  // FU indicator: NRI 3, type 28; FU header: S/E bits and type 5. The
  // slice header starts with first_mb_in_slice 0 (bit 7 of byte 2).
  Bytes start = {0x7C, 0x85, 0x81, 2}, middle = {0x7C, 0x05, 3}, end = {0x7C, 0x45, 4};
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(middle), false, &sink);
  d->Push(Payload(end, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, (Bytes{0, 0, 0, 1, 0x65, 0x81, 2, 3, 4}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  // Second picture loses its middle fragment: the end is flagged after a gap.
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(end, true), /*loss=*/true, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.losses, 1);
  // Continuations stay dropped until the next picture starts.
  d->Push(Payload(middle), false, &sink);
  d->Push(Payload(end, true), false, &sink);
  EXPECT_EQ(sink.pictures.size(), 1u);
  Bytes pstart = {0x5C, 0x81, 0x89}, pend = {0x5C, 0x41, 10};
  d->Push(Payload(pstart), false, &sink);
  d->Push(Payload(pend, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, (Bytes{0, 0, 0, 1, 0x41, 0x89, 10}));
  EXPECT_EQ(sink.pictures[1].type, 1);
}

TEST(H264, TruncatedFuaEmptyPayloadAndOversizedPicture) {
  auto d = MakeH264Depacketizer(16, 64);
  CollectingSink sink;
  Bytes truncated = {0x7C};  // FU indicator without FU header
  d->Push(Payload(truncated), false, &sink);
  d->Push(Payload(Bytes{}), false, &sink);
  // Joined mid-unit: continuation and end without their start fragment
  // (found by fuzzing).
  d->Push(Payload(Bytes{0x7C, 0x05, 1}), false, &sink);
  d->Push(Payload(Bytes{0x7C, 0x45, 2}, true), false, &sink);
  // Fragments claiming NAL types 0 or 24..31 (found by fuzzing).
  d->Push(Payload(Bytes{0x7C, 0xDF, 1}), false, &sink);
  d->Push(Payload(Bytes{0x7C, 0xC0, 1}, true), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  // A picture that outgrows the bound is thrown away with its remaining
  // fragments and reported with its size; the next picture goes through.
  Bytes start = {0x7C, 0x85, 0x81}, big(40, 0xAB), end = {0x7C, 0x45, 2};
  big[0] = 0x7C;
  big[1] = 0x05;
  d->Push(Payload(start), false, &sink);
  d->Push(Payload(big), false, &sink);
  d->Push(Payload(big), false, &sink);
  d->Push(Payload(end, true), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  EXPECT_EQ(sink.losses, 1);
  ASSERT_EQ(sink.too_large.size(), 1u);
  EXPECT_GT(sink.too_large[0], 64u);
  d->Push(Payload(Bytes{0x41, 0x81}, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, (Bytes{0, 0, 0, 1, 0x41, 0x81}));
}

// Slices of one picture: the second slice's header has first_mb_in_slice
// other than 0 (bit 7 of its first byte clear).
const Bytes kIdrSlice1 = {0x65, 0x88, 1}, kIdrSlice2 = {0x65, 0x08, 2};
const Bytes kPSlice1 = {0x41, 0x9A, 3}, kPSlice2 = {0x41, 0x1A, 4};

Bytes AnnexB(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

RtpPacket At(const Bytes& payload, uint32_t timestamp, bool marker = false) {
  RtpPacket p = Payload(payload, marker);
  p.timestamp = timestamp;
  return p;
}

// FU-A fragments of a unit: start with the first body byte, end with the rest.
std::pair<Bytes, Bytes> Fragments(const Bytes& unit) {
  const uint8_t indicator = uint8_t((unit[0] & 0xE0) | 28), type = unit[0] & 0x1F;
  Bytes start = {indicator, uint8_t(0x80 | type), unit[1]};
  Bytes end = {indicator, uint8_t(0x40 | type)};
  end.insert(end.end(), unit.begin() + 2, unit.end());
  return {start, end};
}

TEST(H264, SlicesOfOnePictureInSingleNalPacketsAreOneAccessUnit) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  d->Push(At({0x09, 0x10}, 3000), false, &sink);  // access unit delimiter
  d->Push(At({0x67, 1}, 3000), false, &sink);
  d->Push(At({0x68, 2}, 3000), false, &sink);
  d->Push(At(kIdrSlice1, 3000), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());  // the marker is still to come
  d->Push(At(kIdrSlice2, 3000, true), false, &sink);
  d->Push(At(kPSlice1, 6600), false, &sink);
  d->Push(At(kPSlice2, 6600, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[0].data,
            AnnexB({{0x09, 0x10}, {0x67, 1}, {0x68, 2}, kIdrSlice1, kIdrSlice2}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({kPSlice1, kPSlice2}));
  EXPECT_EQ(sink.pictures[1].type, 1);
  EXPECT_TRUE(H264PictureHasSps(sink.pictures[0].data.data(), sink.pictures[0].data.size()));
}

TEST(H264, SlicesInFuaFragmentsAndMixedPacketsAreOneAccessUnit) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  auto [s1, e1] = Fragments(kIdrSlice1);
  auto [s2, e2] = Fragments(kIdrSlice2);
  d->Push(At(s1, 90), false, &sink);
  d->Push(At(e1, 90), false, &sink);
  d->Push(At(s2, 90), false, &sink);
  d->Push(At(e2, 90, true), false, &sink);
  // Mixed: first slice fragmented, second in a single NAL unit packet.
  auto [p1, q1] = Fragments(kPSlice1);
  d->Push(At(p1, 180), false, &sink);
  d->Push(At(q1, 180), false, &sink);
  d->Push(At(kPSlice2, 180, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kIdrSlice1, kIdrSlice2}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({kPSlice1, kPSlice2}));
  EXPECT_EQ(sink.pictures[1].type, 1);
}

TEST(H264, WithoutMarkerNextTimestampOrFirstSliceOrDelimiterEndsAccessUnit) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  d->Push(At({0x67, 1}, 100), false, &sink);
  d->Push(At(kIdrSlice1, 100), false, &sink);
  d->Push(At(kIdrSlice2, 100), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  // Another timestamp, even on a slice that does not start at macroblock 0.
  d->Push(At(kPSlice2, 200), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({{0x67, 1}, kIdrSlice1, kIdrSlice2}));
  // The same timestamp on every picture: a slice at macroblock 0 begins the
  // next one, and so does a delimiter.
  d->Push(At(kPSlice1, 200), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({kPSlice2}));
  d->Push(At(kPSlice2, 200), false, &sink);
  d->Push(At({0x09, 0x30}, 200), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 3u);
  EXPECT_EQ(sink.pictures[2].data, AnnexB({kPSlice1, kPSlice2}));
  EXPECT_EQ(sink.pictures[2].type, 1);
  // Parameter sets with their own timestamp stay with the slice after them.
  d->Push(At(kPSlice1, 200, true), false, &sink);
  d->Push(At({0x67, 1}, 300), false, &sink);
  d->Push(At(kIdrSlice1, 400, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 5u);
  EXPECT_EQ(sink.pictures[4].data, AnnexB({{0x67, 1}, kIdrSlice1}));
}

// GStreamer's payloader repeats the parameter sets in front of every IDR
// slice of a picture (config-interval=-1), and starts each with a delimiter.
TEST(H264, ParameterSetsRepeatedBetweenSlicesStayInThePicture) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  const Bytes aud = {0x09, 0x10}, sps = {0x67, 1}, pps = {0x68, 0xCE};
  auto send_idr = [&](uint32_t ts, bool lose_second) {
    d->Push(At(aud, ts), false, &sink);
    d->Push(At(sps, ts), false, &sink);
    d->Push(At(pps, ts), false, &sink);
    d->Push(At(kIdrSlice1, ts), false, &sink);
    d->Push(At(sps, ts), lose_second, &sink);  // a gap in front of it
    d->Push(At(pps, ts), false, &sink);
    d->Push(At(kIdrSlice2, ts, true), false, &sink);
  };
  send_idr(1000, false);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({aud, sps, pps, kIdrSlice1, sps, pps, kIdrSlice2}));
  EXPECT_EQ(sink.pictures[0].type, 7);
  // A gap inside the picture: the repeated parameter sets do not start a
  // picture, so nothing of it is handed over; the next delimiter does.
  send_idr(2000, true);
  EXPECT_EQ(sink.pictures.size(), 1u);
  d->Push(At(aud, 3000), false, &sink);
  d->Push(At(kPSlice1, 3000), false, &sink);
  d->Push(At(kPSlice2, 3000, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 2u);
  EXPECT_EQ(sink.pictures[1].data, AnnexB({aud, kPSlice1, kPSlice2}));
}

TEST(H264, LostSecondSliceDropsThePictureUntilTheNextBegins) {
  auto d = MakeH264Depacketizer(1 << 20);
  CollectingSink sink;
  const Bytes third = {0x41, 0x0C, 5};
  d->Push(At(kPSlice1, 10), false, &sink);
  // kPSlice2 lost: the third slice comes after a gap, with the marker.
  d->Push(At(third, 10, true), /*loss=*/true, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  EXPECT_EQ(sink.losses, 1);
  // A picture whose first slice was lost with the gap is not handed over
  // either, even under another timestamp.
  d->Push(At(kPSlice2, 20), /*loss=*/true, &sink);
  d->Push(At(third, 20, true), false, &sink);
  EXPECT_TRUE(sink.pictures.empty());
  d->Push(At(kPSlice1, 30), false, &sink);
  d->Push(At(kPSlice2, 30, true), false, &sink);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data, AnnexB({kPSlice1, kPSlice2}));
}

TEST(H264, PictureAtTheBoundPassesOneByteMoreIsDroppedAndReported) {
  constexpr size_t kBound = 1000;
  auto d = MakeH264Depacketizer(64, kBound);
  CollectingSink sink;
  // One IDR slice of exactly kBound bytes with its start code, in fragments.
  auto send = [&](size_t picture_size, uint32_t ts) {
    const size_t body = picture_size - 5;  // start code and NAL header
    Bytes start = {0x7C, 0x85, 0x80};
    d->Push(At(start, ts), false, &sink);
    size_t sent = 1;
    while (sent < body) {
      const size_t n = std::min<size_t>(300, body - sent);
      Bytes frag(2 + n, 0x5A);
      frag[0] = 0x7C;
      frag[1] = sent + n == body ? 0x45 : 0x05;
      d->Push(At(frag, ts, sent + n == body), false, &sink);
      sent += n;
    }
  };
  send(kBound, 1);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data.size(), kBound);
  send(kBound + 1, 2);
  EXPECT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.too_large, (std::vector<size_t>{kBound + 1}));
  send(kBound, 3);
  EXPECT_EQ(sink.pictures.size(), 2u);
}

TEST(H264, EndlessFragmentsNeverGrowTheBufferPastTheBound) {
  constexpr size_t kBound = 256 * 1024;
  auto d = MakeH264Depacketizer(4096, kBound);
  struct CapacitySink : CollectingSink {
    void OnPicture(FrameBuffer* b, int type) override {
      max_capacity = std::max(max_capacity, b->capacity());
      CollectingSink::OnPicture(b, type);
    }
    size_t max_capacity = 0;
  } sink;
  d->Push(At({0x7C, 0x85, 0x80}, 1), false, &sink);
  Bytes frag(1400, 0x33);
  frag[0] = 0x7C;
  frag[1] = 0x05;
  for (int i = 0; i < 2000; ++i) d->Push(At(frag, 1), false, &sink);  // 2.8 MB, no end
  EXPECT_EQ(sink.too_large.size(), 0u);                               // still being dropped
  d->Push(At(kPSlice1, 2, true), false, &sink);
  ASSERT_EQ(sink.too_large.size(), 1u);
  EXPECT_GT(sink.too_large[0], size_t{2000} * 1400);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_LE(sink.max_capacity, kBound + FrameBuffer::kRecordHeaderSize);
}

TEST(FrameBuffer, GrowsByDoublingUpToTheBound) {
  FrameBuffer b(64, 1000);
  int growths = 0;
  size_t capacity = b.capacity();
  Bytes chunk(10, 1);
  while (b.Append(chunk.data(), chunk.size())) {
    if (b.capacity() != capacity) ++growths;
    capacity = b.capacity();
  }
  EXPECT_EQ(b.size(), 1000u);
  EXPECT_EQ(b.capacity(), 1000u + FrameBuffer::kRecordHeaderSize);
  EXPECT_LE(growths, 5);  // 64 -> 128 -> 256 -> 512 -> 1012
  EXPECT_EQ(b.picture()[999], 1);
}

TEST(H264Picture, KeyTestsLookPastDelimiterAndSeiWithinTheScanLimit) {
  const Bytes aud = {0x09, 0xF0}, sei = {0x06, 5, 1, 0xAA, 0x80};
  const Bytes sps = {0x67, 0x42}, pps = {0x68, 0xCE};
  const Bytes with_sps = AnnexB({aud, sei, sps, pps, kIdrSlice1});
  EXPECT_TRUE(H264PictureHasSps(with_sps.data(), with_sps.size()));
  EXPECT_TRUE(H264PictureIsKey(with_sps.data(), with_sps.size()));
  const Bytes idr_only = AnnexB({aud, kIdrSlice1});
  EXPECT_FALSE(H264PictureHasSps(idr_only.data(), idr_only.size()));
  EXPECT_TRUE(H264PictureIsKey(idr_only.data(), idr_only.size()));
  // An SPS after the first slice belongs to the next picture.
  const Bytes p_then_sps = AnnexB({aud, kPSlice1, sps});
  EXPECT_FALSE(H264PictureHasSps(p_then_sps.data(), p_then_sps.size()));
  EXPECT_FALSE(H264PictureIsKey(p_then_sps.data(), p_then_sps.size()));
  // Three-byte start codes count too.
  const Bytes short_codes = {0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x67, 0x42};
  EXPECT_TRUE(H264PictureHasSps(short_codes.data(), short_codes.size()));
  // The scan is bounded: an SPS behind more than the limit of SEI is not
  // looked for. Truncated and empty input is no key.
  Bytes huge_sei(kH264KeyScanLimit + 10, 0x55);
  huge_sei[0] = 0x06;
  const Bytes far = AnnexB({huge_sei, sps, kIdrSlice1});
  EXPECT_FALSE(H264PictureHasSps(far.data(), far.size()));
  EXPECT_FALSE(H264PictureHasSps(with_sps.data(), 0));
  EXPECT_FALSE(H264PictureHasSps(nullptr, 10));
  const Bytes cut = {0, 0, 0, 1};
  EXPECT_FALSE(H264PictureIsKey(cut.data(), cut.size()));
}

Bytes JpegPacket(uint32_t offset, uint8_t type, uint8_t q, uint8_t w, uint8_t h, const Bytes& data,
                 const Bytes& extra = {}) {
  Bytes p = {0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), type, q, w, h};
  p.reserve(p.size() + extra.size() + data.size());
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

TEST(Jpeg, PictureAtTheBoundPassesOneByteMoreIsDroppedAndReported) {
  // The rebuilt headers' size, from a picture with no scan data bounds.
  size_t header = 0;
  {
    auto probe = MakeJpegDepacketizer(64);
    CollectingSink sink;
    probe->Push(Payload(JpegPacket(0, 1, 50, 40, 30, {}), true), false, &sink);
    ASSERT_EQ(sink.pictures.size(), 1u);
    header = sink.pictures[0].data.size() - 2;  // without the EOI
  }
  const size_t bound = header + 1000 + 2;
  auto d = MakeJpegDepacketizer(64, bound);
  CollectingSink sink;
  auto send = [&](size_t data) {
    Bytes half(data / 2, 0x33), rest(data - data / 2, 0x44);
    d->Push(Payload(JpegPacket(0, 1, 50, 40, 30, half)), false, &sink);
    d->Push(Payload(JpegPacket(uint32_t(half.size()), 1, 50, 40, 30, rest), true), false, &sink);
  };
  send(1000);
  ASSERT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.pictures[0].data.size(), bound);
  send(1001);
  EXPECT_EQ(sink.pictures.size(), 1u);
  EXPECT_EQ(sink.too_large, (std::vector<size_t>{bound + 1}));
  send(5000);  // fails in the middle of the scan data
  EXPECT_EQ(sink.too_large.size(), 2u);
  send(10);
  EXPECT_EQ(sink.pictures.size(), 2u);
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
