#include "devicesim/device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <random>

#include "media_source.h"
#include "rtsp_proto.h"

namespace devicesim {

namespace {

// Path of an "rtsp://host[:port]/path" URL ("/" without one), or the text
// itself when it is a path already.
std::string UrlPath(const std::string& url) {
  if (url.size() < 7 || !EqualsIgnoreCase(std::string_view(url).substr(0, 7), "rtsp://")) {
    return url;
  }
  const size_t slash = url.find('/', 7);
  return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

bool StandardPathStartsWith(const std::string& url, const char* prefix) {
  const std::string path = UrlPath(url);
  const size_t n = std::strlen(prefix);
  return path.compare(0, n, prefix) == 0 && (path.size() == n || path[n] == '/');
}

}  // namespace

namespace {

using Clock = std::chrono::steady_clock;

// Inbound bytes a connection may buffer: one request with its body, or one
// interleaved frame (4 + 65535 bytes) from the client.
constexpr size_t kMaxInbound = kMaxHeaderBytes + kMaxBodyBytes + 4 + 65535;
// Outbound bytes handed to the kernel per pass; the rest waits in the queue.
constexpr size_t kMaxOutbuf = 256 * 1024;
constexpr size_t kMaxSessionsPerConnection = 16;
constexpr size_t kMaxConnections = 256;
constexpr size_t kMaxSources = 8;
constexpr size_t kMaxPadBytes = size_t{64} << 20;
constexpr auto kReadyTimeout = std::chrono::seconds(5);

std::string RandomHex(size_t n, bool upper) {
  static std::mutex mu;
  static std::mt19937_64 rng{std::random_device{}()};
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::lock_guard<std::mutex> lock(mu);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += digits[rng() & 15];
  return s;
}

void Wake(int efd) {
  const uint64_t one = 1;
  ssize_t r = write(efd, &one, sizeof one);
  (void)r;  // the counter cannot overflow in practice; a failed wake is retried by the poll timeout
}

void DrainWake(int efd) {
  uint64_t v;
  ssize_t r = read(efd, &v, sizeof v);
  (void)r;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 453:
      return "Not Enough Bandwidth";
    case 454:
      return "Session Not Found";
    case 455:
      return "Method Not Valid in This State";
    case 459:
      return "Aggregate Operation Not Allowed";
    case 461:
      return "Unsupported Transport";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

bool ValidSize(VideoCodec codec, int w, int h) {
  if (w < 128 || h < 64 || (w % 2) || (h % 2)) return false;
  // RFC 2435 carries width/8 and height/8 in one byte each.
  if (codec == VideoCodec::kMjpeg) return w % 8 == 0 && h % 8 == 0 && w <= 2040 && h <= 2040;
  return w <= 4096 && h <= 4096;
}

}  // namespace

const std::string* RequestRecord::Header(const std::string& name) const {
  for (const auto& [k, v] : headers)
    if (EqualsIgnoreCase(k, name)) return &v;
  return nullptr;
}

struct QueuedPacket {
  std::shared_ptr<const Bytes> rtp;
  bool tcp = false;
  uint8_t channel = 0;
  uint16_t port = 0;
};

struct Connection;

// One RTSP session. Fields marked (mu) are shared with the source thread,
// which calls Deliver; the rest belong to the connection thread.
struct Session final : PacketSink {
  Connection* conn = nullptr;
  std::string id;
  Target target;
  std::shared_ptr<MediaSource> source;
  bool subscribed = false;
  bool has_transport = false;
  Clock::time_point last_activity;

  std::mutex mu;
  bool tcp = false;                  // (mu)
  bool video = false;                // (mu)
  bool audio = false;                // (mu)
  uint8_t video_ch = 0;              // (mu)
  uint8_t audio_ch = 2;              // (mu)
  uint16_t video_port = 0;           // (mu)
  uint16_t audio_port = 0;           // (mu)
  bool playing = false;              // (mu)
  bool need_key = true;              // (mu) drop until a picture decoding can start at
  std::mt19937 rng;                  // (mu) UDP fault decisions
  std::optional<QueuedPacket> held;  // (mu) packet held back by the reorder fault

  bool Deliver(const Packet& p) override;
};

struct Connection {
  Device::Impl* dev = nullptr;
  uint64_t id = 0;
  int fd = -1;
  int wake_fd = -1;
  sockaddr_storage peer{};
  socklen_t peer_len = 0;
  Config cfg;
  std::string nonce;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};

  // Connection thread only.
  std::string in;
  std::string out;
  std::deque<QueuedPacket> pending;
  std::map<std::string, std::unique_ptr<Session>> sessions;
  std::shared_ptr<MediaSource> described;         // keeps the described stream warm until SETUP
  std::optional<Clock::time_point> first_packet;  // first media packet sent
  uint64_t packets_sent = 0;
  bool close_after_flush = false;
  bool protocol_decided = false;

  std::mutex qmu;
  std::deque<QueuedPacket> queue;  // guarded by qmu
  size_t queued_bytes = 0;         // guarded by qmu; includes `pending`

  ~Connection() {
    if (fd >= 0) close(fd);
    if (wake_fd >= 0) close(wake_fd);
  }

  // Source thread: queue a packet for sending; false when over budget.
  bool Enqueue(QueuedPacket q);
  void Run();
  bool ReadInput();
  void ProcessInput();
  void HandleRequest(const Request& req);
  void Respond(const Request* req, const std::string* cseq, Reply reply);
  bool WaitMs(int ms);
  void PumpQueue();
  bool Flush();
  bool Timers();
  void DropSession(const std::string& id);
  Session* FindSession(const Request& req, bool* named);
  SourceKey KeyFor(const Target& t, int scale_milli) const;
  // The URL a request names, mapped to the one this device serves.
  std::string ServedUrl(const std::string& url) const;
  // The encoder of `key`, started and ready; null with status 503 in `r`
  // when there is none (too many configurations, or it did not start).
  std::shared_ptr<MediaSource> ReadySource(const SourceKey& key, Reply* r);

