// The C API frame: record layout, address parsing, process settings, handles,
// the session's start and stop sequences with a test source, and the
// notification path.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/handle_table.h"
#include "api/process_state.h"
#include "net/av_source.h"
#include "qrplat/drives.h"
#include "qrplat/memory_window.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"

namespace quornet {
namespace {

// ---- A stream source driven by the test ---------------------------------------

struct Script {
  bool prepare_ok = true;
  bool start_ok = true;
  std::vector<std::pair<int32_t, int32_t>> reports;  // sent in order, then idle
};

std::atomic<int> g_live_sources{0};
std::atomic<int> g_releases{0};

class TestSource : public CAVSource {
 public:
  explicit TestSource(Script script) : script_(std::move(script)) { ++g_live_sources; }
  ~TestSource() override {
    Stop();
    --g_live_sources;
  }
  bool Prepare() override {
    work_ = std::make_unique<uint8_t[]>(4096);  // leaks show up under ASan
    return script_.prepare_ok;
  }
  void Release() override {
    work_.reset();
    ++g_releases;
  }
  int32_t Run() override {
    for (auto [kind, value] : script_.reports) {
      if (kind == 1) {
        session()->ReportLinkState(value);
      } else {
        session()->Notify(kind, value);
      }
    }
    // Idle like a source waiting on its conduit: only stopping the conduit
    // wakes this read.
    uint8_t buf[64];
    while (!StopRequested()) {
      if (video_conduit()->ReadFrame(buf, sizeof(buf), nullptr, nullptr, qrplat::kInfinite) == 0) {
        std::this_thread::yield();
      }
    }
    return 7;
  }
  int32_t Stop() override {
    stop_.store(true);
    Wait();
    return 0;
  }
  int32_t SetSpeed(int32_t) override { return 1; }
  int32_t StartThread() override { return script_.start_ok ? Start() : -1; }

 private:
  Script script_;
  std::unique_ptr<uint8_t[]> work_;
};

QRNET_ClientParam MakeParam(uint16_t transport, const char* address) {
  QRNET_ClientParam p{};
  p.transport = transport;
  p.view_flag = 1;
  p.channel = 1;
  p.notify_message = 1124;
  p.stream_option = 1;
  p.live_view_performance = -1;
  p.user_value = 77;
  std::snprintf(p.address, sizeof(p.address), "%s", address);
  std::snprintf(p.user, sizeof(p.user), "admin");
  std::snprintf(p.password, sizeof(p.password), "secret");
  return p;
}

class ClientApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetStartupSlotsForTest();
    ASSERT_EQ(QRNET_Startup(0, 0, nullptr, 0), 1);
    for (int kind = 0; kind <= 2; ++kind) {
      saved_[kind] = RegisterSourceFactory(
          kind, [this](CClientSession&) { return std::make_unique<TestSource>(script); });
    }
    g_releases = 0;
    table_size_ = CHandleTable::Instance().Size();
  }
  void TearDown() override {
    for (int kind = 0; kind <= 2; ++kind) RegisterSourceFactory(kind, saved_[kind]);
    ResetStartupSlotsForTest();
    EXPECT_EQ(g_live_sources.load(), 0);
    EXPECT_EQ(CHandleTable::Instance().Size(), table_size_);
  }

  Script script;
  SourceFactory saved_[3];
  size_t table_size_ = 0;
};

// ---- Record layout and address text ---------------------------------------------

TEST(ClientRecord, LayoutMatchesTheWireRecord) {
  EXPECT_EQ(sizeof(QRNET_ClientParam), 308u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, transport), 0u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, view_flag), 2u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, channel), 4u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, video_window), 8u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, notify_window), 12u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, notify_message), 16u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, stream_option), 20u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, nvr_manager_port), 24u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, live_view_performance), 28u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, user_value), 44u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, address), 48u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, user), 209u);
  EXPECT_EQ(offsetof(QRNET_ClientParam, password), 242u);
  EXPECT_EQ(sizeof(QRNET_ClientOutput), 12u);
  EXPECT_EQ(offsetof(QRNET_ClientOutput, frame_rate), 4u);
  EXPECT_EQ(offsetof(QRNET_ClientOutput, video_payload), 6u);
  EXPECT_EQ(offsetof(QRNET_ClientOutput, audio_codec), 7u);
  EXPECT_EQ(offsetof(QRNET_ClientOutput, bit_rate), 8u);
}

