// The private UDP stream from byte arrays: header parsing with the length
// rule, the reorder pool, ordering and synchronisation, and picture assembly
// from NAL pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/private_udp.h"

namespace quornet::pudp {
namespace {

using Bytes = std::vector<uint8_t>;

// A datagram: header plus payload, the length field right unless overridden.
Bytes Datagram(Header h, const Bytes& payload) {
  Bytes d(kHeaderSize + payload.size());
  h.payload_length = static_cast<uint32_t>(payload.size());
  WriteHeader(h, d.data());
  std::memcpy(d.data() + kHeaderSize, payload.data(), payload.size());
  return d;
}

Header Video(uint32_t seq, uint8_t frame_type = 1, uint8_t fragment = kWholeUnit,
             uint32_t stream = 5) {
  Header h;
  h.stream_id = stream;
  h.sequence = seq;
  h.media = kMediaVideo;
  h.video_code = 96;
  h.frame_type = frame_type;
  h.fragment = fragment;
  h.width = 640;
  h.height = 360;
  h.frame_rate = 25;
  return h;
}

TEST(PrivateUdpHeader, FieldsAreBigEndianAtTheirOffsets) {
  Bytes d(kHeaderSize + 3, 0);
  const uint8_t fields[] = {
      0,    0,    0x12, 0x34,  // 4: stream identifier 0x1234
      0,    0,    0,    0,     // 8: not interpreted
      0xFF, 0xFF, 0xFF, 0xFE,  // 12: sequence number
      1,                       // 16: audio
      96,                      // 17: video payload code
      7,                       // 18: frame type
      3,                       // 19: last piece
      0xAA,                    // 20: not interpreted
      0xFF,                    // 21: server kind -1
      6,                       // 22: G.726-32
      0,                       // 23
      0,    0,    0,    3,     // 24: payload length
      0,    0,    0x05, 0x00,  // 28: width 1280
      0,    0,    0x02, 0xD0,  // 32: height 720
      0,    0,    0,    30,    // 36: frame rate
      0,    0x08, 0,    0,     // 40: bit rate
  };
  std::memcpy(d.data() + 4, fields, sizeof fields);
  Header h;
  ASSERT_EQ(ParseDatagram(d.data(), d.size(), &h), ParseResult::kOk);
  EXPECT_EQ(h.stream_id, 0x1234u);
  EXPECT_EQ(h.sequence, 0xFFFFFFFEu);
  EXPECT_EQ(h.media, 1);
  EXPECT_EQ(h.video_code, 96);
  EXPECT_EQ(h.frame_type, 7);
  EXPECT_EQ(h.fragment, 3);
  EXPECT_EQ(h.audio_code, 6);
  EXPECT_EQ(h.payload_length, 3u);
  EXPECT_EQ(h.width, 1280u);
  EXPECT_EQ(h.height, 720u);
  EXPECT_EQ(h.frame_rate, 30u);
  EXPECT_EQ(h.bit_rate, 0x80000u);
  const StreamParams p = ReadStreamParams(h);
  EXPECT_EQ(p.server_kind, -1);
  EXPECT_TRUE(p.width_ok && p.height_ok && p.frame_rate_ok && p.bit_rate_ok);

  // WriteHeader gives the same bytes back.
  Bytes again(kHeaderSize);
  WriteHeader(h, again.data());
  d[20] = 0;  // uninterpreted bytes are written as zero
  EXPECT_EQ(0, std::memcmp(again.data(), d.data(), kHeaderSize));
}

TEST(PrivateUdpHeader, LengthRule) {
  Bytes d = Datagram(Video(1), Bytes(10, 0x41));
  Header h;
  EXPECT_EQ(ParseDatagram(d.data(), 0, &h), ParseResult::kTooShort);  // zero-length datagram
  EXPECT_EQ(ParseDatagram(d.data(), 40, &h), ParseResult::kTooShort);
  EXPECT_EQ(ParseDatagram(d.data(), kHeaderSize, &h), ParseResult::kTooShort);
  EXPECT_EQ(ParseDatagram(d.data(), d.size(), &h), ParseResult::kOk);
  for (uint32_t bad : {9u, 11u, 0u, 0xFFFFFFFFu, 0x80000000u + 10u}) {
    d[24] = uint8_t(bad >> 24);
    d[25] = uint8_t(bad >> 16);
    d[26] = uint8_t(bad >> 8);
    d[27] = uint8_t(bad);
    EXPECT_EQ(ParseDatagram(d.data(), d.size(), &h), ParseResult::kLengthMismatch) << bad;
  }
}

TEST(PrivateUdpHeader, ZeroOrAbsurdSizesAndRatesAreNotTaken) {
  Header h = Video(1, 7);
  for (uint32_t w : {0u, 8u, 100000u, 0xFFFFFFFFu}) {
    h.width = w;
    EXPECT_FALSE(ReadStreamParams(h).width_ok) << w;
  }
  h.width = 1920;
  h.height = 0;
  h.frame_rate = 0;
  h.bit_rate = 0x80000000u;
  const StreamParams p = ReadStreamParams(h);
  EXPECT_TRUE(p.width_ok);
  EXPECT_FALSE(p.height_ok);
  EXPECT_FALSE(p.frame_rate_ok);
  EXPECT_FALSE(p.bit_rate_ok);
  h.frame_rate = 100000;
  EXPECT_FALSE(ReadStreamParams(h).frame_rate_ok);
}

TEST(PrivateUdpHeader, SequenceNumbersCompareAcrossTheWrap) {
  EXPECT_TRUE(SequenceAfter(1, 0));
  EXPECT_TRUE(SequenceAfter(0, 0xFFFFFFFFu));
  EXPECT_TRUE(SequenceAfter(5, 0xFFFFFFF0u));
  EXPECT_FALSE(SequenceAfter(0xFFFFFFF0u, 5));
  EXPECT_FALSE(SequenceAfter(7, 7));
}

TEST(ReorderPool, KeepsEachSequenceOnceAndFreesSlotsOnTake) {
  ReorderPool pool;
  Bytes a(100, 0xA1), b(3072, 0xB2), big(3073, 0);
  EXPECT_EQ(pool.Put(10, a.data(), a.size(), 1), ReorderPool::PutResult::kStored);
  // A duplicate must not take a second slot.
  EXPECT_EQ(pool.Put(10, a.data(), a.size(), 2), ReorderPool::PutResult::kDuplicate);
  EXPECT_EQ(pool.Put(11, b.data(), b.size(), 3), ReorderPool::PutResult::kStored);
  EXPECT_EQ(pool.Put(12, big.data(), big.size(), 3), ReorderPool::PutResult::kTooLong);
  EXPECT_EQ(pool.entries(), 2u);
  EXPECT_EQ(pool.free_slots(), kSlotCount - 2);

  Bytes out(kSlotSize);
  EXPECT_EQ(pool.Take(12, out.data()), 0u);
  ASSERT_EQ(pool.Take(11, out.data()), 3072u);
  EXPECT_EQ(out[3071], 0xB2);
  EXPECT_FALSE(pool.Contains(11));
  EXPECT_EQ(pool.free_slots(), kSlotCount - 1);
  pool.Clear();
  EXPECT_EQ(pool.entries(), 0u);
  EXPECT_EQ(pool.free_slots(), kSlotCount);
}

TEST(ReorderPool, FullPoolRefusesAndNoSlotIsReusedWhileHeld) {
  ReorderPool pool;
  for (uint32_t s = 0; s < kSlotCount; ++s) {
    Bytes d(8, uint8_t(s));
    ASSERT_EQ(pool.Put(s, d.data(), d.size(), 0), ReorderPool::PutResult::kStored);
  }
  Bytes d(8, 0xEE);
  EXPECT_EQ(pool.Put(1000, d.data(), d.size(), 0), ReorderPool::PutResult::kFull);
  Bytes out(kSlotSize);
  ASSERT_EQ(pool.Take(17, out.data()), 8u);
  EXPECT_EQ(pool.Put(1000, d.data(), d.size(), 0), ReorderPool::PutResult::kStored);
  // Every other datagram still holds its own bytes.
  for (uint32_t s = 0; s < kSlotCount; ++s) {
    if (s == 17) continue;
    ASSERT_EQ(pool.Take(s, out.data()), 8u);
    EXPECT_EQ(out[0], uint8_t(s));
  }
  ASSERT_EQ(pool.Take(1000, out.data()), 8u);
  EXPECT_EQ(out[7], 0xEE);
}

// Records what the ordering logic hands on.
class Recorder : public StreamHandler {
 public:
  bool OnStreamStart(const Header& h) override {
    starts.push_back(h.sequence);
    return accept_start;
  }
  void OnDatagram(const Header& h, uint8_t* payload, size_t size) override {
    order.push_back(h.sequence);
    EXPECT_EQ(size, h.payload_length);
    EXPECT_EQ(payload[0], uint8_t(h.sequence));
  }
  void OnDrop(Drop reason) override { drops.push_back(reason); }

