// Recorder management, channel server and alarm outputs through the C API,
// against the simulated recorder, channel server and camera. Loopback only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/control_link.h"
#include "control/nvr_http.h"
#include "devicesim/device.h"
#include "devicesim/nvr.h"
#include "media/display_seams.h"
#include "net/av_source.h"
#include "qrplat/memory_window.h"
#include "qrplat/window.h"
#include "quornet.h"
#include "session/client_session.h"
#include "tests/idle_source.h"

namespace quornet {
namespace {

using Clock = std::chrono::steady_clock;

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

long ElapsedMs(Clock::time_point since) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A caller's record followed by guard bytes that no call may touch.
template <class T>
struct Guarded {
  static constexpr size_t kGuard = 256;
  std::unique_ptr<uint8_t[]> bytes{new uint8_t[sizeof(T) + kGuard]};
  Guarded() { std::memset(bytes.get(), 0xA5, sizeof(T) + kGuard); }
  T* get() { return reinterpret_cast<T*>(bytes.get()); }
  T* operator->() { return get(); }
  bool GuardIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (bytes[sizeof(T) + i] != 0xA5) return false;
    }
    return true;
  }
};

const char kHeaderTail[] =
    "\r\nAccept: text/plain, */*; q=0.01\r\nAccept-Language: zh-CN\r\n"
    "Accept-Encoding: gzip, deflate\r\nUser-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64; "
    "Trident/7.0; rv:11.0) like Gecko\r\nHost: 127.0.0.1\r\nDNT: 1\r\nConnection: Keep-Alive\r\n"
    "Cookie: UserType=admin; usercookie=";

std::string Expected(const std::string& line, const std::string& cookie) {
  return line + kHeaderTail + cookie + "\r\n\r\n";
}

class NvrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, 0, 0);
    ctl::SetNvrCallDeadlineMs(2500);
    ASSERT_TRUE(nvr_.Start());
    nvr_.SetCookie("c00k1e42");
    nvr_.SetRtspPort(8554);
    nvr_.SetCameras(
        {{1, "1.0.168.192", 0, "gate"}, {2, "not.an.addr", 0, "bad"}, {3, "1.0.0.127", 1, "yard"}});
  }
  void TearDown() override {
    nvr_.Stop();
    ctl::SetNvrCallDeadlineMs(0);
  }
  int32_t GetChannels(QRNET_NVRChannelList* list, int32_t login, const char* user = "admin",
                      const char* pass = "admin") {
    return QRNET_ClientNVRGetChannels("127.0.0.1", nvr_.Port(), user, pass, list, 0, login);
  }

  devicesim::NvrServer nvr_;
};

TEST_F(NvrTest, CameraListLogsInListsAndReadsTheRtspPortOnOneConnection) {
  Guarded<QRNET_NVRChannelList> list;
  ASSERT_EQ(GetChannels(list.get(), 1), 2);
  EXPECT_EQ(std::string(list->cookie, 8), "c00k1e42");
  EXPECT_EQ(list->rtsp_port, 8554);
  EXPECT_EQ(list->count, 2);
  EXPECT_STREQ(list->entry[0].address, "192.168.0.1");
  EXPECT_EQ(list->entry[0].channel, 1);
  EXPECT_STREQ(list->entry[1].address, "127.0.0.1");
  EXPECT_EQ(list->entry[1].channel, 3);
  EXPECT_EQ(list->reserved0, 0xA5);  // not written
  EXPECT_TRUE(list.GuardIntact());

  auto log = nvr_.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].text,
            Expected("GET /manager?action=login&username=admin&passwd=admin&time=1402025254350 "
                     "HTTP/1.1",
                     "7c3e19a4"));
  EXPECT_EQ(log[1].text,
            Expected("GET /manager?action=ipcbaseqry&time=1402025254547 HTTP/1.1", "c00k1e42"));
  EXPECT_EQ(log[2].text,
            Expected("GET /manager?action=getrtspport&time=1402044892385 HTTP/1.1", "c00k1e42"));
  EXPECT_EQ(log[0].connection, log[2].connection);

  // Without "rtsp=" the port is 554; without cameras the count is 0.
  nvr_.SetRtspPort(0);
  ASSERT_EQ(GetChannels(list.get(), 1), 2);
  EXPECT_EQ(list->rtsp_port, 554);
  nvr_.SetCameras({});
  EXPECT_EQ(GetChannels(list.get(), 1), 0);
}

