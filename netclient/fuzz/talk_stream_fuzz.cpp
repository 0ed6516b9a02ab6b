// libFuzzer target: the talk reply split and the device's voice frame stream
// over arbitrary bytes, pushed in pieces of arbitrary size.
// Invariants: every frame handed out is whole (4 + 2N bytes, N within the
// limit, a voice frame header), and every pushed byte is accounted for as a
// frame, a skipped header or still buffered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "media/talk_proto.h"

using namespace quornet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size < 1024 ? size : 1024);
  const size_t reply = talk::TalkReplyLength(text);
  if (reply > text.size() || (reply != 0 && text[reply - 1] != '\n')) abort();
  if (size == 0) return 0;

  // First byte: piece size; the rest is the stream.
  const size_t piece = size_t(data[0] % 64) + 1;
  talk::CVoiceStreamParser parser;
  size_t pushed = 0, framed = 0;
  for (size_t pos = 1; pos < size; pos += piece) {
    const size_t n = pos + piece <= size ? piece : size - pos;
    parser.Push(data + pos, n);
    pushed += n;
    for (;;) {
      const uint8_t* frame = nullptr;
      size_t len = 0;
      talk::CVoiceStreamParser::Result r = parser.Next(&frame, &len);
      if (r == talk::CVoiceStreamParser::Result::kOversized) return 0;
      if (r == talk::CVoiceStreamParser::Result::kNeedMore) break;
      const size_t words = size_t(frame[2]) | size_t(frame[3]) << 8;
      if (len != 4 + 2 * words || words > talk::kMaxDeviceVoiceWords) abort();
      if (frame[0] != 0 && frame[1] != 1) abort();
      framed += len;
    }
    if (framed + 4 * parser.SkippedHeaders() + parser.Buffered() != pushed) abort();
  }
  return 0;
}
