// Local file playback end to end through the C API: record files of every
// kind (AVI through the library's writer, alarm and older files from the
// test-side writers) played into memory windows with real decoding, and
// every replay control; files the recorder wrote from the simulated camera;
// NVR replay controls against the simulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "devicesim/device.h"
#include "display_test_util.h"
#include "media/av_display.h"
#include "media/av_source_file.h"
#include "net/source_seams.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "record_check.h"
#include "record_file_writer.h"
#include "session/client_session.h"

namespace quornet {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::EncodedFrame;
using test::FrameWindow;
using test::IndexMode;
using test::WaitFor;

constexpr int kW = 320, kH = 240, kFps = 25;

// Ten seconds of H.264 with a key frame every second, and four of Motion JPEG.
const std::vector<EncodedFrame>& H264() {
  static const auto frames = [] {
    av_log_set_level(AV_LOG_ERROR);
    return test::EncodeFrames(true, kW, kH, 10 * kFps, kFps);
  }();
  return frames;
}
const std::vector<EncodedFrame>& Jpeg() {
  static const auto frames = test::EncodeFrames(false, kW, kH, 4 * kFps);
  return frames;
}
std::vector<EncodedFrame> Head(const std::vector<EncodedFrame>& all, size_t n) {
  return {all.begin(), all.begin() + long(std::min(n, all.size()))};
}

// ---- Notifications, per handle ----------------------------------------------------

std::mutex g_mutex;
std::map<uint32_t, std::vector<std::pair<int, int>>> g_notes;  // guarded by g_mutex

void OnStatus(uint32_t handle, int32_t kind, int32_t value, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_notes[handle].push_back({kind, value});
}

int EndNotes(uint32_t handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (auto [k, v] : g_notes[handle]) n += (k == 7 && v == 0);
  return n;
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old, had_ = true;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

class FilePlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, OnStatus, 0);
    window_ = std::make_shared<FrameWindow>(kW, kH);
    window_id_ = qrplat::RegisterWindow(window_);
    dir_ = std::filesystem::temp_directory_path() /
           ("file_playback_test_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    for (uint32_t h : handles_) QRNET_CloseFile(h);
    qrplat::UnregisterWindow(window_id_);
    std::filesystem::remove_all(dir_);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::string Avi(const std::string& name, const std::vector<EncodedFrame>& frames, bool h264,
                  bool audio = false) {
    const std::string p = Path(name);
    EXPECT_TRUE(test::WriteAvi(p, frames, h264, kW, kH, kFps, audio));
    return p;
  }
  std::string File(const std::string& name, const Bytes& bytes) {
    const std::string p = Path(name);
    EXPECT_TRUE(test::WriteBytes(p, bytes));
    return p;
  }

  uint32_t Open(const std::string& path, int32_t start = 0) {
    const uint32_t h = QRNET_OpenFile(path.c_str(), window_id_, start);
    if (h != 0) handles_.push_back(h);
    return h;
  }
  void Close(uint32_t h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    EXPECT_EQ(QRNET_CloseFile(h), 1);
  }

  static uint64_t Drawn(uint32_t h) {
    std::shared_ptr<CClientSession> s = CClientSession::Find(h);
    std::shared_ptr<CAVDisplay> d = s ? FindDisplay(*s) : nullptr;
    return d ? d->GetStats().drawn : 0;
  }
  uint32_t LastFrame() {
    std::vector<uint32_t> f = window_->Frames();
    return f.empty() ? 0xFFFFFFFFu : f.back();
  }
  // Waits until the shown picture has not changed for `quiet`.
  void WaitSettled(uint32_t h, std::chrono::milliseconds quiet = 300ms) {
    uint64_t last = Drawn(h);
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(quiet);
      const uint64_t now = Drawn(h);
      if (now == last) return;
      last = now;
    }
  }

  std::shared_ptr<FrameWindow> window_;
  uint32_t window_id_ = 0;
  std::filesystem::path dir_;
  std::vector<uint32_t> handles_;
};

// ---- Every kind plays in order to its end -----------------------------------------

