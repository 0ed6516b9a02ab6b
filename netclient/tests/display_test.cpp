// The display thread: decoding real H.264 and Motion JPEG from libavcodec,
// drawing into a memory window, live resynchronisation, live-view buffering,
// high-speed replay skipping, the frame pacer; and the display exports on a
// started client whose source runs the media sinks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "display_test_util.h"
#include "media/av_display.h"
#include "media/display_seams.h"
#include "media/frame_pacer.h"
#include "net/av_source.h"
#include "net/source_seams.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"
#include "video_test_frames.h"

namespace quornet {
namespace {

using test::EncodedFrame;
using test::FakeClock;
using test::FrameWindow;
using test::WaitFor;

constexpr int kW = 320, kH = 240;

const std::vector<EncodedFrame>& H264Frames() {
  static const auto frames = [] {
    av_log_set_level(AV_LOG_ERROR);
    return test::EncodeFrames(true, kW, kH, 40, 10);
  }();
  return frames;
}

const std::vector<EncodedFrame>& MjpegFrames() {
  static const auto frames = test::EncodeFrames(false, kW, kH, 8);
  return frames;
}

QRNET_ClientParam Param(uint32_t window) {
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  p.view_flag = 1;
  p.video_window = window;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof(p.address), "127.0.0.1");
  return p;
}

// ---- The display thread on a session of its own --------------------------------

class DisplayThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_shared<FrameWindow>(kW, kH);
    window_id_ = qrplat::RegisterWindow(window_);
    session_.InitLive(Param(window_id_));
    session_.video_payload.store(96);
    ASSERT_TRUE(conduit_.Create(kVideoConduitSize, 0, kConduitLowWater, 1));
    display_ = std::make_unique<CAVDisplay>(session_, &conduit_, clock_);
  }
  void TearDown() override {
    conduit_.Stop();
    display_.reset();
    qrplat::UnregisterWindow(window_id_);
  }

  void Push(const EncodedFrame& f) {
    ASSERT_TRUE(
        conduit_.Append(f.bytes.data(), uint32_t(f.bytes.size()), 1, f.number * frame_ms_, 0));
  }
  void Push(const std::vector<EncodedFrame>& frames, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) Push(frames[i]);
  }
  void Start() {
    ASSERT_TRUE(display_->OpenDecoder());
    ASSERT_TRUE(display_->StartThread());
  }

  uint32_t frame_ms_ = 40;  // timestamp step of pushed frames
  FakeClock clock_;
  std::shared_ptr<FrameWindow> window_;
  uint32_t window_id_ = 0;
  CClientSession session_;
  CBufferConduit conduit_;
  std::unique_ptr<CAVDisplay> display_;
};

TEST_F(DisplayThreadTest, OpenDecoderAcceptsOnlyJpegAndH264Payloads) {
  for (int payload : {0, 8, 33, 97, 255}) {
    session_.video_payload.store(payload);
    EXPECT_FALSE(display_->OpenDecoder()) << payload;
  }
  for (int payload : {26, 96}) {
    session_.video_payload.store(payload);
    EXPECT_TRUE(display_->OpenDecoder()) << payload;
    EXPECT_TRUE(display_->DecoderOpen());
  }
  display_->CloseDecoder();
  display_->CloseDecoder();  // nothing open: harmless
  EXPECT_FALSE(display_->DecoderOpen());
}

TEST_F(DisplayThreadTest, H264PicturesAppearInOrder) {
  const auto& frames = H264Frames();
  Start();
  Push(frames, 0, 20);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 20; }));
  std::vector<uint32_t> shown = window_->Frames();
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i], i);
  EXPECT_EQ(session_.width.load(), kW);
  EXPECT_EQ(session_.height.load(), kH);
  EXPECT_EQ(session_.picture_ready.load(), 1);
  EXPECT_EQ(session_.drawing.load(), 0);
  display_->StopThread();
  EXPECT_EQ(display_->ExitValue(), CAVDisplay::kExitCode);
}

