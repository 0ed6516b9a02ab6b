// libFuzzer target: the H.264 and JPEG depacketisers and the RTP header
// parser. The input is cut into packets by a 2-byte length prefix; the first
// byte picks the payload format. Invariants: every handed-over picture fits
// its buffer and its bound, the buffer never grows past the bound, H.264
// pictures start with a start code and carry a slice type (7 for IDR),
// JPEG pictures start with SOI and end with EOI.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/packet_feed.h"
#include "net/rtp.h"
#include "net/video_depacketizer.h"
#include "net/video_picture.h"

using namespace quornet;

namespace {

class CheckingSink : public VideoFrameSink {
 public:
  explicit CheckingSink(bool h264) : h264_(h264) {}
  void OnKeyFrameStart() override {}
  void OnDataLost() override {}
  void OnPicture(FrameBuffer* b, int type) override {
    if (b->size() > b->max_picture()) abort();
    if (b->size() + FrameBuffer::kRecordHeaderSize > b->capacity()) abort();
    if (b->capacity() > b->max_picture() + FrameBuffer::kRecordHeaderSize) abort();
    const uint8_t* p = b->picture();
    if (h264_) {
      if (b->size() < 5 || p[0] != 0 || p[1] != 0 || p[2] != 0 || p[3] != 1) abort();
      if (type < 1 || type > 7 || type == 5 || type == 6) abort();
      // The key tests scan the picture (ASan checks they stay inside it).
      if (H264PictureHasSps(p, b->size()) && !H264PictureIsKey(p, b->size())) abort();
    } else {
      if (b->size() < 4 || p[0] != 0xFF || p[1] != 0xD8) abort();
      if (p[b->size() - 2] != 0xFF || p[b->size() - 1] != 0xD9) abort();
    }
  }

 private:
  bool h264_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool h264 = (data[0] & 1) != 0;
  const bool udp = (data[0] & 2) != 0;
  auto d = h264 ? MakeH264Depacketizer(64, 4096) : MakeJpegDepacketizer(64, 8192);
  CheckingSink sink(h264);
  fuzz::FeedPackets(data, size, 1, udp, d.get(), &sink);
  return 0;
}