struct Parsed {
  char host[kHostSize];
  int32_t port;
  char path[kPathSuffixSize];
};

Parsed Parse(const char* field, size_t size) {
  Parsed p;
  ParseAddressText(field, size, p.host, &p.port, p.path);
  return p;
}
Parsed Parse(const char* text) {
  return Parse(text, std::strlen(text) + 1);
}

TEST(AddressText, HostPortAndPathSuffix) {
  Parsed p = Parse("10.0.0.5");
  EXPECT_STREQ(p.host, "10.0.0.5");
  EXPECT_EQ(p.port, 554);
  EXPECT_STREQ(p.path, "");

  p = Parse("10.0.0.5:8554/live/ch1");
  EXPECT_STREQ(p.host, "10.0.0.5");
  EXPECT_EQ(p.port, 8554);
  EXPECT_STREQ(p.path, "/live/ch1");

  p = Parse("cam.example/stream");
  EXPECT_STREQ(p.host, "cam.example");
  EXPECT_EQ(p.port, 554);
  EXPECT_STREQ(p.path, "/stream");

  // The first slash ends the scan: a colon after it belongs to the path.
  p = Parse("cam/a:80");
  EXPECT_STREQ(p.host, "cam");
  EXPECT_EQ(p.port, 554);
  EXPECT_STREQ(p.path, "/a:80");

  p = Parse("");
  EXPECT_STREQ(p.host, "");
  EXPECT_EQ(p.port, 554);
}

TEST(AddressText, PortThatIsNoPortFailsInsteadOfWrapping) {
  EXPECT_EQ(Parse("cam:").port, 0);
  EXPECT_EQ(Parse("cam:abc").port, 0);
  EXPECT_EQ(Parse("cam:70000").port, 0);  // would wrap to 4464
  EXPECT_EQ(Parse("cam:99999999999999999999").port, 0);
  EXPECT_EQ(Parse("cam:-5").port, 0);
  EXPECT_EQ(Parse("cam:65535").port, 65535);
}

TEST(AddressText, UnterminatedFieldIsNotReadPastItsEnd) {
  // Exactly 161 bytes on the heap, no terminator: ASan reports any overread.
  auto field = std::make_unique<char[]>(161);
  std::memset(field.get(), 'a', 161);
  Parsed p = Parse(field.get(), 161);
  EXPECT_EQ(std::strlen(p.host), 161u);
  EXPECT_EQ(p.port, 554);
  EXPECT_STREQ(p.path, "");

  field[150] = '/';
  p = Parse(field.get(), 161);
  EXPECT_EQ(std::strlen(p.host), 150u);
  EXPECT_EQ(std::strlen(p.path), 11u);
  EXPECT_EQ(p.path[0], '/');
}

TEST(TextField, TooLongTextLeavesFieldEmpty) {
  char field[8];
  CopyTextField(field, sizeof(field), "1234567");
  EXPECT_STREQ(field, "1234567");
  CopyTextField(field, sizeof(field), "12345678");
  EXPECT_STREQ(field, "");
  CopyTextField(field, sizeof(field), nullptr);
  EXPECT_STREQ(field, "");
}

// ---- Process-level settings ---------------------------------------------------------