  void Describe(const Request& req, Reply* r);
  void Setup(const Request& req, Reply* r);
  void Play(const Request& req, Reply* r);
};

struct Device::Impl {
  Faults faults;
  mutable std::mutex cfg_mu;
  Config cfg;  // guarded by cfg_mu; size and codec may change by fault

  int listen_fd = -1;
  int wake_fd = -1;
  int rtp_fd = -1;
  int rtcp_fd = -1;
  uint16_t port = 0;
  uint16_t udp_port = 0;
  std::string host;  // for URLs, brackets included for IPv6
  std::string BaseUrl() const { return "rtsp://" + host + ":" + std::to_string(port); }
  std::thread acceptor;
  std::atomic<bool> stopping{false};
  bool started = false;

  std::mutex conn_mu;
  std::list<std::unique_ptr<Connection>> conns;  // guarded by conn_mu
  uint64_t next_conn_id = 1;                     // guarded by conn_mu

  std::mutex src_mu;
  std::map<SourceKey, std::weak_ptr<MediaSource>> sources;  // guarded by src_mu
  FrameLedger ledger;

  mutable std::mutex log_mu;
  std::vector<RequestRecord> log;  // guarded by log_mu

  std::vector<std::pair<std::string, ConnectionHandler>> protocols;  // fixed after Start
  std::atomic<uint64_t> packets_sent{0};
  std::atomic<size_t> sessions{0};
  std::atomic<uint32_t> session_counter{0};

  std::shared_ptr<MediaSource> GetSource(const SourceKey& key, std::string* error);
  void AcceptLoop();
  void Reap(bool all);
  void Log(RequestRecord rec);
};

// ---------------------------------------------------------------------------
// Session

bool Session::Deliver(const Packet& p) {
  std::lock_guard<std::mutex> lock(mu);
  if (!playing) return false;
  const bool is_video = p.media == 0;
  if (is_video ? !video : !audio) return false;
  if (need_key) {
    // Audio waits for the first picture too, so both start together.
    if (!is_video && video) return false;
    if (is_video && !p.key_start) return false;
    need_key = false;
  }
  QueuedPacket q;
  q.rtp = p.rtp;
  q.tcp = tcp;
  q.channel = is_video ? video_ch : audio_ch;
  q.port = is_video ? video_port : audio_port;
  bool ok = true;
  if (!tcp) {
    Faults& f = conn->dev->faults;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double loss = f.udp_loss.load(), dup = f.udp_duplicate.load(),
                 reorder = f.udp_reorder.load();
    if (loss > 0 && u(rng) < loss) return true;  // lost on the way: counts as sent
    if (held) {
      ok = conn->Enqueue(q);
      conn->Enqueue(*held);
      held.reset();
    } else if (reorder > 0 && u(rng) < reorder) {
      held = q;
      return true;
    } else {
      ok = conn->Enqueue(q);
    }
    if (ok && dup > 0 && u(rng) < dup) conn->Enqueue(q);
  } else {
    ok = conn->Enqueue(q);
  }
  if (!ok) need_key = true;  // overflow: resume at the next key picture
  return ok;
}

// ---------------------------------------------------------------------------
// Connection

bool Connection::Enqueue(QueuedPacket q) {
  bool was_empty;
  {
    std::lock_guard<std::mutex> lock(qmu);
    const size_t n = q.rtp->size();
    if (queued_bytes + n > cfg.max_queue_bytes) return false;
    was_empty = queue.empty();
    queued_bytes += n;
    queue.push_back(std::move(q));
  }
  if (was_empty) Wake(wake_fd);
  return true;
}

bool Connection::WaitMs(int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop.load()) {
    // Rounded up: a truncated remainder would end the wait up to 1 ms early.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return true;
    pollfd p{wake_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100))) > 0) DrainWake(wake_fd);
  }
  return false;
}

bool Connection::ReadInput() {
  char buf[16384];
  for (;;) {
    if (in.size() >= kMaxInbound) {
      // More than any single request or frame may take: a hostile peer.
      Respond(nullptr, nullptr, Reply{400, {}, {}});
      close_after_flush = true;
      return true;
    }
    const size_t room = std::min(sizeof buf, kMaxInbound - in.size());
    ssize_t n = recv(fd, buf, room, MSG_DONTWAIT);
    if (n > 0) {
      in.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno == EINTR) continue;
    return false;
  }
}

void Connection::ProcessInput() {
  while (!close_after_flush && !in.empty() && !stop.load()) {
    if (in[0] == '$') {
      // Interleaved frame from the client (RTCP receiver reports): skipped.
      if (in.size() < 4) return;
      const size_t len = (static_cast<uint8_t>(in[2]) << 8) | static_cast<uint8_t>(in[3]);
      if (in.size() < 4 + len) return;
      in.erase(0, 4 + len);
      continue;
    }
    // A peer of a protocol this device does not serve may never send the
    // blank line that ends an RTSP request: judge its first line at once.
    const size_t eol = in.find('\n');
    std::string_view first_line(in.data(), eol == std::string::npos ? 0 : eol);
    if (!first_line.empty() && first_line.back() == '\r') first_line.remove_suffix(1);
    const bool foreign =
        eol != std::string::npos && first_line.find(" RTSP/1.") == std::string_view::npos;
    Request req;
    size_t used = 0;
    const ParseStatus st = foreign ? ParseStatus::kBad : ParseRequest(in, &req, &used);
    if (st == ParseStatus::kNeedMore) return;
    if (st == ParseStatus::kBad) {
      // The stream cannot be resynchronised after a framing error.
      Respond(nullptr, nullptr, Reply{400, {}, {}});
      close_after_flush = true;
      in.clear();
      return;
    }
    in.erase(0, used);
    HandleRequest(req);
  }
}

