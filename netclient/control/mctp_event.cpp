#include "control/mctp_event.h"

#include <cstring>

namespace quornet::mctp {

std::span<char> EventBuffer::PrepareWrite() {
  // A full buffer without a complete message can never complete one: the
  // device sent more than a message may hold. Start over.
  if (held_ == kCapacity) held_ = 0;
  return std::span<char>(buf_ + held_, kCapacity - held_);
}

void EventBuffer::Commit(size_t bytes) {
  if (bytes > kCapacity - held_) bytes = kCapacity - held_;
  held_ += bytes;
}

bool EventBuffer::Next(std::string* message) {
  std::string_view held(buf_, held_);
  size_t start = held.find("CMD");
  if (start == std::string_view::npos) return false;
  size_t end = held.find("END\n", start + 3);
  if (end == std::string_view::npos) return false;
  end += 4;
  message->assign(held.substr(start, end - start));
  std::memmove(buf_, buf_ + end, held_ - end);
  held_ -= end;
  return true;
}

EventMessage ParseEventMessage(std::string_view message) {
  EventMessage ev;
  if (message.find("CMD:MD") != std::string_view::npos) {
    int lines = CountLines(message);
    if (lines < 3 || lines > 18) return ev;
    ev.kind = EventMessage::Kind::kMotion;
    for (int i = 1; i < lines; ++i) {
      int32_t v[8];
      if (ScanFields(LineAt(message, i), 8, v) != 8) continue;
      if (v[1] != 1 || v[2] < 0 || v[2] >= kRegionCount) continue;
      ev.mask |= 1u << v[2];
      ev.rect[v[2]] = MotionRect{v[3], v[4], v[5], v[6]};
    }
    return ev;
  }
  if (message.find("CMD:ALARM") != std::string_view::npos) {
    if (CountLines(message) != 3) {
      ev.kind = EventMessage::Kind::kMalformed;
      return ev;
    }
    int32_t v[2];
    if (ScanFields(LineAt(message, 1), 2, v) == 2 && v[0] == 2) {
      ev.kind = EventMessage::Kind::kAlarm;
      ev.alarm_input = v[1];
    }
    return ev;
  }
  return ev;
}

}  // namespace quornet::mctp
