// The client session: the per-client object behind a client handle.
//
// It holds the client parameter record and every per-client setting, owns the
// two conduits, the stream source and the talk object, and runs the start and
// stop sequences. The settings that the exports write and the worker threads
// read on their next pass are std::atomic; the record itself is immutable
// after start (fields that change later, such as the view flag or the
// channel, have atomic copies below).
//
// Lifetime: a session is owned through shared_ptr by the handle table and by
// every export call running on it. StopClient removes the handle, runs the
// stop sequence (all threads joined, source and talk object destroyed,
// conduits released) and drops the table's reference; the object itself goes
// when the last running export returns.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "api/handle_table.h"
#include "api/process_state.h"
#include "control/session_fields.h"
#include "net/av_source.h"
#include "quornet.h"
#include "session/conduit.h"

namespace quornet {

// The talk object of a session (two-way audio), owned by the session.
class ITalk {
 public:
  virtual ~ITalk() = default;
  // Sets the stop flag, wakes the talk threads (event, socket close) and waits
  // for them without limit.
  virtual void Stop() = 0;
};

// Field sizes of the session, in bytes including the terminator.
constexpr size_t kHostSize = 256;
constexpr size_t kPathSuffixSize = 256;
constexpr size_t kStartTimeSize = 20;
constexpr size_t kNormalRecordPathSize = 512;
constexpr size_t kAlarmRecordPathSize = 256;
constexpr size_t kFilePathSize = 260;

constexpr int32_t kDefaultRtspPort = 554;

// Conduit sizes.
constexpr uint32_t kVideoConduitSize = 0x400000;  // several seconds of stream
// The video ring grows for pictures above half its size, up to two of the
// largest pictures a receiver hands over (kMaxVideoPictureSize).
constexpr uint32_t kVideoConduitMaxSize = 0x2000000;
constexpr uint32_t kLiveAudioConduitSize = 0x20000;   // live view
constexpr uint32_t kReplayAudioConduitSize = 0x1400;  // NVR replay and local files
constexpr uint32_t kConduitLowWater = 0x2000;

// Splits the address text of a client record: `field` has room for
// `field_size` bytes and need not be terminated. host gets the text up to the
// first ':' or '/'; port is the decimal number after the colon (554 without a
// colon; 0 when the text there is not a port in 1..65535); path_suffix gets
// everything from the first '/' on (empty without one).
void ParseAddressText(const char* field, size_t field_size, char (&host)[kHostSize], int32_t* port,
                      char (&path_suffix)[kPathSuffixSize]);

// Live-view performance (ms) that the automatic setting chooses for a
// bit-rate value (announced kbit/s times 1024).
int32_t AutoLiveViewPerformance(int32_t bit_rate_value);

// Copies a text into a fixed field: a text that does not fit (or a null
// pointer) leaves the field empty rather than cut.
void CopyTextField(char* field, size_t field_size, const char* text);

class CClientSession : public CHandleObject {
 public:
  CClientSession();
  ~CClientSession() override;
  CClientSession(const CClientSession&) = delete;
  CClientSession& operator=(const CClientSession&) = delete;

  // ---- Start and stop ---------------------------------------------------------

  // Initialises a live (or NVR replay) session from a client record.
  void InitLive(const QRNET_ClientParam& param);
  // Initialises a local-file session.
  void InitLocalFile(const char* path, uint32_t video_window, int32_t start_position);

  // Runs the rest of the start on an initialised session: issues the handle,
  // builds (conduits, source, prepare) and starts the source thread. Returns
  // the handle, or 0 with everything destroyed again.
  static uint32_t Launch(const std::shared_ptr<CClientSession>& session);
  // Looks a client handle up; null for 0, unknown, stopped or non-session ids.
  static std::shared_ptr<CClientSession> Find(uint32_t handle);
  // Removes the handle and stops and destroys the session. False for an
  // invalid handle. Never call it on one of the session's own threads.
  static bool StopClient(uint32_t handle);

