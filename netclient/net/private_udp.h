// The private UDP stream, without sockets: a device pushes datagrams of a
// 68-byte header (big-endian) and one piece of an H.264 NAL unit or one
// encoded audio frame. This file parses the header, puts datagrams back into
// sequence order (reorder pool), keeps track of synchronisation, and rebuilds
// whole pictures from the NAL pieces. The socket loop (av_source_private_udp)
// is a thin layer on top.
//
// Header layout (offsets in bytes, multi-byte fields big-endian):
//    4  stream identifier (a change starts a new stream)
//   12  sequence number, counting the datagrams of the stream
//   16  media type: 0 video, 1 audio
//   17  video payload code (96 H.264)
//   18  frame type (video): 7 key frame
//   19  fragment position (video): 0 whole NAL unit, 1 first, 2 middle, 3 last
//   21  server kind, 22 audio codec code
//   24  payload length: must equal the datagram length minus 68
//   28  width, 32 height, 36 frame rate, 40 bit rate
// Bytes 0-3, 8-11, 20, 23 and 44-67 are not interpreted.
//
// Not thread-safe: one receiving thread owns these objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace quornet::pudp {

inline constexpr size_t kHeaderSize = 68;
// Receive buffer: longer datagrams are not part of the stream.
inline constexpr size_t kDatagramCapacity = 4096;
// Reorder pool: slots of this many bytes (whole datagrams), and the number of
// waiting datagrams at which a gap is given up and the stream waits for the
// next key frame (half the slots).
inline constexpr size_t kSlotSize = 3072;
inline constexpr size_t kSlotCount = 256;
inline constexpr size_t kResyncEntries = 128;
// A picture that grows beyond this is thrown away whole.
inline constexpr size_t kMaxPictureBytes = 16u << 20;
// Bytes kept free in front of an assembled picture for the record frame
// header (the recorder writes header and picture as one block).
inline constexpr size_t kPictureReserve = 12;

enum MediaType : uint8_t { kMediaVideo = 0, kMediaAudio = 1 };
enum Fragment : uint8_t { kWholeUnit = 0, kFirstPiece = 1, kMiddlePiece = 2, kLastPiece = 3 };
inline constexpr uint8_t kKeyFrameType = 7;

struct Header {
  uint32_t stream_id = 0;
  uint32_t sequence = 0;
  uint8_t media = 0;
  uint8_t video_code = 0;
  uint8_t frame_type = 0;
  uint8_t fragment = 0;
  uint8_t server_kind = 0;
  uint8_t audio_code = 0;
  uint32_t payload_length = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t frame_rate = 0;
  uint32_t bit_rate = 0;
};

enum class ParseResult { kOk, kTooShort, kLengthMismatch };
// A datagram belongs to the stream when it is longer than the header and its
// payload length field equals its length minus the header. Fills *out only
// when the header is complete.
ParseResult ParseDatagram(const uint8_t* data, size_t size, Header* out);
// Writes the 68-byte header (uninterpreted bytes zero).
void WriteHeader(const Header& h, uint8_t* out);

// Stream parameters a key datagram brings, checked: a field out of range is
// not taken (the session keeps its value), so that no zero or absurd size or
// rate reaches the decoder, the pacer or the recorder.
inline constexpr uint32_t kMinPictureEdge = 16;
inline constexpr uint32_t kMaxPictureEdge = 8192;
inline constexpr uint32_t kMaxFrameRate = 240;
struct StreamParams {
  bool width_ok, height_ok, frame_rate_ok, bit_rate_ok;
  int32_t width, height, frame_rate, bit_rate;
  int32_t server_kind;  // signed byte: -1 .. 2
  int32_t video_code;
  int32_t audio_code;
};
StreamParams ReadStreamParams(const Header& h);

// Sequence numbers compare modulo 2^32: b is after a when the distance from a
// to b is below 2^31.
inline bool SequenceAfter(uint32_t b, uint32_t a) {
  return b != a && static_cast<uint32_t>(b - a) < 0x80000000u;
}

// Datagrams waiting for a missing predecessor: kSlotCount slots of kSlotSize
// bytes in one block, and an ordered map from sequence number to slot. A slot
// is on the free list exactly while no map entry refers to it.
class ReorderPool {
 public:
  ReorderPool();
  enum class PutResult { kStored, kTooLong, kDuplicate, kFull };
  PutResult Put(uint32_t sequence, const uint8_t* datagram, size_t size, uint32_t tick);
  // Copies the datagram of `sequence` into out (room for kSlotSize bytes),
  // frees its slot and returns its length; 0 when it is not held.
  size_t Take(uint32_t sequence, uint8_t* out);
  bool Contains(uint32_t sequence) const { return map_.count(sequence) != 0; }
  size_t entries() const { return map_.size(); }
  size_t free_slots() const { return free_.size(); }
  void Clear();

