#include "media/talk_proto.h"

#include <cstring>

#include "media/codec_g726.h"
#include "media/voice_frame.h"

namespace quornet::talk {

namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Server kind 1: the device announced itself with the V200 banner.
constexpr int32_t kServerBanner = 1;

}  // namespace

int32_t AutomaticTalkType(int32_t server_kind) {
  return server_kind == kServerBanner ? kVoiceTypeG711Ulaw : kVoiceTypeG726_32;
}

bool IsTalkType(int32_t type) {
  return TalkCodeForType(type) >= 0;
}

int32_t TalkCodeForType(int32_t type) {
  switch (type) {
    case kVoiceTypeG711Alaw:
    case kVoiceTypeG711Ulaw:
    case kVoiceTypeG726_16:
    case kVoiceTypeG726_24:
    case kVoiceTypeG726_40:
      return type;
    case kVoiceTypeG726_32:
      return 16;
    default:
      return -1;
  }
}

int32_t TalkTypeForCode(int32_t code) {
  switch (code) {
    case 1:
    case 2:
    case 4:
    case 5:
    case 7:
      return code;
    case 6:
    case 16:
      return kVoiceTypeG726_32;
    default:
      return -1;
  }
}

size_t BuildTalkPacket(uint32_t tick_ms, const uint8_t* frame, size_t frame_len, uint8_t* out,
                       size_t out_capacity) {
  if (frame == nullptr || out == nullptr || frame_len < kVoiceFrameHeaderBytes) return 0;
  const size_t words = size_t(frame[2]) | size_t(frame[3]) << 8;
  if (frame_len != kVoiceFrameHeaderBytes + 2 * words) return 0;
  if (out_capacity < kTalkPacketHeaderBytes || out_capacity - kTalkPacketHeaderBytes < frame_len)
    return 0;
  PutLe32(out, uint32_t(frame_len));
  PutLe32(out + 4, tick_ms);
  std::memcpy(out + kTalkPacketHeaderBytes, frame, frame_len);
  return kTalkPacketHeaderBytes + frame_len;
}

size_t TalkReplyLength(std::string_view text) {
  const size_t first = text.find('\n');
  if (first == std::string_view::npos) return 0;
  const size_t second = text.find('\n', first + 1);
  if (second == std::string_view::npos) return 0;
  return second + 1;
}

CVoiceStreamParser::CVoiceStreamParser() {
  buffer_.reserve(2 * (kVoiceFrameHeaderBytes + 2 * size_t(kMaxDeviceVoiceWords)));
}

void CVoiceStreamParser::Push(const uint8_t* data, size_t length) {
  if (data == nullptr || length == 0) return;
  // Frames handed out by Next are consumed: keep only the unread tail.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() < end_ + length) buffer_.resize(end_ + length);
  std::memcpy(buffer_.data() + end_, data, length);
  end_ += length;
}

CVoiceStreamParser::Result CVoiceStreamParser::Next(const uint8_t** frame, size_t* frame_len) {
  for (;;) {
    if (end_ - begin_ < kVoiceFrameHeaderBytes) return Result::kNeedMore;
    const uint8_t* h = buffer_.data() + begin_;
    if (h[0] != 0 && h[1] != 1) {
      begin_ += kVoiceFrameHeaderBytes;
      ++skipped_;
      continue;
    }
    const uint32_t words = uint32_t(h[2]) | uint32_t(h[3]) << 8;
    if (words > kMaxDeviceVoiceWords) return Result::kOversized;
    const size_t total = kVoiceFrameHeaderBytes + 2 * size_t(words);
    if (end_ - begin_ < total) return Result::kNeedMore;
    *frame = h;
    *frame_len = total;
    begin_ += total;
    return Result::kFrame;
  }
}

}  // namespace quornet::talk