TEST_F(NvrTest, AuthenticationRequiredLogsInOnceAndRepeats) {
  Guarded<QRNET_NVRChannelList> list;
  ASSERT_EQ(GetChannels(list.get(), 1), 2);
  nvr_.SetCookie("fresh001");  // the stored cookie is stale now
  nvr_.ClearLog();
  ASSERT_EQ(GetChannels(list.get(), 0), 2);
  EXPECT_EQ(std::string(list->cookie, 8), "fresh001");
  auto log = nvr_.Requests();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_NE(log[0].text.find("usercookie=c00k1e42\r\n"), std::string::npos);
  EXPECT_EQ(log[1].text.rfind("GET /manager?action=login&", 0), 0u);
  EXPECT_NE(log[2].text.find("usercookie=fresh001\r\n"), std::string::npos);

  // A recorder that keeps asking gets one login, then the call gives up.
  nvr_.SetActionError("ipcbaseqry", "Authentication Required");
  nvr_.ClearLog();
  EXPECT_EQ(GetChannels(list.get(), 0), QRNET_NVR_REFUSED);
  int logins = 0;
  for (const auto& r : nvr_.Requests()) logins += r.text.find("action=login") != std::string::npos;
  EXPECT_EQ(logins, 1);
  EXPECT_EQ(nvr_.Requests().size(), 3u);
}

TEST_F(NvrTest, LoginRefusalsKeepTheStoredCookie) {
  Guarded<QRNET_NVRChannelList> list;
  std::memcpy(list->cookie, "keepthis", 8);
  EXPECT_EQ(GetChannels(list.get(), 1, "nobody"), QRNET_NVR_USER_NOT_EXIST);
  EXPECT_EQ(GetChannels(list.get(), 1, "admin", "wrong"), QRNET_NVR_REFUSED);
  nvr_.SetLoginError("User already loged in");
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_ALREADY_LOGGED);
  EXPECT_EQ(std::string(list->cookie, 8), "keepthis");
  // Texts that would change the request are refused before anything is sent.
  nvr_.ClearLog();
  EXPECT_EQ(GetChannels(list.get(), 1, "ad min"), QRNET_NVR_REFUSED);
  EXPECT_EQ(GetChannels(list.get(), 1, "admin", "a&b"), QRNET_NVR_REFUSED);
  EXPECT_EQ(GetChannels(list.get(), 1, "admin\r\nX: 1"), QRNET_NVR_REFUSED);
  EXPECT_TRUE(nvr_.Requests().empty());
}

TEST_F(NvrTest, ConnectionFailuresGiveTheirCodes) {
  Guarded<QRNET_NVRChannelList> list;
  Guarded<QRNET_NVRRecordList> records;
  const uint16_t dead = DeadPort();
  EXPECT_EQ(QRNET_ClientNVRGetChannels("127.0.0.1", dead, "a", "b", list.get(), 0, 1),
            QRNET_NVR_RECV_FAILED);
  EXPECT_EQ(QRNET_ClientNVRGetChannels("", dead, "a", "b", list.get(), 0, 1),
            QRNET_NVR_RESOLVE_FAILED);
  EXPECT_EQ(QRNET_ClientNVRRecordQuery("127.0.0.1", dead, "a", "b", 0, nullptr, "d", "s",
                                       records.get(), 0, 1),
            QRNET_NVR_RESOLVE_FAILED);
  Guarded<QRNET_FileServerChannelList> fs;
  EXPECT_EQ(QRNET_ClientFileServerGetChannel("127.0.0.1", dead, fs.get()), QRNET_NVR_RECV_FAILED);
  Guarded<QRNET_NVRPresetList> presets;
  EXPECT_EQ(QRNET_ClientNVRPtzGetPreset("127.0.0.1", dead, 1, presets.get(), "a", "b", 0, 1), 0);

  nvr_.faults().close_at_once = true;
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_RECV_FAILED);
  nvr_.faults().close_at_once = false;
  nvr_.faults().close_mid_reply = true;
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_RECV_FAILED);
  nvr_.faults().close_mid_reply = false;
  nvr_.faults().status = 500;
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_REFUSED);
  nvr_.faults().status = 200;
  nvr_.SetRawBody("ipcbaseqry", "Response=Success\r\nno list here");
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_NO_LIST);
  EXPECT_TRUE(list.GuardIntact());
}