void Connection::Respond(const Request* req, const std::string* cseq, Reply reply) {
  const int delay = dev->faults.reply_delay_ms.load();
  if (delay > 0 && !WaitMs(delay)) return;
  std::string s = "RTSP/1.0 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
  if (cseq) s += "CSeq: " + *cseq + "\r\n";
  if (cfg.mode == Mode::kBanner) {
    // Device banner: the picture format follows the version as
    // "W*H*F*kbps" so that clients can size their buffers before SETUP.
    s += "Server: HalvenMoore Rtsp Server V200R001 " + std::to_string(cfg.width) + "*" +
         std::to_string(cfg.height) + "*" + std::to_string(cfg.fps) + "*" +
         std::to_string(cfg.bitrate_kbps) + "\r\n";
  }
  for (const auto& [k, v] : reply.headers) s += k + ": " + v + "\r\n";
  if (!reply.body.empty()) s += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
  s += "\r\n";
  s += reply.body;
  out += s;

  RequestRecord rec;
  rec.connection = id;
  rec.status = reply.status;
  if (req) {
    rec.method = req->method;
    rec.url = req->url;
    rec.headers = req->headers;
    rec.body = req->body;
  }
  dev->Log(std::move(rec));
}

Session* Connection::FindSession(const Request& req, bool* named) {
  const std::string* h = req.Header("Session");
  *named = h != nullptr;
  if (!h) return nullptr;
  std::string sid = h->substr(0, h->find(';'));
  while (!sid.empty() && (sid.back() == ' ' || sid.back() == '\t')) sid.pop_back();
  auto it = sessions.find(sid);
  if (it == sessions.end()) return nullptr;
  it->second->last_activity = Clock::now();
  return it->second.get();
}

std::string Connection::ServedUrl(const std::string& url) const {
  if (cfg.mode != Mode::kStandard) return url;
  // The standard server's other names of a stream: after a redirect, and
  // under its Content-Base elsewhere.
  for (const char* prefix : {"/moved", "/media"}) {
    if (StandardPathStartsWith(url, prefix)) {
      return dev->BaseUrl() + UrlPath(url).substr(std::strlen(prefix));
    }
  }
  return url;
}

SourceKey Connection::KeyFor(const Target& t, int scale_milli) const {
  SourceKey k;
  k.stap_a = cfg.mode == Mode::kStandard && cfg.standard.stap_a;
  k.strip_parameter_sets = cfg.mode == Mode::kStandard && cfg.standard.sets_in_description_only;
  k.codec = cfg.codec;
  k.width = cfg.width;
  k.height = cfg.height;
  k.fps = cfg.fps;
  k.gop = cfg.gop;
  k.bitrate_kbps = cfg.bitrate_kbps;
  k.mjpeg_quality = cfg.codec == VideoCodec::kMjpeg ? cfg.mjpeg_quality : 0;
  k.slices = cfg.codec == VideoCodec::kH264 ? cfg.slices : 1;
  k.pad_picture_bytes = cfg.codec == VideoCodec::kH264 ? cfg.pad_picture_bytes : 0;
  k.audio = cfg.audio;
  k.scene = cfg.scene;
  k.scale_milli = t.kind == Target::Kind::kReplay ? scale_milli : 1000;
  return k;
}

void Connection::DropSession(const std::string& sid) {
  auto it = sessions.find(sid);
  if (it == sessions.end()) return;
  std::unique_ptr<Session> s = std::move(it->second);
  sessions.erase(it);
  // Packets already queued hold their own buffers and do not refer to the
  // session, so it can go at once.
  if (s->subscribed) s->source->Unsubscribe(s.get());
  dev->sessions.fetch_sub(1);
  s.reset();  // may stop the source when this was its last user
}

