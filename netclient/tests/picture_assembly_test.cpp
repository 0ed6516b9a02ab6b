// Whole pictures end to end through the C API, over RTSP with RTP over TCP
// and over UDP: H.264 pictures cut into several slices (from the simulator
// and from GStreamer's RTSP server) are shown once per picture without
// decoder errors; pictures of several megabytes are shown whole and in
// order; a picture above the receivers' bound is dropped and the view
// resumes at the next key picture. Both kinds are also recorded through the
// C API and the files read back with FFmpeg's tools. Loopback only.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "record_check.h"

namespace {

constexpr int kW = 320, kH = 240;

// Records the frame number of every picture presented (0xFFFFFFFF when the
// picture carries none, as GStreamer's do).
class NumberingWindow : public qrplat::MemoryWindowHost {
 public:
  NumberingWindow() : MemoryWindowHost(kW, kH) {}
  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               qrplat::PixelFormat format, const qrplat::Rect& source) override {
    MemoryWindowHost::Present(pixels, width, height, stride, format, source);
    const qrplat::Image img = LastImage();
    std::optional<uint32_t> n;
    if (img.width > 0 && img.height > 0) {
      n = devicesim::frame_code::DecodeBgrx(reinterpret_cast<const uint8_t*>(img.pixels.data()),
                                            img.width * 4, img.width, img.height);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    numbers_.push_back(n.value_or(0xFFFFFFFFu));
  }
  std::vector<uint32_t> Numbers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return numbers_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<uint32_t> numbers_;  // guarded by mutex_
};

// The running test's name, fit for a file name ("Name_tcp").
std::string TestName() {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Gaps in a run of frame numbers: places where the next is not previous + 1.
int Gaps(const std::vector<uint32_t>& numbers, size_t from) {
  int gaps = 0;
  for (size_t i = from + 1; i < numbers.size(); ++i) {
    if (numbers[i] != numbers[i - 1] + 1) ++gaps;
  }
  return gaps;
}

QRNET_StreamCounters Counters(uint32_t handle) {
  QRNET_StreamCounters c{};
  EXPECT_EQ(QRNET_ClientGetStreamCounters(handle, &c), 1);
  return c;
}

class PictureAssemblyTest : public ::testing::TestWithParam<uint16_t> {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, 0, 0);
    QRNET_SetWaitTime(5, 1, 1);
    host_ = std::make_shared<NumberingWindow>();
    window_ = qrplat::RegisterWindow(host_);
    dir_ = std::filesystem::temp_directory_path() /
           ("picture_assembly_" + std::to_string(getpid()) + "_" + TestName());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    qrplat::UnregisterWindow(window_);
    device_.Stop();
    std::filesystem::remove_all(dir_);
  }

  devicesim::Config SimConfig(int fps) {
    devicesim::Config cfg;
    cfg.width = kW;
    cfg.height = kH;
    cfg.fps = fps;
    cfg.gop = fps;
    cfg.audio = devicesim::AudioCodec::kNone;
    cfg.session_timeout = std::chrono::milliseconds(0);
    cfg.max_queue_bytes = size_t{64} << 20;  // room for the largest pictures
    return cfg;
  }

  void StartClient(const std::string& address) {
    QRNET_ClientParam p{};
    p.transport = GetParam();
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = window_;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "%s", address.c_str());
    handle_ = QRNET_ClientStart(&p);
    ASSERT_NE(handle_, 0u);
  }
  void StartClient() { StartClient("127.0.0.1:" + std::to_string(device_.Port())); }

  // Presents during `ms` once the stream shows pictures.
  uint64_t PresentsDuring(int ms) {
    EXPECT_TRUE(host_->WaitPresents(3, 20000)) << "no pictures";
    const uint64_t before = host_->PresentCount();
    qrplat::SleepMs(static_cast<uint32_t>(ms));
    return host_->PresentCount() - before;
  }

  // Records the running client's stream into `name` (a native path in the
  // test's directory) for about `ms`; the seconds from start to stop. Also
  // counts the pictures shown meanwhile (a slow machine, or a sanitizer,
  // may receive fewer than the frame rate promises).
  double Record(const std::string& name, int ms) {
    const std::string path = (dir_ / name).string();
    const auto t0 = std::chrono::steady_clock::now();
    const uint64_t presents = host_->PresentCount();
    EXPECT_EQ(QRNET_ClientStartRecord(handle_, path.c_str(), 0), 1);
    qrplat::SleepMs(static_cast<uint32_t>(ms));
    EXPECT_EQ(QRNET_ClientStopRecord(handle_), 1);
    shown_while_recording_ = host_->PresentCount() - presents;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }

  // The recorded file holds whole pictures only: FFmpeg reads and decodes it
  // without a word, its pictures carry consecutive frame numbers from a key
  // picture on, and it holds about `seconds` x `fps` of them, or as many as
  // were shown while recording when the machine did not keep up (less at
  // most the pictures before the first key picture).
  void ExpectWholePictures(const std::string& name, double seconds, int fps, int gop,
                           const std::string& input = "") {
    const std::filesystem::path file = dir_ / name;
    ASSERT_TRUE(std::filesystem::exists(file));
    std::string noise;
    const auto streams = quornet::test::Probe(file, &noise, input);
    EXPECT_EQ(noise, "");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].at("codec_name"), "h264");
    EXPECT_EQ(streams[0].at("width"), std::to_string(kW));
    EXPECT_EQ(streams[0].at("height"), std::to_string(kH));
    const int frames = std::stoi(streams[0].at("nb_read_packets"));
    EXPECT_LE(frames, int(seconds * fps) + 3);
    const int arrived = std::min(int(seconds * fps), int(shown_while_recording_));
    EXPECT_GE(frames, arrived - gop - 3) << shown_while_recording_ << " shown while recording";
    EXPECT_EQ(quornet::test::DecodeErrors(file, input), "");
    const std::vector<uint32_t> numbers = quornet::test::FrameNumbers(file, kW, kH, input);
    ASSERT_EQ(int(numbers.size()), frames);
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(quornet::test::NumberGaps(numbers), 0);
    EXPECT_EQ(numbers[0] % uint32_t(gop), 0u) << "the first picture is no key picture";
  }

  devicesim::Device device_;
  std::shared_ptr<NumberingWindow> host_;
  uint32_t window_ = 0;
  uint32_t handle_ = 0;
  uint64_t shown_while_recording_ = 0;  // by the last Record()
  std::filesystem::path dir_;
};

