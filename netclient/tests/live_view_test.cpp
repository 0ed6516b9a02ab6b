// Live view end to end through the C API: the simulated camera's pictures
// reach a memory window in order and fresh, and its sound, in every audio
// codec, reaches the wav audio back end as the camera's tone. An audio codec
// we cannot decode produces no sound at all. Loopback only.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "gst_rtsp_server.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"

namespace {

namespace fs = std::filesystem;
using devicesim::AudioCodec;
using devicesim::VideoCodec;

struct Case {
  const char* name;
  VideoCodec video;
  AudioCodec audio;
  uint16_t transport;
  int sample_rate;
  devicesim::AudioAnnounce announce = devicesim::AudioAnnounce::kDevice;
};

std::optional<uint32_t> FrameNumber(const qrplat::Image& img) {
  if (img.width <= 0 || img.height <= 0) return std::nullopt;
  return devicesim::frame_code::DecodeBgrx(reinterpret_cast<const uint8_t*>(img.pixels.data()),
                                           img.width * 4, img.width, img.height);
}

// Sample rate and PCM bytes of the canonical 44-byte header the wav back end
// writes (rewritten after every buffer, so it is current while open).
bool ReadWav(const fs::path& path, int* rate, uint32_t* data_bytes) {
  std::ifstream in(path, std::ios::binary);
  uint8_t h[44];
  if (!in.read(reinterpret_cast<char*>(h), sizeof h)) return false;
  if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 36, "data", 4) != 0) return false;
  *rate = h[24] | h[25] << 8 | h[26] << 16 | h[27] << 24;
  *data_bytes = h[40] | h[41] << 8 | h[42] << 16 | uint32_t(h[43]) << 24;
  return true;
}

// 16-bit PCM of a wav file the back end wrote.
std::vector<int16_t> ReadWavSamples(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples;
  for (size_t i = 44; i + 1 < bytes.size(); i += 2) {
    samples.push_back(static_cast<int16_t>(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
  }
  return samples;
}

// How much of the sound is a tone of `hz`: the tone's amplitude (Goertzel)
// over the RMS level, averaged over 50 ms blocks that are not silent. A
// clean sine gives about 0.7, noise or another tone close to 0.
double ToneShare(const std::vector<int16_t>& pcm, int rate, double hz) {
  const size_t block = static_cast<size_t>(rate / 20);
  double sum = 0;
  int blocks = 0;
  for (size_t at = 0; block > 0 && at + block <= pcm.size(); at += block) {
    const double k = 2 * std::cos(2 * M_PI * hz / rate);
    double s1 = 0, s2 = 0, energy = 0;
    for (size_t i = at; i < at + block; ++i) {
      const double s0 = pcm[i] + k * s1 - s2;
      s2 = s1;
      s1 = s0;
      energy += double(pcm[i]) * pcm[i];
    }
    const double rms = std::sqrt(energy / block);
    if (rms < 100) continue;  // silence before the stream started
    const double amplitude = std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / block;
    sum += amplitude / rms;
    ++blocks;
  }
  return blocks > 0 ? sum / blocks : 0;
}

class LiveViewTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qr-live-view-" + std::to_string(getpid()) + "-" + GetParam().name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const char* old = getenv("QRPLAT_AUDIO");
    if (old != nullptr) saved_audio_ = old;
    setenv("QRPLAT_AUDIO", ("wav:" + dir_.string()).c_str(), 1);

    QRNET_Startup(0, 0, 0, 0);
    QRNET_SetWaitTime(5, 1, 1);
    devicesim::Config cfg;
    cfg.codec = GetParam().video;
    cfg.audio = GetParam().audio;
    cfg.audio_announce = GetParam().announce;
    cfg.width = 320;
    cfg.height = 240;
    cfg.gop = 10;
    cfg.session_timeout = std::chrono::milliseconds(0);
    ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
    host_ = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
    window_ = qrplat::RegisterWindow(host_);
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    qrplat::UnregisterWindow(window_);
    device_.Stop();
    if (saved_audio_.empty()) {
      unsetenv("QRPLAT_AUDIO");
    } else {
      setenv("QRPLAT_AUDIO", saved_audio_.c_str(), 1);
    }
    fs::remove_all(dir_);
  }

  std::vector<fs::path> WavFiles() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path().extension() == ".wav") files.push_back(e.path());
    }
    return files;
  }

  fs::path dir_;
  std::string saved_audio_;
  devicesim::Device device_;
  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  uint32_t handle_ = 0;
};

