#include "net/rtsp_protocol.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#include "net/auth.h"
#include "net/h264_sps.h"

namespace quornet::rtsp {
namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, ap2);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

// The protocol's URL texts are built with C formatting; strings go in as
// zero-terminated copies.
std::string S(std::string_view v) {
  return std::string(v);
}

size_t Find(std::string_view hay, std::string_view needle, size_t from = 0) {
  if (from > hay.size()) return std::string_view::npos;
  return hay.find(needle, from);
}

bool Contains(std::string_view hay, std::string_view needle) {
  return hay.find(needle) != std::string_view::npos;
}

// Inserts the authorization line and the user agent in front of the blank
// line that ends the headers. For requests without a body this is the same
// as writing them over the request's final line end.
std::string WithInSessionAuth(std::string request, const Auth& auth, std::string_view method,
                              std::string_view uri) {
  if (auth.scheme == Auth::Scheme::kNone) return request;
  size_t end = request.find("\r\n\r\n");
  if (end == std::string::npos) return request;
  std::string lines = AuthorizationLine(auth, method, uri) + kUserAgentLine;
  request.insert(end + 2, lines);
  return request;
}

std::string ReplayUrl(const RequestContext& c) {
  return Format("rtsp://%s/replay/%02d?stime=%s", c.host.c_str(), c.channel, c.start_time.c_str());
}

// Scans an optionally signed decimal (leading white space skipped, as %d
// does); false without digits or beyond int32_t.
bool ScanInt(std::string_view s, size_t* pos, int64_t* out) {
  size_t i = *pos;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  size_t start = i;
  int64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + (s[i] - '0');
    if (v > 0x7FFFFFFF) return false;
    ++i;
  }
  if (i == start) return false;
  *pos = i;
  *out = neg ? -v : v;
  return true;
}

bool IsTrackChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::string LiveBaseUrl(std::string_view host, int32_t port, int32_t channel,
                        std::string_view path_suffix, int32_t* server_kind) {
  *server_kind = path_suffix.empty() ? kServerGeneric : kServerPathSuffix;
  if (channel >= 10 && channel <= 999) {
    *server_kind = kServerRecorder;
    return Format("rtsp://%s:%d/monitor/%03d", S(host).c_str(), port, channel);
  }
  return Format("rtsp://%s:%d/%d", S(host).c_str(), port, channel);
}

std::string ReplayBaseUrl(std::string_view host, int32_t port, int32_t channel,
                          std::string_view start_time) {
  return Format("rtsp://%s:%d/replay/%02d?stime=%s", S(host).c_str(), port, channel,
                S(start_time).c_str());
}

std::string AuthorizationLine(const Auth& auth, std::string_view method, std::string_view uri) {
  switch (auth.scheme) {
    case Auth::Scheme::kDigest: {
      std::string response =
          DigestResponse(auth.user, auth.realm, auth.password, method, uri, auth.nonce);
      return Format(
          "Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\", "
          "response=\"%s\"\r\n",
          auth.user.c_str(), auth.realm.c_str(), auth.nonce.c_str(), S(uri).c_str(),
          response.c_str());
    }
    case Auth::Scheme::kBasic:
      return "Authorization: Basic " + Base64Encode(auth.user + ":" + auth.password) + "\r\n";
    case Auth::Scheme::kNone:
      break;
  }
  return {};
}

std::string DescribeRequest(std::string_view base_url, std::string_view path_suffix, int cseq) {
  return Format(
      "DESCRIBE %s%s RTSP/1.0\r\nCSeq: %d\r\nAccept: application/sdp\r\nUser-Agent: "
      "Halvenmoore Client\r\n\r\n",
      S(base_url).c_str(), S(path_suffix).c_str(), cseq);
}

std::string DescribeAuthorizedRequest(const RequestContext& c) {
  std::string head = Format("DESCRIBE %s RTSP/1.0\r\nCSeq: %d\r\nAccept: application/sdp\r\n",
                            c.base_url.c_str(), c.cseq);
  return head + AuthorizationLine(c.auth, "DESCRIBE", c.base_url) + kUserAgentLine + "\r\n";
}