struct KindCase {
  const char* name;
  bool h264;
  int total;  // seconds: AVI by its frames, indexed kinds to their last key frame
  std::function<Bytes(const std::vector<EncodedFrame>&)> build;  // null: AVI
};

class EveryKindTest : public FilePlaybackTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(EveryKindTest, PlaysInOrderEndsWithNotificationAndASeekResumes) {
  const KindCase& c = GetParam();
  const auto frames = Head(c.h264 ? H264() : Jpeg(), 2 * kFps + 5);
  const std::string path = c.build ? File(c.name, c.build(frames)) : Avi(c.name, frames, c.h264);
  const uint32_t h = Open(path);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ReplayTotalTime(h), c.total);
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(h, &out), 1);
  EXPECT_EQ(out.video_payload, c.h264 ? 96 : 26);

  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 1; }, 15000));
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == frames.size(); }, 3000));
  std::vector<uint32_t> shown = window_->Frames();
  for (size_t i = 0; i < shown.size(); ++i) ASSERT_EQ(shown[i], i);
  EXPECT_EQ(QRNET_ReplayCurTime(h), c.total);

  // The threads wait at the end; a seek to the start plays again.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(window_->Frames().size(), frames.size());
  ASSERT_EQ(QRNET_ReplaySeek(h, 0), 1);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= frames.size() + 10; }));
  shown = window_->Frames();
  EXPECT_EQ(shown[frames.size()], 0u);
  EXPECT_EQ(shown[frames.size() + 9], 9u);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 2; }, 15000));
  Close(h);
}

Bytes AlarmBytes(const std::vector<EncodedFrame>& f, bool h264, IndexMode mode) {
  return test::AlarmFile(h264, kW, kH, kFps, 1, test::MakeRecords(f, h264, kFps, 123456, true),
                         mode);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EveryKindTest,
    ::testing::Values(
        KindCase{"avi_h264", true, 2, nullptr}, KindCase{"avi_mjpeg", false, 2, nullptr},
        KindCase{"alarm_h264", true, 2,
                 [](const auto& f) { return AlarmBytes(f, true, IndexMode::kWritten); }},
        // A recording that never stopped: indexed by scanning.
        KindCase{"alarm_h264_no_index", true, 2,
                 [](const auto& f) { return AlarmBytes(f, true, IndexMode::kNone); }},
        KindCase{"alarm_mjpeg", false, 2,
                 [](const auto& f) { return AlarmBytes(f, false, IndexMode::kWritten); }},
        KindCase{"older_h264", true, 2,
                 [](const auto& f) {
                   return test::OlderFile(kFps, test::MakeRecords(f, true, kFps, 9000, true),
                                          IndexMode::kWritten);
                 }},
        KindCase{"older_mjpeg", false, 2,
                 [](const auto& f) {
                   return test::OlderFile(kFps, test::MakeRecords(f, false, kFps, 0, false),
                                          IndexMode::kNone);
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Seek, pause and single step -------------------------------------------------

struct SeekCase {
  const char* name;
  bool avi;
};
class SeekTest : public FilePlaybackTest, public ::testing::WithParamInterface<SeekCase> {
 protected:
  uint32_t OpenTenSeconds() {
    const std::string path = GetParam().avi
                                 ? Avi("ten.avi", H264(), true)
                                 : File("ten.alarm", AlarmBytes(H264(), true, IndexMode::kWritten));
    return Open(path);
  }
};

TEST_P(SeekTest, SeekWhilePausedShowsExactlyTheKeyFrameOfTheTarget) {
  const uint32_t h = OpenTenSeconds();
  ASSERT_NE(h, 0u);
  const int total = GetParam().avi ? 10 : 9;  // alarm files: to the last key frame
  EXPECT_EQ(QRNET_ReplayTotalTime(h), total);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= 3; }));
  ASSERT_EQ(QRNET_ReplayPause(h), 1);
  WaitSettled(h);
  const uint64_t before = Drawn(h);

  ASSERT_EQ(QRNET_ReplaySeek(h, 4), 1);
  EXPECT_EQ(QRNET_ReplayCurTime(h), 4);
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) == before + 1; }));
  EXPECT_EQ(LastFrame(), 4u * kFps);  // the key frame at 4 s
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Drawn(h), before + 1);    // and the pause goes on
  EXPECT_EQ(LastFrame(), 4u * kFps);  // redrawn, not advanced

  // Playing on continues from there.
  ASSERT_EQ(QRNET_ReplayContinue(h), 1);
  ASSERT_TRUE(WaitFor([&] { return LastFrame() >= 4u * kFps + 5; }));
  // (Redraws while paused repeat a picture; the pictures themselves follow
  // each other from the key frame on.)
  std::vector<uint32_t> shown = window_->Frames();
  shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  auto at = std::find(shown.begin(), shown.end(), 4u * kFps);
  ASSERT_GE(shown.end() - at, 5);
  for (uint32_t k = 0; k < 5; ++k) EXPECT_EQ(at[k], 4u * kFps + k);

  // Beyond the end: capped to the total time, at the last key frame.
  ASSERT_EQ(QRNET_ReplaySeek(h, 9999), 1);
  EXPECT_EQ(QRNET_ReplayCurTime(h), total);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) >= 1; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return LastFrame() == 10u * kFps - 1; }));
  shown = window_->Frames();
  EXPECT_NE(std::find(shown.begin(), shown.end(), 9u * kFps), shown.end());

  // Paused at the end, a seek still shows exactly one picture.
  ASSERT_EQ(QRNET_ReplayPause(h), 1);
  WaitSettled(h);
  const uint64_t at_end = Drawn(h);
  ASSERT_EQ(QRNET_ReplaySeek(h, 2), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) == at_end + 1; }));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(Drawn(h), at_end + 1);
  EXPECT_EQ(LastFrame(), 2u * kFps);
}

