// The simulated device driven with raw request texts over loopback sockets,
// written the way the viewer's RTSP client writes them.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "devicesim/device.h"
#include "rtsp_proto.h"
#include "rtsp_test_client.h"

namespace devicesim {
namespace {

using testing::Interleaved;
using testing::RawRtspClient;
using testing::RtpMarker;
using testing::RtpSeq;
using testing::RtspReply;
using testing::UdpReceiver;

constexpr const char* kUa = "User-Agent: Halvenmoore Client\r\n";

Config SmallConfig() {
  Config c;
  c.width = 320;
  c.height = 240;
  c.fps = 25;
  c.audio = AudioCodec::kPcma;
  return c;
}

class DeviceTest : public ::testing::Test {
 protected:
  void Start(const Config& c) { ASSERT_TRUE(dev_.Start(c)) << dev_.Error(); }
  std::string Host() { return "127.0.0.1"; }
  std::string HostPort() { return "127.0.0.1:" + std::to_string(dev_.Port()); }
  void TearDown() override {
    const auto t0 = std::chrono::steady_clock::now();
    dev_.Stop();  // with clients still connected: must not hang
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  }

  std::optional<RtspReply> Ask(RawRtspClient& c, const std::string& text) {
    if (!c.Send(text)) return std::nullopt;
    return c.ReadReply();
  }

  // Session id as the viewer's client reads it: after "Session:" and one
  // more character, upper-case hexadecimal digits.
  static std::string SessionId(const RtspReply& r) {
    const size_t p = r.head.find("Session:");
    if (p == std::string::npos) return {};
    std::string id;
    for (size_t i = p + 9; i < r.head.size() && id.size() < 31; ++i) {
      const char ch = r.head[i];
      if (!((ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'F'))) break;
      id += ch;
    }
    return id;
  }

  // Reads frames until one on `channel` arrives.
  static std::optional<Interleaved> FrameOn(RawRtspClient& c, uint8_t channel, int timeout_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
      auto f = c.ReadFrame(200);
      if (f && f->channel == channel) return f;
    }
    return std::nullopt;
  }

  // Counts complete pictures (marker packets on channel 0) during `ms`.
  static int PicturesDuring(RawRtspClient& c, int ms) {
    int n = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      auto f = c.ReadFrame(50);
      if (f && f->channel == 0 && RtpMarker(f->data)) ++n;
    }
    return n;
  }

  Device dev_;
};