std::string SetupVideoRequest(const RequestContext& c, char track, int client_port) {
  std::string s;
  switch (c.form) {
    case UrlForm::kMonitor:
      s = Format("SETUP rtsp://%s/monitor/%03d/track1 %s\r\nCSeq: %d\r\n", c.host.c_str(),
                 c.channel, "RTSP/1.0", c.cseq);
      break;
    case UrlForm::kReplay:
      s = Format("SETUP %s/track1 %s\r\nCSeq: %d\r\n", ReplayUrl(c).c_str(), "RTSP/1.0", c.cseq);
      break;
    case UrlForm::kGeneric:
      s = Format("SETUP %s/trackID=%c %s\r\nCSeq: %d\r\n", c.base_url.c_str(), track, "RTSP/1.0",
                 c.cseq);
      break;
  }
  s += AuthorizationLine(c.auth, "SETUP", c.base_url);
  s += kUserAgentLine;
  if (c.udp) {
    s += Format("Transport: RTP/AVP;unicast;client_port=%d-%d\r\n\r\n", client_port,
                client_port + 1);
  } else {
    s += "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n";
  }
  return s;
}

std::string SetupAudioRequest(const RequestContext& c, char track, int client_port) {
  std::string s;
  switch (c.form) {
    case UrlForm::kMonitor:
      s = Format("SETUP rtsp://%s/monitor/%03d/track2 %s\r\nCSeq: %d\r\nSession: %s\r\n",
                 c.host.c_str(), c.channel, "RTSP/1.0", c.cseq, c.session_id.c_str());
      break;
    case UrlForm::kReplay:
      s = Format("SETUP %s/track2 %s\r\nCSeq: %d\r\nSession: %s\r\n", ReplayUrl(c).c_str(),
                 "RTSP/1.0", c.cseq, c.session_id.c_str());
      break;
    case UrlForm::kGeneric:
      s = Format("SETUP %s/trackID=%c %s\r\nCSeq: %d\r\nSession: %s\r\n", c.base_url.c_str(), track,
                 "RTSP/1.0", c.cseq, c.session_id.c_str());
      break;
  }
  if (c.udp) {
    s += Format("Transport: RTP/AVP;unicast;client_port=%d-%d\r\n", client_port, client_port + 1);
  } else {
    s += "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n";
  }
  s += AuthorizationLine(c.auth, "SETUP", c.base_url);
  s += kUserAgentLine;
  s += "\r\n";
  return s;
}

double SpeedScale(int speed_exponent) {
  return speed_exponent >= 0 ? std::ldexp(1.0, speed_exponent)
                             : std::pow(0.5, -static_cast<double>(speed_exponent));
}

std::string PlayRequest(const RequestContext& c, int speed_exponent) {
  std::string s;
  switch (c.form) {
    case UrlForm::kMonitor:
      s = Format("PLAY rtsp://%s/monitor/%03d/ %s\r\nCSeq: %d\r\nSession: %s\r\n", c.host.c_str(),
                 c.channel, "RTSP/1.0", c.cseq, c.session_id.c_str());
      break;
    case UrlForm::kReplay:
      s = Format("PLAY %s/ %s\r\nCSeq: %d\r\nSession: %s\r\nScale: %.6f\r\n", ReplayUrl(c).c_str(),
                 "RTSP/1.0", c.cseq, c.session_id.c_str(), SpeedScale(speed_exponent));
      break;
    case UrlForm::kGeneric:
      s = Format("PLAY %s %s\r\nCSeq: %d\r\nSession: %s\r\n", c.base_url.c_str(), "RTSP/1.0",
                 c.cseq, c.session_id.c_str());
      break;
  }
  s += AuthorizationLine(c.auth, "PLAY", c.base_url);
  s += "Range: npt=0.000-\r\n";
  s += kUserAgentLine;
  s += "\r\n";
  return s;
}

std::string PauseRequest(const RequestContext& c, int32_t server_kind) {
  std::string s = server_kind == kServerRecorder
                      ? Format("PAUSE %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n",
                               ReplayUrl(c).c_str(), "RTSP/1.0", c.cseq, c.session_id.c_str())
                      : Format("PAUSE %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", c.base_url.c_str(),
                               "RTSP/1.0", c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, "PAUSE", c.base_url);
}

std::string ResumeRequest(const RequestContext& c, int32_t server_kind) {
  std::string url = server_kind == kServerRecorder ? ReplayUrl(c) : c.base_url;
  std::string s = Format("PLAY %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", url.c_str(), "RTSP/1.0",
                         c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, "PLAY", c.base_url);
}