TEST_P(SeekTest, EachSingleStepShowsOneMorePicture) {
  const uint32_t h = OpenTenSeconds();
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= 3; }));
  ASSERT_EQ(QRNET_ReplayStepByStep(h, 1, 0), 1);
  WaitSettled(h);
  uint64_t drawn = Drawn(h);
  uint32_t frame = LastFrame();
  for (int step = 0; step < 4; ++step) {
    ASSERT_EQ(QRNET_ReplayStepByStep(h, 1, 1), 1);
    ASSERT_TRUE(WaitFor([&] { return Drawn(h) == drawn + 1; }));
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(Drawn(h), drawn + 1);
    EXPECT_EQ(LastFrame(), frame + 1);
    drawn = Drawn(h);
    frame = LastFrame();
  }
  // Leaving single step restores playing.
  ASSERT_EQ(QRNET_ReplayStepByStep(h, 0, 0), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) >= drawn + 5; }));
}

INSTANTIATE_TEST_SUITE_P(Files, SeekTest,
                         ::testing::Values(SeekCase{"avi", true}, SeekCase{"alarm", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Speed -------------------------------------------------------------------------

TEST_F(FilePlaybackTest, SpeedExponentStaysWithinMinusFourToFour) {
  const uint32_t h = Open(Avi("speed.avi", Head(Jpeg(), 10), false));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_GetSpeed(h), 0);
  for (int s = -1; s >= -4; --s) {
    EXPECT_EQ(QRNET_SpeedSlow(h), 1);
    EXPECT_EQ(QRNET_GetSpeed(h), s);
  }
  EXPECT_EQ(QRNET_SpeedSlow(h), 0);
  EXPECT_EQ(QRNET_GetSpeed(h), -4);
  EXPECT_EQ(QRNET_SetSpeed(h, 4), 1);
  EXPECT_EQ(QRNET_SpeedFast(h), 0);
  EXPECT_EQ(QRNET_SetSpeed(h, 5), 0);
  EXPECT_EQ(QRNET_SetSpeed(h, -5), 0);
  EXPECT_EQ(QRNET_GetSpeed(h), 4);
  EXPECT_EQ(QRNET_SpeedNormal(h), 1);
  EXPECT_EQ(QRNET_GetSpeed(h), 0);
  EXPECT_EQ(QRNET_ClientNVRReplaySpeed(h, -2), 1);
  EXPECT_EQ(QRNET_GetSpeed(h), -2);
  Close(h);
  for (auto fn : {QRNET_GetSpeed, QRNET_SpeedSlow, QRNET_SpeedFast, QRNET_SpeedNormal,
                  QRNET_ReplayPause, QRNET_ReplayContinue, QRNET_ReplayCurTime,
                  QRNET_ReplayTotalTime, QRNET_CloseFile, QRNET_ClientNVRReplayStepByStep}) {
    EXPECT_EQ(fn(h), 0);
    EXPECT_EQ(fn(0), 0);
  }
  EXPECT_EQ(QRNET_ReplaySeek(h, 1), 0);
  EXPECT_EQ(QRNET_ReplayStepByStep(h, 1, 0), 0);
  EXPECT_EQ(QRNET_ClientNVRReplayPause(h, 1), 0);
}

// The display and the reader on one simulated timeline that only the display
// thread advances (its pacing and idle sleeps): shown pictures then cover
// media time at 2^s times the simulated time.
class FollowerClock final : public IClock {
 public:
  explicit FollowerClock(IClock& leader) : leader_(leader) {}
  uint32_t NowMs() override { return leader_.NowMs(); }
  void SleepMs(uint32_t) override { std::this_thread::sleep_for(1ms); }

 private:
  IClock& leader_;
};

class TimedWindow final : public FrameWindow {
 public:
  TimedWindow(int w, int h, IClock& clock) : FrameWindow(w, h), clock_(clock) {}
  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               qrplat::PixelFormat format, const qrplat::Rect& source) override {
    const uint32_t now = clock_.NowMs();
    FrameWindow::Present(pixels, width, height, stride, format, source);
    std::lock_guard<std::mutex> lock(mutex_);
    times_.push_back(now);
  }
  std::vector<uint32_t> Times() {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_;
  }

 private:
  IClock& clock_;
  std::mutex mutex_;
  std::vector<uint32_t> times_;  // guarded by mutex_
};

class SimulatedSinks final : public IMediaSinks {
 public:
  SimulatedSinks(CClientSession& session, CIConduit* video, IClock& clock)
      : display_(session, video, clock) {}
  ~SimulatedSinks() override { Stop(); }
  bool Start() override { return display_.OpenDecoder() && display_.StartThread(); }
  void Stop() override {
    display_.StopThread();
    display_.CloseDecoder();
  }

 private:
  CAVDisplay display_;
};

TEST_F(FilePlaybackTest, SpeedsChangeTheRateOfShownPictures) {
  test::FakeClock clock;
  FollowerClock reader_clock(clock);
  struct Factories {
    MediaSinksFactory sinks;
    SourceFactory source;
    ~Factories() {
      RegisterSourceFactory(kSourceFile, std::move(source));
      RegisterMediaSinksFactory(std::move(sinks));
    }
  } saved;
  saved.sinks = RegisterMediaSinksFactory([&](CClientSession& s, CIConduit* video, CIConduit*) {
    return std::make_unique<SimulatedSinks>(s, video, clock);
  });
  saved.source = RegisterSourceFactory(
      kSourceFile, [&](CClientSession&) { return std::make_unique<CAVSource_File>(reader_clock); });
  const std::string path = Avi("rate.avi", Jpeg(), false);
  for (int s : {-4, -2, 0, 1, 3, 4}) {
    auto window = std::make_shared<TimedWindow>(kW, kH, clock);
    const uint32_t id = qrplat::RegisterWindow(window);
    const uint32_t h = QRNET_OpenFile(path.c_str(), id, 0);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(QRNET_SetSpeed(h, s), 1);
    const size_t want = s < 0 ? 8 : 40;
    ASSERT_TRUE(WaitFor([&] { return window->Frames().size() >= want; }, 20000)) << s;
    QRNET_CloseFile(h);
    qrplat::UnregisterWindow(id);
    // From the third picture on (the speed is set by then).
    const std::vector<uint32_t> frames = window->Frames();
    const std::vector<uint32_t> times = window->Times();
    const size_t a = 3, b = std::min(frames.size(), times.size()) - 1;
    const double media_ms = double(frames[b] - frames[a]) * 1000 / kFps;
    const double elapsed = double(times[b] - times[a]);
    ASSERT_GT(elapsed, 0) << s;
    EXPECT_NEAR(media_ms / elapsed, std::ldexp(1.0, s), std::ldexp(1.0, s) * 0.15) << s;
  }
}

// The output of the wav audio back end: 16-bit samples after the header.
std::vector<int16_t> WavSamples(const std::filesystem::path& dir) {
  std::vector<int16_t> all;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    Bytes b = test::ReadBytes(e.path().string());
    for (size_t i = 44; i + 1 < b.size(); i += 2) all.push_back(int16_t(b[i] | b[i + 1] << 8));
  }
  return all;
}