void Connection::HandleRequest(const Request& req) {
  const std::string* cseq = req.Header("CSeq");
  if (!cseq || cseq->empty() || cseq->size() > 9 ||
      cseq->find_first_not_of("0123456789") != std::string::npos) {
    Respond(&req, nullptr, Reply{400, {}, {}});
    return;
  }
  if (req.version != "RTSP/1.0") {
    Respond(&req, cseq, Reply{400, {}, {}});
    return;
  }
  Reply r;
  bool named = false;
  Session* session = FindSession(req, &named);
  const bool standard = cfg.mode == Mode::kStandard;
  // Kept by value: TEARDOWN frees the session.
  const std::string sid = session ? session->id : std::string();

  // Credentials guard the creation of sessions; requests that name a
  // session of this connection were authorised when it was set up.
  if (cfg.auth != AuthScheme::kNone && req.method != "OPTIONS" && !session) {
    const std::string* auth = req.Header("Authorization");
    if (!auth || dev->faults.refuse_credentials.load() ||
        !CheckAuthorization(cfg.auth, *auth, req.method, cfg.user, cfg.pass, cfg.realm, nonce,
                            standard && cfg.standard.digest_qop,
                            standard ? std::string_view(req.url) : std::string_view())) {
      r.status = 401;
      if (cfg.auth == AuthScheme::kDigest) {
        r.headers.emplace_back("WWW-Authenticate",
                               "Digest realm=\"" + cfg.realm + "\", nonce=\"" + nonce + "\"" +
                                   (standard && cfg.standard.digest_qop ? ", qop=\"auth\"" : ""));
      } else {
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"" + cfg.realm + "\"");
      }
      Respond(&req, cseq, std::move(r));
      return;
    }
  }

  const std::string& m = req.method;
  const bool no_get_parameter = standard && cfg.standard.no_get_parameter;
  if (m == "OPTIONS") {
    r.headers.emplace_back("Public", no_get_parameter
                                         ? "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN"
                                         : "OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, "
                                           "GET_PARAMETER, SET_PARAMETER");
  } else if (m == "DESCRIBE" && standard && cfg.standard.redirect &&
             !StandardPathStartsWith(req.url, "/moved")) {
    r.status = 302;
    r.headers.emplace_back("Location", dev->BaseUrl() + "/moved" + UrlPath(req.url));
  } else if (m == "GET_PARAMETER" && no_get_parameter) {
    r.status = 405;
  } else if (m == "DESCRIBE") {
    Describe(req, &r);
  } else if (m == "SETUP") {
    Setup(req, &r);
  } else if (m == "PLAY") {
    Play(req, &r);
  } else if (m == "PAUSE") {
    if (!session) {
      r.status = 454;
    } else {
      std::lock_guard<std::mutex> lock(session->mu);
      session->playing = false;
    }
  } else if (m == "TEARDOWN") {
    if (session) {
      DropSession(session->id);
    } else if (named) {
      r.status = 454;
    } else {
      while (!sessions.empty()) DropSession(sessions.begin()->first);
    }
  } else if (m == "GET_PARAMETER" && dev->faults.refuse_get_parameter.load()) {
    r.status = 501;
  } else if (m == "GET_PARAMETER" || m == "SET_PARAMETER") {
    // Keep-alive: naming the session already refreshed it.
    if (named && !session) r.status = 454;
  } else {
    r.status = 501;
  }
  if (session && r.status == 200 && m != "TEARDOWN" && m != "SETUP")
    r.headers.emplace_back("Session", session->id);
  // The session's timer runs from the end of its last request: a request
  // that kept this device busy (a new encoder to start) must not count
  // against the client.
  Respond(&req, cseq, std::move(r));
  if (!sid.empty()) {
    if (auto it = sessions.find(sid); it != sessions.end())
      it->second->last_activity = Clock::now();
  }
}

std::shared_ptr<MediaSource> Connection::ReadySource(const SourceKey& key, Reply* r) {
  std::string err;
  auto source = dev->GetSource(key, &err);
  if (!source || !source->WaitReady(kReadyTimeout)) {
    r->status = 503;
    return nullptr;
  }
  return source;
}

void Connection::Describe(const Request& req, Reply* r) {
  auto target = ParseTarget(ServedUrl(req.url));
  if (!target || target->channel > cfg.max_channel) {
    r->status = 404;
    return;
  }
  auto source = ReadySource(KeyFor(*target, 1000), r);
  if (!source) return;
  std::string base = req.url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string origin = dev->host;
  if (!origin.empty() && origin.front() == '[') origin = origin.substr(1, origin.size() - 2);
  AudioAnnounce announce = cfg.audio_announce;
  if (cfg.mode == Mode::kStandard) {
    announce = AudioAnnounce::kUpperCase;
    if (cfg.standard.controls == StandardServer::Controls::kOtherBase) {
      base = dev->BaseUrl() + "/media" + UrlPath(base);
    }
  }
  r->headers.emplace_back("Content-Base", base + "/");
  r->headers.emplace_back("Content-Type", "application/sdp");
  StreamInfo info = source->Info();
  info.unknown_video = cfg.announce_unknown_video;
  r->body = BuildSdp(info, cfg.mode, base, origin, announce,
                     cfg.standard.controls == StandardServer::Controls::kAbsolute);
  described = std::move(source);
}

void Connection::Setup(const Request& req, Reply* r) {
  auto target = ParseTarget(ServedUrl(req.url));
  if (!target || target->channel > cfg.max_channel) {
    r->status = 404;
    return;
  }
  if (target->track == 0) {
    r->status = 459;
    return;
  }
  if (target->track == 2 && (cfg.audio == AudioCodec::kNone ||
                             (cfg.mode == Mode::kStandard && cfg.standard.refuse_audio_setup))) {
    r->status = 404;
    return;
  }
  const std::string* th = req.Header("Transport");
  auto transport = th ? ParseTransport(*th) : std::nullopt;
  if (!transport) {
    r->status = 461;
    return;
  }
  bool named = false;
  Session* s = FindSession(req, &named);
  if (named && !s) {
    r->status = 454;
    return;
  }
  if (!s) {
    if (sessions.size() >= kMaxSessionsPerConnection) {
      r->status = 453;
      return;
    }
    auto source = ReadySource(KeyFor(*target, 1000), r);
    if (!source) return;
    auto ns = std::make_unique<Session>();
    do {
      ns->id = RandomHex(8, true);
    } while (sessions.count(ns->id));
    ns->conn = this;
    ns->target = *target;
    ns->source = std::move(source);
    ns->last_activity = Clock::now();
    ns->rng.seed(dev->faults.udp_seed.load() + dev->session_counter.fetch_add(1));
    s = ns.get();
    sessions.emplace(ns->id, std::move(ns));
    dev->sessions.fetch_add(1);
  }
  if (s->has_transport) {
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->tcp != transport->tcp) {
      r->status = 461;
      return;
    }
  }
  std::string reply_transport;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    s->tcp = transport->tcp;
    if (transport->tcp) {
      const auto ch = static_cast<uint8_t>(transport->interleaved[0]);
      (target->track == 1 ? s->video_ch : s->audio_ch) = ch;
      reply_transport =
          "RTP/AVP/TCP;unicast;interleaved=" + std::to_string(transport->interleaved[0]) + "-" +
          std::to_string(transport->interleaved[1]);
    } else {
      const auto port = static_cast<uint16_t>(transport->client_port[0]);
      (target->track == 1 ? s->video_port : s->audio_port) = port;
      const uint32_t ssrc = target->track == 1 ? s->source->video_ssrc() : s->source->audio_ssrc();
      char ssrc_hex[9];
      std::snprintf(ssrc_hex, sizeof ssrc_hex, "%08X", ssrc);
      reply_transport = "RTP/AVP;unicast;client_port=" + std::to_string(transport->client_port[0]) +
                        "-" + std::to_string(transport->client_port[1]) +
                        ";server_port=" + std::to_string(dev->udp_port) + "-" +
                        std::to_string(dev->udp_port + 1) + ";ssrc=" + ssrc_hex;
    }
    (target->track == 1 ? s->video : s->audio) = true;
  }
  s->has_transport = true;
  described.reset();
  std::string session_header = s->id;
  const auto timeout_s = std::chrono::duration_cast<std::chrono::seconds>(cfg.session_timeout);
  if (cfg.session_timeout.count() > 0)
    session_header += ";timeout=" + std::to_string(std::max<int64_t>(1, timeout_s.count()));
  r->headers.emplace_back("Transport", reply_transport);
  r->headers.emplace_back("Session", session_header);
}

