// The RTSP sources against the device simulator over loopback: live streams
// over UDP and interleaved TCP reach the conduits as whole, decodable
// pictures in order; audio; authorization; link states and reconnection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "net/source_seams.h"
#include "quornet.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {
namespace {

using namespace std::chrono_literals;

// ---- Notifications, collected per handle ---------------------------------------

std::mutex g_mutex;
std::map<uint32_t, std::vector<std::pair<int, int>>> g_notes;  // guarded by g_mutex

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes[handle].push_back({kind, value});
}

std::vector<int> LinkStates(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::vector<int> out;
  for (auto [k, v] : g_notes[handle]) {
    if (k == 1) out.push_back(v);
  }
  return out;
}

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

// Ordered sub-sequence test: the link states contain `want` in this order.
bool HasSequence(uint32_t handle, const std::vector<int>& want) {
  std::vector<int> got = LinkStates(handle);
  size_t i = 0;
  for (int v : got) {
    if (i < want.size() && v == want[i]) ++i;
  }
  return i == want.size();
}

class RtspSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, OnStatus, 0);
    QRNET_SetWaitTime(2, 1, 0);
    // Frames stay in the conduits for the test to read: no display thread.
    saved_sinks_ = RegisterMediaSinksFactory(nullptr);
  }
  void TearDown() override {
    for (uint32_t h : handles_) QRNET_ClientStop(h);
    RegisterMediaSinksFactory(std::move(saved_sinks_));
    device_.Stop();
  }

  bool StartDevice(const devicesim::Config& config) {
    if (!device_.Start(config)) {
      ADD_FAILURE() << device_.Error();
      return false;
    }
    return true;
  }

  static QRNET_ClientParam Param(int transport, int port, int channel = 1, const char* suffix = "",
                                 const char* user = "", const char* pass = "") {
    QRNET_ClientParam p{};
    p.transport = static_cast<uint16_t>(transport);
    p.view_flag = 1;
    p.channel = channel;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d%s", port, suffix);
    std::snprintf(p.user, sizeof p.user, "%s", user);
    std::snprintf(p.password, sizeof p.password, "%s", pass);
    return p;
  }

  uint32_t Start(const QRNET_ClientParam& p) {
    uint32_t h = QRNET_ClientStart(&p);
    EXPECT_NE(h, 0u);
    if (h) handles_.push_back(h);
    return h;
  }

  void Stop(uint32_t h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QRNET_ClientStop(h), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  }

  // Reads `count` video frames from the session's conduit (frames_out).
  static std::vector<std::vector<uint8_t>> ReadVideo(uint32_t h, size_t count,
                                                     std::chrono::milliseconds limit) {
    std::vector<std::vector<uint8_t>> frames;
    auto session = CClientSession::Find(h);
    if (!session) return frames;
    std::vector<uint8_t> buf(0x400000);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
      uint32_t left = 0;
      FrameHeader header{};
      uint32_t n = session->video_conduit()->ReadFrame(
          buf.data(), static_cast<uint32_t>(buf.size()), &left, &header, 100);
      if (n > 0) frames.emplace_back(buf.begin(), buf.begin() + n);
    }
    return frames;
  }

  devicesim::Device device_;
  std::vector<uint32_t> handles_;
  MediaSinksFactory saved_sinks_;
};

// Decodes every frame; returns the frame numbers of the pictures and counts
// decoder errors (bitstream errors are fatal with AV_EF_EXPLODE).
struct DecodeResult {
  std::vector<uint32_t> numbers;
  int errors = 0;
};

