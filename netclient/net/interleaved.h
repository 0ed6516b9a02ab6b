// Framing of RTP interleaved in the RTSP TCP connection (RFC 2326 section
// 10.12): "$", a one-byte channel, a 16-bit big-endian length, then the
// packet. Anything that does not start with "$" is RTSP text (a late reply to
// an in-session request) and is returned as channel kTextChannel.
//
// InterleavedParser is incremental: feed it whatever recv() returned, take
// out complete items. It never holds more than kMaxBuffered bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quornet {

class InterleavedParser {
 public:
  static constexpr int kTextChannel = 255;
  static constexpr int kMaxChannel = 3;  // video RTP/RTCP 0-1, audio 2-3
  // One maximal packet with its 4-byte prefix, plus room to read into.
  static constexpr size_t kMaxBuffered = 65535 + 4 + 4096;
  // Longest RTSP text taken as one item; longer texts are passed on in
  // pieces of this size.
  static constexpr size_t kMaxText = 4096;

  enum class Status {
    kNeedMore,  // no complete item yet
    kItem,      // *item is valid until the next call
    kError,     // channel byte above kMaxChannel or zero length: the stream is broken
  };

  struct Item {
    int channel = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
  };

  // Free space to recv() into (never 0 bytes), then how much was written.
  uint8_t* WriteSpace(size_t* room);
  void Commit(size_t n);
  // Copies n bytes in (for tests and fuzzing); returns how many fitted.
  size_t Feed(const uint8_t* data, size_t n);

  Status Next(Item* item);
  size_t buffered() const { return end_ - begin_; }
  void Clear() { begin_ = end_ = 0; }

 private:
  void Compact();

  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kMaxBuffered);
  size_t begin_ = 0;  // first unconsumed byte
  size_t end_ = 0;    // one past the last received byte
};

}  // namespace quornet
