// Audio devices: the queued output and the looping capture with their back
// ends (ALSA, null, WAV files).
#include "qrplat/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <vector>

#include "qrplat/thread.h"

namespace qrplat {

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Back-end choice

enum class Backend { Alsa, Null, Wav, Invalid };

struct BackendChoice {
  Backend backend;
  std::string directory;  // wav only
};

// QRPLAT_AUDIO: unset or empty means alsa. An unrecognised value (or "wav:"
// without a directory) opens nothing, like a device that failed, rather than
// reaching for a sound card the user did not ask for.
BackendChoice ChooseBackend() {
  const char* env = std::getenv("QRPLAT_AUDIO");
  std::string value = env != nullptr ? env : "";
  if (value.empty() || value == "alsa") return {Backend::Alsa, {}};
  if (value == "null") return {Backend::Null, {}};
  if (value.rfind("wav:", 0) == 0 && value.size() > 4) return {Backend::Wav, value.substr(4)};
  DebugOutput("qrplat: unknown QRPLAT_AUDIO \"%s\": audio devices do not open\n", value.c_str());
  return {Backend::Invalid, {}};
}

bool ValidFormat(const AudioFormat& f) {
  return f.sample_rate >= 1000 && f.sample_rate <= 384000 && f.channels >= 1 && f.channels <= 8 &&
         (f.bits == 8 || f.bits == 16);
}

size_t FrameBytes(const AudioFormat& f) {
  return size_t(f.channels) * size_t(f.bits / 8);
}
size_t BytesPerSecond(const AudioFormat& f) {
  return FrameBytes(f) * size_t(f.sample_rate);
}

// The real-time length of `bytes` of audio.
Clock::duration Duration(const AudioFormat& f, size_t bytes) {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(int64_t(double(bytes) * 1e9 / double(BytesPerSecond(f)))));
}

// 8-bit WAV/ALSA samples are unsigned, so silence is 0x80.
uint8_t SilenceByte(const AudioFormat& f) {
  return f.bits == 8 ? 0x80 : 0x00;
}

void PutLe16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t GetLe16(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t GetLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ALSA prints its errors to stderr; route them to the debug sink instead, so
// that a machine without a sound card stays quiet.
void AlsaErrorHandler(const char* file, int line, const char* function, int err, const char* fmt,
                      ...) {
  if (std::getenv("QRNET_DEBUG") == nullptr) return;
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  DebugOutput("ALSA %s:%d (%s) %s%s%s\n", file, line, function, text, err ? ": " : "",
              err ? snd_strerror(err) : "");
}

void QuietAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(AlsaErrorHandler); });
}

// Opens the ALSA "default" device non-blocking (so that a busy or absent
// device never blocks the caller) with about 100 ms of latency.
snd_pcm_t* OpenAlsa(snd_pcm_stream_t stream, const AudioFormat& f) {
  QuietAlsa();
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, "default", stream, SND_PCM_NONBLOCK);
  if (err < 0) {
    DebugOutput("qrplat: ALSA default %s device: %s\n",
                stream == SND_PCM_STREAM_PLAYBACK ? "playback" : "capture", snd_strerror(err));
    return nullptr;
  }
  err = snd_pcm_set_params(pcm, f.bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                           SND_PCM_ACCESS_RW_INTERLEAVED, unsigned(f.channels),
                           unsigned(f.sample_rate), /*soft_resample=*/1, /*latency_us=*/100000);
  if (err < 0) {
    DebugOutput("qrplat: ALSA parameters %d Hz x %d x %d bits: %s\n", f.sample_rate, f.channels,
                f.bits, snd_strerror(err));
    snd_pcm_close(pcm);
    return nullptr;
  }
  return pcm;
}

// ---------------------------------------------------------------------------
// Output: a queue of caller buffers served by one device thread.

class QueuedOutput : public AudioOutput, private JThread {
 public:
  QueuedOutput(const AudioFormat& format, Completion on_done)
      : format_(format), on_done_(std::move(on_done)) {}