void Connection::Play(const Request& req, Reply* r) {
  bool named = false;
  Session* s = FindSession(req, &named);
  if (!s) {
    r->status = 454;
    return;
  }
  if (!s->has_transport) {
    r->status = 455;
    return;
  }
  std::optional<double> scale;
  if (const std::string* sh = req.Header("Scale")) {
    char* end = nullptr;
    const double v = std::strtod(sh->c_str(), &end);
    if (end == sh->c_str() || !std::isfinite(v) || v < 1.0 / 16 || v > 16) {
      r->status = 400;
      return;
    }
    scale = v;
  }
  if (scale && s->target.kind == Target::Kind::kReplay) {
    // A recording plays faster or slower: its pictures come at scale x fps.
    const int milli = static_cast<int>(std::lround(*scale * 1000));
    if (milli != s->source->key().scale_milli) {
      auto source = ReadySource(KeyFor(s->target, milli), r);
      if (!source) return;
      if (s->subscribed) s->source->Unsubscribe(s);
      s->subscribed = false;
      s->source = std::move(source);
    }
  }
  {
    std::lock_guard<std::mutex> lock(s->mu);
    s->playing = true;
    s->need_key = true;
  }
  if (!s->subscribed) {
    s->source->Subscribe(s);
    s->subscribed = true;
  }
  r->headers.emplace_back("Range", "npt=0.000-");
  if (scale) {
    char buf[32];
    const double effective = s->source->key().scale_milli / 1000.0;
    std::snprintf(buf, sizeof buf, "%.6f", effective);
    r->headers.emplace_back("Scale", buf);
  }
}

void Connection::PumpQueue() {
  {
    std::lock_guard<std::mutex> lock(qmu);
    while (!queue.empty()) {
      pending.push_back(std::move(queue.front()));
      queue.pop_front();
    }
  }
  size_t sent_bytes = 0;
  const int close_after = dev->faults.close_after_packets.load();
  while (!pending.empty() && out.size() < kMaxOutbuf) {
    if (close_after > 0 && packets_sent >= static_cast<uint64_t>(close_after)) break;
    QueuedPacket& q = pending.front();
    const Bytes& b = *q.rtp;
    if (q.tcp) {
      uint8_t ch = q.channel;
      int bad = dev->faults.bad_channel_packets.load();
      while (bad > 0 && !dev->faults.bad_channel_packets.compare_exchange_weak(bad, bad - 1)) {
      }
      if (bad > 0) ch = 4;  // interleaved channels are 0 to 3 here
      // RFC 2326 10.12: "$", channel, 16-bit length, packet.
      const char head[4] = {'$', static_cast<char>(ch), static_cast<char>(b.size() >> 8),
                            static_cast<char>(b.size() & 0xff)};
      out.append(head, 4);
      out.append(reinterpret_cast<const char*>(b.data()), b.size());
    } else {
      sockaddr_storage dst = peer;
      if (dst.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&dst)->sin_port = htons(q.port);
      } else {
        reinterpret_cast<sockaddr_in6*>(&dst)->sin6_port = htons(q.port);
      }
      // RTP goes only to the RTSP peer's own address; a lost datagram
      // (full buffer, no listener) is simply lost.
      sendto(dev->rtp_fd, b.data(), b.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&dst), peer_len);
    }
    sent_bytes += b.size();
    if (packets_sent == 0) first_packet = Clock::now();
    ++packets_sent;
    dev->packets_sent.fetch_add(1, std::memory_order_relaxed);
    pending.pop_front();
  }
  if (sent_bytes) {
    std::lock_guard<std::mutex> lock(qmu);
    queued_bytes -= sent_bytes;
  }
}

