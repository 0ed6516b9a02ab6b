// One live stream configuration: generates the test picture and the tone,
// encodes them with libavcodec once, packetises them into RTP and fans the
// packets out to every subscribed session.
#ifndef DEVICESIM_SRC_MEDIA_SOURCE_H_
#define DEVICESIM_SRC_MEDIA_SOURCE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device.h"
#include "rtp_packetizer.h"
#include "rtsp_proto.h"

namespace devicesim {

struct SourceKey {
  VideoCodec codec = VideoCodec::kH264;
  int width = 0;
  int height = 0;
  int fps = 0;
  int gop = 0;
  int bitrate_kbps = 0;
  int mjpeg_quality = 0;
  int slices = 1;
  size_t pad_picture_bytes = 0;
  bool stap_a = false;                // parameter sets aggregated into STAP-A packets
  bool strip_parameter_sets = false;  // parameter sets only in the description
  AudioCodec audio = AudioCodec::kNone;
  Scene scene = Scene::kBars;
  // Pace relative to real time in 1/1000 (replay Scale); 1000 for live.
  int scale_milli = 1000;
  auto operator<=>(const SourceKey&) const = default;
};

struct Packet {
  std::shared_ptr<const Bytes> rtp;  // complete RTP packet, shared by all sessions
  uint8_t media = 0;                 // 0 video, 1 audio
  bool key_start = false;            // first packet of a picture decoding can start at
  bool picture_end = false;          // last packet of a picture
};

// Receives packets on the source's thread. Deliver must not block; it
// returns true when the packet was queued for sending.
class PacketSink {
 public:
  virtual ~PacketSink() = default;
  virtual bool Deliver(const Packet& packet) = 0;
};

// Device-wide frame numbering and capture times (thread-safe).
class FrameLedger {
 public:
  uint32_t Next(int64_t now_ms);
  // The frame's picture is complete at now_ms (its capture time from then on).
  void MarkCaptured(uint32_t frame, int64_t now_ms);
  std::optional<int64_t> CaptureTimeMs(uint32_t frame) const;
  // When the frame's encoded picture was handed to the sessions.
  void MarkSent(uint32_t frame, int64_t now_ms);
  std::optional<int64_t> SentTimeMs(uint32_t frame) const;
  std::atomic<uint64_t> frames_sent{0};

 private:
  static constexpr size_t kSize = 8192;
  mutable std::mutex mu_;
  uint32_t next_ = 0;                                        // guarded by mu_
  std::array<std::pair<uint32_t, int64_t>, kSize> times_{};  // guarded by mu_
  std::array<int64_t, kSize> sent_{};                        // guarded by mu_; -1 unsent
  std::array<bool, kSize> valid_{};                          // guarded by mu_
};

class MediaSource {
 public:
  // faults (optional) outlives the source.
  MediaSource(const SourceKey& key, FrameLedger* ledger, Faults* faults = nullptr);
  ~MediaSource();  // stops and joins the encoder thread
  MediaSource(const MediaSource&) = delete;
  MediaSource& operator=(const MediaSource&) = delete;

  // Opens the encoders and starts the encoder thread.
  bool Start(std::string* error);
  // Waits until the stream description is known (H.264: after the first
  // picture, which carries the parameter sets).
  bool WaitReady(std::chrono::milliseconds timeout);
  StreamInfo Info() const;
  const SourceKey& key() const { return key_; }
  uint32_t video_ssrc() const { return video_ssrc_; }
  uint32_t audio_ssrc() const { return audio_ssrc_; }

  // After Unsubscribe returns the sink receives no further packets.
  void Subscribe(PacketSink* sink);
  void Unsubscribe(PacketSink* sink);

 private:
  struct Encoders;
  void Run();
  void EncodeVideo(uint64_t index);
  void EncodeAudio();
  void Fanout(std::vector<Bytes>& packets, uint8_t media, bool key);

  const SourceKey key_;
  FrameLedger* ledger_;
  Faults* faults_;
  std::unique_ptr<Encoders> enc_;  // used by the encoder thread only after Start
  uint32_t video_ssrc_ = 0;
  uint32_t audio_ssrc_ = 0;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;               // guarded by mu_
  bool ready_ = false;              // guarded by mu_
  StreamInfo info_;                 // guarded by mu_
  std::vector<PacketSink*> sinks_;  // guarded by sinks_mu_
  std::mutex sinks_mu_;
  std::thread thread_;
};

}  // namespace devicesim

#endif  // DEVICESIM_SRC_MEDIA_SOURCE_H_
