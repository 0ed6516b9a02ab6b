// Session keep-alive of the RTSP sources: servers that expire sessions after
// their announced timeout (the simulator's generic mode, gst-rtsp-server)
// keep streaming over UDP and TCP; banner devices that announce no timeout
// get no keep-alive; keep-alives do not disturb an NVR replay. Loopback only.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicesim/device.h"
#include "gst_rtsp_server.h"
#include "link_state_log.h"
#include "net/source_seams.h"
#include "quornet.h"
#include "session/client_session.h"
#include "session/conduit.h"

namespace quornet {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::LinkStates;
using test::OnStatus;
using test::WaitFor;

devicesim::Config SmallConfig() {
  devicesim::Config c;
  c.width = 320;
  c.height = 240;
  c.fps = 10;
  c.gop = 10;
  c.audio = devicesim::AudioCodec::kNone;
  return c;
}

// Reads the video conduit of one client on its own thread and keeps the
// longest time between two pictures.
class FrameWatch {
 public:
  explicit FrameWatch(uint32_t handle) : thread_([this, handle] { Run(handle); }) {}
  ~FrameWatch() {
    stop_ = true;
    thread_.join();
  }
  int frames() const { return frames_.load(); }
  int64_t longest_gap_ms() const { return longest_gap_ms_.load(); }

 private:
  void Run(uint32_t handle) {
    std::shared_ptr<CClientSession> session = CClientSession::Find(handle);
    if (!session) return;
    std::vector<uint8_t> buf(0x100000);
    Clock::time_point last{};
    while (!stop_) {
      uint32_t left = 0;
      FrameHeader header{};
      const uint32_t n = session->video_conduit()->ReadFrame(
          buf.data(), static_cast<uint32_t>(buf.size()), &left, &header, 100);
      if (n == 0) continue;
      const auto now = Clock::now();
      if (frames_++ > 0) {
        const int64_t gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
        longest_gap_ms_ = std::max<int64_t>(longest_gap_ms_, gap);
      }
      last = now;
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<int> frames_{0};
  std::atomic<int64_t> longest_gap_ms_{0};
  std::thread thread_;
};

class KeepAliveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, OnStatus, 0);
    QRNET_SetWaitTime(2, -1, 0);
    // Frames stay in the conduits for the test to read: no display thread.
    saved_sinks_ = RegisterMediaSinksFactory(nullptr);
  }
  void TearDown() override {
    for (uint32_t h : handles_) QRNET_ClientStop(h);
    RegisterMediaSinksFactory(std::move(saved_sinks_));
  }

  uint32_t Start(int transport, int port, int channel = 1) {
    QRNET_ClientParam p{};
    p.transport = static_cast<uint16_t>(transport);
    p.view_flag = 1;
    p.channel = channel;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d", port);
    const uint32_t h = QRNET_ClientStart(&p);
    EXPECT_NE(h, 0u);
    if (h) handles_.push_back(h);
    return h;
  }
  void Stop(uint32_t h) {
    handles_.erase(std::remove(handles_.begin(), handles_.end(), h), handles_.end());
    EXPECT_EQ(QRNET_ClientStop(h), 1);
  }

  // Requests that name a session and are neither set-up nor teardown: the
  // keep-alives (and, for replays, the speed requests).
  static std::vector<devicesim::RequestRecord> InSessionRequests(const devicesim::Device& d,
                                                                 const std::string& method) {
    std::vector<devicesim::RequestRecord> out;
    for (const auto& r : d.Requests()) {
      if (r.method == method && r.Header("Session") != nullptr) out.push_back(r);
    }
    return out;
  }

  MediaSinksFactory saved_sinks_;
  std::vector<uint32_t> handles_;
};

