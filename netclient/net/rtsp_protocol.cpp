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
      if (auth.standard) {
        std::string line =
            Format("Authorization: Digest username=\"%s\", realm=\"%s\", nonce=\"%s\", uri=\"%s\"",
                   auth.user.c_str(), auth.realm.c_str(), auth.nonce.c_str(), S(uri).c_str());
        if (auth.qop_auth) {
          const std::string nc = Format("%08x", ++auth.nc);
          line += Format(", response=\"%s\", qop=auth, nc=%s, cnonce=\"%s\"",
                         DigestResponseQop(auth.user, auth.realm, auth.password, method, uri,
                                           auth.nonce, nc, auth.cnonce, "auth")
                             .c_str(),
                         nc.c_str(), auth.cnonce.c_str());
        } else {
          line += Format(", response=\"%s\"", DigestResponse(auth.user, auth.realm, auth.password,
                                                             method, uri, auth.nonce)
                                                  .c_str());
        }
        if (!auth.opaque.empty()) line += Format(", opaque=\"%s\"", auth.opaque.c_str());
        return line + "\r\n";
      }
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

std::string GenericKeepAliveRequest(const RequestContext& c, bool options) {
  const char* method = options ? "OPTIONS" : "GET_PARAMETER";
  std::string s = Format("%s %s %s\r\nCSeq: %d\r\nSession: %s\r\n\r\n", method, c.base_url.c_str(),
                         "RTSP/1.0", c.cseq, c.session_id.c_str());
  return WithInSessionAuth(std::move(s), c.auth, method, c.base_url);
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

std::string ParseSessionId(std::string_view reply, size_t max_size) {
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
  if (p - start > max_size) return {};
  return std::string(reply.substr(start, p - start));
}

int ParseSessionTimeout(std::string_view reply) {
  size_t p = Find(reply, "Session:");
  if (p == std::string_view::npos) return 0;
  std::string_view line = reply.substr(p);
  line = line.substr(0, line.find_first_of("\r\n"));
  // Parameter names are case-insensitive; white space may surround ";".
  for (size_t semi = line.find(';'); semi != std::string_view::npos;
       semi = line.find(';', semi + 1)) {
    size_t k = semi + 1;
    while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
    constexpr std::string_view kName = "timeout=";
    if (line.size() - k < kName.size()) continue;
    bool match = true;
    for (size_t i = 0; i < kName.size() && match; ++i) {
      char ch = line[k + i];
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      match = ch == kName[i];
    }
    if (!match) continue;
    size_t v = k + kName.size();
    int64_t value = 0;
    if (v >= line.size() || line[v] < '0' || line[v] > '9') return 0;
    while (v < line.size() && line[v] >= '0' && line[v] <= '9') {
      value = value * 10 + (line[v++] - '0');
      if (value > 86400) value = 86400;
    }
    return value < 1 ? 1 : static_cast<int>(value);
  }
  return 0;
}

int ReplyStatus(std::string_view reply) {
  if (!reply.starts_with("RTSP/")) return 0;
  size_t sp = reply.find(' ');
  if (sp == std::string_view::npos || sp + 4 > reply.size()) return 0;
  int code = 0;
  for (size_t i = sp + 1; i < sp + 4; ++i) {
    if (reply[i] < '0' || reply[i] > '9') return 0;
    code = code * 10 + (reply[i] - '0');
  }
  return code;
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
    // Standard servers' extras, within the Digest challenge's own line.
    std::string_view line = reply.substr(digest);
    line = line.substr(0, line.find_first_of("\r\n"));
    auth->opaque.clear();
    if (size_t o = line.find("opaque=\""); o != std::string_view::npos) {
      size_t e = line.find('"', o + 8);
      if (e != std::string_view::npos && e - (o + 8) <= kMaxValue) {
        auth->opaque = std::string(line.substr(o + 8, e - (o + 8)));
      }
    }
    auth->qop_auth = false;
    if (size_t q = line.find("qop=\""); q != std::string_view::npos) {
      size_t e = line.find('"', q + 5);
      std::string_view list = line.substr(q + 5, e == std::string_view::npos ? 0 : e - (q + 5));
      // "auth" as a whole token of the list ("auth", "auth,auth-int").
      for (size_t b = 0; b <= list.size();) {
        size_t c = list.find(',', b);
        std::string_view tok =
            list.substr(b, c == std::string_view::npos ? std::string_view::npos : c - b);
        while (!tok.empty() && tok.front() == ' ') tok.remove_prefix(1);
        while (!tok.empty() && tok.back() == ' ') tok.remove_suffix(1);
        if (tok == "auth") auth->qop_auth = true;
        if (c == std::string_view::npos) break;
        b = c + 1;
      }
    }
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

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive find of an ASCII needle.
size_t FindNoCase(std::string_view hay, std::string_view needle, size_t from = 0) {
  if (needle.empty() || hay.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Lower(hay[i + k]) == Lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool LineEnd(char c) {
  return c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

// Whether an rtpmap value continues after a table entry at pos: nothing, or
// a channel count of 1 ("PCMA/8000/1"). A longer clock rate or another
// channel count is a different format.
bool EntryEndsAt(std::string_view sdp, size_t pos) {
  if (pos == sdp.size() || LineEnd(sdp[pos])) return true;
  return sdp.substr(pos).starts_with("/1") && (pos + 2 == sdp.size() || LineEnd(sdp[pos + 2]));
}

// Code of an "encoding/clock[/channels]" rtpmap value on any payload number;
// kAudioNone when we cannot decode it.
uint8_t CodeOfEncoding(std::string_view value) {
  size_t slash = value.find('/');
  if (slash == std::string_view::npos) return kAudioNone;
  std::string_view name = value.substr(0, slash);
  std::string_view rest = value.substr(slash + 1);
  size_t slash2 = rest.find('/');
  std::string_view clock = rest.substr(0, slash2);
  if (slash2 != std::string_view::npos && rest.substr(slash2 + 1) != "1") return kAudioNone;
  static constexpr struct {
    std::string_view name;
    std::string_view clock;
    uint8_t code;
  } kKnown[] = {
      {"G726-32", "8000", kAudioG726_32},    {"G726-24", "8000", kAudioG726_24},
      {"G726-16", "8000", kAudioG726_16},    {"G726-40", "8000", kAudioG726_40},
      {"PCMU", "8000", kAudioUlaw},          {"PCMA", "8000", kAudioAlaw},
      {"mpeg4-generic", "16000", kAudioAac},
  };
  for (const auto& k : kKnown) {
    if (EqualsNoCase(name, k.name) && clock == k.clock) return k.code;
  }
  return kAudioNone;
}

// Text of a device for a debug line: printable, bounded.
std::string Printable(std::string_view v) {
  std::string out;
  for (char c : v.substr(0, 64)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

}  // namespace

uint8_t AudioCodeFromSdp(std::string_view sdp, std::string* unsupported) {
  // The devices' own texts, first match wins. Encoding names are
  // case-insensitive (RFC 4566 6), so "MPEG4-GENERIC/16000/1" is AAC too.
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
    for (size_t p = FindNoCase(sdp, e.text); p != std::string_view::npos;
         p = FindNoCase(sdp, e.text, p + 1)) {
      if (EntryEndsAt(sdp, p + e.text.size())) return e.code;
    }
  }

  // Not in the table: the audio media description decides. Its first
  // payload type is what the device sends (RFC 4566 5.14).
  auto refuse = [&](std::string_view what) {
    if (unsupported) *unsupported = Printable(what);
    return kAudioNone;
  };
  size_t m = sdp.starts_with("m=audio ") ? 0 : Find(sdp, "\nm=audio ");
  if (m == std::string_view::npos) {
    // No media description: the old mu-law default, unless an rtpmap of
    // another audio format (any clock rate but video's 90000) is present.
    constexpr std::string_view kRtpmap = "a=rtpmap:";
    for (size_t r = Find(sdp, kRtpmap); r != std::string_view::npos;
         r = Find(sdp, kRtpmap, r + 1)) {
      std::string_view line = sdp.substr(r + kRtpmap.size());
      line = line.substr(0, line.find_first_of("\r\n"));
      size_t sp = line.find(' ');
      if (sp == std::string_view::npos) continue;
      std::string_view value = line.substr(sp + 1);
      size_t slash = value.find('/');
      if (slash == std::string_view::npos || value.substr(slash + 1).starts_with("90000")) continue;
      return refuse(value);
    }
    return kAudioUlaw;
  }
  if (sdp[m] == '\n') ++m;
  size_t section_end = Find(sdp, "\nm=", m);
  std::string_view section = sdp.substr(
      m, section_end == std::string_view::npos ? std::string_view::npos : section_end - m);
  std::string_view mline = section.substr(0, section.find_first_of("\r\n"));
  // "m=audio <port> <proto> <fmt> ...": the fourth field.
  size_t pos = 0;
  std::string_view fields[4];
  for (int i = 0; i < 4; ++i) {
    while (pos < mline.size() && mline[pos] == ' ') ++pos;
    size_t e = mline.find(' ', pos);
    if (e == std::string_view::npos) e = mline.size();
    fields[i] = mline.substr(pos, e - pos);
    pos = e;
  }
  std::string_view pt = fields[3];
  if (pt.empty() || pt.size() > 3 || pt.find_first_not_of("0123456789") != std::string_view::npos) {
    return refuse(mline);
  }
  const std::string key = "a=rtpmap:" + std::string(pt) + " ";
  size_t r = Find(section, key);
  if (r != std::string_view::npos) {
    std::string_view value = section.substr(r + key.size());
    value = value.substr(0, value.find_first_of("\r\n"));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    const uint8_t code = CodeOfEncoding(value);
    return code == kAudioNone ? refuse(value) : code;
  }
  // Static payload types without an rtpmap (RFC 3551 6).
  if (pt == "0") return kAudioUlaw;
  if (pt == "8") return kAudioAlaw;
  return refuse("payload type " + std::string(pt));
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

// Defined with the standard-mode description reader below.
static void ApplyNamedVideoCodec(std::string_view reply, StreamFormat* f);

namespace {

// An audio track in a codec we cannot decode is not set up at all: no
// sound beats noise.
void SetAudioTrackCode(std::string_view reply, StreamFormat* f) {
  f->audio_unsupported.clear();
  f->audio_code = AudioCodeFromSdp(reply, &f->audio_unsupported);
  if (f->audio_code == kAudioNone) f->audio_track = 0;
}

}  // namespace

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
    ApplyNamedVideoCodec(reply, f);
    f->audio_code = kAudioUlaw;
    f->video_track = '1';
    if (Contains(reply, "track2")) {
      f->audio_track = '2';
      SetAudioTrackCode(reply, f);
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
  ApplyNamedVideoCodec(reply, f);
  // Without an audio track there is no audio, whatever the text lists.
  f->audio_code = kAudioNone;
  if (audio) SetAudioTrackCode(reply, f);
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
    ApplyNamedVideoCodec(reply, f);
  }
  f->video_track = '1';
  if (Contains(reply, "track2")) {
    f->audio_track = '2';
    SetAudioTrackCode(reply, f);
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

// --- Standard RTSP servers ------------------------------------------------

namespace {

// Text that may stand in a request line: printable, no white space.
bool UrlSafe(std::string_view v) {
  if (v.empty() || v.size() > kMaxStandardUrl) return false;
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(std::string_view in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      *out += in[i];
      continue;
    }
    if (i + 2 >= in.size() || HexDigit(in[i + 1]) < 0 || HexDigit(in[i + 2]) < 0) return false;
    *out += static_cast<char>(HexDigit(in[i + 1]) * 16 + HexDigit(in[i + 2]));
    i += 2;
  }
  return true;
}

std::string_view Trim(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) {
    v.remove_suffix(1);
  }
  return v;
}

// One media description of an SDP text, or the session part.
struct SdpSection {
  std::string_view kind;                     // "video", "audio", ... ("" for the session part)
  std::string_view first_format;             // first payload type of the m= line
  std::vector<std::string_view> attributes;  // "a=" values
  std::vector<std::string_view> bandwidths;  // "b=" values
};

std::vector<SdpSection> SplitSdp(std::string_view reply) {
  size_t body = reply.find("\r\n\r\n");
  std::string_view sdp = body == std::string_view::npos ? reply : reply.substr(body + 4);
  std::vector<SdpSection> out(1);
  for (size_t pos = 0; pos < sdp.size();) {
    size_t eol = sdp.find('\n', pos);
    std::string_view line =
        Trim(sdp.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos));
    pos = eol == std::string_view::npos ? sdp.size() : eol + 1;
    if (line.size() < 2 || line[1] != '=') continue;
    std::string_view value = line.substr(2);
    switch (line[0]) {
      case 'm': {
        SdpSection m;
        size_t sp = value.find(' ');
        m.kind = value.substr(0, sp);
        // "<media> <port> <proto> <fmt> ...": the fourth field.
        std::string_view rest = sp == std::string_view::npos ? "" : value.substr(sp + 1);
        for (int i = 0; i < 2; ++i) {
          size_t e = rest.find(' ');
          rest = e == std::string_view::npos ? "" : Trim(rest.substr(e + 1));
        }
        m.first_format = rest.substr(0, rest.find(' '));
        out.push_back(m);
        break;
      }
      case 'a':
        out.back().attributes.push_back(value);
        break;
      case 'b':
        out.back().bandwidths.push_back(value);
        break;
      default:
        break;
    }
  }
  return out;
}

// Value of "a=<name>:<value>" (name case-insensitive); false when absent.
bool Attribute(const SdpSection& m, std::string_view name, std::string_view* value) {
  for (std::string_view a : m.attributes) {
    if (a.size() > name.size() && a[name.size()] == ':' &&
        EqualsNoCase(a.substr(0, name.size()), name)) {
      *value = Trim(a.substr(name.size() + 1));
      return true;
    }
  }
  return false;
}

// "a=rtpmap:<pt> <value>" or "a=fmtp:<pt> <value>" for the first format.
bool FormatAttribute(const SdpSection& m, std::string_view name, std::string_view* value) {
  for (std::string_view a : m.attributes) {
    if (a.size() <= name.size() + 1 || a[name.size()] != ':' ||
        !EqualsNoCase(a.substr(0, name.size()), name)) {
      continue;
    }
    std::string_view rest = a.substr(name.size() + 1);
    size_t sp = rest.find(' ');
    if (sp == std::string_view::npos || rest.substr(0, sp) != m.first_format) continue;
    *value = Trim(rest.substr(sp + 1));
    return true;
  }
  return false;
}

// A parameter of an fmtp value ("k1=v1;k2=v2"), name case-insensitive.
bool FmtpParameter(std::string_view fmtp, std::string_view name, std::string_view* value) {
  for (size_t b = 0; b < fmtp.size();) {
    size_t e = fmtp.find(';', b);
    std::string_view p =
        Trim(fmtp.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b));
    size_t eq = p.find('=');
    if (eq != std::string_view::npos && EqualsNoCase(Trim(p.substr(0, eq)), name)) {
      *value = Trim(p.substr(eq + 1));
      return true;
    }
    if (e == std::string_view::npos) break;
    b = e + 1;
  }
  return false;
}

// Code of the first format of a video media description; kVideoUnsupported
// (with its encoding name in *name) for a codec we do not decode.
uint8_t StandardVideoCode(const SdpSection& m, std::string* name = nullptr) {
  std::string_view map;
  if (FormatAttribute(m, "rtpmap", &map)) {
    size_t slash = map.find('/');
    std::string_view encoding = map.substr(0, slash);
    std::string_view clock = slash == std::string_view::npos ? "" : map.substr(slash + 1);
    if (clock == "90000") {
      if (EqualsNoCase(encoding, "H264")) return kVideoH264;
      if (EqualsNoCase(encoding, "H265")) return kVideoH265;
      if (EqualsNoCase(encoding, "JPEG")) return kVideoJpeg;
    }
    if (name) *name = Printable(encoding.substr(0, 63));
    return kVideoUnsupported;
  }
  if (m.first_format == "26") return kVideoJpeg;
  if (name) *name = Printable("payload type " + std::string(m.first_format.substr(0, 16)));
  return kVideoUnsupported;
}

// Picture size from an H.265 description's sprop-sps; false when absent or
// bad.
bool SizeFromSpropSps(const SdpSection& m, int32_t* width, int32_t* height) {
  std::string_view fmtp, v;
  if (!FormatAttribute(m, "fmtp", &fmtp) || !FmtpParameter(fmtp, "sprop-sps", &v)) return false;
  std::vector<uint8_t> sps;
  SpsPictureSize size;
  if (!Base64Decode(v.substr(0, v.find(',')), &sps) ||
      !ParseH265SpsPictureSize(sps.data(), sps.size(), &size)) {
    return false;
  }
  *width = size.width;
  *height = size.height;
  return true;
}

// The parameter sets of a video media description in Annex B form: H.264's
// sprop-parameter-sets (comma-separated), H.265's sprop-vps, -sps and -pps.
std::string DescribedParameterSets(const SdpSection& m, uint8_t code) {
  std::string_view fmtp;
  if (!FormatAttribute(m, "fmtp", &fmtp)) return {};
  std::vector<std::string_view> lists;
  std::string_view v;
  if (code == kVideoH264 && FmtpParameter(fmtp, "sprop-parameter-sets", &v)) lists.push_back(v);
  if (code == kVideoH265) {
    for (const char* name : {"sprop-vps", "sprop-sps", "sprop-pps"}) {
      if (FmtpParameter(fmtp, name, &v)) lists.push_back(v);
    }
  }
  std::string out;
  for (std::string_view list : lists) {
    for (size_t b = 0; b <= list.size();) {
      size_t e = list.find(',', b);
      if (e == std::string_view::npos) e = list.size();
      std::vector<uint8_t> unit;
      if (e > b && Base64Decode(list.substr(b, e - b), &unit) && unit.size() >= 2) {
        if (out.size() + 4 + unit.size() > kMaxDescribedParameterSets) return {};
        out.append("\0\0\0\1", 4);
        out.append(reinterpret_cast<const char*>(unit.data()), unit.size());
      }
      b = e + 1;
    }
  }
  return out;
}

// sprop-max-don-diff above 0: units carry decoding order numbers (RFC 7798
// 7.1). Out-of-range text counts as above 0, so that it is not misread.
bool UsesDonl(const SdpSection& m) {
  std::string_view fmtp, v;
  if (!FormatAttribute(m, "fmtp", &fmtp) || !FmtpParameter(fmtp, "sprop-max-don-diff", &v)) {
    return false;
  }
  return !(v.size() == 1 && v[0] == '0');
}

// AAC as the audio path decodes it: AAC-hbr (13-bit AU sizes, so one
// 4-byte AU-header section per packet) of an LC, 16 kHz, mono config.
bool AacConfigDecodable(std::string_view fmtp) {
  std::string_view v;
  if (FmtpParameter(fmtp, "sizelength", &v) && v != "13") return false;
  if (FmtpParameter(fmtp, "indexlength", &v) && v != "3") return false;
  if (!FmtpParameter(fmtp, "config", &v)) return true;
  if (v.size() < 4) return false;
  int d[4];
  for (int i = 0; i < 4; ++i) {
    d[i] = HexDigit(v[static_cast<size_t>(i)]);
    if (d[i] < 0) return false;
  }
  const uint32_t bits = static_cast<uint32_t>((d[0] << 12) | (d[1] << 8) | (d[2] << 4) | d[3]);
  const uint32_t object = bits >> 11, rate_index = (bits >> 7) & 15, channels = (bits >> 3) & 15;
  return object == 2 && rate_index == 8 && channels == 1;
}

uint8_t StandardAudioCode(const SdpSection& m, std::string* unsupported) {
  std::string_view map;
  if (FormatAttribute(m, "rtpmap", &map)) {
    uint8_t code = CodeOfEncoding(map);
    std::string_view fmtp;
    if (code == kAudioAac && FormatAttribute(m, "fmtp", &fmtp) && !AacConfigDecodable(fmtp)) {
      code = kAudioNone;
    }
    if (code == kAudioNone && unsupported) *unsupported = Printable(map);
    return code;
  }
  if (m.first_format == "0") return kAudioUlaw;
  if (m.first_format == "8") return kAudioAlaw;
  if (unsupported) *unsupported = Printable("payload type " + std::string(m.first_format));
  return kAudioNone;
}

}  // namespace

bool IsRtspUrl(std::string_view text) {
  return text.size() >= 7 && EqualsNoCase(text.substr(0, 7), "rtsp://");
}

bool ParseRtspUrl(std::string_view url, RtspUrl* out) {
  if (!IsRtspUrl(url) || !UrlSafe(url)) return false;
  RtspUrl r;
  std::string_view rest = url.substr(7);
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  r.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view info = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = info.find(':');
    if (!PercentDecode(info.substr(0, colon), &r.user)) return false;
    if (colon != std::string_view::npos && !PercentDecode(info.substr(colon + 1), &r.password)) {
      return false;
    }
    r.has_credentials = true;
  }
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    r.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return false;
      port = after.substr(1);
    }
  } else {
    size_t colon = authority.find(':');
    r.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (r.host.empty()) return false;
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    int v = 0;
    for (char c : port) v = v * 10 + (c - '0');
    if (v < 1 || v > 65535) return false;
    r.port = v;
  }
  *out = std::move(r);
  return true;
}

