#include "media/recorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "media/display_seams.h"
#include "net/h264_sps.h"
#include "net/media_frames.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "session/client_session.h"

namespace quornet {
namespace {

constexpr int32_t kAudioCodeNone = 255;

// Notifications collected under a file lock and sent after it.
class Pending {
 public:
  void Add(int value) {
    if (value >= 0 && n_ < kMax) values_[n_++] = value;
  }
  void Send(CClientSession& session) {
    for (int i = 0; i < n_; ++i) session.Notify(6, values_[i]);
  }

 private:
  static constexpr int kMax = 8;
  int values_[kMax] = {};
  int n_ = 0;
};

// A key frame whose own size differs from the one a file was started with.
bool Resized(const CRecorder::Picture& p, int width, int height) {
  return p.key && p.sized && (p.width != width || p.height != height);
}

int32_t ClampFrameRate(int32_t fps) {
  return fps >= 1 && fps <= 30 ? fps : 30;
}

bool IsDirectory(const std::string& native) {
  struct stat st;
  return stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// ---- Recorder registry --------------------------------------------------------

struct Registry {
  std::mutex mutex;
  std::map<const CClientSession*, std::weak_ptr<CRecorder>> recorders;  // guarded by mutex
};

Registry& GetRegistry() {
  static Registry* registry = new Registry();  // never destroyed: used from worker threads
  return *registry;
}

// What a source owns: forwards the frames and, when the source lets go of
// it, finishes both files and unregisters the recorder.
class RecorderHook final : public IStreamRecorder {
 public:
  RecorderHook(CClientSession& session, std::shared_ptr<CRecorder> recorder)
      : session_(&session), recorder_(std::move(recorder)) {
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.recorders[session_] = recorder_;
  }
  ~RecorderHook() override {
    {
      Registry& r = GetRegistry();
      std::lock_guard<std::mutex> lock(r.mutex);
      auto it = r.recorders.find(session_);
      if (it != r.recorders.end() && it->second.lock() == recorder_) r.recorders.erase(it);
    }
    recorder_->Close();
  }
  void OnKeyFrameStart() override { recorder_->OnKeyFrameStart(); }
  void OnVideoFrame(uint8_t* block, uint32_t picture_size, int frame_type) override {
    recorder_->OnVideoFrame(block, picture_size, frame_type);
  }
  void OnAudioFrame(uint8_t* payload, uint32_t size) override {
    recorder_->OnAudioFrame(payload, size);
  }
  void StopForFormatChange() override { recorder_->StopForFormatChange(); }
  void StopAll() override { recorder_->StopAll(); }

 private:
  const CClientSession* session_;
  std::shared_ptr<CRecorder> recorder_;
};

const bool g_registered = [] {
  RegisterStreamRecorderFactory([](CClientSession& session) -> std::unique_ptr<IStreamRecorder> {
    return std::make_unique<RecorderHook>(session, std::make_shared<CRecorder>(session));
  });
  RegisterRecordingProbe([](const CClientSession& session) {
    std::shared_ptr<CRecorder> r = FindRecorder(session);
    return r && r->IsRecording();
  });
  return true;
}();

}  // namespace

std::shared_ptr<CRecorder> FindRecorder(const CClientSession& session) {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.recorders.find(&session);
  return it == r.recorders.end() ? nullptr : it->second.lock();
}

// ---- Helpers ----------------------------------------------------------------------

bool MakeDirectoryForPath(const std::string& path) {
  const char sep = path.find('/') != std::string::npos ? '/' : '\\';
  const size_t last = path.rfind(sep);
  if (last == std::string::npos) return false;
  // "X:\file" or "\file": the directory is a drive root or the root.
  std::string dir = path.substr(0, last + 1);
  std::string native;
  if (!qrplat::TranslatePath(dir, &native)) return false;
  if (native.empty()) native.push_back('/');
  if (IsDirectory(native)) return true;
  qrplat::CreateDirectories(dir);
  return IsDirectory(native);
}

namespace {

// The record file at `path` (the Windows form) and `native` (its translation):
// its directory made, the file created empty; null, with a debug line, when
// either fails.
FILE* CreateRecordFile(const std::string& path, const std::string& native) {
  if (!MakeDirectoryForPath(path)) return nullptr;
  FILE* f = std::fopen(native.c_str(), "wb");
  if (f == nullptr) {
    qrplat::DebugOutput("recorder: cannot open %s (errno %d)\n", native.c_str(), errno);
  }
  return f;
}

}  // namespace

bool JpegPictureSize(const uint8_t* p, size_t n, int* width, int* height) {
  if (p == nullptr || n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
  size_t i = 2;
  for (int segments = 0; segments < 64 && i + 4 <= n; ++segments) {
    if (p[i] != 0xFF) return false;
    const uint8_t marker = p[i + 1];
    if (marker == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    const size_t len = size_t(p[i + 2]) << 8 | p[i + 3];
    if (len < 2 || i + 2 + len > n) return false;
    if (marker >= 0xC0 && marker <= 0xC2) {
      if (len < 7) return false;
      *height = p[i + 5] << 8 | p[i + 6];
      *width = p[i + 7] << 8 | p[i + 8];
      return *width > 0 && *height > 0;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // scan data before any frame header
    i += 2 + len;
  }
  return false;
}

// ---- CRecorder ----------------------------------------------------------------

CRecorder::CRecorder(CClientSession& session) : session_(session) {}

CRecorder::~CRecorder() {
  Close();
}

void CRecorder::SetWriteFunctionsForTest(AviWriteFn avi, AlarmWriteFn alarm, void* ctx) {
  std::scoped_lock lock(record_mutex_, alarm_mutex_);
  avi_write_fn_ = avi;
  alarm_write_fn_ = alarm;
  write_ctx_ = ctx;
}

CRecorder::Picture CRecorder::Inspect(const uint8_t* pic, uint32_t size) const {
  Picture out;
  const int code = session_.video_payload.load() & 0xFF;
  if (IsAnnexBVideo(code)) {
    const uint8_t* sps = nullptr;
    size_t sps_size = 0;
    out.key = VideoPictureHasSps(code, pic, size, &sps, &sps_size);
    if (!out.key && VideoPictureIsKey(code, pic, size)) {
      // Senders that announce their parameter sets only in the description
      // (sprop-*) send key pictures without them; a file can start there
      // with the described sets written in front.
      {
        std::lock_guard<std::mutex> lock(session_.text_mutex);
        const uint32_t n = std::min<uint32_t>(session_.video_parameter_sets_size,
                                              sizeof session_.video_parameter_sets);
        out.described_sets.assign(session_.video_parameter_sets, session_.video_parameter_sets + n);
      }
      if (!out.described_sets.empty() &&
          VideoPictureHasSps(code, out.described_sets.data(), out.described_sets.size(), &sps,
                             &sps_size)) {
        out.key = true;
      } else {
        out.described_sets.clear();
      }
    }
    SpsPictureSize s;
    const bool parsed =
        out.key && (code == kVideoCodeH264 ? ParseSpsPictureSize(sps, sps_size, &s)
                                           : ParseH265SpsPictureSize(sps, sps_size, &s));
    if (parsed) {
      out.width = s.width;
      out.height = s.height;
    }
  } else {
    out.key = size > 0;
    JpegPictureSize(pic, size, &out.width, &out.height);
  }
  out.sized = out.width >= 1 && out.width <= 65535 && out.height >= 1 && out.height <= 65535;
  // Without a size in the picture, the announced (or last decoded) one.
  if (!out.sized) {
    out.width = session_.width.load();
    out.height = session_.height.load();
  }
  return out;
}

bool CRecorder::JoinDescribedSets(const Picture& info, uint8_t** block, const uint8_t** pic,
                                  uint32_t* size, std::vector<uint8_t>* joined) const {
  const std::vector<uint8_t>& sets = info.described_sets;
  if (sets.empty() || sets.size() + *size > kMaxVideoPictureSize) return false;
  joined->assign(kRecordFrameHeaderSize, 0);
  joined->insert(joined->end(), sets.begin(), sets.end());
  joined->insert(joined->end(), *pic, *pic + *size);
  *block = joined->data();
  *pic = joined->data() + kRecordFrameHeaderSize;
  *size = static_cast<uint32_t>(joined->size() - kRecordFrameHeaderSize);
  return true;
}

bool CRecorder::StartRecord(const std::string& path) {
  if (closed_.load() || path.empty()) return false;
  std::string native;
  if (!qrplat::TranslatePath(path, &native) || native.empty()) return false;
  std::lock_guard<std::mutex> lock(record_mutex_);
  if (recording_.load()) return true;
  FILE* f = CreateRecordFile(path, native);
  if (f == nullptr) return false;
  record_file_ = f;
  record_path_ = native;
  avi_ = avi_tag{};
  avi_.fp = f;
  avi_.write_fn = avi_write_fn_;
  avi_.write_ctx = write_ctx_;
  record_header_.store(false);
  recording_.store(true);
  return true;
}

bool CRecorder::WriteRecordHeaderLocked(const Picture& pic) {
  const int video_code = session_.video_payload.load() & 0xFF;
  const char* compressor = video_code == kVideoCodeH264   ? "H264"
                           : video_code == kVideoCodeH265 ? "HEVC"
                                                          : "MJPG";
  const int32_t fps = ClampFrameRate(session_.frame_rate.load());
  const int32_t code = session_.audio_codec.load() & 0xFF;
  record_audio_code_ = code;
  record_has_audio_ = code != kAudioCodeNone && audio_dec_.InitDecoder(code) == 0;
  if (record_has_audio_) pcm_.assign(CAudioDec::PcmCapacity(code) / 2 + 1, 0);
  const long rate = code == kAudioAac ? 16000 : 8000;
  if (AVI_set_video(&avi_, pic.width, pic.height, fps, compressor) != kAviOk ||
      AVI_set_audio(&avi_, record_has_audio_ ? 1 : 0, rate, 16, 1) != kAviOk ||
      AVI_Init(&avi_) != kAviOk) {
    qrplat::DebugOutput("recorder: cannot write the header of %s\n", record_path_.c_str());
    return false;
  }
  record_width_ = pic.width;
  record_height_ = pic.height;
  record_sized_ = pic.sized;
  record_header_.store(true);
  return true;
}

int CRecorder::StopRecordLocked() {
  if (record_file_ == nullptr) return -1;
  recording_.store(false);
  const bool had_header = record_header_.load();
  if (AVI_close(&avi_) != kAviOk) {
    qrplat::DebugOutput("recorder: %s finished without its index (write failed)\n",
                        record_path_.c_str());
  }
  avi_ = avi_tag{};
  if (std::fclose(record_file_) != 0) {
    qrplat::DebugOutput("recorder: closing %s failed (errno %d)\n", record_path_.c_str(), errno);
  }
  record_file_ = nullptr;
  record_header_.store(false);
  // A file that never got its first key frame holds nothing a player could
  // open.
  if (!had_header) ::unlink(record_path_.c_str());
  audio_dec_.Close();
  return 1;
}

bool CRecorder::StopRecord() {
  int value;
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    value = StopRecordLocked();
  }
  if (value >= 0) session_.Notify(6, value);
  return true;
}

bool CRecorder::StartAlarmRecord(const std::string& path) {
  if (closed_.load() || path.empty()) return false;
  std::string native;
  if (!qrplat::TranslatePath(path, &native) || native.empty()) return false;
  std::lock_guard<std::mutex> lock(alarm_mutex_);
  if (alarm_recording_.load()) return true;
  FILE* f = CreateRecordFile(path, native);
  if (f == nullptr || !alarm_file_.Open(f, alarm_write_fn_, write_ctx_)) return false;
  alarm_path_ = native;
  alarm_header_.store(false);
  alarm_recording_.store(true);
  return true;
}

int CRecorder::StopAlarmLocked() {
  if (!alarm_file_.IsOpen()) return -1;
  alarm_recording_.store(false);
  alarm_header_.store(false);
  const CAlarmRecordFile::CloseResult r = alarm_file_.Close();
  if (r.write_failed) {
    qrplat::DebugOutput("recorder: %s kept with %zu index entries after a failed write\n",
                        alarm_path_.c_str(), r.index_entries);
  }
  if (r.index_entries == 0) ::unlink(alarm_path_.c_str());
  return 3;
}

bool CRecorder::StopAlarmRecord() {
  int value;
  {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    value = StopAlarmLocked();
  }
  if (value >= 0) session_.Notify(6, value);
  return true;
}

void CRecorder::Close() {
  closed_.store(true);
  StopAll();
}

void CRecorder::StopAll() {
  StopRecord();
  StopAlarmRecord();
}

void CRecorder::StopForFormatChange() {
  Pending pending;
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    if (StopRecordLocked() >= 0) {
      pending.Add(1);
      pending.Add(4);
    }
  }
  {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    pending.Add(StopAlarmLocked());
  }
  pending.Send(session_);
}

void CRecorder::OnVideoFrame(uint8_t* block, uint32_t size, int frame_type) {
  if (!recording_.load() && !alarm_recording_.load()) return;
  if (block == nullptr || size == 0) return;
  const uint8_t* pic = block + kRecordFrameHeaderSize;
  const uint32_t now = qrplat::TickCount();
  Picture info;
  std::vector<uint8_t> joined;  // described parameter sets + picture, see Inspect
  bool inspected = false;
  auto inspect = [&]() -> const Picture& {
    if (!inspected) info = Inspect(pic, size);
    inspected = true;
    return info;
  };
  Pending pending;

  if (recording_.load()) {
    std::lock_guard<std::mutex> lock(record_mutex_);
    if (recording_.load()) {
      bool failed = false;
      const uint8_t* write_pic = pic;
      uint32_t write_size = size;
      if (!record_header_.load() && inspect().key) {
        if (WriteRecordHeaderLocked(info)) {
          pending.Add(0);
          uint8_t* unused = nullptr;
          JoinDescribedSets(info, &unused, &write_pic, &write_size, &joined);
        } else {
          failed = true;
        }
      }
      if (!failed && record_header_.load() && record_sized_ &&
          Resized(inspect(), record_width_, record_height_)) {
        // The stream came back with other pictures: a file holds one format.
        pending.Add(StopRecordLocked());
        pending.Add(4);
      }
      if (!failed && record_header_.load()) {
        const int r = AVI_write_frame(&avi_, write_pic, write_size, now);
        const uint32_t segment = static_cast<uint32_t>(session_.normal_record_duration.load());
        const uint32_t start = static_cast<uint32_t>(session_.normal_record_start_tick.load());
        if (r == kAviErrTooLarge) {
          // The file is as large as it may grow: the caller goes on in a new one.
          pending.Add(StopRecordLocked());
          pending.Add(4);
        } else if (r != kAviOk) {
          qrplat::DebugOutput("recorder: writing %s failed (%d); recording stopped\n",
                              record_path_.c_str(), r);
          failed = true;
        } else if (segment != 0 && now - start >= segment) {
          pending.Add(StopRecordLocked());
          pending.Add(4);
        }
      }
      if (failed) pending.Add(StopRecordLocked());
    }
  }

  if (alarm_recording_.load()) {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    if (alarm_recording_.load()) {
      bool failed = false;
      uint8_t* write_block = block;
      const uint8_t* write_pic = pic;
      uint32_t write_size = size;
      if (!alarm_header_.load() && inspect().key) {
        AlarmStreamHeader h;
        h.video_payload = static_cast<uint8_t>(session_.video_payload.load());
        h.audio_code = static_cast<uint8_t>(session_.audio_codec.load());
        h.width = static_cast<uint16_t>(info.width);
        h.height = static_cast<uint16_t>(info.height);
        h.server_kind = static_cast<uint8_t>(session_.server_kind.load());
        h.frame_rate = static_cast<uint8_t>(ClampFrameRate(session_.frame_rate.load()));
        if (alarm_file_.WriteHeader(h)) {
          alarm_width_ = h.width;
          alarm_height_ = h.height;
          alarm_sized_ = info.sized;
          alarm_header_.store(true);
          pending.Add(2);
          JoinDescribedSets(info, &write_block, &write_pic, &write_size, &joined);
        } else {
          failed = true;
        }
      }
      if (!failed && alarm_header_.load() && alarm_sized_ &&
          Resized(inspect(), alarm_width_, alarm_height_)) {
        pending.Add(StopAlarmLocked());
      }
      if (!failed && alarm_header_.load()) {
        if (write_size > kAlarmMaxPayload) {
          // The record header has 20 bits for the length: such a picture
          // cannot be stored, and a cut one would corrupt the file.
          qrplat::DebugOutput("recorder: %u-byte picture left out of the alarm record\n",
                              write_size);
        } else {
          PackRecordFrameHeader(write_block, 0, frame_type, write_size, alarm_width_, alarm_height_,
                                now);
          const bool key = frame_type == 0 || frame_type == 7 || write_block != block;
          if (!alarm_file_.WriteRecord(write_block, write_pic, write_size, now, key)) failed = true;
        }
        const uint32_t duration = static_cast<uint32_t>(session_.alarm_record_duration.load());
        const uint32_t start = static_cast<uint32_t>(session_.alarm_record_start_tick.load());
        if (!failed && duration != 0 && now - start > duration) {
          pending.Add(StopAlarmLocked());
          pending.Add(5);
        }
      }
      if (failed) {
        qrplat::DebugOutput("recorder: writing %s failed; alarm recording stopped\n",
                            alarm_path_.c_str());
        pending.Add(StopAlarmLocked());
      }
    }
  }
  pending.Send(session_);
}

void CRecorder::OnAudioFrame(uint8_t* payload, uint32_t size) {
  if (!recording_.load() && !alarm_recording_.load()) return;
  if (payload == nullptr || size == 0) return;
  const uint32_t now = qrplat::TickCount();
  Pending pending;

  if (record_header_.load()) {
    std::lock_guard<std::mutex> lock(record_mutex_);
    if (recording_.load() && record_header_.load() && record_has_audio_) {
      int32_t bytes = 0;
      if (audio_dec_.Decode(static_cast<int32_t>(size), &bytes, record_audio_code_, payload,
                            pcm_.data(), pcm_.size() * 2) == 0 &&
          bytes > 0) {
        const int r =
            AVI_write_audio(&avi_, reinterpret_cast<const uint8_t*>(pcm_.data()), bytes, now);
        if (r == kAviErrTooLarge) {
          pending.Add(StopRecordLocked());
          pending.Add(4);
        } else if (r != kAviOk) {
          qrplat::DebugOutput("recorder: writing %s failed (%d); recording stopped\n",
                              record_path_.c_str(), r);
          pending.Add(StopRecordLocked());
        }
      }
    }
  }

  if (alarm_header_.load() && size + kVoiceFrameHeaderSize <= kAlarmMaxPayload) {
    std::lock_guard<std::mutex> lock(alarm_mutex_);
    if (alarm_recording_.load() && alarm_header_.load()) {
      const int32_t code = session_.audio_codec.load();
      uint8_t head[kRecordFrameHeaderSize];
      const uint32_t length = size + static_cast<uint32_t>(kVoiceFrameHeaderSize);
      PackRecordFrameHeader(head, 1, code, length, 0, 0, now);
      const uint8_t* voice = PackVoiceFrameInPlace(payload, size);
      if (!alarm_file_.WriteRecord(head, voice, length, now, false)) {
        qrplat::DebugOutput("recorder: writing %s failed; alarm recording stopped\n",
                            alarm_path_.c_str());
        pending.Add(StopAlarmLocked());
      }
    }
  }
  pending.Send(session_);
}

}  // namespace quornet