DecodeResult Decode(const std::vector<std::vector<uint8_t>>& frames, bool h264) {
  DecodeResult r;
  const AVCodec* codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
  ctx->thread_count = 1;
  avcodec_open2(ctx, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  for (const auto& f : frames) {
    pkt->data = const_cast<uint8_t*>(f.data());
    pkt->size = static_cast<int>(f.size());
    if (avcodec_send_packet(ctx, pkt) < 0) {
      ++r.errors;
      continue;
    }
    int ret;
    while ((ret = avcodec_receive_frame(ctx, frame)) == 0) {
      if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) ++r.errors;
      auto n = devicesim::frame_code::DecodeLuma(frame->data[0], frame->linesize[0], frame->width,
                                                 frame->height);
      if (n) r.numbers.push_back(*n);
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) ++r.errors;
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  return r;
}

bool StrictlyIncreasing(const std::vector<uint32_t>& v) {
  for (size_t i = 1; i < v.size(); ++i) {
    if (v[i] <= v[i - 1]) return false;
  }
  return true;
}

devicesim::Config SmallConfig(devicesim::VideoCodec codec) {
  devicesim::Config c;
  c.codec = codec;
  c.width = 320;
  c.height = 240;
  c.fps = 25;
  c.gop = 10;
  return c;
}

// ---- Live streams -------------------------------------------------------------------

struct LiveCase {
  int transport;
  devicesim::VideoCodec codec;
};

class LiveStreamTest : public RtspSourceTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveStreamTest, WholePicturesReachTheConduitInOrder) {
  const LiveCase c = GetParam();
  ASSERT_TRUE(StartDevice(SmallConfig(c.codec)));
  uint32_t h = Start(Param(c.transport, device_.Port()));
  auto frames = ReadVideo(h, 30, 15s);
  ASSERT_GE(frames.size(), 30u);
  const bool h264 = c.codec == devicesim::VideoCodec::kH264;
  DecodeResult d = Decode(frames, h264);
  EXPECT_EQ(d.errors, 0);
  EXPECT_GE(d.numbers.size(), 25u);
  EXPECT_TRUE(StrictlyIncreasing(d.numbers));
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(h, &out), 1);
  EXPECT_EQ(out.video_payload, h264 ? 96 : 26);
  EXPECT_EQ(QRNET_GetClientState(h), 0);
  EXPECT_TRUE(HasSequence(h, {1, 0}));
  if (c.transport == 1) {
    int32_t kbps = 0, reserved = -1;
    EXPECT_TRUE(
        WaitFor([&] { return QRNET_GetBitStreamInfo(h, &kbps, &reserved) == 1 && kbps > 0; }, 3s));
    EXPECT_EQ(reserved, 0);
  }
  Stop(h);
}

INSTANTIATE_TEST_SUITE_P(Transports, LiveStreamTest,
                         ::testing::Values(LiveCase{0, devicesim::VideoCodec::kH264},
                                           LiveCase{1, devicesim::VideoCodec::kH264},
                                           LiveCase{0, devicesim::VideoCodec::kMjpeg},
                                           LiveCase{1, devicesim::VideoCodec::kMjpeg}),
                         [](const auto& info) {
                           return std::string(info.param.transport ? "Tcp" : "Udp") +
                                  (info.param.codec == devicesim::VideoCodec::kH264 ? "H264"
                                                                                    : "Mjpeg");
                         });

// ---- Audio -------------------------------------------------------------------------

struct AudioCase {
  devicesim::AudioCodec codec;
  int code;
  int transport;
};

class AudioTest : public RtspSourceTest, public ::testing::WithParamInterface<AudioCase> {};

