// RTSP text handling of the simulated device: framing, URL forms, Transport,
// credentials and the stream description.
#include <gtest/gtest.h>

#include "rtsp_proto.h"

namespace devicesim {
namespace {

TEST(ParseRequest, SplitsHeadersAndBodyAndReportsConsumedBytes) {
  const std::string text =
      "\r\nGET_PARAMETER rtsp://h/monitor/010 RTSP/1.0\r\nCSeq: 7\r\nSession: AB12\r\n"
      "Content-Length: 7\r\n\r\nalive\r\nOPTIONS * RTSP/1.0\r\n";
  Request req;
  size_t used = 0;
  ASSERT_EQ(ParseRequest(text, &req, &used), ParseStatus::kOk);
  EXPECT_EQ(req.method, "GET_PARAMETER");
  EXPECT_EQ(req.url, "rtsp://h/monitor/010");
  EXPECT_EQ(*req.Header("cseq"), "7");
  EXPECT_EQ(req.body, "alive\r\n");
  EXPECT_EQ(text.substr(used), "OPTIONS * RTSP/1.0\r\n");
  // The rest is an incomplete request.
  EXPECT_EQ(ParseRequest(text.substr(used), &req, &used), ParseStatus::kNeedMore);
}

TEST(ParseRequest, WaitsForTheWholeBody) {
  Request req;
  size_t used = 0;
  EXPECT_EQ(ParseRequest("SET_PARAMETER * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 10\r\n\r\nabc",
                         &req, &used),
            ParseStatus::kNeedMore);
}

TEST(ParseRequest, RefusesHostileInput) {
  Request req;
  size_t used = 0;
  const char* bad[] = {
      "DESCRIBE rtsp://h/1\r\nCSeq: 1\r\n\r\n",           // no version
      "DESCRIBE rtsp://h/1 HTTP/1.1\r\nCSeq: 1\r\n\r\n",  // not RTSP
      "DESC<RIBE rtsp://h/1 RTSP/1.0\r\n\r\n",            // bad method token
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: -5\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 99999999\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nNoColonHere\r\n\r\n",
      "OPTIONS * RTSP/1.0\r\nCSeq: 1\x01\r\n\r\n",  // control character
  };
  for (const char* b : bad) EXPECT_EQ(ParseRequest(b, &req, &used), ParseStatus::kBad) << b;
  // A header block that never ends is refused once it exceeds the bound.
  std::string endless = "OPTIONS * RTSP/1.0\r\n" + std::string(kMaxHeaderBytes, 'x');
  EXPECT_EQ(ParseRequest(endless, &req, &used), ParseStatus::kBad);
  std::string many = "OPTIONS * RTSP/1.0\r\n";
  for (size_t i = 0; i <= kMaxHeaders; ++i) many += "X: y\r\n";
  EXPECT_EQ(ParseRequest(many + "\r\n", &req, &used), ParseStatus::kBad);
}

TEST(ParseTarget, ServesEveryUrlForm) {
  auto t = ParseTarget("rtsp://h:554/9");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, Target::Kind::kChannel);
  EXPECT_EQ(t->channel, 9);
  EXPECT_EQ(t->track, 0);

  t = ParseTarget("rtsp://h:554/1/trackID=2");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, Target::Kind::kChannel);
  EXPECT_EQ(t->track, 2);

  t = ParseTarget("rtsp://h/monitor/010/track1");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, Target::Kind::kMonitor);
  EXPECT_EQ(t->channel, 10);
  EXPECT_EQ(t->track, 1);

  t = ParseTarget("rtsp://h/monitor/999/");  // PLAY form with a trailing slash
  ASSERT_TRUE(t);
  EXPECT_EQ(t->channel, 999);
  EXPECT_EQ(t->track, 0);

  t = ParseTarget("rtsp://h/replay/03?stime=20240131T235959/track2");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, Target::Kind::kReplay);
  EXPECT_EQ(t->channel, 3);
  EXPECT_EQ(t->stime, "20240131T235959");
  EXPECT_EQ(t->track, 2);

  t = ParseTarget("rtsp://h/replay/03?stime=20240131T235959/");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->stime, "20240131T235959");
  EXPECT_EQ(t->track, 0);

  t = ParseTarget("rtsp://[::1]:8554/live/main/trackID=1");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->kind, Target::Kind::kPath);
  EXPECT_EQ(t->path, "/live/main");
  EXPECT_EQ(t->track, 1);
}

