// Talk (two-way audio): the wire format from byte arrays, then whole talks
// through the C API against the simulated camera's talk endpoint, with the
// wav audio back end standing in for microphone and speaker. Loopback only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "control/mctp.h"
#include "devicesim/control.h"
#include "devicesim/device.h"
#include "devicesim/talk.h"
#include "media/talk_proto.h"
#include "qrplat/thread.h"
#include "quornet.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using quornet::talk::CVoiceStreamParser;

int64_t MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// ---- Wire format ----------------------------------------------------------------------------

TEST(TalkWire, RequestTextsAreByteExactForEveryVoiceType) {
  using quornet::mctp::BuildTalk;
  using quornet::talk::TalkCodeForType;
  EXPECT_EQ(BuildTalk(1, TalkCodeForType(quornet::talk::AutomaticTalkType(1))),
            "CMD:TALK MCTP/1.0 CS\n@1@2@\nEND\n");
  EXPECT_EQ(BuildTalk(3, TalkCodeForType(quornet::talk::AutomaticTalkType(0))),
            "CMD:TALK MCTP/1.0 CS\n@3@16@\nEND\n");
  EXPECT_EQ(quornet::talk::AutomaticTalkType(2), 6);
  EXPECT_EQ(quornet::talk::AutomaticTalkType(-1), 6);
  const int types[] = {1, 2, 4, 5, 6, 7};
  const int codes[] = {1, 2, 4, 5, 16, 7};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(TalkCodeForType(types[i]), codes[i]);
    EXPECT_EQ(quornet::talk::TalkTypeForCode(codes[i]), types[i]);
  }
  for (int bad : {0, 3, 8, 16, 255, -1}) EXPECT_FALSE(quornet::talk::IsTalkType(bad)) << bad;
}

TEST(TalkWire, PacketCarriesTheWholeFrameLengthEvenFor256WordsAndMore) {
  // 300 words: a length formed from the low byte of N would say 2 * 44 + 4.
  std::vector<uint8_t> frame(4 + 600);
  frame[0] = 0x00;
  frame[1] = 0x01;
  frame[2] = 300 & 0xFF;
  frame[3] = 300 >> 8;
  for (size_t i = 4; i < frame.size(); ++i) frame[i] = uint8_t(i);
  std::vector<uint8_t> packet(8 + frame.size());
  ASSERT_EQ(quornet::talk::BuildTalkPacket(0x11223344u, frame.data(), frame.size(), packet.data(),
                                           packet.size()),
            packet.size());
  const uint8_t head[8] = {
      0x5C, 0x02, 0x00, 0x00,  // L = 604 = 2 * 300 + 4
      0x44, 0x33, 0x22, 0x11,  // tick
  };
  EXPECT_EQ(std::memcmp(packet.data(), head, 8), 0);
  EXPECT_EQ(std::memcmp(packet.data() + 8, frame.data(), frame.size()), 0);

  // The common 20 ms G.726-32 frame: 40 words.
  uint8_t small[4 + 80] = {0x00, 0x01, 40, 0};
  uint8_t out[8 + 84];
  ASSERT_EQ(quornet::talk::BuildTalkPacket(7, small, sizeof small, out, sizeof out), sizeof out);
  EXPECT_EQ(out[0], 84);
  EXPECT_EQ(out[4], 7);

  // A word count that disagrees with the frame, or no room: nothing.
  EXPECT_EQ(quornet::talk::BuildTalkPacket(0, small, sizeof small - 2, out, sizeof out), 0u);
  EXPECT_EQ(quornet::talk::BuildTalkPacket(0, small, sizeof small, out, sizeof out - 1), 0u);
  EXPECT_EQ(quornet::talk::BuildTalkPacket(0, small, 3, out, sizeof out), 0u);
}