// A server that expires sessions 10 s after the last request: the simulator
// over UDP and TCP, and gst-rtsp-server over UDP, all streaming side by side
// for 40 s without a break or a link-state change.
TEST_F(KeepAliveTest, TenSecondSessionTimeoutStreamsFortySecondsWithoutABreak) {
  devicesim::Device device;
  devicesim::Config config = SmallConfig();
  config.session_timeout = 10s;
  config.expire_interleaved_sessions = true;
  ASSERT_TRUE(device.Start(config)) << device.Error();

  quornet_test::GstRtspServer gst;
  const bool with_gst = quornet_test::GstRtspServerAvailable();
  if (with_gst) {
    ASSERT_TRUE(gst.Start({"--mount", "/1", "--controls", "trackid", "--timeout", "10", "--size",
                           "320x240", "--fps", "10", "--duration", "120"}));
  }

  struct Client {
    const char* name;
    uint32_t handle;
    std::unique_ptr<FrameWatch> watch;
  };
  std::vector<Client> clients;
  clients.push_back({"simulator udp", Start(0, device.Port()), nullptr});
  clients.push_back({"simulator tcp", Start(1, device.Port()), nullptr});
  if (with_gst) clients.push_back({"gst-rtsp-server udp", Start(0, gst.port()), nullptr});
  for (Client& c : clients) {
    ASSERT_TRUE(WaitFor([&] { return QRNET_GetClientState(c.handle) == 0; }, 10s)) << c.name;
    c.watch = std::make_unique<FrameWatch>(c.handle);
  }

  std::this_thread::sleep_for(40s);

  for (Client& c : clients) {
    EXPECT_EQ(LinkStates(c.handle), (std::vector<int>{1, 0})) << c.name;
    EXPECT_GT(c.watch->frames(), 300) << c.name;  // 10 fps
    EXPECT_LT(c.watch->longest_gap_ms(), 2500) << c.name;
    c.watch.reset();
  }
  // A keep-alive right after the start, then one about every 5 s, on each
  // of the simulator's connections.
  std::map<uint64_t, int> per_connection;
  for (const auto& r : InSessionRequests(device, "GET_PARAMETER")) {
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.body.empty());
    ++per_connection[r.connection];
  }
  ASSERT_EQ(per_connection.size(), 2u);
  for (auto [connection, count] : per_connection) {
    EXPECT_GE(count, 7) << connection;
    EXPECT_LE(count, 12) << connection;
  }
  if (!with_gst) GTEST_SKIP() << "no gst-rtsp-server bindings: simulator only";
}

// Banner devices that announce no session timeout never see a keep-alive;
// a banner device that announces one, and a generic server with or without
// one, get the first right after the stream starts.
TEST_F(KeepAliveTest, KeepAliveOnlyWhereTheServerKindOrItsTimeoutAsksForIt) {
  struct Scenario {
    const char* name;
    devicesim::Mode mode;
    std::chrono::milliseconds timeout;
    bool keep_alive;
  };
  const Scenario scenarios[] = {
      {"banner, no timeout", devicesim::Mode::kBanner, 0ms, false},
      {"banner, 30 s timeout", devicesim::Mode::kBanner, 30s, true},
      {"generic, no timeout", devicesim::Mode::kGeneric, 0ms, true},
  };
  for (const Scenario& s : scenarios) {
    devicesim::Device device;
    devicesim::Config config = SmallConfig();
    config.mode = s.mode;
    config.session_timeout = s.timeout;
    ASSERT_TRUE(device.Start(config)) << device.Error();
    const uint32_t udp = Start(0, device.Port());
    const uint32_t tcp = Start(1, device.Port());
    ASSERT_TRUE(WaitFor(
        [&] { return QRNET_GetClientState(udp) == 0 && QRNET_GetClientState(tcp) == 0; }, 10s))
        << s.name;
    // The first keep-alive goes out with the stream's start; give it time.
    const bool seen = WaitFor(
        [&] {
          std::map<uint64_t, int> per_connection;
          for (const auto& r : InSessionRequests(device, "GET_PARAMETER")) {
            ++per_connection[r.connection];
          }
          return per_connection.size() == 2;
        },
        s.keep_alive ? 5s : 1500ms);
    EXPECT_EQ(seen, s.keep_alive) << s.name;
    EXPECT_TRUE(InSessionRequests(device, "OPTIONS").empty()) << s.name;
    if (s.keep_alive) {
      for (const auto& r : InSessionRequests(device, "GET_PARAMETER")) {
        EXPECT_EQ(r.url, device.Url(1)) << s.name;
        EXPECT_TRUE(r.body.empty()) << s.name;
      }
    }
    Stop(udp);
    Stop(tcp);
  }
}

