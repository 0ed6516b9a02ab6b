// H.265 cameras end to end through the C API: the simulator's libx265 stream
// viewed over TCP and UDP in the device family's dialect and in standard
// mode, recorded (AVI, alarm record file, snapshot) and played back with
// seeking and single steps, FFmpeg's tools reading what we wrote; a video
// codec we cannot decode reported without a crash; GStreamer's x265 server
// when installed. Loopback only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devicesim/device.h"
#include "display_test_util.h"
#include "gst_rtsp_server.h"
#include "media/av_display.h"
#include "media/snapshot_writer.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"

namespace quornet {
namespace {

using namespace std::chrono_literals;
using devicesim::Mode;
using test::FrameWindow;
using test::WaitFor;

constexpr int kW = 320, kH = 240, kGop = 10;

std::mutex g_mutex;
std::map<uint32_t, std::vector<std::pair<int, int>>> g_notes;  // guarded by g_mutex

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes[handle].push_back({kind, value});
}

int CountNotes(uint32_t handle, int kind, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (auto [k, v] : g_notes[handle]) n += (k == kind && v == value);
  return n;
}

// Standard output of a shell command.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  std::array<char, 512> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  pclose(p);
  return out;
}

uint32_t DecodeErrors(uint32_t h) {
  QRNET_StreamCounters c{};
  EXPECT_EQ(QRNET_ClientGetStreamCounters(h, &c), 1);
  return c.decode_errors;
}

// Picture numbers shown, without repeats and unreadable ones.
std::vector<uint32_t> Distinct(std::vector<uint32_t> shown) {
  shown.erase(std::remove(shown.begin(), shown.end(), 0xFFFFFFFFu), shown.end());
  shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  return shown;
}

class HevcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, OnStatus, 0);
    QRNET_SetWaitTime(5, 1, 1);
    window_ = std::make_shared<FrameWindow>(kW, kH);
    window_id_ = qrplat::RegisterWindow(window_);
    dir_ = std::filesystem::temp_directory_path() /
           ("hevc_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    for (uint32_t h : files_) QRNET_CloseFile(h);
    qrplat::UnregisterWindow(window_id_);
    device_.Stop();
    std::filesystem::remove_all(dir_);
  }

  bool StartDevice(Mode mode, bool unknown_video = false) {
    devicesim::Config cfg;
    cfg.codec = devicesim::VideoCodec::kH265;
    cfg.audio = devicesim::AudioCodec::kPcma;
    cfg.mode = mode;
    cfg.width = kW;
    cfg.height = kH;
    cfg.gop = kGop;
    cfg.announce_unknown_video = unknown_video;
    cfg.session_timeout = std::chrono::milliseconds(0);
    if (unknown_video) cfg.codec = devicesim::VideoCodec::kH264;
    return device_.Start(cfg, 0);
  }

  uint32_t StartClient(uint16_t transport, const std::string& address) {
    QRNET_ClientParam p{};
    p.transport = transport;
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = window_id_;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "%s", address.c_str());
    handle_ = QRNET_ClientStart(&p);
    return handle_;
  }
  std::string DeviceAddress(Mode mode) const {
    const std::string hostport = "127.0.0.1:" + std::to_string(device_.Port());
    return mode == Mode::kStandard ? "rtsp://" + hostport + "/1" : hostport;
  }

  uint32_t Open(const std::string& path) {
    const uint32_t h = QRNET_OpenFile(path.c_str(), window_id_, 0);
    if (h != 0) files_.push_back(h);
    return h;
  }
  static uint64_t Drawn(uint32_t h) {
    std::shared_ptr<CClientSession> s = CClientSession::Find(h);
    std::shared_ptr<CAVDisplay> d = s ? FindDisplay(*s) : nullptr;
    return d ? d->GetStats().drawn : 0;
  }
  void WaitSettled(uint32_t h) {
    uint64_t last = Drawn(h);
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(300ms);
      const uint64_t now = Drawn(h);
      if (now == last) return;
      last = now;
    }
  }
  uint32_t LastFrame() {
    std::vector<uint32_t> f = window_->Frames();
    return f.empty() ? 0xFFFFFFFFu : f.back();
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  devicesim::Device device_;
  std::shared_ptr<FrameWindow> window_;
  uint32_t window_id_ = 0;
  uint32_t handle_ = 0;
  std::vector<uint32_t> files_;
  std::filesystem::path dir_;
};