TEST_F(FilePlaybackTest, AudioIsHeardOnlyAtNormalSpeed) {
  const std::string path = Avi("tone.avi", Head(H264(), kFps), true, true);
  for (int s : {1, -1, 0}) {
    const std::filesystem::path wav = dir_ / ("wav" + std::to_string(s + 5));
    std::filesystem::create_directories(wav);
    ScopedEnv env("QRPLAT_AUDIO", "wav:" + wav.string());
    const uint32_t h = Open(path);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(QRNET_SetSpeed(h, s), 1);
    ASSERT_EQ(QRNET_ClientPlayAudio(h), 1);
    ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 1; }, 20000));
    std::this_thread::sleep_for(300ms);
    Close(h);
    const std::vector<int16_t> samples = WavSamples(wav);
    const bool heard =
        std::any_of(samples.begin(), samples.end(), [](int16_t v) { return std::abs(v) > 1000; });
    EXPECT_EQ(heard, s == 0) << s << ": " << samples.size() << " samples";
  }
}

// ---- Damaged and hostile files -----------------------------------------------------

TEST_F(FilePlaybackTest, DamagedAlarmRecordSkipsToTheNextKeyFrame) {
  auto records = test::MakeRecords(Head(H264(), 6 * kFps), true, kFps, 0, true);
  // Video record of frame 60 gets a record kind that does not exist; after
  // frame 105 comes a continuation record that would take its picture past
  // the frame buffer.
  int video = 0;
  for (auto it = records.begin(); it != records.end(); ++it) {
    if (it->kind != 0) continue;
    if (video == 60) it->kind = 3;
    if (video == 105) {
      test::TestRecord big;
      big.type = 1;
      big.tick = it->tick;
      big.payload.assign((1u << 20) - 1, 0x55);  // the longest a record can be
      it = records.insert(it + 1, std::move(big));
    }
    ++video;
  }
  // A file with no record at all opens and ends at once.
  const uint32_t h = Open(File("empty.alarm", AlarmBytes({}, true, IndexMode::kNone)));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ReplayTotalTime(h), 0);
  EXPECT_EQ(QRNET_ReplaySeek(h, 1), 0);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 1; }));
  Close(h);
  const uint32_t d = Open(
      File("damaged2.alarm", test::AlarmFile(true, kW, kH, kFps, 1, records, IndexMode::kWritten)),
      2);
  ASSERT_NE(d, 0u);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(d) == 1; }, 15000));
  ASSERT_TRUE(WaitFor([&] { return LastFrame() == 6u * kFps - 1; }));
  const std::vector<uint32_t> shown = window_->Frames();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), 2u * kFps);  // the start position
  auto has = [&](uint32_t n) { return std::find(shown.begin(), shown.end(), n) != shown.end(); };
  // Each picture before the damage is shown, then playing goes on at the
  // key frame a second later.
  EXPECT_TRUE(has(59));
  for (uint32_t n = 60; n < 3 * kFps; ++n) EXPECT_FALSE(has(n)) << n;
  EXPECT_TRUE(has(3 * kFps));
  EXPECT_TRUE(has(105));
  for (uint32_t n = 106; n < 5 * kFps; ++n) EXPECT_FALSE(has(n)) << n;
  EXPECT_TRUE(has(5 * kFps));
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
}

