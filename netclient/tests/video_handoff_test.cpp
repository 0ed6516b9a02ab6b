// Hand-off rules between the depacketisers and a real video conduit: a full
// conduit stops hand-over until the next key frame start, which empties it;
// after lost data only a picture that brings its parameter sets goes through.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "net/rtp_receivers.h"
#include "net/video_depacketizer.h"
#include "net/video_picture.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {
namespace {

using Bytes = std::vector<uint8_t>;

RtpPacket Payload(const Bytes& payload, bool marker = false) {
  RtpPacket p;
  p.payload = payload.data();
  p.payload_size = payload.size();
  p.marker = marker;
  return p;
}

class VideoHandoffTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(conduit_.Create(256, 0, 64, 1)); }

  // One H.264 picture: SPS + PPS + IDR (key) or one non-IDR slice, the
  // marker on the slice.
  void Send(bool key, size_t slice_size, bool loss = false) {
    Bytes slice(slice_size, 0x91);  // first_mb_in_slice 0
    if (key) {
      depacketizer_->Push(Payload(Bytes{0x67, 1}), loss, &handoff_);
      depacketizer_->Push(Payload(Bytes{0x68, 2}), false, &handoff_);
      slice[0] = 0x65;
    } else {
      slice[0] = 0x41;
    }
    depacketizer_->Push(Payload(slice, true), key ? false : loss, &handoff_);
  }

  // Frames in the conduit: true for a key picture (starts with an SPS).
  std::vector<bool> Drain() {
    std::vector<bool> out;
    uint8_t buf[256];
    uint32_t left = 0;
    FrameHeader h{};
    while (uint32_t n = conduit_.ReadFrameIfPresent(buf, sizeof buf, &left, &h, 0)) {
      out.push_back(H264PictureHasSps(buf, n));
    }
    return out;
  }

  CClientSession session_;
  CBufferConduit conduit_;
  VideoHandoff handoff_{session_, &conduit_, nullptr, kVideoCodeH264};
  std::unique_ptr<VideoDepacketizer> depacketizer_ = MakeH264Depacketizer(kH264FrameBufferSize);
};

TEST_F(VideoHandoffTest, FullConduitRecoversAtNextKeyFrameWithEmptiedConduit) {
  Send(true, 40);   // 56 bytes with start codes and parameter sets
  Send(false, 70);  // 74
  Send(false, 70);  // 74: 204 buffered
  Send(false, 70);  // 278 > 256: refused
  Send(false, 10);  // would fit, but nothing goes until the next key frame
  EXPECT_EQ(Drain(), (std::vector<bool>{true, false, false}));
  Send(false, 10);
  Send(true, 20);
  Send(false, 10);
  EXPECT_EQ(Drain(), (std::vector<bool>{true, false}));
}

TEST_F(VideoHandoffTest, LossHoldsPicturesUntilOneBringsParameterSets) {
  Send(true, 20);
  Send(false, 10);
  Send(false, 10, /*loss=*/true);  // references a lost picture
  Send(false, 10);
  Send(true, 20);
  Send(false, 10);
  EXPECT_EQ(Drain(), (std::vector<bool>{true, false, true, false}));
}

// Third-party encoders put a delimiter in front of the parameter sets; a
// picture above the bound is counted in the session.
TEST_F(VideoHandoffTest, LossResyncsAtKeyPictureBehindDelimiterAndOversizeIsCounted) {
  Send(true, 20);
  Send(false, 10, /*loss=*/true);
  depacketizer_->Push(Payload(Bytes{0x09, 0xF0}), false, &handoff_);
  Send(true, 20);
  Send(false, 10);
  EXPECT_EQ(Drain(), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(session_.oversized_pictures.load(), 0u);
  handoff_.OnPictureTooLarge(size_t{17} << 20);
  EXPECT_EQ(session_.oversized_pictures.load(), 1u);
}

// An H.265 sender with its parameter sets only in the description (or only
// in front of a first IDR picture we missed): the stream starts at the first
// IRAP picture, which (like the first one after a loss) reaches the decoder
// behind the described sets.
TEST(VideoHandoffH265, DescribedParameterSetsGoInFrontOfPicturesWithoutThem) {
  CClientSession session;
  const Bytes sets = {0,    0,    0,    1, 0x40, 0x01, 0x0C, 0,    0,    0,   1,
                      0x42, 0x01, 0x01, 0, 0,    0,    1,    0x44, 0x01, 0xC1};
  std::copy(sets.begin(), sets.end(), session.video_parameter_sets);
  session.video_parameter_sets_size = uint32_t(sets.size());
  CBufferConduit conduit;
  ASSERT_TRUE(conduit.Create(1024, 0, 64, 1));
  VideoHandoff handoff(session, &conduit, nullptr, kVideoCodeH265);
  auto d = MakeH265Depacketizer(kH264FrameBufferSize);
  const Bytes cra = {21 << 1, 1, 0xAF, 0x01};
  const Bytes trail = {1 << 1, 1, 0x80, 0x02};
  uint32_t ts = 0;
  auto send = [&](const Bytes& unit, bool loss = false) {
    RtpPacket p = Payload(unit, true);
    p.timestamp = ts += 3600;
    d->Push(p, loss, &handoff);
  };
  send(trail);                 // joined between key pictures: held
  send(cra);                   // the first key picture: sets in front
  send(trail);                 // then as it is
  send(trail, /*loss=*/true);  // held: not key
  send(trail);                 // held
  send(cra);                   // key with the described sets
  send(trail);
  std::vector<Bytes> got;
  uint8_t buf[256];
  uint32_t left = 0;
  FrameHeader h{};
  while (uint32_t n = conduit.ReadFrameIfPresent(buf, sizeof buf, &left, &h, 0)) {
    got.emplace_back(buf, buf + n);
  }
  auto with_sets = [&](const Bytes& unit) {
    Bytes b = sets;
    b.insert(b.end(), {0, 0, 0, 1});
    b.insert(b.end(), unit.begin(), unit.end());
    return b;
  };
  auto alone = [](const Bytes& unit) {
    Bytes b = {0, 0, 0, 1};
    b.insert(b.end(), unit.begin(), unit.end());
    return b;
  };
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], with_sets(cra));
  EXPECT_EQ(got[1], alone(trail));
  EXPECT_EQ(got[2], with_sets(cra));
  EXPECT_EQ(got[3], alone(trail));
}

TEST(AudioHandoff, BacklogAbove3072BytesIsDroppedAndDisabledAudioIsNotQueued) {
  CClientSession session;
  CBufferConduit audio;
  ASSERT_TRUE(audio.Create(0x20000, 0, 0x2000, 1));
  uint8_t packet[4 + 160] = {};
  uint8_t* payload = packet + 4;
  HandOffAudio(session, &audio, nullptr, payload, 160);
  EXPECT_EQ(audio.Buffered(), 0u);  // audio not enabled
  session.audio_enabled.store(1);
  for (int i = 0; i < 20; ++i) HandOffAudio(session, &audio, nullptr, payload, 160);
  EXPECT_EQ(audio.Buffered(), 3200u);  // grows while at most 3072 are waiting
  HandOffAudio(session, &audio, nullptr, payload, 160);
  EXPECT_EQ(audio.Buffered(), 160u);  // 3200 > 3072: emptied first
  EXPECT_EQ(audio.FrameCount(), 1u);
}

}  // namespace
}  // namespace quornet
