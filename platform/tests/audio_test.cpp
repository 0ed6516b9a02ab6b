// Audio back ends: null pacing and completion, WAV files that ffprobe/soxi
// accept, WAV and null capture, and ALSA both failing cleanly and working
// through ALSA's own file plugin (no sound card needed).
#include "qrplat/audio.h"

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qrplat/thread.h"
#include "test_util.h"

namespace qrplat {
namespace {

namespace fs = std::filesystem;
using testutil::ReadText;
using testutil::ScopedEnv;
using testutil::TempDir;
using testutil::WriteText;

// Records completions (called on the device thread).
class Completions {
 public:
  AudioOutput::Completion Callback() {
    return [this](void* cookie) {
      std::lock_guard<std::mutex> lock(mutex_);
      cookies_.push_back(cookie);
      cv_.notify_all();
    };
  }
  bool WaitFor(size_t n, uint32_t timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return cookies_.size() >= n; });
  }
  std::vector<void*> Cookies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cookies_;
  }
  size_t Count() { return Cookies().size(); }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<void*> cookies_;
};

void* Cookie(intptr_t i) {
  return reinterpret_cast<void*>(i);
}

std::vector<int16_t> Sine(int rate, int channels, double seconds, double hz) {
  std::vector<int16_t> s;
  int frames = int(rate * seconds);
  for (int i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      s.push_back(int16_t(8000 * std::sin(2 * M_PI * hz * i / rate + c)));
    }
  }
  return s;
}

// Output of a command (standard error dropped); empty when it cannot run.
std::string Run(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (p == nullptr) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

bool HaveTool(const char* name) {
  return !Run(std::string("command -v ") + name).empty();
}

std::vector<std::string> WavFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string name = e.path().filename();
    if (name.rfind("out-", 0) == 0 && e.path().extension() == ".wav") out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// What ffprobe says about the first audio stream: "rate channels duration".
struct Probe {
  int rate = 0, channels = 0;
  double duration = -1;
};
Probe FfProbe(const std::string& path) {
  std::string out =
      Run("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels:"
          "format=duration -of default=noprint_wrappers=1 '" +
          path + "'");
  Probe p;
  std::sscanf(out.c_str() + std::min(out.find("sample_rate="), out.size()), "sample_rate=%d",
              &p.rate);
  std::sscanf(out.c_str() + std::min(out.find("channels="), out.size()), "channels=%d",
              &p.channels);
  std::sscanf(out.c_str() + std::min(out.find("duration="), out.size()), "duration=%lf",
              &p.duration);
  return p;
}
Probe Soxi(const std::string& path) {
  Probe p;
  p.rate = std::atoi(Run("soxi -r '" + path + "'").c_str());
  p.channels = std::atoi(Run("soxi -c '" + path + "'").c_str());
  std::string d = Run("soxi -D '" + path + "'");
  if (!d.empty()) p.duration = std::atof(d.c_str());
  return p;
}

TEST(AudioBackend, ChosenByQrplatAudio) {
  {
    ScopedEnv env("QRPLAT_AUDIO", nullptr);
    EXPECT_EQ(AudioBackendName(), "alsa");
  }
  {
    ScopedEnv env("QRPLAT_AUDIO", "null");
    EXPECT_EQ(AudioBackendName(), "null");
  }
  {
    ScopedEnv env("QRPLAT_AUDIO", "wav:/tmp/somewhere");
    EXPECT_EQ(AudioBackendName(), "wav");
  }
  for (const char* bad : {"wav:", "pulse", "NULL"}) {
    ScopedEnv env("QRPLAT_AUDIO", bad);
    EXPECT_EQ(AudioBackendName(), "none") << bad;
    EXPECT_EQ(AudioOutput::OpenDefault({}, nullptr), nullptr) << bad;
    EXPECT_EQ(AudioCapture::OpenDefault({}, 1600), nullptr) << bad;
  }
}

TEST(AudioBackend, UnsupportedFormatsDoNotOpen) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  for (AudioFormat f : {AudioFormat{8000, 1, 24}, AudioFormat{8000, 0, 16}, AudioFormat{0, 1, 16},
                        AudioFormat{-8000, 2, 16}, AudioFormat{8000, 99, 8}}) {
    EXPECT_EQ(AudioOutput::OpenDefault(f, nullptr), nullptr);
    EXPECT_EQ(AudioCapture::OpenDefault(f, 1600), nullptr);
  }
  EXPECT_EQ(AudioCapture::OpenDefault({}, 0), nullptr);
}