bool Connection::Flush() {
  while (!out.empty()) {
    ssize_t n = send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
  return true;
}

// False when the connection is to be closed.
bool Connection::Timers() {
  const auto now = Clock::now();
  if (cfg.session_timeout.count() > 0) {
    std::vector<std::string> expired;
    for (auto& [sid, s] : sessions) {
      bool expires;
      {
        std::lock_guard<std::mutex> lock(s->mu);
        expires = s->has_transport && (!s->tcp || cfg.expire_interleaved_sessions);
      }
      if (expires && now - s->last_activity > cfg.session_timeout) expired.push_back(sid);
    }
    for (const auto& sid : expired) DropSession(sid);
  }
  const int secs = dev->faults.close_after_seconds.load();
  if (secs > 0 && first_packet && now - *first_packet >= std::chrono::seconds(secs)) return false;
  const int pkts = dev->faults.close_after_packets.load();
  if (pkts > 0 && packets_sent >= static_cast<uint64_t>(pkts)) return false;
  return true;
}

void Connection::Run() {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  protocol_decided = dev->protocols.empty();
  while (!stop.load()) {
    pollfd p[2];
    p[0] = {fd, static_cast<short>((close_after_flush ? 0 : POLLIN) | (out.empty() ? 0 : POLLOUT)),
            0};
    p[1] = {wake_fd, POLLIN, 0};
    if (poll(p, 2, 100) < 0 && errno != EINTR) break;
    if (stop.load()) break;
    if (p[1].revents & POLLIN) DrainWake(wake_fd);
    // A peer of another protocol may send its only message and close at once:
    // what it sent still goes to its handler before the connection ends.
    bool peer_gone = false;
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (!ReadInput()) {
        if (protocol_decided) break;
        peer_gone = true;
      }
    }
    if (!protocol_decided) {
      // The longest matching prefix wins ("CMD:TALK" over "CMD:"); while a
      // longer one may still match, wait for more bytes.
      size_t partial = 0;
      const ConnectionHandler* best = nullptr;
      size_t best_len = 0;
      for (auto& [prefix, handler] : dev->protocols) {
        const size_t n = std::min(in.size(), prefix.size());
        if (in.compare(0, n, prefix, 0, n) != 0) continue;
        if (in.size() < prefix.size()) {
          partial = std::max(partial, prefix.size());
        } else if (prefix.size() > best_len) {
          best = &handler;
          best_len = prefix.size();
        }
      }
      if (best != nullptr && (partial <= best_len || peer_gone)) {
        // Hand the connection over, blocking as such handlers expect.
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        (*best)(fd, std::move(in));
        in.clear();
        stop.store(true);
      }
      if (stop.load() || peer_gone) break;
      if (partial > 0) continue;
      protocol_decided = true;
    }
    ProcessInput();
    PumpQueue();
    if (!Flush()) break;
    if (close_after_flush && out.empty()) break;
    if (!Timers()) break;
  }
  shutdown(fd, SHUT_RDWR);
  for (auto& [sid, s] : sessions)
    if (s->subscribed) s->source->Unsubscribe(s.get());
  dev->sessions.fetch_sub(sessions.size());
  sessions.clear();
  described.reset();
  finished.store(true);
}

// ---------------------------------------------------------------------------
// Device

std::shared_ptr<MediaSource> Device::Impl::GetSource(const SourceKey& key, std::string* error) {
  std::lock_guard<std::mutex> lock(src_mu);
  if (auto it = sources.find(key); it != sources.end()) {
    if (auto s = it->second.lock()) return s;
  }
  // Each configuration costs an encoder thread; peers choosing odd Scale
  // values must not be able to start an unbounded number of them.
  size_t live = 0;
  for (auto it = sources.begin(); it != sources.end();) {
    if (it->second.expired()) {
      it = sources.erase(it);
    } else {
      ++live;
      ++it;
    }
  }
  if (live >= kMaxSources) {
    *error = "too many stream configurations";
    return nullptr;
  }
  auto& slot = sources[key];
  auto s = std::make_shared<MediaSource>(key, &ledger, &faults);
  if (!s->Start(error)) {
    std::fprintf(stderr, "qr-devicesim: %s\n", error->c_str());
    return nullptr;
  }
  slot = s;
  return s;
}

void Device::Impl::Log(RequestRecord rec) {
  std::lock_guard<std::mutex> lock(log_mu);
  size_t max;
  {
    std::lock_guard<std::mutex> cl(cfg_mu);
    max = cfg.max_log_entries;
  }
  if (log.size() >= max && !log.empty()) log.erase(log.begin());
  log.push_back(std::move(rec));
}

