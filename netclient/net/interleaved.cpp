#include "net/interleaved.h"

#include <cstring>
#include <string_view>

namespace quornet {

void InterleavedParser::Compact() {
  if (begin_ == 0) return;
  std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
}

uint8_t* InterleavedParser::WriteSpace(size_t* room) {
  if (buf_.size() - end_ < 4096) Compact();
  *room = buf_.size() - end_;
  return buf_.data() + end_;
}

void InterleavedParser::Commit(size_t n) {
  if (n > buf_.size() - end_) n = buf_.size() - end_;
  end_ += n;
}

size_t InterleavedParser::Feed(const uint8_t* data, size_t n) {
  Compact();
  size_t room = buf_.size() - end_;
  if (n > room) n = room;
  std::memcpy(buf_.data() + end_, data, n);
  end_ += n;
  return n;
}

InterleavedParser::Status InterleavedParser::Next(Item* item) {
  const uint8_t* p = buf_.data() + begin_;
  const size_t n = end_ - begin_;
  if (n == 0) {
    begin_ = end_ = 0;
    return Status::kNeedMore;
  }
  if (p[0] == '$') {
    if (n < 2) return Status::kNeedMore;
    if (p[1] > kMaxChannel) return Status::kError;
    if (n < 4) return Status::kNeedMore;
    const size_t length = (size_t{p[2]} << 8) | p[3];
    if (length == 0) return Status::kError;
    if (n < 4 + length) {
      // Make sure the whole packet can arrive behind what we hold.
      if (begin_ + 4 + length > buf_.size()) Compact();
      return Status::kNeedMore;
    }
    item->channel = p[1];
    item->data = p + 4;
    item->size = length;
    begin_ += 4 + length;
    return Status::kItem;
  }
  // RTSP text: one whole message (headers and Content-Length body) when it
  // is complete; text that is not a message runs up to the next "$".
  std::string_view text(reinterpret_cast<const char*>(p), n);
  size_t take = 0;
  size_t head_end = text.find("\r\n\r\n");
  if (text.starts_with("RTSP/") && head_end != std::string_view::npos) {
    take = head_end + 4;
    // A body is not expected on the replies that can arrive here; if one is
    // announced it is taken as text too (up to the next "$" below).
  } else if (text.starts_with("RTSP/") || std::string_view("RTSP/").starts_with(text)) {
    if (n < kMaxText) {
      if (begin_ + kMaxText > buf_.size()) Compact();
      return Status::kNeedMore;
    }
    take = kMaxText;
  } else {
    size_t dollar = text.find('$');
    take = dollar == std::string_view::npos ? n : dollar;
    if (take > kMaxText) take = kMaxText;
  }
  item->channel = kTextChannel;
  item->data = p;
  item->size = take;
  begin_ += take;
  return Status::kItem;
}

}  // namespace quornet
