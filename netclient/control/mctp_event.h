// The device event channel: framing of the byte stream into MCTP messages and
// the meaning of each message. No sockets here; CEventReceiver2 feeds the
// bytes it receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "control/mctp.h"

namespace quornet::mctp {

// Incremental message extractor over a fixed 4096-byte buffer.
//
// A message runs from "CMD" up to and including the next "END\n"; bytes in
// front of its "CMD" are dropped with it. An incomplete message stays for the
// next receive. Not thread-safe: one receiver thread owns it.
class EventBuffer {
 public:
  static constexpr size_t kCapacity = 4096;

  // The free space behind the bytes held, for the next receive. When the
  // buffer is full and holds no complete message, its contents are discarded
  // first, so the span is never empty.
  std::span<char> PrepareWrite();
  // Counts `bytes` received into the span of the last PrepareWrite.
  void Commit(size_t bytes);
  // Takes the next complete message; false when none is held.
  bool Next(std::string* message);

  size_t held() const { return held_; }

 private:
  char buf_[kCapacity];
  size_t held_ = 0;
};

// What one event message asks for.
struct EventMessage {
  enum class Kind {
    kIgnored,    // nothing to report (unknown, keep-alive echo, rejected)
    kMotion,     // motion report: mask (may be 0) and rectangles
    kAlarm,      // alarm input report
    kMalformed,  // alarm message with a line count other than 3
  };
  Kind kind = Kind::kIgnored;
  uint32_t mask = 0;        // kMotion: bit i set when region i reported motion
  MotionRect rect[16]{};    // kMotion: valid where the mask bit is set
  int32_t alarm_input = 0;  // kAlarm
};

// Interprets one message taken from an EventBuffer.
//
// "CMD:MD": 3 to 18 lines (else ignored); every line after the first with 8
// values, the second being 1 and the third (the region) 0 to 15 sets the
// region's bit and rectangle (values 4 to 7); other lines are skipped.
// "CMD:ALARM": exactly 3 lines; line 2 "@2@<input>" reports <input>, any
// other first value is ignored.
// "CMD:ALIVE" and anything else: ignored.
EventMessage ParseEventMessage(std::string_view message);

}  // namespace quornet::mctp
