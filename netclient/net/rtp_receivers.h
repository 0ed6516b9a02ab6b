// Workers of an RTSP stream with RTP over UDP, and the hand-off rules shared
// with the interleaved TCP source.
//
// CRTPVideoReceiver reads the video RTP socket, rebuilds whole pictures and
// hands them to the video conduit and the recorder; CRTPAudioReceiver does
// the same for audio; CRTCPInstance sends the RTSP keep-alive at the interval
// the RTSP session asks for (every 20 s for recorder-scheme devices, half the
// session timeout for standard servers). It sends no RTCP: the devices time
// sessions out on RTSP requests only, and standard servers count a request
// that names the session as activity as well (RFC 2326 12.37).
//
// Each receiver has one owner (the source), which starts it after PLAY and
// stops it (flag, then join) before TEARDOWN. The receivers poll their socket
// in 100 ms steps, so a stop takes effect within one step.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "net/video_depacketizer.h"
#include "qrplat/thread.h"

namespace quornet {

class CClientSession;
class CIConduit;
class CRtspSession;
class IStreamRecorder;

// First frame buffer sizes (JPEG pictures are larger than H.264 ones); a
// buffer grows when a picture needs more, up to kMaxVideoPictureSize.
inline constexpr size_t kH264FrameBufferSize = 0x100000;
inline constexpr size_t kJpegFrameBufferSize = 0x400000;

// Hands complete pictures to the video conduit and the recorder.
//
// After the conduit refused a picture (full), nothing is handed over until
// the next key frame start, which first empties the conduit. After data was
// lost, and before the first picture, nothing is handed over until a picture
// that starts with a sequence parameter set (H.264, H.265) or the next
// complete picture (JPEG): pictures in between reference what is missing and
// would decode into garbage.
//
// H.264 and H.265 senders that send their parameter sets in band only once
// (or only in front of IDR pictures) announce them in the description: the
// first picture, and after a loss the first key picture, that comes
// without an SPS of its own gets the described sets in front of it on its
// way to the conduit.
class VideoHandoff : public VideoFrameSink {
 public:
  VideoHandoff(CClientSession& session, CIConduit* video, IStreamRecorder* recorder,
               int video_code);

  void OnKeyFrameStart() override;
  void OnDataLost() override { need_key_ = true; }
  void OnPictureTooLarge(size_t size) override;
  void OnPicture(FrameBuffer* buffer, int frame_type) override;

 private:
  CClientSession& session_;
  CIConduit* video_;
  IStreamRecorder* recorder_;  // may be null
  const int video_code_;
  bool accepted_ = true;  // the conduit took the last picture
  // Data lost since the last key frame; also set before the first H.264 /
  // H.265 picture: a stream joined between key pictures starts at the next.
  bool need_key_ = false;
  bool first_ = true;                    // no picture handed over yet
  std::vector<uint8_t> described_sets_;  // from the description, Annex B
  std::vector<uint8_t> joined_;          // described sets + picture
};

// One audio RTP payload: to the audio conduit while audio is enabled (a
// backlog above kAudioBacklogLimit is dropped first), and to the recorder.
// payload must have 4 writable bytes in front (the end of its RTP header).
void HandOffAudio(CClientSession& session, CIConduit* audio, IStreamRecorder* recorder,
                  uint8_t* payload, size_t size);

// Empties a conduit unless the session is stopping (a reset would clear the
// conduit's stop flag under a reader that must stay woken).
void ResetConduit(CClientSession& session, CIConduit* conduit);

class CRTPVideoReceiver : public qrplat::JThread {
 public:
  // Without datagrams for this long the stream counts as broken.
  static constexpr uint32_t kIdleTimeoutMs = 3000;

  CRTPVideoReceiver(CClientSession& session, CRtspSession& rtsp, CIConduit* video,
                    qrplat::Event* stream_error, IStreamRecorder* recorder);
  ~CRTPVideoReceiver() override;

  // Starts the thread (0) for one stream; the receiver can be started again
  // after Stop.
  int Begin();
  void Stop();

 protected:
  int32_t Thread() override;

 private:
  CClientSession& session_;
  CRtspSession& rtsp_;
  CIConduit* video_;
  qrplat::Event* stream_error_;  // owned by the source
  IStreamRecorder* recorder_;
  std::atomic<bool> stop_{false};
};

class CRTPAudioReceiver : public qrplat::JThread {
 public:
  CRTPAudioReceiver(CClientSession& session, CRtspSession& rtsp, CIConduit* audio,
                    IStreamRecorder* recorder);
  ~CRTPAudioReceiver() override;
  int Begin();
  void Stop();

 protected:
  int32_t Thread() override;

 private:
  CClientSession& session_;
  CRtspSession& rtsp_;
  CIConduit* audio_;
  IStreamRecorder* recorder_;
  std::atomic<bool> stop_{false};
};

class CRTCPInstance : public qrplat::JThread {
 public:
  explicit CRTCPInstance(CRtspSession& rtsp);
  ~CRTCPInstance() override;
  // Starts the thread (0) for the current stream: one keep-alive at once,
  // then one every interval_ms (the RTSP session's KeepAliveIntervalMs).
  int Begin(uint32_t interval_ms);
  void Stop();

 protected:
  int32_t Thread() override;

 private:
  CRtspSession& rtsp_;
  std::atomic<bool> stop_{false};
  qrplat::Event wake_{true, false};  // set by Stop
  uint32_t interval_ms_ = 20000;     // written by Begin before the thread starts
};

}  // namespace quornet
