// The two RTSP stream sources: CAVSource_RTSP_TCP (RTP interleaved in the
// RTSP connection, transport 1) and CAVSource_RTSP_UDP (RTP over UDP,
// transport 0). Each runs the connect-and-reconnect loop on its own thread,
// reports the link states (notification kind 1), and feeds the session's
// conduits directly (TCP) or through its RTP receivers (UDP).
//
// Ownership: the source owns its RTSP session, receivers, keep-alive thread,
// media sinks, device event receiver and recorder hook; the client session
// owns the source. Stop (any thread but the source's own) sets the stop flag,
// aborts every wait of the RTSP session and joins; the run loop notices within
// one 100 ms poll step or pause step.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "net/av_source.h"
#include "net/rtsp_protocol.h"
#include "qrplat/thread.h"

namespace quornet {

class CRtspSession;
class CRTPVideoReceiver;
class CRTPAudioReceiver;
class CRTCPInstance;
class IMediaSinks;
class IDeviceEventReceiver;
class IStreamRecorder;

// What the RTSP sources share: the RTSP session, the seams, the stream
// format check across reconnections and the waits between attempts.
class CAVSource_RTSP : public CAVSource {
 public:
  // Without a stream for this long while retrying, running records close.
  static constexpr uint32_t kRecordGapMs = 299999;

  ~CAVSource_RTSP() override;
  int32_t SetSpeed(int32_t exponent) override;

  CRtspSession* rtsp() const { return rtsp_.get(); }

 protected:
  explicit CAVSource_RTSP(bool udp) : udp_(udp) {}

  // Creates the RTSP session, recorder hook and media sinks.
  bool PrepareCommon();
  void ReleaseCommon();

  // Open and start request for the session's mode: 1, 0 or -1 (refused).
  int32_t OpenAndStart();
  // Sleeps the reconnect pause in 100 ms steps; false when stopped.
  bool ReconnectPause();
  // Records must not mix stream formats: a changed format closes them.
  void CheckFormatAfterReconnect();
  void SaveFormat();
  // Closes running records when the stream has been away too long.
  void CheckRecordGap();

  bool StartSinks();
  void StopSinks();
  // Device event channel for server kinds 0 and 1; false only when its
  // thread could not be started.
  bool StartEventReceiver();
  void StopEventReceiver();
  // RTSP keep-alive thread, when the session needs one; false only when its
  // thread could not be started.
  bool StartKeepAlive();
  void StopKeepAlive();

  const bool udp_;
  std::unique_ptr<CRtspSession> rtsp_;
  std::unique_ptr<IStreamRecorder> recorder_;
  std::unique_ptr<IMediaSinks> sinks_;
  std::unique_ptr<IDeviceEventReceiver> events_;
  std::unique_ptr<CRTCPInstance> keep_alive_;
  bool sinks_started_ = false;
  bool events_started_ = false;
  bool keep_alive_started_ = false;
  std::atomic<bool> connected_{false};  // a PLAY succeeded in this attempt
  uint32_t last_activity_ = 0;          // tick of the last running stream

 private:
  struct Format {
    int32_t audio_code, frame_rate, height, width, video_code;
    bool operator==(const Format&) const = default;
  };
  Format CurrentFormat() const;
  bool have_format_ = false;
  Format saved_format_{};
};

class CAVSource_RTSP_TCP final : public CAVSource_RTSP {
 public:
  CAVSource_RTSP_TCP() : CAVSource_RTSP(false) {}
  ~CAVSource_RTSP_TCP() override;

  bool Prepare() override;
  void Release() override;
  int32_t Run() override;
  int32_t Stop() override;

  // Exit value of the run.
  static constexpr int32_t kExitValue = 3276;
  // Without any byte from the device for this long the stream is broken.
  static constexpr uint32_t kIdleTimeoutMs = 5000;

 private:
  enum class ReadEnd { kStopped, kBroken };
  ReadEnd ReadStream();
};

class CAVSource_RTSP_UDP final : public CAVSource_RTSP {
 public:
  CAVSource_RTSP_UDP() : CAVSource_RTSP(true) {}
  ~CAVSource_RTSP_UDP() override;

  bool Prepare() override;
  void Release() override;
  int32_t Run() override;
  int32_t Stop() override;

  static constexpr int32_t kExitValue = 7;

 private:
  void StopReceivers();

  std::unique_ptr<qrplat::Event> stop_event_;
  std::unique_ptr<qrplat::Event> stream_error_;
  std::unique_ptr<CRTPVideoReceiver> video_receiver_;
  std::unique_ptr<CRTPAudioReceiver> audio_receiver_;
  bool audio_started_ = false;
};

}  // namespace quornet
