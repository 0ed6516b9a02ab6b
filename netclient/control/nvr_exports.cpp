// The exported recorder management calls. Each runs on the caller's thread
// over its own connection (see control_link.h) and writes only into the
// caller's record; nothing is kept between calls.
#include <cstring>
#include <string>

#include "api/export_guard.h"
#include "control/control_link.h"
#include "control/nvr_http.h"
#include "quornet.h"
#include "session/client_session.h"

using namespace quornet;
using namespace quornet::nvrhttp;

namespace {

constexpr size_t kLoginReply = 4096;
constexpr size_t kListReply = 8192;
constexpr size_t kRecordReply = 102400;
constexpr size_t kPresetReply = 4096;
constexpr size_t kPtzReply = 40960;

std::string_view Text(const char* s) {
  return s == nullptr ? std::string_view() : std::string_view(s);
}

// Dial failure as the camera lists and preset calls report it.
int32_t OpenCode(ctl::Dial d) {
  return d == ctl::Dial::kResolve ? kResolveFailed : kRecvFailed;
}

// Logs in on `link` and stores the cookie into cookie[0, 8). 0 or a Code.
int32_t Login(ctl::NvrLink& link, const char* host, const char* user, const char* password,
              char* cookie) {
  std::string line = LoginLine(Text(user), Text(password));
  std::string request = line.empty() ? line : BuildRequest(line, Text(host), kLoginCookie);
  if (request.empty()) return kRefused;
  std::string reply;
  if (int32_t e = link.Exchange(request, kLoginReply, &reply)) return e;
  char got[kCookieSize];
  int32_t r = ParseLogin(reply, got);
  if (r == 0) std::memcpy(cookie, got, kCookieSize);
  return r;
}

// Sends `line` with `cookie`; 0 with the reply, or a Code (kRefused for a
// request that cannot be built from the caller's texts).
int32_t Ask(ctl::NvrLink& link, const char* host, const std::string& line, std::string_view cookie,
            size_t capacity, std::string* reply) {
  std::string request = line.empty() ? line : BuildRequest(line, Text(host), cookie);
  if (request.empty()) return kRefused;
  return link.Exchange(request, capacity, reply);
}

int32_t GetChannels(const char* host, int32_t port, const char* user, const char* password,
                    QRNET_NVRChannelList* list, int32_t mode, int32_t login) {
  if (list == nullptr) return kRefused;
  ctl::NvrLink link(host, port, mode, int32_t(kListReply));
  if (ctl::Dial d = link.Open(); d != ctl::Dial::kOk) return OpenCode(d);
  if (login != 0) {
    if (int32_t e = Login(link, host, user, password, list->cookie)) return e;
  }
  std::string reply;
  // One login and one repeated request when the recorder asks for
  // authentication; a second request for it is a refusal.
  for (int attempt = 0;; ++attempt) {
    if (int32_t e = Ask(link, host, CameraListLine(), CookieText(list->cookie), kListReply, &reply))
      return e;
    if (!HasOk(reply)) return kRefused;
    if (ErrorMessageHas(reply, "No IPC Found")) {
      list->count = 0;
      return 0;
    }
    if (!ErrorMessageHas(reply, "Authentication Required")) break;
    if (attempt > 0) return kRefused;
    if (int32_t e = Login(link, host, user, password, list->cookie)) return e;
  }
  int32_t n = ParseCameraList(reply, list);
  if (n < 0) return n;
  list->count = n;
  if (int32_t e = Ask(link, host, RtspPortLine(), CookieText(list->cookie), kPresetReply, &reply))
    return e;
  if (!HasOk(reply)) return kRefused;
  if (reply.find("\r\n\r\n") == std::string::npos) return kNoList;
  auto port_text = LineValue(reply, "rtsp=");
  auto rtsp = port_text ? ToInt(*port_text) : std::nullopt;
  list->rtsp_port = rtsp && *rtsp > 0 && *rtsp <= 65535 ? *rtsp : 554;
  return n;
}

int32_t SearchRecords(ctl::NvrLink& link, const char* host, int32_t count, const int32_t* flags,
                      const char* date, const char* start_time, QRNET_NVRRecordList* list) {
  std::string reply;
  std::string line = RecordSearchLine(Text(date), Text(start_time), count, flags);
  if (int32_t e = Ask(link, host, line, CookieText(list->cookie), kRecordReply, &reply)) return e;
  if (!HasOk(reply)) return kRefused;
  if (ErrorMessageHas(reply, "No Record Found")) {
    list->count = 0;
    return 0;
  }
  int32_t n = ParseRecordList(reply, list);
  if (n < 0) return n;
  list->count = n;
  return n;
}

int32_t RecordQuery(const char* host, int32_t port, const char* user, const char* password,
                    int32_t count, const int32_t* flags, const char* date, const char* start_time,
                    QRNET_NVRRecordList* list, int32_t mode, int32_t login) {
  if (list == nullptr) return kRefused;
  ctl::NvrLink link(host, port, mode, int32_t(kRecordReply));
  if (link.Open() != ctl::Dial::kOk) return kResolveFailed;
  if (login != 0) {
    if (int32_t e = Login(link, host, user, password, list->cookie)) return e;
  }
  return SearchRecords(link, host, count, flags, date, start_time, list);
}

// A reply that is "200 OK" and not an error reply.
bool Accepted(const std::string& reply) {
  return HasOk(reply) && !IsError(reply);
}

int32_t PresetCommand(const char* host, int32_t port, int32_t mode, const std::string& line,
                      const char* cookie, std::string* reply) {
  ctl::NvrLink link(host, port, mode, 0);
  if (link.Open() != ctl::Dial::kOk) return 0;
  if (Ask(link, host, line, CookieText(cookie), kPresetReply, reply) != 0) return 0;
  return Accepted(*reply) ? 1 : 0;
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_ClientNVRGetChannels(const char* host, int32_t port, const char* user,
                                             const char* password, QRNET_NVRChannelList* list,
                                             int32_t socket_mode, int32_t login) {
  return Guarded(int32_t{kRefused},
                 [&] { return GetChannels(host, port, user, password, list, socket_mode, login); });
}

QRNET_API int32_t QRNET_ClientNVRRecordQuery(const char* host, int32_t port, const char* user,
                                             const char* password, int32_t channel_count,
                                             const int32_t* channel_flags, const char* date,
                                             const char* start_time, QRNET_NVRRecordList* list,
                                             int32_t socket_mode, int32_t login) {
  return Guarded(int32_t{kRefused}, [&] {
    return RecordQuery(host, port, user, password, channel_count, channel_flags, date, start_time,
                       list, socket_mode, login);
  });
}

QRNET_API int32_t QRNET_ClientFileServerRecordQuery(const char* host, int32_t port,
                                                    int32_t channel_count,
                                                    const int32_t* channel_flags, const char* date,
                                                    const char* start_time,
                                                    QRNET_NVRRecordList* list) {
  return Guarded(int32_t{kRefused}, [&]() -> int32_t {
    if (list == nullptr) return kRefused;
    ctl::NvrLink link(host, port, 0, int32_t(kRecordReply));
    if (link.Open() != ctl::Dial::kOk) return kResolveFailed;
    return SearchRecords(link, host, channel_count, channel_flags, date, start_time, list);
  });
}

QRNET_API int32_t QRNET_ClientFileServerGetChannel(const char* host, int32_t port,
                                                   QRNET_FileServerChannelList* list) {
  return Guarded(int32_t{kRefused}, [&]() -> int32_t {
    if (list == nullptr) return kRefused;
    ctl::NvrLink link(host, port, 0, int32_t(kListReply));
    if (ctl::Dial d = link.Open(); d != ctl::Dial::kOk) return OpenCode(d);
    std::string reply;
    if (int32_t e = Ask(link, host, CameraListLine(), kFileServerCookie, kListReply, &reply))
      return e;
    if (!HasOk(reply)) return kRefused;
    if (ErrorMessageHas(reply, "No IPC Found")) {
      list->count = 0;
      return 0;
    }
    int32_t n = ParseFileServerCameras(reply, list);
    if (n < 0) return n;
    list->count = int8_t(n);  // n <= QRNET_FILESERVER_MAX_CAMERAS
    return n;
  });
}

QRNET_API int32_t QRNET_ClientNVRPTZCtrl(uint32_t handle, int32_t code, int32_t arg2,
                                         const char* cookie, int32_t /*unused*/) {
  return Guarded(int32_t{0}, [&]() -> int32_t {
    std::shared_ptr<CClientSession> session = CClientSession::Find(handle);
    if (!session || session->param().transport == QRNET_TRANSPORT_UDP) return 0;
    int32_t cmd = 0, arg1 = 0;
    MapPtzCode(code, &cmd, &arg1);
    ctl::NvrLink link(session->host, session->param().nvr_manager_port, 0, 0);
    if (ctl::Dial d = link.Open(); d != ctl::Dial::kOk) return OpenCode(d);
    std::string reply;
    std::string line = PtzLine(session->channel.load() / 10, cmd, arg1, arg2);
    if (int32_t e = Ask(link, session->host, line, CookieText(cookie), kPtzReply, &reply)) return e;
    return Accepted(reply) ? 1 : kRefused;
  });
}

QRNET_API int32_t QRNET_ClientNVRPtzGetPreset(const char* host, int32_t port, int32_t channel,
                                              QRNET_NVRPresetList* list, const char* user,
                                              const char* password, int32_t socket_mode,
                                              int32_t login) {
  return Guarded(int32_t{0}, [&]() -> int32_t {
    if (list == nullptr) return 0;
    ctl::NvrLink link(host, port, socket_mode, 0);
    if (link.Open() != ctl::Dial::kOk) return 0;
    if (login != 0 && Login(link, host, user, password, list->cookie) != 0) return 0;
    std::string reply;
    if (Ask(link, host, GetPresetLine(channel), CookieText(list->cookie), kPresetReply, &reply))
      return 0;
    if (!Accepted(reply)) return 0;
    int32_t n = ParsePresetList(reply, list);
    if (n < 0) return 0;
    list->count = n;
    return 1;
  });
}

QRNET_API int32_t QRNET_ClientNVRPtzSetPreset(const char* host, int32_t port, int32_t channel,
                                              int32_t* preset, const char* name, const char* cookie,
                                              int32_t /*unused7*/, int32_t /*unused8*/,
                                              int32_t socket_mode, int32_t /*unused10*/) {
  return Guarded(int32_t{0}, [&]() -> int32_t {
    if (preset == nullptr || name == nullptr) return 0;
    const bool add = *preset == 0;
    std::string line = add ? AddPresetLine(channel, name) : EditPresetLine(channel, *preset, name);
    std::string reply;
    if (!PresetCommand(host, port, socket_mode, line, cookie, &reply)) return 0;
    if (!add) return 1;
    auto text = LineValue(reply, "preset=");
    auto number = text ? ToInt(*text) : std::nullopt;
    if (!number || *number <= 0) return 0;
    *preset = *number;
    return 1;
  });
}

QRNET_API int32_t QRNET_ClientNVRPtzGotoRemovePreset(const char* host, int32_t port,
                                                     int32_t channel, int32_t preset,
                                                     int32_t command, const char* cookie,
                                                     int32_t /*unused7*/, int32_t /*unused8*/,
                                                     int32_t socket_mode, int32_t /*unused10*/) {
  return Guarded(int32_t{0}, [&]() -> int32_t {
    std::string reply;
    return PresetCommand(host, port, socket_mode, GotoRemovePresetLine(channel, command, preset),
                         cookie, &reply);
  });
}

}  // extern "C"
