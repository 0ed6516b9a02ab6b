// qr-bench-live: the live pipeline (RTSP over TCP, depacketising, decoding,
// pacing, conversion, drawing, presenting) of K simultaneous live views
// against two FFmpeg peers on the same simulated streams, measured in the
// same run: `ffmpeg -rtsp_transport tcp -i URL -f null -` (decode only) and
// the same with `-pix_fmt bgra` (decode and convert to displayable pixels).
// Two scenes: the almost static colour bars and a busy scene with motion
// and texture everywhere, like a real camera's.
//
// The simulated cameras run in a child process (see live_sim.h), so the CPU
// figures of this process are the library's alone. For each K:
//   1. ours, restore-frame count 0: K clients into K windows of our own; CPU
//      (getrusage of this process), frames shown and sent, time from
//      QRNET_ClientStart to the first present, resident memory per session,
//      and latency from capture to present;
//   2. ffmpeg, decode only, and ffmpeg decoding to BGRA: K processes each;
//      CPU from /proc/PID/stat, frames from its progress reports;
//   3. ours with the automatic live-view performance: latency and frames.
// Every figure is taken over the same measurement window of W seconds, after
// all streams showed their first picture and a settling time.
//
// Latency: every simulated picture carries its frame number (frame_code.h);
// the simulator keeps the steady-clock time at which it generated each frame.
// Our window decodes the number when the picture is presented and takes the
// time with the same clock (CLOCK_MONOTONIC is system-wide). Capture times are
// whole milliseconds, so latencies read up to 1 ms long.
//
// Usage: qr-bench-live [--streams 1,4,8] [--scenes bars,busy] [--seconds 10]
//                      [--settle 2] [--host shared|copy|none|memory] [--no-ffmpeg]
//                      [--no-auto] [--record DIR]
// The last line of each scene and K (repeated as a block at the end) is
//   streams=K scene=S cpu_ratio_vs_ffmpeg=R cpu_ratio_vs_ffmpeg_bgra=R2
//   shown=N sent=N first_picture_ms=F latency_median_ms=M latency_p99_ms=P
//   sim_encode_median_ms=E client_latency_median_ms=C frame_cpu_ratio_vs_ffmpeg=F

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/frame_code.h"
#include "live_sim.h"
#include "media/av_display.h"
#include "qrplat/memory_window.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"

extern char** environ;

namespace livebench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFps = 25;

// Steady-clock milliseconds since the clock's epoch, the simulator's unit.
double NowMs() {
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

void SleepMs(double ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

double CpuSecondsSelf() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// utime + stime of a process (all its threads), in seconds; -1 when gone.
double CpuSecondsOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return -1;
  std::istringstream fields(text.substr(paren + 2));
  std::string f;
  double utime = 0, stime = 0;
  // Fields 3.. follow the command name; utime and stime are fields 14, 15.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::atof(f.c_str());
    if (i == 15) stime = std::atof(f.c_str());
  }
  return (utime + stime) / double(sysconf(_SC_CLK_TCK));
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double RssMiB() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const double rank = p / 100.0 * double(v.size() - 1);
  const size_t lo = size_t(std::floor(rank));
  const size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (rank - double(lo));
}

// ---- The window -------------------------------------------------------------

enum class HostMode { kNone, kShared, kCopy, kMemory };

// A headless window that records which frame each present showed and when.
// kShared keeps the renderer's buffer by reference until the next picture,
// as the Qt window host does; kCopy keeps the picture with one memcpy per
// row, as a host that copies into its own image; kNone only reads the frame
// number (the library's own cost alone); kMemory hands the present on to the
// platform's MemoryWindowHost (which converts every pixel: a test host,
// slower than any real one).
class BenchWindow final : public qrplat::WindowHost {
 public:
  struct Shown {
    uint32_t frame;
    double at_ms;
  };

  BenchWindow(int32_t width, int32_t height, HostMode mode)
      : width_(width), height_(height), mode_(mode) {
    if (mode == HostMode::kMemory) {
      memory_ = std::make_unique<qrplat::MemoryWindowHost>(width, height);
      // Its image exists before the baseline of the memory figures.
      std::vector<uint8_t> grey(size_t(width) * size_t(height) * 4, 128);
      memory_->Present(grey.data(), width, height, width * 4, qrplat::PixelFormat::Rgb32,
                       qrplat::Rect{0, 0, width, height});
    } else if (mode == HostMode::kCopy) {
      image_.assign(size_t(width) * size_t(height) * 4, 0);
    }
    shown_.reserve(4096);
  }

  qrplat::Size ClientSize() const override { return {width_, height_}; }
  bool IsVisible() const override { return true; }
  qrplat::Rect ScreenRect() const override { return {0, 0, width_, height_}; }
  qrplat::PixelFormat PrimaryFormat() const override { return qrplat::PixelFormat::Rgb32; }
  qrplat::SurfaceCaps Caps() const override { return {}; }
  bool PostMessage(uint32_t, uint32_t, int32_t) override { return true; }