TEST_F(NvrTest, SplitChunkedAndUnframedRepliesParseAlike) {
  Guarded<QRNET_NVRChannelList> list;
  nvr_.faults().split_bytes = 7;
  nvr_.faults().split_delay_ms = 2;
  EXPECT_EQ(GetChannels(list.get(), 1), 2);
  EXPECT_EQ(list->rtsp_port, 8554);
  nvr_.faults().split_bytes = 0;
  nvr_.faults().chunked = true;
  std::memset(list.get(), 0, sizeof *list.get());
  EXPECT_EQ(GetChannels(list.get(), 1), 2);
  EXPECT_STREQ(list->entry[1].address, "127.0.0.1");
  nvr_.faults().chunked = false;
  // Replies ended by closing: each request needs a connection of its own.
  nvr_.faults().no_length = true;
  nvr_.ClearLog();
  EXPECT_EQ(GetChannels(list.get(), 1), 2);
  EXPECT_EQ(list->rtsp_port, 8554);
  auto log = nvr_.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[0].connection, log[1].connection);
  EXPECT_NE(log[1].connection, log[2].connection);
  EXPECT_TRUE(list.GuardIntact());
}

TEST_F(NvrTest, OverLongReplyFillsTheRecordAndIsNotReadAsTheNextReply) {
  std::vector<devicesim::NvrCamera> many;
  for (int i = 1; i <= 400; ++i) many.push_back({i, "1.0.0.127", 0, std::string(40, 'n')});
  nvr_.SetCameras(many);
  Guarded<QRNET_NVRChannelList> list;
  int32_t n = GetChannels(list.get(), 1);
  // The 8 KiB reply buffer holds fewer entries than the reply; what fits is
  // kept, and the RTSP port comes from a reply of its own on a new connection.
  EXPECT_GT(n, 10);
  EXPECT_LE(n, QRNET_NVR_MAX_CAMERAS);
  EXPECT_EQ(list->entry[n - 1].channel, n);
  EXPECT_EQ(list->rtsp_port, 8554);
  auto log = nvr_.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_NE(log[1].connection, log[2].connection);
  EXPECT_TRUE(list.GuardIntact());

  // Long texts are cut to their fields; long lists stop at the maximum.
  many.clear();
  for (int i = 1; i <= 200; ++i) many.push_back({i, "1.0.0.127", 1, std::string(200, 'x')});
  nvr_.SetCameras(many);
  Guarded<QRNET_FileServerChannelList> fs;
  n = QRNET_ClientFileServerGetChannel("127.0.0.1", nvr_.Port(), fs.get());
  EXPECT_GT(n, 0);
  EXPECT_EQ(fs->count, n);  // never negative
  EXPECT_EQ(std::strlen(fs->entry[0].name), 130u);
  EXPECT_TRUE(fs.GuardIntact());
}

TEST_F(NvrTest, TricklingRecorderEndsAtTheCallDeadline) {
  nvr_.faults().trickle = true;
  Guarded<QRNET_NVRChannelList> list;
  auto t0 = Clock::now();
  EXPECT_EQ(GetChannels(list.get(), 1), QRNET_NVR_RECV_FAILED);
  EXPECT_LT(ElapsedMs(t0), 8000);  // deadline 2.5 s, generous margin
  nvr_.faults().trickle = false;
}

TEST_F(NvrTest, RecordSearchAndFileServerCalls) {
  nvr_.SetRecords("20140611", {{1, 0, "20140611080000", "20140611090000", 0},
                               {2, 1, "20140611100000", "20140611103000", 1},
                               {3, 0, "20140611110000", "20140611113000", 0}});
  Guarded<QRNET_NVRRecordList> list;
  const int32_t flags[] = {1, 1};
  ASSERT_EQ(QRNET_ClientNVRRecordQuery("127.0.0.1", nvr_.Port(), "admin", "admin", 2, flags,
                                       "20140611", "000000", list.get(), 0, 1),
            2);
  EXPECT_EQ(list->count, 2);
  EXPECT_EQ(std::string(list->cookie, 8), "c00k1e42");
  const QRNET_NVRRecordEntry& e = list->entry[1];
  EXPECT_EQ(e.channel, 2);
  EXPECT_EQ(e.type, 1);
  EXPECT_STREQ(e.begin, "20140611100000");
  EXPECT_STREQ(e.end, "20140611103000");
  EXPECT_EQ(e.lock, 1);
  EXPECT_EQ(e.reserved[0], 0xA5);
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=recordquery&datestr=20140611&starttime=000000&chan1=1&"
                     "chan2=1&chan3=0&chan4=0&locktype=alltype&time=1402476336110 HTTP/1.1",
                     "c00k1e42"));
  EXPECT_EQ(QRNET_ClientNVRRecordQuery("127.0.0.1", nvr_.Port(), "admin", "admin", 2, flags,
                                       "20990101", "000000", list.get(), 0, 1),
            0);

  // The file server searches with the record's cookie and lists cameras with
  // the fixed one.
  ASSERT_EQ(QRNET_ClientFileServerRecordQuery("127.0.0.1", nvr_.Port(), 2, flags, "20140611",
                                              "000000", list.get()),
            2);
  Guarded<QRNET_FileServerChannelList> fs;
  ASSERT_EQ(QRNET_ClientFileServerGetChannel("127.0.0.1", nvr_.Port(), fs.get()), 3);
  EXPECT_EQ(fs->count, 3);
  EXPECT_EQ(fs->entry[2].type, 1);
  EXPECT_STREQ(fs->entry[2].name, "yard");
  EXPECT_EQ(fs->entry[2].channel, 3);
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=ipcbaseqry&time=1402025254547 HTTP/1.1", "00000000"));
  nvr_.SetCameras({});
  EXPECT_EQ(QRNET_ClientFileServerGetChannel("127.0.0.1", nvr_.Port(), fs.get()), 0);
  EXPECT_TRUE(list.GuardIntact());
  EXPECT_TRUE(fs.GuardIntact());
}