TEST(TalkWire, ReplyEndsAtTheSecondLineFeedAndTheVoiceFrameBehindItIsKept) {
  const std::string reply = "CMD:TALK MCTP/1.0 CS\n@1@1@16@\n";
  const std::string frame("\x00\x01\x02\x00\xAA\xBB\xCC\xDD", 8);
  const std::string both = reply + frame;
  const size_t n = quornet::talk::TalkReplyLength(both);
  ASSERT_EQ(n, reply.size());
  quornet::mctp::TalkReply parsed;
  ASSERT_TRUE(quornet::mctp::ParseTalkReply(std::string_view(both).substr(0, n), &parsed));
  EXPECT_TRUE(parsed.duplex);
  EXPECT_EQ(parsed.extra, 16);
  // The whole segment as one reply would have been refused.
  EXPECT_FALSE(quornet::mctp::ParseTalkReply(both, &parsed));

  CVoiceStreamParser p;
  p.Push(reinterpret_cast<const uint8_t*>(both.data()) + n, both.size() - n);
  const uint8_t* f = nullptr;
  size_t len = 0;
  ASSERT_EQ(p.Next(&f, &len), CVoiceStreamParser::Result::kFrame);
  ASSERT_EQ(len, 8u);
  EXPECT_EQ(std::memcmp(f, frame.data(), 8), 0);

  // Ending exactly at the second line feed; no second line feed yet.
  EXPECT_EQ(quornet::talk::TalkReplyLength(reply), reply.size());
  EXPECT_EQ(quornet::talk::TalkReplyLength("CMD:TALK MCTP/1.0 CS\n@1@1"), 0u);
  EXPECT_EQ(quornet::talk::TalkReplyLength(""), 0u);
  // Refusal and a reply of the wrong command.
  EXPECT_FALSE(quornet::mctp::ParseTalkReply("CMD:TALK MCTP/1.0 CS\n@1@0@\n", &parsed));
  EXPECT_FALSE(quornet::mctp::ParseTalkReply("CMD:ALIVE MCTP/1.0 CS\n@1@1@\n", &parsed));
}

TEST(TalkWire, DeviceStreamSkipsForeignHeadersAndReassemblesSplitFrames) {
  const uint8_t stream[] = {
      'E',  'N',  'D',  '\n',              // neither byte 0 is 0 nor byte 1 is 1: skipped
      0x00, 0x01, 0x02, 0x00, 1, 2, 3, 4,  // frame of 2 words
      0x7F, 0x01, 0x01, 0x00, 9, 9,        // byte 1 is 1: a frame too
      0x00, 0x00, 0x00, 0x00,              // empty frame
  };
  CVoiceStreamParser p;
  const uint8_t* f = nullptr;
  size_t len = 0;
  std::vector<size_t> lengths;
  // One byte at a time: frames come out whole, never early.
  for (uint8_t b : stream) {
    p.Push(&b, 1);
    while (p.Next(&f, &len) == CVoiceStreamParser::Result::kFrame) lengths.push_back(len);
  }
  EXPECT_EQ(lengths, (std::vector<size_t>{8, 6, 4}));
  EXPECT_EQ(p.SkippedHeaders(), 1u);
  EXPECT_EQ(p.Buffered(), 0u);
}

TEST(TalkWire, DeviceFrameAskingForTooManyWordsIsRefused) {
  // 0xFFFF words would be 131,070 bytes of code and eight times that as PCM.
  const uint8_t huge[] = {0x00, 0x01, 0xFF, 0xFF};
  CVoiceStreamParser p;
  p.Push(huge, sizeof huge);
  const uint8_t* f = nullptr;
  size_t len = 0;
  EXPECT_EQ(p.Next(&f, &len), CVoiceStreamParser::Result::kOversized);
  // The largest allowed frame still passes.
  const uint32_t w = quornet::talk::kMaxDeviceVoiceWords;
  std::vector<uint8_t> ok(4 + 2 * w);
  ok[1] = 1;
  ok[2] = uint8_t(w);
  ok[3] = uint8_t(w >> 8);
  CVoiceStreamParser q;
  q.Push(ok.data(), ok.size());
  ASSERT_EQ(q.Next(&f, &len), CVoiceStreamParser::Result::kFrame);
  EXPECT_EQ(len, ok.size());
}

// ---- Signal measurements ---------------------------------------------------------------------

struct ToneFit {
  double hz = 0;
  double snr_db = 0;
};

