#include "rtsp_proto.h"

#include <cctype>
#include <charconv>
#include <cstdio>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
}

namespace devicesim {

namespace {

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Decimal without sign, at most `max_digits` digits; nullopt otherwise.
std::optional<int> ParseUint(std::string_view s, size_t max_digits = 9) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < 0) return std::nullopt;
  return v;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

std::string Hex(const uint8_t* p, size_t n, bool upper) {
  static const char* kLower = "0123456789abcdef";
  static const char* kUpper = "0123456789ABCDEF";
  const char* digits = upper ? kUpper : kLower;
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

const std::string* Request::Header(std::string_view name) const {
  for (const auto& [k, v] : headers)
    if (EqualsIgnoreCase(k, name)) return &v;
  return nullptr;
}

ParseStatus ParseRequest(std::string_view buf, Request* out, size_t* consumed) {
  // Blank lines between requests are tolerated (RFC 2326 15: robustness).
  size_t start = 0;
  while (start < buf.size() && (buf[start] == '\r' || buf[start] == '\n')) ++start;
  if (start > kMaxHeaderBytes) return ParseStatus::kBad;
  std::string_view rest = buf.substr(start);

  // End of the header block: an empty line, written CRLF or bare LF.
  size_t header_end = std::string_view::npos;
  size_t body_start = 0;
  for (size_t i = 0; i < rest.size() && i < kMaxHeaderBytes; ++i) {
    if (rest[i] != '\n') continue;
    if (i + 1 < rest.size() && rest[i + 1] == '\n') {
      header_end = i;
      body_start = i + 2;
      break;
    }
    if (i + 2 < rest.size() && rest[i + 1] == '\r' && rest[i + 2] == '\n') {
      header_end = i;
      body_start = i + 3;
      break;
    }
  }
  if (header_end == std::string_view::npos)
    return rest.size() >= kMaxHeaderBytes ? ParseStatus::kBad : ParseStatus::kNeedMore;

  Request req;
  std::string_view head = rest.substr(0, header_end);
  bool first = true;
  while (!head.empty()) {
    size_t nl = head.find('\n');
    std::string_view line = head.substr(0, nl);
    head = nl == std::string_view::npos ? std::string_view() : head.substr(nl + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return ParseStatus::kBad;
    if (first) {
      first = false;
      size_t sp1 = line.find(' ');
      if (sp1 == std::string_view::npos || sp1 == 0) return ParseStatus::kBad;
      size_t sp2 = line.find(' ', sp1 + 1);
      if (sp2 == std::string_view::npos || sp2 == sp1 + 1) return ParseStatus::kBad;
      std::string_view method = line.substr(0, sp1);
      std::string_view url = line.substr(sp1 + 1, sp2 - sp1 - 1);
      std::string_view version = Trim(line.substr(sp2 + 1));
      for (char c : method)
        if (!IsTokenChar(c)) return ParseStatus::kBad;
      if (!StartsWith(version, "RTSP/") || url.find(' ') != std::string_view::npos)
        return ParseStatus::kBad;
      req.method = method;
      req.url = url;
      req.version = version;
      continue;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      // Folded continuation of the previous header (RFC 2616 2.2).
      if (req.headers.empty()) return ParseStatus::kBad;
      req.headers.back().second += ' ';
      req.headers.back().second += Trim(line);
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return ParseStatus::kBad;
    std::string_view name = line.substr(0, colon);
    for (char c : name)
      if (!IsTokenChar(c)) return ParseStatus::kBad;
    if (req.headers.size() >= kMaxHeaders) return ParseStatus::kBad;
    req.headers.emplace_back(std::string(name), std::string(Trim(line.substr(colon + 1))));
  }
  if (first) return ParseStatus::kBad;

  size_t body_len = 0;
  if (const std::string* cl = req.Header("Content-Length")) {
    auto n = ParseUint(Trim(*cl), 6);
    if (!n || static_cast<size_t>(*n) > kMaxBodyBytes) return ParseStatus::kBad;
    body_len = static_cast<size_t>(*n);
  }
  if (rest.size() - body_start < body_len) return ParseStatus::kNeedMore;
  req.body = rest.substr(body_start, body_len);
  *consumed = start + body_start + body_len;
  *out = std::move(req);
  return ParseStatus::kOk;
}

std::optional<Target> ParseTarget(std::string_view url) {
  std::string_view path;
  if (StartsWithIgnoreCase(url, "rtsp://")) {
    std::string_view rest = url.substr(7);
    size_t slash = rest.find('/');
    // The authority may not carry a query or fragment of its own.
    std::string_view authority = rest.substr(0, slash);
    if (authority.empty() || authority.find_first_of("?#") != std::string_view::npos)
      return std::nullopt;
    path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
  } else if (StartsWith(url, "/")) {
    path = url;
  } else {
    return std::nullopt;
  }
  if (path.size() > 1024) return std::nullopt;
  for (char c : path)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      return std::nullopt;

  Target t;
  // Track suffix: ".../trackID=K" or ".../trackK" (also after a query, as in
  // the recorder's "/replay/01?stime=.../track1").
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t last = path.rfind('/');
  if (last != std::string_view::npos) {
    std::string_view seg = path.substr(last + 1);
    std::optional<int> track;
    if (StartsWith(seg, "trackID=")) {
      track = ParseUint(seg.substr(8), 2);
    } else if (StartsWith(seg, "stream=")) {
      track = ParseUint(seg.substr(7), 2);
      if (track) track = *track + 1;
    } else if (StartsWith(seg, "track")) {
      track = ParseUint(seg.substr(5), 2);
    }
    if (track) {
      if (*track < 1 || *track > 2) return std::nullopt;
      t.track = *track;
      path = path.substr(0, last);
      while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
      if (path.empty()) path = "/";
    }
  }

  if (StartsWith(path, "/replay/")) {
    std::string_view rest = path.substr(8);
    size_t q = rest.find('?');
    if (q == std::string_view::npos) return std::nullopt;
    auto ch = ParseUint(rest.substr(0, q), 6);
    std::string_view query = rest.substr(q + 1);
    if (!ch || !StartsWith(query, "stime=")) return std::nullopt;
    std::string_view stime = query.substr(6);
    if (stime.empty() || stime.size() > 64) return std::nullopt;
    t.kind = Target::Kind::kReplay;
    t.channel = *ch;
    t.stime = stime;
    return t;
  }
  if (path.find('?') != std::string_view::npos) {
    // Queries are only meaningful on replay URLs; elsewhere they are kept as
    // part of a generic path.
    t.kind = Target::Kind::kPath;
    t.path = path;
    return t;
  }
  if (StartsWith(path, "/monitor/")) {
    auto ch = ParseUint(path.substr(9), 6);
    if (!ch) return std::nullopt;
    t.kind = Target::Kind::kMonitor;
    t.channel = *ch;
    return t;
  }
  if (auto ch = ParseUint(path.substr(1), 6)) {
    t.kind = Target::Kind::kChannel;
    t.channel = *ch;
    return t;
  }
  t.kind = Target::Kind::kPath;
  t.path = path;
  return t;
}

std::optional<Transport> ParseTransport(std::string_view value) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    std::string_view spec = Trim(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);

    Transport t;
    bool ok = true;
    bool multicast = false;
    size_t semi = spec.find(';');
    std::string_view proto = spec.substr(0, semi);
    if (EqualsIgnoreCase(proto, "RTP/AVP/TCP")) {
      t.tcp = true;
    } else if (!EqualsIgnoreCase(proto, "RTP/AVP") && !EqualsIgnoreCase(proto, "RTP/AVP/UDP")) {
      continue;
    }
    std::string_view params = semi == std::string_view::npos ? "" : spec.substr(semi + 1);
    while (!params.empty()) {
      size_t s = params.find(';');
      std::string_view p = Trim(params.substr(0, s));
      params = s == std::string_view::npos ? std::string_view() : params.substr(s + 1);
      size_t eq = p.find('=');
      std::string_view key = p.substr(0, eq);
      std::string_view val = eq == std::string_view::npos ? "" : p.substr(eq + 1);
      if (EqualsIgnoreCase(key, "multicast")) multicast = true;
      int* dst = nullptr;
      int limit = 0;
      if (EqualsIgnoreCase(key, "interleaved")) {
        dst = t.interleaved;
        limit = 255;
      } else if (EqualsIgnoreCase(key, "client_port")) {
        dst = t.client_port;
        limit = 65535;
      }
      if (!dst) continue;
      size_t dash = val.find('-');
      auto a = ParseUint(val.substr(0, dash), 5);
      std::optional<int> b;
      if (dash != std::string_view::npos) b = ParseUint(val.substr(dash + 1), 5);
      if (!a || *a > limit || (dash != std::string_view::npos && (!b || *b > limit))) {
        ok = false;
        break;
      }
      dst[0] = *a;
      dst[1] = b ? *b : std::min(*a + 1, limit);
    }
    if (!ok || multicast) continue;
    if (t.tcp) {
      if (t.interleaved[0] < 0) {
        t.interleaved[0] = 0;
        t.interleaved[1] = 1;
      }
    } else if (t.client_port[0] <= 0) {
      continue;
    }
    return t;
  }
  return std::nullopt;
}

std::string Md5Hex(std::string_view text) {
  uint8_t digest[16];
  av_md5_sum(digest, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return Hex(digest, sizeof digest, false);
}

std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view pass,
                           std::string_view method, std::string_view uri, std::string_view nonce) {
  auto join = [](std::initializer_list<std::string_view> parts) {
    std::string s;
    bool first = true;
    for (auto p : parts) {
      if (!first) s += ':';
      first = false;
      s += p;
    }
    return s;
  };
  const std::string ha1 = Md5Hex(join({user, realm, pass}));
  const std::string ha2 = Md5Hex(join({method, uri}));
  return Md5Hex(join({ha1, nonce, ha2}));
}

std::string Base64Encode(std::string_view bytes) {
  if (bytes.size() > (1u << 20)) return {};
  std::string out(AV_BASE64_SIZE(bytes.size()), '\0');
  av_base64_encode(out.data(), static_cast<int>(out.size()),
                   reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  if (text.size() > (1u << 20)) return std::nullopt;
  std::string in(text);  // av_base64_decode wants a terminated string
  std::string out(AV_BASE64_DECODE_SIZE(in.size()) + 1, '\0');
  int n = av_base64_decode(reinterpret_cast<uint8_t*>(out.data()), in.c_str(),
                           static_cast<int>(out.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ParseAuthParams(
    std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
  };
  skip();
  while (i < text.size()) {
    size_t k = i;
    while (i < text.size() && IsTokenChar(text[i])) ++i;
    if (i == k || i >= text.size() || text[i] != '=') return std::nullopt;
    std::string key(text.substr(k, i - k));
    ++i;
    std::string val;
    if (i < text.size() && text[i] == '"') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char c = text[i++];
        if (c == '\\' && i < text.size()) {
          val += text[i++];
        } else if (c == '"') {
          closed = true;
          break;
        } else {
          val += c;
        }
      }
      if (!closed) return std::nullopt;
    } else {
      size_t v = i;
      while (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != '\t') ++i;
      val = text.substr(v, i - v);
    }
    if (out.size() >= 16) return std::nullopt;
    out.emplace_back(std::move(key), std::move(val));
    skip();
  }
  return out;
}

bool CheckAuthorization(AuthScheme scheme, std::string_view authorization, std::string_view method,
                        std::string_view user, std::string_view pass, std::string_view realm,
                        std::string_view nonce, bool qop, std::string_view request_uri) {
  std::string_view a = Trim(authorization);
  if (scheme == AuthScheme::kBasic) {
    if (!StartsWithIgnoreCase(a, "Basic ")) return false;
    auto decoded = Base64Decode(Trim(a.substr(6)));
    if (!decoded) return false;
    std::string expected = std::string(user) + ":" + std::string(pass);
    return *decoded == expected;
  }
  if (scheme != AuthScheme::kDigest) return false;
  if (!StartsWithIgnoreCase(a, "Digest ")) return false;
  auto params = ParseAuthParams(a.substr(7));
  if (!params) return false;
  auto get = [&](std::string_view key) -> const std::string* {
    for (const auto& [k, v] : *params)
      if (EqualsIgnoreCase(k, key)) return &v;
    return nullptr;
  };
  const std::string* p_user = get("username");
  const std::string* p_realm = get("realm");
  const std::string* p_nonce = get("nonce");
  const std::string* p_uri = get("uri");
  const std::string* p_resp = get("response");
  if (!p_user || !p_realm || !p_nonce || !p_uri || !p_resp) return false;
  if (*p_user != user || *p_realm != realm || *p_nonce != nonce) return false;
  if (!request_uri.empty() && *p_uri != request_uri) return false;
  const std::string* p_qop = get("qop");
  if (!qop) {
    // qop was not offered, so a response computed with it cannot be right.
    if (p_qop) return false;
    return EqualsIgnoreCase(*p_resp, DigestResponse(user, realm, pass, method, *p_uri, nonce));
  }
  const std::string* p_nc = get("nc");
  const std::string* p_cnonce = get("cnonce");
  if (!p_qop || *p_qop != "auth" || !p_nc || p_nc->size() != 8 || !p_cnonce || p_cnonce->empty()) {
    return false;
  }
  const std::string ha1 =
      Md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(pass));
  const std::string ha2 = Md5Hex(std::string(method) + ":" + *p_uri);
  return EqualsIgnoreCase(*p_resp, Md5Hex(ha1 + ":" + std::string(nonce) + ":" + *p_nc + ":" +
                                          *p_cnonce + ":auth:" + ha2));
}

namespace {

const char* AudioRtpmap(AudioCodec a, int* pt) {
  switch (a) {
    case AudioCodec::kPcma:
      *pt = 8;
      return "PCMA/8000";
    case AudioCodec::kPcmu:
      *pt = 0;
      return "PCMU/8000";
    case AudioCodec::kG726_16:
      *pt = 97;
      return "G726-16/8000";
    case AudioCodec::kG726_24:
      *pt = 97;
      return "G726-24/8000";
    case AudioCodec::kG726_32:
      *pt = 97;
      return "G726-32/8000";
    case AudioCodec::kG726_40:
      *pt = 97;
      return "G726-40/8000";
    case AudioCodec::kAac:
      *pt = 108;
      return "mpeg4-generic/16000";
    case AudioCodec::kNone:
      break;
  }
  *pt = -1;
  return nullptr;
}

}  // namespace

std::string BuildSdp(const StreamInfo& info, Mode mode, const std::string& base,
                     const std::string& origin_address, AudioAnnounce announce,
                     bool absolute_controls) {
  const bool v6 = origin_address.find(':') != std::string::npos;
  auto control = [&](int track) {
    if (mode == Mode::kRecorder) return base + "/track" + std::to_string(track);
    if (mode == Mode::kStandard) {
      const std::string name = "stream=" + std::to_string(track - 1);
      return absolute_controls ? base + "/" + name : name;
    }
    return "trackID=" + std::to_string(track);
  };
  std::string s;
  s += "v=0\r\n";
  s += "o=- 1 1 IN " + std::string(v6 ? "IP6 " : "IP4 ") + origin_address + "\r\n";
  s += "s=qr-devicesim\r\n";
  s += std::string("c=IN ") + (v6 ? "IP6 ::" : "IP4 0.0.0.0") + "\r\n";
  s += "t=0 0\r\n";
  s += mode == Mode::kStandard && absolute_controls ? "a=control:" + base + "/\r\n"
                                                    : std::string("a=control:*\r\n");
  s += "a=range:npt=0-\r\n";
  if (info.unknown_video) {
    s += "m=video 0 RTP/AVP 96\r\n";
    s += "a=rtpmap:96 MP4V-ES/90000\r\n";
  } else if (info.codec == VideoCodec::kH265) {
    s += "m=video 0 RTP/AVP 96\r\n";
    s += "a=rtpmap:96 H265/90000\r\n";
    if (!info.sps.empty()) {
      s += "a=fmtp:96 sprop-vps=" + Base64Encode(info.vps) +
           ";sprop-sps=" + Base64Encode(info.sps) + ";sprop-pps=" + Base64Encode(info.pps) + "\r\n";
    }
  } else if (info.codec == VideoCodec::kH264) {
    s += "m=video 0 RTP/AVP 96\r\n";
    s += "a=rtpmap:96 H264/90000\r\n";
    s += "a=fmtp:96 packetization-mode=1";
    if (info.sps.size() >= 4) {
      const auto* p = reinterpret_cast<const uint8_t*>(info.sps.data());
      s += ";profile-level-id=" + Hex(p + 1, 3, true);
      s += ";sprop-parameter-sets=" + Base64Encode(info.sps) + "," + Base64Encode(info.pps);
    }
    s += "\r\n";
  } else {
    s += "m=video 0 RTP/AVP 26\r\n";
    s += "a=rtpmap:26 JPEG/90000\r\n";
  }
  s += "a=framerate:" + std::to_string(info.fps) + "\r\n";
  s += "a=control:" + control(1) + "\r\n";
  int pt = -1;
  if (const char* map = AudioRtpmap(info.audio, &pt)) {
    std::string name = map;
    if (announce == AudioAnnounce::kUpperCase) {
      for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      name += "/1";
    } else if (announce == AudioAnnounce::kUnknownCodec) {
      pt = 98;
      name = "L16/8000/1";
    }
    s += "m=audio 0 RTP/AVP " + std::to_string(pt) + "\r\n";
    s += "a=rtpmap:" + std::to_string(pt) + " " + name + "\r\n";
    if (info.audio == AudioCodec::kAac && announce != AudioAnnounce::kUnknownCodec) {
      // RFC 3640 3.3.6: AAC-hbr, 13-bit AU-size and 3-bit AU-Index(-delta).
      const auto* c = reinterpret_cast<const uint8_t*>(info.aac_config.data());
      s += "a=fmtp:108 streamtype=5;profile-level-id=15;mode=AAC-hbr;sizelength=13;"
           "indexlength=3;indexdeltalength=3;config=" +
           Hex(c, info.aac_config.size(), false) + "\r\n";
    }
    s += "a=control:" + control(2) + "\r\n";
  }
  return s;
}

}  // namespace devicesim