// ---- Live view ---------------------------------------------------------------------

struct LiveCase {
  const char* name;
  uint16_t transport;
  Mode mode;
};

class HevcLiveTest : public HevcTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(HevcLiveTest, PicturesArriveInOrderWithoutDecodeErrors) {
  ASSERT_TRUE(StartDevice(GetParam().mode)) << device_.Error();
  const uint32_t h = StartClient(GetParam().transport, DeviceAddress(GetParam().mode));
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitFor([&] { return Distinct(window_->Frames()).size() >= 30; }, 20000))
      << "pictures shown: " << window_->Frames().size();
  const std::vector<uint32_t> shown = Distinct(window_->Frames());
  for (size_t i = 1; i < shown.size(); ++i) {
    EXPECT_GT(shown[i], shown[i - 1]) << "picture " << i;
  }
  EXPECT_EQ(DecodeErrors(h), 0u);
  char name[16] = {};
  EXPECT_EQ(QRNET_ClientGetVideoCodec(h, name, sizeof name), 98);
  EXPECT_STREQ(name, "H265");
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(h, &out), 1);
  EXPECT_EQ(out.video_payload, 98);
  EXPECT_EQ(CountNotes(h, 9, 255), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Transports, HevcLiveTest,
    ::testing::Values(LiveCase{"tcp_device", QRNET_TRANSPORT_RTSP_TCP, Mode::kGeneric},
                      LiveCase{"udp_device", QRNET_TRANSPORT_RTSP_UDP, Mode::kGeneric},
                      LiveCase{"tcp_standard", QRNET_TRANSPORT_RTSP_TCP, Mode::kStandard},
                      LiveCase{"udp_standard", QRNET_TRANSPORT_RTSP_UDP, Mode::kStandard}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Recording and playback ----------------------------------------------------------

TEST_F(HevcTest, RecordingsReadByFfmpegPlayBackWithSeekAndSingleStep) {
  ASSERT_TRUE(StartDevice(Mode::kGeneric)) << device_.Error();
  const uint32_t h = StartClient(QRNET_TRANSPORT_RTSP_TCP, DeviceAddress(Mode::kGeneric));
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= 3; }, 20000));
  const std::string avi = Path("cam.avi"), alarm = Path("cam.alarm"), jpg = Path("cam.jpg");
  ASSERT_EQ(QRNET_ClientStartRecord(h, avi.c_str(), 0), 1);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(h, alarm.c_str(), 0), 1);
  ASSERT_EQ(QRNET_ClientCapturePicture(h, jpg.c_str()), 1);
  const size_t at_start = window_->Frames().size();
  // Four seconds and a bit at 25 pictures per second.
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= at_start + 110; }, 30000));
  EXPECT_EQ(QRNET_ClientStopRecord(h), 1);
  EXPECT_EQ(QRNET_ClientStopAlarmRecord(h), 1);
  EXPECT_EQ(DecodeErrors(h), 0u);
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  handle_ = 0;

  // FFmpeg: an HEVC stream that decodes without a complaint.
  EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height "
                  "-of csv=p=0 '" +
                  avi + "'"),
            "hevc,320,240\n");
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + avi + "' -f null - 2>&1"), "");
  // The snapshot is a JPEG of the picture.
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(jpg); }, 5000));
  quornet::WaitForSnapshotsWritten();  // the file appears before its last byte
  std::ifstream snap(jpg, std::ios::binary);
  char soi[2] = {};
  snap.read(soi, 2);
  EXPECT_EQ(uint8_t(soi[0]), 0xFF);
  EXPECT_EQ(uint8_t(soi[1]), 0xD8);

  // The AVI plays back: in order, then paused, a seek shows exactly the key
  // picture at or before the target, single steps one picture each.
  window_->ClearFrames();
  const uint32_t f = Open(avi);
  ASSERT_NE(f, 0u);
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(f, &out), 1);
  EXPECT_EQ(out.video_payload, 98);
  EXPECT_GE(QRNET_ReplayTotalTime(f), 4);
  ASSERT_TRUE(WaitFor([&] { return Distinct(window_->Frames()).size() >= 5; }, 10000));
  const uint32_t first = Distinct(window_->Frames()).front();  // the recording's key picture
  ASSERT_EQ(QRNET_ReplayPause(f), 1);
  WaitSettled(f);
  const uint64_t before = Drawn(f);
  ASSERT_EQ(QRNET_ReplaySeek(f, 2), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(f) == before + 1; }, 10000));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(Drawn(f), before + 1);
  const uint32_t key = LastFrame();
  ASSERT_NE(key, 0xFFFFFFFFu);
  EXPECT_EQ((key - first) % kGop, 0u) << "not a key picture: " << key << " from " << first;
  EXPECT_GE(key - first, 40u);  // at or before 2 s = 50 pictures, at a group start
  EXPECT_LE(key - first, 50u);

  ASSERT_EQ(QRNET_ReplayStepByStep(f, 1, 0), 1);
  WaitSettled(f);
  uint64_t drawn = Drawn(f);
  uint32_t frame = LastFrame();
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(QRNET_ReplayStepByStep(f, 1, 1), 1);
    ASSERT_TRUE(WaitFor([&] { return Drawn(f) == drawn + 1; }, 10000));
    EXPECT_EQ(LastFrame(), frame + 1);
    drawn = Drawn(f);
    frame = LastFrame();
  }
  // Leaving single step restores the pause it was entered from.
  ASSERT_EQ(QRNET_ReplayStepByStep(f, 0, 0), 1);
  ASSERT_EQ(QRNET_ReplayContinue(f), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(f) >= drawn + 5; }, 10000));
  EXPECT_EQ(QRNET_CloseFile(f), 1);
  files_.clear();

  // The alarm record file plays in order too, and seeks to a key picture.
  window_->ClearFrames();
  const uint32_t a = Open(alarm);
  ASSERT_NE(a, 0u);
  ASSERT_EQ(QRNET_GetClientParam(a, &out), 1);
  EXPECT_EQ(out.video_payload, 98);
  ASSERT_TRUE(WaitFor([&] { return Distinct(window_->Frames()).size() >= 10; }, 10000));
  const std::vector<uint32_t> shown = Distinct(window_->Frames());
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_EQ(shown[i], shown[i - 1] + 1);
  const uint32_t alarm_first = shown.front();
  ASSERT_EQ(QRNET_ReplayPause(a), 1);
  WaitSettled(a);
  const uint64_t alarm_before = Drawn(a);
  ASSERT_EQ(QRNET_ReplaySeek(a, 1), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(a) == alarm_before + 1; }, 10000));
  EXPECT_EQ((LastFrame() - alarm_first) % kGop, 0u);
}