  void PresentShared(std::shared_ptr<const qrplat::SharedImage> image,
                     const qrplat::Rect& source) override {
    Present(image->pixels, image->width, image->height, image->stride, image->format, source);
    if (mode_ == HostMode::kShared) {
      std::lock_guard<std::mutex> lock(mutex_);
      held_ = std::move(image);  // the previous picture goes back to the renderer
    }
  }

  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               qrplat::PixelFormat format, const qrplat::Rect& source) override {
    const double now = NowMs();
    std::optional<uint32_t> frame;
    const int32_t left = std::max(source.left, 0), top = std::max(source.top, 0);
    const int32_t right = std::min(source.right, width), bottom = std::min(source.bottom, height);
    if (pixels != nullptr && format == qrplat::PixelFormat::Rgb32 && right > left && bottom > top) {
      const uint8_t* origin = pixels + ptrdiff_t(top) * stride + ptrdiff_t(left) * 4;
      frame = devicesim::frame_code::DecodeBgrx(origin, stride, right - left, bottom - top);
      if (mode_ == HostMode::kCopy) {
        const size_t row = size_t(std::min(right - left, width_)) * 4;
        for (int32_t y = 0; y < std::min(bottom - top, height_); ++y) {
          std::memcpy(image_.data() + size_t(y) * size_t(width_) * 4,
                      origin + ptrdiff_t(y) * stride, row);
        }
      }
    }
    if (memory_) memory_->Present(pixels, width, height, stride, format, source);
    std::lock_guard<std::mutex> lock(mutex_);
    ++presents_;
    if (frame) {
      shown_.push_back({*frame, now});
    } else {
      ++undecoded_;
    }
    if (first_present_ms_ < 0) first_present_ms_ = now;
  }

  double FirstPresentMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_present_ms_;
  }
  std::vector<Shown> TakeShown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
  }
  uint64_t Undecoded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return undecoded_;
  }

 private:
  const int32_t width_, height_;
  const HostMode mode_;
  std::unique_ptr<qrplat::MemoryWindowHost> memory_;  // kMemory only
  std::shared_ptr<const qrplat::SharedImage> held_;   // kShared; guarded by mutex_
  std::vector<uint8_t> image_;                        // kCopy only; display thread only
  mutable std::mutex mutex_;
  std::vector<Shown> shown_;      // guarded by mutex_
  uint64_t presents_ = 0;         // guarded by mutex_
  uint64_t undecoded_ = 0;        // guarded by mutex_
  double first_present_ms_ = -1;  // guarded by mutex_
};

// ---- Options and results -----------------------------------------------------

struct Options {
  std::vector<int> streams{1, 4, 8};
  std::vector<std::string> scenes{"bars", "busy"};
  double seconds = 10;
  double settle = 2;
  HostMode host = HostMode::kShared;
  bool ffmpeg = true;
  bool automatic = true;
  bool control = true;  // the cameras answer the event-channel subscription
  std::string ffmpeg_path = "ffmpeg";
  std::string record_dir;  // non-empty: every stream records an AVI file there
  bool h265 = false;       // the cameras send H.265
  int width = 1280, height = 720;
};

struct StreamFigures {
  uint64_t shown = 0;  // distinct frames captured in the window and presented
  uint64_t sent = 0;   // frames the device generated in the window
  double first_picture_ms = NAN;
  std::vector<double> latencies;  // ms, one per shown frame
  // The two parts of a latency: drawing and encoding in the simulator
  // (capture to send), and the client's part (send to present).
  std::vector<double> encode_ms, client_latencies;
  std::string extra;  // diagnostics for the detail line
};

struct PhaseFigures {
  bool ok = false;
  std::string name;
  double cpu_per_stream = NAN;  // CPU seconds per second of video per stream
  double cpu_seconds = NAN;     // CPU seconds of all streams in the window
  // CPU milliseconds per picture shown: comparable even when the simulator
  // falls behind the frame rate (and so sends fewer pictures in one phase).
  double CpuMsPerFrame() const { return Shown() ? 1000.0 * cpu_seconds / double(Shown()) : NAN; }
  double rss_per_session_mib = NAN;
  int live_view_ms = 0;
  std::vector<StreamFigures> streams;

