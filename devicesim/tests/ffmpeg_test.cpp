// Third-party clients prove the simulator honest: ffprobe and ffmpeg read
// every stream configuration over TCP and UDP, with and without credentials,
// and decode pictures whose frame-number blocks count up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"

namespace devicesim {
namespace {

// Runs a shell command (bounded by timeout(1)) and returns its standard output.
std::string RunCommand(const std::string& cmd, int* exit_code = nullptr) {
  const std::string full = "timeout 60 " + cmd + " 2>/dev/null";
  FILE* p = popen(full.c_str(), "r");
  std::string out;
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  if (exit_code) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

using Fields = std::map<std::string, std::string>;

// ffprobe's compact stream lines, keyed by codec_type.
std::map<std::string, Fields> Probe(const std::string& url, const char* transport) {
  const std::string out = RunCommand(
      "ffprobe -v error -rtsp_transport " + std::string(transport) +
      " -show_entries stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,"
      "bit_rate -of compact=p=0 '" +
      url + "'");
  std::map<std::string, Fields> streams;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    Fields f;
    std::istringstream parts(line);
    std::string kv;
    while (std::getline(parts, kv, '|')) {
      const size_t eq = kv.find('=');
      if (eq != std::string::npos) f[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    if (f.count("codec_type")) streams[f["codec_type"]] = f;
  }
  return streams;
}

std::string WithCredentials(const std::string& url, const std::string& user,
                            const std::string& pass) {
  return "rtsp://" + user + ":" + pass + "@" + url.substr(7);
}

struct ProbeCase {
  VideoCodec codec;
  AudioCodec audio;
  const char* transport;
  AuthScheme auth;
  Mode mode;
  int width, height;
  const char* video_name;
  const char* audio_name;  // nullptr: no audio stream
  const char* sample_rate;
  const char* audio_bit_rate;  // nullptr: not checked
};

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, FfprobeSeesTheAnnouncedStreams) {
  const ProbeCase& c = GetParam();
  Config cfg;
  cfg.codec = c.codec;
  cfg.audio = c.audio;
  cfg.auth = c.auth;
  cfg.mode = c.mode;
  cfg.width = c.width;
  cfg.height = c.height;
  cfg.fps = 25;
  cfg.user = "viewer";
  cfg.pass = "pa55";
  Device dev;
  ASSERT_TRUE(dev.Start(cfg)) << dev.Error();
  std::string url = c.mode == Mode::kRecorder ? dev.BaseUrl() + "/monitor/010" : dev.Url(1);
  if (c.auth != AuthScheme::kNone) url = WithCredentials(url, "viewer", "pa55");

  auto streams = Probe(url, c.transport);
  ASSERT_TRUE(streams.count("video")) << url;
  Fields& v = streams["video"];
  EXPECT_EQ(v["codec_name"], c.video_name);
  EXPECT_EQ(v["width"], std::to_string(c.width));
  EXPECT_EQ(v["height"], std::to_string(c.height));
  EXPECT_EQ(v["r_frame_rate"], "25/1");
  if (c.audio_name) {
    ASSERT_TRUE(streams.count("audio"));
    Fields& a = streams["audio"];
    EXPECT_EQ(a["codec_name"], c.audio_name);
    EXPECT_EQ(a["sample_rate"], c.sample_rate);
    if (c.audio_bit_rate) {
      EXPECT_EQ(a["bit_rate"], c.audio_bit_rate);
    }
  } else {
    EXPECT_FALSE(streams.count("audio"));
  }
  if (c.auth != AuthScheme::kNone) {
    // The first DESCRIBE was challenged, the second one accepted.
    std::vector<int> describes;
    for (const auto& r : dev.Requests())
      if (r.method == "DESCRIBE") describes.push_back(r.status);
    EXPECT_EQ(describes, (std::vector<int>{401, 200}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, ProbeTest,
    ::testing::Values(ProbeCase{VideoCodec::kH264, AudioCodec::kPcma, "tcp", AuthScheme::kNone,
                                Mode::kGeneric, 1280, 720, "h264", "pcm_alaw", "8000", nullptr},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kPcmu, "udp", AuthScheme::kDigest,
                                Mode::kBanner, 640, 360, "h264", "pcm_mulaw", "8000", nullptr},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kG726_16, "tcp", AuthScheme::kBasic,
                                Mode::kGeneric, 640, 360, "h264", "adpcm_g726le", "8000", "16000"},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kG726_24, "udp", AuthScheme::kNone,
                                Mode::kGeneric, 640, 360, "h264", "adpcm_g726le", "8000", "24000"},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kG726_32, "tcp", AuthScheme::kDigest,
                                Mode::kRecorder, 640, 360, "h264", "adpcm_g726le", "8000", "32000"},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kG726_40, "udp", AuthScheme::kNone,
                                Mode::kRecorder, 640, 360, "h264", "adpcm_g726le", "8000", "40000"},
                      ProbeCase{VideoCodec::kH264, AudioCodec::kAac, "tcp", AuthScheme::kNone,
                                Mode::kBanner, 640, 360, "h264", "aac", "16000", nullptr},
                      ProbeCase{VideoCodec::kMjpeg, AudioCodec::kPcma, "udp", AuthScheme::kBasic,
                                Mode::kGeneric, 640, 360, "mjpeg", "pcm_alaw", "8000", nullptr},
                      ProbeCase{VideoCodec::kMjpeg, AudioCodec::kNone, "tcp", AuthScheme::kDigest,
                                Mode::kRecorder, 1280, 720, "mjpeg", nullptr, nullptr, nullptr}));

TEST(FfprobeCredentials, WrongPasswordIsRefused) {
  Config cfg;
  cfg.width = 320;
  cfg.height = 240;
  cfg.auth = AuthScheme::kDigest;
  cfg.user = "viewer";
  cfg.pass = "pa55";
  Device dev;
  ASSERT_TRUE(dev.Start(cfg)) << dev.Error();
  int code = 0;
  RunCommand("ffprobe -v error -rtsp_transport tcp '" +
                 WithCredentials(dev.Url(1), "viewer", "nope") + "'",
             &code);
  EXPECT_NE(code, 0);
  auto log = dev.Requests();
  ASSERT_FALSE(log.empty());
  for (const auto& r : log)
    if (r.method == "DESCRIBE") {
      EXPECT_EQ(r.status, 401);
    }
}

struct DecodeCase {
  VideoCodec codec;
  const char* transport;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodedPicturesCarryIncreasingFrameNumbers) {
  const DecodeCase& c = GetParam();
  Config cfg;
  cfg.codec = c.codec;
  cfg.width = 640;
  cfg.height = 360;
  cfg.audio = AudioCodec::kNone;
  Device dev;
  ASSERT_TRUE(dev.Start(cfg)) << dev.Error();
  const int frames = 10;
  const std::string raw = RunCommand("ffmpeg -v error -rtsp_transport " + std::string(c.transport) +
                                     " -i '" + dev.Url(1) + "' -frames:v " +
                                     std::to_string(frames) + " -f rawvideo -pix_fmt gray -");
  const size_t size = 640 * 360;
  ASSERT_EQ(raw.size(), size * frames);
  std::vector<uint32_t> numbers;
  for (int i = 0; i < frames; ++i) {
    auto n = frame_code::DecodeLuma(reinterpret_cast<const uint8_t*>(raw.data()) + i * size, 640,
                                    640, 360);
    ASSERT_TRUE(n);
    numbers.push_back(*n);
    EXPECT_TRUE(dev.CaptureTimeMs(*n).has_value()) << *n;
  }
  for (int i = 1; i < frames; ++i) {
    EXPECT_GT(numbers[i], numbers[i - 1]);
    // Loopback loses nothing: the numbers run without gaps.
    EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
  }
  EXPECT_GE(dev.FramesSent(), static_cast<uint64_t>(frames));
}

INSTANTIATE_TEST_SUITE_P(Codecs, DecodeTest,
                         ::testing::Values(DecodeCase{VideoCodec::kH264, "tcp"},
                                           DecodeCase{VideoCodec::kH264, "udp"},
                                           DecodeCase{VideoCodec::kMjpeg, "tcp"}));

// The busy scene is what a real camera sends: FFmpeg records 4 s of it at a
// realistic rate, every picture keeps its frame number, and most macroblocks
// are coded rather than skipped (counted from the decoder's macroblock-type
// dump).
TEST(BusyScene, RealisticRateFrameNumbersAndFewSkippedMacroblocks) {
  Config cfg;
  cfg.scene = Scene::kBusy;
  cfg.audio = AudioCodec::kNone;
  Device dev;
  ASSERT_TRUE(dev.Start(cfg)) << dev.Error();
  char dir[] = "/tmp/qr-busy-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string file = std::string(dir) + "/busy.mkv";
  RunCommand("ffmpeg -v error -rtsp_transport tcp -i '" + dev.Url(1) + "' -t 4 -c copy -y " + file);
  const std::string rate =
      RunCommand("ffprobe -v error -show_entries format=bit_rate -of default=nw=1:nk=1 " + file);
  const double mbit = std::atof(rate.c_str()) / 1e6;
  EXPECT_GT(mbit, 1.5);
  EXPECT_LT(mbit, 4.5);

  const size_t size = 1280 * 720;
  const std::string raw =
      RunCommand("ffmpeg -v error -i " + file + " -frames:v 50 -f rawvideo -pix_fmt gray -");
  ASSERT_EQ(raw.size(), size * 50);
  std::optional<uint32_t> last;
  for (int i = 0; i < 50; ++i) {
    auto n = frame_code::DecodeLuma(reinterpret_cast<const uint8_t*>(raw.data()) + i * size, 1280,
                                    1280, 720);
    ASSERT_TRUE(n) << "picture " << i;
    if (last) {
      EXPECT_EQ(*n, *last + 1);
    }
    last = n;
  }

  // One line of macroblock types per row of macroblocks, three characters
  // each, 'S' for skipped.
  const std::string dump =
      RunCommand("sh -c \"ffmpeg -v repeat+debug -debug mb_type -i " + file +
                 " -f null - 2>&1\" | grep -E '^\\[h264 @ [0-9a-fx]+\\] [SIi>] '");
  std::istringstream lines(dump);
  std::string line;
  size_t total = 0, skipped = 0;
  while (std::getline(lines, line)) {
    const size_t start = line.find("] ") + 2;
    for (size_t i = start; i < line.size(); i += 3) {
      ++total;
      skipped += line[i] == 'S';
    }
  }
  ASSERT_GT(total, 3600u * 50);
  EXPECT_LT(double(skipped) / total, 0.22) << skipped << " of " << total;
  std::filesystem::remove_all(dir);
}

class ToneTest : public ::testing::TestWithParam<AudioCodec> {};

TEST_P(ToneTest, DecodedAudioIsTheOneKilohertzTone) {
  Config cfg;
  cfg.width = 320;
  cfg.height = 240;
  cfg.audio = GetParam();
  Device dev;
  ASSERT_TRUE(dev.Start(cfg)) << dev.Error();
  const int rate = GetParam() == AudioCodec::kAac ? 16000 : 8000;
  const std::string pcm = RunCommand("ffmpeg -v error -rtsp_transport tcp -i '" + dev.Url(1) +
                                     "' -vn -t 2 -f s16le -ac 1 -");
  const size_t n = pcm.size() / 2;
  ASSERT_GT(n, static_cast<size_t>(rate));
  const auto* s = reinterpret_cast<const int16_t*>(pcm.data());
  // Skip the decoder's start-up, then count sign changes: 2000 per second.
  const size_t from = n / 4;
  int crossings = 0, peak = 0;
  for (size_t i = from + 1; i < n; ++i) {
    crossings += (s[i - 1] < 0) != (s[i] < 0);
    peak = std::max(peak, std::abs(static_cast<int>(s[i])));
  }
  const double per_second = crossings / (static_cast<double>(n - from) / rate);
  EXPECT_NEAR(per_second, 2000, 100);
  EXPECT_GT(peak, 4000);  // the tone is at a quarter of full scale
}

INSTANTIATE_TEST_SUITE_P(Codecs, ToneTest,
                         ::testing::Values(AudioCodec::kPcmu, AudioCodec::kG726_16,
                                           AudioCodec::kG726_40, AudioCodec::kAac));

}  // namespace
}  // namespace devicesim
