// Live view with the camera's event channel: the stream source subscribes
// after PLAY and the camera's motion and alarm reports reach the client's
// notification window behind the link states, in order. Loopback only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"

namespace {

constexpr uint32_t kNotifyMessage = 1124;
struct Case {
  devicesim::Mode mode;
  uint16_t transport;
  int channel;  // channels from 10 on use the recorder URL scheme
  bool expects_events;
};

class LiveEventsTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, 0, 0);
    QRNET_SetWaitTime(5, 1, 1);
    control_.Attach(device_);
    devicesim::Config cfg;
    cfg.width = 320;
    cfg.height = 240;
    cfg.audio = devicesim::AudioCodec::kNone;
    cfg.mode = GetParam().mode;
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
  }

  void StartClient() {
    QRNET_ClientParam p{};
    p.transport = GetParam().transport;
    p.view_flag = 0;  // no drawing needed here
    p.channel = GetParam().channel;
    p.notify_window = window_;
    p.notify_message = kNotifyMessage;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(device_.Port()));
    handle_ = QRNET_ClientStart(&p);
    ASSERT_NE(handle_, 0u);
  }

  // Takes notifications until `want` is among them or a generous bound passed.
  bool CollectUntil(uint32_t kind, int32_t value) {
    for (int i = 0; i < 100; ++i) {
      for (auto& m : host_->WaitMessages(100)) {
        EXPECT_EQ(m.msg, kNotifyMessage);
        seen_.push_back(m);
        if (m.wparam == kind && m.lparam == value) return true;
      }
    }
    return false;
  }

  devicesim::Device device_;
  devicesim::ControlService control_;
  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  uint32_t handle_ = 0;
  std::vector<qrplat::WindowMessage> seen_;
};

TEST_P(LiveEventsTest, CameraReportsFollowTheLinkStatesInOrder) {
  StartClient();
  ASSERT_TRUE(CollectUntil(1, 0)) << "stream never ran";
  ASSERT_GE(seen_.size(), 2u);
  EXPECT_EQ(seen_.front().wparam, 1u);
  EXPECT_EQ(seen_.front().lparam, 1);

  if (!GetParam().expects_events) {
    // Recorders serve no event channel: the source does not subscribe.
    EXPECT_FALSE(control_.WaitEventSubscribers(1, 1000));
    return;
  }
  ASSERT_TRUE(control_.WaitEventSubscribers(1, 5000));
  seen_.clear();
  ASSERT_EQ(control_.PushMotion(GetParam().channel, 0x9), 1);
  ASSERT_EQ(control_.PushAlarm(GetParam().channel, 5), 1);
  ASSERT_TRUE(CollectUntil(4, 5));
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].wparam, 2u);
  EXPECT_EQ(seen_[0].lparam, 9);
}

// A camera that takes the subscription and never answers it must not hold up
// the stream (the source reads it) nor the stop.
TEST_P(LiveEventsTest, SilentEventChannelHoldsUpNeitherStreamNorStop) {
  if (!GetParam().expects_events) GTEST_SKIP() << "no event channel";
  control_.faults().silent = true;
  StartClient();
  ASSERT_TRUE(CollectUntil(1, 0));
  qrplat::SleepMs(500);  // the subscription is now waiting for its reply
  EXPECT_EQ(QRNET_GetClientState(handle_), 0);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(QRNET_ClientStop(handle_), 1);
  handle_ = 0;
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
}

INSTANTIATE_TEST_SUITE_P(
    ServerKinds, LiveEventsTest,
    ::testing::Values(Case{devicesim::Mode::kGeneric, QRNET_TRANSPORT_RTSP_TCP, 3, true},
                      Case{devicesim::Mode::kBanner, QRNET_TRANSPORT_RTSP_UDP, 3, true},
                      Case{devicesim::Mode::kRecorder, QRNET_TRANSPORT_RTSP_TCP, 12, false}));

}  // namespace