// Senders that carry their parameter sets only in the description: a
// recording started mid-stream (long after the first picture, which gets the
// described sets in front) still starts at the next key picture, for both
// codecs, and both files decode.
TEST_F(HevcTest, RecordingStartsWhereParameterSetsAreOnlyDescribed) {
  for (const auto codec : {devicesim::VideoCodec::kH265, devicesim::VideoCodec::kH264}) {
    const bool h265 = codec == devicesim::VideoCodec::kH265;
    SCOPED_TRACE(h265 ? "h265" : "h264");
    devicesim::Config cfg;
    cfg.codec = codec;
    cfg.mode = Mode::kStandard;
    cfg.width = kW;
    cfg.height = kH;
    cfg.gop = kGop;
    cfg.standard.sets_in_description_only = true;
    cfg.session_timeout = std::chrono::milliseconds(0);
    ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
    window_->ClearFrames();
    const uint32_t h = StartClient(QRNET_TRANSPORT_RTSP_TCP, DeviceAddress(Mode::kStandard));
    ASSERT_NE(h, 0u);
    // Past the first group of pictures before recording starts.
    ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= kGop + 5; }, 20000));
    const std::string avi = Path(h265 ? "sets265.avi" : "sets264.avi");
    const std::string alarm = Path(h265 ? "sets265.alarm" : "sets264.alarm");
    ASSERT_EQ(QRNET_ClientStartRecord(h, avi.c_str(), 0), 1);
    ASSERT_EQ(QRNET_ClientStartAlarmRecord(h, alarm.c_str(), 0), 1);
    const size_t at_start = window_->Frames().size();
    ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= at_start + 3 * kGop; }, 30000));
    EXPECT_EQ(QRNET_ClientStopRecord(h), 1);
    EXPECT_EQ(QRNET_ClientStopAlarmRecord(h), 1);
    EXPECT_EQ(DecodeErrors(h), 0u);
    EXPECT_EQ(QRNET_ClientStop(h), 1);
    handle_ = 0;
    device_.Stop();

    ASSERT_TRUE(std::filesystem::exists(avi)) << "the recording never started";
    EXPECT_EQ(
        Shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height "
              "-of csv=p=0 '" +
              avi + "'"),
        std::string(h265 ? "hevc" : "h264") + ",320,240\n");
    EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + avi + "' -f null - 2>&1"), "");
    const int frames = std::atoi(Shell("ffprobe -v error -count_frames -select_streams v "
                                       "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                       avi + "'")
                                     .c_str());
    EXPECT_GE(frames, kGop);
    // The alarm file plays: pictures from its first record on.
    window_->ClearFrames();
    const uint32_t f = Open(alarm);
    ASSERT_NE(f, 0u);
    EXPECT_TRUE(WaitFor([&] { return Distinct(window_->Frames()).size() >= 5; }, 10000));
    QRNET_CloseFile(f);
    files_.clear();
  }
}