TEST_F(FilePlaybackTest, UnreadableFilesFailTheOpenAndCutFilesPlayWhatIsWhole) {
  Bytes noise(50000);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = uint8_t(i * 2654435761u >> 13);
  EXPECT_EQ(Open(File("noise.bin", noise)), 0u);
  EXPECT_EQ(Open(Path("missing.avi")), 0u);
  EXPECT_EQ(Open(dir_.string()), 0u);
  EXPECT_EQ(QRNET_OpenFile(nullptr, window_id_, 0), 0u);
  EXPECT_EQ(QRNET_OpenFile("", window_id_, 0), 0u);
  EXPECT_EQ(QRNET_OpenFile(std::string(300, 'a').c_str(), window_id_, 0), 0u);
  Bytes riff = test::ReadBytes(Avi("untagged.avi", Head(Jpeg(), 3), false));
  std::memset(riff.data() + 328, 0, 11);
  EXPECT_EQ(Open(File("untagged.avi", riff)), 0u);

  // An AVI cut inside its 31st picture, without idx1: 30 pictures play.
  Bytes avi = test::ReadBytes(Avi("whole.avi", Head(H264(), 2 * kFps), true, true));
  std::vector<size_t> starts;
  for (size_t i = 524; i + 4 < avi.size(); ++i) {
    if (std::memcmp(avi.data() + i, "00dc", 4) == 0) starts.push_back(i);
  }
  ASSERT_GE(starts.size(), 31u);
  avi.resize(starts[30] + 40);
  const uint32_t h = Open(File("cut.avi", avi));
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ReplayTotalTime(h), 1);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 1; }, 10000));
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 30; }));
  Close(h);

  // An alarm file cut anywhere opens or not, and never shows a picture out
  // of order.
  const Bytes alarm = AlarmBytes(Head(H264(), 30), true, IndexMode::kWritten);
  for (size_t cut : {size_t(20), size_t(39), size_t(100), alarm.size() / 3, alarm.size() - 30}) {
    const uint32_t c = Open(File("cut.alarm", Bytes(alarm.begin(), alarm.begin() + long(cut))));
    if (c == 0) continue;
    ASSERT_TRUE(WaitFor([&] { return EndNotes(c) == 1; }, 10000)) << cut;
    Close(c);
  }
}