TEST_F(DisplayThreadTest, MjpegPicturesAppearInOrder) {
  session_.video_payload.store(26);
  Start();
  Push(MjpegFrames(), 0, MjpegFrames().size());
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == MjpegFrames().size(); }));
  std::vector<uint32_t> shown = window_->Frames();
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i], i);
}

// Cameras also send 4:2:2 and 4:4:4 JPEG; they are shown like 4:2:0 ones.
TEST_F(DisplayThreadTest, MjpegWithOtherChromaLayoutsIsShown) {
  session_.video_payload.store(26);
  Start();
  uint32_t next = 0;
  for (AVPixelFormat format : {AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P}) {
    for (const EncodedFrame& f : test::EncodeFrames(false, kW, kH, 3, 10, next, format)) Push(f);
    next += 3;
    ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == next; }));
  }
  EXPECT_EQ(window_->Frames(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  // Neutral chroma stays grey after the conversion.
  const qrplat::Image img = window_->LastImage();
  const uint32_t px = img.At(kW / 2, kH / 2);
  EXPECT_NEAR(int(px >> 16 & 255), int(px & 255), 2);
}

TEST_F(DisplayThreadTest, FrameRateOutsideOneToThirtyBecomesThirty) {
  session_.frame_rate.store(45);
  Start();
  ASSERT_TRUE(WaitFor([&] { return session_.pacer_fps.load() == 30; }));
  EXPECT_EQ(session_.frame_rate.load(), 30);
  display_->StopThread();

  // Replay always paces at 30.
  session_.frame_rate.store(25);
  session_.replay_mode.store(1);
  Start();
  ASSERT_TRUE(WaitFor([&] { return session_.frame_rate.load() == 30; }));
  display_->StopThread();

  session_.replay_mode.store(0);
  session_.frame_rate.store(12);
  Start();
  ASSERT_TRUE(WaitFor([&] { return session_.pacer_fps.load() == 12; }));
  EXPECT_EQ(session_.frame_rate.load(), 12);
}

TEST_F(DisplayThreadTest, ViewRestartResumesAtNextKeyFrameWithOneFlush) {
  const auto& frames = H264Frames();
  Start();
  Push(frames, 0, 5);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 5; }));

  // View off: frames 5..14 (key frame 10 among them) are drained undecoded.
  session_.view_flag.store(0);
  Push(frames, 5, 15);
  ASSERT_TRUE(WaitFor([&] { return conduit_.FrameCount() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().frames_read == 15; }));
  EXPECT_EQ(window_->Frames().size(), 5u);

  // View on again: 15..19 are P frames that cannot decode; 20 starts with
  // its sequence parameter set. (While the view was off, frames were dropped
  // the same way and key frame 10 flushed the decoder.)
  const CAVDisplay::Stats before = display_->GetStats();
  session_.view_flag.store(1);
  Push(frames, 15, 25);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 10; }));
  std::vector<uint32_t> shown = window_->Frames();
  EXPECT_EQ(std::vector<uint32_t>(shown.begin() + 5, shown.end()),
            (std::vector<uint32_t>{20, 21, 22, 23, 24}));
  EXPECT_EQ(display_->GetStats().flushes - before.flushes, 1u);
  EXPECT_EQ(display_->GetStats().skipped_resync - before.skipped_resync, 5u);
}

// Many encoders put an access unit delimiter (and SEI) before the parameter
// sets: the resync still finds the key picture. A damaged picture is counted
// as a decode error, clean ones are not.
TEST_F(DisplayThreadTest, ResyncFindsParameterSetsBehindDelimiterAndDamageIsCounted) {
  std::vector<EncodedFrame> frames = H264Frames();
  for (EncodedFrame& f : frames) {
    f.bytes.insert(f.bytes.begin(), {0, 0, 0, 1, 0x09, 0xF0});
  }
  Start();
  Push(frames, 0, 5);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 5; }));
  session_.view_flag.store(0);
  Push(frames, 5, 15);
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().frames_read == 15; }));
  session_.view_flag.store(1);
  Push(frames, 15, 25);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 10; }));
  EXPECT_EQ(window_->Frames().back(), 24u);
  EXPECT_EQ(display_->GetStats().decode_errors, 0u);
  EXPECT_EQ(session_.decode_errors.load(), 0u);

  EncodedFrame cut = frames[25];
  cut.bytes.resize(cut.bytes.size() / 2);
  Push(cut);
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().frames_read == 26; }));
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().decode_errors == 1; }));
  EXPECT_EQ(session_.decode_errors.load(), 1u);
}