TEST(NullAudioOutput, CompletesBuffersInOrderAtPlayingPace) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  Completions done;
  auto out = AudioOutput::OpenDefault({8000, 1, 16}, done.Callback());
  ASSERT_NE(out, nullptr);
  std::vector<uint8_t> pcm(1600);  // 100 ms each
  uint32_t t0 = TickCount();
  for (intptr_t i = 1; i <= 4; ++i) ASSERT_TRUE(out->Write(pcm.data(), pcm.size(), Cookie(i)));
  ASSERT_TRUE(done.WaitFor(4));
  uint32_t took = TickCount() - t0;
  EXPECT_GE(took, 300u);  // 400 ms of sound is not done at once
  EXPECT_LT(took, 5000u);
  EXPECT_EQ(done.Cookies(), (std::vector<void*>{Cookie(1), Cookie(2), Cookie(3), Cookie(4)}));
}

TEST(NullAudioOutput, ResetCompletesEveryQueuedBufferBeforeReturning) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  Completions done;
  auto out = AudioOutput::OpenDefault({8000, 1, 16}, done.Callback());
  ASSERT_NE(out, nullptr);
  std::vector<uint8_t> pcm(16000);  // 1 s each
  for (intptr_t i = 1; i <= 10; ++i) ASSERT_TRUE(out->Write(pcm.data(), pcm.size(), Cookie(i)));
  SleepMs(50);  // the first is playing
  uint32_t t0 = TickCount();
  out->Reset();
  EXPECT_LT(TickCount() - t0, 2000u);  // the one playing is cut short
  EXPECT_EQ(done.Count(), 10u);
  // Still usable afterwards.
  ASSERT_TRUE(out->Write(pcm.data(), 80, Cookie(11)));
  EXPECT_TRUE(done.WaitFor(11));
  out->Reset();  // nothing queued: returns at once
  EXPECT_EQ(done.Count(), 11u);
}

TEST(NullAudioOutput, CloseCompletesPendingBuffers) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  Completions done;
  std::vector<uint8_t> pcm(32000);  // 2 s each
  {
    auto out = AudioOutput::OpenDefault({8000, 2, 16}, done.Callback());
    ASSERT_NE(out, nullptr);
    for (intptr_t i = 1; i <= 5; ++i) out->Write(pcm.data(), pcm.size(), Cookie(i));
    SleepMs(20);
  }
  EXPECT_EQ(done.Count(), 5u);
}

TEST(NullAudioOutput, ResetFromTheCompletionDoesNotDeadlock) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  Completions done;
  AudioOutput* raw = nullptr;
  std::atomic<bool> reset_once{false};
  auto out = AudioOutput::OpenDefault({8000, 1, 16}, [&](void* cookie) {
    if (!reset_once.exchange(true)) raw->Reset();
    done.Callback()(cookie);
  });
  ASSERT_NE(out, nullptr);
  raw = out.get();
  std::vector<uint8_t> pcm(160);
  for (intptr_t i = 1; i <= 5; ++i) out->Write(pcm.data(), pcm.size(), Cookie(i));
  EXPECT_TRUE(done.WaitFor(5, 5000));
}

