// CAVDisplay: the display thread of one client session. It takes whole
// encoded video frames out of the session's video conduit, decodes them with
// libavcodec (H.264 or Motion JPEG), paces them to the stream's frame rate,
// draws them through its renderer and hands them to the snapshot writer when
// a capture is pending.
//
// Lifecycle, driven by the owner (the media sinks of a stream source, or the
// file source): OpenDecoder -> StartThread (false: CloseDecoder) -> ... ->
// StopThread -> CloseDecoder, repeated after every reconnection. The
// destructor stops the thread and closes the decoder. The owner stops the
// session's conduit before StopThread when the session ends; StopThread
// itself never waits longer than one pass (the fetch waits 60 ms, every
// sleep is cut short by the stop flag, a draw is bounded).
//
// Threads: the decoder state belongs to the owner while the thread is
// stopped and to the display thread while it runs. The capture request and
// the window hand-over are guarded by the display lock; the renderer has its
// own lock; the session fields are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/media_clock.h"
#include "media/pixel_convert.h"
#include "media/renderer.h"
#include "qrplat/thread.h"
#include "session/conduit.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace quornet {

class CClientSession;

class CAVDisplay : public qrplat::JThread {
 public:
  static constexpr int32_t kExitCode = 218;
  static constexpr uint32_t kMjpegInputSize = 4194304;
  static constexpr uint32_t kH264InputSize = 1048576;
  // Frames up to this size are read into the input buffer; a longer one
  // (a camera's large key pictures, in a grown conduit) is read into a grown
  // buffer rather than left at the head of the queue, up to kMaxFrameSize,
  // the receivers' bound on a picture (kMaxVideoPictureSize).
  static constexpr uint32_t kReadLimit = 1048576;
  static constexpr uint32_t kMaxFrameSize = 16u << 20;
  static constexpr uint32_t kFetchWaitMs = 60;
  static constexpr uint32_t kIdleSleepMs = 10;
  static constexpr int32_t kPayloadJpeg = 26;
  static constexpr int32_t kPayloadH264 = 96;

  // session outlives the display; video is the session's video conduit
  // (owned by the session); clock outlives the display.
  CAVDisplay(CClientSession& session, CIConduit* video, IClock& clock = RealClock());
  ~CAVDisplay() override;

  // Closes any previous decoder, clears the stop flag and opens the decoder
  // for the session's video payload code (26 Motion JPEG, 96 H.264). False
  // for any other code or when libavcodec fails.
  bool OpenDecoder();
  // Frees the input buffer and the decoder; the codec close runs under the
  // process-wide codec lock. Safe when nothing is open.
  void CloseDecoder();
  bool DecoderOpen() const { return context_ != nullptr; }
  // Starts the display thread; false when it is running already or could not
  // be created.
  bool StartThread();
  // Sets the stop flag and waits for the thread (exit value 218).
  void StopThread();

  // QRNET_ClientSetWnd: hands a new window to the renderer under the display
  // lock; the next picture re-creates the surfaces.
  void SetWindow(uint32_t window);

  // Capture request of QRNET_ClientCapturePicture, consumed by the snapshot
  // writer on the display thread.
  bool CapturePending() const { return capture_pending_.load() != 0; }
  void SetCapturePending(bool pending) { capture_pending_.store(pending ? 1 : 0); }
  std::mutex& capture_mutex() { return display_mutex_; }

  // Runs the frame pacer of the session once with a speed exponent (display
  // thread; the playback control calls it too).
  void RunPacer(int32_t speed_exponent);
  // Live view: the pacer for a frame taken from the conduit at `fetched`,
  // with or without more frames queued behind it.
  void RunLivePacer(uint32_t fetched, bool queued_behind);
  // Pacer count 0, start now (or at `at`).
  void RestartPacer();
  void RestartPacer(uint32_t at);
  // While playback is paused or single-stepping (display thread): presents
  // the current picture again with a fresh on-screen display, and serves a
  // pending snapshot from it.
  void RedrawCurrent();
  void ServePendingSnapshot();
  // Sleeps up to ms, in short steps that end early once a stop is requested.
  void Sleep(uint32_t ms);
  bool StopRequested() const { return stop_.load(); }

  CClientSession& session() { return session_; }
  IClock& clock() { return clock_; }
  CRenderer& renderer() { return renderer_; }
  CIConduit* conduit() { return conduit_; }

  // Counters for diagnostics and tests; updated by the display thread.
  struct Stats {
    uint64_t frames_read = 0;
    uint64_t pictures = 0;        // decoded pictures
    uint64_t drawn = 0;           // pictures handed to the renderer
    uint64_t skipped_resync = 0;  // live H.264 frames dropped until a key frame
    uint64_t skipped_fast = 0;    // dropped by high-speed replay
    uint64_t flushes = 0;
    // Frames the decoder refused, returned damaged or logged an error for
    // (concealed slices, missing references).
    uint64_t decode_errors = 0;
  };
  Stats GetStats() const;

 protected:
  int32_t Thread() override;

 private:
  // One frame in, at most the newest picture out. True when a picture was
  // produced; *out then describes it.
  bool Decode(const uint8_t* data, uint32_t length, YuvPlanes* out);
  // Describes the current picture as YUV 4:2:0 (converting other layouts).
  bool PicturePlanes(YuvPlanes* out);
  uint32_t Fetch(bool step_cache, uint32_t* frames_left, FrameHeader* header);

  CClientSession& session_;
  CIConduit* const conduit_;
  IClock& clock_;
  CRenderer renderer_;

  std::atomic<bool> stop_{false};
  std::mutex display_mutex_;  // window hand-over, capture request
  std::atomic<int32_t> capture_pending_{0};

  // Decoder state: owner thread while stopped, display thread while running.
  int32_t payload_ = 0;
  std::vector<uint8_t> input_;  // frame bytes plus zeroed decoder padding
  uint32_t input_size_ = 0;     // usable bytes of input_
  AVCodecContext* context_ = nullptr;
  AVFrame* picture_ = nullptr;  // the newest decoded picture
  AVFrame* scratch_ = nullptr;  // receives pictures before they become picture_
  AVPacket* packet_ = nullptr;
  bool have_picture_ = false;
  SwsContext* sws_ = nullptr;       // to 4:2:0 for other chroma layouts
  std::vector<uint8_t> converted_;  // its output planes
  YuvPlanes planes_;                // the current picture as 4:2:0

  std::atomic<uint64_t> frames_read_{0}, pictures_{0}, drawn_{0}, skipped_resync_{0},
      skipped_fast_{0}, flushes_{0}, decode_errors_{0};
};

// The display object of a session: one per session, shared by the media
// sinks that the session's source creates and looked up by the exports.
// AcquireDisplay returns the existing one or creates it; it lives while a
// holder keeps it. FindDisplay returns null when the session has none.
std::shared_ptr<CAVDisplay> AcquireDisplay(CClientSession& session, CIConduit* video);
std::shared_ptr<CAVDisplay> FindDisplay(const CClientSession& session);

// QRNET_SetLiveViewPerformance on a session: stores the live-view
// performance (ms) and sets the restore-frame count from it. value < 0
// selects the automatic value for the session's bit rate.
void ApplyLiveViewPerformance(CClientSession& session, int32_t value);

}  // namespace quornet