// ---- Files the recorder wrote ------------------------------------------------------

int Notes(uint32_t handle, int kind, int value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  int n = 0;
  for (auto [k, v] : g_notes[handle]) n += (k == kind && v == value);
  return n;
}

struct LiveCase {
  const char* name;
  devicesim::VideoCodec video;
  devicesim::AudioCodec audio;
};

class RecordedFileTest : public FilePlaybackTest, public ::testing::WithParamInterface<LiveCase> {};

// The simulated camera (a key picture every second) recorded through the C
// API into an AVI record file and an alarm record file at once; both then
// play: pictures in order from a key picture on, the total time is the
// recorded time, a seek shows the key picture of the target second.
TEST_P(RecordedFileTest, RecorderFilesPlayInOrderAndSeekToTheTargetSecond) {
  const LiveCase& c = GetParam();
  devicesim::Device device;
  devicesim::Config config;
  config.codec = c.video;
  config.audio = c.audio;
  config.width = kW;
  config.height = kH;
  config.fps = kFps;
  config.gop = kFps;
  config.session_timeout = std::chrono::milliseconds(0);
  ASSERT_TRUE(device.Start(config)) << device.Error();
  auto live_window = std::make_shared<FrameWindow>(kW, kH);
  const uint32_t live_window_id = qrplat::RegisterWindow(live_window);
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  p.view_flag = 1;
  p.channel = 1;
  p.video_window = live_window_id;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d", device.Port());
  const uint32_t live = QRNET_ClientStart(&p);
  ASSERT_NE(live, 0u);
  ASSERT_TRUE(WaitFor([&] { return live_window->Frames().size() >= 5; }, 15000));

  const std::string avi = Path("live.avi");
  const std::string alarm = Path(c.video == devicesim::VideoCodec::kH264 ? "live.264" : "live.mjp");
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(QRNET_ClientStartRecord(live, avi.c_str(), 0), 1);
  ASSERT_EQ(QRNET_ClientStartAlarmRecord(live, alarm.c_str(), 0), 1);
  EXPECT_TRUE(WaitFor([&] { return Notes(live, 6, 0) == 1 && Notes(live, 6, 2) == 1; }, 5000));
  std::this_thread::sleep_for(3000ms);
  ASSERT_EQ(QRNET_ClientStopRecord(live), 1);
  ASSERT_EQ(QRNET_ClientStopAlarmRecord(live), 1);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(QRNET_ClientStop(live), 1);
  qrplat::UnregisterWindow(live_window_id);
  device.Stop();

  // What the recorder wrote, as FFmpeg reads it.
  std::string noise;
  const auto streams = test::Probe(avi, &noise);
  EXPECT_EQ(noise, "");
  ASSERT_EQ(streams.size(), 2u);
  const int frames = std::stoi(streams[0].at("nb_read_packets"));
  EXPECT_GE(frames, int(seconds * kFps) - config.gop - 3);
  EXPECT_LE(frames, int(seconds * kFps) + 3);
  const std::vector<uint32_t> recorded = test::FrameNumbers(avi, kW, kH);
  ASSERT_EQ(int(recorded.size()), frames);
  const uint32_t first = recorded[0];
  // (Every Motion JPEG picture is a key picture.)
  const bool h264 = c.video == devicesim::VideoCodec::kH264;
  if (h264) {
    EXPECT_EQ(first % uint32_t(config.gop), 0u) << "the file does not start at a key picture";
  }

  // The AVI plays in order from its first picture; its length is the
  // recorded time, less at most the second before the first key picture.
  const uint32_t h = Open(avi);
  ASSERT_NE(h, 0u);
  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(h, &out), 1);
  EXPECT_EQ(out.video_payload, c.video == devicesim::VideoCodec::kH264 ? 96 : 26);
  const int total = QRNET_ReplayTotalTime(h);
  EXPECT_EQ(total, frames / kFps);
  EXPECT_GE(total, int(seconds) - config.gop / kFps - 1);
  EXPECT_LE(double(total), seconds + 0.5);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= 20; }));
  std::vector<uint32_t> shown = window_->Frames();
  EXPECT_EQ(shown[0], first);
  EXPECT_EQ(test::NumberGaps(shown), 0) << ::testing::PrintToString(shown);

  // Paused, a seek to the second second shows its key picture: the first
  // recorded picture plus two seconds of pictures.
  ASSERT_EQ(QRNET_ReplayPause(h), 1);
  WaitSettled(h);
  const uint64_t before = Drawn(h);
  ASSERT_EQ(QRNET_ReplaySeek(h, 2), 1);
  EXPECT_EQ(QRNET_ReplayCurTime(h), 2);
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) == before + 1; }));
  EXPECT_EQ(LastFrame(), first + 2u * kFps);
  if (h264) {
    EXPECT_EQ(LastFrame() % uint32_t(config.gop), 0u);
  }
  // Playing on reaches the end of the recording.
  ASSERT_EQ(QRNET_ReplayContinue(h), 1);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(h) == 1; }, 10000));
  ASSERT_TRUE(WaitFor([&] { return LastFrame() == recorded.back(); }, 3000));
  Close(h);

  // The alarm record file of the same time plays from its first key picture.
  const size_t before_alarm = window_->Frames().size();
  const uint32_t a = Open(alarm);
  ASSERT_NE(a, 0u);
  ASSERT_TRUE(WaitFor([&] { return EndNotes(a) == 1; }, 10000));
  shown = window_->Frames();
  shown.erase(shown.begin(), shown.begin() + long(before_alarm));
  ASSERT_GE(shown.size(), size_t(2 * kFps));
  if (h264) {
    EXPECT_EQ(shown[0] % uint32_t(config.gop), 0u);
  }
  EXPECT_EQ(test::NumberGaps(shown), 0) << ::testing::PrintToString(shown);
  Close(a);
}

