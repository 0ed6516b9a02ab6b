// The exported channel-server and alarm-output calls, the key query the
// stream sources run for clients started through the channel server, and the
// alarm-output flag that the picture's "ALARM" mark shows.
#include <cstring>
#include <string>
#include <vector>

#include "api/export_guard.h"
#include "control/channel_server.h"
#include "control/control_link.h"
#include "media/display_seams.h"
#include "net/av_source.h"
#include "net/source_seams.h"
#include "quornet.h"
#include "session/client_session.h"

using namespace quornet;

namespace {

int32_t Deadline(const ctl::Timeouts& t) {
  return t.connect_ms + t.send_ms + t.recv_ms;
}

int32_t DialCode(ctl::Dial d) {
  switch (d) {
    case ctl::Dial::kResolve:
      return QRNET_CS_RESOLVE_FAILED;
    case ctl::Dial::kSocket:
      return QRNET_CS_SOCKET_FAILED;
    default:
      return QRNET_CS_CONNECT_FAILED;
  }
}

// Sends a key query and reads the reply until it can be judged. The key, or
// a QRNET_CS_* code.
int32_t KeyExchange(const char* host, int32_t port, const std::string& query) {
  CQuorsock sock(0);
  const ctl::Timeouts& t = ctl::kKeyQueryTimeouts;
  if (ctl::Dial d = ctl::Connect(sock, host, port, t, Deadline(t)); d != ctl::Dial::kOk) {
    return DialCode(d);
  }
  if (!sock.Send(query.data(), int32_t(query.size()))) return QRNET_CS_SEND_FAILED;
  char buf[chansrv::kReplyCapacity];
  size_t got = 0;
  // A reply that never completed is not judged: "channel:1" may be the
  // start of "channel:123".
  if (ctl::ReadReply(sock, buf, sizeof buf, &got, chansrv::KeyReplyComplete) != ctl::Read::kOk) {
    return QRNET_CS_RECV_FAILED;
  }
  return chansrv::ParseKey(std::string_view(buf, got));
}

// Key of the session's channel-server channel: > 0, 0 for none, < 0 failure.
int32_t SessionKeyQuery(CClientSession& session) {
  int32_t key = KeyExchange(session.host, session.port,
                            chansrv::KeyQuery(session.channel_server_channel.load()));
  return key < 0 ? -1 : key;
}

bool SourceAlarmOut(const CClientSession& session) {
  std::shared_ptr<CAVSource> source = session.source();
  return source && source->GetEnable() != 0;
}

[[maybe_unused]] const bool kInstalled = [] {
  RegisterChannelServerQuery(SessionKeyQuery);
  RegisterAlarmOutProbe(SourceAlarmOut);
  return true;
}();

// Sends `command` on a fresh connection with the server time-outs and reads
// a reply that can be judged by its first line. 1 for "200 OK", else 0.
int32_t CommandOk(const char* host, int32_t port, const std::string& command, size_t capacity) {
  if (command.empty()) return 0;
  CQuorsock sock(0);
  const ctl::Timeouts& t = ctl::kServerTimeouts;
  if (ctl::Connect(sock, host, port, t, Deadline(t)) != ctl::Dial::kOk) return 0;
  if (!sock.Send(command.data(), int32_t(command.size()))) return 0;
  std::vector<char> buf(capacity);
  size_t got = 0;
  if (ctl::ReadReply(sock, buf.data(), capacity, &got, chansrv::StatusLineComplete) !=
      ctl::Read::kOk) {
    return 0;
  }
  return chansrv::HasOk(std::string_view(buf.data(), got)) ? 1 : 0;
}

int32_t AlarmOut(uint32_t handle, const char* host, int32_t port, int32_t channel, const char* user,
                 const char* password, int32_t through_server, int32_t state) {
  if (host == nullptr) return 0;
  int32_t ok = 0;
  if (through_server != 0) {
    ok = CommandOk(host, port, chansrv::AlarmOutCommand(state, channel), chansrv::kReplyCapacity);
  } else {
    auto web_port = chansrv::WebPort(port);
    if (!web_port) return 0;
    std::string auth = chansrv::AuthText(user ? user : "", password ? password : "");
    ok = CommandOk(host, *web_port, chansrv::WebAlarmOutRequest(host, channel, state, auth),
                   chansrv::kWebReplyCapacity);
  }
  if (ok != 1 || handle == 0) return ok;
  if (std::shared_ptr<CClientSession> session = CClientSession::Find(handle)) {
    if (std::shared_ptr<CAVSource> source = session->source()) {
      if (state != 0) {
        source->SetEnable();
      } else {
        source->ClearEnable();
      }
    }
  }
  return 1;
}

// Receives until the peer closes, the buffer is full or the server falls
// silent; returns the first byte (0..255) or a QRNET_CS_* code.
int32_t ReceiveTable(CQuorsock& sock, void* out, size_t capacity) {
  size_t got = 0;
  // The table has no end marker: what came before the server fell silent
  // is the table.
  switch (ctl::ReadReply(sock, static_cast<char*>(out), capacity, &got, nullptr)) {
    case ctl::Read::kOk:
    case ctl::Read::kPartial:
      break;
    default:
      return QRNET_CS_RECV_FAILED;
  }
  return static_cast<const uint8_t*>(out)[0];
}

}  // namespace