TEST_P(LiveViewTest, PicturesArriveInOrderAndSoundIsPlayed) {
  QRNET_ClientParam p{};
  p.transport = GetParam().transport;
  p.view_flag = 1;
  p.channel = 1;
  p.video_window = window_;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device_.Port()));
  handle_ = QRNET_ClientStart(&p);
  ASSERT_NE(handle_, 0u);
  ASSERT_EQ(QRNET_ClientPlayAudio(handle_), 1);

  // Pictures: numbers read from successive presents only ever grow, and the
  // last one shown is close to what the camera has generated by then.
  ASSERT_TRUE(host_->WaitPresents(5, 15000)) << "no pictures";
  std::optional<uint32_t> first = FrameNumber(host_->LastImage());
  ASSERT_TRUE(first.has_value());
  const uint64_t presents = host_->PresentCount();
  ASSERT_TRUE(host_->WaitPresents(presents + 20, 10000));
  std::optional<uint32_t> later = FrameNumber(host_->LastImage());
  ASSERT_TRUE(later.has_value());
  EXPECT_GT(*later, *first);
  std::optional<int64_t> captured = device_.CaptureTimeMs(*later);
  ASSERT_TRUE(captured.has_value()) << "not a frame the camera generated";
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  // Live means no backlog of seconds; the bound is generous because this
  // machine may be busy with other work.
  EXPECT_LT(now - *captured, 2500) << "the picture shown is stale";

  // Sound: one output stream at the codec's rate with at least half a second
  // of PCM in it.
  int rate = 0;
  uint32_t bytes = 0;
  for (int i = 0; i < 100; ++i) {
    auto files = WavFiles();
    if (files.size() == 1 && ReadWav(files[0], &rate, &bytes) &&
        bytes >= uint32_t(GetParam().sample_rate)) {
      break;
    }
    qrplat::SleepMs(100);
  }
  EXPECT_EQ(rate, GetParam().sample_rate);
  EXPECT_GE(bytes, uint32_t(GetParam().sample_rate)) << "less than 0.5 s of 16-bit PCM";
  // The camera's 1 kHz tone, not noise.
  auto files = WavFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_GT(ToneShare(ReadWavSamples(files[0]), rate, 1000), 0.4);
}

// A codec the client cannot decode (announced as L16): the pictures play,
// the audio track is left out and no output stream is ever opened.
class LiveViewNoSoundTest : public LiveViewTest {};

