// libFuzzer target: the private UDP stream's header parser, ordering and
// picture assembly fed a sequence of datagrams. Each record of the input is
// either raw bytes or a well-formed header built from a few input bytes (with
// an optionally wrong length field), so that the fuzzer reaches the ordering
// and assembly paths quickly.
// Invariants: datagrams come out in sequence order with their declared
// length, the pool never holds more than the resynchronisation limit and
// never loses a slot, pictures are start-coded and within their bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/private_udp.h"

using namespace quornet::pudp;

namespace {

constexpr size_t kFuzzMaxPicture = 8192;

struct Checker : StreamHandler, PictureAssembler::Sink {
  bool OnStreamStart(const Header& h) override {
    started = true;
    next = h.sequence;
    assembler.Reset();
    return (h.width & 1) == 0;  // let some starts be refused
  }
  void OnDatagram(const Header& h, uint8_t* payload, size_t size) override {
    if (!started || h.sequence != next) abort();
    if (size != h.payload_length || size == 0 || size > kDatagramCapacity) abort();
    // The four bytes in front of the payload are writable.
    std::memset(payload - 4, 0xA5, 4);
    volatile uint8_t last = payload[size - 1];
    (void)last;
    next = h.sequence + 1;
    if (h.media == kMediaVideo) assembler.Push(h.fragment, payload, size, this);
  }
  void OnPicture(PictureAssembler::Picture& p) override {
    if (p.size < 5 || p.size > kFuzzMaxPicture) abort();
    const uint8_t* pic = p.block + kPictureReserve;
    if (pic[0] != 0 || pic[1] != 0 || pic[2] != 0 || pic[3] != 1) abort();
    std::memset(p.block, 0, kPictureReserve);
  }
  void OnPictureLost() override {}

  PictureAssembler assembler{kFuzzMaxPicture};
  bool started = false;
  uint32_t next = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Checker checker;
  StreamOrder order(&checker);
  std::vector<uint8_t> d;
  uint32_t seq = 0;
  size_t pos = 0;
  while (pos < size) {
    const uint8_t c = data[pos++];
    d.clear();
    if (c & 0x80) {
      // Raw datagram of up to 4 KiB.
      if (pos + 2 > size) break;
      size_t n = (size_t(data[pos]) << 8 | data[pos + 1]) % (kDatagramCapacity + 1);
      pos += 2;
      if (n > size - pos) n = size - pos;
      d.assign(data + pos, data + pos + n);
      pos += n;
    } else {
      // Built header: sequence step, stream, media, frame type, fragment,
      // payload length.
      if (pos + 4 > size) break;
      const uint8_t step = data[pos];
      const uint8_t kinds = data[pos + 1];
      size_t n = size_t(data[pos + 2]) * 16 + (data[pos + 3] & 15);
      pos += 4;
      seq += uint32_t(int8_t(step));
      Header h;
      h.stream_id = (kinds >> 6) & 1;
      h.sequence = seq;
      h.media = (kinds >> 4) & 3;
      h.frame_type = (kinds & 8) ? kKeyFrameType : 1;
      h.fragment = kinds & 7;
      h.width = c;
      if (n > kDatagramCapacity - kHeaderSize) n = kDatagramCapacity - kHeaderSize;
      const size_t avail = size - pos;
      const size_t take = n < avail ? n : avail;
      h.payload_length = uint32_t(n);
      d.resize(kHeaderSize + n, 0);
      WriteHeader(h, d.data());
      std::memcpy(d.data() + kHeaderSize, data + pos, take);
      pos += take;
      if (c & 0x40) d[27] ^= uint8_t(c & 0x3F);  // a wrong length field
    }
    order.Push(d.data(), d.size(), (c & 0x20) == 0, 0);
    const ReorderPool& pool = order.pool();
    if (pool.entries() + pool.free_slots() != kSlotCount) abort();
    if (pool.entries() > kResyncEntries) abort();
  }
  return 0;
}
