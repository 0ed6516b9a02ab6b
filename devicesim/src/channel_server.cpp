// The simulated channel server (key queries, QRURF commands) and the camera
// web endpoint for alarm outputs.
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <mutex>

#include "devicesim/device.h"
#include "devicesim/nvr.h"
#include "socket_util.h"
#include "tcp_service.h"

namespace devicesim {

namespace {

constexpr size_t kMaxQueryBytes = 4096;
constexpr size_t kMaxTableBytes = 1u << 20;

// Value of "key:" at the start of a line of a key query, or "".
std::string KeyLine(const std::string& query, const std::string& key) {
  size_t at = query.find("\n" + key + ":");
  if (at == std::string::npos) return {};
  at += key.size() + 2;
  return query.substr(at, query.find('\n', at) - at);
}

}  // namespace

struct ChannelServer::Impl {
  ServerFaults faults;
  TcpService service;
  TcpService web;

  mutable std::mutex mutex;  // guards everything below
  std::map<int, int> keys;
  bool identity_keys = false;
  bool refuse_keys = false;
  std::string raw_key_reply;
  std::string user = "admin", password = "admin";
  std::string table = std::string("\x03", 1) + "table";
  std::string update_result = std::string("\x01", 1) + "updated";
  bool refuse_update = false;
  std::string last_update;
  std::map<int, bool> alarm;
  std::vector<AlarmOutChange> alarm_log;
  std::vector<std::string> log;

  std::string Auth() const { return Base64(user + ":" + password); }
  void Log(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(text);
  }
  // Serves one connection whose first bytes are `in`; `service_of` is the
  // service whose stop ends trickles.
  void Serve(int fd, std::string in, const TcpService& owner);
  void ServeWeb(int fd);
};

void ChannelServer::Impl::Serve(int fd, std::string in, const TcpService& owner) {
  if (faults.close_at_once.load()) return;
  // Wait until the kind of request shows.
  if (!ReadAtLeast(fd, &in, 6)) return;
  if (in.compare(0, 6, "SYSTEM") == 0) {
    if (!ReadUntil(fd, &in, "END\n", kMaxQueryBytes)) return;
    in.resize(in.find("END\n") + 4);
    Log(in);
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!raw_key_reply.empty()) {
        reply = raw_key_reply;
      } else if (refuse_keys) {
        reply = "SYSTEM ERROR\nEND\n";
      } else {
        int channel = std::atoi(KeyLine(in, "channel").c_str());
        auto it = keys.find(channel);
        int key = it != keys.end() ? it->second : identity_keys ? channel : 0;
        reply = "SYSTEM OK\nchannel:" + std::to_string(key) + "\nEND\n";
      }
    }
    SendReply(fd, reply, faults, owner, "SYSTEM OK\nchannel:");
    return;
  }
  if (!ReadUntil(fd, &in, "\r\n", kMaxQueryBytes)) return;
  std::string line = in.substr(0, in.find("\r\n"));
  const bool alarm_cmd = line.rfind("QRURF CMD=ALARMOUT STATE=", 0) == 0;
  if (alarm_cmd) {
    // The channel line follows.
    const size_t first = in.find("\r\n") + 2;
    if (!ReadUntil(fd, &in, "\r\n", kMaxQueryBytes, first)) return;
    in.resize(in.find("\r\n", first) + 2);
    Log(in);
    const int state = std::atoi(line.c_str() + 25);
    const std::string channel_line = in.substr(first);
    const int channel =
        channel_line.rfind("CHANNEL=", 0) == 0 ? std::atoi(channel_line.c_str() + 8) : -1;
    {
      std::lock_guard<std::mutex> lock(mutex);
      alarm[channel] = state != 0;
      alarm_log.push_back({channel, state, false});
    }
    SendReply(fd, "QRURF 200 OK\r\n", faults, owner, "QRURF ");
    return;
  }
  in.resize(in.find("\r\n") + 2);
  Log(in);
  const std::string expect_get = "QRURF CMD=GET CHANNEL AUTH=" + Auth();
  const std::string expect_update = "QRURF CMD=UPDATE CHANNEL AUTH=" + Auth();
  if (line == expect_get) {
    std::string table_copy;
    {
      std::lock_guard<std::mutex> lock(mutex);
      table_copy = table;
    }
    SendReply(fd, table_copy, faults, owner, "\x01");
    return;
  }
  if (line == expect_update) {
    bool refuse;
    {
      std::lock_guard<std::mutex> lock(mutex);
      refuse = refuse_update;
    }
    if (refuse) {
      SendAll(fd, "QRURF 403 Forbidden\r\n");
      // Anything that follows would be a table sent against the refusal.
      std::string rest;
      if (ReadAtLeast(fd, &rest, 1)) Log(rest);
      return;
    }
    if (!SendReply(fd, "QRURF 200 OK\r\n", faults, owner, "QRURF ")) return;
    std::string table_in;
    if (!ReadAtLeast(fd, &table_in, 4)) return;
    uint32_t words = 0;
    std::memcpy(&words, table_in.data(), 4);
    const size_t bytes = 4 + size_t(words) * 4;
    if (bytes > kMaxTableBytes || !ReadAtLeast(fd, &table_in, bytes)) return;
    table_in.resize(bytes);
    Log(table_in);
    std::string result;
    {
      std::lock_guard<std::mutex> lock(mutex);
      last_update = table_in;
      result = update_result;
    }
    SendAll(fd, result);
    return;
  }
  // Unknown command or wrong credentials: no answer.
}