void Device::Impl::Reap(bool all) {
  std::list<std::unique_ptr<Connection>> done;
  {
    std::lock_guard<std::mutex> lock(conn_mu);
    for (auto it = conns.begin(); it != conns.end();) {
      if (all || (*it)->finished.load()) {
        done.push_back(std::move(*it));
        it = conns.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : done) {
    if (all) {
      c->stop.store(true);
      Wake(c->wake_fd);
      shutdown(c->fd, SHUT_RDWR);
    }
  }
  for (auto& c : done)
    if (c->thread.joinable()) c->thread.join();
}

void Device::Impl::AcceptLoop() {
  char sink[2048];
  while (!stopping.load()) {
    pollfd p[4] = {
        {listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {rtp_fd, POLLIN, 0}, {rtcp_fd, POLLIN, 0}};
    int n = poll(p, 4, 200);
    if (stopping.load()) break;
    if (n < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN) DrainWake(wake_fd);
    // Receiver reports and NAT probes sent to the server ports are read and
    // discarded so that they do not pile up.
    for (int i = 2; i < 4; ++i)
      if (p[i].revents & POLLIN)
        while (recv(p[i].fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    if (p[0].revents & POLLIN) {
      for (;;) {
        auto c = std::make_unique<Connection>();
        c->peer_len = sizeof c->peer;
        int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&c->peer), &c->peer_len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        c->fd = fd;
        c->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        std::lock_guard<std::mutex> lock(conn_mu);
        if (c->wake_fd < 0 || conns.size() >= kMaxConnections) continue;  // closes fd
        c->dev = this;
        c->id = next_conn_id++;
        c->nonce = RandomHex(32, false);
        {
          std::lock_guard<std::mutex> cl(cfg_mu);
          const int w = faults.next_width.exchange(0), h = faults.next_height.exchange(0);
          const int codec = faults.next_codec.exchange(-1);
          if (codec >= 0 && codec <= 2) {
            const auto vc = static_cast<VideoCodec>(codec);
            if (ValidSize(vc, cfg.width, cfg.height)) cfg.codec = vc;
          }
          if (w > 0 && h > 0 && ValidSize(cfg.codec, w, h)) {
            cfg.width = w;
            cfg.height = h;
          }
          c->cfg = cfg;
        }
        Connection* raw = c.get();
        conns.push_back(std::move(c));
        raw->thread = std::thread([raw] { raw->Run(); });
      }
    }
    Reap(false);
  }
}

Device::Device() = default;

Device::~Device() {
  Stop();
}

Faults& Device::faults() {
  if (!impl_) impl_ = std::make_unique<Impl>();
  return impl_->faults;
}

void Device::AddProtocol(std::string prefix, ConnectionHandler handler) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  if (impl_->started || prefix.empty()) return;
  impl_->protocols.emplace_back(std::move(prefix), std::move(handler));
}

bool Device::Start(const Config& config, uint16_t port) {
  if (!impl_) impl_ = std::make_unique<Impl>();
  Impl& d = *impl_;
  if (d.started) {
    error_ = "already started";
    return false;
  }
  Config cfg = config;
  if (cfg.fps < 1 || cfg.fps > 120) {
    error_ = "fps must be 1 to 120";
    return false;
  }
  if (!ValidSize(cfg.codec, cfg.width, cfg.height)) {
    error_ = cfg.codec == VideoCodec::kMjpeg
                 ? "MJPEG size must be multiples of 8, from 128x64 to 2040x2040"
                 : "size must be even, from 128x64 to 4096x4096";
    return false;
  }
  if (cfg.gop <= 0) cfg.gop = cfg.fps;
  // Default rates: about 2 Mbit/s for the static bars at 720p25 (which use a
  // fraction of it), about 2.9 Mbit/s for the busy scene, where x264 then
  // skips fewer than a fifth of the macroblocks.
  if (cfg.bitrate_kbps <= 0)
    cfg.bitrate_kbps = std::max(64, static_cast<int>(int64_t{cfg.width} * cfg.height * cfg.fps /
                                                     (cfg.scene == Scene::kBusy ? 8000 : 11000)));
  cfg.mjpeg_quality = std::clamp(cfg.mjpeg_quality, 2, 31);
  if (cfg.slices < 1 || cfg.slices > 16) {
    error_ = "slices must be 1 to 16";
    return false;
  }
  if (cfg.pad_picture_bytes > kMaxPadBytes) {
    error_ = "picture padding must be at most 64 MiB";
    return false;
  }
  if (cfg.auth != AuthScheme::kNone && cfg.user.empty()) {
    error_ = "authentication needs a user name";
    return false;
  }
  if (cfg.realm.empty() || cfg.realm.find('"') != std::string::npos) {
    error_ = "bad realm";
    return false;
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  const std::string port_text = std::to_string(port);
  if (getaddrinfo(cfg.bind_address.c_str(), port_text.c_str(), &hints, &res) != 0 || !res) {
    error_ = "cannot resolve bind address " + cfg.bind_address;
    return false;
  }
  const int family = res->ai_family;
  d.listen_fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  if (d.listen_fd >= 0) setsockopt(d.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (d.listen_fd < 0 || bind(d.listen_fd, res->ai_addr, res->ai_addrlen) != 0 ||
      listen(d.listen_fd, 64) != 0) {
    error_ = "cannot listen on " + cfg.bind_address + ":" + port_text + ": " + strerror(errno);
    freeaddrinfo(res);
    Stop();
    return false;
  }
  sockaddr_storage bound{};
  socklen_t blen = sizeof bound;
  getsockname(d.listen_fd, reinterpret_cast<sockaddr*>(&bound), &blen);
  d.port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  char host[INET6_ADDRSTRLEN] = {0};
  inet_ntop(family,
            family == AF_INET
                ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&bound)->sin_addr)
                : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&bound)->sin6_addr),
            host, sizeof host);
  d.host = family == AF_INET6 ? "[" + std::string(host) + "]" : host;

  // Server RTP/RTCP pair on the same address: an even port and the next one
  // (RFC 3550 11).
  for (int attempt = 0; attempt < 64 && d.rtcp_fd < 0; ++attempt) {
    if (d.rtp_fd >= 0) close(d.rtp_fd);
    d.rtp_fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_storage a{};
    std::memcpy(&a, res->ai_addr, res->ai_addrlen);
    auto set_port = [&](uint16_t p) {
      if (family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&a)->sin_port = htons(p);
      else
        reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = htons(p);
    };
    set_port(0);
    if (d.rtp_fd < 0 || bind(d.rtp_fd, reinterpret_cast<sockaddr*>(&a), res->ai_addrlen) != 0)
      continue;
    sockaddr_storage got{};
    socklen_t glen = sizeof got;
    getsockname(d.rtp_fd, reinterpret_cast<sockaddr*>(&got), &glen);
    const uint16_t p = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&got)->sin_port
                                               : reinterpret_cast<sockaddr_in6*>(&got)->sin6_port);
    if (p % 2 || p == 65535) continue;
    int rtcp = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    set_port(static_cast<uint16_t>(p + 1));
    if (rtcp >= 0 && bind(rtcp, reinterpret_cast<sockaddr*>(&a), res->ai_addrlen) == 0) {
      d.rtcp_fd = rtcp;
      d.udp_port = p;
      int sndbuf = 4 << 20;
      setsockopt(d.rtp_fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    } else if (rtcp >= 0) {
      close(rtcp);
    }
  }
  freeaddrinfo(res);
  if (d.rtcp_fd < 0) {
    error_ = "cannot bind the RTP/RTCP port pair";
    Stop();
    return false;
  }
  d.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (d.wake_fd < 0) {
    error_ = "eventfd failed";
    Stop();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(d.cfg_mu);
    d.cfg = cfg;
  }
  d.stopping.store(false);
  d.started = true;
  d.acceptor = std::thread([&d] { d.AcceptLoop(); });
  return true;
}

