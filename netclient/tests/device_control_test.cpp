// Device control against the simulated camera: every MCTP/1.0 command export,
// the camera event channel and the recorder alarm channel. Loopback only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/handle_table.h"
#include "api/process_state.h"
#include "control/event_receiver.h"
#include "control/mctp.h"
#include "control/nvr_event_receiver.h"
#include "control/session_fields.h"
#include "devicesim/control.h"
#include "devicesim/device.h"
#include "net/av_source.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"
#include "tests/idle_source.h"

namespace quornet {
namespace {

using test::IdleSource;

constexpr uint32_t kNotifyMessage = 1124;

// Puts the idle source in for the RTSP-over-TCP and private UDP transports for
// the lifetime of the object.
class IdleSources {
 public:
  IdleSources() {
    for (int kind : {kSourceRtspTcp, kSourceUdp}) {
      previous_.push_back(RegisterSourceFactory(
          kind, [](CClientSession&) { return std::make_unique<IdleSource>(); }));
    }
  }
  ~IdleSources() {
    RegisterSourceFactory(kSourceRtspTcp, previous_[0]);
    RegisterSourceFactory(kSourceUdp, previous_[1]);
  }

 private:
  std::vector<SourceFactory> previous_;
};

QRNET_ClientParam Param(int transport, int channel, const std::string& address,
                        uint32_t notify_window = 0) {
  QRNET_ClientParam p{};
  p.transport = uint16_t(transport);
  p.view_flag = 1;
  p.channel = channel;
  p.notify_window = notify_window;
  p.notify_message = kNotifyMessage;
  p.stream_option = 1;
  p.live_view_performance = -1;
  std::snprintf(p.address, sizeof p.address, "%s", address.c_str());
  return p;
}

std::string Address(uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// A loopback port on which nothing listens.
uint16_t DeadPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

// A loopback device that answers each connection's first message with a
// fixed reply, for replies the simulator never sends.
class CannedPeer {
 public:
  explicit CannedPeer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 4), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        std::string got;
        char buf[2048];
        while (got.find("END\n") == std::string::npos) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          got.append(buf, size_t(n));
        }
        ::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        ::close(c);
      }
    });
  }
  ~CannedPeer() {
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  std::string reply_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

class DeviceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStartupSlotsForTest();
    control_.Attach(device_);
    devicesim::Config cfg;
    ASSERT_TRUE(device_.Start(cfg, 0)) << device_.Error();
  }
  void TearDown() override {
    for (uint32_t h : handles_) QRNET_ClientStop(h);
    device_.Stop();
  }
  uint32_t StartClient(int transport, int channel, const std::string& address) {
    QRNET_ClientParam p = Param(transport, channel, address);
    uint32_t h = QRNET_ClientStart(&p);
    if (h != 0) handles_.push_back(h);
    return h;
  }
  uint32_t StartClient(int channel) {
    return StartClient(QRNET_TRANSPORT_RTSP_TCP, channel, Address(device_.Port()));
  }

  IdleSources sources_;
  devicesim::Device device_;
  devicesim::ControlService control_;
  std::vector<uint32_t> handles_;
};

QRNET_MDInfo SampleRegions() {
  QRNET_MDInfo info{};
  for (int i = 0; i < 16; ++i) {
    info.sensitivity[i] = uint8_t(i * 16 + 15);
    info.rect[i] = {i * 44, i * 36, i * 44 + 40, i * 36 + 30};
  }
  return info;
}