std::string SetSpeedRequest(const RequestContext& c, int32_t server_kind, int speed_exponent) {
  std::string s = server_kind == kServerRecorder
                      ? Format(
                            "PLAY %s %s\r\nCSeq: %d\r\nSession: %s\r\nScale: %.6f\r\nRange: "
                            "npt=0.000-\r\n\r\n",
                            ReplayUrl(c).c_str(), "RTSP/1.0", c.cseq, c.session_id.c_str(),
                            SpeedScale(speed_exponent))
                      : Format("PLAY %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", c.base_url.c_str(),
                               "RTSP/1.0", c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, "PLAY", c.base_url);
}

std::string TeardownRequest(const RequestContext& c, int32_t server_kind, bool replay_mode) {
  std::string url;
  if (server_kind == kServerRecorder) {
    url = replay_mode ? ReplayUrl(c) : Format("rtsp://%s/monitor/%03d", c.host.c_str(), c.channel);
  } else {
    url = c.base_url;
  }
  std::string s = Format("TEARDOWN %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", url.c_str(),
                         "RTSP/1.0", c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, "TEARDOWN", c.base_url);
}

std::string TeardownNoWaitRequest(const RequestContext& c) {
  std::string s = Format("TEARDOWN %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", c.base_url.c_str(),
                         "RTSP/1.0", c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, "TEARDOWN", c.base_url);
}

std::string KeepAliveRequest(const RequestContext& c, bool replay_mode) {
  std::string url =
      replay_mode ? ReplayUrl(c) : Format("rtsp://%s/monitor/%03d", c.host.c_str(), c.channel);
  std::string s =
      Format("GET_PARAMETER %s %s\r\nCSeq: %d\r\nSession: %s\r\nContent-Length: 7\r\n\r\n%s\r\n",
             url.c_str(), "RTSP/1.0", c.cseq, c.session_id.c_str(), "alive");
  return WithInSessionAuth(std::move(s), c.auth, "GET_PARAMETER", c.base_url);
}

// --- Replies -------------------------------------------------------------

bool ReplyOk(std::string_view reply) {
  return Contains(reply, "200 OK");
}
bool ReplyUnauthorized(std::string_view reply) {
  return Contains(reply, "401 Unauthorized");
}

long MessageLength(std::string_view buf, size_t max_size) {
  size_t end = buf.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    return buf.size() >= max_size ? -1 : 0;
  }
  size_t head = end + 4;
  std::string_view headers = buf.substr(0, head);
  size_t body = 0;
  // Header names are case-insensitive (RFC 2326 section 4.2); the devices
  // write "Content-Length" or "Content-length".
  for (size_t pos = 0; pos < headers.size();) {
    size_t eol = headers.find("\r\n", pos);
    if (eol == std::string_view::npos) break;
    std::string_view line = headers.substr(pos, eol - pos);
    constexpr std::string_view kName = "content-length:";
    if (line.size() > kName.size()) {
      bool match = true;
      for (size_t i = 0; i < kName.size() && match; ++i) {
        char ch = line[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        match = ch == kName[i];
      }
      if (match) {
        size_t p = kName.size();
        int64_t v = 0;
        if (!ScanInt(line, &p, &v) || v < 0) return -1;
        body = static_cast<size_t>(v);
        if (body > max_size) return -1;
      }
    }
    pos = eol + 2;
  }
  if (head + body > max_size) return -1;
  if (buf.size() < head + body) return 0;
  return static_cast<long>(head + body);
}

int ParseCSeq(std::string_view reply) {
  size_t p = Find(reply, "CSeq:");
  if (p == std::string_view::npos) return -1;
  p += 5;
  int64_t v = 0;
  if (!ScanInt(reply, &p, &v) || v < 0) return -1;
  return static_cast<int>(v);
}