TEST(WavAudioOutput, WritesValidWavFilesThatToolsRead) {
  bool ffprobe = HaveTool("ffprobe"), soxi = HaveTool("soxi");
  if (!ffprobe && !soxi) GTEST_SKIP() << "neither ffprobe nor soxi is installed";
  TempDir tmp;
  std::string dir = tmp / "wav";  // created on demand
  ScopedEnv env("QRPLAT_AUDIO", ("wav:" + dir).c_str());
  auto check = [&](const std::string& path, int rate, int channels, double seconds) {
    if (ffprobe) {
      Probe p = FfProbe(path);
      EXPECT_EQ(p.rate, rate) << path;
      EXPECT_EQ(p.channels, channels) << path;
      EXPECT_NEAR(p.duration, seconds, 0.01) << path;
    }
    if (soxi) {
      Probe p = Soxi(path);
      EXPECT_EQ(p.rate, rate) << path;
      EXPECT_EQ(p.channels, channels) << path;
      EXPECT_NEAR(p.duration, seconds, 0.01) << path;
    }
  };

  Completions done;
  std::vector<int16_t> mono = Sine(8000, 1, 0.5, 440);
  std::vector<int16_t> stereo = Sine(22050, 2, 0.3, 1000);
  {
    auto a = AudioOutput::OpenDefault({8000, 1, 16}, done.Callback());
    auto b = AudioOutput::OpenDefault({22050, 2, 16}, done.Callback());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const size_t step = mono.size() / 5;
    for (size_t i = 0; i < 5; ++i) {
      a->Write(mono.data() + i * step, step * 2, Cookie(intptr_t(i)));
    }
    b->Write(stereo.data(), stereo.size() * 2, Cookie(9));
    ASSERT_TRUE(done.WaitFor(6));
    std::vector<std::string> files = WavFiles(dir);
    ASSERT_EQ(files.size(), 2u);  // one file per opened output
    // Valid while still open: the header follows every buffer.
    for (const std::string& f : files) {
      std::string data = ReadText(f);
      ASSERT_GE(data.size(), 44u);
      bool is_mono = data.size() == 44 + mono.size() * 2;
      check(f, is_mono ? 8000 : 22050, is_mono ? 1 : 2, is_mono ? 0.5 : 0.3);
    }
  }
  std::vector<std::string> files = WavFiles(dir);
  ASSERT_EQ(files.size(), 2u);
  for (const std::string& f : files) {
    EXPECT_NE(f.find("/out-" + std::to_string(getpid()) + "-"), std::string::npos);
    std::string data = ReadText(f);
    std::string want_mono(reinterpret_cast<const char*>(mono.data()), mono.size() * 2);
    std::string want_stereo(reinterpret_cast<const char*>(stereo.data()), stereo.size() * 2);
    if (data.size() == 44 + want_mono.size()) {
      EXPECT_EQ(data.substr(44), want_mono);  // sample exact
      check(f, 8000, 1, 0.5);
    } else {
      EXPECT_EQ(data.substr(44), want_stereo);
      check(f, 22050, 2, 0.3);
    }
  }
}

TEST(WavAudioOutput, OddLengthEightBitStreamIsPaddedAndStillValid) {
  if (!HaveTool("soxi") && !HaveTool("ffprobe")) GTEST_SKIP() << "no ffprobe or soxi";
  TempDir tmp;
  ScopedEnv env("QRPLAT_AUDIO", ("wav:" + tmp.path()).c_str());
  Completions done;
  std::vector<uint8_t> pcm(1103, 0x80);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = uint8_t(0x80 + (i % 64));
  {
    auto out = AudioOutput::OpenDefault({11025, 1, 8}, done.Callback());
    ASSERT_NE(out, nullptr);
    out->Write(pcm.data(), pcm.size(), nullptr);
    ASSERT_TRUE(done.WaitFor(1));
  }
  std::vector<std::string> files = WavFiles(tmp.path());
  ASSERT_EQ(files.size(), 1u);
  std::string data = ReadText(files[0]);
  EXPECT_EQ(data.size(), 44u + 1103u + 1u);  // pad byte after the odd data chunk
  Probe p = HaveTool("ffprobe") ? FfProbe(files[0]) : Soxi(files[0]);
  EXPECT_EQ(p.rate, 11025);
  EXPECT_EQ(p.channels, 1);
  EXPECT_NEAR(p.duration, 1103.0 / 11025, 0.002);
}

TEST(WavAudioOutput, UnwritableDirectoryFailsTheOpen) {
  TempDir tmp;
  ASSERT_TRUE(WriteText(tmp / "file", "x"));
  ScopedEnv env("QRPLAT_AUDIO", ("wav:" + (tmp / "file") + "/sub").c_str());
  EXPECT_EQ(AudioOutput::OpenDefault({8000, 1, 16}, nullptr), nullptr);
}

