#include "session/client_session.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "net/rtsp_protocol.h"
#include "net/video_picture.h"
#include "qrplat/thread.h"

namespace quornet {
namespace {

// atol-like: optional blanks, optional sign, decimal digits, stopping at the
// first other character. Values outside 1..65535 give 0 so that a bad port
// fails the connection instead of wrapping to another port.
int32_t ParsePort(const char* text) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < 1 || value > 65535) return 0;
  return static_cast<int32_t>(value);
}

}  // namespace

void ParseAddressText(const char* field, size_t field_size, char (&host)[kHostSize], int32_t* port,
                      char (&path_suffix)[kPathSuffixSize]) {
  host[0] = 0;
  path_suffix[0] = 0;
  *port = kDefaultRtspPort;
  if (field == nullptr) return;
  size_t n = strnlen(field, field_size);
  if (n > kHostSize - 1) n = kHostSize - 1;

  std::memcpy(host, field, n);
  host[n] = 0;
  const char* port_text = nullptr;
  for (size_t i = 0; i < n; ++i) {
    if (host[i] == ':') {
      host[i] = 0;
      port_text = host + i + 1;
    } else if (host[i] == '/') {
      host[i] = 0;
      break;
    }
  }
  if (port_text != nullptr) *port = ParsePort(port_text);

  const void* slash = std::memchr(field, '/', n);
  if (slash != nullptr) {
    size_t from = static_cast<size_t>(static_cast<const char*>(slash) - field);
    size_t len = n - from;
    if (len > kPathSuffixSize - 1) len = kPathSuffixSize - 1;
    std::memcpy(path_suffix, field + from, len);
    path_suffix[len] = 0;
  }
}

int32_t AutoLiveViewPerformance(int32_t bit_rate_value) {
  if (bit_rate_value <= 0x100000) return 300;
  if (bit_rate_value <= 0x200000) return 500;
  if (bit_rate_value <= 0x400000) return 750;
  if (bit_rate_value <= 0x800000) return 1100;
  return 1500;
}

void CopyTextField(char* field, size_t field_size, const char* text) {
  if (field_size == 0) return;
  field[0] = 0;
  if (text == nullptr) return;
  size_t n = strnlen(text, field_size);
  if (n >= field_size) return;
  std::memcpy(field, text, n + 1);
}

CClientSession::CClientSession() = default;

CClientSession::~CClientSession() {
  StopAndDestroy();
  StopTalk();
}

void CClientSession::InitLive(const QRNET_ClientParam& param) {
  pacer_fps.store(0);
  pacer_start_ms.store(qrplat::TickCount());
  pacer_frames.store(0);
  pacer_last_speed.store(-1);
  param_ = param;
  view_flag.store(param.view_flag);
  channel.store(param.channel);
  video_window.store(param.video_window);
  live_view_performance.store(param.live_view_performance);
  link_state.store(1);
  md_region_mode.store(2);
  width.store(720);
  height.store(576);
  frame_rate.store(25);
  bit_rate_value.store(512);
  audio_enabled.store(0);
  vertical_blank.store(0);
  show_local_rect.store(0);
  ezoom_level.store(0);
  ParseAddressText(param.address, sizeof(param.address), host, &port, path_suffix);
  const std::string_view address(param.address, strnlen(param.address, sizeof(param.address)));
  standard_url = rtsp::IsRtspUrl(address);
  url_credentials = false;
  url_user.clear();
  url_password.clear();
  if (standard_url) {
    // A malformed address leaves the host empty: the start then fails as
    // for a name that does not resolve.
    host[0] = 0;
    path_suffix[0] = 0;
    port = kDefaultRtspPort;
    rtsp::RtspUrl url;
    if (rtsp::ParseRtspUrl(address, &url) && url.host.size() < kHostSize &&
        url.path.size() < kPathSuffixSize) {
      CopyTextField(host, sizeof host, url.host.c_str());
      CopyTextField(path_suffix, sizeof path_suffix, url.path.c_str());
      port = url.port;
      url_credentials = url.has_credentials;
      url_user = url.user;
      url_password = url.password;
    }
  }
  std::memcpy(host2, host, sizeof(host2));
  port_copy = port;
}

void CClientSession::InitLocalFile(const char* path, uint32_t window, int32_t start_position) {
  // A file session starts from a zeroed state, not from the live defaults.
  param_ = QRNET_ClientParam{};
  param_.video_window = window;
  param_.view_flag = 1;
  param_.stream_option = 1;
  link_state.store(0);
  md_region_mode.store(0);
  pacer_last_speed.store(0);
  CopyTextField(file_path, sizeof(file_path), path);
  video_window.store(window);
  audio_enabled.store(0);
  seek_target.store(start_position);
  seek_flag.store(start_position != 0 ? 1 : 0);
  local_file_mode.store(1);
  view_flag.store(1);
  width.store(1600);
  height.store(1200);
  frame_rate.store(30);
  bit_rate_value.store(2048);
  vertical_blank.store(10);
}