// Frequency from the rising zero crossings (interpolated), then the SNR of a
// least-squares sine at that frequency against what is left.
ToneFit MeasureTone(const std::vector<int16_t>& pcm, size_t from, size_t count, double rate) {
  ToneFit fit;
  if (from + count > pcm.size() || count < 100) return fit;
  std::vector<double> x(pcm.begin() + long(from), pcm.begin() + long(from + count));
  double mean = 0;
  for (double v : x) mean += v;
  mean /= double(x.size());
  for (double& v : x) v -= mean;
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = 1; i < x.size(); ++i) {
    if (x[i - 1] < 0 && x[i] >= 0) {
      const double t = double(i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 3) return fit;
  fit.hz = (crossings - 1) * rate / (last - first);
  // Fit a sin + b cos.
  const double w = 2 * M_PI * fit.hz / rate;
  double ss = 0, cc = 0, sc = 0, sx = 0, cx = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s;
    cc += c * c;
    sc += s * c;
    sx += s * x[i];
    cx += c * x[i];
  }
  const double det = ss * cc - sc * sc;
  const double a = (sx * cc - cx * sc) / det, b = (cx * ss - sx * sc) / det;
  double signal = 0, noise = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double m = a * std::sin(w * double(i)) + b * std::cos(w * double(i));
    signal += m * m;
    noise += (x[i] - m) * (x[i] - m);
  }
  fit.snr_db = 10 * std::log10(signal / std::max(noise, 1e-9));
  return fit;
}

void WriteWav(const fs::path& path, const std::vector<int16_t>& pcm) {
  std::ofstream out(path, std::ios::binary);
  auto le = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(char(v >> (8 * i)));
  };
  const uint32_t data = uint32_t(pcm.size() * 2);
  out.write("RIFF", 4);
  le(36 + data, 4);
  out.write("WAVEfmt ", 8);
  le(16, 4);
  le(1, 2);
  le(1, 2);
  le(8000, 4);
  le(16000, 4);
  le(2, 2);
  le(16, 2);
  out.write("data", 4);
  le(data, 4);
  out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(data));
}

// PCM of a WAV the wav back end wrote (canonical 44-byte header).
std::vector<int16_t> ReadWavPcm(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> pcm;
  if (bytes.size() < 44 || std::memcmp(bytes.data(), "RIFF", 4) != 0) return pcm;
  pcm.resize((bytes.size() - 44) / 2);
  std::memcpy(pcm.data(), bytes.data() + 44, pcm.size() * 2);
  return pcm;
}

// ---- Talks against the simulated camera -------------------------------------------------------

constexpr double kRate = 8000;
constexpr int kCaptureHz = 1000;
constexpr int kDeviceHz = 500;

class TalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qr-talk-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // One second of a 1 kHz tone: whole cycles, so the looped capture has no
    // seam.
    std::vector<int16_t> tone(8000);
    for (size_t i = 0; i < tone.size(); ++i)
      tone[i] = int16_t(std::lround(10000 * std::sin(2 * M_PI * kCaptureHz * double(i) / kRate)));
    WriteWav(dir_ / "capture.wav", tone);
    const char* old = getenv("QRPLAT_AUDIO");
    if (old != nullptr) saved_audio_ = old;
    setenv("QRPLAT_AUDIO", ("wav:" + dir_.string()).c_str(), 1);
    QRNET_Startup(0, 0, 0, 0);
    QRNET_SetWaitTime(5, -1, 1);
    talk_.options().tone_hz = kDeviceHz;
  }
  void TearDown() override {
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    device_.Stop();
    if (saved_audio_.empty()) {
      unsetenv("QRPLAT_AUDIO");
    } else {
      setenv("QRPLAT_AUDIO", saved_audio_.c_str(), 1);
    }
    fs::remove_all(dir_);
  }

  // Starts the camera (no stream audio, so the only sound output is talk's)
  // and a client on it.
  void StartCamera(devicesim::Mode mode = devicesim::Mode::kGeneric) {
    devicesim::Config cfg;
    cfg.width = 320;
    cfg.height = 240;
    cfg.audio = devicesim::AudioCodec::kNone;
    cfg.mode = mode;
    control_.Attach(device_);
    talk_.Attach(device_);
    ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
    StartClient(device_.Port());
  }
  void StartClient(uint16_t port) {
    QRNET_ClientParam p{};
    p.transport = QRNET_TRANSPORT_RTSP_TCP;
    p.channel = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port));
    handle_ = QRNET_ClientStart(&p);
    ASSERT_NE(handle_, 0u);
  }
  void WaitStreaming() {
    for (int i = 0; i < 150 && QRNET_GetClientState(handle_) != 0; ++i) qrplat::SleepMs(100);
    ASSERT_EQ(QRNET_GetClientState(handle_), 0) << "the live stream did not start";
  }
  // Stops the talk and returns how long that took.
  int64_t TimedStopTalk() {
    const Clock::time_point t0 = Clock::now();
    QRNET_ClientStopTalk(handle_);
    return MsSince(t0);
  }
  std::vector<fs::path> OutputWavs() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.path().filename().string().rfind("out-", 0) == 0) files.push_back(e.path());
    }
    return files;
  }

  fs::path dir_;
  std::string saved_audio_;
  devicesim::Device device_;
  devicesim::ControlService control_;
  devicesim::TalkService talk_;
  uint32_t handle_ = 0;
};