// Writes a canonical PCM WAV file.
void WriteWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& s) {
  auto le = [](uint32_t v, int n) {
    std::string b;
    for (int i = 0; i < n; ++i) b.push_back(char(v >> (8 * i)));
    return b;
  };
  uint32_t bytes = uint32_t(s.size() * 2);
  std::string h = "RIFF" + le(36 + bytes, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) +
                  le(uint32_t(channels), 2) + le(uint32_t(rate), 4) +
                  le(uint32_t(rate * channels * 2), 4) + le(uint32_t(channels * 2), 2) + le(16, 2) +
                  "data" + le(bytes, 4);
  h.append(reinterpret_cast<const char*>(s.data()), bytes);
  ASSERT_TRUE(WriteText(path, h));
}

// Waits until the capture cursor has moved at least `bytes` from 0.
bool WaitCursor(const AudioCapture& cap, size_t bytes) {
  uint32_t t0 = TickCount();
  while (cap.CaptureCursor() < bytes) {
    if (TickCount() - t0 > 5000) return false;
    SleepMs(5);
  }
  return true;
}

TEST(WavAudioCapture, LoopsCaptureWavIntoTheLoopingBuffer) {
  TempDir tmp;
  std::vector<int16_t> ramp(500);  // 62.5 ms at 8 kHz, looped
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = int16_t(i * 37 - 9000);
  WriteWav(tmp / "capture.wav", 8000, 1, ramp);
  ScopedEnv env("QRPLAT_AUDIO", ("wav:" + tmp.path()).c_str());
  auto cap = AudioCapture::OpenDefault({8000, 1, 16}, 32000);  // 2 s loop
  ASSERT_NE(cap, nullptr);
  EXPECT_EQ(cap->BufferBytes(), 32000u);
  ASSERT_TRUE(WaitCursor(*cap, 4000));  // 250 ms: the file looped
  size_t cursor = cap->CaptureCursor();
  ASSERT_EQ(cursor % 2, 0u);
  std::vector<int16_t> got(cursor / 2);
  cap->Read(0, got.data(), cursor);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], ramp[i % ramp.size()]) << "sample " << i;
  }
}

TEST(WavAudioCapture, SilenceWithoutAUsableFile) {
  TempDir tmp;
  ScopedEnv env("QRPLAT_AUDIO", ("wav:" + tmp.path()).c_str());
  auto check_silent = [&](const AudioFormat& f, uint8_t silence) {
    auto cap = AudioCapture::OpenDefault(f, 8000);
    ASSERT_NE(cap, nullptr);
    ASSERT_TRUE(WaitCursor(*cap, 800));
    std::vector<uint8_t> got(800, 0x55);
    cap->Read(0, got.data(), got.size());
    EXPECT_EQ(got, std::vector<uint8_t>(800, silence));
  };
  check_silent({8000, 1, 16}, 0x00);  // no capture.wav
  check_silent({8000, 1, 8}, 0x80);   // unsigned 8-bit silence
  // A file of another format, a truncated one, one with absurd sizes.
  WriteWav(tmp / "capture.wav", 16000, 2, std::vector<int16_t>(1000, 1234));
  check_silent({8000, 1, 16}, 0x00);
  ASSERT_TRUE(WriteText(tmp / "capture.wav", "RIFF\x10\0\0\0WAVEfmt \x10\0"));
  check_silent({8000, 1, 16}, 0x00);
  ASSERT_TRUE(WriteText(tmp / "capture.wav",
                        std::string("RIFF\xff\xff\xff\xffWAVEdata\xff\xff\xff\xff", 20)));
  check_silent({8000, 1, 16}, 0x00);
}

TEST(NullAudioCapture, CursorAdvancesAndWrapsTheLoopingBuffer) {
  ScopedEnv env("QRPLAT_AUDIO", "null");
  auto cap = AudioCapture::OpenDefault({8000, 1, 16}, 1600);  // 100 ms loop
  ASSERT_NE(cap, nullptr);
  uint32_t t0 = TickCount();
  size_t last = cap->CaptureCursor();
  int moves = 0;
  while (TickCount() - t0 < 350) {
    size_t c = cap->CaptureCursor();
    EXPECT_LT(c, 1600u);
    if (c != last) ++moves;
    last = c;
    SleepMs(10);
  }
  EXPECT_GE(moves, 5);
  std::vector<uint8_t> got(40, 0x55);
  cap->Read(1580, got.data(), got.size());  // wraps over the end
  EXPECT_EQ(got, std::vector<uint8_t>(40, 0));
}