TEST_P(AudioTest, FramesReachTheAudioConduitWhileEnabled) {
  const AudioCase c = GetParam();
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.audio = c.codec;
  ASSERT_TRUE(StartDevice(config));
  uint32_t h = Start(Param(c.transport, device_.Port()));
  ASSERT_TRUE(WaitFor([&] { return QRNET_GetClientState(h) == 0; }, 10s));
  QRNET_ClientOutput out{};
  QRNET_GetClientParam(h, &out);
  EXPECT_EQ(out.audio_codec, c.code);
  QRNET_ClientPlayAudio(h);
  auto session = CClientSession::Find(h);
  ASSERT_TRUE(session);
  int frames = 0;
  std::vector<uint8_t> buf(8192);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (frames < 10 && std::chrono::steady_clock::now() < deadline) {
    uint32_t left = 0;
    FrameHeader header{};
    uint32_t n = session->audio_conduit()->ReadFrame(buf.data(), static_cast<uint32_t>(buf.size()),
                                                     &left, &header, 100);
    if (n > 0) ++frames;
  }
  EXPECT_GE(frames, 10);
  Stop(h);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AudioTest,
                         ::testing::Values(AudioCase{devicesim::AudioCodec::kPcma, 1, 1},
                                           AudioCase{devicesim::AudioCodec::kPcmu, 2, 1},
                                           AudioCase{devicesim::AudioCodec::kG726_16, 4, 1},
                                           AudioCase{devicesim::AudioCodec::kG726_24, 5, 1},
                                           AudioCase{devicesim::AudioCodec::kG726_32, 6, 1},
                                           AudioCase{devicesim::AudioCodec::kG726_40, 7, 1},
                                           AudioCase{devicesim::AudioCodec::kAac, 8, 1},
                                           AudioCase{devicesim::AudioCodec::kPcma, 1, 0}),
                         [](const auto& info) {
                           std::string name = devicesim::ToString(info.param.codec);
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name + (info.param.transport ? "Tcp" : "Udp");
                         });

// ---- Authorization --------------------------------------------------------------------

TEST_F(RtspSourceTest, DigestAndBasicAuthorizationAreAnswered) {
  for (auto scheme : {devicesim::AuthScheme::kDigest, devicesim::AuthScheme::kBasic}) {
    devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
    config.auth = scheme;
    config.user = "admin";
    config.pass = "s3cret";
    ASSERT_TRUE(StartDevice(config));
    uint32_t h = Start(Param(1, device_.Port(), 1, "", "admin", "s3cret"));
    EXPECT_GE(ReadVideo(h, 3, 10s).size(), 3u);
    bool authorized = false;
    for (const auto& r : device_.Requests()) {
      const std::string* a = r.Header("Authorization");
      if (r.method == "DESCRIBE" && a != nullptr) {
        authorized =
            a->rfind(scheme == devicesim::AuthScheme::kDigest ? "Digest " : "Basic ", 0) == 0;
      }
    }
    EXPECT_TRUE(authorized);
    Stop(h);
    device_.Stop();
  }
}

TEST_F(RtspSourceTest, RefusedCredentialsAreReported) {
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.auth = devicesim::AuthScheme::kDigest;
  config.user = "admin";
  config.pass = "right";
  ASSERT_TRUE(StartDevice(config));
  uint32_t h = Start(Param(0, device_.Port(), 1, "", "admin", "wrong"));
  EXPECT_TRUE(WaitFor([&] { return HasSequence(h, {1, 6, 5}); }, 10s));
  EXPECT_EQ(QRNET_GetClientState(h), 5);
  Stop(h);
}

// ---- Link states -------------------------------------------------------------------------

int UnusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);  // nothing listens there now
  return ntohs(a.sin_port);
}

TEST_F(RtspSourceTest, UnreachableDeviceWithOneAttemptGivesUp) {
  for (int transport : {0, 1}) {
    uint32_t h = Start(Param(transport, UnusedLoopbackPort()));
    ASSERT_TRUE(WaitFor([&] { return QRNET_GetClientState(h) == 5; }, 5s)) << transport;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(LinkStates(h), (std::vector<int>{1, 5})) << transport;
    Stop(h);
  }
}

TEST_F(RtspSourceTest, UnlimitedAttemptsKeepTryingUntilStopped) {
  QRNET_SetWaitTime(1, -1, 0);
  uint32_t h = Start(Param(1, UnusedLoopbackPort()));
  EXPECT_TRUE(WaitFor([&] { return HasSequence(h, {1, 4, 1, 4, 1, 4}); }, 10s));
  EXPECT_NE(QRNET_GetClientState(h), 5);
  Stop(h);
}