bool CClientSession::Build() {
  video_conduit_ = std::make_unique<CBufferConduit>();
  if (!video_conduit_->Create(kVideoConduitSize, 0, kConduitLowWater, 1)) return false;
  static_assert(kVideoConduitMaxSize >= 2 * kMaxVideoPictureSize);
  video_conduit_->SetGrowLimit(kVideoConduitMaxSize);

  const bool file_playback = local_file_mode.load() != 0 && replay_mode.load() == 0;
  const bool live = local_file_mode.load() == 0 && replay_mode.load() == 0;
  audio_conduit_ = std::make_unique<CBufferConduit>();
  if (!audio_conduit_->Create(live ? kLiveAudioConduitSize : kReplayAudioConduitSize, 0,
                              kConduitLowWater, 1)) {
    return false;
  }

  int32_t kind;
  if (file_playback) {
    kind = kSourceFile;
  } else {
    switch (param_.transport) {
      case QRNET_TRANSPORT_RTSP_UDP:
        kind = kSourceRtspUdp;
        break;
      case QRNET_TRANSPORT_RTSP_TCP:
        kind = kSourceRtspTcp;
        break;
      case QRNET_TRANSPORT_UDP:
        kind = kSourceUdp;
        break;
      default:
        return false;
    }
  }
  std::shared_ptr<CAVSource> source = CreateSource(kind, *this);
  if (!source) return false;
  source->SetSession(this, video_conduit_.get(), audio_conduit_.get());
  {
    std::lock_guard<std::mutex> lock(source_mutex_);
    source_ = source;
  }
  return source->Prepare();
}

bool CClientSession::StartSource() {
  std::shared_ptr<CAVSource> src = source();
  return src && src->StartThread() == 0;
}

void CClientSession::StopAndDestroy() {
  if (stopping_.exchange(true)) return;
  StopTalk();
  // Wake every thread blocked in a conduit before waiting for the source,
  // which waits for its own readers.
  if (audio_conduit_) audio_conduit_->Stop();
  if (video_conduit_) video_conduit_->Stop();
  std::shared_ptr<CAVSource> src;
  {
    std::lock_guard<std::mutex> lock(source_mutex_);
    src.swap(source_);
  }
  if (src) {
    src->Stop();
    src->Release();
    src.reset();
  }
  if (video_conduit_) video_conduit_->Release();
  if (audio_conduit_) audio_conduit_->Release();
}

uint32_t CClientSession::Launch(const std::shared_ptr<CClientSession>& session) {
  if (!session) return 0;
  CHandleTable& table = CHandleTable::Instance();
  // The id is known to the source thread (for its notifications) before the
  // thread starts, but lookups of it fail until the start has succeeded.
  uint32_t id = table.Reserve();
  if (id == 0) return 0;
  session->self_handle_.store(id);
  if (!session->Build() || !session->StartSource()) {
    session->StopAndDestroy();
    table.Remove(id);
    return 0;
  }
  if (!table.Publish(id, session)) {
    session->StopAndDestroy();
    table.Remove(id);
    return 0;
  }
  return id;
}

std::shared_ptr<CClientSession> CClientSession::Find(uint32_t handle) {
  return CHandleTable::Instance().FindAs<CClientSession>(handle);
}

bool CClientSession::StopClient(uint32_t handle) {
  if (handle == 0) return false;
  std::shared_ptr<CClientSession> session =
      CHandleTable::Instance().RemoveAs<CClientSession>(handle);
  if (!session) return false;
  session->StopAndDestroy();
  return true;
}

void CClientSession::Notify(int32_t kind, int32_t value) const {
  NotifyTarget target;
  target.handle = self_handle_.load();
  target.window = param_.notify_window;
  target.message = param_.notify_message;
  target.user_value = param_.user_value;
  quornet::Notify(target, kind, value);
}

void CClientSession::ReportLinkState(int32_t state, bool store) {
  if (store) link_state.store(state);
  Notify(1, state);
}

std::shared_ptr<CAVSource> CClientSession::source() const {
  std::lock_guard<std::mutex> lock(source_mutex_);
  return source_;
}

bool CClientSession::SetTalk(std::unique_ptr<ITalk> talk) {
  std::unique_ptr<ITalk> previous;
  bool kept = false;
  {
    std::lock_guard<std::mutex> lock(talk_mutex_);
    previous = std::move(talk_);
    // StopAndDestroy sets stopping_ before it empties the slot under this
    // lock, so a talk object stored here is always seen by the stop.
    if (!stopping_.load()) {
      talk_ = std::move(talk);
      kept = true;
    }
  }
  if (previous) previous->Stop();
  if (talk) talk->Stop();
  return kept;
}

void CClientSession::StopTalk() {
  std::unique_ptr<ITalk> talk;
  {
    std::lock_guard<std::mutex> lock(talk_mutex_);
    talk = std::move(talk_);
  }
  // Stopped outside the lock: it waits for the talk threads.
  if (talk) talk->Stop();
}

bool CClientSession::HasTalk() const {
  std::lock_guard<std::mutex> lock(talk_mutex_);
  return talk_ != nullptr;
}

}  // namespace quornet