TEST(ProcessSettings, WaitTimeClamping) {
  EXPECT_EQ(QRNET_SetWaitTime(0, -5, -1), 1);
  WaitTimes w = GetWaitTimes();
  EXPECT_EQ(w.connect_timeout_s, 5);
  EXPECT_EQ(w.reconnect_attempts, 1);
  EXPECT_EQ(w.reconnect_pause_s, 10);

  QRNET_SetWaitTime(3, -1, 0);
  w = GetWaitTimes();
  EXPECT_EQ(w.connect_timeout_s, 3);
  EXPECT_EQ(w.reconnect_attempts, -1);
  EXPECT_EQ(w.reconnect_pause_s, 0);

  QRNET_SetWaitTime(5, -1, 10);
}

void CallbackA(uint32_t, int32_t, int32_t, int32_t) {}
void CallbackB(uint32_t, int32_t, int32_t, int32_t) {}

TEST(ProcessSettings, SecondStartupKeepsFirstNonZeroSlots) {
  ResetStartupSlotsForTest();
  EXPECT_EQ(QRNET_Startup(0, 0, nullptr, 0), 1);
  EXPECT_EQ(QRNET_Startup(1, 0, CallbackA, 4), 1);
  EXPECT_EQ(QRNET_Startup(9, 2, CallbackB, 8), 1);
  EXPECT_EQ(StartupSlot(1), 1u);
  EXPECT_EQ(StartupSlot(2), 2u);  // was still empty
  EXPECT_EQ(StartupSlot(4), 4u);
  EXPECT_EQ(StatusCallback(), &CallbackA);
  ResetStartupSlotsForTest();
}

std::atomic<int> g_cleanups{0};
void CountCleanup() {
  ++g_cleanups;
}

TEST(ProcessSettings, CleanupRunsRegisteredHooksOnce) {
  AddCleanupHook(CountCleanup);
  AddCleanupHook(CountCleanup);
  QRNET_Cleanup();
  EXPECT_EQ(g_cleanups.load(), 1);
}

TEST(ProcessSettings, InertEntriesAndCallbackSetters) {
  int marker;
  EXPECT_EQ(QRNET_SetClipCallback(&marker), &marker);
  QRNET_SetAVCallback(&marker);
  QRNET_SetDecodeCallBack(&marker);
  QRNET_SetDrawCallback(&marker);
  QRNET_SetRGBDataCallback(&marker);
  QRNET_SetCaptureCallBack(&marker);
  EXPECT_EQ(QRNET_ClientShowcallback(0, 1, 2), 1);
  EXPECT_EQ(QRNET_ClientReplayStartClip(1, 2, 3, 4, 5, 6), 0);
  EXPECT_EQ(QRNET_ClientNVRReplayStartClip(1, 2, 3, 4, 5, 6, 7, 8, 9), 0);
  EXPECT_EQ(CreateImage(1, 2, 3, 4), 0);
  EXPECT_EQ(CreateRGBImage(1, 2, 3), 0);
  EXPECT_EQ(LoadImage2(1, 2), 0);
  EXPECT_EQ(QRNET_Log("%d", 1), 0);  // no log stream is open
}

// "HH-MM-SS  text"
bool IsTimeStamped(const std::string& line, const std::string& text) {
  if (line.size() != 10 + text.size() || line.compare(10, std::string::npos, text) != 0)
    return false;
  for (size_t i : {0, 1, 3, 4, 6, 7}) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  return line[2] == '-' && line[5] == '-' && line.compare(8, 2, "  ") == 0;
}

TEST(ProcessSettings, LogWriterAppendsTimeStampedLinesToDriveC) {
  std::string dir = ::testing::TempDir() + "qrnet_log_" + std::to_string(getpid());
  ASSERT_TRUE(qrplat::CreateDirectories(dir));
  const char* old = std::getenv("QRPLAT_DRIVES");
  std::string saved = old ? old : "";
  setenv("QRPLAT_DRIVES", ("C=" + dir + ":fixed").c_str(), 1);
  qrplat::ReloadDriveMap();

  LogWrite("open failed %d\n", 42);
  LogWrite("second\n");

  std::ifstream in(dir + "/qr_log.txt");
  std::string line1, line2;
  std::getline(in, line1);
  std::getline(in, line2);
  EXPECT_TRUE(IsTimeStamped(line1, "open failed 42")) << line1;
  EXPECT_TRUE(IsTimeStamped(line2, "second")) << line2;

  if (old) {
    setenv("QRPLAT_DRIVES", saved.c_str(), 1);
  } else {
    unsetenv("QRPLAT_DRIVES");
  }
  qrplat::ReloadDriveMap();
}

