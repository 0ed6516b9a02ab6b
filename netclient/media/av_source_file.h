// CAVSource_File: the stream source of a local-file session (QRNET_OpenFile).
//
// Prepare is the open: it recognises the file kind (AVI record, alarm record
// H.264 or MJPEG, older record), reads or rebuilds the index, tells the
// session the stream's format, total time and start timestamp, and starts
// the decoder, display thread and sound thread through the media sinks. Run
// is the reader thread: it feeds the video and audio conduits at the pace the
// display takes frames (and, at replay speeds other than normal, at the
// speed's pace for alarm H.264 files), obeys seek requests and reports the
// end of the file with notification (7, 0), then waits for a seek.
//
// Threads: the reader thread owns the file position and the frame buffer.
// The play controls are session atomics written by the exports; the display
// thread obeys pause and single step (see playback_control.cpp), the reader
// obeys seeks. Stop sets the stop flag and joins; every wait of the reader is
// a short sleep that checks the flag, and the session stops the conduits
// first.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/media_clock.h"
#include "media/record_file.h"
#include "net/av_source.h"

namespace quornet {

class IMediaSinks;

class CAVSource_File final : public CAVSource {
 public:
  static constexpr uint32_t kMjpegFrameBuffer = 4194304;
  static constexpr uint32_t kFrameBuffer = 1048576;
  static constexpr int32_t kExitValue = 0;

  // clock paces the reader (tests give the display's simulated clock).
  explicit CAVSource_File(IClock& clock = RealClock());
  ~CAVSource_File() override;

  // Opens the session's file (its path through the drive map). False when
  // it cannot be read or recognised, or the display cannot start.
  bool Prepare() override;
  void Release() override;
  int32_t Run() override;
  int32_t Stop() override;
  // Local files have no server to ask; the display and the reader read the
  // session's exponent themselves.
  int32_t SetSpeed(int32_t) override { return 1; }

  recfile::FileKind kind() const { return kind_; }
  const recfile::IndexedFile& indexed() const { return indexed_; }
  const recfile::AviFile& avi() const { return avi_; }

 private:
  void RunIndexed();
  void RunAvi();

  // Notifies (7, 0) once, then waits for a seek or the stop.
  void EndOfFile();
  // Sleeps up to ms in short steps; false once the source is stopping.
  bool Nap(uint32_t ms);
  bool SeekPending() const;
  // Appends one whole video frame, retrying every retry_ms while the
  // conduit holds more than max_frames or refuses it. False when a seek or
  // the stop came first (the frame is dropped).
  bool PutVideo(const uint8_t* data, uint32_t length, uint32_t stamp, uint32_t max_frames,
                uint32_t retry_ms);
  // Appends audio while audio is enabled, playing and at normal speed.
  void PutAudio(const uint8_t* data, uint32_t length);
  // Empties both conduits (not while the session stops).
  void EmptyConduits();

  // Indexed kinds: the target position of a seek to `seconds`.
  bool SeekIndexed(int32_t seconds, uint64_t* pos);
  // Damage in an alarm H.264 file at `damaged`: on to the next key frame a
  // second later (or the next one at all); false at the end of the index.
  bool SkipDamage(uint64_t damaged, uint64_t* pos);
  // AVI: the entry a seek to `seconds` starts from; false when none.
  bool SeekAvi(int32_t seconds, size_t* entry);
  bool AviKeyEntry(size_t entry);

  IClock& clock_;
  recfile::FileBytes file_;
  recfile::FileKind kind_ = recfile::FileKind::kUnknown;
  recfile::IndexedFile indexed_;
  recfile::AviFile avi_;
  std::vector<int8_t> avi_key_;  // reader thread: -1 unknown, 0 no, 1 key
  std::vector<uint8_t> frame_;   // reader thread
  std::unique_ptr<IMediaSinks> sinks_;
  bool ended_ = false;             // reader thread
  bool first_after_seek_ = false;  // reader thread: mark the next frame
};

}  // namespace quornet
