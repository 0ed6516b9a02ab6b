// CAVSource_UDP: the stream source of transport 2, a device that pushes its
// stream as private UDP datagrams (net/private_udp.h) to the client. The
// client sends nothing: it binds a UDP socket to the session's port, takes
// datagrams only from the device's address, and feeds whole pictures to the
// video conduit, decoded PCM to the audio conduit and both to the recorder.
//
// Threads and ownership: the client session owns the source; the source owns
// its socket, media sinks and recorder hook. Run is the source thread; Stop
// (from the stopping thread) sets the stop flag, wakes the receive wait
// through an eventfd and joins, so it never waits on a datagram. The socket
// is only created, read and closed by Prepare, the source thread and Release.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/audio_dec.h"
#include "net/av_source.h"
#include "net/private_udp.h"

namespace quornet {

class IMediaSinks;
class IStreamRecorder;

class CAVSource_UDP final : public CAVSource,
                            private pudp::StreamHandler,
                            private pudp::PictureAssembler::Sink {
 public:
  // Socket set-up results.
  static constexpr int32_t kSocketOk = 0;
  static constexpr int32_t kResolveFailed = -1;
  static constexpr int32_t kSocketFailed = -2;
  static constexpr int32_t kBindFailed = -3;
  static constexpr int32_t kTimeoutOptionFailed = -5;
  static constexpr int32_t kBufferOptionFailed = -6;
  static constexpr int kReceiveBufferBytes = 0x40000;
  static constexpr int kReceiveTimeoutMs = 5000;
  // Longest wait for a datagram before the stop flag is looked at again
  // (a stop wakes the wait at once).
  static constexpr int kWaitMs = 1000;

  CAVSource_UDP();
  ~CAVSource_UDP() override;

  bool Prepare() override;
  void Release() override;
  int32_t Run() override;
  int32_t Stop() override;
  int32_t SetSpeed(int32_t exponent) override;

  // Result of the last socket set-up (kSocketOk or a failure code).
  int32_t socket_result() const { return socket_result_; }

 private:
  int32_t SetUpSocket();
  void CloseSocket();
  bool FromDevice(const void* address, unsigned length) const;

  // pudp::StreamHandler
  bool OnStreamStart(const pudp::Header& header) override;
  void OnDatagram(const pudp::Header& header, uint8_t* payload, size_t size) override;
  void OnDrop(pudp::Drop reason) override;
  // pudp::PictureAssembler::Sink
  void OnPicture(pudp::PictureAssembler::Picture& picture) override;
  void OnPictureLost() override { need_key_ = true; }

  void OnAudio(const pudp::Header& header, uint8_t* payload, size_t size);

  struct Format {
    int32_t audio_code, frame_rate, height, width, video_code;
    bool operator==(const Format&) const = default;
  };
  Format CurrentFormat() const;

  int fd_ = -1;       // Prepare, source thread, Release
  int wake_fd_ = -1;  // eventfd written by Stop
  int32_t socket_result_ = kSocketOk;
  // The device's address for the sender check: family and raw address bytes
  // (4 for IPv4, 16 for IPv6).
  int device_family_ = 0;
  uint8_t device_address_[16] = {};

  std::unique_ptr<IMediaSinks> sinks_;
  std::unique_ptr<IStreamRecorder> recorder_;
  bool sinks_started_ = false;

  // Source thread only.
  std::unique_ptr<pudp::PictureAssembler> assembler_;
  std::vector<uint8_t> datagram_;  // receive buffer
  CAudioDec audio_decoder_;
  std::vector<int16_t> pcm_;
  int32_t audio_code_ = kAudioNone;
  bool need_key_ = true;  // nothing reaches decoder or recorder before a key picture
  bool accepted_ = true;  // the video conduit took the last picture
  bool have_format_ = false;
  Format saved_format_{};
};

}  // namespace quornet
