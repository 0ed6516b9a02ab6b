// The simulated recorder management service.
#include <sys/socket.h>

#include <map>
#include <mutex>

#include "devicesim/nvr.h"
#include "socket_util.h"
#include "tcp_service.h"

namespace devicesim {

namespace {

constexpr size_t kMaxRequestBytes = 16384;

// "a=1&b=2" of the request line's query into a map (later keys win).
std::map<std::string, std::string> QueryParams(std::string_view line) {
  std::map<std::string, std::string> out;
  size_t q = line.find('?');
  if (q == std::string_view::npos) return out;
  size_t end = line.find(' ', q);
  std::string_view query = line.substr(q + 1, end == std::string_view::npos ? end : end - q - 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view kv = query.substr(0, amp);
    size_t eq = kv.find('=');
    if (eq != std::string_view::npos) out[std::string(kv.substr(0, eq))] = kv.substr(eq + 1);
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return out;
}

int Int(const std::map<std::string, std::string>& p, const std::string& key) {
  auto it = p.find(key);
  if (it == p.end()) return 0;
  try {
    return std::stoi(it->second);
  } catch (...) {
    return 0;
  }
}

std::string Quoted(const std::string& key, const std::string& value) {
  return "\"" + key + "\":\"" + value + "\"";
}

}  // namespace

struct NvrServer::Impl {
  ServerFaults faults;
  TcpService service;

  mutable std::mutex mutex;  // guards everything below
  std::string user = "admin", password = "admin";
  std::string cookie = "5f2e9c1b";
  bool logged_in = false;  // a login handed out `cookie`
  int rtsp_port = 554;
  std::vector<NvrCamera> cameras;
  std::map<std::string, std::vector<NvrRecord>> records;
  std::map<int, std::vector<NvrPreset>> presets;
  std::string login_error;
  std::map<std::string, std::string> action_errors;
  std::map<std::string, std::string> raw_bodies;
  std::vector<NvrRequest> log;
  std::vector<NvrPtzCommand> ptz;

  void Serve(int fd, uint64_t connection);
  // Body of the reply to one request (mutex held).
  std::string Answer(const std::string& request);
};

namespace {
std::string Error(const std::string& message) {
  return "Response=Error\r\nMessage=" + message + "\r\n";
}
constexpr char kSuccess[] = "Response=Success\r\n";
}  // namespace

std::string NvrServer::Impl::Answer(const std::string& request) {
  const std::string line = request.substr(0, request.find("\r\n"));
  auto p = QueryParams(line);
  const std::string action = p.count("action") ? p["action"] : "";
  std::string sent_cookie;
  if (size_t at = request.find("usercookie="); at != std::string::npos) {
    sent_cookie = request.substr(at + 11, request.find("\r\n", at) - at - 11);
  }
  if (auto it = raw_bodies.find(action); it != raw_bodies.end()) return it->second;
  if (auto it = action_errors.find(action); it != action_errors.end()) return Error(it->second);

  if (action == "login") {
    if (!login_error.empty()) return Error(login_error);
    if (p["username"] != user) return Error("User not exist");
    if (p["passwd"] != password) return Error("Authentication failed");
    logged_in = true;
    return std::string(kSuccess) + "usercookie=" + cookie + "\r\n";
  }
  const bool file_server = action == "ipcbaseqry" && sent_cookie == "00000000";
  if (!file_server && (!logged_in || sent_cookie != cookie)) {
    return Error("Authentication Required");
  }
  if (action == "ipcbaseqry") {
    if (cameras.empty()) return Error("No IPC Found");
    std::string body = std::string(kSuccess) + "{\"Data\":[";
    for (size_t i = 0; i < cameras.size(); ++i) {
      const NvrCamera& c = cameras[i];
      if (i) body += ',';
      body += '{';
      body += Quoted("chan", std::to_string(c.channel));
      body += ',';
      body += Quoted("type", std::to_string(c.type));
      body += ',';
      body += Quoted("name", c.name);
      body += ',';
      body += Quoted("addr", c.address);
      body += '}';
    }
    return body + "]}";
  }
  if (action == "getrtspport") {
    std::string body = kSuccess;
    if (rtsp_port > 0) body += "rtsp=" + std::to_string(rtsp_port) + "\r\n";
    return body;
  }
  if (action == "recordquery") {
    std::string list;
    for (const NvrRecord& r : records[p["datestr"]]) {
      if (Int(p, "chan" + std::to_string(r.channel)) == 0) continue;
      list += (list.empty() ? "" : ",") + std::string("{") +
              Quoted("chan", std::to_string(r.channel)) + "," +
              Quoted("type", std::to_string(r.type)) + "," + Quoted("begin", r.begin) + "," +
              Quoted("end", r.end) + "," + Quoted("lock", std::to_string(r.lock)) + "}";
    }
    if (list.empty()) return Error("No Record Found");
    return std::string(kSuccess) + "{\"Records\":[" + list + "]}";
  }
  if (action == "getpreset") {
    std::string body = std::string(kSuccess) + "{\"Data\":[";
    bool first = true;
    for (const NvrPreset& pr : presets[Int(p, "chan")]) {
      body += (first ? "{" : ",{") + Quoted("preset", std::to_string(pr.number)) + "," +
              Quoted("name", pr.name) + "}";
      first = false;
    }
    return body + "]}";
  }
  if (action == "setpreset") {
    auto& list = presets[Int(p, "chan")];
    if (p["type"] == "add") {
      int number = 1;
      for (const NvrPreset& pr : list) number = std::max(number, pr.number + 1);
      list.push_back({number, p["name"]});
      return std::string(kSuccess) + "preset=" + std::to_string(number) + "\r\n";
    }
    for (NvrPreset& pr : list) {
      if (pr.number == Int(p, "preset")) {
        pr.name = p["name"];
        return kSuccess;
      }
    }
    return Error("Preset not exist");
  }
  if (action == "gotoremovepreset") {
    auto& list = presets[Int(p, "chan")];
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].number != Int(p, "preset")) continue;
      if (Int(p, "cmd") == 2) list.erase(list.begin() + long(i));  // 2 removes, others recall
      return kSuccess;
    }
    return Error("Preset not exist");
  }
  if (action == "ptzcontrol") {
    ptz.push_back({Int(p, "chan"), Int(p, "cmd"), Int(p, "arg1"), Int(p, "arg2")});
    return kSuccess;
  }
  return Error("Unknown action");
}