TEST_F(DeviceControlTest, VideoParametersRoundTripWithOperationByMode) {
  uint32_t h = StartClient(3);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ClientSetVideoParam(h, 10, 0x1FF, 40, 1), 1);
  devicesim::ChannelControl ch = control_.Channel(3);
  EXPECT_EQ(ch.brightness, 10);
  EXPECT_EQ(ch.contrast, 0xFF);  // only the low byte goes out
  EXPECT_EQ(ch.saturation, 40);
  EXPECT_EQ(ch.last_video_operation, 3);
  EXPECT_EQ(QRNET_ClientSetVideoParam(h, 11, 12, 13, 2), 1);
  EXPECT_EQ(control_.Channel(3).last_video_operation, 4);
  EXPECT_EQ(QRNET_ClientSetVideoParam(h, 200, 150, 100, 7), 1);
  EXPECT_EQ(control_.Channel(3).last_video_operation, 2);

  uint8_t b = 0, c = 0, s = 0;
  ASSERT_EQ(QRNET_ClientGetVideoParam(h, &b, &c, &s), 1);
  EXPECT_EQ(b, 200);
  EXPECT_EQ(c, 150);
  EXPECT_EQ(s, 100);
  EXPECT_EQ(control_.Messages().back(), "CMD:VCTRL MCTP/1.0 CS\n@1@3@0@0@0@\nEND\n");
}

TEST_F(DeviceControlTest, MotionRegionsSaveThenReadAndStartStop) {
  uint32_t h = StartClient(2);
  ASSERT_NE(h, 0u);
  const QRNET_MDInfo saved = SampleRegions();
  ASSERT_EQ(QRNET_ClientSaveMDInfo(h, &saved), 1);

  // The save is one message of 18 lines: command, regions 0 to 15, END.
  std::string msg = control_.Messages().back();
  ASSERT_EQ(mctp::CountLines(msg), 18);
  for (int i = 0; i < 16; ++i) {
    int32_t v[8];
    ASSERT_EQ(mctp::ScanFields(mctp::LineAt(msg, i + 1), 8, v), 8);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 2);
    EXPECT_EQ(v[2], i);
  }
  EXPECT_EQ(mctp::LineAt(msg, 17), "END\n");
  EXPECT_EQ(control_.Channel(2).regions[15].sensitivity, 255);

  // The session keeps the saved record for the display.
  auto session = CClientSession::Find(h);
  ASSERT_TRUE(session);
  MotionState state = ReadMotionState(*session);
  EXPECT_EQ(std::memcmp(&state.record, &saved, sizeof saved), 0);

  QRNET_MDInfo read;
  std::memset(&read, 0, sizeof read);
  ASSERT_EQ(QRNET_ClientGetMDInfo(h, &read), 1);
  EXPECT_EQ(std::memcmp(&read, &saved, sizeof saved), 0);

  EXPECT_EQ(QRNET_ClientStartMD(h), 1);
  EXPECT_TRUE(control_.Channel(2).md_enabled);
  EXPECT_EQ(QRNET_ClientStopMD(h), 1);
  EXPECT_FALSE(control_.Channel(2).md_enabled);
}

TEST_F(DeviceControlTest, PtzAndAlarmAcknowledgementReachTheDevice) {
  uint32_t h = StartClient(5);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ClientPTZCtrl(h, 21, -3), 1);
  auto ptz = control_.PtzLog();
  ASSERT_EQ(ptz.size(), 1u);
  EXPECT_EQ(ptz[0].channel, 5);
  EXPECT_EQ(ptz[0].code, 21);
  EXPECT_EQ(ptz[0].speed, -3);

  EXPECT_EQ(QRNET_ClientStopAlarm(h, 2), 1);
  auto acks = control_.AlarmAcks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].alarm, 2);
  EXPECT_EQ(acks[0].channel, 5);
}

TEST_F(DeviceControlTest, ResultZeroFailsAndLeavesSessionRecord) {
  uint32_t h = StartClient(1);
  ASSERT_NE(h, 0u);
  const QRNET_MDInfo first = SampleRegions();
  ASSERT_EQ(QRNET_ClientSaveMDInfo(h, &first), 1);

  control_.faults().result_value = 0;  // replies "@op@1@0..."
  EXPECT_EQ(QRNET_ClientSetVideoParam(h, 1, 2, 3, 0), 0);
  EXPECT_EQ(QRNET_ClientStopAlarm(h, 1), 0);
  EXPECT_EQ(QRNET_ClientStartMD(h), 0);
  EXPECT_EQ(QRNET_ClientStopMD(h), 0);
  QRNET_MDInfo second{};
  EXPECT_EQ(QRNET_ClientSaveMDInfo(h, &second), 0);
  MotionState state = ReadMotionState(*CClientSession::Find(h));
  EXPECT_EQ(std::memcmp(&state.record, &first, sizeof first), 0);
}