TEST_F(TalkTest, InvalidCallsFail) {
  EXPECT_EQ(QRNET_ClientStartTalk(0), 0);
  EXPECT_EQ(QRNET_ClientStartTalk(0x7FFFFFF0u), 0);
  QRNET_ClientStopTalk(0);
  StartCamera();
  EXPECT_EQ(QRNET_ClientStartTalkEx(handle_, 3), 0);
  EXPECT_EQ(QRNET_ClientStartTalkEx(handle_, 8), 0);
  EXPECT_EQ(QRNET_ClientStartTalkEx(handle_, -1), 0);
  QRNET_ClientStopTalk(handle_);  // nothing running: returns at once
}

struct TypeCase {
  int type;
  int code;
  double min_snr_db;
};

class TalkToneTest : public TalkTest, public ::testing::WithParamInterface<TypeCase> {};

// The capture tone travels through the client's encoder and the device's
// independent decoder and comes out as the same tone.
TEST_P(TalkToneTest, CaptureToneArrivesAtTheDeviceAsTheSameTone) {
  const TypeCase& c = GetParam();
  talk_.options().answer = devicesim::TalkAnswer::kSimplex;
  StartCamera();
  ASSERT_EQ(QRNET_ClientStartTalkEx(handle_, c.type), 1);
  // 1.5 s of audio; the first 0.5 s (device buffers filling, ADPCM settling)
  // is left out of the measurement.
  ASSERT_TRUE(talk_.WaitSamples(0, 12000, 15000)) << "no audio arrived";
  const devicesim::TalkConnection conn = talk_.Connection(0);
  EXPECT_EQ(conn.request, "CMD:TALK MCTP/1.0 CS\n@1@" + std::to_string(c.code) + "@\nEND\n");
  EXPECT_EQ(conn.voice_type, c.type);
  EXPECT_EQ(conn.bad_packets, 0u);
  const ToneFit fit = MeasureTone(conn.pcm, 4000, 8000, kRate);
  std::printf("voice type %d: %.2f Hz, SNR %.1f dB\n", c.type, fit.hz, fit.snr_db);
  RecordProperty("snr_db", std::to_string(fit.snr_db));
  EXPECT_NEAR(fit.hz, kCaptureHz, kCaptureHz * 0.02);
  EXPECT_GT(fit.snr_db, c.min_snr_db);
  EXPECT_EQ(talk_.Connections(), 1u);
  const int64_t ms = TimedStopTalk();
  EXPECT_LT(ms, 1000);
}

INSTANTIATE_TEST_SUITE_P(VoiceTypes, TalkToneTest,
                         ::testing::Values(TypeCase{1, 1, 25}, TypeCase{2, 2, 25},
                                           TypeCase{4, 4, 5}, TypeCase{5, 5, 10},
                                           TypeCase{6, 16, 15}, TypeCase{7, 7, 20}),
                         [](const ::testing::TestParamInfo<TypeCase>& info) {
                           return "type" + std::to_string(info.param.type);
                         });

