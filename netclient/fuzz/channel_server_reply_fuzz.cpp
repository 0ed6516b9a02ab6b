// libFuzzer target: the channel-server reply tests over arbitrary bytes.
// Invariant: once a key reply counts as complete, no further bytes change
// its key (a reply split anywhere never yields another key than the whole).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control/channel_server.h"

using namespace quornet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > chansrv::kReplyCapacity) size = chansrv::kReplyCapacity;
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  const int32_t whole = chansrv::ParseKey(reply);
  // The shortest complete prefix must already give the whole reply's key.
  for (size_t cut = 0; cut <= size; ++cut) {
    std::string_view part = reply.substr(0, cut);
    if (!chansrv::KeyReplyComplete(part)) continue;
    // Bytes after an "END\n" or after the key line's line feed must not
    // change the key, unless the complete prefix had no key at all.
    int32_t early = chansrv::ParseKey(part);
    if (early != -1 && early != whole) abort();
    break;
  }
  (void)chansrv::StatusLineComplete(reply);
  (void)chansrv::HasOk(reply);
  return 0;
}