TEST_F(DeviceControlTest, SilentDeviceFailsCommandsButPositioningIsSent) {
  uint32_t h = StartClient(4);
  ASSERT_NE(h, 0u);
  control_.faults().silent = true;
  EXPECT_EQ(QRNET_ClientPTZCtrl(h, 1, 1), 0);
  EXPECT_EQ(QRNET_SetCoverPosit(h, 1, 2, 3, 4, 5, 6), 1);
  EXPECT_EQ(QRNET_Set3DPosit(h, 10, 20, 30, 40), 1);
  // The device got both positioning messages (it reads them after we closed).
  auto has = [&](const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      for (const auto& m : control_.Messages()) {
        if (m == text) return true;
      }
      qrplat::SleepMs(10);
    }
    return false;
  };
  EXPECT_TRUE(has("CMD:PTZ-ADV MCTP/1.0\n@1@1@2@3@4@5@6\nEND\n"));
  EXPECT_TRUE(has("CMD:PTZ-ADV MCTP/1.0\n@0@10@10@20@30@40@0@0@0\nEND\n"));
}

TEST_F(DeviceControlTest, PrivateUdpClientsSendNoCommands) {
  // Point the client at a listener of our own: nothing may connect to it.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 4), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  uint32_t h = StartClient(QRNET_TRANSPORT_UDP, 1, Address(ntohs(a.sin_port)));
  ASSERT_NE(h, 0u);

  uint8_t b = 7, c = 7, s = 7;
  QRNET_MDInfo info = SampleRegions();
  EXPECT_EQ(QRNET_ClientPTZCtrl(h, 1, 1), 0);
  EXPECT_EQ(QRNET_ClientGetVideoParam(h, &b, &c, &s), 0);
  EXPECT_EQ(QRNET_ClientSetVideoParam(h, 1, 1, 1, 0), 0);
  EXPECT_EQ(QRNET_ClientStopAlarm(h, 1), 0);
  EXPECT_EQ(QRNET_ClientStartMD(h), 0);
  EXPECT_EQ(QRNET_ClientStopMD(h), 0);
  EXPECT_EQ(QRNET_ClientGetMDInfo(h, &info), 0);
  EXPECT_EQ(QRNET_ClientSaveMDInfo(h, &info), 0);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(::accept(fd, nullptr, nullptr), -1);
  EXPECT_EQ(errno, EAGAIN);
  ::close(fd);
}

TEST_F(DeviceControlTest, InvalidHandlesAndUnreachableDevice) {
  QRNET_MDInfo info{};
  EXPECT_EQ(QRNET_ClientPTZCtrl(0, 1, 1), 0);
  EXPECT_EQ(QRNET_ClientGetMDInfo(0, &info), 0);
  EXPECT_EQ(QRNET_SetCoverPosit(0, 1, 2, 3, 4, 5, 6), 0);
  EXPECT_EQ(QRNET_ClientStartMD(0x7FFFFF00u), 0);  // never issued

  uint32_t h = StartClient(QRNET_TRANSPORT_RTSP_TCP, 1, Address(DeadPort()));
  ASSERT_NE(h, 0u);
  uint8_t b = 0;
  EXPECT_EQ(QRNET_ClientGetVideoParam(h, &b, nullptr, nullptr), 0);
  EXPECT_EQ(QRNET_Set3DPosit(h, 1, 2, 3, 4), 0);
  QRNET_ClientStop(h);
  EXPECT_EQ(QRNET_ClientPTZCtrl(h, 1, 1), 0);  // stopped handle
}