TEST_F(DisplayThreadTest, RestoreFrameCountHoldsThenReleases) {
  const auto& frames = H264Frames();
  session_.restore_frame_count.store(10);
  Start();
  // The first pass finds the conduit empty and raises the threshold to 10.
  ASSERT_TRUE(WaitFor([&] { return clock_.Slept() > 0; }));
  Push(frames, 0, 5);
  // Fewer than two queued: the thread waits until ten are.
  ASSERT_TRUE(WaitFor([&] { return session_.queued_frames.load() == 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(window_->Frames().size(), 0u);
  EXPECT_EQ(conduit_.FrameCount(), 5u);

  // Ten queued: shown down to one left, then held again.
  Push(frames, 5, 10);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 9; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(window_->Frames().size(), 9u);
  EXPECT_EQ(conduit_.FrameCount(), 1u);

  std::vector<uint32_t> shown = window_->Frames();
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i], i);
}

// The only sleeps while frames are queued are the pacer's, so the simulated
// time slept tells paced from unpaced frames (40 ms each at 25 fps).
TEST_F(DisplayThreadTest, BacklogAboveTheRestoreCountIsShownWithoutPacing) {
  session_.restore_frame_count.store(2);
  Start();
  ASSERT_TRUE(WaitFor([&] { return session_.queued_frames.load() == 0 && clock_.Slept() > 0; }));
  const uint64_t slept = clock_.Slept();
  Push(H264Frames(), 0, 30);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 29; }));
  EXPECT_LT(clock_.Slept() - slept, 400u);  // paced, 29 frames would take 1160
  EXPECT_EQ(conduit_.FrameCount(), 1u);
}

TEST_F(DisplayThreadTest, RealTimeViewShowsQueuedFramesWithoutDelay) {
  Start();
  const uint64_t slept = clock_.Slept();
  Push(H264Frames(), 0, 30);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 30; }));
  EXPECT_LT(clock_.Slept() - slept, 400u);
}

TEST_F(DisplayThreadTest, FastReplayDecodesOnlyTheHeadOfEachGroup) {
  const auto& frames = H264Frames();
  session_.local_file_mode.store(1);
  session_.speed_exponent.store(2);  // 4x
  frame_ms_ = 1000;
  Start();
  Push(frames, 0, 30);
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().frames_read == 30; }));
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 20; }));
  // The first group is measured (estimate 30 until then); the next ones keep
  // their first (10 / 4) * 2 + 1 frames.
  std::vector<uint32_t> expect;
  for (uint32_t i = 0; i < 10; ++i) expect.push_back(i);
  for (uint32_t i = 10; i < 15; ++i) expect.push_back(i);
  for (uint32_t i = 20; i < 25; ++i) expect.push_back(i);
  EXPECT_EQ(window_->Frames(), expect);
  EXPECT_EQ(display_->GetStats().skipped_fast, 10u);
  // The current time follows the timestamps of the frames passed on.
  EXPECT_EQ(session_.current_time.load(), 24);
}

TEST_F(DisplayThreadTest, FastReplayOfMjpegSkipsNothing) {
  session_.video_payload.store(26);
  session_.local_file_mode.store(1);
  session_.speed_exponent.store(4);
  Start();
  Push(MjpegFrames(), 0, MjpegFrames().size());
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == MjpegFrames().size(); }));
  EXPECT_EQ(display_->GetStats().skipped_fast, 0u);
}