// ---- Handles --------------------------------------------------------------------------

void ExpectInvalidHandle(uint32_t h) {
  QRNET_ClientOutput out{};
  EXPECT_EQ(QRNET_GetClientState(h), 0xFFFF);
  EXPECT_EQ(QRNET_GetClientParam(h, &out), 0);
  EXPECT_EQ(QRNET_ClientStartView(h), 0);
  EXPECT_EQ(QRNET_ClientStopView(h), 0);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(h, 0), -1);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(h, 1), -1);
  EXPECT_EQ(QRNET_ClientPlayAudio(h), 0);
  EXPECT_EQ(QRNET_ClientStopAudio(h), 0);
  QRNET_StreamCounters counters{};
  counters.decode_errors = 77;
  EXPECT_EQ(QRNET_ClientGetStreamCounters(h, &counters), 0);
  EXPECT_EQ(counters.decode_errors, 77u);  // untouched
  EXPECT_EQ(QRNET_ClientStop(h), 0);
}

TEST_F(ClientApiTest, NullUnknownAndStaleHandlesGetFailureValues) {
  ExpectInvalidHandle(0);
  ExpectInvalidHandle(0xDEADBEEF);

  QRNET_ClientParam p = MakeParam(1, "127.0.0.1:1");
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  ASSERT_EQ(QRNET_ClientStop(h), 1);
  ExpectInvalidHandle(h);

  // A new client never gets the id of the stopped one.
  uint32_t h2 = QRNET_ClientStart(&p);
  ASSERT_NE(h2, 0u);
  EXPECT_NE(h2, h);
  ExpectInvalidHandle(h);
  EXPECT_EQ(QRNET_ClientStop(h2), 1);
}

TEST(HandleTable, ReservedIdsAreInvisibleAndKindsDoNotMix) {
  struct Other : CHandleObject {};
  CHandleTable& table = CHandleTable::Instance();
  uint32_t id = table.Reserve();
  ASSERT_NE(id, 0u);
  EXPECT_EQ(table.Find(id), nullptr);
  ASSERT_TRUE(table.Publish(id, std::make_shared<Other>()));
  EXPECT_FALSE(table.Publish(id, std::make_shared<Other>()));
  EXPECT_NE(table.Find(id), nullptr);
  // A client stop must not remove a handle of another kind.
  EXPECT_EQ(QRNET_ClientStop(id), 0);
  EXPECT_EQ(QRNET_GetClientState(id), 0xFFFF);
  EXPECT_NE(table.Find(id), nullptr);
  EXPECT_NE(table.Remove(id), nullptr);
  EXPECT_EQ(table.Find(id), nullptr);
}

// ---- Start and stop -------------------------------------------------------------------

TEST_F(ClientApiTest, StartKeepsRecordAndDefaultsStopFreesEverything) {
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1:8554/live/ch1");
  uint32_t h = QRNET_ClientStart_Trans(&p, 1001, 1);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_GetClientState(h), 1);

  QRNET_ClientOutput out{};
  ASSERT_EQ(QRNET_GetClientParam(h, &out), 1);
  EXPECT_EQ(out.width, 720);
  EXPECT_EQ(out.height, 576);
  EXPECT_EQ(out.frame_rate, 25);
  EXPECT_EQ(out.bit_rate, 512);
  EXPECT_EQ(QRNET_GetClientParam(h, nullptr), 0);

  {
    auto s = CClientSession::Find(h);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->handle(), h);
    EXPECT_STREQ(s->host, "127.0.0.1");
    EXPECT_STREQ(s->host2, "127.0.0.1");
    EXPECT_EQ(s->port, 8554);
    EXPECT_STREQ(s->path_suffix, "/live/ch1");
    EXPECT_EQ(s->channel_server_channel.load(), 1001);
    EXPECT_EQ(s->channel_server_flag.load(), 1);
    EXPECT_EQ(s->md_region_mode.load(), 2);
    EXPECT_STREQ(s->param().password, "secret");
    EXPECT_EQ(0, std::memcmp(&s->param(), &p, sizeof(p)));
    ASSERT_NE(s->video_conduit(), nullptr);
    EXPECT_EQ(s->source()->video_conduit(), s->video_conduit());
  }
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  EXPECT_EQ(g_releases.load(), 1);
}

