#include "net/private_udp.h"

#include <cstring>

namespace quornet::pudp {
namespace {

uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

}  // namespace

ParseResult ParseDatagram(const uint8_t* data, size_t size, Header* out) {
  if (data == nullptr || size <= kHeaderSize) return ParseResult::kTooShort;
  Header h;
  h.stream_id = Be32(data + 4);
  h.sequence = Be32(data + 12);
  h.media = data[16];
  h.video_code = data[17];
  h.frame_type = data[18];
  h.fragment = data[19];
  h.server_kind = data[21];
  h.audio_code = data[22];
  h.payload_length = Be32(data + 24);
  h.width = Be32(data + 28);
  h.height = Be32(data + 32);
  h.frame_rate = Be32(data + 36);
  h.bit_rate = Be32(data + 40);
  *out = h;
  if (h.payload_length != size - kHeaderSize) return ParseResult::kLengthMismatch;
  return ParseResult::kOk;
}

void WriteHeader(const Header& h, uint8_t* out) {
  std::memset(out, 0, kHeaderSize);
  PutBe32(out + 4, h.stream_id);
  PutBe32(out + 12, h.sequence);
  out[16] = h.media;
  out[17] = h.video_code;
  out[18] = h.frame_type;
  out[19] = h.fragment;
  out[21] = h.server_kind;
  out[22] = h.audio_code;
  PutBe32(out + 24, h.payload_length);
  PutBe32(out + 28, h.width);
  PutBe32(out + 32, h.height);
  PutBe32(out + 36, h.frame_rate);
  PutBe32(out + 40, h.bit_rate);
}

StreamParams ReadStreamParams(const Header& h) {
  StreamParams p{};
  p.width_ok = h.width >= kMinPictureEdge && h.width <= kMaxPictureEdge;
  p.height_ok = h.height >= kMinPictureEdge && h.height <= kMaxPictureEdge;
  p.frame_rate_ok = h.frame_rate >= 1 && h.frame_rate <= kMaxFrameRate;
  p.bit_rate_ok = h.bit_rate >= 1 && h.bit_rate <= 0x7FFFFFFFu;
  p.width = p.width_ok ? static_cast<int32_t>(h.width) : 0;
  p.height = p.height_ok ? static_cast<int32_t>(h.height) : 0;
  p.frame_rate = p.frame_rate_ok ? static_cast<int32_t>(h.frame_rate) : 0;
  p.bit_rate = p.bit_rate_ok ? static_cast<int32_t>(h.bit_rate) : 0;
  p.server_kind = static_cast<int8_t>(h.server_kind);
  p.video_code = h.video_code;
  p.audio_code = h.audio_code;
  return p;
}

const char* DropText(Drop reason) {
  switch (reason) {
    case Drop::kForeignSender:
      return "recvfrom other source\n";
    case Drop::kTooShort:
      return "udp ret length too small\n";
    case Drop::kLengthMismatch:
      return "udp data length err\n";
    case Drop::kTooLongToStore:
      return "setbuffer len too long!!!!!!!!!!!!\n";
    default:
      return nullptr;
  }
}

// ---- Reorder pool ---------------------------------------------------------------

ReorderPool::ReorderPool() : block_(new uint8_t[kSlotCount * kSlotSize]) {
  free_.reserve(kSlotCount);
  Clear();
}

void ReorderPool::Clear() {
  map_.clear();
  free_.clear();
  // Popped from the back: slot 0 is taken first.
  for (size_t i = kSlotCount; i-- > 0;) {
    slots_[i].in_use = false;
    free_.push_back(static_cast<uint16_t>(i));
  }
}

ReorderPool::PutResult ReorderPool::Put(uint32_t sequence, const uint8_t* datagram, size_t size,
                                        uint32_t tick) {
  if (size > kSlotSize) return PutResult::kTooLong;
  // A second copy would take a second slot that nothing ever frees.
  if (map_.count(sequence) != 0) return PutResult::kDuplicate;
  if (free_.empty()) return PutResult::kFull;
  const uint16_t index = free_.back();
  free_.pop_back();
  Slot& slot = slots_[index];
  slot.in_use = true;
  slot.tick = tick;
  slot.length = static_cast<uint32_t>(size);
  std::memcpy(block_.get() + size_t(index) * kSlotSize, datagram, size);
  map_.emplace(sequence, index);
  return PutResult::kStored;
}

size_t ReorderPool::Take(uint32_t sequence, uint8_t* out) {
  auto it = map_.find(sequence);
  if (it == map_.end()) return 0;
  const uint16_t index = it->second;
  map_.erase(it);
  Slot& slot = slots_[index];
  const size_t length = slot.length;
  std::memcpy(out, block_.get() + size_t(index) * kSlotSize, length);
  slot.in_use = false;
  free_.push_back(index);
  return length;
}

// ---- Ordering and synchronisation ------------------------------------------------

StreamOrder::StreamOrder(StreamHandler* handler)
    : handler_(handler), work_(new uint8_t[kSlotSize]) {}

void StreamOrder::Push(uint8_t* datagram, size_t size, bool from_device, uint32_t tick) {
  if (!from_device) {
    Drop(Drop::kForeignSender);
    return;
  }
  Header h;
  switch (ParseDatagram(datagram, size, &h)) {
    case ParseResult::kTooShort:
      Drop(Drop::kTooShort);
      return;
    case ParseResult::kLengthMismatch:
      Drop(Drop::kLengthMismatch);
      return;
    case ParseResult::kOk:
      break;
  }

  if (synchronised_ && h.stream_id == stream_id_) {
    if (h.sequence == last_ + 1) {
      ProcessChain(h, datagram);
      return;
    }
    if (!SequenceAfter(h.sequence, last_)) {
      Drop(Drop::kStale);
      return;
    }
    switch (pool_.Put(h.sequence, datagram, size, tick)) {
      case ReorderPool::PutResult::kStored:
        break;
      case ReorderPool::PutResult::kDuplicate:
        Drop(Drop::kDuplicate);
        return;
      case ReorderPool::PutResult::kTooLong:
        Drop(Drop::kTooLongToStore);
        break;
      case ReorderPool::PutResult::kFull:
        Drop(Drop::kPoolFull);
        break;
    }
    // Too much waits behind the gap: give it up and wait for a key frame.
    if (pool_.entries() >= kResyncEntries) synchronised_ = false;
    return;
  }

  // Not synchronised, or a datagram of another stream. Only a key datagram
  // that begins a NAL unit can start a stream: a middle piece or audio would
  // hand the decoder a unit without its beginning. A straggler of another
  // stream that cannot start one is dropped without disturbing this one.
  const bool can_start = h.media == kMediaVideo && h.frame_type == kKeyFrameType &&
                         (h.fragment == kWholeUnit || h.fragment == kFirstPiece);
  if (!can_start) {
    Drop(synchronised_ ? Drop::kOtherStream : Drop::kNotSynchronised);
    return;
  }
  synchronised_ = false;
  if (!handler_->OnStreamStart(h)) {
    Drop(Drop::kStartRefused);
    return;
  }
  pool_.Clear();
  stream_id_ = h.stream_id;
  synchronised_ = true;
  ProcessChain(h, datagram);
}

void StreamOrder::ProcessChain(const Header& first, uint8_t* datagram) {
  Header h = first;
  uint8_t* data = datagram;
  for (;;) {
    handler_->OnDatagram(h, data + kHeaderSize, h.payload_length);
    last_ = h.sequence;
    const size_t n = pool_.Take(last_ + 1, work_.get());
    if (n == 0) return;
    // Stored only after the length rule held; parsed again for its fields.
    if (ParseDatagram(work_.get(), n, &h) != ParseResult::kOk) return;
    data = work_.get();
  }
}

// ---- Picture assembly -------------------------------------------------------------

PictureAssembler::PictureAssembler(size_t max_picture) : max_picture_(max_picture) {
  block_.resize(kPictureReserve + 64 * 1024);
}

void PictureAssembler::Reset() {
  fill_ = 0;
  broken_ = false;
  in_unit_ = false;
  has_slice_ = false;
  has_sps_ = false;
  has_idr_ = false;
  last_slice_type_ = 0;
}

bool PictureAssembler::StartsNewPicture(int type, const uint8_t* payload, size_t size) const {
  switch (type) {
    case 6:  // SEI
    case 7:  // sequence parameter set
    case 8:  // picture parameter set
    case 9:  // access unit delimiter
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
      return true;
    case 1:
    case 5:
      // first_mb_in_slice is the first ue(v) of the slice header: the single
      // bit '1' codes 0.
      return size < 2 || (payload[1] & 0x80) != 0;
    default:
      return false;
  }
}

bool PictureAssembler::Append(const uint8_t* data, size_t size) {
  if (size > max_picture_ || fill_ > max_picture_ - size) return false;
  const size_t need = kPictureReserve + fill_ + size;
  if (need > block_.size()) {
    size_t grown = block_.size() * 2;
    if (grown < need) grown = need;
    if (grown > kPictureReserve + max_picture_) grown = kPictureReserve + max_picture_;
    block_.resize(grown);
  }
  std::memcpy(block_.data() + kPictureReserve + fill_, data, size);
  fill_ += size;
  return true;
}

void PictureAssembler::Break(Sink* sink) {
  if (broken_) return;
  broken_ = true;
  fill_ = 0;
  sink->OnPictureLost();
}

void PictureAssembler::Complete(Sink* sink) {
  if (!broken_ && fill_ > 0) {
    Picture p{block_.data(), fill_, has_sps_, has_idr_ ? 7 : last_slice_type_};
    sink->OnPicture(p);
  }
  Reset();
}

void PictureAssembler::Push(uint8_t fragment, const uint8_t* payload, size_t size, Sink* sink) {
  if (size == 0 || fragment > kLastPiece) {
    Break(sink);
    return;
  }
  if (fragment == kWholeUnit || fragment == kFirstPiece) {
    const int type = payload[0] & 0x1F;
    // The unit before never got its last piece: its picture is incomplete.
    if (in_unit_) Break(sink);
    in_unit_ = false;
    // A broken picture ends at the first unit that can begin one, so that a
    // damaged picture never swallows the next.
    if ((has_slice_ || broken_) && StartsNewPicture(type, payload, size)) Complete(sink);
    in_unit_ = fragment == kFirstPiece;
    if (type == 1 || type == 5) {
      has_slice_ = true;
      last_slice_type_ = type;
      if (type == 5) has_idr_ = true;
    } else if (type == 7) {
      has_sps_ = true;
    }
    if (broken_) return;
    if (!Append(kStartCode, sizeof kStartCode) || !Append(payload, size)) Break(sink);
    return;
  }
  // A middle or last piece belongs to the unit whose first piece came last.
  if (!in_unit_) {
    Break(sink);
    return;
  }
  if (fragment == kLastPiece) in_unit_ = false;
  if (broken_) return;
  if (!Append(payload, size)) Break(sink);
}

}  // namespace quornet::pudp