TEST_F(DeviceControlTest, MalformedRepliesLeaveCallerBuffersUntouched) {
  // A motion read reply with only 15 region lines (17 lines in all).
  std::string md17 = "CMD:MD MCTP/1.0 CS\n";
  for (int i = 0; i < 15; ++i) md17 += "@2@1@" + std::to_string(i) + "@9@1@2@3@4\n";
  md17 += "END\n";
  CannedPeer peer(md17);
  uint32_t h = StartClient(QRNET_TRANSPORT_RTSP_TCP, 1, Address(peer.port()));
  ASSERT_NE(h, 0u);
  QRNET_MDInfo info;
  std::memset(&info, 0xCD, sizeof info);
  EXPECT_EQ(QRNET_ClientGetMDInfo(h, &info), 0);
  for (size_t i = 0; i < sizeof info; ++i) {
    ASSERT_EQ(reinterpret_cast<uint8_t*>(&info)[i], 0xCD) << i;
  }
  MotionState state = ReadMotionState(*CClientSession::Find(h));
  EXPECT_EQ(state.record.sensitivity[0], 0);
  // The same reply is no picture-parameter reply either.
  uint8_t b = 7, c = 7, s = 7;
  EXPECT_EQ(QRNET_ClientGetVideoParam(h, &b, &c, &s), 0);
  EXPECT_EQ(b + c + s, 21);
  // Any reply at all is enough for PTZ.
  EXPECT_EQ(QRNET_ClientPTZCtrl(h, 1, 1), 1);
}

// ---- Camera event channel --------------------------------------------------

class EventChannelTest : public DeviceControlTest {
 protected:
  void SetUp() override {
    DeviceControlTest::SetUp();
    host_ = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
    window_ = qrplat::RegisterWindow(host_);
    session_.InitLive(Param(QRNET_TRANSPORT_RTSP_TCP, 6, Address(device_.Port()), window_));
  }
  void TearDown() override {
    receiver_.Stop();
    qrplat::UnregisterWindow(window_);
    DeviceControlTest::TearDown();
  }
  // Collects notifications until `count` arrived or a generous bound passed.
  std::vector<qrplat::WindowMessage> Collect(size_t count) {
    std::vector<qrplat::WindowMessage> all;
    for (int i = 0; i < 50 && all.size() < count; ++i) {
      for (auto& m : host_->WaitMessages(100)) all.push_back(m);
    }
    return all;
  }

  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  CClientSession session_;
  CEventReceiver2 receiver_;
};

TEST_F(EventChannelTest, SubscribesWithSessionIdAndKeepsAlive) {
  ASSERT_TRUE(receiver_.Start(&session_, "5A3F0012"));
  ASSERT_TRUE(control_.WaitEventSubscribers(1, 5000));
  auto ids = control_.SubscribedSessionIds();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], "5A3F0012");
  // The first pass sends a keep-alive at once.
  for (int i = 0; i < 200 && control_.KeepAlives() == 0; ++i) qrplat::SleepMs(10);
  EXPECT_GE(control_.KeepAlives(), 1u);
}