  bool Write(const void* data, size_t bytes, void* cookie) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_ || stopping_ || (data == nullptr && bytes != 0)) return false;
    queue_.push_back({static_cast<const uint8_t*>(data), bytes, cookie});
    cv_.notify_all();
    return true;
  }

  // Every buffer queued when Reset is called, and the one being played, is
  // completed on the device thread before Reset returns (so the caller may
  // free them afterwards). Called from a completion (on the device thread
  // itself) it only queues the drop.
  void Reset() override {
    std::unique_lock<std::mutex> lock(mutex_);
    DropQueuedLocked();
    if (std::this_thread::get_id() == device_thread_.load()) return;
    const uint64_t taken = taken_;
    cv_.wait(lock, [&] {
      return dropped_.empty() && !completing_dropped_ && (!playing_ || taken_ != taken);
    });
  }

 protected:
  bool StartDevice() { return Start() == 0; }

  // Derived destructors call this first: the device thread runs their code.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      DropQueuedLocked();
    }
    Wait();
  }

  // Device thread: plays one buffer, returning when it was played or early
  // when Aborting() turns true. False when the device failed for good.
  virtual bool Play(const uint8_t* data, size_t bytes) = 0;
  // Device thread: after a play was cut short by Reset or close.
  virtual void OnAbort() {}

  bool Aborting() const { return abort_.load(std::memory_order_relaxed); }

  // Device thread: sleeps until `deadline` or an abort; false when aborted.
  bool PaceUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_until(lock, deadline, [this] { return Aborting(); });
  }

  const AudioFormat format_;

 private:
  struct Buffer {
    const uint8_t* data;
    size_t bytes;
    void* cookie;
  };

  void DropQueuedLocked() {
    for (const Buffer& b : queue_) dropped_.push_back(b);
    queue_.clear();
    if (playing_) abort_ = true;
    cv_.notify_all();
  }

  void Complete(const Buffer& b) {
    if (on_done_) on_done_(b.cookie);
  }

  int32_t Thread() override {
    device_thread_ = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!dropped_.empty()) {
        std::vector<Buffer> dropped;
        dropped.swap(dropped_);
        completing_dropped_ = true;
        lock.unlock();
        for (const Buffer& b : dropped) Complete(b);
        lock.lock();
        completing_dropped_ = false;
        cv_.notify_all();
        continue;
      }
      if (queue_.empty()) {
        if (stopping_) break;
        cv_.wait(lock);
        continue;
      }
      Buffer b = queue_.front();
      queue_.pop_front();
      playing_ = true;
      ++taken_;
      const bool failed = failed_;
      lock.unlock();
      // After a device failure buffers are still completed, so that a caller
      // waiting for its buffers never hangs.
      bool ok = failed || Play(b.data, b.bytes);
      lock.lock();
      bool aborted = abort_.exchange(false);
      if (!ok && !failed_) {
        failed_ = true;
        DebugOutput("qrplat: audio output device failed\n");
      }
      if (aborted && !failed_) {
        lock.unlock();
        OnAbort();
        lock.lock();
      }
      lock.unlock();
      Complete(b);
      lock.lock();
      playing_ = false;
      cv_.notify_all();
    }
    device_thread_ = std::thread::id();
    return 0;
  }

  const Completion on_done_;
  std::atomic<std::thread::id> device_thread_{};
  std::atomic<bool> abort_{false};  // set under mutex_ while playing_
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Buffer> queue_;         // guarded by mutex_
  std::vector<Buffer> dropped_;      // guarded by mutex_: completed next by the thread
  bool completing_dropped_ = false;  // guarded by mutex_: a batch is being completed
  bool playing_ = false;             // guarded by mutex_: the thread is in Play
  uint64_t taken_ = 0;               // guarded by mutex_: buffers taken for play
  bool stopping_ = false;            // guarded by mutex_
  bool failed_ = false;              // guarded by mutex_
};