TEST_F(NvrTest, PresetsAreReadAddedEditedRecalledAndRemoved) {
  nvr_.SetPresets(2, {{1, "gate"}, {4, "yard"}});
  Guarded<QRNET_NVRPresetList> list;
  ASSERT_EQ(
      QRNET_ClientNVRPtzGetPreset("127.0.0.1", nvr_.Port(), 2, list.get(), "admin", "admin", 0, 1),
      1);
  EXPECT_EQ(list->count, 2);
  EXPECT_EQ(std::string(list->cookie, 8), "c00k1e42");
  EXPECT_EQ(list->entry[1].preset, 4);
  EXPECT_STREQ(list->entry[1].name, "yard");
  EXPECT_TRUE(list.GuardIntact());
  EXPECT_EQ(
      nvr_.Requests().back().text,
      Expected("GET /manager?action=getpreset&chan=2&time=1402025254547 HTTP/1.1", "c00k1e42"));
  char cookie[8];
  std::memcpy(cookie, list->cookie, 8);  // no terminator

  int32_t number = 0;
  ASSERT_EQ(
      QRNET_ClientNVRPtzSetPreset("127.0.0.1", nvr_.Port(), 2, &number, "door", cookie, 0, 0, 0, 0),
      1);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=setpreset&chan=2&type=add&name=door&time=1402025254547 "
                     "HTTP/1.1",
                     "c00k1e42"));
  ASSERT_EQ(QRNET_ClientNVRPtzSetPreset("127.0.0.1", nvr_.Port(), 2, &number, "porch", cookie, 0, 0,
                                        0, 0),
            1);
  EXPECT_EQ(nvr_.Presets(2).back().name, "porch");
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=setpreset&chan=2&type=edit&preset=5&name=porch&"
                     "time=1402025254547 HTTP/1.1",
                     "c00k1e42"));
  int32_t missing = 9;
  EXPECT_EQ(
      QRNET_ClientNVRPtzSetPreset("127.0.0.1", nvr_.Port(), 2, &missing, "x", cookie, 0, 0, 0, 0),
      0);
  EXPECT_EQ(QRNET_ClientNVRPtzSetPreset("127.0.0.1", nvr_.Port(), 2, &number, "two words", cookie,
                                        0, 0, 0, 0),
            0);
  EXPECT_EQ(
      QRNET_ClientNVRPtzGotoRemovePreset("127.0.0.1", nvr_.Port(), 2, 4, 1, cookie, 0, 0, 0, 0), 1);
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=gotoremovepreset&chan=2&cmd=1&preset=4&"
                     "time=1402025254547 HTTP/1.1",
                     "c00k1e42"));
  EXPECT_EQ(
      QRNET_ClientNVRPtzGotoRemovePreset("127.0.0.1", nvr_.Port(), 2, 4, 2, cookie, 0, 0, 0, 0), 1);
  EXPECT_EQ(nvr_.Presets(2).size(), 2u);
  EXPECT_EQ(
      QRNET_ClientNVRPtzGotoRemovePreset("127.0.0.1", nvr_.Port(), 2, 4, 1, cookie, 0, 0, 0, 0),
      0);  // error reply: gone
}

QRNET_ClientParam Param(int transport, int channel, uint16_t port, uint32_t window = 0) {
  QRNET_ClientParam p{};
  p.transport = uint16_t(transport);
  p.view_flag = 1;
  p.channel = channel;
  p.video_window = window;
  p.notify_window = window;
  p.notify_message = 1124;
  p.stream_option = 1;
  p.live_view_performance = -1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port));
  return p;
}