// Four slices per picture: one picture shown per picture sent, in order.
TEST_P(PictureAssemblyTest, SimulatorPicturesOfFourSlicesAreShownWhole) {
  devicesim::Config cfg = SimConfig(25);
  cfg.slices = 4;
  ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
  StartClient();
  // Every picture shown once, in order: no repeats, nothing skipped.
  const uint64_t shown = PresentsDuring(3000);
  EXPECT_GE(shown, 3u * 25 * 6 / 10);
  EXPECT_LE(shown, 3u * 25 * 12 / 10);
  const std::vector<uint32_t> numbers = host_->Numbers();
  for (uint32_t n : numbers) EXPECT_NE(n, 0xFFFFFFFFu) << "a picture without its frame number";
  EXPECT_EQ(Gaps(numbers, 0), 0);
  EXPECT_EQ(Counters(handle_).decode_errors, 0u);
}

// Recorded, the same stream is one AVI frame per picture: seconds x fps
// frames, each decoding without concealment.
TEST_P(PictureAssemblyTest, SimulatorPicturesOfFourSlicesAreRecordedWhole) {
  devicesim::Config cfg = SimConfig(25);
  cfg.slices = 4;
  cfg.gop = 10;
  ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
  StartClient();
  ASSERT_TRUE(host_->WaitPresents(3, 20000)) << "no pictures";
  const double seconds = Record("slices.avi", 3000);
  ExpectWholePictures("slices.avi", seconds, cfg.fps, cfg.gop);
  EXPECT_EQ(Counters(handle_).decode_errors, 0u);
}