// Completes each buffer after its real-time length, back to back like a
// device that plays without gaps.
class NullOutput : public QueuedOutput {
 public:
  NullOutput(const AudioFormat& format, Completion on_done)
      : QueuedOutput(format, std::move(on_done)) {}
  ~NullOutput() override { Shutdown(); }
  bool Open() { return StartDevice(); }

 protected:
  bool Play(const uint8_t*, size_t bytes) override {
    Clock::time_point now = Clock::now();
    play_end_ = std::max(play_end_, now) + Duration(format_, bytes);
    PaceUntil(play_end_);
    return true;
  }
  void OnAbort() override { play_end_ = Clock::now(); }

 private:
  Clock::time_point play_end_{};  // device thread only
};

// Writes every buffer to a WAV file, then paces like NullOutput. The header
// is brought up to date after each buffer, so the file is valid while open.
class WavOutput : public NullOutput {
 public:
  WavOutput(const AudioFormat& format, Completion on_done)
      : NullOutput(format, std::move(on_done)) {}
  ~WavOutput() override {
    Shutdown();
    if (fd_ >= 0) {
      if (data_bytes_ % 2 != 0) {  // RIFF chunks are padded to even sizes
        uint8_t pad = 0;
        if (pwrite(fd_, &pad, 1, off_t(44 + data_bytes_)) != 1) {
          DebugOutput("qrplat: WAV pad byte: %s\n", std::strerror(errno));
        }
      }
      close(fd_);
    }
  }

  bool Open(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    static std::atomic<uint32_t> counter{0};
    for (int attempt = 0; attempt < 1000 && fd_ < 0; ++attempt) {
      path_ = dir + "/out-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".wav";
      fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
      DebugOutput("qrplat: cannot create a WAV file in %s: %s\n", dir.c_str(),
                  std::strerror(errno));
      return false;
    }
    if (!WriteHeader()) return false;
    return NullOutput::Open();
  }

 protected:
  bool Play(const uint8_t* data, size_t bytes) override {
    if (bytes > 0) {
      // The data chunk size is 32 bits; refuse to grow past it.
      if (data_bytes_ + bytes > 0xFFFFFFFFull - 44) return false;
      if (!WriteAll(data, bytes, off_t(44 + data_bytes_))) return false;
      data_bytes_ += bytes;
      if (!WriteHeader()) return false;
    }
    return NullOutput::Play(data, bytes);
  }

 private:
  bool WriteAll(const uint8_t* p, size_t n, off_t at) {
    while (n > 0) {
      ssize_t w = pwrite(fd_, p, n, at);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        DebugOutput("qrplat: writing %s: %s\n", path_.c_str(), std::strerror(errno));
        return false;
      }
      p += w;
      n -= size_t(w);
      at += w;
    }
    return true;
  }

  // The canonical 44-byte PCM header for the data written so far.
  bool WriteHeader() {
    uint8_t h[44];
    std::memcpy(h, "RIFF", 4);
    PutLe32(h + 4, uint32_t(36 + data_bytes_ + (data_bytes_ & 1)));
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe32(h + 16, 16);
    PutLe16(h + 20, 1);  // PCM
    PutLe16(h + 22, uint32_t(format_.channels));
    PutLe32(h + 24, uint32_t(format_.sample_rate));
    PutLe32(h + 28, uint32_t(BytesPerSecond(format_)));
    PutLe16(h + 32, uint32_t(FrameBytes(format_)));
    PutLe16(h + 34, uint32_t(format_.bits));
    std::memcpy(h + 36, "data", 4);
    PutLe32(h + 40, uint32_t(data_bytes_));
    return WriteAll(h, sizeof h, 0);
  }

  int fd_ = -1;
  std::string path_;
  uint64_t data_bytes_ = 0;  // device thread (and the constructor/destructor)
};