// ---- A codec we cannot decode ----------------------------------------------------

class UnsupportedVideoTest : public HevcTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(UnsupportedVideoTest, IsReportedByNotificationAndNameWithoutPictures) {
  ASSERT_TRUE(StartDevice(Mode::kStandard, /*unknown_video=*/true)) << device_.Error();
  const uint32_t h = StartClient(GetParam(), DeviceAddress(Mode::kStandard));
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitFor([&] { return CountNotes(h, 9, 255) >= 1; }, 15000));
  char name[32] = {};
  EXPECT_EQ(QRNET_ClientGetVideoCodec(h, name, sizeof name), 255);
  EXPECT_STREQ(name, "MP4V-ES");
  char cut[4] = {};
  EXPECT_EQ(QRNET_ClientGetVideoCodec(h, cut, sizeof cut), 255);
  EXPECT_STREQ(cut, "MP4");
  EXPECT_EQ(QRNET_ClientGetVideoCodec(h, nullptr, 0), 255);
  // The session runs (no reconnect loop), and nothing is drawn.
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(window_->Frames().empty());
  EXPECT_EQ(CountNotes(h, 1, 3), 0) << "the stream broke";
  EXPECT_EQ(QRNET_ClientGetVideoCodec(0, name, sizeof name), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, UnsupportedVideoTest,
                         ::testing::Values(QRNET_TRANSPORT_RTSP_TCP, QRNET_TRANSPORT_RTSP_UDP),
                         [](const auto& info) {
                           return info.param == QRNET_TRANSPORT_RTSP_TCP ? std::string("tcp")
                                                                         : std::string("udp");
                         });

// ---- A third-party server ----------------------------------------------------------

TEST_F(HevcTest, GstreamerX265ServerIsViewed) {
  if (!quornet_test::GstRtspServerAvailable()) GTEST_SKIP() << "no gst-rtsp-server bindings";
  if (std::system("gst-inspect-1.0 x265enc >/dev/null 2>&1") != 0) GTEST_SKIP() << "no x265enc";
  quornet_test::GstRtspServer server;
  ASSERT_TRUE(server.Start({"--mount", "/1", "--video", "h265", "--size", "320x240", "--audio",
                            "none", "--duration", "120"}));
  for (uint16_t transport : {QRNET_TRANSPORT_RTSP_TCP, QRNET_TRANSPORT_RTSP_UDP}) {
    const uint64_t presents = window_->PresentCount();
    const uint32_t h =
        StartClient(transport, "rtsp://127.0.0.1:" + std::to_string(server.port()) + "/1");
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(WaitFor([&] { return window_->PresentCount() >= presents + 25; }, 20000))
        << transport;
    EXPECT_EQ(QRNET_ClientGetVideoCodec(h, nullptr, 0), 98);
    EXPECT_EQ(DecodeErrors(h), 0u) << transport;
    EXPECT_EQ(QRNET_ClientStop(h), 1);
    handle_ = 0;
  }
}

}  // namespace
}  // namespace quornet