// A camera of server kind 1 is talked to in mu-law without being asked; its
// tone (sent right behind the reply) reaches the client's speaker.
TEST_F(TalkTest, DuplexDeviceToneReachesTheSpeaker) {
  StartCamera(devicesim::Mode::kBanner);
  WaitStreaming();
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitSamples(0, 4000, 15000));
  EXPECT_EQ(talk_.Connection(0).request, "CMD:TALK MCTP/1.0 CS\n@1@2@\nEND\n");
  // 1.5 s of the device's tone in the output.
  std::vector<int16_t> pcm;
  for (int i = 0; i < 100 && pcm.size() < 12000; ++i) {
    qrplat::SleepMs(100);
    auto files = OutputWavs();
    if (files.size() == 1) pcm = ReadWavPcm(files[0]);
  }
  ASSERT_GE(pcm.size(), 12000u) << "the device's audio was not played";
  const ToneFit fit = MeasureTone(pcm, 4000, 8000, kRate);
  std::printf("device tone at the speaker: %.2f Hz, SNR %.1f dB\n", fit.hz, fit.snr_db);
  EXPECT_NEAR(fit.hz, kDeviceHz, kDeviceHz * 0.02);
  EXPECT_GT(fit.snr_db, 25);
  // Both directions on the one connection.
  EXPECT_EQ(talk_.Connections(), 1u);
  EXPECT_GT(talk_.Connection(0).frames_sent, 50u);
}

// The device hangs up after a second; the client is back at once (the
// 10 s pause applies only to failed connects and refusals) and goes on
// sending. Without device audio only a failing send can notice the hang-up:
// it must fail with an error, not kill the process with SIGPIPE.
TEST_F(TalkTest, DroppedConnectionIsReopenedAtOnce) {
  talk_.options().answer = devicesim::TalkAnswer::kSimplex;
  talk_.options().drop_after_ms = 1000;
  StartCamera();
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitConnections(1, 10000));
  ASSERT_TRUE(talk_.WaitConnections(2, 5000)) << "no reconnection";
  talk_.options().drop_after_ms = 0;
  ASSERT_TRUE(talk_.WaitSamples(1, 8000, 10000)) << "no audio after the reconnection";
  EXPECT_GT(talk_.Connection(0).packets, 10u);
  EXPECT_EQ(talk_.Connection(1).request, talk_.Connection(0).request);
  EXPECT_LT(TimedStopTalk(), 1000);
}

// A refusal is retried after the pause, not in a loop; once the device
// accepts, talk runs.
TEST_F(TalkTest, RefusedTalkIsRetriedAfterThePause) {
  talk_.options().answer = devicesim::TalkAnswer::kRefuse;
  StartCamera();
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitConnections(1, 10000));
  const Clock::time_point refused = Clock::now();
  EXPECT_FALSE(talk_.Connection(0).accepted);
  talk_.options().answer = devicesim::TalkAnswer::kSimplex;
  ASSERT_TRUE(talk_.WaitConnections(2, 15000));
  const int64_t pause = MsSince(refused);
  EXPECT_GE(pause, 9000) << "retried without the pause";
  EXPECT_LE(pause, 13000);
  ASSERT_TRUE(talk_.WaitSamples(1, 4000, 10000));
  EXPECT_EQ(talk_.Connections(), 2u);
}

// Stop is prompt whatever the talk waits for: a reply that never comes, the
// pause after a failed connect, a send, a device that stays silent.
TEST_F(TalkTest, StopReturnsPromptlyInEveryState) {
  talk_.options().silent = true;
  StartCamera();
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitConnections(1, 10000));
  qrplat::SleepMs(200);
  EXPECT_LT(TimedStopTalk(), 1000) << "while waiting for the reply";

  talk_.options().silent = false;
  talk_.options().answer = devicesim::TalkAnswer::kSimplex;
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitSamples(1, 2000, 10000));
  EXPECT_LT(TimedStopTalk(), 1000) << "while sending";

  talk_.options().answer = devicesim::TalkAnswer::kDuplex;
  talk_.options().device_audio = false;
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitSamples(2, 2000, 10000));
  EXPECT_LT(TimedStopTalk(), 1000) << "while the device is silent";

  // Stopping the whole client stops a running talk with it.
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitConnections(4, 10000));
  const Clock::time_point t0 = Clock::now();
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  EXPECT_LT(MsSince(t0), 3000);
  for (int i = 0; i < 50 && talk_.OpenConnections() != 0; ++i) qrplat::SleepMs(20);
  EXPECT_EQ(talk_.OpenConnections(), 0u);
}

