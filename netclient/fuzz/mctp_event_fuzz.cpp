// libFuzzer target: the event channel extractor fed in chunks of arbitrary
// sizes, and the meaning of every message it hands out.
// Invariants: the buffer never holds more than its capacity, every message
// starts with "CMD" and ends with "END\n", motion masks name regions 0 to 15.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/mctp_event.h"

using namespace quornet::mctp;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the receive size, as a network would split the data.
  size_t chunk = size_t(data[0]) * 8 + 1;
  ++data;
  --size;
  EventBuffer buf;
  std::string msg;
  while (size > 0) {
    auto span = buf.PrepareWrite();
    if (span.empty()) abort();
    size_t n = std::min({chunk, size, span.size()});
    std::memcpy(span.data(), data, n);
    buf.Commit(n);
    data += n;
    size -= n;
    if (buf.held() > EventBuffer::kCapacity) abort();
    while (buf.Next(&msg)) {
      if (msg.size() < 7 || msg.compare(0, 3, "CMD") != 0 ||
          msg.compare(msg.size() - 4, 4, "END\n") != 0) {
        abort();
      }
      EventMessage ev = ParseEventMessage(msg);
      if (ev.mask >> 16) abort();
      if (ev.kind != EventMessage::Kind::kMotion && ev.mask != 0) abort();
    }
  }
  return 0;
}