TEST(ParseTarget, RefusesUnusableUrls) {
  for (const char* u : {"http://h/1", "rtsp:///1", "rtsp://h/monitor/abc", "rtsp://h/1/track3",
                        "rtsp://h/replay/01", "rtsp://h/replay/01?stime=", "rtsp://h/a b",
                        "rtsp://h/monitor/1234567"})
    EXPECT_FALSE(ParseTarget(u)) << u;
}

TEST(ParseTransport, TakesTheFirstUsableAlternative) {
  auto t = ParseTransport("RTP/AVP;unicast;client_port=32769-32770");
  ASSERT_TRUE(t);
  EXPECT_FALSE(t->tcp);
  EXPECT_EQ(t->client_port[0], 32769);
  EXPECT_EQ(t->client_port[1], 32770);

  t = ParseTransport("RTP/AVP/TCP;unicast;interleaved=2-3");
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->tcp);
  EXPECT_EQ(t->interleaved[0], 2);
  EXPECT_EQ(t->interleaved[1], 3);

  t = ParseTransport("RTP/AVP/TCP;unicast");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->interleaved[0], 0);

  t = ParseTransport("RTP/AVP;multicast;port=5000-5001,RTP/AVP/UDP;unicast;client_port=6000");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->client_port[0], 6000);
  EXPECT_EQ(t->client_port[1], 6001);

  EXPECT_FALSE(ParseTransport("RTP/AVP;unicast;client_port=70000-70001"));
  EXPECT_FALSE(ParseTransport("RTP/AVP;unicast"));  // nowhere to send to
  EXPECT_FALSE(ParseTransport("RAW/RAW/UDP;unicast;client_port=1-2"));
}

TEST(Credentials, DigestFollowsRfc2617WithoutQop) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  const std::string expected =
      Md5Hex(Md5Hex("admin:cam:secret") + ":n0nce:" + Md5Hex("DESCRIBE:rtsp://h:554/1"));
  EXPECT_EQ(DigestResponse("admin", "cam", "secret", "DESCRIBE", "rtsp://h:554/1", "n0nce"),
            expected);

  const std::string good =
      "Digest username=\"admin\", realm=\"cam\", nonce=\"n0nce\", "
      "uri=\"rtsp://h:554/1\", response=\"" +
      expected + "\"";
  EXPECT_TRUE(
      CheckAuthorization(AuthScheme::kDigest, good, "DESCRIBE", "admin", "secret", "cam", "n0nce"));
  // The same credential for another method, nonce or password is wrong.
  EXPECT_FALSE(
      CheckAuthorization(AuthScheme::kDigest, good, "SETUP", "admin", "secret", "cam", "n0nce"));
  EXPECT_FALSE(
      CheckAuthorization(AuthScheme::kDigest, good, "DESCRIBE", "admin", "secret", "cam", "other"));
  EXPECT_FALSE(
      CheckAuthorization(AuthScheme::kDigest, good, "DESCRIBE", "admin", "wrong", "cam", "n0nce"));
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kDigest, good + ", qop=auth", "DESCRIBE", "admin",
                                  "secret", "cam", "n0nce"));
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kDigest, "Digest username=\"admin", "DESCRIBE",
                                  "admin", "secret", "cam", "n0nce"));
  EXPECT_FALSE(
      CheckAuthorization(AuthScheme::kBasic, good, "DESCRIBE", "admin", "secret", "cam", "n0nce"));
}

TEST(Credentials, BasicDecodesUserAndPassword) {
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_TRUE(CheckAuthorization(AuthScheme::kBasic, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==",
                                 "DESCRIBE", "Aladdin", "open sesame", "", ""));
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kBasic, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==",
                                  "DESCRIBE", "Aladdin", "closed", "", ""));
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kBasic, "Basic !!!!", "DESCRIBE", "a", "b", "", ""));
}