// ALSA with a configuration of our own: ALSA re-reads ALSA_CONFIG_PATH on
// each open, so a test can give "default" any meaning.
class AlsaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/usr/share/alsa/alsa.conf")) GTEST_SKIP() << "no ALSA configuration";
  }
  // A configuration that includes the system one and redefines "default".
  void UseDefault(const std::string& definition) {
    std::string conf = tmp_ / "asound.conf";
    ASSERT_TRUE(WriteText(conf, "</usr/share/alsa/alsa.conf>\npcm.!default " + definition + "\n"));
    config_ = std::make_unique<ScopedEnv>("ALSA_CONFIG_PATH", conf.c_str());
  }

  TempDir tmp_;
  ScopedEnv audio_{"QRPLAT_AUDIO", "alsa"};
  ScopedEnv quiet_{"QRNET_DEBUG", nullptr};
  std::unique_ptr<ScopedEnv> config_;
};

TEST_F(AlsaTest, MissingDeviceFailsTheOpenCleanly) {
  UseDefault("{ type hw; card 31 }");
  EXPECT_EQ(AudioOutput::OpenDefault({8000, 1, 16}, nullptr), nullptr);
  EXPECT_EQ(AudioCapture::OpenDefault({8000, 1, 16}, 1600), nullptr);
}

TEST_F(AlsaTest, MachineDefaultMayFailButNeverCrashes) {
  // Whatever this machine has (often no sound card at all).
  Completions done;
  auto out = AudioOutput::OpenDefault({8000, 1, 16}, done.Callback());
  if (out != nullptr) {
    std::vector<uint8_t> pcm(160);
    out->Write(pcm.data(), pcm.size(), nullptr);
    out.reset();
    EXPECT_EQ(done.Count(), 1u);
  }
  auto cap = AudioCapture::OpenDefault({8000, 1, 16}, 1600);
  cap.reset();
}

TEST_F(AlsaTest, OutputPlaysThroughTheDefaultDevice) {
  std::string raw = tmp_ / "played.raw";
  UseDefault("{ type file; slave.pcm \"null\"; file \"" + raw + "\"; format \"raw\" }");
  Completions done;
  std::vector<int16_t> pcm = Sine(8000, 1, 0.25, 300);
  {
    auto out = AudioOutput::OpenDefault({8000, 1, 16}, done.Callback());
    ASSERT_NE(out, nullptr);
    const size_t step = pcm.size() / 4;
    for (size_t i = 0; i < 4; ++i) {
      ASSERT_TRUE(out->Write(pcm.data() + i * step, step * 2, Cookie(intptr_t(i + 1))));
    }
    ASSERT_TRUE(done.WaitFor(4));
    EXPECT_EQ(done.Cookies(), (std::vector<void*>{Cookie(1), Cookie(2), Cookie(3), Cookie(4)}));
    out->Reset();
  }
  std::string got = ReadText(raw);
  std::string want(reinterpret_cast<const char*>(pcm.data()), pcm.size() * 2);
  EXPECT_EQ(got.substr(0, want.size()), want);
}

// ALSA's null device delivers capture data as fast as it is read (and then
// repeats its last period), so only the content is checked, not the order.
TEST_F(AlsaTest, CaptureFillsTheLoopingBufferFromTheDefaultDevice) {
  std::string in = tmp_ / "mic.raw";
  std::vector<int16_t> level(8000, 0x2345);
  ASSERT_TRUE(WriteText(in, std::string(reinterpret_cast<const char*>(level.data()), 16000)));
  UseDefault("{ type file; slave.pcm \"null\"; file \"/dev/null\"; infile \"" + in +
             "\"; format \"raw\" }");
  auto cap = AudioCapture::OpenDefault({8000, 1, 16}, 3200);
  ASSERT_NE(cap, nullptr);
  ASSERT_TRUE(WaitCursor(*cap, 320));
  SleepMs(50);  // the whole loop written at least once
  std::vector<int16_t> got(1600);
  cap->Read(0, got.data(), 3200);
  EXPECT_EQ(got, std::vector<int16_t>(1600, 0x2345));
}

}  // namespace
}  // namespace qrplat