TEST_F(ClientApiTest, OnlyTransportsWithASourceStart) {
  QRNET_ClientParam p = MakeParam(3, "127.0.0.1");
  EXPECT_EQ(QRNET_ClientStart(&p), 0u);
  p.transport = 0xFFFF;
  EXPECT_EQ(QRNET_ClientStart(&p), 0u);
  EXPECT_EQ(QRNET_ClientStart(nullptr), 0u);

  RegisterSourceFactory(2, nullptr);  // no private UDP source
  p.transport = 2;
  EXPECT_EQ(QRNET_ClientStart(&p), 0u);
  EXPECT_EQ(g_releases.load(), 0);
}

TEST_F(ClientApiTest, FailingPrepareOrThreadStartLeavesNothingBehind) {
  QRNET_ClientParam p = MakeParam(0, "127.0.0.1");
  script.prepare_ok = false;
  EXPECT_EQ(QRNET_ClientStart(&p), 0u);
  EXPECT_EQ(g_releases.load(), 1);  // released what prepare had made
  EXPECT_EQ(g_live_sources.load(), 0);

  script.prepare_ok = true;
  script.start_ok = false;
  EXPECT_EQ(QRNET_ClientStart(&p), 0u);
  EXPECT_EQ(g_releases.load(), 2);
  EXPECT_EQ(g_live_sources.load(), 0);
}

TEST_F(ClientApiTest, StartStopLoop) {
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  for (int i = 0; i < 50; ++i) {
    uint32_t h = QRNET_ClientStart(&p);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(QRNET_ClientStop(h), 1);
  }
  EXPECT_EQ(g_releases.load(), 50);
}