// Puts the idle source in for the interleaved and private UDP transports.
class IdleSources {
 public:
  IdleSources() {
    for (int kind : {kSourceRtspTcp, kSourceUdp}) {
      previous_.push_back(RegisterSourceFactory(
          kind, [](CClientSession&) { return std::make_unique<test::IdleSource>(); }));
    }
  }
  ~IdleSources() {
    RegisterSourceFactory(kSourceRtspTcp, previous_[0]);
    RegisterSourceFactory(kSourceUdp, previous_[1]);
  }

 private:
  std::vector<SourceFactory> previous_;
};

TEST_F(NvrTest, PtzGoesToTheClientsRecorderChannelAndErrorsAreNotSuccess) {
  IdleSources idle;
  QRNET_ClientParam p = Param(QRNET_TRANSPORT_RTSP_TCP, 25, DeadPort());
  p.nvr_manager_port = nvr_.Port();
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  Guarded<QRNET_NVRChannelList> list;
  ASSERT_EQ(GetChannels(list.get(), 1), 2);
  ASSERT_EQ(QRNET_ClientNVRPTZCtrl(h, 200, 7, list->cookie, 0), 1);
  ASSERT_EQ(QRNET_ClientNVRPTZCtrl(h, 12, 3, list->cookie, 0), 1);
  auto ptz = nvr_.PtzLog();
  ASSERT_EQ(ptz.size(), 2u);
  EXPECT_EQ(ptz[0].channel, 2);
  EXPECT_EQ(ptz[0].cmd, 2);
  EXPECT_EQ(ptz[0].arg1, 2);
  EXPECT_EQ(ptz[0].arg2, 7);
  EXPECT_EQ(ptz[1].cmd, 3);
  EXPECT_EQ(ptz[1].arg1, 12);
  EXPECT_EQ(nvr_.Requests().back().text,
            Expected("GET /manager?action=ptzcontrol&chan=2&cmd=3&arg1=12&arg2=3&"
                     "time=1403160041502 HTTP/1.1",
                     "c00k1e42"));
  // A stale cookie gets an error reply, which is not a success.
  EXPECT_EQ(QRNET_ClientNVRPTZCtrl(h, 1, 1, "deadbeef", 0), QRNET_NVR_REFUSED);
  EXPECT_EQ(QRNET_ClientStop(h), 1);
  EXPECT_EQ(QRNET_ClientNVRPTZCtrl(h, 1, 1, list->cookie, 0), 0);

  QRNET_ClientParam u = Param(QRNET_TRANSPORT_UDP, 25, DeadPort());
  u.nvr_manager_port = nvr_.Port();
  h = QRNET_ClientStart(&u);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ClientNVRPTZCtrl(h, 1, 1, list->cookie, 0), 0);
  QRNET_ClientStop(h);
  QRNET_ClientParam dead = Param(QRNET_TRANSPORT_RTSP_TCP, 25, DeadPort());
  dead.nvr_manager_port = DeadPort();
  h = QRNET_ClientStart(&dead);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(QRNET_ClientNVRPTZCtrl(h, 1, 1, list->cookie, 0), QRNET_NVR_RECV_FAILED);
  QRNET_ClientStop(h);
}

// ---- Channel server and alarm outputs ------------------------------------------

class ChannelServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, 0, 0);
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(server_.StartWeb());
  }
  int32_t Query(int channel = 3) {
    return QRNET_QueryServerChannel("127.0.0.1", server_.Port(), "cam.local", 554, channel, "admin",
                                    "pw");
  }
  devicesim::ChannelServer server_;
};