  uint64_t Shown() const {
    uint64_t n = 0;
    for (const auto& s : streams) n += s.shown;
    return n;
  }
  uint64_t Sent() const {
    uint64_t n = 0;
    for (const auto& s : streams) n += s.sent;
    return n;
  }
  double FirstPictureMax() const {
    double m = NAN;
    for (const auto& s : streams)
      if (!std::isnan(s.first_picture_ms))
        m = std::isnan(m) ? s.first_picture_ms : std::max(m, s.first_picture_ms);
    return m;
  }
  std::vector<double> Latencies(
      std::vector<double> StreamFigures::*which = &StreamFigures::latencies) const {
    std::vector<double> all;
    for (const auto& s : streams) all.insert(all.end(), (s.*which).begin(), (s.*which).end());
    return all;
  }
};

// ---- Capture times --------------------------------------------------------------

// The capture times of every frame of every device, fetched from the child
// after each phase (the child keeps only the newest 8192).
class CaptureTable {
 public:
  explicit CaptureTable(SimulatorProcess* sim) : sim_(sim), times_(size_t(sim->devices())) {}

  bool Refresh(int d) {
    auto& t = times_[size_t(d)];
    std::vector<FrameTimes> more = sim_->Times(d, uint32_t(t.size()));
    t.insert(t.end(), more.begin(), more.end());
    return true;
  }
  // Capture time of a frame, or -1 when unknown.
  int64_t At(int d, uint32_t frame) const { return Of(d, frame).captured; }
  // Capture and send times of a frame (-1 each when unknown).
  FrameTimes Of(int d, uint32_t frame) const {
    const auto& t = times_[size_t(d)];
    return frame < t.size() ? t[frame] : FrameTimes{};
  }
  // Frames of device d captured in [from_ms, to_ms).
  uint64_t CountIn(int d, double from_ms, double to_ms) const {
    uint64_t n = 0;
    for (const FrameTimes& c : times_[size_t(d)])
      if (double(c.captured) >= from_ms && double(c.captured) < to_ms) ++n;
    return n;
  }

 private:
  SimulatorProcess* sim_;
  std::vector<std::vector<FrameTimes>> times_;
};

// ---- Our library ----------------------------------------------------------------

// Frames of a recorded file and the gaps between their frame numbers, read by
// decoding it with the ffmpeg tool.
std::string RecordedFigures(const std::string& ffmpeg, const std::string& path, int width,
                            int height) {
  const std::string cmd = ffmpeg + " -nostdin -v error -i '" + path +
                          "' -map 0:v -f rawvideo -pix_fmt gray pipe:1 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return " recorded=?";
  std::vector<uint8_t> frame(size_t(width) * size_t(height));
  uint64_t frames = 0, gaps = 0, unreadable = 0;
  std::optional<uint32_t> last;
  while (std::fread(frame.data(), 1, frame.size(), p) == frame.size()) {
    ++frames;
    const auto n = devicesim::frame_code::DecodeLuma(frame.data(), width, width, height);
    if (!n) {
      ++unreadable;
      continue;
    }
    if (last && *n != *last + 1) ++gaps;
    last = n;
  }
  pclose(p);
  return " recorded=" + std::to_string(frames) + " recorded_gaps=" + std::to_string(gaps) +
         (unreadable ? " recorded_unreadable=" + std::to_string(unreadable) : "");
}