void NvrServer::Impl::Serve(int fd, uint64_t connection) {
  if (faults.close_at_once.load()) return;
  std::string in;
  while (!service.Stopping()) {
    if (!ReadUntil(fd, &in, "\r\n\r\n", kMaxRequestBytes)) return;
    const size_t end = in.find("\r\n\r\n") + 4;
    std::string request = in.substr(0, end);
    in.erase(0, end);
    std::string body;
    {
      std::lock_guard<std::mutex> lock(mutex);
      log.push_back({connection, request});
      body = Answer(request);
    }
    std::string reply = HttpReply(faults.status.load(), body, faults);
    if (!SendReply(fd, reply, faults, service, "HTTP/1.1 200 OK\r\nX-Wait: ")) return;
    if (faults.no_length.load()) return;
  }
}

NvrServer::NvrServer() : impl_(std::make_shared<Impl>()) {}
NvrServer::~NvrServer() {
  Stop();
}

bool NvrServer::Start(uint16_t port, const std::string& bind_address) {
  Impl* raw = impl_.get();
  return impl_->service.Start(port, bind_address,
                              [raw](int fd, uint64_t id) { raw->Serve(fd, id); });
}

void NvrServer::Stop() {
  impl_->service.Stop();
}

uint16_t NvrServer::Port() const {
  return impl_->service.Port();
}

ServerFaults& NvrServer::faults() {
  return impl_->faults;
}

#define LOCKED std::lock_guard<std::mutex> lock(impl_->mutex)

void NvrServer::SetCredentials(const std::string& user, const std::string& password) {
  LOCKED;
  impl_->user = user;
  impl_->password = password;
}
void NvrServer::SetCookie(const std::string& cookie) {
  LOCKED;
  impl_->cookie = cookie;
  impl_->logged_in = false;
}
void NvrServer::SetRtspPort(int port) {
  LOCKED;
  impl_->rtsp_port = port;
}
void NvrServer::SetCameras(std::vector<NvrCamera> cameras) {
  LOCKED;
  impl_->cameras = std::move(cameras);
}
void NvrServer::SetRecords(const std::string& date, std::vector<NvrRecord> records) {
  LOCKED;
  impl_->records[date] = std::move(records);
}
void NvrServer::SetPresets(int channel, std::vector<NvrPreset> presets) {
  LOCKED;
  impl_->presets[channel] = std::move(presets);
}
std::vector<NvrPreset> NvrServer::Presets(int channel) const {
  LOCKED;
  auto it = impl_->presets.find(channel);
  return it == impl_->presets.end() ? std::vector<NvrPreset>{} : it->second;
}
void NvrServer::SetLoginError(const std::string& message) {
  LOCKED;
  impl_->login_error = message;
}
void NvrServer::SetActionError(const std::string& action, const std::string& message) {
  LOCKED;
  if (message.empty()) {
    impl_->action_errors.erase(action);
  } else {
    impl_->action_errors[action] = message;
  }
}
void NvrServer::SetRawBody(const std::string& action, const std::string& body) {
  LOCKED;
  if (body.empty()) {
    impl_->raw_bodies.erase(action);
  } else {
    impl_->raw_bodies[action] = body;
  }
}
std::vector<NvrRequest> NvrServer::Requests() const {
  LOCKED;
  return impl_->log;
}
std::vector<NvrPtzCommand> NvrServer::PtzLog() const {
  LOCKED;
  return impl_->ptz;
}
void NvrServer::ClearLog() {
  LOCKED;
  impl_->log.clear();
  impl_->ptz.clear();
}

#undef LOCKED

}  // namespace devicesim