TEST_F(DisplayThreadTest, PlaybackControlAndSnapshotSeamsRunOnTheDisplayThread) {
  std::atomic<int> controls{0};
  std::atomic<uint32_t> snapshot_frame{0xFFFFFFFFu};
  PlaybackControl old_control =
      RegisterPlaybackControl([&](CAVDisplay&, const FrameHeader&) { ++controls; });
  SnapshotWriter old_writer = RegisterSnapshotWriter([&](CAVDisplay& d, const YuvPlanes& p) {
    auto n = devicesim::frame_code::DecodeLuma(p.y, int(p.y_stride), p.width, p.height);
    snapshot_frame.store(n ? *n : 0xFFFFFFFEu);
    d.SetCapturePending(false);
  });
  session_.local_file_mode.store(1);
  Start();
  Push(H264Frames(), 0, 3);
  ASSERT_TRUE(WaitFor([&] { return controls.load() == 3; }));
  display_->SetCapturePending(true);
  Push(H264Frames()[3]);
  ASSERT_TRUE(WaitFor([&] { return !display_->CapturePending(); }));
  EXPECT_EQ(snapshot_frame.load(), 3u);
  display_->StopThread();
  RegisterPlaybackControl(old_control);
  RegisterSnapshotWriter(old_writer);
}

TEST_F(DisplayThreadTest, FrameLongerThanTheReadLimitIsNotStuckAtTheHead) {
  // A junk frame of 1.5 MiB (not a picture) ahead of real pictures.
  std::vector<uint8_t> big(CAVDisplay::kReadLimit + CAVDisplay::kReadLimit / 2, 0x11);
  Start();
  ASSERT_TRUE(conduit_.Append(big.data(), uint32_t(big.size()), 1, 0, 0));
  Push(H264Frames(), 0, 3);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 3; }));
}

TEST_F(DisplayThreadTest, StopEndsPromptlyWhileIdleOrPacingSlowly) {
  Start();
  // A slow replay: 1/16 speed would sleep seconds per frame.
  session_.local_file_mode.store(1);
  session_.speed_exponent.store(-4);
  Push(H264Frames(), 0, 2);
  ASSERT_TRUE(WaitFor([&] { return display_->GetStats().frames_read >= 1; }));
  auto t0 = std::chrono::steady_clock::now();
  display_->StopThread();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_EQ(display_->ExitValue(), CAVDisplay::kExitCode);
}

// ---- The frame pacer -------------------------------------------------------------------

TEST(FramePacerTest, DelaysFollowTheFrameCountScaledBySpeed) {
  PacerRecord p;
  p.fps = 25;
  p.start_ms = 1000;
  p.last_speed = 0;
  EXPECT_EQ(PacerDelay(p, 0, 1000), 40);   // frame 1 due at 40 ms
  EXPECT_EQ(PacerDelay(p, 0, 1040), 40);   // frame 2 due at 80
  EXPECT_EQ(PacerDelay(p, 0, 1130), -10);  // frame 3 late: no sleep
  EXPECT_EQ(p.frames, 3);

  // A speed change restarts the schedule at the current time and shows its
  // frame at once.
  EXPECT_EQ(PacerDelay(p, 1, 2000), 0);
  EXPECT_EQ(p.start_ms, 2000u);
  EXPECT_EQ(p.frames, 0);
  EXPECT_EQ(PacerDelay(p, 1, 2000), 20);  // 2x: 40 / 2
  EXPECT_EQ(PacerDelay(p, 1, 2000), 40);
  EXPECT_EQ(PacerDelay(p, -2, 3000), 0);
  EXPECT_EQ(PacerDelay(p, -2, 3000), 160);  // 1/4 speed
  EXPECT_EQ(PacerDelay(p, 4, 4000), 0);
  EXPECT_EQ(PacerDelay(p, 4, 4000), 2);  // 16x: 40 / 16 = 2.5, truncated

  // 30 fps: due times are fractional and truncated after the subtraction.
  PacerRecord q;
  q.fps = 30;
  q.last_speed = 0;
  q.start_ms = 0;
  EXPECT_EQ(PacerDelay(q, 0, 0), 33);
  EXPECT_EQ(PacerDelay(q, 0, 0), 66);

  // No pacing without a frame rate.
  PacerRecord off;
  off.fps = 0;
  EXPECT_EQ(PacerDelay(off, 0, 5), 0);
  EXPECT_EQ(off.frames, 0);
}