INSTANTIATE_TEST_SUITE_P(Streams, RecordedFileTest,
                         ::testing::Values(LiveCase{"h264_pcma", devicesim::VideoCodec::kH264,
                                                    devicesim::AudioCodec::kPcma},
                                           LiveCase{"mjpeg_aac", devicesim::VideoCodec::kMjpeg,
                                                    devicesim::AudioCodec::kAac}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- NVR replay controls -------------------------------------------------------------

TEST_F(FilePlaybackTest, NvrReplayPausesChangesScaleAndStepsThroughTheCache) {
  devicesim::Device device;
  devicesim::Config config;
  config.width = kW;
  config.height = kH;
  config.fps = kFps;
  config.gop = 10;
  config.audio = devicesim::AudioCodec::kNone;
  config.mode = devicesim::Mode::kRecorder;
  ASSERT_TRUE(device.Start(config)) << device.Error();
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_UDP;
  p.view_flag = 1;
  p.channel = 3;
  p.video_window = window_id_;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d", device.Port());
  const uint32_t h = QRNET_ClientNVRReplay(&p, "20240102030405", 0);
  ASSERT_NE(h, 0u);
  auto requests = [&](const std::string& method) {
    std::vector<devicesim::RequestRecord> out;
    for (const auto& r : device.Requests())
      if (r.method == method) out.push_back(r);
    return out;
  };
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() >= 5; }, 10000));

  // The running start time names the recording in later requests.
  EXPECT_EQ(QRNET_ClientNVRUpdateReplayTime(h, "20240102030500"), 0);
  EXPECT_EQ(QRNET_ClientNVRUpdateReplayTime(h, "0123456789012345678"), -1);
  EXPECT_EQ(QRNET_ClientNVRUpdateReplayTime(0, "20240102030500"), 0);

  ASSERT_EQ(QRNET_ClientNVRReplayPause(h, 1), 1);
  ASSERT_TRUE(WaitFor([&] { return !requests("PAUSE").empty(); }, 3000));
  EXPECT_NE(requests("PAUSE")[0].url.find("stime=20240102030500"), std::string::npos);
  WaitSettled(h);
  const uint64_t paused = Drawn(h);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(Drawn(h), paused);
  const size_t plays = requests("PLAY").size();
  ASSERT_EQ(QRNET_ClientNVRReplayPause(h, 0), 1);
  ASSERT_TRUE(WaitFor([&] { return requests("PLAY").size() > plays; }, 3000));
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) >= paused + 5; }, 5000));

  // Single step: frames go to the step cache; each request shows the next.
  ASSERT_EQ(QRNET_ClientNVRReplayStepByStep(h), 1);
  std::this_thread::sleep_for(500ms);
  WaitSettled(h, 500ms);
  uint64_t drawn = Drawn(h);
  uint32_t frame = LastFrame();
  for (int step = 0; step < 3; ++step) {
    ASSERT_EQ(QRNET_ClientNVRReplayStepByStep(h), 1);
    ASSERT_TRUE(WaitFor([&] { return Drawn(h) == drawn + 1; }, 10000)) << step;
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(Drawn(h), drawn + 1) << step << " " << ::testing::PrintToString(window_->Frames());
    EXPECT_GT(LastFrame(), frame);
    drawn = Drawn(h);
    frame = LastFrame();
  }
  ASSERT_EQ(QRNET_ClientNVRReplayPause(h, 0), 1);
  ASSERT_TRUE(WaitFor([&] { return Drawn(h) >= drawn + 5; }, 5000));

  ASSERT_EQ(QRNET_ClientNVRReplaySpeed(h, 1), 1);
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& r : requests("PLAY")) {
          const std::string* scale = r.Header("Scale");
          if (scale != nullptr && *scale == "2.000000") return true;
        }
        return false;
      },
      3000));
  ASSERT_EQ(QRNET_ClientNVRReplaySpeed(h, 0), 1);

  EXPECT_EQ(QRNET_ReplaySeek(h, 3), 0);  // a replay has no total time
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  device.Stop();
}

}  // namespace
}  // namespace quornet