PhaseFigures RunOurs(SimulatorProcess& sim, CaptureTable& table, int k, bool automatic,
                     const Options& opt) {
  PhaseFigures out;
  out.name = automatic ? "ours (automatic live-view performance)" : "ours (restore-frame count 0)";
  std::vector<std::shared_ptr<BenchWindow>> windows;
  std::vector<uint32_t> window_ids, handles;
  std::vector<double> started_ms;
  for (int i = 0; i < k; ++i) {
    windows.push_back(std::make_shared<BenchWindow>(opt.width, opt.height, opt.host));
    window_ids.push_back(qrplat::RegisterWindow(windows.back()));
  }
  const double rss0 = RssMiB();
  for (int i = 0; i < k; ++i) {
    QRNET_ClientParam p{};
    p.transport = QRNET_TRANSPORT_RTSP_TCP;
    p.view_flag = 1;
    p.channel = i + 1;
    p.video_window = window_ids[size_t(i)];
    p.stream_option = 1;
    p.live_view_performance = automatic ? -1 : 0;
    std::snprintf(p.address, sizeof p.address, "%s", sim.Address(i).c_str());
    started_ms.push_back(NowMs());
    const uint32_t h = QRNET_ClientStart(&p);
    if (h == 0) {
      std::fprintf(stderr, "qr-bench-live: QRNET_ClientStart failed for stream %d\n", i + 1);
    } else if (!automatic) {
      QRNET_SetRestoreFrame(h, 0);
    }
    handles.push_back(h);
  }
  std::vector<std::string> recordings(static_cast<size_t>(k));
  if (!opt.record_dir.empty()) {
    for (int i = 0; i < k; ++i) {
      if (handles[size_t(i)] == 0) continue;
      recordings[size_t(i)] = opt.record_dir + "/stream-" + std::to_string(k) + "-" +
                              std::to_string(i + 1) + (automatic ? "-auto" : "") + ".avi";
      if (QRNET_ClientStartRecord(handles[size_t(i)], recordings[size_t(i)].c_str(), 0) != 1) {
        std::fprintf(stderr, "qr-bench-live: cannot record %s\n", recordings[size_t(i)].c_str());
        recordings[size_t(i)].clear();
      }
    }
  }

  // Every stream shows its first picture, or the phase fails.
  const double deadline = NowMs() + 20000;
  bool all_shown = false;
  while (!all_shown && NowMs() < deadline) {
    all_shown = true;
    for (const auto& w : windows) all_shown = all_shown && w->FirstPresentMs() >= 0;
    if (!all_shown) SleepMs(5);
  }
  double settle_ms = opt.settle * 1000;
  if (automatic) {
    // The automatic value follows the measured bit rate: choose it once the
    // stream runs, then let the buffer fill.
    SleepMs(1000);
    for (uint32_t h : handles) {
      if (h == 0) continue;
      QRNET_SetLiveViewPerformance(h, -1);
      out.live_view_ms = std::max(out.live_view_ms, QRNET_GetLiveViewPerformance(h, 0));
    }
    settle_ms += out.live_view_ms;
  }
  SleepMs(settle_ms);

  const double t0 = NowMs();
  const double cpu0 = CpuSecondsSelf();
  SleepMs(opt.seconds * 1000);
  const double t1 = NowMs();
  const double cpu1 = CpuSecondsSelf();
  const double rss1 = RssMiB();
  // Frames captured before t1 still in flight get their present.
  SleepMs(1000 + out.live_view_ms);

  std::vector<std::string> stats(static_cast<size_t>(k));
  for (int i = 0; i < k; ++i) {
    if (handles[size_t(i)] == 0) continue;
    if (auto session = quornet::CClientSession::Find(handles[size_t(i)])) {
      if (auto display = quornet::FindDisplay(*session)) {
        const auto s = display->GetStats();
        const auto t = display->renderer().LastTimings();
        char buf[256];
        std::snprintf(buf, sizeof buf,
                      " read=%llu decoded=%llu drawn=%llu resync_skips=%llu decode_errors=%llu"
                      " last_draw_ms=%.1f/%.1f/%.1f/%.1f",
                      (unsigned long long)s.frames_read, (unsigned long long)s.pictures,
                      (unsigned long long)s.drawn, (unsigned long long)s.skipped_resync,
                      (unsigned long long)s.decode_errors, t.convert_ms, t.stretch_ms, t.osd_ms,
                      t.present_ms);
        stats[size_t(i)] = buf;
      }
    }
  }
  for (uint32_t h : handles)
    if (h != 0) QRNET_ClientStop(h);
  for (uint32_t id : window_ids) qrplat::UnregisterWindow(id);

  bool ok = all_shown;
  out.cpu_per_stream = (cpu1 - cpu0) / ((t1 - t0) / 1000.0) / k;
  out.cpu_seconds = cpu1 - cpu0;
  out.rss_per_session_mib = (rss1 - rss0) / k;
  for (int i = 0; i < k; ++i) {
    table.Refresh(i);
    StreamFigures f;
    const auto& w = *windows[size_t(i)];
    if (w.FirstPresentMs() >= 0) f.first_picture_ms = w.FirstPresentMs() - started_ms[size_t(i)];
    f.sent = table.CountIn(i, t0, t1);
    std::map<uint32_t, double> first_shown;
    for (const auto& s : w.TakeShown()) first_shown.emplace(s.frame, s.at_ms);
    for (const auto& [frame, at] : first_shown) {
      const FrameTimes times = table.Of(i, frame);
      const int64_t captured = times.captured;
      if (captured < 0 || double(captured) < t0 || double(captured) >= t1) continue;
      ++f.shown;
      f.latencies.push_back(at - double(captured));
      if (times.sent >= captured) {
        f.encode_ms.push_back(double(times.sent - captured));
        f.client_latencies.push_back(at - double(times.sent));
      }
    }
    f.extra = stats[size_t(i)];
    if (!recordings[size_t(i)].empty()) {
      f.extra += RecordedFigures(opt.ffmpeg_path, recordings[size_t(i)], opt.width, opt.height);
    }
    if (w.Undecoded() != 0) f.extra += " undecoded_presents=" + std::to_string(w.Undecoded());
    ok = ok && f.sent > 0;
    out.streams.push_back(std::move(f));
  }
  out.ok = ok;
  return out;
}

// ---- FFmpeg -----------------------------------------------------------------------

// K ffmpeg processes decoding to the null muxer, owned by one thread.
class FfmpegSet {
 public:
  struct Proc {
    pid_t pid = -1;
    int out_fd = -1;  // its progress reports (standard output)
    std::string pending;
    double started_ms = 0;
    double first_frame_ms = -1;
    std::vector<std::pair<double, double>> samples;  // (received ms, frames)
  };