void ChannelServer::Impl::ServeWeb(int fd) {
  if (faults.close_at_once.load()) return;
  std::string in;
  if (!ReadUntil(fd, &in, "\r\n\r\n", kMaxQueryBytes)) return;
  in.resize(in.find("\r\n\r\n") + 4);
  Log(in);
  int status = faults.status.load();
  const std::string prefix = "GET /goform/device?cmd=set&channel=";
  if (in.find("\r\nAuthorization: Basic " + Auth() + "\r\n") == std::string::npos) {
    status = 401;
  } else if (in.rfind(prefix, 0) != 0) {
    status = 404;
  } else if (status == 200) {
    const int channel = std::atoi(in.c_str() + prefix.size());
    size_t at = in.find("&alarmout.status=");
    const int state = at == std::string::npos ? 0 : std::atoi(in.c_str() + at + 17);
    std::lock_guard<std::mutex> lock(mutex);
    alarm[channel] = state != 0;
    alarm_log.push_back({channel, state, true});
  }
  SendReply(fd, HttpReply(status, "OK", faults), faults, web, "HTTP/1.1 200");
}

ChannelServer::ChannelServer() : impl_(std::make_shared<Impl>()) {}
ChannelServer::~ChannelServer() {
  Stop();
}

bool ChannelServer::Start(uint16_t port, const std::string& bind_address) {
  Impl* raw = impl_.get();
  return impl_->service.Start(port, bind_address,
                              [raw](int fd, uint64_t) { raw->Serve(fd, {}, raw->service); });
}

bool ChannelServer::StartWeb(uint16_t port, const std::string& bind_address) {
  Impl* raw = impl_.get();
  return impl_->web.Start(port, bind_address, [raw](int fd, uint64_t) { raw->ServeWeb(fd); });
}

void ChannelServer::Attach(Device& device) {
  // The device keeps the handlers; the shared state outlives this object if
  // the device is stopped later.
  std::shared_ptr<Impl> impl = impl_;
  auto handler = [impl](int fd, std::string already_read) {
    impl->Serve(fd, std::move(already_read), impl->service);
  };
  device.AddProtocol("SYSTEM", handler);
  device.AddProtocol("QRURF", handler);
}

void ChannelServer::Stop() {
  impl_->service.Stop();
  impl_->web.Stop();
}

uint16_t ChannelServer::Port() const {
  return impl_->service.Port();
}
uint16_t ChannelServer::WebPort() const {
  return impl_->web.Port();
}
ServerFaults& ChannelServer::faults() {
  return impl_->faults;
}

#define LOCKED std::lock_guard<std::mutex> lock(impl_->mutex)

void ChannelServer::SetKey(int channel, int key) {
  LOCKED;
  impl_->keys[channel] = key;
}
void ChannelServer::SetIdentityKeys(bool on) {
  LOCKED;
  impl_->identity_keys = on;
}
void ChannelServer::SetRefuseKeys(bool on) {
  LOCKED;
  impl_->refuse_keys = on;
}
void ChannelServer::SetRawKeyReply(const std::string& bytes) {
  LOCKED;
  impl_->raw_key_reply = bytes;
}
void ChannelServer::SetCredentials(const std::string& user, const std::string& password) {
  LOCKED;
  impl_->user = user;
  impl_->password = password;
}
void ChannelServer::SetTable(const std::string& bytes) {
  LOCKED;
  impl_->table = bytes;
}
void ChannelServer::SetUpdateResult(const std::string& bytes) {
  LOCKED;
  impl_->update_result = bytes;
}
void ChannelServer::SetRefuseUpdate(bool on) {
  LOCKED;
  impl_->refuse_update = on;
}
std::string ChannelServer::LastUpdateTable() const {
  LOCKED;
  return impl_->last_update;
}
bool ChannelServer::AlarmOut(int channel) const {
  LOCKED;
  auto it = impl_->alarm.find(channel);
  return it != impl_->alarm.end() && it->second;
}
std::vector<AlarmOutChange> ChannelServer::AlarmLog() const {
  LOCKED;
  return impl_->alarm_log;
}
std::vector<std::string> ChannelServer::Requests() const {
  LOCKED;
  return impl_->log;
}
void ChannelServer::ClearLog() {
  LOCKED;
  impl_->log.clear();
  impl_->alarm_log.clear();
}

#undef LOCKED

}  // namespace devicesim