TEST_F(EventChannelTest, MotionAndAlarmReportsBecomeNotificationsInOrder) {
  devicesim::ChannelControl ch;
  ch.regions[0] = {50, 1, 2, 3, 4};
  ch.regions[3] = {50, 100, 200, 300, 400};
  control_.SetChannel(6, ch);
  ASSERT_TRUE(receiver_.Start(&session_, "77"));
  ASSERT_TRUE(control_.WaitEventSubscribers(1, 5000));

  ASSERT_EQ(control_.PushMotion(6, 0x9), 1);
  ASSERT_EQ(control_.PushRaw(6, "CMD:ALARM MCTP/1.0 CS\n@1@5\nEND\n"), 1);  // not reported
  // Two messages in one write.
  ASSERT_EQ(control_.PushRaw(6,
                             "CMD:ALARM MCTP/1.0 CS\n@2@5\nEND\n"
                             "CMD:ALIVE MCTP/1.0 CS\nEND\n"
                             "CMD:MD MCTP/1.0 CS\n@0@1@1@5@6@7@8@0\nEND\n"),
            1);
  // One message over two writes.
  ASSERT_EQ(control_.PushRaw(6, "CMD:ALARM MCTP/1.0 CS\n@2@"), 1);
  qrplat::SleepMs(150);
  ASSERT_EQ(control_.PushRaw(6, "11\nEND\n"), 1);

  auto msgs = Collect(4);
  ASSERT_EQ(msgs.size(), 4u);
  for (auto& m : msgs) EXPECT_EQ(m.msg, kNotifyMessage);
  EXPECT_EQ(msgs[0].wparam, 2u);
  EXPECT_EQ(msgs[0].lparam, 9);
  EXPECT_EQ(msgs[1].wparam, 4u);
  EXPECT_EQ(msgs[1].lparam, 5);
  EXPECT_EQ(msgs[2].wparam, 2u);
  EXPECT_EQ(msgs[2].lparam, 2);
  EXPECT_EQ(msgs[3].wparam, 4u);
  EXPECT_EQ(msgs[3].lparam, 11);

  // The display finds the last report's mask and every reported rectangle.
  MotionState state = ReadMotionState(session_);
  EXPECT_EQ(state.mask, 2u);
  EXPECT_EQ(state.record.rect[3].left, 100);
  EXPECT_EQ(state.record.rect[3].bottom, 400);
  EXPECT_EQ(state.record.rect[1].right, 7);
  EXPECT_NE(state.tick[0], 0u);
}

TEST_F(EventChannelTest, RefusedSubscriptionStartsNothing) {
  control_.faults().result_value = 0;
  EXPECT_FALSE(receiver_.Start(&session_, "1"));
  EXPECT_FALSE(receiver_.IsRunning());
}

TEST_F(EventChannelTest, EndsWhenTheDeviceGoesAwayAndStopsPromptly) {
  ASSERT_TRUE(receiver_.Start(&session_, "1"));
  ASSERT_TRUE(control_.WaitEventSubscribers(1, 5000));
  device_.Stop();
  // The thread notices the closed channel by itself.
  EXPECT_TRUE(receiver_.WaitFor(5000));
  receiver_.Stop();
}

TEST_F(EventChannelTest, StopWhileIdleReturnsPromptly) {
  ASSERT_TRUE(receiver_.Start(&session_, "1"));
  ASSERT_TRUE(control_.WaitEventSubscribers(1, 5000));
  auto begin = std::chrono::steady_clock::now();
  receiver_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_TRUE(control_.WaitEventSubscribers(0, 5000));
}

// ---- Recorder alarm channel ------------------------------------------------

struct Reports {
  std::mutex mutex;
  std::vector<std::vector<int32_t>> calls;  // handle, kind, value, user value
};
Reports* g_reports = nullptr;

void RecordReport(uint32_t handle, int32_t kind, int32_t value, int32_t user) {
  std::lock_guard<std::mutex> lock(g_reports->mutex);
  g_reports->calls.push_back({int32_t(handle), kind, value, user});
}

class NvrAlarmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStartupSlotsForTest();
    g_reports = &reports_;
    QRNET_SetWaitTime(5, -1, 1);
    ASSERT_TRUE(server_.Start(0));
  }
  void TearDown() override {
    for (uint32_t h : handles_) QRNET_ClientNVRDisConnectAlarm(h);
    server_.Stop();
    ResetStartupSlotsForTest();
    QRNET_SetWaitTime(5, 1, 10);
    g_reports = nullptr;
  }
  uint32_t Connect(int32_t context) {
    uint32_t h = QRNET_ClientNVRConnectAlarm("127.0.0.1", server_.Port(), context);
    if (h != 0) handles_.push_back(h);
    return h;
  }
  // Waits for `count` callbacks in all.
  std::vector<std::vector<int32_t>> WaitCalls(size_t count) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> lock(reports_.mutex);
        if (reports_.calls.size() >= count) return reports_.calls;
      }
      qrplat::SleepMs(10);
    }
    std::lock_guard<std::mutex> lock(reports_.mutex);
    return reports_.calls;
  }

  Reports reports_;
  devicesim::NvrAlarmServer server_;
  std::vector<uint32_t> handles_;
};