TEST_F(ClientApiTest, ExportsRacingAStopNeverTouchAFreedSession) {
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  for (int round = 0; round < 20; ++round) {
    uint32_t h = QRNET_ClientStart(&p);
    ASSERT_NE(h, 0u);
    std::atomic<bool> done{false};
    std::thread caller([&] {
      QRNET_ClientOutput out;
      while (!done.load()) {
        QRNET_GetClientState(h);
        QRNET_ClientStopAudio(h);
        QRNET_GetClientParam(h, &out);
        QRNET_ClientStopView(h);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(QRNET_ClientStop(h), 1);
    done = true;
    caller.join();
  }
}

// ---- Per-client settings ------------------------------------------------------------

TEST_F(ClientApiTest, ViewAudioAndLiveViewPerformance) {
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  auto s = CClientSession::Find(h);
  ASSERT_TRUE(s);

  EXPECT_EQ(QRNET_ClientPlayAudio(h), 1);
  EXPECT_EQ(s->audio_enabled.load(), 1);
  ASSERT_TRUE(s->audio_conduit()->Append("abcd", 4, 1, 0, 0));
  EXPECT_EQ(QRNET_ClientStopAudio(h), 1);
  EXPECT_EQ(s->audio_enabled.load(), 0);
  EXPECT_EQ(s->audio_conduit()->Buffered(), 0u);

  EXPECT_EQ(QRNET_GetLiveViewPerformance(h, 0), -1);
  const std::pair<int32_t, int32_t> autos[] = {{512, 300},      {0x100000, 300}, {0x100001, 500},
                                               {0x200000, 500}, {0x400000, 750}, {0x800000, 1100},
                                               {0x800001, 1500}};
  for (auto [rate, expect] : autos) {
    s->bit_rate_value.store(rate);
    EXPECT_EQ(QRNET_GetLiveViewPerformance(h, 1), expect) << rate;
  }
  s->frame_rate.store(0);
  EXPECT_EQ(QRNET_GetLiveViewPerformance(h, 1), -1);

  // Stop view returns only once the picture being drawn is finished.
  s->drawing.store(1);
  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    QRNET_ClientStopView(h);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(s->view_flag.load(), 0);
  s->drawing.store(0);
  stopper.join();
  EXPECT_TRUE(returned.load());
  EXPECT_EQ(QRNET_ClientStartView(h), 1);
  EXPECT_EQ(s->view_flag.load(), 1);

  s.reset();
  EXPECT_EQ(QRNET_ClientStop(h), 1);
}

TEST_F(ClientApiTest, StopEndsTalkFirst) {
  struct Talk : ITalk {
    explicit Talk(std::vector<std::string>* log) : log(log) {}
    void Stop() override { log->push_back("talk"); }
    std::vector<std::string>* log;
  };
  std::vector<std::string> log;
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  auto s = CClientSession::Find(h);
  EXPECT_TRUE(s->SetTalk(std::make_unique<Talk>(&log)));
  EXPECT_TRUE(s->SetTalk(std::make_unique<Talk>(&log)));  // stops the first
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_FALSE(s->HasTalk());
  EXPECT_FALSE(s->SetTalk(std::make_unique<Talk>(&log)));  // stopped session
  EXPECT_EQ(log.size(), 3u);
}

// ---- Notifications ------------------------------------------------------------------

TEST_F(ClientApiTest, NotificationsArriveAtTheWindowInOrder) {
  auto host = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
  uint32_t wnd = qrplat::RegisterWindow(host);
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  p.notify_window = wnd;
  script.reports = {{1, 0}, {2, 17}, {6, 4}, {1, 3}, {7, 0}};
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);

  std::vector<qrplat::WindowMessage> got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < script.reports.size() && std::chrono::steady_clock::now() < deadline) {
    for (auto& m : host->WaitMessages(100)) got.push_back(m);
  }
  ASSERT_EQ(got.size(), script.reports.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].msg, 1124u);
    EXPECT_EQ(int32_t(got[i].wparam), script.reports[i].first);
    EXPECT_EQ(got[i].lparam, script.reports[i].second);
  }
  EXPECT_EQ(QRNET_GetClientState(h), 3);  // the last stored link state
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  qrplat::UnregisterWindow(wnd);
}

struct Call {
  uint32_t handle;
  int32_t kind, value, user;
};
std::mutex g_calls_mutex;
std::vector<Call> g_calls;

void ThrowingCallback(uint32_t handle, int32_t kind, int32_t value, int32_t user) {
  {
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.push_back({handle, kind, value, user});
  }
  throw std::runtime_error("host callback failed");
}

TEST_F(ClientApiTest, StatusCallbackTakesPrecedenceAndItsExceptionsAreSwallowed) {
  ASSERT_EQ(QRNET_Startup(0, 0, ThrowingCallback, 0), 1);
  g_calls.clear();
  auto host = std::make_shared<qrplat::MemoryWindowHost>(320, 240);
  uint32_t wnd = qrplat::RegisterWindow(host);
  QRNET_ClientParam p = MakeParam(1, "127.0.0.1");
  p.notify_window = wnd;
  script.reports = {{1, 0}, {2, 5}, {1, 3}};
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_calls_mutex);
      if (g_calls.size() >= 3) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  ASSERT_EQ(g_calls.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(g_calls[i].handle, h);
    EXPECT_EQ(g_calls[i].kind, script.reports[i].first);
    EXPECT_EQ(g_calls[i].value, script.reports[i].second);
    EXPECT_EQ(g_calls[i].user, 77);
  }
  EXPECT_TRUE(host->TakeMessages().empty());
  qrplat::UnregisterWindow(wnd);
}

}  // namespace
}  // namespace quornet