std::string MakeRtspUrl(std::string_view host, int32_t port, std::string_view path) {
  const bool v6 = host.find(':') != std::string_view::npos;
  return Format(v6 ? "rtsp://[%s]:%d%s" : "rtsp://%s:%d%s", S(host).c_str(), port, S(path).c_str());
}

bool HeaderValue(std::string_view reply, std::string_view name, std::string* value) {
  size_t end = reply.find("\r\n\r\n");
  std::string_view headers = reply.substr(0, end);
  for (size_t pos = 0; pos < headers.size();) {
    size_t eol = headers.find("\r\n", pos);
    std::string_view line =
        headers.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
    pos = eol == std::string_view::npos ? headers.size() : eol + 2;
    if (line.size() > name.size() && line[name.size()] == ':' &&
        EqualsNoCase(line.substr(0, name.size()), name)) {
      *value = std::string(Trim(line.substr(name.size() + 1)));
      return true;
    }
  }
  return false;
}

int PublicListsGetParameter(std::string_view reply) {
  std::string list;
  if (!HeaderValue(reply, "Public", &list)) return -1;
  for (size_t b = 0; b <= list.size();) {
    size_t c = list.find(',', b);
    std::string_view tok = Trim(
        std::string_view(list).substr(b, c == std::string::npos ? std::string_view::npos : c - b));
    if (EqualsNoCase(tok, "GET_PARAMETER")) return 1;
    if (c == std::string::npos) break;
    b = c + 1;
  }
  return 0;
}

