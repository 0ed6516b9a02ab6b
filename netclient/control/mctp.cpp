#include "control/mctp.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace quornet::mctp {

namespace {

// Appends "@v" for each value.
void AppendFields(std::string* out, std::initializer_list<int32_t> values) {
  char field[16];
  for (int32_t v : values) {
    int n = std::snprintf(field, sizeof(field), "@%d", v);
    out->append(field, size_t(n));
  }
}

std::string Message(std::string_view command_line, std::initializer_list<int32_t> values,
                    bool trailing_at) {
  std::string msg(command_line);
  msg += '\n';
  AppendFields(&msg, values);
  if (trailing_at) msg += '@';
  msg += "\nEND\n";
  return msg;
}

constexpr std::string_view kVctrl = "CMD:VCTRL MCTP/1.0 CS";
constexpr std::string_view kMd = "CMD:MD MCTP/1.0 CS";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

int VideoSetOperation(int32_t mode) {
  if (mode == 1) return 3;
  if (mode == 2) return 4;
  return kVideoSet;
}

std::string BuildPtz(int32_t channel, int32_t code, int32_t speed) {
  return Message("CMD:PTZ MCTP/1.0", {channel, code, speed}, false);
}

std::string BuildVideoParam(int32_t operation, int32_t channel, int32_t brightness,
                            int32_t contrast, int32_t saturation) {
  return Message(kVctrl, {operation, channel, brightness, contrast, saturation}, true);
}

std::string BuildStopAlarm(int32_t alarm, int32_t channel) {
  return Message("CMD:ALARM MCTP/1.0 CS", {1, alarm, channel}, false);
}

std::string BuildMdCommand(int32_t operation, int32_t channel) {
  return Message(kMd, {operation, channel, 0, 0, 0, 0, 0, 0}, false);
}

std::string BuildSaveMd(int32_t channel, const MotionRegionRecord& record) {
  std::string msg(kMd);
  msg += '\n';
  for (int i = 0; i < kRegionCount; ++i) {
    const MotionRect& r = record.rect[i];
    AppendFields(&msg, {kMdSaveRegion, channel, i, int32_t(record.sensitivity[i]), r.left, r.top,
                        r.right, r.bottom});
    msg += '\n';
  }
  msg += "END\n";
  return msg;
}

std::string BuildCoverPosit(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f) {
  return Message("CMD:PTZ-ADV MCTP/1.0", {1, a, b, c, d, e, f}, false);
}

std::string Build3DPosit(int32_t a, int32_t b, int32_t c, int32_t d) {
  return Message("CMD:PTZ-ADV MCTP/1.0", {0, 10, a, b, c, d, 0, 0, 0}, false);
}

std::string BuildAliveSubscribe(std::string_view session_id, int32_t channel) {
  if (session_id.find_first_of("\n@") != std::string_view::npos) return {};
  std::string msg("CMD:ALIVE MCTP/1.0 CS\n@");
  msg.append(session_id);
  AppendFields(&msg, {channel});
  msg += "\nEND\n";
  return msg;
}

std::string BuildAliveKeepAlive() {
  return "CMD:ALIVE MCTP/1.0 CS\nEND\n";
}

std::string BuildTalk(int32_t channel, int32_t mode) {
  return Message("CMD:TALK MCTP/1.0 CS", {channel, mode}, true);
}

int CountLines(std::string_view text) {
  int lines = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    ++lines;
    if (lf == std::string_view::npos) break;
    pos = lf + 1;
  }
  return lines;
}

std::string_view LineAt(std::string_view text, int index) {
  size_t pos = 0;
  for (int i = 0; pos < text.size(); ++i) {
    size_t lf = text.find('\n', pos);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    if (i == index) return text.substr(pos, end - pos);
    pos = end;
  }
  return {};
}

int ScanFields(std::string_view line, int max_values, int32_t* values) {
  size_t pos = 0;
  int count = 0;
  while (count < max_values) {
    if (pos >= line.size() || line[pos] != '@') break;
    ++pos;
    while (pos < line.size() && IsBlank(line[pos])) ++pos;
    bool negative = false;
    if (pos < line.size() && (line[pos] == '-' || line[pos] == '+')) {
      negative = line[pos] == '-';
      ++pos;
    }
    if (pos >= line.size() || line[pos] < '0' || line[pos] > '9') break;
    int64_t v = 0;
    bool overflow = false;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
      if (!overflow) {
        v = v * 10 + (line[pos] - '0');
        if (v > int64_t(std::numeric_limits<int32_t>::max()) + 1) overflow = true;
      }
      ++pos;
    }
    if (negative) v = -v;
    if (overflow || v > std::numeric_limits<int32_t>::max() ||
        v < std::numeric_limits<int32_t>::min()) {
      break;
    }
    values[count++] = int32_t(v);
  }
  return count;
}

bool ParseGetVideoParamReply(std::string_view reply, VideoParams* out) {
  if (CountLines(reply) != 3) return false;
  int32_t v[5];
  if (ScanFields(LineAt(reply, 1), 5, v) != 5) return false;
  out->brightness = uint8_t(v[2]);
  out->contrast = uint8_t(v[3]);
  out->saturation = uint8_t(v[4]);
  return true;
}

bool ParseResultReply(std::string_view reply, int values) {
  if (values < 3 || values > 8) return false;
  if (CountLines(reply) != 3) return false;
  int32_t v[8];
  if (ScanFields(LineAt(reply, 1), values, v) != values) return false;
  return v[2] == 1;
}

bool ParseGetMdReply(std::string_view reply, MotionRegionRecord* out) {
  if (reply.empty() || CountLines(reply) != 18) return false;
  if (LineAt(reply, 0).find("CMD:MD MCTP/1.0") == std::string_view::npos) return false;
  MotionRegionRecord record;
  for (int i = 0; i < kRegionCount; ++i) {
    int32_t v[8];
    if (ScanFields(LineAt(reply, i + 1), 8, v) != 8) return false;
    record.sensitivity[i] = uint8_t(v[3]);
    record.rect[i] = MotionRect{v[4], v[5], v[6], v[7]};
  }
  *out = record;
  return true;
}

bool ParseAliveReply(std::string_view reply) {
  if (CountLines(reply) != 3) return false;
  int32_t v[3];
  if (ScanFields(LineAt(reply, 1), 3, v) != 3) return false;
  return v[2] != 0;
}

bool ParseTalkReply(std::string_view reply, TalkReply* out) {
  if (CountLines(reply) != 2) return false;
  if (LineAt(reply, 0).find("CMD:TALK") == std::string_view::npos) return false;
  int32_t v[3];
  int n = ScanFields(LineAt(reply, 1), 3, v);
  if (n < 2 || v[1] != 1) return false;
  out->duplex = v[0] != 0;
  out->has_extra = n == 3;
  out->extra = n == 3 ? v[2] : 0;
  return true;
}

}  // namespace quornet::mctp
