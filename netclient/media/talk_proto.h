// Talk (two-way audio) on the wire: the codec agreed in "CMD:TALK", the talk
// packet the client sends, the reply split and the device's voice stream.
//
// Bytes only; the socket loops live in media/talk.cpp.
//
// Client to device, one packet per 20 ms of audio (little-endian):
//   bytes 0-3   L, the length of the voice frame that follows (2N + 4)
//   bytes 4-7   tick count in milliseconds when the packet was sent
//   bytes 8-    the voice frame: header word, N, 2N bytes of code
//
// Device to client: voice frames back to back, without length or tick. A
// frame starts with a 4-byte header whose first byte is 0 or whose second
// byte is 1; any other 4 bytes are skipped as a unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quornet::talk {

// Voice engine types used for talk (media/codec_g726.h): 1 A-law, 2 mu-law,
// 4..7 G.726 16..40 kbit/s. 0 asks for the automatic choice.
constexpr int32_t kTalkTypeAuto = 0;

// The type chosen when none is requested: mu-law for devices that answer
// with the V200 banner (server kind 1), G.726 32 kbit/s for every other.
int32_t AutomaticTalkType(int32_t server_kind);
// True for 1, 2 and 4..7.
bool IsTalkType(int32_t type);
// The second value of "CMD:TALK" for a type: 1 A-law, 2 mu-law, 4 and 5 for
// G.726 16 and 24, 16 for G.726 32 (the value devices have always been sent
// for it), 7 for G.726 40. -1 for anything else.
int32_t TalkCodeForType(int32_t type);
// The reverse; -1 for a code no type has (6 is taken as G.726 32 too).
int32_t TalkTypeForCode(int32_t code);

// 20 ms of 8 kHz 16-bit mono per packet.
constexpr size_t kTalkPcmBytesPerPacket = 320;
constexpr size_t kTalkSamplesPerPacket = kTalkPcmBytesPerPacket / 2;
constexpr size_t kTalkPacketHeaderBytes = 8;

// Writes a talk packet for one voice frame (header word, N, 2N bytes) into
// out. The length field carries the whole frame length 2N + 4, for any N.
// Returns the packet length, or 0 when the frame is malformed (short, or N
// disagrees with frame_len) or out is too small.
size_t BuildTalkPacket(uint32_t tick_ms, const uint8_t* frame, size_t frame_len, uint8_t* out,
                       size_t out_capacity);

// The talk reply ends at its second line feed; a device that offers its
// audio may send its first voice frame right behind it, in the same read.
// Returns the reply's length (up to and including the second line feed), or
// 0 when there is no second line feed yet.
size_t TalkReplyLength(std::string_view text);

// The largest voice frame accepted from a device, in 16-bit words (4096
// bytes of code: half a second of G.711, two seconds of G.726 16 kbit/s).
// A frame that asks for more ends the connection.
constexpr uint32_t kMaxDeviceVoiceWords = 2048;

// Splits the device's byte stream into voice frames. Push bytes as they
// arrive, then call Next until it returns kNeedMore.
class CVoiceStreamParser {
 public:
  enum class Result {
    kFrame,      // *frame points at 4 + 2N bytes, valid until the next Push
    kNeedMore,   // no whole frame buffered
    kOversized,  // a header asks for more than kMaxDeviceVoiceWords
  };

  CVoiceStreamParser();
  void Push(const uint8_t* data, size_t length);
  Result Next(const uint8_t** frame, size_t* frame_len);
  // Header-sized units skipped because they were no voice frame header.
  uint64_t SkippedHeaders() const { return skipped_; }
  size_t Buffered() const { return end_ - begin_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t begin_ = 0;  // first unread byte
  size_t end_ = 0;    // one past the last pushed byte
  uint64_t skipped_ = 0;
};

}  // namespace quornet::talk