// A live stream at 25 fps whose first picture took 60 ms to decode (the
// decoder's start, a large key picture): the frames after it, arriving on
// time and decoded in 5 ms, are shown at once. Scheduled from the end of the
// slow decode instead, every later frame was held 55 ms: a standing delay of
// more than a frame (seen with H.265 at 1080p: 100 ms).
TEST(FramePacerTest, LiveScheduleStartsWhereTheFrameArrivedNotWhereItWasDecoded) {
  PacerRecord p;
  p.fps = 25;
  EXPECT_EQ(PacerLiveDelay(p, 1000, 1060, false), -60);  // starts the schedule at 1000
  EXPECT_EQ(p.start_ms, 1000u);
  for (uint32_t k = 1; k <= 10; ++k) {
    const uint32_t fetched = 1000 + 40 * k;
    EXPECT_LE(PacerLiveDelay(p, fetched, fetched + 5, false), 0) << "frame " << k;
  }
  // A frame that came early with another queued behind it (a burst) waits
  // for its due time, less the time its decoding took.
  EXPECT_EQ(PacerLiveDelay(p, 1000 + 40 * 11 - 30, 1000 + 40 * 11 - 25, true), 25);
}

// The stream's first frame came 26 ms late (a key picture that took long to
// send), the next ones on their cadence: they are shown at once. Held to the
// late first frame's schedule, each waited 26 ms: a standing delay for as
// long as the schedule ran (200 frames).
TEST(FramePacerTest, LiveScheduleFollowsAFrameThatComesEarlyWithNothingQueued) {
  PacerRecord p;
  p.fps = 25;
  EXPECT_EQ(PacerLiveDelay(p, 1026, 1030, false), -4);
  for (uint32_t k = 1; k <= 10; ++k) {
    const uint32_t fetched = 1000 + 40 * k;
    EXPECT_LE(PacerLiveDelay(p, fetched, fetched + 3, false), 0) << "frame " << k;
  }
  EXPECT_EQ(p.start_ms, 1040u);  // restarted at the first frame on the cadence
}

TEST(FramePacerTest, RestartsEveryTwoHundredFrames) {
  PacerRecord p;
  p.fps = 25;
  p.last_speed = 0;
  p.start_ms = 0;
  uint32_t now = 0;
  for (int i = 1; i < kPacerRestartFrames; ++i) {
    now += 40;
    PacerDelay(p, 0, now);
    PacerAfterFrame(p, now);
    ASSERT_EQ(p.frames, i);
  }
  now += 40;
  PacerDelay(p, 0, now);
  PacerAfterFrame(p, now + 3);
  EXPECT_EQ(p.frames, 0);
  EXPECT_EQ(p.start_ms, now + 3);
  // Wrapping ticks are compared by unsigned subtraction.
  PacerRecord w;
  w.fps = 25;
  w.last_speed = 0;
  w.start_ms = 0xFFFFFFF0u;
  EXPECT_EQ(PacerDelay(w, 0, 0x00000010u), 40 - 32);
}