TEST(Sdp, AnnouncesEveryAudioCodecOnItsPayloadType) {
  struct Case {
    AudioCodec codec;
    const char* line;
  };
  const Case cases[] = {{AudioCodec::kG726_16, "a=rtpmap:97 G726-16/8000\r\n"},
                        {AudioCodec::kG726_24, "a=rtpmap:97 G726-24/8000\r\n"},
                        {AudioCodec::kG726_32, "a=rtpmap:97 G726-32/8000\r\n"},
                        {AudioCodec::kG726_40, "a=rtpmap:97 G726-40/8000\r\n"},
                        {AudioCodec::kPcmu, "a=rtpmap:0 PCMU/8000\r\n"},
                        {AudioCodec::kPcma, "a=rtpmap:8 PCMA/8000\r\n"},
                        {AudioCodec::kAac, "a=rtpmap:108 mpeg4-generic/16000\r\n"}};
  for (const Case& c : cases) {
    StreamInfo info;
    info.codec = VideoCodec::kMjpeg;
    info.fps = 25;
    info.audio = c.codec;
    info.aac_config = "\x14\x08";
    const std::string sdp = BuildSdp(info, Mode::kGeneric, "rtsp://h:1/1", "127.0.0.1");
    EXPECT_NE(sdp.find(c.line), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:26 JPEG/90000\r\n"), std::string::npos);
    // The first "trackID=" names the video track, the second the audio track.
    const size_t v = sdp.find("trackID=");
    ASSERT_NE(v, std::string::npos);
    EXPECT_EQ(sdp[v + 8], '1');
    EXPECT_EQ(sdp[sdp.find("trackID=", v + 1) + 8], '2');
    if (c.codec == AudioCodec::kAac) {
      EXPECT_NE(sdp.find("mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;"
                         "config=1408"),
                std::string::npos);
    }
  }
}

TEST(Sdp, RecorderModeUsesTrackControlsAndParameterSets) {
  StreamInfo info;
  info.codec = VideoCodec::kH264;
  info.fps = 25;
  info.sps = std::string("\x67\x42\xc0\x1f\xda\x01", 6);
  info.pps = std::string("\x68\xce\x3c\x80", 4);
  info.audio = AudioCodec::kNone;
  const std::string sdp = BuildSdp(info, Mode::kRecorder, "rtsp://h:1/monitor/010", "127.0.0.1");
  EXPECT_NE(sdp.find("a=control:rtsp://h:1/monitor/010/track1\r\n"), std::string::npos);
  EXPECT_EQ(sdp.find("track2"), std::string::npos);
  EXPECT_EQ(sdp.find("trackID="), std::string::npos);
  EXPECT_NE(sdp.find("a=rtpmap:96 H264/90000"), std::string::npos);
  EXPECT_NE(sdp.find("profile-level-id=42C01F"), std::string::npos);
  // The parameter sets are Base64 separated by a comma.
  const size_t p = sdp.find("sprop-parameter-sets=");
  ASSERT_NE(p, std::string::npos);
  const size_t comma = sdp.find(',', p);
  ASSERT_NE(comma, std::string::npos);
  EXPECT_EQ(*Base64Decode(sdp.substr(p + 21, comma - p - 21)), info.sps);
}

TEST(Sdp, StandardModeNamesStreamsAndServesThem) {
  StreamInfo info;
  info.codec = VideoCodec::kMjpeg;
  info.fps = 10;
  info.audio = AudioCodec::kPcmu;
  const std::string rel = BuildSdp(info, Mode::kStandard, "rtsp://h:1/live", "127.0.0.1");
  EXPECT_NE(rel.find("a=control:*\r\n"), std::string::npos);
  EXPECT_NE(rel.find("a=control:stream=0\r\n"), std::string::npos);
  EXPECT_NE(rel.find("a=control:stream=1\r\n"), std::string::npos);
  EXPECT_EQ(rel.find("trackID="), std::string::npos);
  const std::string abs =
      BuildSdp(info, Mode::kStandard, "rtsp://h:1/live", "127.0.0.1", AudioAnnounce::kDevice, true);
  EXPECT_NE(abs.find("a=control:rtsp://h:1/live/\r\n"), std::string::npos);
  EXPECT_NE(abs.find("a=control:rtsp://h:1/live/stream=0\r\n"), std::string::npos);
  auto t = ParseTarget("rtsp://h:1/live/stream=1");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->track, 2);
  EXPECT_EQ(t->path, "/live");
  EXPECT_FALSE(ParseTarget("rtsp://h:1/live/stream=2"));
}