// GStreamer's x264enc with four threads cuts every picture into four slices
// and sends an access unit delimiter first.
TEST_P(PictureAssemblyTest, GStreamerPicturesOfFourSlicesAreShownWhole) {
  if (std::system("/usr/bin/python3 -c \"import gi; gi.require_version('GstRtspServer','1.0')\""
                  " >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "GStreamer RTSP server not installed";
  }
  // The client sets up its tracks as "trackID=N", as the cameras name them.
  const char* override_script = std::getenv("QR_GST_RTSP_SERVER");
  const std::string script = override_script != nullptr
                                 ? override_script
                                 : std::string(QR_SCRIPTS_DIR) + "/gst-rtsp-server.py";
  if (std::system(("/usr/bin/python3 " + script + " --help | grep -q -- --controls").c_str()) !=
      0) {
    GTEST_SKIP() << "this gst-rtsp-server.py cannot name its tracks trackID=N";
  }
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl("/usr/bin/python3", "python3", script.c_str(), "--threads", "4", "--fps", "25", "--size",
          "320x240", "--mount", "/1", "--controls", "trackid", "--duration", "60",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  struct Reaper {
    pid_t pid;
    int fd;
    ~Reaper() {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      close(fd);
    }
  } reaper{pid, out[0]};
  std::string line;
  const int64_t deadline = NowMs() + 20000;
  while (line.find('\n') == std::string::npos && NowMs() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, size_t(n));
  }
  const std::string prefix = "READY rtsp://";
  const size_t at = line.find(prefix);
  ASSERT_NE(at, std::string::npos) << "server did not start: " << line;
  // "127.0.0.1:PORT/1": the client asks for channel 1 at that path.
  std::string address = line.substr(at + prefix.size());
  address = address.substr(0, address.find('/'));
  StartClient(address);
  // One picture per access unit: four slices shown as four pictures would
  // be far above the rate, two pictures joined into one at half of it. The
  // lower bound leaves room for a slow machine (a sanitizer, other load).
  const uint64_t shown = PresentsDuring(4000);
  EXPECT_GE(shown, 4u * 25 * 6 / 10);
  EXPECT_LE(shown, 4u * 25 * 12 / 10);
  EXPECT_EQ(Counters(handle_).decode_errors, 0u);
}

// Pictures of 1.5 MB and 5 MB (filler data behind the slices): every one is
// shown, whole (its frame number decodes), in order.
TEST_P(PictureAssemblyTest, PicturesOfSeveralMegabytesAreShownInOrder) {
  for (size_t size : {size_t{1500000}, size_t{5000000}}) {
    SCOPED_TRACE(size);
    devicesim::Device device;
    devicesim::Config cfg = SimConfig(5);
    cfg.pad_picture_bytes = size;
    ASSERT_TRUE(device.Start(cfg, 0)) << device.Error();
    host_ = std::make_shared<NumberingWindow>();
    qrplat::UnregisterWindow(window_);
    window_ = qrplat::RegisterWindow(host_);
    StartClient("127.0.0.1:" + std::to_string(device.Port()));
    ASSERT_TRUE(host_->WaitPresents(1, 20000)) << "no pictures";
    ASSERT_TRUE(host_->WaitPresents(12, 10000)) << host_->PresentCount() << " pictures";
    const std::vector<uint32_t> numbers = host_->Numbers();
    for (uint32_t n : numbers) EXPECT_NE(n, 0xFFFFFFFFu) << "a picture without its frame number";
    EXPECT_EQ(Gaps(numbers, 0), 0);
    const QRNET_StreamCounters c = Counters(handle_);
    EXPECT_EQ(c.decode_errors, 0u);
    EXPECT_EQ(c.oversized_pictures, 0u);
    EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    handle_ = 0;
    device.Stop();
  }
}

// Recorded, pictures of 1.5 MB and 5 MB are AVI frames of their own, whole.
TEST_P(PictureAssemblyTest, PicturesOfSeveralMegabytesAreRecordedWhole) {
  for (size_t size : {size_t{1500000}, size_t{5000000}}) {
    SCOPED_TRACE(size);
    devicesim::Device device;
    devicesim::Config cfg = SimConfig(5);
    cfg.pad_picture_bytes = size;
    ASSERT_TRUE(device.Start(cfg, 0)) << device.Error();
    StartClient("127.0.0.1:" + std::to_string(device.Port()));
    ASSERT_TRUE(host_->WaitPresents(host_->PresentCount() + 2, 20000)) << "no pictures";
    const std::string name = "large_" + std::to_string(size) + ".avi";
    const double seconds = Record(name, 3000);
    // FFmpeg's tools probe 5 MB by default: less than one such picture.
    ExpectWholePictures(name, seconds, cfg.fps, cfg.gop, "-probesize 64M");
    const std::uintmax_t bytes = std::filesystem::file_size(dir_ / name);
    EXPECT_GE(bytes, size * 5) << "the pictures are not the padded ones";
    const QRNET_StreamCounters c = Counters(handle_);
    EXPECT_EQ(c.decode_errors, 0u);
    EXPECT_EQ(c.oversized_pictures, 0u);
    EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    handle_ = 0;
    device.Stop();
  }
}

// One picture of 17 MiB, above the 16 MiB bound: counted and dropped; the
// view goes on from the next key picture.
TEST_P(PictureAssemblyTest, PictureAboveTheBoundIsDroppedAndViewResumesAtNextKey) {
  devicesim::Config cfg = SimConfig(10);
  ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
  StartClient();
  ASSERT_TRUE(host_->WaitPresents(5, 20000)) << "no pictures";
  device_.faults().pad_next_picture.store(size_t{17} << 20);
  const int64_t deadline = NowMs() + 20000;
  while (Counters(handle_).oversized_pictures == 0 && NowMs() < deadline) qrplat::SleepMs(20);
  ASSERT_EQ(Counters(handle_).oversized_pictures, 1u);
  const size_t dropped_at = host_->Numbers().size();
  ASSERT_TRUE(host_->WaitPresents(dropped_at + 15, 10000)) << "the view did not resume";
  const std::vector<uint32_t> numbers = host_->Numbers();
  // Exactly one gap: from the picture before the giant one to the next key
  // picture (every cfg.gop pictures, numbered from 0).
  ASSERT_GT(numbers.size(), dropped_at);
  int gaps = 0;
  for (size_t i = 1; i < numbers.size(); ++i) {
    if (numbers[i] == numbers[i - 1] + 1) continue;
    ++gaps;
    EXPECT_EQ(numbers[i] % uint32_t(cfg.gop), 0u) << "resumed at " << numbers[i];
  }
  EXPECT_EQ(gaps, 1);
  EXPECT_EQ(Counters(handle_).decode_errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Transports, PictureAssemblyTest,
                         ::testing::Values(uint16_t{QRNET_TRANSPORT_RTSP_TCP},
                                           uint16_t{QRNET_TRANSPORT_RTSP_UDP}),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == QRNET_TRANSPORT_RTSP_TCP ? "tcp"
                                                                                     : "udp");
                         });

}  // namespace