TEST(FramePacerTest, DisplaySleepsTheDelayOnItsClock) {
  FakeClock clock;
  CClientSession session;
  CBufferConduit conduit;
  CAVDisplay display(session, &conduit, clock);
  session.pacer_fps.store(25);
  session.pacer_last_speed.store(0);
  session.pacer_frames.store(0);
  session.pacer_start_ms.store(clock.NowMs());
  display.RunPacer(0);
  EXPECT_EQ(clock.Slept(), 40u);
  display.RunPacer(-1);  // speed change: restart, shown at once
  EXPECT_EQ(clock.Slept(), 40u);
  display.RunPacer(-1);  // 80 ms at half speed
  EXPECT_EQ(clock.Slept(), 120u);
  EXPECT_EQ(session.pacer_last_speed.load(), -1);

  // Live view restarts the 200-frame schedule at the frame's arrival, not
  // after its sleep: the next schedule starts where the stream is.
  session.pacer_last_speed.store(0);
  session.pacer_frames.store(kPacerRestartFrames - 1);
  session.pacer_start_ms.store(clock.NowMs() - (kPacerRestartFrames - 1) * 40);
  const uint32_t arrival = clock.NowMs();
  display.RunPacer(0);
  EXPECT_EQ(clock.Slept(), 160u);
  EXPECT_EQ(session.pacer_frames.load(), 0);
  EXPECT_EQ(session.pacer_start_ms.load(), arrival);
}

TEST(LiveViewPerformanceTest, RestoreFramesFromValueFrameRateAndBitRate) {
  CClientSession s;
  s.frame_rate.store(25);
  s.bit_rate_value.store(3000000);
  ApplyLiveViewPerformance(s, -5);
  EXPECT_EQ(s.live_view_performance.load(), 750);
  EXPECT_EQ(s.restore_frame_count.load(), 18);  // 750 / 40
  ApplyLiveViewPerformance(s, 400);
  EXPECT_EQ(s.live_view_performance.load(), 400);
  EXPECT_EQ(s.restore_frame_count.load(), 10);
  ApplyLiveViewPerformance(s, 0);
  EXPECT_EQ(s.restore_frame_count.load(), 0);
  s.frame_rate.store(0);
  ApplyLiveViewPerformance(s, 500);
  EXPECT_EQ(s.live_view_performance.load(), 0);
  EXPECT_EQ(s.restore_frame_count.load(), 0);
  // Nonsense frame rates never divide by zero.
  s.frame_rate.store(5000);
  ApplyLiveViewPerformance(s, 100);
  EXPECT_EQ(s.restore_frame_count.load(), 100);
  s.frame_rate.store(-3);
  ApplyLiveViewPerformance(s, 100);
  EXPECT_EQ(s.restore_frame_count.load(), 0);
}

// ---- Exports on a started client -------------------------------------------------------

// A source that runs the media sinks the way the stream sources do: created
// at prepare, started when "connected", stopped before the thread ends.
class SinkSource : public CAVSource {
 public:
  explicit SinkSource(int payload) : payload_(payload) {}
  ~SinkSource() override { Stop(); }
  bool Prepare() override {
    sinks_ = CreateMediaSinks(*session(), video_conduit(), audio_conduit());
    return sinks_ != nullptr;
  }
  void Release() override { sinks_.reset(); }
  int32_t Run() override {
    session()->video_payload.store(payload_);
    started_.store(sinks_->Start() ? 1 : -1);
    while (!StopRequested()) qrplat::SleepMs(5);
    sinks_->Stop();
    return 0;
  }
  int32_t Stop() override {
    stop_.store(true);
    Wait();
    return 0;
  }
  int32_t SetSpeed(int32_t) override { return 1; }
  std::atomic<int> started_{0};

 private:
  int payload_;
  std::unique_ptr<IMediaSinks> sinks_;
};

class DisplayApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, nullptr, 0);
    saved_ = RegisterSourceFactory(kSourceRtspTcp, [this](CClientSession&) {
      auto s = std::make_unique<SinkSource>(payload_);
      source_ = s.get();
      return s;
    });
    window_ = std::make_shared<FrameWindow>(kW, kH);
    window_id_ = qrplat::RegisterWindow(window_);
  }
  void TearDown() override {
    window_->OpenGate();
    if (handle_ != 0) {
      EXPECT_EQ(QRNET_ClientStop(handle_), 1);
    }
    RegisterSourceFactory(kSourceRtspTcp, saved_);
    qrplat::UnregisterWindow(window_id_);
  }
  void Launch() {
    QRNET_ClientParam p = Param(window_id_);
    handle_ = QRNET_ClientStart(&p);
    ASSERT_NE(handle_, 0u);
    ASSERT_TRUE(WaitFor([&] { return source_->started_.load() != 0; }));
    session_ = CClientSession::Find(handle_);
  }
  void Push(size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      const auto& f = H264Frames()[i];
      ASSERT_TRUE(
          session_->video_conduit()->Append(f.bytes.data(), uint32_t(f.bytes.size()), 1, 0, 0));
    }
  }

  int payload_ = 96;
  SourceFactory saved_;
  SinkSource* source_ = nullptr;
  std::shared_ptr<FrameWindow> window_;
  uint32_t window_id_ = 0;
  uint32_t handle_ = 0;
  std::shared_ptr<CClientSession> session_;
};

