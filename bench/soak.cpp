// qr-soak: the reliability run. K live views of the simulated camera, each
// recording into short segment files that are rotated the way a viewer
// rotates them (the next file is started from the status callback when the
// segment-end report (6, 4) arrives), for the given number of minutes while
// the camera misbehaves: every connection is closed a few minutes after its
// PLAY (the client reconnects) and the views over UDP lose 1 % of their
// packets. Half the views use RTSP over TCP, half RTP over UDP.
//
// At the end every file is read with ffprobe; a file on which it reports
// anything at warning level, or that holds no video packet, is unreadable.
// The last line is
//   soak minutes=M views=K files=F unreadable=U rss_start_mib=A
//   rss_mid_mib=H rss_end_mib=B reconnects=R
// and the exit code is 0 when every file is readable (and there is one).
//
// The simulated camera runs in this process, so the memory figures include
// its encoder; the start figure is taken after a warm-up (a third of the run
// unless --warmup says otherwise: buffers, caches and the allocator's arenas
// take many minutes to reach their size), the middle figure half-way from
// there to the end, the end figure before the views stop. Memory that keeps
// growing shows as rss_end well above rss_mid. Built with
// -DQR_SANITIZE=address, LeakSanitizer checks the whole run at exit; there
// the resident figure also holds ASan's quarantine of freed memory (256 MiB
// by default: compare Release figures, or set
// ASAN_OPTIONS=quarantine_size_mb=16).
//
// Usage: qr-soak [--minutes 30] [--warmup MIN] [--views 4] [--segment 60]
//                [--kill-every 150] [--loss 0.01] [--size 640x360] [--dir DIR]
//                [--keep]

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device.h"
#include "qrplat/window.h"
#include "quornet.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A window that takes every picture and keeps none: the views decode and
// draw, the host costs nothing.
class NullWindow final : public qrplat::WindowHost {
 public:
  NullWindow(int32_t width, int32_t height) : width_(width), height_(height) {}
  qrplat::Size ClientSize() const override { return {width_, height_}; }
  bool IsVisible() const override { return true; }
  qrplat::Rect ScreenRect() const override { return {0, 0, width_, height_}; }
  qrplat::PixelFormat PrimaryFormat() const override { return qrplat::PixelFormat::Rgb32; }
  qrplat::SurfaceCaps Caps() const override { return {}; }
  bool PostMessage(uint32_t, uint32_t, int32_t) override { return true; }
  void Present(const uint8_t*, int32_t, int32_t, int32_t, qrplat::PixelFormat,
               const qrplat::Rect&) override {
    presents_.fetch_add(1, std::memory_order_relaxed);
  }
  uint64_t presents() const { return presents_.load(std::memory_order_relaxed); }

 private:
  int32_t width_, height_;
  std::atomic<uint64_t> presents_{0};
};

// One view's state, shared with the status callback (found by the user value
// of the client record, which is the view's index).
struct View {
  fs::path dir;
  int segment_seconds = 60;
  std::mutex mutex;
  int next_file = 0;         // number of the next segment file
  std::string pending_path;  // kept alive while the library copies it
  int running_reports = 0;   // (1, 0): the stream runs
  int unexpected_stops = 0;  // (6, 1) not asked for
  bool stopping = false;
  std::atomic<uint32_t> handle{0};

  std::string NextPath() {
    char name[32];
    std::snprintf(name, sizeof name, "seg%04d.avi", next_file++);
    return (dir / name).string();
  }
};

std::vector<std::unique_ptr<View>> g_views;

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t user_value) {
  if (user_value < 0 || size_t(user_value) >= g_views.size()) return;
  View& v = *g_views[size_t(user_value)];
  std::string next;
  {
    // Not held across library calls: the library may report while we wait.
    std::lock_guard<std::mutex> lock(v.mutex);
    if (kind == 1 && value == 0) ++v.running_reports;
    if (kind != 6 || v.stopping) return;
    if (value == 1) ++v.unexpected_stops;  // a segment end reports (6, 1) too; see main
    if (value != 4) return;
    next = v.NextPath();
  }
  // The segment is complete: the next file, as a viewer's control does.
  QRNET_ClientStartRecord(handle, next.c_str(), v.segment_seconds);
}