  ~FfmpegSet() { Stop(); }

  // bgra: convert every decoded picture to BGRA (-pix_fmt bgra).
  bool Start(const std::string& ffmpeg, const std::vector<std::string>& urls, bool bgra) {
    for (const auto& url : urls) {
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) return false;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
      std::vector<std::string> args = {
          ffmpeg,      "-nostdin", "-hide_banner",  "-loglevel", "error",           "-nostats",
          "-progress", "pipe:1",   "-stats_period", "0.05",      "-rtsp_transport", "tcp",
          "-i",        url};
      if (bgra) {
        args.push_back("-pix_fmt");
        args.push_back("bgra");
      }
      for (const char* a : {"-f", "null", "-"}) args.push_back(a);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      Proc p;
      p.started_ms = NowMs();
      const int rc = posix_spawnp(&p.pid, ffmpeg.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      close(fds[1]);
      if (rc != 0) {
        close(fds[0]);
        std::fprintf(stderr, "qr-bench-live: cannot start %s: %s\n", ffmpeg.c_str(),
                     std::strerror(rc));
        return false;
      }
      p.out_fd = fds[0];
      procs_.push_back(std::move(p));
    }
    return true;
  }

  // Reads progress reports for `ms` milliseconds.
  void Pump(double ms) {
    const double until = NowMs() + ms;
    std::vector<pollfd> fds;
    for (;;) {
      fds.clear();
      for (auto& p : procs_)
        if (p.out_fd >= 0) fds.push_back({p.out_fd, POLLIN, 0});
      const double left = until - NowMs();
      if (left <= 0) return;
      if (fds.empty()) {
        SleepMs(left);
        return;
      }
      if (poll(fds.data(), fds.size(), int(std::ceil(left))) <= 0) continue;
      const double now = NowMs();
      for (auto& p : procs_) {
        if (p.out_fd < 0) continue;
        pollfd probe{p.out_fd, POLLIN, 0};
        if (poll(&probe, 1, 0) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(p.out_fd, buf, sizeof buf);
        if (n <= 0) {
          close(p.out_fd);
          p.out_fd = -1;
          continue;
        }
        p.pending.append(buf, size_t(n));
        size_t eol;
        while ((eol = p.pending.find('\n')) != std::string::npos) {
          const std::string line = p.pending.substr(0, eol);
          p.pending.erase(0, eol + 1);
          if (line.rfind("frame=", 0) == 0) {
            const double frames = std::atof(line.c_str() + 6);
            p.samples.push_back({now, frames});
            if (frames > 0 && p.first_frame_ms < 0) p.first_frame_ms = now;
          }
        }
      }
    }
  }

  bool AllDecoding() const {
    for (const auto& p : procs_)
      if (p.first_frame_ms < 0) return false;
    return !procs_.empty();
  }

  // Frames decoded by process i at time t, interpolated between reports.
  double FramesAt(size_t i, double t) const {
    const auto& s = procs_[i].samples;
    if (s.empty() || t < s.front().first) return 0;
    for (size_t j = 1; j < s.size(); ++j) {
      if (s[j].first >= t) {
        const double span = s[j].first - s[j - 1].first;
        const double a = span > 0 ? (t - s[j - 1].first) / span : 1;
        return s[j - 1].second + a * (s[j].second - s[j - 1].second);
      }
    }
    return s.back().second;
  }

  void Stop() {
    for (auto& p : procs_)
      if (p.pid > 0) kill(p.pid, SIGINT);
    const double deadline = NowMs() + 5000;
    for (auto& p : procs_) {
      if (p.pid <= 0) continue;
      int status = 0;
      while (waitpid(p.pid, &status, WNOHANG) == 0) {
        if (NowMs() > deadline) {
          kill(p.pid, SIGKILL);
          waitpid(p.pid, &status, 0);
          break;
        }
        SleepMs(10);
      }
      p.pid = -1;
      if (p.out_fd >= 0) close(p.out_fd);
      p.out_fd = -1;
    }
  }

  std::vector<Proc>& procs() { return procs_; }

 private:
  std::vector<Proc> procs_;
};

PhaseFigures RunFfmpeg(SimulatorProcess& sim, CaptureTable& table, int k, const Options& opt,
                       bool bgra) {
  PhaseFigures out;
  out.name = bgra ? "ffmpeg (decode + bgra)" : "ffmpeg (decode only)";
  std::vector<std::string> urls;
  for (int i = 0; i < k; ++i) urls.push_back(sim.Url(i));
  FfmpegSet set;
  if (!set.Start(opt.ffmpeg_path, urls, bgra)) return out;
  const double deadline = NowMs() + 20000;
  while (!set.AllDecoding() && NowMs() < deadline) set.Pump(20);
  const bool all_decoding = set.AllDecoding();
  set.Pump(opt.settle * 1000);

  std::vector<double> cpu0, cpu1;
  const double t0 = NowMs();
  for (auto& p : set.procs()) cpu0.push_back(CpuSecondsOf(p.pid));
  set.Pump(opt.seconds * 1000);
  const double t1 = NowMs();
  for (auto& p : set.procs()) cpu1.push_back(CpuSecondsOf(p.pid));
  set.Pump(500);  // a report after t1 for the interpolation
  set.Stop();

  double cpu = 0;
  bool ok = all_decoding;
  for (int i = 0; i < k; ++i) {
    table.Refresh(i);
    const auto& p = set.procs()[size_t(i)];
    StreamFigures f;
    if (cpu0[size_t(i)] < 0 || cpu1[size_t(i)] < 0) ok = false;
    cpu += cpu1[size_t(i)] - cpu0[size_t(i)];
    f.shown = uint64_t(std::llround(set.FramesAt(size_t(i), t1) - set.FramesAt(size_t(i), t0)));
    f.sent = table.CountIn(i, t0, t1);
    if (p.first_frame_ms >= 0) f.first_picture_ms = p.first_frame_ms - p.started_ms;
    char buf[96];
    std::snprintf(buf, sizeof buf, " cpu_s_per_s=%.4f",
                  (cpu1[size_t(i)] - cpu0[size_t(i)]) / ((t1 - t0) / 1000.0));
    f.extra = buf;
    out.streams.push_back(std::move(f));
  }
  out.cpu_per_stream = cpu / ((t1 - t0) / 1000.0) / k;
  out.cpu_seconds = cpu;
  out.ok = ok;
  return out;
}

// ---- Reporting --------------------------------------------------------------------

void PrintPhase(int k, const PhaseFigures& f, bool latency) {
  for (size_t i = 0; i < f.streams.size(); ++i) {
    const auto& s = f.streams[i];
    std::printf("  [K=%d] %s stream %zu: shown=%llu sent=%llu first_picture_ms=%.0f", k,
                f.name.c_str(), i + 1, (unsigned long long)s.shown, (unsigned long long)s.sent,
                s.first_picture_ms);
    if (latency) {
      std::printf(" latency_median_ms=%.1f latency_p99_ms=%.1f", Percentile(s.latencies, 50),
                  Percentile(s.latencies, 99));
    }
    std::printf("%s\n", s.extra.c_str());
  }
  std::printf("[K=%d] %s:%s cpu_s_per_s_per_stream=%.4f shown=%llu sent=%llu first_picture_ms=%.0f",
              k, f.name.c_str(), f.ok ? "" : " (FAILED)", f.cpu_per_stream,
              (unsigned long long)f.Shown(), (unsigned long long)f.Sent(), f.FirstPictureMax());
  std::printf(" cpu_ms_per_frame=%.2f", f.CpuMsPerFrame());
  if (!std::isnan(f.rss_per_session_mib))
    std::printf(" rss_per_session_mib=%.1f", f.rss_per_session_mib);
  if (f.live_view_ms != 0) std::printf(" live_view_performance_ms=%d", f.live_view_ms);
  if (latency) {
    const auto all = f.Latencies();
    std::printf(" latency_median_ms=%.1f latency_p99_ms=%.1f", Percentile(all, 50),
                Percentile(all, 99));
    const auto encode = f.Latencies(&StreamFigures::encode_ms);
    const auto client = f.Latencies(&StreamFigures::client_latencies);
    std::printf(
        " sim_encode_median_ms=%.1f client_latency_median_ms=%.1f client_latency_p99_ms=%.1f",
        Percentile(encode, 50), Percentile(client, 50), Percentile(client, 99));
  }
  std::printf("\n");
  std::fflush(stdout);
}

struct KResult {
  int k = 0;
  std::string scene;
  PhaseFigures ours, ffmpeg, ffmpeg_bgra, automatic;
};

std::string SummaryLines(const KResult& r) {
  char buf[512];
  std::string out;
  if (!r.automatic.streams.empty()) {
    const auto lat = r.automatic.Latencies();
    std::snprintf(buf, sizeof buf,
                  "streams=%d scene=%s automatic_live_view_ms=%d shown=%llu sent=%llu "
                  "latency_median_ms=%.1f latency_p99_ms=%.1f\n",
                  r.k, r.scene.c_str(), r.automatic.live_view_ms,
                  (unsigned long long)r.automatic.Shown(), (unsigned long long)r.automatic.Sent(),
                  Percentile(lat, 50), Percentile(lat, 99));
    out += buf;
  }
  const auto lat = r.ours.Latencies();
  const auto ratio = [&](const PhaseFigures& peer) {
    return peer.streams.empty() ? NAN : r.ours.cpu_per_stream / peer.cpu_per_stream;
  };
  std::snprintf(buf, sizeof buf,
                "streams=%d scene=%s cpu_ratio_vs_ffmpeg=%.2f cpu_ratio_vs_ffmpeg_bgra=%.2f "
                "shown=%llu sent=%llu first_picture_ms=%.0f latency_median_ms=%.1f "
                "latency_p99_ms=%.1f sim_encode_median_ms=%.1f client_latency_median_ms=%.1f "
                "frame_cpu_ratio_vs_ffmpeg=%.2f\n",
                r.k, r.scene.c_str(), ratio(r.ffmpeg), ratio(r.ffmpeg_bgra),
                (unsigned long long)r.ours.Shown(), (unsigned long long)r.ours.Sent(),
                r.ours.FirstPictureMax(), Percentile(lat, 50), Percentile(lat, 99),
                Percentile(r.ours.Latencies(&StreamFigures::encode_ms), 50),
                Percentile(r.ours.Latencies(&StreamFigures::client_latencies), 50),
                r.ffmpeg.streams.empty() ? NAN : r.ours.CpuMsPerFrame() / r.ffmpeg.CpuMsPerFrame());
  out += buf;
  return out;
}

void Usage(FILE* f) {
  std::fputs(
      "usage: qr-bench-live [options]\n"
      "  --streams LIST   numbers of simultaneous streams, comma-separated (default 1,4,8)\n"
      "  --scenes LIST    bars, busy or both, comma-separated (default bars,busy)\n"
      "  --codec h264|h265  what the cameras send (default h264)\n"
      "  --size WxH       picture and window size (default 1280x720; bit rates scale\n"
      "                   with the area)\n"
      "  --seconds S      measurement window per phase (default 10)\n"
      "  --settle S       wait after the first pictures before measuring (default 2)\n"
      "  --host shared|copy|none|memory  window host: keeps the renderer's buffer\n"
      "                   by reference like the Qt window host (default); copies each\n"
      "                   present with memcpy; reads only the frame number; or the\n"
      "                   platform's MemoryWindowHost (converts every pixel)\n"
      "  --ffmpeg PATH    the ffmpeg command (default ffmpeg)\n"
      "  --no-ffmpeg      skip the ffmpeg phases\n"
      "  --no-auto        skip the automatic live-view performance phase\n"
      "  --record DIR     every stream of our library records an AVI file into DIR\n"
      "                   (native path); the detail lines give its frames and the\n"
      "                   gaps between their frame numbers\n"
      "  --no-event-service  cameras without the MCTP service on the RTSP port (the\n"
      "                   client's event-channel subscription goes unanswered)\n",
      f);
}

bool ParseOptions(int argc, char** argv, Options* opt) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      std::exit(0);
    } else if (a == "--no-ffmpeg") {
      opt->ffmpeg = false;
    } else if (a == "--no-auto") {
      opt->automatic = false;
    } else if (a == "--no-event-service") {
      opt->control = false;
    } else if (a == "--streams") {
      const char* v = value();
      if (v == nullptr) return false;
      opt->streams.clear();
      std::stringstream in(v);
      std::string item;
      while (std::getline(in, item, ',')) {
        const int n = std::atoi(item.c_str());
        if (n < 1 || n > 8) return false;
        opt->streams.push_back(n);
      }
      if (opt->streams.empty()) return false;
    } else if (a == "--scenes") {
      const char* v = value();
      if (v == nullptr) return false;
      opt->scenes.clear();
      std::stringstream in(v);
      std::string item;
      while (std::getline(in, item, ',')) {
        if (item != "bars" && item != "busy") return false;
        opt->scenes.push_back(item);
      }
      if (opt->scenes.empty()) return false;
    } else if (a == "--seconds" || a == "--settle") {
      const char* v = value();
      if (v == nullptr) return false;
      const double s = std::atof(v);
      if (s < 0 || s > 3600 || (a == "--seconds" && s < 0.5)) return false;
      (a == "--seconds" ? opt->seconds : opt->settle) = s;
    } else if (a == "--host") {
      const char* v = value();
      if (v == nullptr) return false;
      if (std::strcmp(v, "none") == 0) {
        opt->host = HostMode::kNone;
      } else if (std::strcmp(v, "shared") == 0) {
        opt->host = HostMode::kShared;
      } else if (std::strcmp(v, "copy") == 0) {
        opt->host = HostMode::kCopy;
      } else if (std::strcmp(v, "memory") == 0) {
        opt->host = HostMode::kMemory;
      } else {
        return false;
      }
    } else if (a == "--codec") {
      const char* v = value();
      if (v == nullptr || (std::strcmp(v, "h264") != 0 && std::strcmp(v, "h265") != 0))
        return false;
      opt->h265 = std::strcmp(v, "h265") == 0;
    } else if (a == "--size") {
      const char* v = value();
      if (v == nullptr || std::sscanf(v, "%dx%d", &opt->width, &opt->height) != 2 ||
          opt->width < 64 || opt->width > 4096 || opt->height < 64 || opt->height > 4096 ||
          opt->width % 16 != 0 || opt->height % 8 != 0) {
        return false;
      }
    } else if (a == "--record") {
      const char* v = value();
      if (v == nullptr || *v == 0) return false;
      opt->record_dir = v;
    } else if (a == "--ffmpeg") {
      const char* v = value();
      if (v == nullptr) return false;
      opt->ffmpeg_path = v;
    } else {
      return false;
    }
  }
  return true;
}