TEST_F(RtspSourceTest, KilledStreamReconnectsEvenWithOneAttempt) {
  for (int transport : {1, 0}) {
    devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
    ASSERT_TRUE(StartDevice(config));
    device_.faults().close_after_seconds = 1;
    uint32_t h = Start(Param(transport, device_.Port()));
    EXPECT_TRUE(WaitFor(
        [&] {
          return HasSequence(h, {1, 0, 3, 1, 0});
        },
        15s))
        << transport << ": " << ::testing::PrintToString(LinkStates(h));
    Stop(h);
    device_.Stop();
  }
}

// Counts what the source asks of the recorder hook (the recorder itself is
// wired in by its own component).
struct RecorderCalls {
  std::atomic<int> key_frames{0}, video{0}, audio{0}, format_stops{0}, stop_all{0};
};

class CountingRecorder : public IStreamRecorder {
 public:
  explicit CountingRecorder(RecorderCalls* calls) : calls_(calls) {}
  void OnKeyFrameStart() override { ++calls_->key_frames; }
  void OnVideoFrame(uint8_t*, uint32_t, int) override { ++calls_->video; }
  void OnAudioFrame(uint8_t* payload, uint32_t) override {
    payload[-4] = 0;  // the voice-frame header room is writable
    ++calls_->audio;
  }
  void StopForFormatChange() override { ++calls_->format_stops; }
  void StopAll() override { ++calls_->stop_all; }

 private:
  RecorderCalls* calls_;
};

TEST_F(RtspSourceTest, ReconnectionWithNewPictureSizeClosesRecords) {
  RecorderCalls calls;
  StreamRecorderFactory saved = RegisterStreamRecorderFactory(
      [&](CClientSession&) { return std::make_unique<CountingRecorder>(&calls); });
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.mode = devicesim::Mode::kBanner;
  ASSERT_TRUE(StartDevice(config));
  uint32_t h = Start(Param(1, device_.Port()));
  ASSERT_TRUE(WaitFor([&] { return calls.video > 5 && calls.audio > 5; }, 10s));
  EXPECT_GT(calls.key_frames.load(), 0);
  EXPECT_EQ(calls.format_stops.load(), 0);
  device_.faults().next_width = 640;
  device_.faults().next_height = 480;
  device_.faults().close_after_seconds = 1;
  EXPECT_TRUE(WaitFor([&] { return calls.format_stops.load() > 0; }, 10s));
  QRNET_ClientOutput out{};
  QRNET_GetClientParam(h, &out);
  EXPECT_EQ(out.width, 640);
  Stop(h);
  EXPECT_GE(calls.stop_all.load(), 1);
  RegisterStreamRecorderFactory(std::move(saved));
}

TEST_F(RtspSourceTest, InvalidInterleavedChannelLeadsToReconnection) {
  ASSERT_TRUE(StartDevice(SmallConfig(devicesim::VideoCodec::kH264)));
  uint32_t h = Start(Param(1, device_.Port()));
  ASSERT_TRUE(WaitFor([&] { return QRNET_GetClientState(h) == 0; }, 10s));
  device_.faults().bad_channel_packets = 1;
  EXPECT_TRUE(WaitFor(
      [&] {
        return HasSequence(h, {1, 0, 3, 1, 0});
      },
      10s))
      << ::testing::PrintToString(LinkStates(h));
  EXPECT_GE(ReadVideo(h, 3, 5s).size(), 3u);
  Stop(h);
}

TEST_F(RtspSourceTest, StopDuringBlockedDescribeReturnsPromptly) {
  for (int transport : {0, 1}) {
    ASSERT_TRUE(StartDevice(SmallConfig(devicesim::VideoCodec::kH264)));
    device_.faults().reply_delay_ms = 20000;
    uint32_t h = Start(Param(transport, device_.Port()));
    ASSERT_TRUE(WaitFor([&] { return device_.OpenConnections() > 0; }, 5s));
    std::this_thread::sleep_for(300ms);  // the DESCRIBE is out, its reply held back
    Stop(h);                             // bounded by 2 s inside
    device_.faults().reply_delay_ms = 0;
    device_.Stop();
  }
}