  // Build step: conduits, the source for the transport, prepare. False on
  // any failure (the caller then runs StopAndDestroy).
  bool Build();
  // Starts the source thread; false when it did not start.
  bool StartSource();
  // Talk, conduits (waking every reader), source stop and release, then
  // destroys source and talk object and releases the conduits. Idempotent.
  void StopAndDestroy();

  // ---- Notifications ------------------------------------------------------------

  // Reports (kind, value) through the status callback or the notification
  // window of this client.
  void Notify(int32_t kind, int32_t value) const;
  // Notification kind: the stream's video cannot be decoded (value: its code).
  static constexpr int32_t kNotifyUnsupportedVideo = 9;
  // Link state := state (when `store`) and report (1, state).
  void ReportLinkState(int32_t state, bool store = true);

  // ---- Owned objects ----------------------------------------------------------

  CIConduit* video_conduit() const { return video_conduit_.get(); }
  CIConduit* audio_conduit() const { return audio_conduit_.get(); }
  // The stream source, kept alive for the caller; null before build and after
  // stop.
  std::shared_ptr<CAVSource> source() const;

  // Stops and destroys the previous talk object, then keeps `talk`. Once the
  // session is stopping, `talk` is stopped and destroyed instead and the
  // result is false.
  bool SetTalk(std::unique_ptr<ITalk> talk);
  // Stops and destroys the talk object if there is one.
  void StopTalk();
  bool HasTalk() const;

  // ---- Immutable after start --------------------------------------------------

  const QRNET_ClientParam& param() const { return param_; }
  uint32_t handle() const { return self_handle_.load(); }
  bool stopping() const { return stopping_.load(); }

  // From the address text. Written by InitLive only.
  char host[kHostSize] = {};
  char host2[kHostSize] = {};  // second host field; kept equal to host
  char path_suffix[kPathSuffixSize] = {};
  int32_t port = kDefaultRtspPort;
  int32_t port_copy = kDefaultRtspPort;
  char file_path[kFilePathSize] = {};  // local file (file sessions)
  // An address written as a full "rtsp://[user:password@]host[:port]/path"
  // selects the standard RTSP mode whatever the server says; host, port and
  // path_suffix hold its parts. Credentials in it replace the record's.
  bool standard_url = false;
  bool url_credentials = false;
  std::string url_user;
  std::string url_password;

  // ---- Settings shared between exports and worker threads ------------------

  // Copies of record fields that change after start.
  std::atomic<int32_t> view_flag{0};  // 1 = decode and draw
  std::atomic<int32_t> channel{0};    // the channel server may overwrite it
  std::atomic<uint32_t> video_window{0};
  std::atomic<int32_t> live_view_performance{0};  // ms; -1 automatic

  std::atomic<int32_t> local_file_mode{0};
  std::atomic<int32_t> replay_mode{0};

  std::atomic<int32_t> normal_record_start_tick{0};  // ms
  std::atomic<int32_t> normal_record_duration{0};    // ms
  std::atomic<int32_t> alarm_record_start_tick{0};   // ms
  std::atomic<int32_t> alarm_record_duration{0};     // ms, at most 1800000

  std::atomic<int32_t> link_state{1};
  std::atomic<int32_t> measured_bit_rate{0};  // kbit/s
  // Stream health counters since start (QRNET_ClientGetStreamCounters):
  // pictures the decoder reported errors for, pictures dropped for being
  // larger than kMaxVideoPictureSize.
  std::atomic<uint32_t> decode_errors{0};
  std::atomic<uint32_t> oversized_pictures{0};
  std::atomic<int32_t> second_stream_value{0};
  std::atomic<int32_t> md_region_mode{2};
  std::atomic<int32_t> vertical_flip{0};
  std::atomic<int32_t> rotate180{0};
  std::atomic<int32_t> width{720};
  std::atomic<int32_t> height{576};
  std::atomic<int32_t> frame_rate{25};
  std::atomic<int32_t> bit_rate_value{512};  // announced kbit/s times 1024
  std::atomic<int32_t> restore_frame_count{0};
  std::atomic<int32_t> audio_enabled{0};
  std::atomic<int32_t> audio_sample_rate{0};  // Hz; 0 = the codec's default rate
  std::atomic<int32_t> audio_ended{0};        // the sound thread has left
  std::atomic<int32_t> audio_codec{0};        // 8-bit code (255 none)
  // 1: the source puts decoded 16-bit PCM into the audio conduit (private UDP
  // stream); the sound thread then plays it as PCM whatever audio_codec says.
  std::atomic<int32_t> audio_conduit_pcm{0};
  std::atomic<int32_t> video_payload{0};  // 8-bit code (96 H.264, 26 JPEG, 98 H.265)
  std::atomic<int32_t> video_don{0};      // 1: H.265 units carry decoding order numbers
  std::atomic<int32_t> server_kind{0};    // -1, 0, 1, 2