TEST_F(DeviceTest, RecorderUrlFormsServeLiveAndReplayOverInterleavedTcp) {
  Config c = SmallConfig();
  c.mode = Mode::kRecorder;
  Start(c);
  const std::string hp = HostPort(), h = Host();

  // Live, recorder scheme: channel 10 is "/monitor/010".
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    auto r = Ask(cl, "DESCRIBE rtsp://" + hp +
                         "/monitor/010 RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n" + kUa +
                         "\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->head;
    EXPECT_EQ(r->Header("CSeq"), "1");
    EXPECT_NE(r->body.find("track1"), std::string::npos);
    EXPECT_NE(r->body.find("track2"), std::string::npos);
    EXPECT_NE(r->body.find("a=rtpmap:8 PCMA/8000"), std::string::npos);
    const size_t sp = r->body.find("sprop-parameter-sets=");
    ASSERT_NE(sp, std::string::npos);
    EXPECT_NE(r->body.find(',', sp), std::string::npos);

    r = Ask(cl, "SETUP rtsp://" + h + "/monitor/010/track1 RTSP/1.0\r\nCSeq: 2\r\n" + kUa +
                    "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->head;
    const std::string sid = SessionId(*r);
    ASSERT_GE(sid.size(), 8u);
    EXPECT_EQ(r->Header("Session").substr(0, sid.size()), sid);  // whole id is upper-case hex
    EXPECT_NE(r->Header("Transport").find("interleaved=0-1"), std::string::npos);

    r = Ask(cl, "SETUP rtsp://" + h + "/monitor/010/track2 RTSP/1.0\r\nCSeq: 3\r\nSession: " + sid +
                    "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n" + kUa + "\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->head;
    EXPECT_EQ(SessionId(*r), sid);

    r = Ask(cl, "PLAY rtsp://" + h + "/monitor/010/ RTSP/1.0\r\nCSeq: 4\r\nSession: " + sid +
                    "\r\nRange: npt=0.000-\r\n" + kUa + "\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->head;

    // Video on channel 0 starts with the parameter sets and runs without
    // gaps; audio comes on channel 2.
    std::vector<std::vector<uint8_t>> video, audio;
    while (video.size() < 20 || audio.size() < 3) {
      auto f = cl.ReadFrame(5000);
      ASSERT_TRUE(f);
      ASSERT_TRUE(f->channel == 0 || f->channel == 2) << int(f->channel);
      ASSERT_GE(f->data.size(), 13u);
      (f->channel == 0 ? video : audio).push_back(f->data);
    }
    EXPECT_EQ(video[0][0] >> 6, 2);     // RTP version 2
    EXPECT_EQ(video[0][1] & 0x7f, 96);  // H.264
    EXPECT_EQ(video[0][12] & 0x1f, 7);  // SPS first
    for (size_t i = 1; i < video.size(); ++i)
      EXPECT_EQ(static_cast<uint16_t>(RtpSeq(video[i - 1]) + 1), RtpSeq(video[i]));
    EXPECT_EQ(audio[0][1] & 0x7f, 8);        // PCMA
    EXPECT_EQ(audio[0].size(), 12u + 160u);  // 20 ms at 8000 Hz
    EXPECT_GT(dev_.FramesSent(), 0u);

    r = Ask(cl, "TEARDOWN rtsp://" + h + "/monitor/010 RTSP/1.0\r\nCSeq: 5\r\nSession: " + sid +
                    "\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(dev_.ActiveSessions(), 0u);
  }

  // Replay: the URL carries the start time; Scale changes the pace.
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    const std::string stime = "20240131T120000";
    auto r = Ask(cl, "DESCRIBE rtsp://" + hp + "/replay/01?stime=" + stime +
                         " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n" + kUa + "\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_NE(r->body.find("rtpmap:96 H264/90000"), std::string::npos);
    r = Ask(cl, "SETUP rtsp://" + h + "/replay/01?stime=" + stime +
                    "/track1 RTSP/1.0\r\nCSeq: 2\r\n" + kUa +
                    "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    const std::string sid = SessionId(*r);
    r = Ask(cl, "PLAY rtsp://" + h + "/replay/01?stime=" + stime + "/ RTSP/1.0\r\nCSeq: 3\r\n" +
                    "Session: " + sid + "\r\nScale: 1.000000\r\nRange: npt=0.000-\r\n" + kUa +
                    "\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->Header("Scale"), "1.000000");
    const int normal = PicturesDuring(cl, 1500);
    EXPECT_GT(normal, 10);

    // Set speed as the client does it: pause, then PLAY with the new Scale.
    r = Ask(cl, "PAUSE rtsp://" + h + "/replay/01?stime=" + stime + " RTSP/1.0\r\nCSeq: 4\r\n" +
                    "Session: " + sid + "\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    while (cl.ReadFrame(300)) {
      // Drain what was under way: quiet for 300 ms, however slow the machine.
    }
    EXPECT_EQ(PicturesDuring(cl, 600), 0);

    r = Ask(cl, "PLAY rtsp://" + h + "/replay/01?stime=" + stime + " RTSP/1.0\r\nCSeq: 5\r\n" +
                    "Session: " + sid + "\r\nScale: 4.000000\r\nRange: npt=0.000-\r\n\r\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->Header("Scale"), "4.000000");
    const int fast = PicturesDuring(cl, 1500);
    // Nominally four times as many; a busy machine may not encode that fast,
    // so only a clear speed-up is required.
    EXPECT_GT(2 * fast, 3 * normal) << "normal " << normal << " fast " << fast;

    // Keep-alive form of the recorder scheme.
    cl.Send("GET_PARAMETER rtsp://" + h + "/replay/01?stime=" + stime +
            " RTSP/1.0\r\nCSeq: 6\r\nSession: " + sid + "\r\nContent-Length: 7\r\n\r\nalive\r\n");
    r = cl.ReadReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->Header("CSeq"), "6");
  }

  // What the device received is logged with method, URL and headers.
  const auto log = dev_.Requests();
  ASSERT_GE(log.size(), 10u);
  EXPECT_EQ(log[0].method, "DESCRIBE");
  EXPECT_EQ(log[0].url, "rtsp://" + hp + "/monitor/010");
  ASSERT_NE(log[0].Header("user-agent"), nullptr);
  EXPECT_EQ(*log[0].Header("User-Agent"), "Halvenmoore Client");
  EXPECT_EQ(log[0].status, 200);
  EXPECT_EQ(log.back().method, "GET_PARAMETER");
  EXPECT_EQ(log.back().body, "alive\r\n");
}

TEST_F(DeviceTest, GenericAndBannerModesServeNumericAndPathUrls) {
  Config c = SmallConfig();
  c.mode = Mode::kBanner;
  c.codec = VideoCodec::kMjpeg;
  c.audio = AudioCodec::kG726_32;
  c.bitrate_kbps = 4096;
  Start(c);
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  const std::string base = dev_.Url(1);
  auto r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n" +
                       kUa + "\r\n");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  // The banner, then 43 characters on from its line start "W*H*F*kbps\r\n".
  const std::string text = r->head;
  const std::string banner = "\r\nServer: HalvenMoore Rtsp Server V200R001";
  const size_t b = text.find(banner);
  ASSERT_NE(b, std::string::npos) << text;
  int w = 0, hgt = 0, fps = 0, kbps = 0;
  char end[3] = {};
  ASSERT_EQ(std::sscanf(text.c_str() + b + 43, "%d*%d*%d*%d%2c", &w, &hgt, &fps, &kbps, end), 5);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(hgt, 240);
  EXPECT_EQ(fps, 25);
  EXPECT_EQ(kbps, 4096);
  EXPECT_EQ(std::string(end, 2), "\r\n");
  EXPECT_NE(r->body.find("a=rtpmap:26 JPEG/90000"), std::string::npos);
  EXPECT_NE(r->body.find("a=rtpmap:97 G726-32/8000"), std::string::npos);

  // SETUP "%s/trackID=%c" on the base URL, over UDP.
  UdpReceiver video;
  ASSERT_TRUE(video.Open());
  const std::string vp = std::to_string(video.port());
  r = Ask(cl, "SETUP " + base + "/trackID=1 RTSP/1.0\r\nCSeq: 2\r\n" + kUa +
                  "Transport: RTP/AVP;unicast;client_port=" + vp + "-" +
                  std::to_string(video.port() + 1) + "\r\n\r\n");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->head;
  const std::string sid = SessionId(*r);
  const std::string tr = r->Header("Transport");
  const size_t sp = tr.find("server_port");
  ASSERT_NE(sp, std::string::npos);
  EXPECT_GT(std::atoi(tr.c_str() + sp + 12), 0);
  r = Ask(cl, "PLAY " + base + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + sid +
                  "\r\nRange: npt=0.000-\r\n" + kUa + "\r\n");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200);
  auto p = video.Receive(5000);
  ASSERT_TRUE(p);
  ASSERT_GE(p->size(), 20u);
  EXPECT_EQ((*p)[1] & 0x7f, 26);
  EXPECT_EQ((*p)[18], 40);  // width / 8
  EXPECT_EQ((*p)[19], 30);  // height / 8
  Ask(cl, "TEARDOWN " + base + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + sid + "\r\n\r\n");

  // Any other path is served as the generic stream; unknown channels are not.
  RawRtspClient c2;
  ASSERT_TRUE(c2.Connect(dev_.Port()));
  r = Ask(c2, "DESCRIBE " + dev_.BaseUrl() + "/live/main RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  r = Ask(c2, "DESCRIBE " + dev_.BaseUrl() + "/10000 RTSP/1.0\r\nCSeq: 2\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
}

TEST_F(DeviceTest, RefusesBadRequestsWithErrorReplies) {
  Start(SmallConfig());
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  const std::string u = dev_.Url(1);
  auto r = Ask(cl, "OPTIONS " + u + " RTSP/1.0\r\n\r\n");  // no CSeq
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  r = Ask(cl, "PLAY " + u + " RTSP/1.0\r\nCSeq: 2\r\nSession: 0BADBAD0\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 454);
  r = Ask(cl, "SETUP " + u + "/trackID=1 RTSP/1.0\r\nCSeq: 3\r\nTransport: RAW/RAW/UDP\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 461);
  r = Ask(cl, "SETUP " + u + " RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP/TCP\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 459);
  r = Ask(cl, "RECORD " + u + " RTSP/1.0\r\nCSeq: 5\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 501);
  EXPECT_EQ(r->Header("CSeq"), "5");
  // An interleaved frame from the client (RTCP) is skipped, whatever it holds.
  std::string frame = "$\x01\xff\xff";
  frame += std::string(65535, '\xee');
  r = Ask(cl, frame + "OPTIONS * RTSP/1.0\r\nCSeq: 6\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_NE(r->Header("Public").find("GET_PARAMETER"), std::string::npos);
  // A header block without end: 400 and the connection is closed.
  cl.Send("DESCRIBE " + u + " RTSP/1.0\r\n" + std::string(20000, 'x'));
  r = cl.ReadReply();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 400);
  EXPECT_TRUE(cl.WaitClosed(5000));
}

TEST_F(DeviceTest, SurvivesRandomBytesAndKeepsServing) {
  Start(SmallConfig());
  std::mt19937 rng(7);
  for (int conn = 0; conn < 20; ++conn) {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    std::string junk;
    // Half of the connections start like a request, so the parser gets past
    // the request line into the headers.
    if (conn % 2) junk = "SETUP " + dev_.Url(1) + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\n";
    const size_t n = 1 + rng() % 3000;
    for (size_t i = 0; i < n; ++i) {
      const char pool[] = "$\r\n:; =-0123456789ABCDEFSETUPPLAYTransport RTP/AVP/TCP";
      junk += rng() % 4 ? pool[rng() % (sizeof pool - 1)] : static_cast<char>(rng());
    }
    cl.Send(junk + "\r\n\r\n");
    while (cl.ReadReply(100)) {
    }
  }
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  auto r = Ask(cl, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

TEST_F(DeviceTest, DigestChallengeIsVerifiedAndWrongCredentialsAreRefusedAgain) {
  Config c = SmallConfig();
  c.auth = AuthScheme::kDigest;
  c.user = "admin";
  c.pass = "s3cret";
  Start(c);
  const std::string base = dev_.Url(1);
  auto describe_with = [&](RawRtspClient& cl, const std::string& pass,
                           std::string* challenge) -> int {
    auto r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n" +
                         kUa + "\r\n");
    if (!r || r->status != 401) return r ? r->status : -1;
    const std::string www = r->Header("WWW-Authenticate");
    *challenge = www;
    auto value = [&](const std::string& key) {
      const size_t p = www.find(key + "=\"");
      return www.substr(p + key.size() + 2, www.find('"', p + key.size() + 2) - p - key.size() - 2);
    };
    const std::string realm = value("realm"), nonce = value("nonce");
    const std::string resp = DigestResponse("admin", realm, pass, "DESCRIBE", base, nonce);
    r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n" +
                    "Authorization: Digest username=\"admin\", realm=\"" + realm + "\", nonce=\"" +
                    nonce + "\", uri=\"" + base + "\", response=\"" + resp + "\"\r\n" + kUa +
                    "\r\n");
    return r ? r->status : -1;
  };
  RawRtspClient good;
  ASSERT_TRUE(good.Connect(dev_.Port()));
  std::string challenge;
  EXPECT_EQ(describe_with(good, "s3cret", &challenge), 200);
  EXPECT_EQ(challenge.rfind("Digest ", 0), 0u) << challenge;
  EXPECT_NE(challenge.find("realm=\""), std::string::npos);
  EXPECT_NE(challenge.find("nonce=\""), std::string::npos);

  RawRtspClient bad;
  ASSERT_TRUE(bad.Connect(dev_.Port()));
  EXPECT_EQ(describe_with(bad, "guess", &challenge), 401);

  // SETUP without credentials (no session yet) is challenged as well.
  auto r = Ask(bad, "SETUP " + base + "/trackID=1 RTSP/1.0\r\nCSeq: 3\r\n" +
                        "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);

  dev_.faults().refuse_credentials = true;
  RawRtspClient refused;
  ASSERT_TRUE(refused.Connect(dev_.Port()));
  EXPECT_EQ(describe_with(refused, "s3cret", &challenge), 401);
}

TEST_F(DeviceTest, BasicCredentialsAreChecked) {
  Config c = SmallConfig();
  c.auth = AuthScheme::kBasic;
  c.user = "user";
  c.pass = "pw";
  Start(c);
  const std::string base = dev_.Url(1);
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  auto r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  EXPECT_EQ(r->Header("WWW-Authenticate").rfind("Basic ", 0), 0u);
  r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 2\r\nAuthorization: Basic " +
                  Base64Encode("user:wrong") + "\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  r = Ask(cl, "DESCRIBE " + base + " RTSP/1.0\r\nCSeq: 3\r\nAuthorization: Basic " +
                  Base64Encode("user:pw") + "\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
}

TEST_F(DeviceTest, SessionsWithoutRequestsExpireOverUdpAndInterleaved) {
  Config c = SmallConfig();
  c.audio = AudioCodec::kNone;
  c.gop = 5;  // a new session starts at the next IDR picture
  c.session_timeout = std::chrono::milliseconds(2000);
  c.expire_interleaved_sessions = true;
  Start(c);
  const std::string base = dev_.Url(1);
  int cseq = 1;
  auto setup = [&](RawRtspClient& cl, const std::string& transport) {
    auto r = Ask(cl, "SETUP " + base + "/trackID=1 RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                         "\r\nTransport: " + transport + "\r\n\r\n");
    if (!r || r->status != 200) return std::string();
    EXPECT_NE(r->Header("Session").find(";timeout=2"), std::string::npos);
    const std::string sid = SessionId(*r);
    r = Ask(cl, "PLAY " + base + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                    "\r\nSession: " + sid + "\r\n\r\n");
    return r && r->status == 200 ? sid : std::string();
  };
  auto udp_transport = [](UdpReceiver& rx) {
    return "RTP/AVP;unicast;client_port=" + std::to_string(rx.port()) + "-" +
           std::to_string(rx.port() + 1);
  };
  auto keep_alive = [&](RawRtspClient& cl, const std::string& sid) {
    auto r = Ask(cl, "GET_PARAMETER " + base + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq++) +
                         "\r\nSession: " + sid + "\r\n\r\n");
    return r ? r->status : 0;
  };
  RawRtspClient quiet, alive, tcp;
  UdpReceiver quiet_rx, alive_rx;
  ASSERT_TRUE(quiet.Connect(dev_.Port()) && alive.Connect(dev_.Port()) && tcp.Connect(dev_.Port()));
  ASSERT_TRUE(quiet_rx.Open() && alive_rx.Open());
  const std::string quiet_sid = setup(quiet, udp_transport(quiet_rx));
  const std::string alive_sid = setup(alive, udp_transport(alive_rx));
  const std::string tcp_sid = setup(tcp, "RTP/AVP/TCP;unicast;interleaved=0-1");
  ASSERT_FALSE(quiet_sid.empty());
  ASSERT_FALSE(alive_sid.empty());
  ASSERT_FALSE(tcp_sid.empty());

  // Every session is kept alive until both quiet streams have started, so
  // that a slow start cannot let a session expire before it streamed.
  bool quiet_started = false, tcp_started = false;
  const auto start_limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!(quiet_started && tcp_started)) {
    ASSERT_LT(std::chrono::steady_clock::now(), start_limit);
    quiet_started = quiet_started || quiet_rx.Receive(100).has_value();
    tcp_started = tcp_started || FrameOn(tcp, 0, 100).has_value();
    ASSERT_EQ(keep_alive(quiet, quiet_sid), 200);
    ASSERT_EQ(keep_alive(tcp, tcp_sid), 200);
    ASSERT_EQ(keep_alive(alive, alive_sid), 200);
  }
  EXPECT_EQ(dev_.ActiveSessions(), 3u);

  // Now only one client sends requests; the other two sessions expire.
  const auto expire_limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (dev_.ActiveSessions() > 1) {
    ASSERT_LT(std::chrono::steady_clock::now(), expire_limit);
    ASSERT_EQ(keep_alive(alive, alive_sid), 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  while (quiet_rx.Receive(300)) {
  }
  EXPECT_FALSE(quiet_rx.Receive(500));  // its stream stopped
  while (tcp.ReadFrame(300)) {
  }
  EXPECT_FALSE(tcp.ReadFrame(500));  // the connection stays, the stream stopped
  EXPECT_TRUE(alive_rx.Receive(2000));
  EXPECT_EQ(keep_alive(quiet, quiet_sid), 454);
  EXPECT_EQ(keep_alive(tcp, tcp_sid), 454);
}

// Sets up the video track of channel 1, interleaved on channels 0-1, and plays it.
bool PlayTcp(RawRtspClient& cl, Device& dev) {
  const std::string base = dev.Url(1);
  cl.Send("SETUP " + base + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\n" +
          "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  auto r = cl.ReadReply();
  if (!r || r->status != 200) return false;
  const std::string sid = r->Header("Session").substr(0, 8);
  cl.Send("PLAY " + base + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + sid + "\r\n\r\n");
  r = cl.ReadReply();
  return r && r->status == 200;
}

TEST_F(DeviceTest, InterleavedSessionsLiveWithTheirConnectionByDefault) {
  Config c = SmallConfig();
  c.audio = AudioCodec::kNone;
  c.session_timeout = std::chrono::milliseconds(1000);
  Start(c);
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  ASSERT_TRUE(PlayTcp(cl, dev_));
  ASSERT_TRUE(FrameOn(cl, 0, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // past the timeout
  EXPECT_EQ(dev_.ActiveSessions(), 1u);
  cl.DropFrames();
  EXPECT_TRUE(FrameOn(cl, 0, 5000));
}

TEST_F(DeviceTest, EveryIdrPictureFollowsItsParameterSetsAtTheGopInterval) {
  Config c = SmallConfig();
  c.audio = AudioCodec::kNone;
  c.gop = 4;
  Start(c);
  RawRtspClient cl;
  ASSERT_TRUE(cl.Connect(dev_.Port()));
  ASSERT_TRUE(PlayTcp(cl, dev_));
  // NAL unit types of each picture, FU-A fragments counted once.
  std::vector<std::vector<int>> pictures(1);
  while (pictures.size() <= 13) {
    auto f = cl.ReadFrame(5000);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->channel, 0);
    const auto& d = f->data;
    ASSERT_GT(d.size(), 14u);
    const int type = d[12] & 0x1f;
    if (type == 28) {
      if (d[13] & 0x80) pictures.back().push_back(d[13] & 0x1f);
    } else {
      pictures.back().push_back(type);
    }
    if (RtpMarker(d)) pictures.emplace_back();
  }
  pictures.pop_back();
  for (size_t i = 0; i < pictures.size(); ++i) {
    const bool idr = std::find(pictures[i].begin(), pictures[i].end(), 5) != pictures[i].end();
    EXPECT_EQ(idr, i % 4 == 0) << "picture " << i;  // the session starts at an IDR
    if (idr) {
      ASSERT_GE(pictures[i].size(), 3u);
      EXPECT_EQ(pictures[i][0], 7);
      EXPECT_EQ(pictures[i][1], 8);
    } else {
      EXPECT_EQ(pictures[i].back(), 1);
    }
  }
}

TEST_F(DeviceTest, InterleavedFaultsBadChannelAndConnectionClose) {
  Config c = SmallConfig();
  c.audio = AudioCodec::kNone;
  Start(c);
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    ASSERT_TRUE(PlayTcp(cl, dev_));
    ASSERT_TRUE(FrameOn(cl, 0, 5000));
    dev_.faults().bad_channel_packets = 1;
    ASSERT_TRUE(FrameOn(cl, 4, 5000));  // invalid channel byte, valid frame otherwise
    EXPECT_EQ(dev_.faults().bad_channel_packets.load(), 0);
    ASSERT_TRUE(FrameOn(cl, 0, 5000));  // and then the stream goes on
  }
  dev_.faults().close_after_packets = 30;
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    ASSERT_TRUE(PlayTcp(cl, dev_));
    int frames = 0;
    while (cl.ReadFrame(5000)) ++frames;
    EXPECT_EQ(frames, 30);
    EXPECT_TRUE(cl.WaitClosed(1000));
  }
  dev_.faults().close_after_packets = 0;
  dev_.faults().close_after_seconds = 1;
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    ASSERT_TRUE(PlayTcp(cl, dev_));
    ASSERT_TRUE(FrameOn(cl, 0, 5000));
    EXPECT_TRUE(cl.WaitClosed(10000));
  }
}

TEST_F(DeviceTest, UdpLossReorderAndDuplicationFollowTheirRates) {
  Config c = SmallConfig();
  c.audio = AudioCodec::kNone;
  c.fps = 50;
  Start(c);
  dev_.faults().udp_loss = 0.2;
  dev_.faults().udp_reorder = 0.2;
  dev_.faults().udp_duplicate = 0.2;
  RawRtspClient cl;
  UdpReceiver rx;
  ASSERT_TRUE(cl.Connect(dev_.Port()) && rx.Open());
  const std::string base = dev_.Url(1);
  auto r = Ask(cl, "SETUP " + base + "/trackID=1 RTSP/1.0\r\nCSeq: 1\r\nTransport: " +
                       "RTP/AVP;unicast;client_port=" + std::to_string(rx.port()) + "-" +
                       std::to_string(rx.port() + 1) + "\r\n\r\n");
  ASSERT_TRUE(r);
  const std::string sid = SessionId(*r);
  r = Ask(cl, "PLAY " + base + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + sid + "\r\n\r\n");
  ASSERT_TRUE(r);
  std::vector<uint16_t> seqs;
  while (seqs.size() < 150) {
    auto p = rx.Receive(5000);
    ASSERT_TRUE(p);
    seqs.push_back(RtpSeq(*p));
  }
  int dups = 0, inversions = 0, gaps = 0;
  std::set<uint16_t> seen;
  for (size_t i = 0; i < seqs.size(); ++i) {
    if (!seen.insert(seqs[i]).second) ++dups;
    if (i > 0) {
      const int16_t d = static_cast<int16_t>(seqs[i] - seqs[i - 1]);
      if (d < 0) ++inversions;
      if (d > 1) ++gaps;
    }
  }
  EXPECT_GT(dups, 5);
  EXPECT_GT(inversions, 5);
  EXPECT_GT(gaps, 5);
}

TEST_F(DeviceTest, ReplyDelayAndFormatChangeOnTheNextConnection) {
  Config c = SmallConfig();
  Start(c);
  dev_.faults().reply_delay_ms = 300;
  {
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    const auto t0 = std::chrono::steady_clock::now();
    auto r = Ask(cl, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  }
  dev_.faults().reply_delay_ms = 0;
  dev_.faults().next_width = 256;
  dev_.faults().next_height = 128;
  dev_.faults().next_codec = static_cast<int>(VideoCodec::kMjpeg);
  for (int i = 0; i < 2; ++i) {  // the change persists for later connections
    RawRtspClient cl;
    ASSERT_TRUE(cl.Connect(dev_.Port()));
    auto r = Ask(cl, "DESCRIBE " + dev_.Url(1) + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("JPEG/90000"), std::string::npos);
    ASSERT_TRUE(PlayTcp(cl, dev_));
    auto f = FrameOn(cl, 0, 5000);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->data[18], 256 / 8);
    EXPECT_EQ(f->data[19], 128 / 8);
  }
}

TEST_F(DeviceTest, OtherProtocolsTakeOverByTheirFirstLine) {
  dev_.AddProtocol("MCTP/1.0", [](int fd, std::string first) {
    // Echo what arrived first, then wait for the peer or the device to close.
    send(fd, first.data(), first.size(), MSG_NOSIGNAL);
    char b[64];
    while (recv(fd, b, sizeof b, 0) > 0) {
    }
  });
  Start(SmallConfig());
  RawRtspClient mctp;
  ASSERT_TRUE(mctp.Connect(dev_.Port()));
  ASSERT_TRUE(mctp.Send("MCTP/1.0 KEEPALIVE\r\n"));
  pollfd p{mctp.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  char b[64] = {};
  ASSERT_GT(recv(mctp.fd(), b, sizeof b - 1, 0), 0);
  EXPECT_EQ(std::string(b).rfind("MCTP/1.0 KEEPALIVE", 0), 0u);

  RawRtspClient rtsp;
  ASSERT_TRUE(rtsp.Connect(dev_.Port()));
  auto r = Ask(rtsp, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  // TearDown stops the device while the handler blocks in recv.
}

}  // namespace
}  // namespace devicesim