std::string SelfExe() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, size_t(n));
}

int Main(int argc, char** argv) {
  if (argc == 7 && std::strcmp(argv[1], "--serve") == 0) {
    const int n = std::atoi(argv[2]);
    StreamSpec spec;
    spec.busy = std::strcmp(argv[4], "busy") == 0;
    spec.h265 = std::strcmp(argv[5], "h265") == 0;
    if (n < 1 || n > 8 || std::sscanf(argv[6], "%dx%d", &spec.width, &spec.height) != 2) return 2;
    return RunSimulatorChild(n, std::strcmp(argv[3], "control") == 0, spec);
  }
  Options opt;
  if (!ParseOptions(argc, argv, &opt)) {
    Usage(stderr);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // No sound device is opened for a benchmark (the streams carry no audio).
  setenv("QRPLAT_AUDIO", "null", 0);

  const int devices = *std::max_element(opt.streams.begin(), opt.streams.end());
  QRNET_Startup(0, 0, nullptr, 0);
  QRNET_SetWaitTime(5, -1, 1);

  std::vector<KResult> results;
  bool ok = true;
  bool warmed_up = false;
  for (const std::string& scene : opt.scenes) {
    SimulatorProcess sim;
    std::string error;
    StreamSpec spec;
    spec.busy = scene == "busy";
    spec.h265 = opt.h265;
    spec.width = opt.width;
    spec.height = opt.height;
    if (!sim.Start(SelfExe(), devices, opt.control, spec, &error)) {
      std::fprintf(stderr, "qr-bench-live: %s\n", error.c_str());
      return 1;
    }
    CaptureTable table(&sim);
    std::printf(
        "qr-bench-live: %d simulated %s %dx%d %d fps streams, scene %s (simulator pid %d), "
        "window %.1f s, settle %.1f s, host %s, %ld cores, load average %s\n",
        devices, opt.h265 ? "H.265" : "H.264", opt.width, opt.height, kFps, scene.c_str(),
        int(sim.pid()), opt.seconds, opt.settle,
        opt.host == HostMode::kNone     ? "none"
        : opt.host == HostMode::kMemory ? "memory"
        : opt.host == HostMode::kShared ? "shared"
                                        : "copy",
        sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());
    std::fflush(stdout);

    // One session first, so that one-time costs of the process (codec
    // tables, fonts of the on-screen display, thread arenas) stay out of the
    // figures.
    if (!warmed_up) {
      Options warm = opt;
      warm.seconds = 0.5;
      warm.settle = 0;
      RunOurs(sim, table, 1, false, warm);
      warmed_up = true;
    }

    for (int k : opt.streams) {
      KResult r;
      r.k = k;
      r.scene = scene;
      r.ours = RunOurs(sim, table, k, false, opt);
      PrintPhase(k, r.ours, true);
      ok = ok && r.ours.ok;
      if (opt.ffmpeg) {
        r.ffmpeg = RunFfmpeg(sim, table, k, opt, false);
        PrintPhase(k, r.ffmpeg, false);
        r.ffmpeg_bgra = RunFfmpeg(sim, table, k, opt, true);
        PrintPhase(k, r.ffmpeg_bgra, false);
        ok = ok && r.ffmpeg.ok && r.ffmpeg_bgra.ok;
      }
      if (opt.automatic) {
        r.automatic = RunOurs(sim, table, k, true, opt);
        PrintPhase(k, r.automatic, true);
        ok = ok && r.automatic.ok;
      }
      std::printf("%s", SummaryLines(r).c_str());
      std::fflush(stdout);
      results.push_back(std::move(r));
    }
    sim.Stop();
  }
  QRNET_Cleanup();

  std::printf("\nsummary (load average %s):\n", LoadAverage().c_str());
  for (const auto& r : results) std::printf("%s", SummaryLines(r).c_str());
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace livebench

// fontconfig keeps its configuration and font caches (loaded when the
// on-screen display draws text) for the life of the process; LeakSanitizer
// would report them at exit. Used only in sanitizer builds.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv) {
  return livebench::Main(argc, argv);
}