void Device::Stop() {
  if (!impl_) return;
  Impl& d = *impl_;
  d.stopping.store(true);
  if (d.wake_fd >= 0) Wake(d.wake_fd);
  if (d.acceptor.joinable()) d.acceptor.join();
  d.Reap(true);
  {
    std::lock_guard<std::mutex> lock(d.src_mu);
    d.sources.clear();
  }
  for (int* fd : {&d.listen_fd, &d.wake_fd, &d.rtp_fd, &d.rtcp_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  d.started = false;
}

uint16_t Device::Port() const {
  return impl_ ? impl_->port : 0;
}

std::string Device::BaseUrl() const {
  if (!impl_) return {};
  return "rtsp://" + impl_->host + ":" + std::to_string(impl_->port);
}

std::string Device::Url(int channel) const {
  return BaseUrl() + "/" + std::to_string(channel);
}

std::vector<RequestRecord> Device::Requests() const {
  if (!impl_) return {};
  std::lock_guard<std::mutex> lock(impl_->log_mu);
  return impl_->log;
}

void Device::ClearRequests() {
  if (!impl_) return;
  std::lock_guard<std::mutex> lock(impl_->log_mu);
  impl_->log.clear();
}

size_t Device::ActiveSessions() const {
  return impl_ ? impl_->sessions.load() : 0;
}

size_t Device::OpenConnections() const {
  if (!impl_) return 0;
  std::lock_guard<std::mutex> lock(impl_->conn_mu);
  size_t n = 0;
  for (const auto& c : impl_->conns) n += c->finished.load() ? 0 : 1;
  return n;
}

uint64_t Device::FramesSent() const {
  return impl_ ? impl_->ledger.frames_sent.load() : 0;
}
uint64_t Device::PacketsSent() const {
  return impl_ ? impl_->packets_sent.load() : 0;
}

std::optional<int64_t> Device::CaptureTimeMs(uint32_t frame) const {
  if (!impl_) return std::nullopt;
  return impl_->ledger.CaptureTimeMs(frame);
}

std::optional<int64_t> Device::SentTimeMs(uint32_t frame) const {
  if (!impl_) return std::nullopt;
  return impl_->ledger.SentTimeMs(frame);
}

// ---------------------------------------------------------------------------
// Names

std::optional<VideoCodec> ParseVideoCodec(const std::string& s) {
  if (s == "h264") return VideoCodec::kH264;
  if (s == "mjpeg") return VideoCodec::kMjpeg;
  if (s == "h265") return VideoCodec::kH265;
  return std::nullopt;
}

std::optional<AudioCodec> ParseAudioCodec(const std::string& s) {
  static const std::pair<const char*, AudioCodec> kNames[] = {
      {"none", AudioCodec::kNone},       {"pcma", AudioCodec::kPcma},
      {"pcmu", AudioCodec::kPcmu},       {"g726-16", AudioCodec::kG726_16},
      {"g726-24", AudioCodec::kG726_24}, {"g726-32", AudioCodec::kG726_32},
      {"g726-40", AudioCodec::kG726_40}, {"aac", AudioCodec::kAac}};
  for (const auto& [n, c] : kNames)
    if (s == n) return c;
  return std::nullopt;
}

std::optional<Mode> ParseMode(const std::string& s) {
  if (s == "generic") return Mode::kGeneric;
  if (s == "banner") return Mode::kBanner;
  if (s == "recorder") return Mode::kRecorder;
  if (s == "standard") return Mode::kStandard;
  return std::nullopt;
}

std::optional<Scene> ParseScene(const std::string& s) {
  if (s == "bars") return Scene::kBars;
  if (s == "busy") return Scene::kBusy;
  return std::nullopt;
}

std::optional<AudioAnnounce> ParseAudioAnnounce(const std::string& s) {
  if (s == "device") return AudioAnnounce::kDevice;
  if (s == "upper") return AudioAnnounce::kUpperCase;
  if (s == "unknown") return AudioAnnounce::kUnknownCodec;
  return std::nullopt;
}

std::optional<AuthScheme> ParseAuthScheme(const std::string& s) {
  if (s == "none") return AuthScheme::kNone;
  if (s == "basic") return AuthScheme::kBasic;
  if (s == "digest") return AuthScheme::kDigest;
  return std::nullopt;
}

const char* ToString(VideoCodec c) {
  if (c == VideoCodec::kH265) return "h265";
  return c == VideoCodec::kH264 ? "h264" : "mjpeg";
}

const char* ToString(AudioCodec c) {
  switch (c) {
    case AudioCodec::kNone:
      return "none";
    case AudioCodec::kPcma:
      return "pcma";
    case AudioCodec::kPcmu:
      return "pcmu";
    case AudioCodec::kG726_16:
      return "g726-16";
    case AudioCodec::kG726_24:
      return "g726-24";
    case AudioCodec::kG726_32:
      return "g726-32";
    case AudioCodec::kG726_40:
      return "g726-40";
    case AudioCodec::kAac:
      return "aac";
  }
  return "none";
}

}  // namespace devicesim