  std::vector<uint32_t> starts, order;
  std::vector<Drop> drops;
  bool accept_start = true;
};

class StreamOrderTest : public ::testing::Test {
 protected:
  void Push(Header h, bool from_device = true) {
    Bytes d = Datagram(h, Bytes(20, uint8_t(h.sequence)));
    order_.Push(d.data(), d.size(), from_device, 0);
  }
  void Key(uint32_t seq, uint8_t fragment = kWholeUnit, uint32_t stream = 5) {
    Push(Video(seq, kKeyFrameType, fragment, stream));
  }

  Recorder rec_;
  StreamOrder order_{&rec_};
};

TEST_F(StreamOrderTest, NothingBeforeAKeyDatagramThatStartsAUnit) {
  Push(Video(1));
  Key(2, kMiddlePiece);
  Key(3, kLastPiece);
  Header audio = Video(4, kKeyFrameType);
  audio.media = kMediaAudio;
  Push(audio);
  EXPECT_TRUE(rec_.order.empty());
  EXPECT_FALSE(order_.synchronised());
  Key(5, kFirstPiece);
  EXPECT_EQ(rec_.starts, std::vector<uint32_t>{5});
  EXPECT_EQ(rec_.order, std::vector<uint32_t>{5});
}

TEST_F(StreamOrderTest, ReorderedDatagramsAreProcessedInSequence) {
  Key(9);
  Push(Video(10));
  Push(Video(12));
  Push(Video(11));
  Push(Video(15));
  Push(Video(14));
  Push(Video(13));
  EXPECT_EQ(rec_.order, (std::vector<uint32_t>{9, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(order_.pool().entries(), 0u);
}

TEST_F(StreamOrderTest, AStreamCountingFromZeroAndTheWrapAreFollowed) {
  Key(0);  // 0 is an ordinary sequence number, not "not synchronised"
  Push(Video(1));
  Push(Video(2));
  EXPECT_EQ(rec_.order, (std::vector<uint32_t>{0, 1, 2}));

  Key(0xFFFFFFFEu, kWholeUnit, 6);
  Push(Video(0, 1, kWholeUnit, 6));  // ahead of its predecessor across the wrap
  Push(Video(0xFFFFFFFFu, 1, kWholeUnit, 6));
  Push(Video(1, 1, kWholeUnit, 6));
  Push(Video(0xFFFFFFF0u, 1, kWholeUnit, 6));  // long past: dropped
  EXPECT_EQ(rec_.order, (std::vector<uint32_t>{0, 1, 2, 0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}));
  EXPECT_EQ(rec_.drops.back(), Drop::kStale);
}

TEST_F(StreamOrderTest, DuplicatesAreDroppedAndLeakNoSlots) {
  Key(100);
  Push(Video(100));  // duplicate of the last processed
  // One missing datagram (101) and everything after it arriving twice.
  for (uint32_t s = 102; s < 102 + 100; ++s) {
    Push(Video(s));
    Push(Video(s));
  }
  EXPECT_EQ(order_.pool().entries(), 100u);
  EXPECT_EQ(order_.pool().free_slots(), kSlotCount - 100);
  EXPECT_TRUE(order_.synchronised());
  Push(Video(101));
  ASSERT_EQ(rec_.order.size(), 102u);
  for (size_t i = 0; i < rec_.order.size(); ++i) EXPECT_EQ(rec_.order[i], 100 + i);
  EXPECT_EQ(order_.pool().free_slots(), kSlotCount);
}

TEST_F(StreamOrderTest, AGapWith128WaitingDatagramsWaitsForTheNextKeyFrame) {
  Key(1);
  for (uint32_t s = 3; s < 3 + kResyncEntries - 1; ++s) Push(Video(s));
  EXPECT_TRUE(order_.synchronised());
  Push(Video(3 + kResyncEntries - 1));
  EXPECT_FALSE(order_.synchronised());
  const size_t processed = rec_.order.size();
  Push(Video(2));  // too late: the gap was given up
  Push(Video(500));
  Key(501, kMiddlePiece);
  EXPECT_EQ(rec_.order.size(), processed);
  Key(502, kFirstPiece);
  EXPECT_TRUE(order_.synchronised());
  EXPECT_EQ(order_.pool().entries(), 0u);
  EXPECT_EQ(rec_.starts, (std::vector<uint32_t>{1, 502}));
}

TEST_F(StreamOrderTest, ANewStreamIdentifierRestartsAtItsKeyDatagram) {
  Key(1, kWholeUnit, 5);
  Push(Video(2, 1, kWholeUnit, 5));
  // A straggler of another stream that cannot start one leaves this one be.
  Push(Video(77, 1, kWholeUnit, 9));
  EXPECT_TRUE(order_.synchronised());
  Push(Video(3, 1, kWholeUnit, 5));
  Key(0, kFirstPiece, 9);
  EXPECT_EQ(order_.stream_id(), 9u);
  Push(Video(1, 7, kLastPiece, 9));
  Push(Video(4, 1, kWholeUnit, 5));  // the old stream is over
  EXPECT_EQ(rec_.starts, (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(rec_.order, (std::vector<uint32_t>{1, 2, 3, 0, 1}));
}

TEST_F(StreamOrderTest, ForeignShortAndMisdeclaredDatagramsAreDroppedWithTheirTexts) {
  Key(1);
  Push(Video(2), /*from_device=*/false);
  Bytes empty;
  order_.Push(empty.data(), 0, true, 0);
  Bytes bare(kHeaderSize, 0);
  order_.Push(bare.data(), bare.size(), true, 0);
  Bytes wrong = Datagram(Video(2), Bytes(20, 2));
  wrong[27] = 21;
  order_.Push(wrong.data(), wrong.size(), true, 0);
  EXPECT_EQ(rec_.order, std::vector<uint32_t>{1});
  ASSERT_EQ(rec_.drops.size(), 4u);
  EXPECT_STREQ(DropText(rec_.drops[0]), "recvfrom other source\n");
  EXPECT_STREQ(DropText(rec_.drops[1]), "udp ret length too small\n");
  EXPECT_STREQ(DropText(rec_.drops[2]), "udp ret length too small\n");
  EXPECT_STREQ(DropText(rec_.drops[3]), "udp data length err\n");
  // Out of order and longer than a slot: refused with its own text.
  Bytes big = Datagram(Video(5), Bytes(kSlotSize, 5));
  order_.Push(big.data(), big.size(), true, 0);
  EXPECT_STREQ(DropText(rec_.drops.back()), "setbuffer len too long!!!!!!!!!!!!\n");
  EXPECT_EQ(order_.pool().entries(), 0u);
  Push(Video(2));
  EXPECT_EQ(rec_.order, (std::vector<uint32_t>{1, 2}));
}

TEST_F(StreamOrderTest, ARefusedStartLeavesTheStreamUnsynchronised) {
  rec_.accept_start = false;
  Key(1);
  Push(Video(2));
  EXPECT_FALSE(order_.synchronised());
  EXPECT_TRUE(rec_.order.empty());
  rec_.accept_start = true;
  Key(3);
  EXPECT_EQ(rec_.order, std::vector<uint32_t>{3});
}

// ---- Picture assembly -----------------------------------------------------------

struct Pictures : PictureAssembler::Sink {
  void OnPicture(PictureAssembler::Picture& p) override {
    pictures.emplace_back(p.block + kPictureReserve, p.block + kPictureReserve + p.size);
    keys.push_back(p.key);
    types.push_back(p.frame_type);
  }
  void OnPictureLost() override { ++lost; }
  std::vector<Bytes> pictures;
  std::vector<bool> keys;
  std::vector<int> types;
  int lost = 0;
};

const Bytes kSps = {0x67, 0x42, 0x00, 0x1E};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
// Slices: the bit after the NAL header byte set means first_mb_in_slice 0.
const Bytes kIdrHead = {0x65, 0x88, 0x84};
const Bytes kIdrMid = {0x11, 0x22};
const Bytes kIdrTail = {0x33};
const Bytes kP = {0x41, 0x9A, 0x01};
const Bytes kPSecondSlice = {0x41, 0x40, 0x02};  // first_mb_in_slice != 0

Bytes Annexb(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

TEST(PictureAssembler, PiecesBecomeWholePicturesWithStartCodes) {
  PictureAssembler a;
  Pictures s;
  a.Push(kWholeUnit, kSps.data(), kSps.size(), &s);
  a.Push(kWholeUnit, kPps.data(), kPps.size(), &s);
  a.Push(kFirstPiece, kIdrHead.data(), kIdrHead.size(), &s);
  a.Push(kMiddlePiece, kIdrMid.data(), kIdrMid.size(), &s);
  a.Push(kLastPiece, kIdrTail.data(), kIdrTail.size(), &s);
  EXPECT_TRUE(s.pictures.empty());  // complete only when the next one begins
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  a.Push(kWholeUnit, kPSecondSlice.data(), kPSecondSlice.size(), &s);
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  ASSERT_EQ(s.pictures.size(), 2u);
  Bytes idr = kIdrHead;
  idr.insert(idr.end(), kIdrMid.begin(), kIdrMid.end());
  idr.insert(idr.end(), kIdrTail.begin(), kIdrTail.end());
  EXPECT_EQ(s.pictures[0], Annexb({kSps, kPps, idr}));
  EXPECT_TRUE(s.keys[0]);
  EXPECT_EQ(s.types[0], 7);
  // Two slices of one picture stay together.
  EXPECT_EQ(s.pictures[1], Annexb({kP, kPSecondSlice}));
  EXPECT_FALSE(s.keys[1]);
  EXPECT_EQ(s.types[1], 1);
  EXPECT_EQ(s.lost, 0);
}

TEST(PictureAssembler, APictureWithAMissingPieceIsThrownAwayWhole) {
  PictureAssembler a;
  Pictures s;
  // Middle piece without its first piece.
  a.Push(kWholeUnit, kSps.data(), kSps.size(), &s);
  a.Push(kWholeUnit, kPps.data(), kPps.size(), &s);
  a.Push(kMiddlePiece, kIdrMid.data(), kIdrMid.size(), &s);
  a.Push(kLastPiece, kIdrTail.data(), kIdrTail.size(), &s);
  EXPECT_EQ(s.lost, 1);
  // First piece whose last piece never comes, then the next unit.
  a.Push(kFirstPiece, kP.data(), kP.size(), &s);
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  EXPECT_EQ(s.lost, 2);
  a.Push(kWholeUnit, kSps.data(), kSps.size(), &s);
  a.Push(kWholeUnit, kIdrHead.data(), kIdrHead.size(), &s);
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  // Only complete pictures came out: the damaged ones are gone.
  ASSERT_EQ(s.pictures.size(), 2u);
  EXPECT_EQ(s.pictures[0], Annexb({kP}));
  EXPECT_EQ(s.pictures[1], Annexb({kSps, kIdrHead}));
  EXPECT_TRUE(s.keys[1]);
  // An unknown fragment position and an empty payload break the picture too.
  a.Push(9, kP.data(), kP.size(), &s);
  EXPECT_EQ(s.lost, 3);
  a.Push(kWholeUnit, kP.data(), 0, &s);
  EXPECT_EQ(s.lost, 3);  // already broken
}

TEST(PictureAssembler, OversizedPicturesAreDropped) {
  PictureAssembler a(64);
  Pictures s;
  Bytes huge(40, 0x41);
  huge[1] = 0x80;
  a.Push(kFirstPiece, huge.data(), huge.size(), &s);
  a.Push(kLastPiece, huge.data(), huge.size(), &s);
  EXPECT_EQ(s.lost, 1);
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  a.Push(kWholeUnit, kP.data(), kP.size(), &s);
  ASSERT_EQ(s.pictures.size(), 1u);
  EXPECT_EQ(s.pictures[0], Annexb({kP}));
}

}  // namespace
}  // namespace quornet::pudp
