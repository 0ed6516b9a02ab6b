// libFuzzer target: the H.265 depacketiser (RFC 7798), the H.265 key-picture
// rules and the H.265 SPS reader. The input is cut into RTP packets by a
// 2-byte length prefix; the first byte picks decoding order numbers (bit 0)
// and the UDP loss check (bit 1). Invariants: every handed-over picture fits
// its buffer and its bound, starts with a start code and a unit header with
// the forbidden bit clear, has frame type 1 or 7; a picture with an SPS is
// key; the SPS reader stays inside the unit and gives plausible sizes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/packet_feed.h"
#include "net/h264_sps.h"
#include "net/rtp.h"
#include "net/video_depacketizer.h"
#include "net/video_picture.h"

using namespace quornet;

namespace {

class CheckingSink : public VideoFrameSink {
 public:
  void OnKeyFrameStart() override {}
  void OnDataLost() override {}
  void OnPicture(FrameBuffer* b, int type) override {
    if (b->size() > b->max_picture()) abort();
    if (b->size() + FrameBuffer::kRecordHeaderSize > b->capacity()) abort();
    if (b->capacity() > b->max_picture() + FrameBuffer::kRecordHeaderSize) abort();
    const uint8_t* p = b->picture();
    if (b->size() < 6 || p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 1) abort();
    if ((p[4] & 0x80) != 0) abort();
    if (type != 1 && type != 7) abort();
    const uint8_t* sps = nullptr;
    size_t sps_size = 0;
    if (H265PictureHasSps(p, b->size(), &sps, &sps_size)) {
      if (!H265PictureIsKey(p, b->size())) abort();
      if (sps < p || sps + sps_size > p + b->size()) abort();
      SpsPictureSize s;
      if (ParseH265SpsPictureSize(sps, sps_size, &s) &&
          (s.width < 1 || s.width > 16384 || s.height < 1 || s.height > 16384)) {
        abort();
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool donl = (data[0] & 1) != 0;
  const bool udp = (data[0] & 2) != 0;
  auto d = MakeH265Depacketizer(64, donl, 4096);
  CheckingSink sink;
  fuzz::FeedPackets(data, size, 1, udp, d.get(), &sink);
  return 0;
}
