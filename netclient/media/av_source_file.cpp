#include "media/av_source_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "media/avi_writer.h"
#include "media/display_seams.h"
#include "media/frame_pacer.h"
#include "net/source_seams.h"
#include "net/video_picture.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {
namespace {

using recfile::FileKind;
using recfile::RecordHeader;

constexpr uint32_t kSleepSliceMs = 10;
constexpr uint32_t kEndPollMs = 100;
constexpr uint32_t kOlderEndPollMs = 50;
// Audio records longer than this are damage in alarm H.264 files.
constexpr uint32_t kMaxAudioPayload = 1024;
// The voice-frame header in front of recorded audio.
constexpr uint32_t kVoiceHeader = 4;
// PCM from AVI files goes out in pieces the sound thread reads whole.
constexpr uint32_t kPcmPiece = 2048;
// Bytes of an AVI picture read to find its parameter sets or IDR slice.
constexpr uint32_t kKeyScanBytes = 65536;

bool StartsWithStartCode(const uint8_t* p, uint32_t n) {
  return (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) ||
         (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
}

}  // namespace

CAVSource_File::CAVSource_File(IClock& clock) : clock_(clock) {}

CAVSource_File::~CAVSource_File() {
  Stop();
  Release();
}

bool CAVSource_File::Prepare() {
  CClientSession& s = *session_;
  std::string native;
  if (!qrplat::TranslatePath(s.file_path, &native) || !file_.Open(native)) return false;
  kind_ = recfile::Recognize(file_);
  recfile::StreamInfo info;
  int64_t total_ms = 0;
  uint32_t start = 0;
  switch (kind_) {
    case FileKind::kAvi:
      if (!recfile::ReadAviFile(file_, &avi_)) return false;
      info = avi_.info;
      avi_key_.assign(avi_.video.size(), -1);
      total_ms = int64_t(avi_.video.size()) * 1000 / info.frame_rate;
      break;
    case FileKind::kOlder:
    case FileKind::kAlarmH264:
    case FileKind::kAlarmMjpeg:
      if (!recfile::ReadIndexedFile(file_, kind_, &indexed_)) return false;
      info = indexed_.info;
      if (!indexed_.index.empty()) {
        start = indexed_.index.front().tick;
        total_ms = uint32_t(indexed_.index.back().tick - start);
      }
      break;
    case FileKind::kUnknown:
      return false;
  }
  s.video_payload.store(info.video_payload);
  s.audio_codec.store(info.audio_code);
  if (info.width > 0 && info.height > 0) {
    s.width.store(info.width);
    s.height.store(info.height);
  }
  s.frame_rate.store(info.frame_rate);
  s.audio_sample_rate.store(info.audio_sample_rate);
  s.server_kind.store(info.server_kind);
  s.total_time.store(static_cast<int32_t>(total_ms / 1000));
  s.start_timestamp.store(start);
  s.current_time.store(0);
  s.audio_ended.store(0);

  try {
    frame_.assign(info.video_payload == recfile::kPayloadJpeg ? kMjpegFrameBuffer : kFrameBuffer,
                  0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const bool audio = info.audio_code != 255;
  if (!audio) s.audio_ended.store(1);
  sinks_ = CreateMediaSinks(s, video_conduit_, audio ? audio_conduit_ : nullptr);
  if (!sinks_ || !sinks_->Start()) return false;
  return true;
}

void CAVSource_File::Release() {
  if (sinks_) sinks_->Stop();
  sinks_.reset();
  file_.Close();
  frame_.clear();
  frame_.shrink_to_fit();
}

int32_t CAVSource_File::Stop() {
  stop_.store(true, std::memory_order_release);
  Wait();
  return 0;
}

int32_t CAVSource_File::Run() {
  PacerRecord pacer = LoadPacer(*session_);
  PacerRestart(pacer, clock_.NowMs());
  StorePacer(*session_, pacer);
  if (kind_ == FileKind::kAvi) {
    RunAvi();
  } else {
    RunIndexed();
  }
  return kExitValue;
}

bool CAVSource_File::Nap(uint32_t ms) {
  while (ms > 0 && !StopRequested()) {
    const uint32_t step = std::min(ms, kSleepSliceMs);
    clock_.SleepMs(step);
    ms -= step;
  }
  return !StopRequested();
}

bool CAVSource_File::SeekPending() const {
  return session_->seek_flag.load() != 0;
}

void CAVSource_File::EmptyConduits() {
  if (session_->stopping()) return;
  video_conduit_->Reset();
  audio_conduit_->Reset();
}

void CAVSource_File::EndOfFile() {
  if (!ended_) {
    ended_ = true;
    session_->Notify(7, 0);
  }
  Nap(kind_ == FileKind::kOlder ? kOlderEndPollMs : kEndPollMs);
}

bool CAVSource_File::PutVideo(const uint8_t* data, uint32_t length, uint32_t stamp,
                              uint32_t max_frames, uint32_t retry_ms) {
  for (;;) {
    if (StopRequested() || SeekPending()) return false;
    if (video_conduit_->FrameCount() <= max_frames &&
        video_conduit_->Append(data, length, 1, stamp, first_after_seek_ ? kFirstAfterSeek : 0)) {
      first_after_seek_ = false;
      return true;
    }
    Nap(retry_ms);
  }
}

void CAVSource_File::PutAudio(const uint8_t* data, uint32_t length) {
  CClientSession& s = *session_;
  uint32_t done = 0;
  while (done < length) {
    // PCM may be cut anywhere on a sample; coded audio goes whole.
    const uint32_t piece =
        s.audio_codec.load() == 0 ? std::min(length - done, kPcmPiece) : length - done;
    for (;;) {
      if (s.audio_enabled.load() == 0 || s.audio_ended.load() != 0 ||
          s.speed_exponent.load() != 0 || StopRequested() || SeekPending()) {
        return;
      }
      if (audio_conduit_->Append(data + done, piece, 1, 0, 0)) break;
      Nap(10);
    }
    done += piece;
  }
}

// ---- Alarm and older record files ----------------------------------------------

bool CAVSource_File::SeekIndexed(int32_t seconds, uint64_t* pos) {
  const auto& index = indexed_.index;
  if (index.empty()) return false;
  const uint32_t start = session_->start_timestamp.load();
  const int64_t target = int64_t(std::max(seconds, 0)) * 1000;
  // The key frame at or after the target; beyond the last one, the last one.
  for (const recfile::IndexEntry& e : index) {
    if (int64_t(uint32_t(e.tick - start)) >= target) {
      *pos = e.offset;
      return true;
    }
  }
  *pos = index.back().offset;
  return true;
}

bool CAVSource_File::SkipDamage(uint64_t damaged, uint64_t* pos) {
  const uint32_t start = session_->start_timestamp.load();
  const int64_t target = (int64_t(session_->current_time.load()) + 1) * 1000;
  const recfile::IndexEntry* next = nullptr;
  for (const recfile::IndexEntry& e : indexed_.index) {
    if (e.offset <= damaged) continue;
    if (next == nullptr) next = &e;
    if (int64_t(uint32_t(e.tick - start)) >= target) {
      next = &e;
      break;
    }
  }
  if (next == nullptr) return false;
  *pos = next->offset;
  return true;
}

void CAVSource_File::RunIndexed() {
  CClientSession& s = *session_;
  const bool h264 = kind_ == FileKind::kAlarmH264;
  const bool older = kind_ == FileKind::kOlder;
  const size_t hs = indexed_.header_size;
  const uint64_t end = indexed_.records_end;
  uint64_t pos = recfile::kRecordsOffset;
  if (h264 && !indexed_.index.empty()) pos = indexed_.index.front().offset;

  // Alarm H.264: the picture being assembled from its records.
  uint32_t frame_len = 0;
  uint32_t frame_tick = 0;
  auto flush_frame = [&]() {
    if (frame_len > 0) PutVideo(frame_.data(), frame_len, frame_tick, 5, 20);
    frame_len = 0;
  };

  uint8_t head[recfile::kAlarmRecordHeaderSize];
  while (!StopRequested()) {
    if (SeekPending()) {
      s.current_time.store(s.seek_target.load());
      uint64_t to = 0;
      if (SeekIndexed(s.seek_target.load(), &to)) {
        EmptyConduits();
        pos = to;
        frame_len = 0;
        ended_ = false;
        first_after_seek_ = true;
      }
      s.seek_flag.store(0);
      continue;
    }
    if (ended_) {
      EndOfFile();
      continue;
    }
    if (pos > end || end - pos < hs || !file_.ReadExact(pos, head, hs)) {
      if (h264) flush_frame();
      if (!SeekPending()) EndOfFile();
      continue;
    }
    const RecordHeader h =
        older ? recfile::ParseOlderRecordHeader(head) : recfile::ParseAlarmRecordHeader(head);
    const uint64_t payload_at = pos + hs;
    if (end - payload_at < h.length) {
      // Cut short: the file ends inside this record.
      pos = end;
      continue;
    }
    const uint32_t read_start = clock_.NowMs();

    if (h264 &&
        (h.kind > recfile::kRecordAudio ||
         (h.kind == recfile::kRecordAudio && h.length > kMaxAudioPayload) ||
         (h.kind == recfile::kRecordVideo && frame_len + uint64_t{h.length} > frame_.size()))) {
      // Damage: the picture assembled so far is whole; then on to the next
      // key frame a second ahead.
      flush_frame();
      if (SeekPending()) continue;
      uint64_t to = 0;
      if (SkipDamage(pos, &to)) {
        pos = to;
      } else {
        pos = end;
      }
      continue;
    }
    pos = payload_at + h.length;

    if (h.kind == recfile::kRecordVideo) {
      if (h.length == 0) continue;
      if (h264) {
        uint8_t* at = frame_.data() + frame_len;
        if (!file_.ReadExact(payload_at, at, h.length)) {
          pos = end;
          continue;
        }
        if (StartsWithStartCode(at, h.length) && frame_len > 0) {
          const uint32_t prev = frame_len;
          frame_len = 0;
          const int32_t speed = s.speed_exponent.load();
          if (speed == 0) {
            PutVideo(frame_.data(), prev, frame_tick, 5, 20);
          } else {
            PutVideo(frame_.data(), prev, frame_tick, 0xFFFFFFFFu, 20);
            const double period = std::ldexp(1000.0 / s.frame_rate.load(), -speed);
            const uint32_t wait = static_cast<uint32_t>(period);
            const uint32_t spent = clock_.NowMs() - read_start;
            if (spent < wait && !SeekPending()) Nap(wait - spent);
          }
          if (SeekPending()) continue;
          std::memmove(frame_.data(), frame_.data() + prev, h.length);
        }
        if (frame_len == 0) frame_tick = h.tick;
        frame_len += h.length;
      } else {
        if (h.length > frame_.size() || !file_.ReadExact(payload_at, frame_.data(), h.length)) {
          continue;
        }
        if (older) {
          PutVideo(frame_.data(), h.length, h.tick, 5, 20);
        } else {
          PutVideo(frame_.data(), h.length, h.tick, 3, 10);
        }
      }
    } else if (h.kind == recfile::kRecordAudio) {
      if (h.length <= kVoiceHeader || h.length > kMaxAudioPayload) continue;
      if (s.audio_enabled.load() == 0 || s.speed_exponent.load() != 0) continue;
      uint8_t audio[kMaxAudioPayload];
      if (!file_.ReadExact(payload_at, audio, h.length)) continue;
      PutAudio(audio + kVoiceHeader, h.length - kVoiceHeader);
    }
  }
}

// ---- AVI record files ------------------------------------------------------------

bool CAVSource_File::AviKeyEntry(size_t i) {
  const int code = session_->video_payload.load();
  if (code != recfile::kPayloadH264 && code != recfile::kPayloadH265) return true;
  if (avi_key_[i] < 0) {
    const recfile::AviChunk& c = avi_.video[i];
    const uint32_t n = std::min(c.length, kKeyScanBytes);
    std::vector<uint8_t> head(n);
    bool key = false;
    if (n > 4 && file_.ReadExact(c.offset + 8, head.data(), n)) {
      // The device family's encoder marks its seek points with this slice
      // header byte; other encoders start a key picture with parameter sets
      // (after an access unit delimiter or SEI) or an IDR slice.
      key = code == recfile::kPayloadH265 ? H265PictureIsKey(head.data(), n)
                                          : head[4] == 0x61 || H264PictureIsKey(head.data(), n);
    }
    avi_key_[i] = key ? 1 : 0;
  }
  return avi_key_[i] == 1;
}

bool CAVSource_File::SeekAvi(int32_t seconds, size_t* entry) {
  const size_t count = avi_.video.size();
  if (count == 0) return false;
  const int64_t frame = int64_t(std::max(seconds, 0)) * session_->frame_rate.load();
  const size_t from = static_cast<size_t>(std::min<int64_t>(frame, int64_t(count) - 1));
  for (size_t i = from + 1; i-- > 0;) {
    if (AviKeyEntry(i)) {
      *entry = i;
      return true;
    }
  }
  for (size_t i = from + 1; i < count; ++i) {
    if (AviKeyEntry(i)) {
      *entry = i;
      return true;
    }
  }
  return false;
}

void CAVSource_File::RunAvi() {
  CClientSession& s = *session_;
  const int32_t rate = s.frame_rate.load();
  size_t next = 0;
  while (!StopRequested()) {
    if (SeekPending()) {
      s.current_time.store(s.seek_target.load());
      size_t to = 0;
      if (SeekAvi(s.seek_target.load(), &to)) {
        EmptyConduits();
        next = to;
        ended_ = false;
        first_after_seek_ = true;
      }
      s.seek_flag.store(0);
      continue;
    }
    if (ended_ || next >= avi_.video.size()) {
      EndOfFile();
      continue;
    }
    const size_t i = next++;
    const recfile::AviChunk& c = avi_.video[i];
    if (c.length > 0 && c.length <= frame_.size() &&
        file_.ReadExact(c.offset + 8, frame_.data(), c.length)) {
      const uint32_t stamp = static_cast<uint32_t>(int64_t(i) * 1000 / rate);
      if (!PutVideo(frame_.data(), c.length, stamp, 0xFFFFFFFFu, 10)) continue;
      while (video_conduit_->FrameCount() > 10 && !SeekPending() && Nap(10)) {
      }
    }
    for (uint32_t a = avi_.audio_from[i]; a < avi_.audio_from[i + 1]; ++a) {
      if (s.audio_enabled.load() == 0 || s.audio_ended.load() != 0 ||
          s.speed_exponent.load() != 0 || SeekPending()) {
        break;
      }
      const recfile::AviChunk& ac = avi_.audio[a];
      if (ac.length == 0 || ac.length > frame_.size() ||
          !file_.ReadExact(ac.offset + 8, frame_.data(), ac.length)) {
        continue;
      }
      PutAudio(frame_.data(), ac.length & ~1u);
    }
  }
}

namespace {

const bool g_registered = [] {
  RegisterSourceFactory(kSourceFile, [](CClientSession&) -> std::unique_ptr<CAVSource> {
    return std::make_unique<CAVSource_File>();
  });
  return true;
}();

}  // namespace

}  // namespace quornet