TEST_F(ChannelServerTest, KeyQueryIsByteExactAndSplitRepliesGiveTheWholeKey) {
  server_.SetKey(3, 123);
  EXPECT_EQ(Query(), 123);
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0],
            "SYSTEM QUERY KEY\nhost:cam.local\nchannel:3\nrtsp port:554\nuser:admin\npsw:pw\n"
            "END\n");
  // "SYSTEM OK\nchannel:1" then "23\nEND\n", and every other cut.
  for (int piece : {1, 2, 19}) {
    server_.faults().split_bytes = piece;
    server_.faults().split_delay_ms = 3;
    EXPECT_EQ(Query(), 123) << piece;
  }
  server_.faults().split_bytes = 0;
  EXPECT_EQ(Query(4), 0);  // no key for that channel
  server_.SetRefuseKeys(true);
  EXPECT_EQ(Query(), QRNET_CS_NO_KEY);
  server_.SetRefuseKeys(false);
  server_.SetRawKeyReply("SYSTEM OK\nEND\n");
  EXPECT_EQ(Query(), QRNET_CS_NO_KEY);
  server_.SetRawKeyReply("SYSTEM OK\nchannel:12");  // ended by closing
  EXPECT_EQ(Query(), 12);
  server_.SetRawKeyReply("");
  server_.ClearLog();
  EXPECT_EQ(
      QRNET_QueryServerChannel("127.0.0.1", server_.Port(), "cam", 554, 3, "admin\nEND", "pw"),
      QRNET_CS_NO_KEY);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(ChannelServerTest, FailuresGiveTheirCodesWithinTheTimeOuts) {
  EXPECT_EQ(QRNET_QueryServerChannel("127.0.0.1", DeadPort(), "h", 554, 1, "u", "p"),
            QRNET_CS_CONNECT_FAILED);
  EXPECT_EQ(QRNET_QueryServerChannel("", server_.Port(), "h", 554, 1, "u", "p"),
            QRNET_CS_RESOLVE_FAILED);
  char table[QRNET_CS_CHANNEL_TABLE_SIZE];
  EXPECT_EQ(QRNET_ClientGetServerChannels("127.0.0.1", DeadPort(), "admin", "admin", table),
            QRNET_CS_CONNECT_FAILED);
  server_.faults().close_at_once = true;
  EXPECT_EQ(Query(), QRNET_CS_RECV_FAILED);
  EXPECT_EQ(QRNET_ClientGetServerChannels("127.0.0.1", server_.Port(), "admin", "admin", table),
            QRNET_CS_RECV_FAILED);
  server_.faults().close_at_once = false;
  server_.faults().trickle = true;
  auto t0 = Clock::now();
  EXPECT_EQ(Query(), QRNET_CS_RECV_FAILED);  // never complete: not judged
  EXPECT_LT(ElapsedMs(t0), 7000);            // 3 x 1000 ms, generous margin
  server_.faults().trickle = false;
}

TEST_F(ChannelServerTest, TablesPassThroughAndTheirFirstByteIsNotAnErrorCode) {
  std::string table_bytes = "\xFB";
  for (int i = 0; i < 20000; ++i) table_bytes += char(i);
  server_.SetTable(table_bytes);
  server_.faults().split_bytes = 4000;
  server_.faults().split_delay_ms = 5;
  std::vector<uint8_t> table(QRNET_CS_CHANNEL_TABLE_SIZE + 64, 0xA5);
  EXPECT_EQ(
      QRNET_ClientGetServerChannels("127.0.0.1", server_.Port(), "admin", "admin", table.data()),
      0xFB);
  EXPECT_EQ(std::memcmp(table.data(), table_bytes.data(), table_bytes.size()), 0);
  EXPECT_EQ(table[QRNET_CS_CHANNEL_TABLE_SIZE], 0xA5);
  EXPECT_EQ(server_.Requests().back(), "QRURF CMD=GET CHANNEL AUTH=YWRtaW46YWRtaW4=\r\n");
  server_.faults().split_bytes = 0;

  // An answer longer than the caller's buffer stops at the buffer.
  server_.SetTable(std::string(QRNET_CS_CHANNEL_TABLE_SIZE + 5000, '\x07'));
  EXPECT_EQ(
      QRNET_ClientGetServerChannels("127.0.0.1", server_.Port(), "admin", "admin", table.data()),
      7);
  EXPECT_EQ(table[QRNET_CS_CHANNEL_TABLE_SIZE], 0xA5);
}