bool RedirectLocation(std::string_view reply, std::string* location) {
  const int status = ReplyStatus(reply);
  if (status < 300 || status > 399) return false;
  std::string v;
  if (!HeaderValue(reply, "Location", &v) || !IsRtspUrl(v) || !UrlSafe(v)) return false;
  *location = std::move(v);
  return true;
}

bool UsesDialectControls(std::string_view reply) {
  return Contains(reply, "trackID=");
}

std::string DescriptionBaseUrl(std::string_view reply, std::string_view request_url) {
  std::string v;
  if (HeaderValue(reply, "Content-Base", &v) && IsRtspUrl(v) && UrlSafe(v)) return v;
  if (HeaderValue(reply, "Content-Location", &v) && IsRtspUrl(v) && UrlSafe(v)) return v;
  return std::string(request_url);
}

std::string ResolveControl(std::string_view base, std::string_view control) {
  if (IsRtspUrl(control)) return std::string(control);
  if (control.empty() || control == "*") return std::string(base);
  if (!base.empty() && base.back() == '/') return std::string(base) + std::string(control);
  return std::string(base) + "/" + std::string(control);
}

bool ReadStandardDescription(std::string_view reply, std::string_view request_url,
                             StreamFormat* f) {
  const std::string base = DescriptionBaseUrl(reply, request_url);
  const std::vector<SdpSection> sections = SplitSdp(reply);
  std::string_view control;
  std::string session_url =
      Attribute(sections[0], "control", &control) ? ResolveControl(base, control) : base;
  if (!UrlSafe(session_url)) session_url = base;

  const SdpSection* video = nullptr;
  const SdpSection* audio = nullptr;
  uint8_t video_code = 0, audio_code = kAudioNone;
  std::string unsupported, video_name;
  std::string video_url, audio_url;
  for (size_t i = 1; i < sections.size(); ++i) {
    const SdpSection& m = sections[i];
    std::string_view c;
    std::string url = ResolveControl(base, Attribute(m, "control", &c) ? c : std::string_view());
    if (!UrlSafe(url)) continue;
    if ((video == nullptr || video_code == kVideoUnsupported) && m.kind == "video") {
      std::string name;
      const uint8_t code = StandardVideoCode(m, &name);
      // A video we cannot decode is taken only while no other shows up: it
      // is reported instead of a start that fails for no visible reason.
      if (video == nullptr || code != kVideoUnsupported) {
        video = &m;
        video_code = code;
        video_url = std::move(url);
        video_name = std::move(name);
      }
    } else if (audio == nullptr && m.kind == "audio") {
      std::string why;
      if (uint8_t code = StandardAudioCode(m, &why); code != kAudioNone) {
        audio = &m;
        audio_code = code;
        audio_url = std::move(url);
      } else if (unsupported.empty()) {
        unsupported = why;
      }
    }
  }
  if (video == nullptr) return false;

  f->standard = true;
  f->parameter_sets.clear();
  f->session_url = session_url;
  f->video_url = video_url;
  f->audio_url = audio_url;
  f->video_code = video_code;
  f->video_unsupported = video_code == kVideoUnsupported ? video_name : std::string();
  f->video_don = video_code == kVideoH265 && UsesDonl(*video);
  // H.264's sets reach the depacketiser (parameter_sets below).
  f->video_parameter_sets =
      video_code == kVideoH265 ? DescribedParameterSets(*video, video_code) : std::string();
  if (video_code == kVideoH265) SizeFromSpropSps(*video, &f->width, &f->height);
  f->video_track = '1';
  f->audio_track = audio ? '2' : 0;
  f->audio_code = audio ? audio_code : kAudioNone;
  f->audio_unsupported = audio ? std::string() : unsupported;

  int32_t sps_rate = 0;
  std::string_view fmtp, sets;
  if (video_code == kVideoH264 && FormatAttribute(*video, "fmtp", &fmtp) &&
      FmtpParameter(fmtp, "sprop-parameter-sets", &sets)) {
    for (size_t b = 0; b < sets.size();) {
      size_t e = sets.find(',', b);
      std::vector<uint8_t> unit;
      if (Base64Decode(sets.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b),
                       &unit) &&
          !unit.empty() && f->parameter_sets.size() + unit.size() < 64 * 1024) {
        f->parameter_sets.insert(f->parameter_sets.end(), {0, 0, 0, 1});
        f->parameter_sets.insert(f->parameter_sets.end(), unit.begin(), unit.end());
      }
      if (e == std::string_view::npos) break;
      b = e + 1;
    }
    std::vector<uint8_t> sps;
    SpsPictureSize size;
    if (Base64Decode(sets.substr(0, sets.find(',')), &sps) &&
        ParseSpsPictureSize(sps.data(), sps.size(), &size)) {
      f->width = size.width;
      f->height = size.height;
      sps_rate = size.frame_rate;
    }
  }
  std::string_view rate;
  if (Attribute(*video, "framerate", &rate) || Attribute(sections[0], "framerate", &rate)) {
    // "25", "29.97": rounded to whole frames.
    double fps = 0;
    if (std::sscanf(std::string(rate).c_str(), "%lf", &fps) == 1 && fps >= 0.5 && fps <= 1000) {
      f->frame_rate = static_cast<int32_t>(fps + 0.5);
    } else if (sps_rate > 0) {
      f->frame_rate = sps_rate;
    }
  } else if (sps_rate > 0) {
    f->frame_rate = sps_rate;
  }
  for (std::string_view b : video->bandwidths) {
    if (b.size() > 3 && EqualsNoCase(b.substr(0, 3), "AS:")) {
      size_t p = 3;
      int64_t kbps = 0;
      if (ScanInt(b, &p, &kbps) && kbps > 0 && kbps <= (int64_t{1} << 21)) {
        f->bit_rate = static_cast<int32_t>(kbps * 1024);
      }
    }
  }
  return true;
}