// A server that refuses GET_PARAMETER (501) gets OPTIONS with the session
// from then on, and its session does not expire.
TEST_F(KeepAliveTest, RefusedGetParameterFallsBackToOptions) {
  devicesim::Device device;
  devicesim::Config config = SmallConfig();
  config.session_timeout = 2s;
  config.expire_interleaved_sessions = true;
  device.faults().refuse_get_parameter = true;
  ASSERT_TRUE(device.Start(config)) << device.Error();
  const uint32_t udp = Start(0, device.Port());
  const uint32_t tcp = Start(1, device.Port());
  ASSERT_TRUE(WaitFor(
      [&] { return QRNET_GetClientState(udp) == 0 && QRNET_GetClientState(tcp) == 0; }, 10s));
  std::this_thread::sleep_for(5s);  // two and a half timeouts
  EXPECT_EQ(LinkStates(udp), (std::vector<int>{1, 0}));
  EXPECT_EQ(LinkStates(tcp), (std::vector<int>{1, 0}));
  std::map<uint64_t, int> get_parameter, options;
  for (const auto& r : InSessionRequests(device, "GET_PARAMETER")) {
    EXPECT_EQ(r.status, 501);
    ++get_parameter[r.connection];
  }
  for (const auto& r : InSessionRequests(device, "OPTIONS")) {
    EXPECT_EQ(r.url, device.Url(1));
    ++options[r.connection];
  }
  ASSERT_EQ(get_parameter.size(), 2u);
  ASSERT_EQ(options.size(), 2u);
  for (auto [connection, count] : get_parameter) EXPECT_EQ(count, 1) << connection;
  for (auto [connection, count] : options) EXPECT_GE(count, 3) << connection;
}

// An NVR replay whose recorder announces a 4 s timeout: a keep-alive every
// two seconds in the replay's own URL form, between pauses and speed
// changes, and the pictures keep coming.
TEST_F(KeepAliveTest, KeepAliveDoesNotDisturbAReplay) {
  for (int transport : {0, 1}) {
    devicesim::Device device;
    devicesim::Config config = SmallConfig();
    config.mode = devicesim::Mode::kRecorder;
    config.session_timeout = 4s;
    config.expire_interleaved_sessions = true;
    ASSERT_TRUE(device.Start(config)) << device.Error();
    QRNET_ClientParam p{};
    p.transport = static_cast<uint16_t>(transport);
    p.view_flag = 1;
    p.channel = 3;
    p.stream_option = 1;
    std::snprintf(p.address, sizeof p.address, "127.0.0.1:%d", device.Port());
    const uint32_t h = QRNET_ClientNVRReplay(&p, "20240102030405", 0);
    ASSERT_NE(h, 0u);
    handles_.push_back(h);
    ASSERT_TRUE(WaitFor([&] { return QRNET_GetClientState(h) == 0; }, 10s)) << transport;
    auto watch = std::make_unique<FrameWatch>(h);
    for (int exponent : {1, -1, 0, 2, 0}) {
      std::this_thread::sleep_for(900ms);
      EXPECT_EQ(QRNET_SetSpeed(h, exponent), 1);
    }
    std::this_thread::sleep_for(4s);  // past the timeout with keep-alives only
    // A replay that stopped sends nothing more; on a loaded machine the next
    // pictures may take a while (a full second without one was seen once).
    const int frames_before = watch->frames();
    EXPECT_TRUE(WaitFor([&] { return watch->frames() > frames_before + 2; }, 6s))
        << transport << ": the replay stopped; sessions on the device: " << device.ActiveSessions();
    watch.reset();
    EXPECT_EQ(LinkStates(h), (std::vector<int>{1, 0})) << transport;
    const auto keep_alives = InSessionRequests(device, "GET_PARAMETER");
    EXPECT_GE(keep_alives.size(), 3u) << transport;
    for (const auto& r : keep_alives) {
      EXPECT_NE(r.url.find("/replay/03?stime=20240102030405"), std::string::npos) << r.url;
      EXPECT_EQ(r.status, 200);
    }
    int speed_changes = 0;
    for (const auto& r : device.Requests()) {
      if (r.method == "PAUSE" || (r.method == "PLAY" && r.Header("Scale"))) {
        EXPECT_EQ(r.status, 200) << r.method << " " << transport;
        speed_changes += r.method == "PAUSE";
      }
    }
    EXPECT_EQ(speed_changes, 5) << transport;
    Stop(h);
  }
}

}  // namespace
}  // namespace quornet