TEST_F(ChannelServerTest, UpdateSendsTheTableOnlyAfterOkAndBoundsItsLength) {
  const uint32_t send[4] = {3, 10, 20, 30};
  std::vector<uint8_t> result(QRNET_CS_UPDATE_RESULT_SIZE, 0);
  server_.SetUpdateResult(
      "\x09"
      "done");
  ASSERT_EQ(QRNET_ClientUpdateServerChannel("127.0.0.1", server_.Port(), "admin", "admin", send,
                                            result.data()),
            9);
  EXPECT_EQ(std::memcmp(result.data(),
                        "\x09"
                        "done",
                        5),
            0);
  EXPECT_EQ(server_.LastUpdateTable(), std::string(reinterpret_cast<const char*>(send), 16));
  auto log = server_.Requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], "QRURF CMD=UPDATE CHANNEL AUTH=YWRtaW46YWRtaW4=\r\n");

  server_.SetRefuseUpdate(true);
  server_.ClearLog();
  EXPECT_EQ(QRNET_ClientUpdateServerChannel("127.0.0.1", server_.Port(), "admin", "admin", send,
                                            result.data()),
            QRNET_CS_NO_KEY);
  EXPECT_EQ(server_.Requests().size(), 1u);  // no table after the refusal
  server_.SetRefuseUpdate(false);

  // A length word beyond any table is refused before connecting.
  const uint32_t huge[1] = {0x40000000};
  server_.ClearLog();
  EXPECT_EQ(QRNET_ClientUpdateServerChannel("127.0.0.1", server_.Port(), "admin", "admin", huge,
                                            result.data()),
            QRNET_CS_SEND_FAILED);
  EXPECT_TRUE(server_.Requests().empty());
  server_.faults().close_at_once = true;
  EXPECT_EQ(QRNET_ClientUpdateServerChannel("127.0.0.1", server_.Port(), "admin", "admin", send,
                                            result.data()),
            QRNET_CS_EMPTY_REPLY);
  server_.faults().close_at_once = false;
}

TEST_F(ChannelServerTest, AlarmOutputThroughTheServerAndTheWebInterface) {
  // Twice on: 1 both times, the output stays on.
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(QRNET_ClientStartAlarmOut(0, "127.0.0.1", server_.Port(), 4, "admin", "admin", 1), 1);
  }
  EXPECT_TRUE(server_.AlarmOut(4));
  EXPECT_EQ(server_.Requests().back(), "QRURF CMD=ALARMOUT STATE=1\r\nCHANNEL=4\r\n");
  server_.faults().split_bytes = 3;  // "200 OK" arrives in pieces
  EXPECT_EQ(QRNET_ClientStopAlarmOut(0, "127.0.0.1", server_.Port(), 4, "admin", "admin", 1), 1);
  server_.faults().split_bytes = 0;
  EXPECT_FALSE(server_.AlarmOut(4));

  // Direct: the web port is the RTSP port minus 2000.
  const int rtsp_port = server_.WebPort() + 2000;
  server_.ClearLog();
  ASSERT_EQ(QRNET_ClientStartAlarmOut(0, "127.0.0.1", rtsp_port, 2, "admin", "admin", 0), 1);
  EXPECT_TRUE(server_.AlarmOut(2));
  ASSERT_EQ(server_.Requests().size(), 1u);
  EXPECT_EQ(server_.Requests()[0],
            "GET /goform/device?cmd=set&channel=2&alarmout.status=1 HTTP/1.1\r\n"
            "Accept: */*\r\nAccept-Language: zh-cn\r\nReferer: http://127.0.0.1/Pages/wifi.html\r\n"
            "If-Modified-Since: 0\r\nAccept-Encoding: gzip, deflate\r\n"
            "User-Agent: Client/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; InfoPath.2; .NET "
            "CLR 2.0.50727)\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n"
            "Authorization: Basic YWRtaW46YWRtaW4=\r\n\r\n");
  EXPECT_EQ(QRNET_ClientStopAlarmOut(0, "127.0.0.1", rtsp_port, 2, "admin", "wrong", 0), 0);
  EXPECT_TRUE(server_.AlarmOut(2));
  EXPECT_EQ(QRNET_ClientStopAlarmOut(0, "127.0.0.1", rtsp_port, 2, "admin", "admin", 0), 1);
  EXPECT_FALSE(server_.AlarmOut(2));
  // Ports of 2000 and below have no web port.
  EXPECT_EQ(QRNET_ClientStartAlarmOut(0, "127.0.0.1", 1554, 2, "admin", "admin", 0), 0);
  EXPECT_EQ(QRNET_ClientStartAlarmOut(0, "127.0.0.1", DeadPort(), 2, "admin", "admin", 1), 0);
}

TEST_F(ChannelServerTest, AlarmOutputFlagOfTheClientFollowsSuccessfulCommands) {
  IdleSources idle;
  QRNET_ClientParam p = Param(QRNET_TRANSPORT_RTSP_TCP, 1, DeadPort());
  uint32_t h = QRNET_ClientStart(&p);
  ASSERT_NE(h, 0u);
  auto session = CClientSession::Find(h);
  ASSERT_TRUE(session);
  EXPECT_FALSE(SessionAlarmOutOn(*session));
  ASSERT_EQ(QRNET_ClientStartAlarmOut(h, "127.0.0.1", server_.Port(), 1, "admin", "admin", 1), 1);
  EXPECT_TRUE(SessionAlarmOutOn(*session));
  // A failed command leaves the flag as it was.
  server_.faults().close_at_once = true;
  EXPECT_EQ(QRNET_ClientStopAlarmOut(h, "127.0.0.1", server_.Port(), 1, "admin", "admin", 1), 0);
  EXPECT_TRUE(SessionAlarmOutOn(*session));
  server_.faults().close_at_once = false;
  ASSERT_EQ(QRNET_ClientStopAlarmOut(h, "127.0.0.1", server_.Port(), 1, "admin", "admin", 1), 1);
  EXPECT_FALSE(SessionAlarmOutOn(*session));
  session.reset();
  QRNET_ClientStop(h);
}

