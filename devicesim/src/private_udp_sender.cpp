#include "devicesim/private_udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <vector>

#include "media_source.h"

namespace devicesim {
namespace {

constexpr size_t kHeader = 68;

void PutBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

uint8_t AudioCode(AudioCodec a) {
  switch (a) {
    case AudioCodec::kPcma:
      return 1;
    case AudioCodec::kPcmu:
      return 2;
    case AudioCodec::kG726_16:
      return 4;
    case AudioCodec::kG726_24:
      return 5;
    case AudioCodec::kG726_32:
      return 6;
    case AudioCodec::kG726_40:
      return 7;
    default:
      return 255;
  }
}

// Numeric address and port into a socket address; false when not numeric.
bool MakeAddress(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* len) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
    return false;
  }
  std::memcpy(out, list->ai_addr, list->ai_addrlen);
  *len = list->ai_addrlen;
  freeaddrinfo(list);
  return true;
}

int BoundSocket(const std::string& address) {
  sockaddr_storage a{};
  socklen_t len = 0;
  if (!MakeAddress(address, 0, &a, &len)) return -1;
  int fd = socket(a.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

struct PrivateUdpSender::Impl {
  // Forwards one media source's packets, tagged with its generation: packets
  // of a replaced source are ignored.
  struct Adapter : PacketSink {
    Impl* impl = nullptr;
    uint32_t generation = 0;
    bool Deliver(const Packet& p) override { return impl->Deliver(generation, p); }
  };

  PrivateUdpConfig cfg;
  PrivateUdpFaults faults;
  FrameLedger ledger;
  sockaddr_storage client{};
  socklen_t client_len = 0;
  int fd = -1;          // the device's socket
  int foreign_fd = -1;  // Config::foreign_address, any port (-1 when unavailable)
  int port_fd = -1;     // the device's address, another port

  std::mutex owner_mu;                  // Start, Stop, ChangePictureSize
  std::unique_ptr<Adapter> adapter;     // guarded by owner_mu
  std::unique_ptr<MediaSource> source;  // guarded by owner_mu

  mutable std::mutex mu;
  uint32_t generation = 0;    // guarded by mu
  uint32_t stream_id = 0;     // guarded by mu
  uint32_t sequence = 0;      // guarded by mu
  int width = 0;              // guarded by mu
  int height = 0;             // guarded by mu
  bool in_key = false;        // guarded by mu: between the first and last packet of a key picture
  std::mt19937 rng;           // guarded by mu
  std::vector<uint8_t> held;  // guarded by mu: a datagram held back (reordering)
  int malformed_kind = 0;     // guarded by mu
  std::atomic<uint64_t> datagrams{0};
  std::atomic<uint64_t> pictures{0};

  bool Chance(double p) {
    if (p <= 0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng) < p;
  }

  void SendRaw(int from, const uint8_t* data, size_t size) {
    if (from < 0) return;
    ssize_t n =
        sendto(from, data, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&client), client_len);
    if (n >= 0) datagrams.fetch_add(1, std::memory_order_relaxed);
  }

  // Loss, reordering and duplication of one datagram of the stream.
  void SendWithFaults(std::vector<uint8_t> d) {
    if (Chance(faults.loss.load())) return;
    const bool dup = Chance(faults.duplicate.load());
    if (!held.empty()) {
      SendRaw(fd, d.data(), d.size());
      if (dup) SendRaw(fd, d.data(), d.size());
      SendRaw(fd, held.data(), held.size());
      held.clear();
      return;
    }
    if (Chance(faults.reorder.load())) {
      held = std::move(d);
      return;
    }
    SendRaw(fd, d.data(), d.size());
    if (dup) SendRaw(fd, d.data(), d.size());
  }

  void SendMalformed(const std::vector<uint8_t>& real) {
    const int kind = malformed_kind++ % 6;
    std::vector<uint8_t> d(real);
    switch (kind) {
      case 0:
        d.clear();
        break;
      case 1:
        d.resize(40);
        break;
      case 2:
        d.resize(kHeader);
        PutBe32(d.data() + 24, 0);
        break;
      case 3:
        PutBe32(d.data() + 24, static_cast<uint32_t>(d.size() - kHeader + 1));
        break;
      case 4:
        PutBe32(d.data() + 24, static_cast<uint32_t>(d.size() - kHeader - 1));
        break;
      default:
        PutBe32(d.data() + 24, 0xFFFFFFFFu);
        break;
    }
    SendRaw(fd, d.data(), d.size());
  }

  void Emit(uint8_t media, uint8_t frame_type, uint8_t fragment, const uint8_t* head,
            size_t head_size, const uint8_t* payload, size_t size) {
    std::vector<uint8_t> d(kHeader + head_size + size, 0);
    uint8_t* h = d.data();
    PutBe32(h + 4, stream_id);
    PutBe32(h + 12, sequence++);
    h[16] = media;
    h[17] = 96;
    h[18] = frame_type;
    h[19] = fragment;
    h[21] = cfg.server_kind;
    h[22] = AudioCode(cfg.audio);
    PutBe32(h + 24, static_cast<uint32_t>(head_size + size));
    PutBe32(h + 28, static_cast<uint32_t>(width));
    PutBe32(h + 32, static_cast<uint32_t>(height));
    PutBe32(h + 36, static_cast<uint32_t>(cfg.fps));
    PutBe32(h + 40, static_cast<uint32_t>(cfg.bitrate_kbps) * 1024u);
    if (head_size) std::memcpy(h + kHeader, head, head_size);
    if (size) std::memcpy(h + kHeader + head_size, payload, size);

    // Copies from elsewhere: another stream identifier and picture size, so
    // that a client taking them would visibly restart.
    auto foreign_copy = [&](int from) {
      std::vector<uint8_t> f(d);
      PutBe32(f.data() + 4, stream_id ^ 0x80000000u);
      PutBe32(f.data() + 28, static_cast<uint32_t>(width / 2));
      PutBe32(f.data() + 32, static_cast<uint32_t>(height / 2));
      SendRaw(from, f.data(), f.size());
    };
    if (faults.foreign_address_datagrams.load() > 0) {
      faults.foreign_address_datagrams.fetch_sub(1);
      foreign_copy(foreign_fd);
    }
    if (faults.foreign_port_datagrams.load() > 0) {
      faults.foreign_port_datagrams.fetch_sub(1);
      foreign_copy(port_fd);
    }
    if (faults.malformed_datagrams.load() > 0) {
      faults.malformed_datagrams.fetch_sub(1);
      SendMalformed(d);
    }
    SendWithFaults(std::move(d));
  }

  bool Deliver(uint32_t gen, const Packet& p) {
    std::lock_guard<std::mutex> lock(mu);
    if (gen != generation || !p.rtp) return false;
    const Bytes& rtp = *p.rtp;
    if (rtp.size() < 12) return false;
    const size_t header = 12 + 4 * size_t(rtp[0] & 0x0F);
    if (rtp.size() <= header) return false;
    const uint8_t* payload = rtp.data() + header;
    const size_t size = rtp.size() - header;
    if (p.media == 1) {
      Emit(1, 0, 0, nullptr, 0, payload, size);
      return true;
    }
    if (p.key_start) {
      in_key = true;
      if (faults.change_stream.exchange(false)) {
        ++stream_id;
        sequence = 0;
      }
    }
    const uint8_t frame_type = in_key ? 7 : 1;
    const int type = payload[0] & 0x1F;
    if (type >= 1 && type <= 23) {
      Emit(0, frame_type, 0, nullptr, 0, payload, size);
    } else if (type == 28 && size > 2) {
      // FU-A (RFC 6184 5.8) back into pieces of the NAL unit: the first
      // piece begins with the unit's own header byte.
      const uint8_t fu = payload[1];
      if (fu & 0x80) {
        const uint8_t nal = static_cast<uint8_t>((payload[0] & 0xE0) | (fu & 0x1F));
        Emit(0, frame_type, 1, &nal, 1, payload + 2, size - 2);
      } else {
        Emit(0, frame_type, (fu & 0x40) ? 3 : 2, nullptr, 0, payload + 2, size - 2);
      }
    }
    if (p.picture_end) {
      in_key = false;
      pictures.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
  }

  // Replaces the media source; caller holds owner_mu.
  bool NewSource(int w, int h, bool new_stream, std::string* error) {
    auto next = std::make_unique<Adapter>();
    next->impl = this;
    {
      std::lock_guard<std::mutex> lock(mu);
      next->generation = ++generation;
      if (new_stream) {
        ++stream_id;
        sequence = 0;
      }
      width = w;
      height = h;
      in_key = false;
      held.clear();
    }
    SourceKey key;
    key.codec = VideoCodec::kH264;
    key.width = w;
    key.height = h;
    key.fps = cfg.fps;
    key.gop = cfg.gop;
    key.bitrate_kbps = cfg.bitrate_kbps;
    key.audio = cfg.audio;
    auto fresh = std::make_unique<MediaSource>(key, &ledger);
    fresh->Subscribe(next.get());
    if (!fresh->Start(error)) return false;
    if (source) source->Unsubscribe(adapter.get());
    source = std::move(fresh);  // the old source is joined here
    adapter = std::move(next);
    return true;
  }
};

PrivateUdpSender::PrivateUdpSender() : impl_(std::make_unique<Impl>()) {}

PrivateUdpSender::~PrivateUdpSender() {
  Stop();
}

PrivateUdpFaults& PrivateUdpSender::faults() {
  return impl_->faults;
}

bool PrivateUdpSender::Start(const PrivateUdpConfig& config) {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> owner(m.owner_mu);
  if (m.fd >= 0) {
    error_ = "already started";
    return false;
  }
  PrivateUdpConfig cfg = config;
  if (cfg.fps < 1 || cfg.fps > 120) {
    error_ = "fps must be 1 to 120";
    return false;
  }
  if (cfg.width < 128 || cfg.height < 64 || cfg.width > 4096 || cfg.height > 4096 ||
      cfg.width % 2 || cfg.height % 2) {
    error_ = "size must be even, from 128x64 to 4096x4096";
    return false;
  }
  if (cfg.audio == AudioCodec::kAac) {
    error_ = "the private stream carries G.711 or G.726 audio only";
    return false;
  }
  if (cfg.gop <= 0) cfg.gop = cfg.fps;
  if (cfg.bitrate_kbps <= 0) {
    cfg.bitrate_kbps =
        std::max(64, static_cast<int>(int64_t{cfg.width} * cfg.height * cfg.fps / 11000));
  }
  if (cfg.client_port == 0 ||
      !MakeAddress(cfg.client_address, cfg.client_port, &m.client, &m.client_len)) {
    error_ = "client address must be a numeric address and a port";
    return false;
  }
  m.fd = BoundSocket(cfg.bind_address);
  if (m.fd < 0) {
    error_ = "cannot bind " + cfg.bind_address;
    return false;
  }
  m.foreign_fd = BoundSocket(cfg.foreign_address);
  m.port_fd = BoundSocket(cfg.bind_address);
  m.cfg = cfg;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    m.stream_id = cfg.stream_id;
    m.sequence = cfg.first_sequence;
    m.rng.seed(m.faults.seed.load());
    m.malformed_kind = 0;
  }
  std::string error;
  if (!m.NewSource(cfg.width, cfg.height, false, &error)) {
    error_ = error;
    m.source.reset();
    m.adapter.reset();
    for (int* fd : {&m.fd, &m.foreign_fd, &m.port_fd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    return false;
  }
  return true;
}

void PrivateUdpSender::Stop() {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> owner(m.owner_mu);
  if (m.source) m.source->Unsubscribe(m.adapter.get());
  m.source.reset();
  m.adapter.reset();
  for (int* fd : {&m.fd, &m.foreign_fd, &m.port_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool PrivateUdpSender::ChangePictureSize(int width, int height) {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> owner(m.owner_mu);
  if (m.fd < 0 || width < 128 || height < 64 || width > 4096 || height > 4096 || width % 2 ||
      height % 2) {
    return false;
  }
  return m.NewSource(width, height, true, &error_);
}

uint32_t PrivateUdpSender::StreamId() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->stream_id;
}

uint16_t PrivateUdpSender::LocalPort() const {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (impl_->fd < 0 || getsockname(impl_->fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    return 0;
  }
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

uint64_t PrivateUdpSender::DatagramsSent() const {
  return impl_->datagrams.load();
}

uint64_t PrivateUdpSender::PicturesSent() const {
  return impl_->pictures.load();
}

std::optional<int64_t> PrivateUdpSender::CaptureTimeMs(uint32_t frame) const {
  return impl_->ledger.CaptureTimeMs(frame);
}

}  // namespace devicesim