  // Frame pacer: frames per second (0 disables), start time (ms), frames shown
  // since the start time, last speed exponent.
  std::atomic<int32_t> pacer_fps{0};
  std::atomic<uint32_t> pacer_start_ms{0};
  std::atomic<int32_t> pacer_frames{0};
  std::atomic<int32_t> pacer_last_speed{-1};

  // Playback (local files and NVR replay).
  std::atomic<int32_t> speed_exponent{0};  // -4..4
  std::atomic<int32_t> play_state{0};      // 0 playing, 1 paused, 2 single step
  std::atomic<int32_t> saved_play_state{0};
  std::atomic<int32_t> step_request{0};
  std::atomic<int32_t> total_time{0};    // s
  std::atomic<int32_t> current_time{0};  // s
  std::atomic<int32_t> seek_target{0};   // s
  std::atomic<int32_t> seek_flag{0};
  std::atomic<int32_t> seek_while_paused{0};
  std::atomic<uint32_t> start_timestamp{0};  // ms, first frame

  // Display.
  std::atomic<int32_t> drawing{0};  // 1 while a picture is being drawn
  std::atomic<int32_t> queued_frames{0};
  std::atomic<int32_t> picture_ready{0};
  std::atomic<int32_t> vertical_blank{0};
  std::atomic<int32_t> show_local_rect{0};
  std::atomic<int32_t> local_rect[4] = {};  // x, y, width, height in window pixels
  std::atomic<int32_t> ezoom_active{0};
  std::atomic<int32_t> ezoom_level{0};  // 0..38

  // Channel server (QRNET_ClientStart_Trans).
  std::atomic<int32_t> channel_server_flag{0};
  std::atomic<int32_t> channel_server_channel{0};

  std::atomic<int32_t> recorder_keep_alive{0};

  // Motion detection: written by the command exports and the camera event
  // receiver, read by the renderer. Use the functions of session_fields.h.
  mutable std::mutex motion_mutex;
  MotionState motion;  // guarded by motion_mutex

  // Texts written after start (record paths, replay start times). Readers and
  // writers hold text_mutex.
  std::mutex text_mutex;
  char requested_start_time[kStartTimeSize] = {};
  char running_start_time[kStartTimeSize] = {};
  char normal_record_path[kNormalRecordPathSize] = {};
  char alarm_record_path[kAlarmRecordPathSize] = {};
  // The video codec a description announced that we cannot decode (video
  // code 255), for QRNET_ClientGetVideoCodec; empty otherwise.
  char video_unsupported[64] = {};
  // Parameter sets the stream description carried (Annex B), for streams
  // whose key pictures come without them.
  uint8_t video_parameter_sets[4096] = {};
  uint32_t video_parameter_sets_size = 0;

 private:
  // The record as given to the start function (the view flag and the channel
  // in it are the start values; see the atomics above).
  QRNET_ClientParam param_{};
  std::atomic<uint32_t> self_handle_{0};
  std::atomic<bool> stopping_{false};

  // Deleted with the session, released (ring freed, cache deleted) by
  // StopAndDestroy: exports still running on the session may touch them.
  std::unique_ptr<CBufferConduit> video_conduit_;
  std::unique_ptr<CBufferConduit> audio_conduit_;

  mutable std::mutex source_mutex_;
  std::shared_ptr<CAVSource> source_;  // guarded by source_mutex_

  mutable std::mutex talk_mutex_;
  std::unique_ptr<ITalk> talk_;  // guarded by talk_mutex_
};

}  // namespace quornet