TEST(Credentials, DigestWithQopAndTheRequestUri) {
  // RFC 2617 section 3.5, with RTSP's method and uri.
  const std::string ha1 = Md5Hex("admin:cam:secret");
  const std::string ha2 = Md5Hex("SETUP:rtsp://h/s/stream=0");
  const std::string response = Md5Hex(ha1 + ":n0nce:00000001:abc:auth:" + ha2);
  const std::string good =
      "Digest username=\"admin\", realm=\"cam\", nonce=\"n0nce\", "
      "uri=\"rtsp://h/s/stream=0\", response=\"" +
      response + "\", qop=auth, nc=00000001, cnonce=\"abc\"";
  EXPECT_TRUE(CheckAuthorization(AuthScheme::kDigest, good, "SETUP", "admin", "secret", "cam",
                                 "n0nce", true, "rtsp://h/s/stream=0"));
  // Another uri than the request's, no qop where it was offered, or qop
  // where it was not: refused.
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kDigest, good, "SETUP", "admin", "secret", "cam",
                                  "n0nce", true, "rtsp://h/s/"));
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kDigest, good, "SETUP", "admin", "secret", "cam",
                                  "n0nce", false));
  const std::string plain =
      "Digest username=\"admin\", realm=\"cam\", nonce=\"n0nce\", "
      "uri=\"rtsp://h/s/stream=0\", response=\"" +
      DigestResponse("admin", "cam", "secret", "SETUP", "rtsp://h/s/stream=0", "n0nce") + "\"";
  EXPECT_FALSE(CheckAuthorization(AuthScheme::kDigest, plain, "SETUP", "admin", "secret", "cam",
                                  "n0nce", true));
}

TEST(Sdp, AudioAnnouncedInCapitalsOrAsAnUnknownCodec) {
  StreamInfo info;
  info.codec = VideoCodec::kMjpeg;
  info.fps = 25;
  info.audio = AudioCodec::kAac;
  info.aac_config = "\x14\x08";
  const std::string upper =
      BuildSdp(info, Mode::kGeneric, "rtsp://h:1/1", "127.0.0.1", AudioAnnounce::kUpperCase);
  EXPECT_NE(upper.find("m=audio 0 RTP/AVP 108\r\na=rtpmap:108 MPEG4-GENERIC/16000/1\r\n"),
            std::string::npos)
      << upper;
  EXPECT_NE(upper.find("config=1408"), std::string::npos);
  const std::string unknown =
      BuildSdp(info, Mode::kGeneric, "rtsp://h:1/1", "127.0.0.1", AudioAnnounce::kUnknownCodec);
  EXPECT_NE(unknown.find("m=audio 0 RTP/AVP 98\r\na=rtpmap:98 L16/8000/1\r\n"), std::string::npos)
      << unknown;
  EXPECT_EQ(unknown.find("fmtp:108"), std::string::npos);
  EXPECT_NE(unknown.find("a=control:trackID=2"), std::string::npos);
  info.audio = AudioCodec::kPcmu;
  EXPECT_NE(BuildSdp(info, Mode::kGeneric, "rtsp://h:1/1", "127.0.0.1", AudioAnnounce::kUpperCase)
                .find("a=rtpmap:0 PCMU/8000/1\r\n"),
            std::string::npos);
}

}  // namespace
}  // namespace devicesim