std::string StandardRequest(const RequestContext& c, std::string_view method, std::string_view url,
                            bool with_session, std::string_view extra) {
  std::string s =
      Format("%s %s RTSP/1.0\r\nCSeq: %d\r\n", S(method).c_str(), S(url).c_str(), c.cseq);
  if (with_session) s += "Session: " + c.session_id + "\r\n";
  s += extra;
  s += AuthorizationLine(c.auth, method, url);
  s += kUserAgentLine;
  s += "\r\n";
  return s;
}

std::string StandardSetupRequest(const RequestContext& c, std::string_view url, bool audio,
                                 int client_port, bool with_session) {
  std::string transport =
      c.udp
          ? Format("Transport: RTP/AVP;unicast;client_port=%d-%d\r\n", client_port, client_port + 1)
          : std::string(audio ? "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n"
                              : "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  return StandardRequest(c, "SETUP", url, with_session, transport);
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

static void ApplyNamedVideoCodec(std::string_view reply, StreamFormat* f) {
  f->video_don = false;
  f->video_unsupported.clear();
  f->video_parameter_sets.clear();
  const std::vector<SdpSection> sections = SplitSdp(reply);
  for (size_t i = 1; i < sections.size(); ++i) {
    const SdpSection& m = sections[i];
    if (m.kind != "video") continue;
    std::string_view map;
    if (!FormatAttribute(m, "rtpmap", &map)) return;
    const size_t slash = map.find('/');
    if (slash == std::string_view::npos || map.substr(slash + 1) != "90000") return;
    const std::string_view encoding = map.substr(0, slash);
    if (EqualsNoCase(encoding, "H264")) {
      // The devices' payload 99 keeps its own code.
      if (f->video_code != kVideoRtpmap99) f->video_code = kVideoH264;
    } else if (EqualsNoCase(encoding, "H265")) {
      f->video_code = kVideoH265;
      f->video_don = UsesDonl(m);
      f->video_parameter_sets = DescribedParameterSets(m, kVideoH265);
      SizeFromSpropSps(m, &f->width, &f->height);
    }
    return;
  }
}

}  // namespace quornet::rtsp