extern "C" {

QRNET_API int32_t QRNET_QueryServerChannel(const char* server_host, int32_t server_port,
                                           const char* device_host, int32_t device_rtsp_port,
                                           int32_t channel, const char* user,
                                           const char* password) {
  return Guarded(int32_t{QRNET_CS_NO_KEY}, [&]() -> int32_t {
    std::string query =
        chansrv::DeviceKeyQuery(device_host ? device_host : "", channel, device_rtsp_port,
                                user ? user : "", password ? password : "");
    if (query.empty()) return QRNET_CS_NO_KEY;
    return KeyExchange(server_host, server_port, query);
  });
}

QRNET_API int32_t QRNET_ClientGetServerChannels(const char* host, int32_t port, const char* user,
                                                const char* password, void* table) {
  return Guarded(int32_t{QRNET_CS_NO_KEY}, [&]() -> int32_t {
    if (table == nullptr) return QRNET_CS_NO_KEY;
    std::string command =
        chansrv::GetChannelsCommand(chansrv::AuthText(user ? user : "", password ? password : ""));
    if (command.empty()) return QRNET_CS_NO_KEY;
    CQuorsock sock(0);
    const ctl::Timeouts& t = ctl::kServerTimeouts;
    if (ctl::Dial d = ctl::Connect(sock, host, port, t, Deadline(t)); d != ctl::Dial::kOk) {
      return DialCode(d);
    }
    if (!sock.Send(command.data(), int32_t(command.size()))) return QRNET_CS_SEND_FAILED;
    return ReceiveTable(sock, table, chansrv::kTableCapacity);
  });
}

QRNET_API int32_t QRNET_ClientUpdateServerChannel(const char* host, int32_t port, const char* user,
                                                  const char* password, const void* table,
                                                  void* result) {
  return Guarded(int32_t{QRNET_CS_NO_KEY}, [&]() -> int32_t {
    if (table == nullptr || result == nullptr) return QRNET_CS_NO_KEY;
    uint32_t words = 0;
    std::memcpy(&words, table, 4);  // little-endian host
    const size_t table_bytes = chansrv::TableBytes(words);
    if (table_bytes == 0) return QRNET_CS_SEND_FAILED;
    std::string command = chansrv::UpdateChannelCommand(
        chansrv::AuthText(user ? user : "", password ? password : ""));
    if (command.empty()) return QRNET_CS_NO_KEY;
    CQuorsock sock(0);
    const ctl::Timeouts& t = ctl::kServerTimeouts;
    if (ctl::Dial d = ctl::Connect(sock, host, port, t, Deadline(t)); d != ctl::Dial::kOk) {
      return DialCode(d);
    }
    if (!sock.Send(command.data(), int32_t(command.size()))) return QRNET_CS_SEND_FAILED;
    char first[chansrv::kReplyCapacity];
    size_t got = 0;
    switch (ctl::ReadReply(sock, first, sizeof first, &got, chansrv::StatusLineComplete)) {
      case ctl::Read::kOk:
        break;
      case ctl::Read::kClosedEmpty:
        return QRNET_CS_EMPTY_REPLY;
      default:
        return QRNET_CS_RECV_FAILED;
    }
    if (!chansrv::HasOk(std::string_view(first, got))) return QRNET_CS_NO_KEY;
    if (!sock.Send(static_cast<const char*>(table), int32_t(table_bytes))) {
      return QRNET_CS_SEND_FAILED;
    }
    return ReceiveTable(sock, result, chansrv::kUpdateResultCapacity);
  });
}

QRNET_API int32_t QRNET_ClientStartAlarmOut(uint32_t handle, const char* host, int32_t port,
                                            int32_t channel, const char* user, const char* password,
                                            int32_t through_server) {
  return Guarded(int32_t{0}, [&] {
    return AlarmOut(handle, host, port, channel, user, password, through_server, 1);
  });
}

QRNET_API int32_t QRNET_ClientStopAlarmOut(uint32_t handle, const char* host, int32_t port,
                                           int32_t channel, const char* user, const char* password,
                                           int32_t through_server) {
  return Guarded(int32_t{0}, [&] {
    return AlarmOut(handle, host, port, channel, user, password, through_server, 0);
  });
}

}  // extern "C"