TEST_F(DisplayApiTest, SinksDrawAndRefreshFollowsTheViewFlag) {
  Launch();
  ASSERT_EQ(source_->started_.load(), 1);
  EXPECT_EQ(QRNET_ClientRefreshWnd(handle_), 0);  // nothing drawn yet
  Push(0, 3);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 3; }));
  const uint64_t presents = window_->PresentCount();
  EXPECT_EQ(QRNET_ClientRefreshWnd(handle_), 1);
  EXPECT_EQ(window_->PresentCount(), presents + 1);
  EXPECT_EQ(window_->Frames().back(), 2u);
  EXPECT_EQ(QRNET_ClientStopView(handle_), 1);
  EXPECT_EQ(QRNET_ClientRefreshWnd(handle_), 0);
  EXPECT_EQ(window_->PresentCount(), presents + 1);
  EXPECT_EQ(QRNET_ClientRefreshWnd(0), 0);
}

TEST_F(DisplayApiTest, StopViewWaitsForThePictureBeingDrawn) {
  Launch();
  window_->CloseGate();
  Push(0, 1);
  ASSERT_TRUE(window_->WaitInPresent(5000));
  EXPECT_EQ(session_->drawing.load(), 1);
  auto stop = std::async(std::launch::async, [&] { return QRNET_ClientStopView(handle_); });
  EXPECT_EQ(stop.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
  window_->OpenGate();
  ASSERT_EQ(stop.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(stop.get(), 1);
  EXPECT_EQ(session_->drawing.load(), 0);
  // Nothing is drawn after the view stopped.
  Push(1, 4);
  ASSERT_TRUE(WaitFor([&] { return session_->video_conduit()->FrameCount() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(window_->Frames().size(), 1u);
}

TEST_F(DisplayApiTest, SetWndMovesTheVideoToAnotherWindow) {
  Launch();
  Push(0, 2);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 2; }));
  auto other = std::make_shared<FrameWindow>(kW * 2, kH * 2);
  const uint32_t other_id = qrplat::RegisterWindow(other);
  EXPECT_EQ(QRNET_ClientSetWnd(handle_, other_id), 1);
  Push(2, 4);
  ASSERT_TRUE(WaitFor([&] { return other->Frames().size() == 2; }));
  EXPECT_EQ(other->Frames(), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(other->LastImage().width, kW * 2);
  EXPECT_EQ(window_->Frames().size(), 2u);
  // Detached: frames are decoded but drawn nowhere.
  EXPECT_EQ(QRNET_ClientSetWnd(handle_, 0), 1);
  Push(4, 5);
  ASSERT_TRUE(WaitFor([&] { return session_->video_conduit()->FrameCount() == 0; }));
  EXPECT_EQ(QRNET_ClientSetWnd(0, other_id), 1);
  qrplat::UnregisterWindow(other_id);
}

// The sinks also run the sound thread: PCM pushed into the audio conduit
// comes out of the wav audio back end.
TEST_F(DisplayApiTest, SinksPlayAudioThroughTheSoundThread) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("qr_display_wav_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const char* old = std::getenv("QRPLAT_AUDIO");
  const std::string saved_env = old != nullptr ? old : "";
  setenv("QRPLAT_AUDIO", ("wav:" + dir.string()).c_str(), 1);
  Launch();
  session_->audio_codec.store(0);  // PCM
  EXPECT_EQ(QRNET_ClientPlayAudio(handle_), 1);
  const std::vector<int16_t> pcm(1250, 1234);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(session_->audio_conduit()->Append(pcm.data(), 2500, 1, 0, 0));
  }
  Push(0, 2);
  ASSERT_TRUE(WaitFor([&] { return window_->Frames().size() == 2; }));
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);  // closes the output and its file
  handle_ = 0;
  uintmax_t wav_bytes = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() == ".wav") wav_bytes += fs::file_size(e.path());
  }
  EXPECT_GE(wav_bytes, 44u + 2500u);  // at least the first block was played
  fs::remove_all(dir);
  if (old != nullptr) {
    setenv("QRPLAT_AUDIO", saved_env.c_str(), 1);
  } else {
    unsetenv("QRPLAT_AUDIO");
  }
}