// ---- Loss, reordering and duplication over UDP --------------------------------------------

TEST_F(RtspSourceTest, UdpImpairmentsNeverHandOverCorruptPictures) {
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.width = 640;
  config.height = 480;
  ASSERT_TRUE(StartDevice(config));
  device_.faults().udp_loss = 0.02;
  device_.faults().udp_reorder = 0.02;
  device_.faults().udp_duplicate = 0.02;
  uint32_t h = Start(Param(0, device_.Port()));
  auto frames = ReadVideo(h, 60, 20s);
  ASSERT_GE(frames.size(), 20u);
  DecodeResult d = Decode(frames, true);
  EXPECT_EQ(d.errors, 0);
  EXPECT_TRUE(StrictlyIncreasing(d.numbers));
  EXPECT_GE(d.numbers.size(), frames.size() * 9 / 10);
  Stop(h);
}

// ---- Generic server and recorder scheme ------------------------------------------------------

TEST_F(RtspSourceTest, PathSuffixSelectsGenericServerMode) {
  ASSERT_TRUE(StartDevice(SmallConfig(devicesim::VideoCodec::kH264)));
  uint32_t h = Start(Param(1, device_.Port(), 1, "/live/ch1"));
  EXPECT_GE(ReadVideo(h, 3, 10s).size(), 3u);
  auto session = CClientSession::Find(h);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->server_kind.load(), -1);
  auto requests = device_.Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].method, "DESCRIBE");
  EXPECT_NE(requests[0].url.find("/1/live/ch1"), std::string::npos) << requests[0].url;
  Stop(h);
}

TEST_F(RtspSourceTest, RecorderSchemeOverUdpSendsKeepAliveAndReadsSizeFromSprop) {
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.mode = devicesim::Mode::kRecorder;
  ASSERT_TRUE(StartDevice(config));
  uint32_t h = Start(Param(0, device_.Port(), 12));
  EXPECT_GE(ReadVideo(h, 3, 10s).size(), 3u);
  QRNET_ClientOutput out{};
  QRNET_GetClientParam(h, &out);
  EXPECT_EQ(out.width, 320);
  EXPECT_EQ(out.height, 240);
  EXPECT_TRUE(WaitFor(
      [&] {
        for (const auto& r : device_.Requests()) {
          if (r.method == "GET_PARAMETER" && r.body == "alive\r\n") return true;
        }
        return false;
      },
      3s));
  Stop(h);
}

TEST_F(RtspSourceTest, ReplayStartsWithScaleAndChangesSpeed) {
  devicesim::Config config = SmallConfig(devicesim::VideoCodec::kH264);
  config.mode = devicesim::Mode::kRecorder;
  ASSERT_TRUE(StartDevice(config));
  QRNET_ClientParam p = Param(1, device_.Port(), 3);
  uint32_t h = QRNET_ClientNVRReplay(&p, "20240102030405", 1);
  ASSERT_NE(h, 0u);
  handles_.push_back(h);
  EXPECT_GE(ReadVideo(h, 3, 10s).size(), 3u);
  EXPECT_EQ(QRNET_SetSpeed(h, 5), 0);
  EXPECT_EQ(QRNET_SetSpeed(h, -2), 1);
  EXPECT_TRUE(WaitFor(
      [&] {
        bool scale2 = false, scale_quarter = false;
        for (const auto& r : device_.Requests()) {
          const std::string* s = r.Header("Scale");
          if (r.method == "PLAY" && s && *s == "2.000000") scale2 = true;
          if (r.method == "PLAY" && s && *s == "0.250000") scale_quarter = true;
          if (r.method == "PLAY") {
            EXPECT_NE(r.url.find("/replay/03?stime=20240102030405"), std::string::npos) << r.url;
          }
        }
        return scale2 && scale_quarter;
      },
      3s));
  QRNET_ClientParam bad = p;
  EXPECT_EQ(QRNET_ClientNVRReplay(&bad, "0123456789012345678", 0), 0u);
  Stop(h);
}

}  // namespace
}  // namespace quornet
