// libFuzzer target: every MCTP reply parser over arbitrary device bytes.
// Invariants: no parser reads outside the reply, and a rejected reply leaves
// the caller's output untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "control/mctp.h"
#include "control/nvr_report.h"

using namespace quornet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A reply is read with one receive of at most 1024 bytes.
  if (size > mctp::kReplyCapacity) size = mctp::kReplyCapacity;
  std::string_view reply(reinterpret_cast<const char*>(data), size);

  int lines = mctp::CountLines(reply);
  size_t total = 0;
  for (int i = 0; i < lines; ++i) total += mctp::LineAt(reply, i).size();
  if (total != size || !mctp::LineAt(reply, lines).empty()) abort();

  mctp::VideoParams vp{7, 7, 7};
  if (!mctp::ParseGetVideoParamReply(reply, &vp) &&
      (vp.brightness != 7 || vp.contrast != 7 || vp.saturation != 7)) {
    abort();
  }
  for (int n = 3; n <= 8; ++n) (void)mctp::ParseResultReply(reply, n);

  MotionRegionRecord rec;
  std::memset(&rec, 0x5A, sizeof rec);
  if (!mctp::ParseGetMdReply(reply, &rec)) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&rec);
    for (size_t i = 0; i < sizeof rec; ++i) {
      if (p[i] != 0x5A) abort();
    }
  }
  (void)mctp::ParseAliveReply(reply);
  mctp::TalkReply talk;
  (void)mctp::ParseTalkReply(reply, &talk);

  int32_t fields[8];
  if (mctp::ScanFields(reply, 8, fields) > 8) abort();

  int32_t value = 0;
  if (nvr::ParseReport(reply, &value) && (value & ~0xFFFF) != 0) abort();
  (void)nvr::HandshakeAccepted(reply);
  return 0;
}
