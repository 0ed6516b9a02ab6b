// The recorder of one stream source: the record file (AVI through our
// writer) and the alarm record file (alarm_record_file.h), each with its own
// lock.
//
// A source creates its recorder through CreateStreamRecorder (source_seams.h)
// and hands it the frames it assembles; the exports reach the same recorder
// through FindRecorder(session). Both files start lazily: nothing is written
// before the first key frame (an H.264 picture carrying a sequence parameter
// set, or any JPEG picture), so every file starts with a decodable picture.
//
// Notifications (kind 6): 0 record header written, 1 recording stopped,
// 2 alarm header written, 3 alarm recording stopped, 4 segment length reached
// or stream format changed, 5 alarm duration reached. They are sent after the
// file lock is released, so a status callback may start the next file.
//
// A write that fails (disk full, file size limit) ends that recording: the
// file keeps everything up to its last whole frame (see avi_writer.h and
// alarm_record_file.h), a debug line is written and the stop is reported
// with value 1 (record file) or 3 (alarm file), never with 4, so that a
// caller does not open file after file on a full disk.
//
// Threads: frames arrive on the receiving threads (video and audio may be
// different threads), starts and stops on caller threads and on the source
// thread. Every operation is safe from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/alarm_record_file.h"
#include "media/audio_dec.h"
#include "media/avi_writer.h"
#include "net/source_seams.h"
#include "net/video_picture.h"

namespace quornet {

class CClientSession;

// Longest alarm recording, in milliseconds, also after extensions.
inline constexpr int32_t kMaxAlarmDurationMs = 1800000;

// Creates the directory that `path` (Windows or native form) lies in: the
// path is split at '/' (at '\' when it has no '/'); true when the directory
// exists afterwards. A path with neither separator fails.
bool MakeDirectoryForPath(const std::string& path);

// Width and height from the SOF0/SOF1/SOF2 segment of a JPEG picture; false
// when the markers before it are malformed or it is missing.
bool JpegPictureSize(const uint8_t* picture, size_t size, int* width, int* height);

class CRecorder final : public IStreamRecorder {
 public:
  explicit CRecorder(CClientSession& session);
  ~CRecorder() override;  // Close()

  // ---- Record file ---------------------------------------------------------
  // Opens `path` (made directory, mode "wb") for the lazy AVI. The session's
  // record start tick and segment length must be stored before. False when
  // the file cannot be opened or the recorder is closed.
  bool StartRecord(const std::string& path);
  // Finishes and closes the file (deleting it when no picture was ever
  // written) and reports (6, 1). Returns true.
  bool StopRecord();
  bool IsRecording() const { return recording_.load(); }
  bool IsRecordHeaderWritten() const { return record_header_.load(); }

  // ---- Alarm record file -------------------------------------------------------
  bool StartAlarmRecord(const std::string& path);
  // Writes the index and closes (deleting a file with an empty index), then
  // reports (6, 3). Returns true.
  bool StopAlarmRecord();
  bool IsAlarmRecording() const { return alarm_recording_.load(); }
  bool IsAlarmHeaderWritten() const { return alarm_header_.load(); }

  // Stops both recordings and refuses new ones: the source goes away.
  void Close();

  // ---- IStreamRecorder ------------------------------------------------------
  void OnKeyFrameStart() override {}
  void OnVideoFrame(uint8_t* block, uint32_t picture_size, int frame_type) override;
  void OnAudioFrame(uint8_t* payload, uint32_t size) override;
  void StopForFormatChange() override;
  void StopAll() override;

  // Test seams: substitute write functions for the files opened from now on.
  void SetWriteFunctionsForTest(AviWriteFn avi, AlarmWriteFn alarm, void* ctx);

  // What the recorder reads from a picture.
  struct Picture {
    bool key = false;    // SPS (H.264, H.265) or any JPEG picture
    bool sized = false;  // the size below comes from the picture itself
    int width = 0;
    int height = 0;
    // A key picture without parameter sets of its own, where the stream's
    // description carries them: a file starting here gets these in front.
    std::vector<uint8_t> described_sets;
  };

 private:
  Picture Inspect(const uint8_t* picture, uint32_t size) const;
  // The first picture of a file that starts at a key picture without
  // parameter sets: the described ones in front of it, behind the record
  // header reserve. Points block/pic/size at the joined copy; false (nothing
  // changed) when that would exceed the picture bound.
  bool JoinDescribedSets(const Picture& info, uint8_t** block, const uint8_t** pic, uint32_t* size,
                         std::vector<uint8_t>* joined) const;
  // Under record_mutex_: the AVI header; false on failure (then stop).
  bool WriteRecordHeaderLocked(const Picture& pic);
  // Under the respective lock: close the file; the value to report after the
  // unlock (kind 6), or -1 when nothing was open.
  int StopRecordLocked();
  int StopAlarmLocked();

  CClientSession& session_;

  std::mutex record_mutex_;  // guards the record-file fields below
  FILE* record_file_ = nullptr;
  std::string record_path_;
  avi_tag avi_{};
  std::atomic<bool> recording_{false};
  std::atomic<bool> record_header_{false};
  int record_width_ = 0, record_height_ = 0;  // as in the header
  bool record_sized_ = false;                 // ... and taken from the stream
  bool record_has_audio_ = false;
  int32_t record_audio_code_ = 0;
  CAudioDec audio_dec_;
  std::vector<int16_t> pcm_;

  std::mutex alarm_mutex_;  // guards the alarm-file fields below
  CAlarmRecordFile alarm_file_;
  std::string alarm_path_;
  std::atomic<bool> alarm_recording_{false};
  std::atomic<bool> alarm_header_{false};
  uint16_t alarm_width_ = 0, alarm_height_ = 0;
  bool alarm_sized_ = false;

  std::atomic<bool> closed_{false};
  AviWriteFn avi_write_fn_ = nullptr;      // guarded by record_mutex_
  AlarmWriteFn alarm_write_fn_ = nullptr;  // guarded by alarm_mutex_
  void* write_ctx_ = nullptr;
};

// The recorder of a session's current source; null when its source has none
// (not built yet, stopped, or a source that does not record).
std::shared_ptr<CRecorder> FindRecorder(const CClientSession& session);

}  // namespace quornet