// ---- Live view through the channel server ----------------------------------------

class TransTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QRNET_Startup(0, 0, 0, 0);
    QRNET_SetWaitTime(5, -1, 1);
    devicesim::Config cfg;
    cfg.width = 320;
    cfg.height = 240;
    cfg.gop = 10;
    cfg.audio = devicesim::AudioCodec::kNone;
    server_.Attach(device_);
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
  // Waits for link-state notification `value`.
  bool WaitLinkState(int32_t value, uint32_t timeout_ms) {
    auto t0 = Clock::now();
    while (ElapsedMs(t0) < long(timeout_ms)) {
      for (const auto& m : host_->WaitMessages(200)) {
        if (m.msg == 1124 && m.wparam == 1 && m.lparam == value) return true;
      }
    }
    return false;
  }
  // Red "ALARM" pixels in the top right corner of the last picture.
  int AlarmPixels() {
    qrplat::Image img = host_->LastImage();
    int n = 0;
    for (int y = 0; y < 22 && y < img.height; ++y) {
      for (int x = img.width - 95; x < img.width; ++x) {
        if (x < 0) continue;
        uint32_t p = img.At(x, y);
        if (((p >> 16) & 0xFF) > 200 && ((p >> 8) & 0xFF) < 60 && (p & 0xFF) < 60) ++n;
      }
    }
    return n;
  }

  devicesim::Device device_;
  devicesim::ChannelServer server_;
  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  uint32_t handle_ = 0;
};

TEST_F(TransTest, StartTransShowsTheChannelOfTheServersKeyAndTheAlarmMark) {
  server_.SetKey(1001, 7);
  QRNET_ClientParam p = Param(QRNET_TRANSPORT_RTSP_TCP, 1000, device_.Port(), window_);
  handle_ = QRNET_ClientStart_Trans(&p, 1001, 1);
  ASSERT_NE(handle_, 0u);
  ASSERT_TRUE(host_->WaitPresents(5, 20000)) << "no pictures";
  EXPECT_EQ(QRNET_GetClientState(handle_), 0);
  ASSERT_FALSE(server_.Requests().empty());
  EXPECT_EQ(server_.Requests()[0], "SYSTEM QUERY KEY\nchannel:1001\nEND\n");
  bool keyed = false;
  char path[32];
  std::snprintf(path, sizeof path, ":%d/7", int(device_.Port()));
  for (const auto& r : device_.Requests()) {
    if (r.method == "DESCRIBE") keyed = r.url.find(path) != std::string::npos;
  }
  EXPECT_TRUE(keyed) << "the stream was not asked for under the server's key";

  // The alarm output switched on through the server shows on the picture.
  const int before = AlarmPixels();
  ASSERT_EQ(QRNET_ClientStartAlarmOut(handle_, "127.0.0.1", device_.Port(), 1, "admin", "admin", 1),
            1);
  const uint64_t presents = host_->PresentCount();
  ASSERT_TRUE(host_->WaitPresents(presents + 5, 10000));
  EXPECT_GT(AlarmPixels(), before + 20);
}

TEST_F(TransTest, FailedAndZeroKeyQueriesReportSevenAndEight) {
  server_.SetRefuseKeys(true);
  QRNET_ClientParam p = Param(QRNET_TRANSPORT_RTSP_TCP, 1000, device_.Port(), window_);
  handle_ = QRNET_ClientStart_Trans(&p, 1001, 1);
  ASSERT_NE(handle_, 0u);
  EXPECT_TRUE(WaitLinkState(7, 10000));
  server_.SetRefuseKeys(false);  // unknown channel: key 0
  EXPECT_TRUE(WaitLinkState(8, 10000));
  server_.SetKey(1001, 2);  // and once the server knows it, the stream runs
  EXPECT_TRUE(WaitLinkState(0, 15000));
  EXPECT_EQ(QRNET_GetClientState(handle_), 0);
}

}  // namespace
}  // namespace quornet