double RssMiB() {
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  in >> size >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::string Shell(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return "popen failed";
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = pclose(p);
  return out;
}

// Empty when ffprobe reads the file without a warning and finds video
// packets; else what it said.
std::string ProbeProblems(const fs::path& file) {
  int status = 0;
  const std::string out = Shell(
      "ffprobe -v warning -count_packets -select_streams v:0 -show_entries "
      "stream=nb_read_packets -of default=nw=1:nk=1 '" +
          file.string() + "'",
      &status);
  if (status != 0) return "ffprobe exit status " + std::to_string(status) + ": " + out;
  // A clean answer is the packet count alone.
  const std::string trimmed = out.substr(0, out.find_last_not_of("\n") + 1);
  if (trimmed.empty() || trimmed.find_first_not_of("0123456789") != std::string::npos) return out;
  if (std::stol(trimmed) == 0) return "no video packets";
  return "";
}

void Usage() {
  std::fprintf(stderr,
               "usage: qr-soak [--minutes M] [--warmup MIN] [--views K] [--segment S]\n"
               "               [--kill-every S] [--loss P] [--size WxH] [--dir DIR] [--keep]\n");
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 30;
  double warmup_minutes = -1;  // a third of the run
  int views = 4;
  int segment = 60;
  int kill_every = 150;
  double loss = 0.01;
  int width = 640, height = 360;
  std::string dir_arg;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--minutes" && has_value) {
      minutes = std::atof(argv[++i]);
    } else if (a == "--warmup" && has_value) {
      warmup_minutes = std::atof(argv[++i]);
    } else if (a == "--views" && has_value) {
      views = std::atoi(argv[++i]);
    } else if (a == "--segment" && has_value) {
      segment = std::atoi(argv[++i]);
    } else if (a == "--kill-every" && has_value) {
      kill_every = std::atoi(argv[++i]);
    } else if (a == "--loss" && has_value) {
      loss = std::atof(argv[++i]);
    } else if (a == "--size" && has_value) {
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2) {
        Usage();
        return 2;
      }
    } else if (a == "--dir" && has_value) {
      dir_arg = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      Usage();
      return 2;
    }
  }
  if (warmup_minutes < 0) warmup_minutes = minutes / 3;
  if (minutes <= 0 || warmup_minutes >= minutes || views < 1 || views > 64 || segment < 1 ||
      kill_every < 0 || loss < 0 || loss > 1 || width < 16 || height < 16) {
    Usage();
    return 2;
  }
  const fs::path root = dir_arg.empty()
                            ? fs::temp_directory_path() / ("qr-soak-" + std::to_string(getpid()))
                            : fs::path(dir_arg);
  std::error_code ec;
  fs::create_directories(root, ec);
  if (ec) {
    std::fprintf(stderr, "qr-soak: %s: %s\n", root.c_str(), ec.message().c_str());
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);  // no encoder banners
  setenv("QRPLAT_AUDIO", "null", 0);

  devicesim::Device device;
  devicesim::Config cfg;
  cfg.codec = devicesim::VideoCodec::kH264;
  cfg.audio = devicesim::AudioCodec::kPcma;
  cfg.width = width;
  cfg.height = height;
  cfg.fps = 25;
  cfg.session_timeout = std::chrono::milliseconds(0);
  if (!device.Start(cfg, 0)) {
    std::fprintf(stderr, "qr-soak: simulator: %s\n", device.Error().c_str());
    return 2;
  }
  device.faults().close_after_seconds.store(kill_every);
  device.faults().udp_loss.store(loss);

  QRNET_Startup(0, 0, &OnStatus, 0);
  QRNET_SetWaitTime(5, -1, 1);  // reconnect without limit, 1 s apart

  std::vector<std::shared_ptr<NullWindow>> hosts;
  std::vector<uint32_t> windows;
  for (int k = 0; k < views; ++k) {
    auto v = std::make_unique<View>();
    v->dir = root / ("view" + std::to_string(k));
    v->segment_seconds = segment;
    fs::create_directories(v->dir);
    g_views.push_back(std::move(v));
  }
  for (int k = 0; k < views; ++k) {
    hosts.push_back(std::make_shared<NullWindow>(width, height));
    windows.push_back(qrplat::RegisterWindow(hosts.back()));
    QRNET_ClientParam p{};
    p.transport = k % 2 == 0 ? QRNET_TRANSPORT_RTSP_TCP : QRNET_TRANSPORT_RTSP_UDP;
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = windows.back();
    p.stream_option = 1;
    p.user_value = k;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device.Port()));
    const uint32_t h = QRNET_ClientStart(&p);
    if (h == 0) {
      std::fprintf(stderr, "qr-soak: view %d did not start\n", k);
      return 2;
    }
    g_views[size_t(k)]->handle.store(h);
  }

  // Every view shows pictures before the recordings start.
  const auto start_deadline = Clock::now() + std::chrono::seconds(30);
  for (bool all = false; !all && Clock::now() < start_deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    all = true;
    for (auto& h : hosts) all = all && h->presents() >= 5;
  }
  for (auto& v : g_views) {
    std::string first;
    {
      std::lock_guard<std::mutex> lock(v->mutex);
      first = v->NextPath();
    }
    if (QRNET_ClientStartRecord(v->handle.load(), first.c_str(), segment) != 1)
      std::fprintf(stderr, "qr-soak: %s: recording did not start\n", first.c_str());
  }
  // The start figure is taken after the warm-up: every view recording,
  // buffers and caches grown; the middle one half-way to the end.
  const auto t0 = Clock::now();
  const auto at = [&](double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const auto end = at(minutes * 60.0);
  const auto warm = at(warmup_minutes * 60.0);
  const auto mid = at((warmup_minutes + minutes) * 30.0);
  double rss_start = -1, rss_mid = -1;
  auto next_report = t0 + std::chrono::minutes(1);
  while (Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (rss_start < 0 && Clock::now() >= warm) rss_start = RssMiB();
    if (rss_mid < 0 && Clock::now() >= mid) rss_mid = RssMiB();
    if (Clock::now() >= next_report) {
      next_report += std::chrono::minutes(1);
      uint64_t shown = 0;
      for (auto& h : hosts) shown += h->presents();
      std::fprintf(stderr, "qr-soak: %.0f s rss_mib=%.1f shown=%llu\n",
                   std::chrono::duration<double>(Clock::now() - t0).count(), RssMiB(),
                   static_cast<unsigned long long>(shown));
    }
  }
  const double rss_end = RssMiB();
  if (rss_start < 0) rss_start = rss_end;
  if (rss_mid < 0) rss_mid = rss_end;

  int reconnects = 0, unexpected_stops = 0;
  for (auto& v : g_views) {
    {
      std::lock_guard<std::mutex> lock(v->mutex);
      v->stopping = true;
    }
    QRNET_ClientStopRecord(v->handle.load());
    QRNET_ClientStop(v->handle.load());
    std::lock_guard<std::mutex> lock(v->mutex);
    reconnects += std::max(0, v->running_reports - 1);
    unexpected_stops += v->unexpected_stops;
  }
  for (uint32_t w : windows) qrplat::UnregisterWindow(w);
  hosts.clear();
  device.Stop();
  QRNET_Cleanup();

  int files = 0, unreadable = 0;
  for (auto& v : g_views) {
    std::vector<fs::path> list;
    for (auto& e : fs::directory_iterator(v->dir))
      if (e.path().extension() == ".avi") list.push_back(e.path());
    std::sort(list.begin(), list.end());
    for (auto& f : list) {
      ++files;
      const std::string problems = ProbeProblems(f);
      if (!problems.empty()) {
        ++unreadable;
        std::fprintf(stderr, "qr-soak: unreadable %s: %s\n", f.c_str(), problems.c_str());
      }
    }
  }
  // Each segment end reports (6, 1) before (6, 4); more stops than segment
  // ends mean a recording stopped on its own.
  const int segment_ends = files - views;
  if (unexpected_stops > segment_ends)
    std::fprintf(stderr, "qr-soak: %d recordings stopped on their own\n",
                 unexpected_stops - segment_ends);
  g_views.clear();
  if (!keep && unreadable == 0) fs::remove_all(root, ec);

  std::printf(
      "soak minutes=%g views=%d files=%d unreadable=%d rss_start_mib=%.1f rss_mid_mib=%.1f "
      "rss_end_mib=%.1f reconnects=%d\n",
      minutes, views, files, unreadable, rss_start, rss_mid, rss_end, reconnects);
  std::fflush(stdout);
  return unreadable == 0 && files > 0 ? 0 : 1;
}