// Plays through the ALSA default device. Writes go in slices of at most
// 50 ms of waiting, so that Reset and close cut a long buffer short quickly.
class AlsaOutput : public QueuedOutput {
 public:
  AlsaOutput(const AudioFormat& format, Completion on_done, snd_pcm_t* pcm)
      : QueuedOutput(format, std::move(on_done)), pcm_(pcm) {}
  ~AlsaOutput() override {
    Shutdown();
    snd_pcm_close(pcm_);
  }
  bool Open() { return StartDevice(); }

 protected:
  bool Play(const uint8_t* data, size_t bytes) override {
    const size_t frame = FrameBytes(format_);
    snd_pcm_uframes_t left = bytes / frame;
    while (left > 0 && !Aborting()) {
      snd_pcm_sframes_t n = snd_pcm_writei(pcm_, data, left);
      if (n == -EAGAIN || n == 0) {
        snd_pcm_wait(pcm_, 50);
        continue;
      }
      if (n < 0) {
        int err = snd_pcm_recover(pcm_, int(n), /*silent=*/1);
        if (err < 0) {
          DebugOutput("qrplat: ALSA write: %s\n", snd_strerror(int(n)));
          return false;
        }
        continue;
      }
      data += size_t(n) * frame;
      left -= snd_pcm_uframes_t(n);
    }
    return true;
  }
  void OnAbort() override {
    snd_pcm_drop(pcm_);
    snd_pcm_prepare(pcm_);
  }

 private:
  snd_pcm_t* const pcm_;  // device thread only once started
};

// ---------------------------------------------------------------------------
// Capture: a device thread appends into the looping buffer.

class LoopCapture : public AudioCapture, protected JThread {
 public:
  LoopCapture(const AudioFormat& format, size_t buffer_bytes)
      : AudioCapture(buffer_bytes), format_(format), ring_(buffer_bytes, SilenceByte(format)) {}

  size_t CaptureCursor() const override { return cursor_.load(std::memory_order_acquire); }

  void Read(size_t offset, void* dst, size_t bytes) const override {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    uint8_t* out = static_cast<uint8_t*>(dst);
    const size_t size = ring_.size();
    size_t pos = offset % size;
    while (bytes > 0) {
      size_t n = std::min(bytes, size - pos);
      std::memcpy(out, ring_.data() + pos, n);
      out += n;
      bytes -= n;
      pos = (pos + n) % size;
    }
  }

 protected:
  bool StartDevice() { return Start() == 0; }

  // Derived destructors call this first.
  void Shutdown() {
    stop_flag_ = true;
    {
      std::lock_guard<std::mutex> lock(stop_mutex_);
      stop_ = true;
      stop_cv_.notify_all();
    }
    Wait();
  }

  bool Stopping() const { return stop_flag_.load(std::memory_order_relaxed); }

  // Sleeps until `deadline`; false when asked to stop.
  bool SleepUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !stop_cv_.wait_until(lock, deadline, [this] { return stop_; });
  }

  // Appends captured bytes at the cursor, wrapping, then moves the cursor.
  void Append(const uint8_t* data, size_t bytes) {
    std::lock_guard<std::mutex> lock(ring_mutex_);
    const size_t size = ring_.size();
    size_t pos = cursor_.load(std::memory_order_relaxed);
    if (bytes > size) {  // only the newest buffer-full survives anyway
      size_t skip = bytes - size;
      data += skip;
      pos = (pos + skip) % size;
      bytes = size;
    }
    while (bytes > 0) {
      size_t n = std::min(bytes, size - pos);
      std::memcpy(ring_.data() + pos, data, n);
      data += n;
      bytes -= n;
      pos = (pos + n) % size;
    }
    cursor_.store(pos, std::memory_order_release);
  }

  const AudioFormat format_;

 private:
  mutable std::mutex ring_mutex_;
  std::vector<uint8_t> ring_;      // guarded by ring_mutex_
  std::atomic<size_t> cursor_{0};  // written under ring_mutex_
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stop_ = false;                   // guarded by stop_mutex_
  std::atomic<bool> stop_flag_{false};  // the same, for a thread that polls
};