TEST_F(NvrAlarmTest, ReportBecomesKindSevenCallbackWithOwnHandleAndContext) {
  StoreStartupSlots(0, 0, RecordReport, 0);
  uint32_t h = Connect(4242);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(server_.WaitClients(1, 5000));
  ASSERT_EQ(server_.SendReport(3, 2), 1);
  auto calls = WaitCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], (std::vector<int32_t>{int32_t(h), 7, 0x0203, 4242}));
  EXPECT_EQ(QRNET_ClientNVRDisConnectAlarm(h), 1);
  EXPECT_EQ(QRNET_ClientNVRDisConnectAlarm(h), 0);
  handles_.clear();
  EXPECT_TRUE(server_.WaitClients(0, 5000));
}

TEST_F(NvrAlarmTest, WithoutCallbackReportsAreDropped) {
  uint32_t h = Connect(1);
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(server_.WaitClients(1, 5000));
  ASSERT_EQ(server_.SendReport(1, 1), 1);
  // Wait until the receiver has dealt with it (however busy the machine).
  auto receiver = CHandleTable::Instance().FindAs<CNVREventReceiver>(h);
  ASSERT_TRUE(receiver);
  for (int i = 0; i < 1000 && receiver->reports_read() == 0; ++i) qrplat::SleepMs(10);
  ASSERT_EQ(receiver->reports_read(), 1u);
  // Registered later, the callback sees only later reports.
  StoreStartupSlots(0, 0, RecordReport, 0);
  ASSERT_EQ(server_.SendReport(9, 4), 1);
  auto calls = WaitCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0][2], 0x0409);
}

TEST_F(NvrAlarmTest, ReconnectsAfterServerRestartAndRefusedHandshake) {
  StoreStartupSlots(0, 0, RecordReport, 0);
  uint16_t port = server_.Port();
  ASSERT_NE(Connect(1), 0u);
  ASSERT_TRUE(server_.WaitClients(1, 5000));
  server_.Stop();
  server_.refuse_handshake = true;
  ASSERT_TRUE(server_.Start(port));
  // Refused handshakes are retried until the recorder accepts.
  qrplat::SleepMs(300);
  EXPECT_EQ(server_.Handshakes(), 0u);
  server_.refuse_handshake = false;
  ASSERT_TRUE(server_.WaitClients(1, 10000));
  ASSERT_EQ(server_.SendReport(2, 1), 1);
  auto calls = WaitCalls(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0][2], 0x0102);
}

TEST_F(NvrAlarmTest, RefusesLongHostsAndStopsWhileUnreachable) {
  EXPECT_EQ(QRNET_ClientNVRConnectAlarm(std::string(127, 'a').c_str(), 80, 0), 0u);
  EXPECT_EQ(QRNET_ClientNVRConnectAlarm(nullptr, 80, 0), 0u);
  EXPECT_EQ(QRNET_ClientNVRDisConnectAlarm(0), 0);
  // Waiting in its reconnect pause, the receiver still stops at once.
  QRNET_SetWaitTime(5, -1, 30);
  uint32_t h = QRNET_ClientNVRConnectAlarm("127.0.0.1", DeadPort(), 0);
  ASSERT_NE(h, 0u);
  qrplat::SleepMs(200);
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(QRNET_ClientNVRDisConnectAlarm(h), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
}

}  // namespace
}  // namespace quornet
