// libFuzzer target: the interleaved framing reader fed in chunks of varying
// size. Invariants: items lie inside the buffer, channels are 0..3 or text,
// packets are never empty, and the buffered byte count stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/interleaved.h"

using namespace quornet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InterleavedParser p;
  size_t pos = 0;
  size_t chunk = 1;
  while (pos < size) {
    size_t room = 0;
    uint8_t* w = p.WriteSpace(&room);
    if (room == 0) abort();
    size_t n = chunk < room ? chunk : room;
    if (n > size - pos) n = size - pos;
    std::memcpy(w, data + pos, n);
    p.Commit(n);
    pos += n;
    chunk = chunk * 3 % 1777 + 1;
    InterleavedParser::Item item;
    InterleavedParser::Status s;
    while ((s = p.Next(&item)) == InterleavedParser::Status::kItem) {
      if (item.size == 0) abort();
      if (item.channel != InterleavedParser::kTextChannel &&
          (item.channel < 0 || item.channel > 3)) {
        abort();
      }
      if (item.channel == InterleavedParser::kTextChannel &&
          item.size > InterleavedParser::kMaxText) {
        abort();
      }
      volatile uint8_t sink = item.data[0] ^ item.data[item.size - 1];
      (void)sink;
    }
    if (s == InterleavedParser::Status::kError) return 0;
    if (p.buffered() > InterleavedParser::kMaxBuffered) abort();
  }
  return 0;
}
