// The MCTP/1.0 device command protocol: message builders and reply parsers.
//
// Everything here works on bytes only; the exchanges over sockets live in
// mctp_commands.cpp. A message is a command line, argument lines and "END",
// each ended by a single line feed:
//
//   CMD:VCTRL MCTP/1.0 CS\n
//   @1@0@0@0@0@\n
//   END\n
//
// Arguments are signed decimal integers, each preceded by '@'. Replies have the
// same shape; the command's result is read from the second line.
//
// Device replies are untrusted: every parser bounds-checks, never reads past
// the given view and writes its outputs only when the whole reply is accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quornet {

// Motion-region record exchanged with the caller and kept in the client
// session: one sensitivity byte per region, then the region rectangles in the
// 704 x 576 reference frame. Regions are numbered 0 to 15.
#pragma pack(push, 1)
struct MotionRect {
  int32_t left;
  int32_t top;
  int32_t right;
  int32_t bottom;
};
struct MotionRegionRecord {
  uint8_t sensitivity[16];
  MotionRect rect[16];
};
#pragma pack(pop)
static_assert(sizeof(MotionRect) == 16);
static_assert(sizeof(MotionRegionRecord) == 272);
static_assert(offsetof(MotionRegionRecord, rect) == 16);

namespace mctp {

constexpr int kRegionCount = 16;

// Operation codes of "CMD:VCTRL" (first argument).
constexpr int kVideoRead = 1;
constexpr int kVideoSet = 2;
// "CMD:VCTRL" operation sent for QRNET_ClientSetVideoParam's mode argument:
// mode 1 -> 3, mode 2 -> 4, anything else -> 2.
int VideoSetOperation(int32_t mode);

// Operation codes of "CMD:MD" (first argument).
constexpr int kMdSaveRegion = 1;
constexpr int kMdReadRegions = 2;
constexpr int kMdStart = 3;
constexpr int kMdStop = 4;

// A reply is read with a single receive of at most this many bytes.
constexpr size_t kReplyCapacity = 1024;

// ---- Message builders ----------------------------------------------------

std::string BuildPtz(int32_t channel, int32_t code, int32_t speed);
// "CMD:VCTRL" with (operation, channel, brightness, contrast, saturation); the
// three picture values are sent as given (callers mask them to a byte).
std::string BuildVideoParam(int32_t operation, int32_t channel, int32_t brightness,
                            int32_t contrast, int32_t saturation);
std::string BuildStopAlarm(int32_t alarm, int32_t channel);
// "CMD:MD" start (3), stop (4) or read (2): (operation, channel, 0 x 6).
std::string BuildMdCommand(int32_t operation, int32_t channel);
// "CMD:MD" save: 18 lines, one "@1@channel@i@sens@l@t@r@b" line per region.
std::string BuildSaveMd(int32_t channel, const MotionRegionRecord& record);
std::string BuildCoverPosit(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f);
std::string Build3DPosit(int32_t a, int32_t b, int32_t c, int32_t d);
// Event channel subscription; `session_id` is the RTSP session identifier of
// the live stream. Returns an empty string when the identifier contains a line
// feed or '@', which would break the message framing.
std::string BuildAliveSubscribe(std::string_view session_id, int32_t channel);
// Keep-alive on an open event channel; no reply is awaited.
std::string BuildAliveKeepAlive();
// Talk channel request; `mode` is 2 for server kind 1, else 16.
std::string BuildTalk(int32_t channel, int32_t mode);

// ---- Reply reading -------------------------------------------------------

// Number of lines: segments ended by a line feed, plus a last unterminated
// segment. "" -> 0, "a" -> 1, "a\n" -> 1, "a\nb" -> 2.
int CountLines(std::string_view text);

// Line `index` (0-based) including its line feed when it has one; empty when
// the text has fewer lines.
std::string_view LineAt(std::string_view text, int index);

// Reads up to `max_values` "@<int>" fields from the start of `line` the way
// the devices' argument template is matched: a literal '@', optional blanks,
// an optional sign and at least one digit. Stops at the first field that does
// not match or whose value does not fit in 32 bits. Returns the count read.
int ScanFields(std::string_view line, int max_values, int32_t* values);

// ---- Reply parsers -------------------------------------------------------

struct VideoParams {
  uint8_t brightness = 0;
  uint8_t contrast = 0;
  uint8_t saturation = 0;
};

// "CMD:VCTRL" read: 3 lines, 5 values on line 2; values 3 to 5 (stored as
// bytes) are brightness, contrast and saturation.
bool ParseGetVideoParamReply(std::string_view reply, VideoParams* out);

// Result replies of the set commands: 3 lines; line 2 carries at least
// `values` fields and the third one is 1. Used with 3 for "CMD:VCTRL" set and
// "CMD:ALARM", with 8 for the "CMD:MD" commands.
bool ParseResultReply(std::string_view reply, int values);

// "CMD:MD" read: exactly 18 lines, line 1 contains "CMD:MD MCTP/1.0", lines 2
// to 17 carry 8 values each; line i + 2 describes region i (value 4 the
// sensitivity byte, values 5 to 8 the rectangle). `out` is written only when
// the whole reply is accepted.
bool ParseGetMdReply(std::string_view reply, MotionRegionRecord* out);

// Event channel subscription reply: 3 lines, 3 values on line 2, the third
// not 0.
bool ParseAliveReply(std::string_view reply);

struct TalkReply {
  bool duplex = false;     // first value non-zero
  bool has_extra = false;  // a third value was sent
  int32_t extra = 0;
};
// Talk channel reply: exactly 2 lines, line 1 contains "CMD:TALK", line 2
// carries 2 or 3 values and the second is 1.
bool ParseTalkReply(std::string_view reply, TalkReply* out);

}  // namespace mctp
}  // namespace quornet