// Produces `source` (looped) or silence at real-time pace, in 20 ms steps.
class PacedCapture : public LoopCapture {
 public:
  PacedCapture(const AudioFormat& format, size_t buffer_bytes, std::vector<uint8_t> source)
      : LoopCapture(format, buffer_bytes), source_(std::move(source)) {
    // Whole frames only, so the loop point never splits a sample.
    source_.resize(source_.size() - source_.size() % FrameBytes(format));
  }
  ~PacedCapture() override { Shutdown(); }
  bool Open() { return StartDevice(); }

 protected:
  int32_t Thread() override {
    const size_t frame = FrameBytes(format_);
    const Clock::time_point start = Clock::now();
    uint64_t produced = 0;  // frames
    std::vector<uint8_t> chunk;
    Clock::time_point next = start;
    do {
      auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
      uint64_t due = uint64_t(elapsed.count()) * uint64_t(format_.sample_rate) / 1000000u;
      if (due > produced) {
        size_t bytes = size_t(due - produced) * frame;
        chunk.resize(bytes);
        if (source_.empty()) {
          std::memset(chunk.data(), SilenceByte(format_), bytes);
        } else {
          for (size_t i = 0; i < bytes;) {
            size_t n = std::min(bytes - i, source_.size() - source_pos_);
            std::memcpy(chunk.data() + i, source_.data() + source_pos_, n);
            i += n;
            source_pos_ = (source_pos_ + n) % source_.size();
          }
        }
        Append(chunk.data(), bytes);
        produced = due;
      }
      next += std::chrono::milliseconds(20);
    } while (SleepUntil(next));
    return 0;
  }

 private:
  std::vector<uint8_t> source_;  // device thread only once started
  size_t source_pos_ = 0;
};

class AlsaCapture : public LoopCapture {
 public:
  AlsaCapture(const AudioFormat& format, size_t buffer_bytes, snd_pcm_t* pcm)
      : LoopCapture(format, buffer_bytes), pcm_(pcm) {}
  ~AlsaCapture() override {
    Shutdown();
    snd_pcm_close(pcm_);
  }
  bool Open() {
    int err = snd_pcm_start(pcm_);
    if (err < 0) {
      DebugOutput("qrplat: ALSA capture start: %s\n", snd_strerror(err));
      return false;
    }
    return StartDevice();
  }

 protected:
  int32_t Thread() override {
    const size_t frame = FrameBytes(format_);
    const snd_pcm_uframes_t chunk_frames = snd_pcm_uframes_t(format_.sample_rate / 50);  // 20 ms
    std::vector<uint8_t> chunk(chunk_frames * frame);
    while (!Stopping()) {
      snd_pcm_sframes_t n = snd_pcm_readi(pcm_, chunk.data(), chunk_frames);
      if (n == -EAGAIN || n == 0) {
        snd_pcm_wait(pcm_, 50);
        continue;
      }
      if (n < 0) {
        if (snd_pcm_recover(pcm_, int(n), 1) < 0 || snd_pcm_start(pcm_) < 0) {
          DebugOutput("qrplat: ALSA capture failed: %s\n", snd_strerror(int(n)));
          // Keep the thread (and the cursor) alive but idle until closed.
          while (SleepUntil(Clock::now() + std::chrono::milliseconds(50))) {
          }
          return -1;
        }
        continue;
      }
      Append(chunk.data(), size_t(n) * frame);
    }
    return 0;
  }

 private:
  snd_pcm_t* const pcm_;
};