std::string ParseSessionId(std::string_view reply) {
  size_t p = Find(reply, "Session:");
  if (p == std::string_view::npos) return {};
  p += 8;
  while (p < reply.size() && (reply[p] == ' ' || reply[p] == '\t')) ++p;
  size_t start = p;
  while (p < reply.size()) {
    char c = reply[p];
    if (c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n') break;
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return {};
    ++p;
  }
  if (p - start > 31) return {};
  return std::string(reply.substr(start, p - start));
}

int ParseServerPort(std::string_view reply) {
  size_t p = Find(reply, "server_port");
  if (p == std::string_view::npos) return 0;
  p += 12;
  int64_t v = 0;
  if (p > reply.size() || !ScanInt(reply, &p, &v) || v < 0 || v > 65535) return 0;
  return static_cast<int>(v);
}

bool ParseChallenge(std::string_view reply, Auth* auth) {
  constexpr std::string_view kHeader = "WWW-Authenticate:";
  size_t h = Find(reply, kHeader);
  if (h == std::string_view::npos) return false;
  size_t from = h + 18;
  if (from > reply.size()) from = reply.size();
  // Realm and nonce texts; longer values cannot be genuine and are refused
  // rather than cut (a cut nonce only makes the device refuse us).
  constexpr size_t kMaxValue = 255;
  auto quoted = [&](std::string_view key, size_t search_from, std::string* out) {
    size_t k = Find(reply, key, search_from);
    if (k == std::string_view::npos) return false;
    size_t start = k + key.size();
    size_t end = Find(reply, "\"", start);
    if (end == std::string_view::npos || end - start > kMaxValue) return false;
    *out = std::string(reply.substr(start, end - start));
    return true;
  };
  size_t digest = Find(reply, "Digest", from);
  if (digest != std::string_view::npos) {
    std::string realm, nonce;
    if (!quoted("realm=\"", h, &realm)) return false;
    if (!quoted("nonce=\"", digest + 8 <= reply.size() ? digest + 8 : reply.size(), &nonce)) {
      return false;
    }
    auth->scheme = Auth::Scheme::kDigest;
    auth->realm = std::move(realm);
    auth->nonce = std::move(nonce);
    return true;
  }
  auth->scheme = Find(reply, "Basic", from) != std::string_view::npos ? Auth::Scheme::kBasic
                                                                      : Auth::Scheme::kNone;
  return true;
}

bool ParseBanner(std::string_view reply, std::string_view marker, size_t skip, Banner* out) {
  size_t m = Find(reply, marker);
  if (m == std::string_view::npos || m + skip > reply.size()) return false;
  size_t p = m + skip;
  int64_t v[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (p >= reply.size() || reply[p] != '*') return false;
      ++p;
    }
    if (!ScanInt(reply, &p, &v[i])) return false;
  }
  if (v[0] < 1 || v[0] > 16384 || v[1] < 1 || v[1] > 16384) return false;
  if (v[2] < 0 || v[2] > 1000 || v[3] < 0 || v[3] > (int64_t{1} << 21)) return false;
  out->width = static_cast<int32_t>(v[0]);
  out->height = static_cast<int32_t>(v[1]);
  out->frame_rate = static_cast<int32_t>(v[2]);
  out->bit_rate = static_cast<int32_t>(v[3] * 1024);
  return true;
}

uint8_t AudioCodeFromSdp(std::string_view sdp, uint8_t current) {
  static constexpr struct {
    std::string_view text;
    uint8_t code;
  } kTable[] = {
      {"a=rtpmap:97 G726-32/8000", kAudioG726_32},
      {"a=rtpmap:97 G726-24/8000", kAudioG726_24},
      {"a=rtpmap:97 G726-16/8000", kAudioG726_16},
      {"a=rtpmap:97 G726-40/8000", kAudioG726_40},
      {"a=rtpmap:0 PCMU/8000", kAudioUlaw},
      {"a=rtpmap:8 PCMA/8000", kAudioAlaw},
      {"a=rtpmap:108 mpeg4-generic/16000", kAudioAac},
  };
  for (const auto& e : kTable) {
    if (Contains(sdp, e.text)) return e.code;
  }
  return current;
}

bool SizeFromSpropParameterSets(std::string_view sdp, int32_t* width, int32_t* height) {
  constexpr std::string_view kKey = "sprop-parameter-sets=";
  size_t k = Find(sdp, kKey);
  if (k == std::string_view::npos) return false;
  size_t start = k + kKey.size();
  size_t comma = Find(sdp, ",", start);
  if (comma == std::string_view::npos) return false;
  std::vector<uint8_t> sps;
  if (!Base64Decode(sdp.substr(start, comma - start), &sps)) return false;
  SpsPictureSize size;
  if (!ParseSpsPictureSize(sps.data(), sps.size(), &size)) return false;
  *width = size.width;
  *height = size.height;
  return true;
}