TEST_F(TalkTest, StopIsPromptDuringThePauseAfterAFailedConnect) {
  // A loopback port where nothing listens.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  ::close(fd);
  StartClient(ntohs(a.sin_port));
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  qrplat::SleepMs(300);
  EXPECT_LT(TimedStopTalk(), 1000);
}

// A second start replaces the first talk: the old connection is closed
// before the new one is opened, and only one stays.
TEST_F(TalkTest, StartingTwiceLeavesOneTalk) {
  talk_.options().answer = devicesim::TalkAnswer::kSimplex;
  StartCamera();
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(talk_.WaitSamples(0, 1000, 10000));
  ASSERT_EQ(QRNET_ClientStartTalkEx(handle_, 1), 1);
  ASSERT_TRUE(talk_.WaitSamples(1, 1000, 10000));
  EXPECT_FALSE(talk_.Connection(0).open);
  EXPECT_EQ(talk_.OpenConnections(), 1u);
  EXPECT_EQ(talk_.Connection(1).voice_type, 1);
}

// A device of our own making on the talk port, for replies the simulator
// does not give.
class ScriptedTalkTest : public TalkTest {
 protected:
  using Script = std::function<void(int fd, int connection)>;
  void StartScripted(Script script) {
    script_ = std::move(script);
    device_.AddProtocol("CMD:TALK", [this](int fd, std::string buf) {
      while (buf.find("END\n") == std::string::npos) {
        char c[256];
        ssize_t n = ::recv(fd, c, sizeof c, 0);
        if (n <= 0) return;
        buf.append(c, size_t(n));
      }
      int n;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        n = ++connections_;
      }
      cv_.notify_all();
      script_(fd, n);
    });
    devicesim::Config cfg;
    cfg.width = 320;
    cfg.height = 240;
    cfg.audio = devicesim::AudioCodec::kNone;
    ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
    StartClient(device_.Port());
  }
  bool WaitScriptedConnections(int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return connections_ >= count; });
  }
  static void Send(int fd, const std::string& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Reads until the peer closes; the number of bytes it sent.
  static size_t Drain(int fd) {
    size_t total = 0;
    char c[4096];
    ssize_t n;
    while ((n = ::recv(fd, c, sizeof c, 0)) > 0) total += size_t(n);
    return total;
  }

  Script script_;
  // Bytes the client sent on the first connection (written by the script).
  std::atomic<size_t> first_bytes_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  int connections_ = 0;  // guarded by mutex_
};

// A voice frame that asks for 65,535 words ends the connection; the client
// reconnects at once instead of allocating for it.
TEST_F(ScriptedTalkTest, OversizedDeviceFrameEndsTheConnection) {
  StartScripted([this](int fd, int n) {
    Send(fd, std::string("CMD:TALK MCTP/1.0 CS\n@1@1@\n\x00\x01\xFF\xFF", 32));
    size_t got = Drain(fd);
    if (n == 1) first_bytes_ = got;
  });
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(WaitScriptedConnections(2, 5000)) << "the connection was kept";
  EXPECT_LT(first_bytes_.load(), 2000u) << "the client kept talking on it";
  EXPECT_LT(TimedStopTalk(), 1000);
}

// A slow device that sends its reply in two pieces is still understood, and
// the talk packets that follow carry 20 ms frames.
TEST_F(ScriptedTalkTest, ReplyInTwoSegmentsIsAccepted) {
  StartScripted([this](int fd, int) {
    Send(fd, "CMD:TALK MCTP/1.0 CS\n");
    qrplat::SleepMs(150);
    Send(fd, "@0@1@\n");
    first_bytes_ = Drain(fd);
  });
  ASSERT_EQ(QRNET_ClientStartTalk(handle_), 1);
  ASSERT_TRUE(WaitScriptedConnections(1, 5000));
  qrplat::SleepMs(1000);
  EXPECT_LT(TimedStopTalk(), 1000);
  for (int i = 0; i < 50 && first_bytes_.load() == 0; ++i) qrplat::SleepMs(20);
  // G.726 32 kbit/s: 80 bytes of code, 4 of frame header, 8 of packet
  // header per 20 ms; at least half a second of it.
  EXPECT_GE(first_bytes_.load(), 25u * 92u);
  EXPECT_EQ(first_bytes_.load() % 92u, 0u);
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(connections_, 1);
}

}  // namespace