// Reads the PCM data of a WAV file when its format is `want`. Bounded: sizes
// in the file are never trusted beyond what the file holds.
bool LoadWav(const std::string& path, const AudioFormat& want, std::vector<uint8_t>* pcm) {
  constexpr size_t kMaxBytes = 64u << 20;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<uint8_t> file;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && file.size() < kMaxBytes) {
    file.insert(file.end(), buf, buf + n);
  }
  std::fclose(f);
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
    DebugOutput("qrplat: %s is not a WAV file\n", path.c_str());
    return false;
  }
  bool have_fmt = false;
  size_t pos = 12;
  while (pos + 8 <= file.size()) {
    const uint8_t* chunk = file.data() + pos;
    size_t size = GetLe32(chunk + 4);
    size_t avail = file.size() - pos - 8;
    size_t body = std::min(size, avail);  // a streamed or cut file
    if (std::memcmp(chunk, "fmt ", 4) == 0 && body >= 16) {
      uint32_t tag = GetLe16(chunk + 8);
      int32_t channels = int32_t(GetLe16(chunk + 10));
      int32_t rate = int32_t(GetLe32(chunk + 12));
      int32_t bits = int32_t(GetLe16(chunk + 22));
      if ((tag != 1 && tag != 0xFFFE) || channels != want.channels || rate != want.sample_rate ||
          bits != want.bits) {
        DebugOutput("qrplat: %s is not %d Hz x %d x %d-bit PCM\n", path.c_str(), want.sample_rate,
                    want.channels, want.bits);
        return false;
      }
      have_fmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_fmt) return false;
      pcm->assign(chunk + 8, chunk + 8 + body);
      return true;
    }
    if (size > avail) break;
    pos += 8 + size + (size & 1);
  }
  return false;
}

}  // namespace

std::string AudioBackendName() {
  switch (ChooseBackend().backend) {
    case Backend::Alsa:
      return "alsa";
    case Backend::Null:
      return "null";
    case Backend::Wav:
      return "wav";
    case Backend::Invalid:
      break;
  }
  return "none";
}

std::unique_ptr<AudioOutput> AudioOutput::OpenDefault(const AudioFormat& format,
                                                      Completion on_done) {
  if (!ValidFormat(format)) return nullptr;
  BackendChoice choice = ChooseBackend();
  switch (choice.backend) {
    case Backend::Null: {
      auto out = std::make_unique<NullOutput>(format, std::move(on_done));
      if (out->Open()) return out;
      break;
    }
    case Backend::Wav: {
      auto out = std::make_unique<WavOutput>(format, std::move(on_done));
      if (out->Open(choice.directory)) return out;
      break;
    }
    case Backend::Alsa: {
      snd_pcm_t* pcm = OpenAlsa(SND_PCM_STREAM_PLAYBACK, format);
      if (pcm == nullptr) return nullptr;
      auto out = std::make_unique<AlsaOutput>(format, std::move(on_done), pcm);
      if (out->Open()) return out;
      break;
    }
    case Backend::Invalid:
      break;
  }
  return nullptr;
}

std::unique_ptr<AudioCapture> AudioCapture::OpenDefault(const AudioFormat& format,
                                                        size_t buffer_bytes) {
  if (!ValidFormat(format) || buffer_bytes == 0) return nullptr;
  BackendChoice choice = ChooseBackend();
  switch (choice.backend) {
    case Backend::Null: {
      auto cap = std::make_unique<PacedCapture>(format, buffer_bytes, std::vector<uint8_t>());
      if (cap->Open()) return cap;
      break;
    }
    case Backend::Wav: {
      std::vector<uint8_t> source;
      LoadWav(choice.directory + "/capture.wav", format, &source);  // else silence
      auto cap = std::make_unique<PacedCapture>(format, buffer_bytes, std::move(source));
      if (cap->Open()) return cap;
      break;
    }
    case Backend::Alsa: {
      snd_pcm_t* pcm = OpenAlsa(SND_PCM_STREAM_CAPTURE, format);
      if (pcm == nullptr) return nullptr;
      auto cap = std::make_unique<AlsaCapture>(format, buffer_bytes, pcm);
      if (cap->Open()) return cap;
      break;
    }
    case Backend::Invalid:
      break;
  }
  return nullptr;
}

}  // namespace qrplat