bool ReadLiveDescription(std::string_view reply, StreamFormat* f) {
  if (f->server_kind == kServerRecorder) {
    if (!Contains(reply, "track1")) return false;
    int32_t w = 1280, h = 720;
    SizeFromSpropParameterSets(reply, &w, &h);
    f->width = w;
    f->height = h;
    f->frame_rate = 30;
    f->bit_rate = 0x200000;
    f->video_code = kVideoH264;
    f->audio_code = kAudioUlaw;
    f->video_track = '1';
    if (Contains(reply, "track2")) {
      f->audio_track = '2';
      f->audio_code = AudioCodeFromSdp(reply, kAudioUlaw);
    } else {
      f->audio_track = 0;
      f->audio_code = kAudioNone;
    }
    return true;
  }
  constexpr std::string_view kTrack = "trackID=";
  size_t t1 = Find(reply, kTrack);
  if (t1 == std::string_view::npos || t1 + kTrack.size() >= reply.size()) return false;
  char video = reply[t1 + kTrack.size()];
  if (!IsTrackChar(video)) return false;
  char audio = 0;
  size_t t2 = Find(reply, kTrack, t1 + kTrack.size());
  if (t2 != std::string_view::npos && t2 + kTrack.size() < reply.size() &&
      IsTrackChar(reply[t2 + kTrack.size()])) {
    audio = reply[t2 + kTrack.size()];
  }
  f->video_track = video;
  f->audio_track = audio;
  Banner b;
  if (ParseBanner(reply, kBannerAny, kBannerAny.size(), &b)) {
    f->width = b.width;
    f->height = b.height;
    f->frame_rate = b.frame_rate;
    f->bit_rate = b.bit_rate;
  }
  if (Contains(reply, "a=rtpmap:26 JPEG/90000")) {
    f->video_code = kVideoJpeg;
  } else if (Contains(reply, "a=rtpmap:99")) {
    f->video_code = kVideoRtpmap99;
  } else {
    f->video_code = kVideoH264;
  }
  f->audio_code = AudioCodeFromSdp(reply, audio ? kAudioUlaw : kAudioNone);
  return true;
}

bool ReadReplayDescription(std::string_view reply, StreamFormat* f) {
  Banner b;
  if (ParseBanner(reply, kBannerV200, kBannerV200.size() + 1, &b)) {
    f->width = b.width;
    f->height = b.height;
    f->frame_rate = b.frame_rate;
    f->bit_rate = b.bit_rate;
  } else {
    int32_t w = 1280, h = 720;
    SizeFromSpropParameterSets(reply, &w, &h);
    f->width = w;
    f->height = h;
    f->frame_rate = 30;
    f->bit_rate = 0x200000;
  }
  if (Contains(reply, "track1")) {
    f->video_code = Contains(reply, "rtpmap:96 H264/90000") ? kVideoH264 : kVideoJpeg;
  }
  f->video_track = '1';
  if (Contains(reply, "track2")) {
    f->audio_track = '2';
    f->audio_code = AudioCodeFromSdp(reply, kAudioUlaw);
  } else {
    f->audio_track = 0;
    f->audio_code = kAudioUlaw;
  }
  return true;
}

int32_t AutoLiveViewPerformance(int32_t bit_rate) {
  if (bit_rate <= 0x100000) return 300;
  if (bit_rate <= 0x200000) return 500;
  if (bit_rate <= 0x400000) return 750;
  if (bit_rate <= 0x800000) return 1100;
  return 1500;
}

int32_t RestoreFrameCount(int32_t* performance, int32_t frame_rate, int32_t bit_rate) {
  if (frame_rate <= 0) return 0;
  if (*performance < 0) *performance = AutoLiveViewPerformance(bit_rate);
  // Above 1000 fps the frame interval rounds to 0 ms; count one per ms.
  int32_t interval = frame_rate >= 1000 ? 1 : 1000 / frame_rate;
  return *performance / interval;
}

namespace {
std::mutex g_port_mutex;
int g_port_counter = 32767;  // guarded by g_port_mutex
}  // namespace

int NextRtpClientPort() {
  std::lock_guard<std::mutex> lock(g_port_mutex);
  if (g_port_counter >= 65533) {
    g_port_counter = 32767;
  } else {
    g_port_counter += 2;
  }
  return g_port_counter;
}

void SetRtpClientPortCounterForTest(int value) {
  std::lock_guard<std::mutex> lock(g_port_mutex);
  g_port_counter = value;
}

}  // namespace quornet::rtsp