TEST_F(DisplayApiTest, UnknownPayloadFailsTheSinks) {
  payload_ = 33;
  Launch();
  EXPECT_EQ(source_->started_.load(), -1);
}

TEST_F(DisplayApiTest, SettingExports) {
  Launch();
  session_->frame_rate.store(25);
  session_->bit_rate_value.store(3000000);
  QRNET_SetLiveViewPerformance(handle_, -5);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(handle_, 0), 750);
  EXPECT_EQ(session_->restore_frame_count.load(), 18);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(handle_, 1), 750);
  session_->frame_rate.store(0);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(handle_, 1), -1);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(0, 0), -1);
  EXPECT_EQ(QRNET_SetRestoreFrame(handle_, 4), handle_);
  EXPECT_EQ(session_->restore_frame_count.load(), 4);
  EXPECT_EQ(QRNET_SetRestoreFrame(0, 4), 0u);

  EXPECT_EQ(QRNET_EptzZoom(handle_, 50), 38);
  EXPECT_EQ(session_->ezoom_active.load(), 0);  // clamped: the flag stays
  EXPECT_EQ(QRNET_EptzZoom(handle_, -8), 30);
  EXPECT_EQ(session_->ezoom_active.load(), 1);
  EXPECT_EQ(QRNET_EptzZoom(handle_, -100), 0);
  EXPECT_EQ(session_->ezoom_active.load(), 0);
  EXPECT_EQ(session_->ezoom_level.load(), 0);
  EXPECT_EQ(QRNET_EptzZoom(handle_, INT32_MIN), 0);
  EXPECT_EQ(QRNET_EptzZoom(0, 5), 0);

  EXPECT_EQ(QRNET_SetLocalRect(handle_, 100, 50, 0, 80), handle_);
  EXPECT_EQ(session_->local_rect[0].load(), 100);
  EXPECT_EQ(session_->local_rect[3].load(), 80);
  EXPECT_EQ(QRNET_ShowLocalRect(handle_, 1), handle_);
  EXPECT_EQ(QRNET_ClientVerticalFlip(handle_, 1), handle_);
  EXPECT_EQ(QRNET_ClientRotate180(handle_, 1), handle_);
  EXPECT_EQ(QRNET_SetVertBlank(handle_, 10), handle_);
  EXPECT_EQ(session_->vertical_blank.load(), 10);
  EXPECT_EQ(QRNET_ClientShowMDRegion(handle_, 3), 1);
  EXPECT_EQ(session_->md_region_mode.load(), 3);
  EXPECT_EQ(QRNET_ClientShowMDRegion(0, 3), 0);
  EXPECT_EQ(QRNET_ClientVerticalFlip(0, 1), 0u);

  session_->measured_bit_rate.store(1234);
  int32_t rate = -1, second = -1;
  EXPECT_EQ(QRNET_GetBitStreamInfo(handle_, &rate, &second), 1);
  EXPECT_EQ(rate, 1234);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(QRNET_GetBitStreamInfo(0, &rate, &second), 0);
}

}  // namespace
}  // namespace quornet
