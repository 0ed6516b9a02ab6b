// The sound thread of a stream source: takes encoded audio frames from the
// session's audio conduit, decodes them with CAudioDec and plays them through
// the default audio output with a ring of 16 buffers.
//
// Ownership and threads: the stream source owns its CAVSound, starts it after
// the display thread and stops it before a reconnection and when it ends.
// Stop sets the stop flag and joins; the thread never waits more than 60 ms
// on the conduit, so Stop returns promptly even while no audio arrives. The
// audio output's completion callback runs on the device thread and touches
// only the wave player's free list, under the player's lock.
//
// Behaviour worth knowing:
//  - Frames are decoded and played only while the session's audio-enabled
//    flag is set. When the thread sees the flag cleared it also drops what
//    is queued in the output, so nothing received before QRNET_ClientStopAudio
//    is heard after it.
//  - At a speed exponent other than 0 the audio keeps flowing as silence.
//  - With every buffer queued in the device a block is dropped: output never
//    blocks the thread, and at most 16 blocks wait in the device.
//  - On leaving, the thread sets the session's audio-ended flag, empties the
//    conduit and closes the output; its exit value is 9.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "media/audio_dec.h"
#include "qrplat/audio.h"
#include "qrplat/thread.h"

namespace quornet {

class CClientSession;
class CIConduit;

// The buffer ring over the default audio output. Open, Play, Reset and Close
// belong to one owner thread; the free list is shared with the completion
// callback.
class CWavePlayer {
 public:
  static constexpr int kBufferCount = 16;

  CWavePlayer() = default;
  ~CWavePlayer();
  CWavePlayer(const CWavePlayer&) = delete;
  CWavePlayer& operator=(const CWavePlayer&) = delete;

  // Opens the default output and allocates the buffers of buffer_bytes each,
  // all on the free list. A failing open or allocation is written to the
  // library log; the player then stays closed (or runs with fewer buffers).
  // True when the output is open.
  bool Open(const qrplat::AudioFormat& format, uint32_t buffer_bytes);
  bool IsOpen() const { return output_ != nullptr; }

  enum class PlayResult { kQueued, kNoFreeBuffer, kNotPlayed };
  // Copies one PCM block into a free buffer and queues it. kNoFreeBuffer:
  // every buffer is in the device and the block is dropped. kNotPlayed: the
  // player is closed, the block is empty or longer than a buffer, or the
  // device refused it.
  PlayResult Play(const void* pcm, int32_t bytes);
  // Drops everything queued in the device; all buffers return to the free
  // list before it returns.
  void Reset();
  // Drops what is queued, closes the output and frees the buffers.
  void Close();

  // Buffers currently queued in the device (any thread).
  int32_t QueuedBlocks() const;

 private:
  struct Buffer {
    uint32_t length = 0;  // bytes of PCM in data
    std::unique_ptr<uint8_t[]> data;
  };

  void OnDone(void* cookie);

  mutable std::mutex mutex_;
  std::deque<Buffer*> free_;  // guarded by mutex_
  int32_t buffer_count_ = 0;  // guarded by mutex_: buffers in all_
  // Owner thread only; the device refers to them until Close has closed it.
  std::vector<std::unique_ptr<Buffer>> all_;
  uint32_t buffer_bytes_ = 0;
  std::unique_ptr<qrplat::AudioOutput> output_;
};

class CAVSound : private qrplat::JThread {
 public:
  CAVSound(CClientSession& session, CIConduit* audio);
  ~CAVSound() override;
  CAVSound(const CAVSound&) = delete;
  CAVSound& operator=(const CAVSound&) = delete;

  // Starts the thread; false when it runs already or could not start.
  bool Start();
  // Sets the stop flag, joins the thread and closes the output. Safe to call
  // repeatedly and when the thread never started.
  void Stop();

  // Counters since construction, readable from any thread.
  struct Stats {
    uint32_t played = 0;           // blocks queued in the device
    uint32_t dropped_full = 0;     // blocks dropped with all buffers queued
    uint32_t not_played = 0;       // blocks dropped with no output (or refused)
    uint32_t decode_failures = 0;  // frames that did not decode
    uint32_t oversized = 0;        // frames longer than the read size, discarded
    uint32_t muted = 0;            // frames discarded while audio was disabled
    uint32_t output_resets = 0;    // output emptied because audio was disabled
  };
  Stats GetStats() const;
  // Blocks waiting in the device.
  int32_t QueuedBlocks() const { return player_.QueuedBlocks(); }
  int32_t ExitValue() const { return qrplat::JThread::ExitValue(); }
  bool IsRunning() const { return qrplat::JThread::IsRunning(); }

 private:
  int32_t Thread() override;
  // Reads and discards the queued frame of `length` bytes that does not fit
  // the read buffer.
  void DiscardOversized(uint32_t length);

  CClientSession& session_;
  CIConduit* const audio_;  // owned by the session; outlives this thread
  std::atomic<bool> stop_{false};
  qrplat::Event stop_event_{true, false};  // set by Stop; paces an idle loop
  // Chosen by the thread from the audio code (2500 until it runs).
  std::atomic<uint32_t> read_size_{2500};
  CWavePlayer player_;  // sound thread, and Stop after the join
  CAudioDec decoder_;   // sound thread only

  std::atomic<uint32_t> played_{0};
  std::atomic<uint32_t> dropped_full_{0};
  std::atomic<uint32_t> not_played_{0};
  std::atomic<uint32_t> decode_failures_{0};
  std::atomic<uint32_t> oversized_{0};
  std::atomic<uint32_t> muted_{0};
  std::atomic<uint32_t> output_resets_{0};
};

}  // namespace quornet
