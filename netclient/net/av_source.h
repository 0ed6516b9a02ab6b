// The stream source: the worker thread of one client session that owns the
// connection to the device and feeds the session's conduits.
//
// Lifecycle, driven by the client session:
//   construct (cannot fail) -> SetSession -> Prepare (false: Release, destroy)
//   -> StartThread (non-zero: Stop, Release, destroy) -> ... -> Stop (makes
//   Run end and joins the thread) -> Release -> destroy.
// The session stops both conduits before it calls Stop, so Run never stays
// blocked in a conduit. Stop is called from the stopping thread, never from
// the source's own threads.
//
// Sources are created through a factory registered per transport, so that the
// session does not depend on the transport implementations (and tests can put
// a source of their own in).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "qrplat/thread.h"

namespace quornet {

class CClientSession;
class CIConduit;

// The recorder interface every stream source implements (normal and alarm
// recording into record files). Its operations arrive with the recorder.
class IRecord {
 public:
  virtual ~IRecord() = default;
};

class CAVSource : public qrplat::JThread, public IRecord {
 public:
  CAVSource() = default;
  // Derived classes must have stopped their thread (Stop) before this runs.
  ~CAVSource() override = default;

  // Gives the source its session (back pointer; the session outlives the
  // source) and the two conduits it writes (owned by the session).
  void SetSession(CClientSession* session, CIConduit* video, CIConduit* audio) {
    session_ = session;
    video_conduit_ = video;
    audio_conduit_ = audio;
  }

  virtual int32_t GetEnable() { return enable_.load(); }
  virtual int32_t SetEnable() {
    enable_.store(1);
    return 1;
  }
  virtual int32_t ClearEnable() {
    enable_.store(0);
    return 1;
  }

  // Creates everything the run needs. False makes the session release and
  // destroy the source.
  virtual bool Prepare() = 0;
  // Destroys what Prepare created (also after a failed Prepare).
  virtual void Release() = 0;
  // The connection loop; its result is the thread's exit value.
  virtual int32_t Run() = 0;
  // Makes Run end (stop flag plus whatever wakes it) and waits for the thread
  // without limit. Safe when the thread never started.
  virtual int32_t Stop() = 0;
  // Replay speed, 2 to the power `exponent` (-4..4).
  virtual int32_t SetSpeed(int32_t exponent) = 0;

  // Starts the source thread: 0 once it runs, non-zero on failure.
  virtual int32_t StartThread() { return Start(); }

  CClientSession* session() const { return session_; }
  CIConduit* video_conduit() const { return video_conduit_; }
  CIConduit* audio_conduit() const { return audio_conduit_; }
  bool StopRequested() const { return stop_.load(std::memory_order_acquire); }

 protected:
  int32_t Thread() override { return Run(); }

  CClientSession* session_ = nullptr;
  CIConduit* video_conduit_ = nullptr;
  CIConduit* audio_conduit_ = nullptr;
  // Written by Stop on the stopping thread, read by Run between packets and
  // during pauses.
  std::atomic<bool> stop_{false};
  std::atomic<int32_t> enable_{0};
  // Guard the normal and the alarm record file respectively.
  std::mutex normal_record_lock_;
  std::mutex alarm_record_lock_;
};

// Keys of the source factory registry.
enum SourceKind : int32_t {
  kSourceRtspUdp = 0,  // transport 0
  kSourceRtspTcp = 1,  // transport 1
  kSourceUdp = 2,      // transport 2
  kSourceFile = 3,     // local record file playback (not a transport value)
};

using SourceFactory = std::function<std::unique_ptr<CAVSource>(CClientSession& session)>;

// Installs the factory for a kind (null removes it) and returns the previous
// one. Kinds other than the four above are ignored (returns null). A source
// implementation registers itself from a static initialiser in its own file;
// tests put their own in and restore the previous factory afterwards.
SourceFactory RegisterSourceFactory(int32_t kind, SourceFactory factory);
// A new source of the kind, or null when none is registered or the factory
// returned none.
std::unique_ptr<CAVSource> CreateSource(int32_t kind, CClientSession& session);

}  // namespace quornet