TEST_P(LiveViewNoSoundTest, UnknownAudioCodecGivesNoSound) {
  QRNET_ClientParam p{};
  p.transport = GetParam().transport;
  p.view_flag = 1;
  p.channel = 1;
  p.video_window = window_;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device_.Port()));
  handle_ = QRNET_ClientStart(&p);
  ASSERT_NE(handle_, 0u);
  ASSERT_EQ(QRNET_ClientPlayAudio(handle_), 1);
  ASSERT_TRUE(host_->WaitPresents(40, 15000)) << "no pictures";
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(handle_, &out), 1);
  EXPECT_EQ(out.audio_codec, 255);
  EXPECT_TRUE(WavFiles().empty());
  // The device was asked for the video track only.
  int audio_setups = 0;
  for (const auto& r : device_.Requests()) {
    if (r.method == "SETUP" && r.url.find("trackID=2") != std::string::npos) ++audio_setups;
  }
  EXPECT_EQ(audio_setups, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LiveViewTest,
    ::testing::Values(
        Case{"tcp_h264_pcma", VideoCodec::kH264, AudioCodec::kPcma, QRNET_TRANSPORT_RTSP_TCP, 8000},
        Case{"tcp_h264_pcmu", VideoCodec::kH264, AudioCodec::kPcmu, QRNET_TRANSPORT_RTSP_TCP, 8000},
        Case{"tcp_h264_g726_16", VideoCodec::kH264, AudioCodec::kG726_16, QRNET_TRANSPORT_RTSP_TCP,
             8000},
        Case{"tcp_h264_g726_24", VideoCodec::kH264, AudioCodec::kG726_24, QRNET_TRANSPORT_RTSP_TCP,
             8000},
        Case{"tcp_mjpeg_g726_32", VideoCodec::kMjpeg, AudioCodec::kG726_32,
             QRNET_TRANSPORT_RTSP_TCP, 8000},
        Case{"tcp_h264_g726_40", VideoCodec::kH264, AudioCodec::kG726_40, QRNET_TRANSPORT_RTSP_TCP,
             8000},
        Case{"tcp_mjpeg_aac", VideoCodec::kMjpeg, AudioCodec::kAac, QRNET_TRANSPORT_RTSP_TCP,
             16000},
        Case{"udp_h264_pcma", VideoCodec::kH264, AudioCodec::kPcma, QRNET_TRANSPORT_RTSP_UDP, 8000},
        Case{"udp_mjpeg_pcmu", VideoCodec::kMjpeg, AudioCodec::kPcmu, QRNET_TRANSPORT_RTSP_UDP,
             8000},
        Case{"udp_h264_aac", VideoCodec::kH264, AudioCodec::kAac, QRNET_TRANSPORT_RTSP_UDP, 16000},
        // AAC as other servers announce it: "MPEG4-GENERIC/16000/1".
        Case{"tcp_h264_aac_upper_case", VideoCodec::kH264, AudioCodec::kAac,
             QRNET_TRANSPORT_RTSP_TCP, 16000, devicesim::AudioAnnounce::kUpperCase},
        Case{"udp_h264_pcma_upper_case", VideoCodec::kH264, AudioCodec::kPcma,
             QRNET_TRANSPORT_RTSP_UDP, 8000, devicesim::AudioAnnounce::kUpperCase}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    UnknownCodecs, LiveViewNoSoundTest,
    ::testing::Values(Case{"tcp_h264_unknown_codec", VideoCodec::kH264, AudioCodec::kPcmu,
                           QRNET_TRANSPORT_RTSP_TCP, 0, devicesim::AudioAnnounce::kUnknownCodec},
                      Case{"udp_h264_unknown_codec", VideoCodec::kH264, AudioCodec::kAac,
                           QRNET_TRANSPORT_RTSP_UDP, 0, devicesim::AudioAnnounce::kUnknownCodec}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A third-party server (GStreamer) announces AAC as "MPEG4-GENERIC/16000/1":
// its tone plays.
TEST(ThirdPartyServer, AacInCapitalsPlaysTheTone) {
  if (!quornet_test::GstRtspServerAvailable()) GTEST_SKIP() << "no gst-rtsp-server bindings";
  quornet_test::GstRtspServer server;
  ASSERT_TRUE(server.Start({"--mount", "/1", "--controls", "trackid", "--audio", "aac", "--tone",
                            "1000", "--size", "320x240", "--duration", "120"}));
  const fs::path dir =
      fs::temp_directory_path() / ("qr-live-view-" + std::to_string(getpid()) + "-gst-aac");
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string saved_audio;
  if (const char* old = getenv("QRPLAT_AUDIO")) saved_audio = old;
  setenv("QRPLAT_AUDIO", ("wav:" + dir.string()).c_str(), 1);
  QRNET_Startup(0, 0, 0, 0);
  QRNET_SetWaitTime(5, 1, 1);
  auto host = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
  const uint32_t window = qrplat::RegisterWindow(host);
  for (uint16_t transport : {QRNET_TRANSPORT_RTSP_UDP, QRNET_TRANSPORT_RTSP_TCP}) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    QRNET_ClientParam p{};
    p.transport = transport;
    p.view_flag = 1;
    p.channel = 1;
    p.video_window = window;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d", server.port());
    const uint32_t h = QRNET_ClientStart(&p);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(QRNET_ClientPlayAudio(h), 1);
    std::vector<fs::path> files;
    int rate = 0;
    uint32_t bytes = 0;
    for (int i = 0; i < 150 && bytes < 32000; ++i) {
      qrplat::SleepMs(100);
      files.clear();
      for (const auto& e : fs::directory_iterator(dir)) files.push_back(e.path());
      if (files.size() == 1) ReadWav(files[0], &rate, &bytes);
    }
    QRNET_ClientOutput out{};
    QRNET_GetClientParam(h, &out);
    EXPECT_EQ(QRNET_ClientStop(h), 1);
    EXPECT_EQ(out.audio_codec, 8) << transport;
    ASSERT_EQ(files.size(), 1u) << transport;
    EXPECT_EQ(rate, 16000) << transport;
    EXPECT_GE(bytes, 32000u) << transport << ": less than 1 s of sound";
    EXPECT_GT(ToneShare(ReadWavSamples(files[0]), 16000, 1000), 0.4) << transport;
  }
  qrplat::UnregisterWindow(window);
  if (saved_audio.empty()) {
    unsetenv("QRPLAT_AUDIO");
  } else {
    setenv("QRPLAT_AUDIO", saved_audio.c_str(), 1);
  }
  fs::remove_all(dir);
}

}  // namespace