 private:
  struct Slot {
    uint32_t tick = 0;  // ms, when stored
    uint32_t length = 0;
    bool in_use = false;
  };
  std::unique_ptr<uint8_t[]> block_;  // kSlotCount * kSlotSize
  std::array<Slot, kSlotCount> slots_{};
  std::vector<uint16_t> free_;        // free slot indices
  std::map<uint32_t, uint16_t> map_;  // sequence -> slot
};

// Why a datagram was not processed.
enum class Drop {
  kForeignSender,    // not from the device's address
  kTooShort,         // 68 bytes or fewer (zero-length datagrams included)
  kLengthMismatch,   // payload length field is not the datagram length - 68
  kStale,            // sequence number at or before the last one processed
  kDuplicate,        // already waiting in the reorder pool
  kTooLongToStore,   // out of order and longer than a pool slot
  kPoolFull,         // out of order and no slot free
  kNotSynchronised,  // waiting for a key datagram that starts a unit
  kOtherStream,      // another stream identifier, not able to start a stream
  kStartRefused,     // the handler could not start the stream
};
// The debug text of a drop (the texts devices' support staff know), or null
// for drops that are not reported.
const char* DropText(Drop reason);

// What the ordering logic hands on.
class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  // A key datagram that starts a unit (re)starts the stream. False: the
  // datagram is dropped and the stream stays unsynchronised.
  virtual bool OnStreamStart(const Header& header) = 0;
  // One datagram, in sequence order. The payload is preceded by at least 4
  // writable bytes (the end of the header).
  virtual void OnDatagram(const Header& header, uint8_t* payload, size_t size) = 0;
  virtual void OnDrop(Drop /*reason*/) {}
};

// Sender check, length rule, ordering and synchronisation of one stream.
//
// Synchronised (a key datagram started the stream) -> not synchronised when a
// key datagram of another stream identifier arrives, when kResyncEntries
// datagrams wait behind a gap, or on Desynchronise (socket error). While not
// synchronised only a video key datagram at the start of a NAL unit
// (fragment position 0 or 1) is taken: it empties the pool and starts the
// stream.
class StreamOrder {
 public:
  explicit StreamOrder(StreamHandler* handler);

  // One received datagram of `size` bytes (the buffer may be modified).
  // from_device: the sender check passed.
  void Push(uint8_t* datagram, size_t size, bool from_device, uint32_t tick);
  void Desynchronise() { synchronised_ = false; }

  bool synchronised() const { return synchronised_; }
  uint32_t stream_id() const { return stream_id_; }
  uint32_t last_sequence() const { return last_; }
  const ReorderPool& pool() const { return pool_; }

 private:
  void Drop(pudp::Drop reason) { handler_->OnDrop(reason); }
  // Processes a datagram and then whatever waits in the pool behind it.
  void ProcessChain(const Header& header, uint8_t* datagram);

  StreamHandler* handler_;
  ReorderPool pool_;
  bool synchronised_ = false;
  uint32_t stream_id_ = 0;
  uint32_t last_ = 0;                // sequence number last processed (when synchronised)
  std::unique_ptr<uint8_t[]> work_;  // kSlotSize: a datagram taken from the pool
};

// Whole pictures from NAL units and their pieces, each unit behind a four-byte
// start code. A picture (access unit) ends where the next one begins: at a
// parameter set, SEI or delimiter after a slice, or at a slice whose first
// macroblock is 0 (ITU-T H.264 7.4.1.2.3). Pieces out of place (a middle or
// last piece without its first, a unit started before the previous one ended)
// and oversized pictures break the picture: it is thrown away and reported
// as lost.
class PictureAssembler {
 public:
  struct Picture {
    uint8_t* block;  // kPictureReserve writable bytes, then the picture
    size_t size;     // picture bytes
    bool key;        // carries a sequence parameter set: decoding can start here
    int frame_type;  // 7 with an IDR slice, else the NAL type of its last slice
  };
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void OnPicture(Picture& picture) = 0;
    // A picture was thrown away: what follows may refer to it.
    virtual void OnPictureLost() = 0;
  };

  explicit PictureAssembler(size_t max_picture = kMaxPictureBytes);
  void Push(uint8_t fragment, const uint8_t* payload, size_t size, Sink* sink);
  // Forgets the picture being assembled (a new stream starts).
  void Reset();
  size_t buffered() const { return fill_; }

 private:
  bool StartsNewPicture(int type, const uint8_t* payload, size_t size) const;
  void Complete(Sink* sink);
  void Break(Sink* sink);
  bool Append(const uint8_t* data, size_t size);

  const size_t max_picture_;
  std::vector<uint8_t> block_;  // kPictureReserve + picture; grows up to the bound
  size_t fill_ = 0;             // picture bytes
  bool broken_ = false;         // drop until the next picture starts
  bool in_unit_ = false;        // between a first and a last piece
  bool has_slice_ = false;
  bool has_sps_ = false;
  bool has_idr_ = false;
  int last_slice_type_ = 0;
};

}  // namespace quornet::pudp
