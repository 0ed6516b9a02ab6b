// The MCTP/1.0 control service and event channel of the simulated camera.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "socket_util.h"

namespace devicesim {

namespace {

// A message may not exceed this; a peer that sends more is disconnected.
constexpr size_t kMaxMessageBytes = 16384;

// "@a@b@c..." at the start of `line`; stops at the first field that is not a
// number.
std::vector<long> Fields(std::string_view line) {
  std::vector<long> out;
  size_t pos = 0;
  while (pos < line.size() && line[pos] == '@' && out.size() < 64) {
    ++pos;
    size_t start = pos;
    if (pos < line.size() && (line[pos] == '-' || line[pos] == '+')) ++pos;
    size_t digits = pos;
    while (pos < line.size() && pos - digits < 10 && line[pos] >= '0' && line[pos] <= '9') ++pos;
    if (pos == digits) break;
    out.push_back(std::stol(std::string(line.substr(start, pos - start))));
  }
  return out;
}

std::vector<std::string_view> Lines(std::string_view msg) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < msg.size()) {
    size_t lf = msg.find('\n', pos);
    if (lf == std::string_view::npos) lf = msg.size();
    lines.push_back(msg.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return lines;
}

std::string Reply(std::string_view command_line, const std::vector<long>& values,
                  bool trailing_at) {
  std::string r(command_line);
  r += '\n';
  for (long v : values) {
    r += '@';
    r += std::to_string(v);
  }
  if (trailing_at) r += '@';
  r += "\nEND\n";
  return r;
}

}  // namespace

// One open event channel. `fd` belongs to the device; it stays valid while
// `open` is true, and writers hold `write_mutex` and test `open` first.
struct EventChannel {
  int fd = -1;
  int channel = 0;
  std::mutex write_mutex;
  bool open = true;  // guarded by write_mutex
};

struct ControlService::State {
  ControlFaults faults;

  mutable std::mutex mutex;
  mutable std::condition_variable cv;
  std::map<int, ChannelControl> channels;                  // guarded by mutex
  std::vector<PtzCommand> ptz_log;                         // guarded by mutex
  std::vector<AlarmAck> alarm_acks;                        // guarded by mutex
  std::vector<std::string> messages;                       // guarded by mutex
  std::vector<std::shared_ptr<EventChannel>> subscribers;  // guarded by mutex
  std::vector<std::string> session_ids;                    // guarded by mutex
  size_t keep_alives = 0;                                  // guarded by mutex

  std::mutex periodic_mutex;
  std::condition_variable periodic_cv;
  bool periodic_stop = false;  // guarded by periodic_mutex
  std::thread periodic;        // started and joined by the owner thread

  ChannelControl& ChannelLocked(int channel) { return channels[channel]; }

  void Serve(int fd, std::string buf);
  // The reply to one message ("" = none); may turn the connection into an
  // event channel.
  std::string Handle(std::string_view msg, int fd, std::shared_ptr<EventChannel>* event);
  int Push(int channel, const std::string& bytes);
  std::string MotionMessage(int channel, uint32_t mask);
};

void ControlService::State::Serve(int fd, std::string buf) {
  std::shared_ptr<EventChannel> event;
  char chunk[2048];
  for (;;) {
    // Every complete message in the buffer, in order.
    for (;;) {
      size_t start = buf.find("CMD");
      if (start == std::string::npos) break;
      size_t end = buf.find("END\n", start);
      if (end == std::string::npos) break;
      end += 4;
      std::string msg = buf.substr(start, end - start);
      buf.erase(0, end);
      const bool was_event = event != nullptr;
      std::string reply = Handle(msg, fd, &event);
      if (!reply.empty() && !faults.silent.load()) {
        std::unique_lock<std::mutex> lock;
        if (was_event) lock = std::unique_lock<std::mutex>(event->write_mutex);
        SendAll(fd, reply);
      }
      if (!was_event && event) {
        // Published only after the subscription reply went out, so that no
        // pushed report can overtake it.
        std::lock_guard<std::mutex> lock(mutex);
        subscribers.push_back(event);
        cv.notify_all();
      }
    }
    if (buf.size() > kMaxMessageBytes) break;
    ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buf.append(chunk, size_t(n));
  }
  if (event) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), event),
                        subscribers.end());
      cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(event->write_mutex);
    event->open = false;
  }
}

std::string ControlService::State::Handle(std::string_view msg, int fd,
                                          std::shared_ptr<EventChannel>* event) {
  std::vector<std::string_view> lines = Lines(msg);
  std::string_view head = lines.empty() ? std::string_view() : lines[0];
  std::vector<long> args = lines.size() > 1 ? Fields(lines[1]) : std::vector<long>();
  const long result = faults.result_value.load();
  std::lock_guard<std::mutex> lock(mutex);
  messages.emplace_back(msg);
  cv.notify_all();

  auto cmd = [&](std::string_view name) {
    return head.substr(0, name.size()) == name &&
           (head.size() == name.size() || head[name.size()] == ' ');
  };
  if (cmd("CMD:PTZ")) {
    if (args.size() < 3) return {};
    ptz_log.push_back({int(args[0]), int(args[1]), int(args[2])});
    return Reply("CMD:PTZ MCTP/1.0", {args[0], args[1], 1}, false);
  }
  if (cmd("CMD:PTZ-ADV")) return {};  // positioning is never answered
  if (cmd("CMD:VCTRL")) {
    if (args.size() < 5) return {};
    ChannelControl& ch = ChannelLocked(int(args[1]));
    if (args[0] == 1) {
      return Reply("CMD:VCTRL MCTP/1.0 CS", {1, args[1], ch.brightness, ch.contrast, ch.saturation},
                   true);
    }
    if (result == 1) {
      ch.brightness = int(args[2] & 0xFF);
      ch.contrast = int(args[3] & 0xFF);
      ch.saturation = int(args[4] & 0xFF);
      ch.last_video_operation = int(args[0]);
    }
    return Reply("CMD:VCTRL MCTP/1.0 CS", {args[0], args[1], result}, true);
  }
  if (cmd("CMD:ALARM")) {
    if (args.size() < 3) return {};
    if (result == 1) alarm_acks.push_back({int(args[1]), int(args[2])});
    return Reply("CMD:ALARM MCTP/1.0 CS", {args[0], args[1], result}, false);
  }
  if (cmd("CMD:MD")) {
    if (args.size() < 8) return {};
    const int channel = int(args[1]);
    ChannelControl& ch = ChannelLocked(channel);
    switch (args[0]) {
      case 1:  // save: one line per region
        if (result == 1) {
          for (size_t i = 1; i < lines.size(); ++i) {
            std::vector<long> v = Fields(lines[i]);
            if (v.size() < 8 || v[2] < 0 || v[2] > 15) continue;
            ch.regions[v[2]] = {int(v[3] & 0xFF), int32_t(v[4]), int32_t(v[5]), int32_t(v[6]),
                                int32_t(v[7])};
          }
        }
        break;
      case 2: {  // read
        std::string r = "CMD:MD MCTP/1.0 CS\n";
        for (int i = 0; i < 16; ++i) {
          const MdRegion& g = ch.regions[i];
          char line[128];
          std::snprintf(line, sizeof line, "@2@%d@%d@%d@%d@%d@%d@%d\n", channel, i, g.sensitivity,
                        g.left, g.top, g.right, g.bottom);
          r += line;
        }
        return r + "END\n";
      }
      case 3:
      case 4:
        if (result == 1) ch.md_enabled = args[0] == 3;
        break;
      default:
        return {};
    }
    return Reply("CMD:MD MCTP/1.0 CS", {args[0], args[1], result, 0, 0, 0, 0, 0}, false);
  }
  if (cmd("CMD:ALIVE")) {
    if (*event) {  // keep-alive on an open event channel
      ++keep_alives;
      cv.notify_all();
      return {};
    }
    // "@<session id>@<channel>"
    std::string_view arg = lines.size() > 1 ? lines[1] : std::string_view();
    size_t at = arg.rfind('@');
    if (arg.empty() || arg[0] != '@' || at == 0) return {};
    std::vector<long> ch = Fields(arg.substr(at));
    if (ch.size() != 1) return {};
    auto channel = std::make_shared<EventChannel>();
    channel->fd = fd;
    channel->channel = int(ch[0]);
    *event = channel;
    session_ids.emplace_back(arg.substr(1, at - 1));
    return Reply("CMD:ALIVE MCTP/1.0 CS", {0, ch[0], result}, false);
  }
  return {};
}

int ControlService::State::Push(int channel, const std::string& bytes) {
  std::vector<std::shared_ptr<EventChannel>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& s : subscribers) {
      if (channel < 0 || s->channel == channel) targets.push_back(s);
    }
  }
  int written = 0;
  for (auto& t : targets) {
    std::lock_guard<std::mutex> lock(t->write_mutex);
    if (t->open && SendAll(t->fd, bytes)) ++written;
  }
  return written;
}

std::string ControlService::State::MotionMessage(int channel, uint32_t mask) {
  std::string msg = "CMD:MD MCTP/1.0 CS\n";
  std::lock_guard<std::mutex> lock(mutex);
  ChannelControl& ch = ChannelLocked(channel < 0 ? 0 : channel);
  for (int i = 0; i < 16; ++i) {
    if (!(mask & (1u << i))) continue;
    const MdRegion& g = ch.regions[i];
    char line[128];
    std::snprintf(line, sizeof line, "@0@1@%d@%d@%d@%d@%d@0\n", i, g.left, g.top, g.right,
                  g.bottom);
    msg += line;
  }
  return msg + "END\n";
}

ControlService::ControlService() : state_(std::make_shared<State>()) {}

ControlService::~ControlService() {
  StopPeriodicMotion();
}

void ControlService::Attach(Device& device) {
  std::shared_ptr<State> state = state_;
  device.AddProtocol("CMD:", [state](int fd, std::string already_read) {
    state->Serve(fd, std::move(already_read));
  });
}

ControlFaults& ControlService::faults() {
  return state_->faults;
}

ChannelControl ControlService::Channel(int channel) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ChannelLocked(channel);
}

void ControlService::SetChannel(int channel, const ChannelControl& control) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->ChannelLocked(channel) = control;
}

std::vector<PtzCommand> ControlService::PtzLog() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ptz_log;
}

std::vector<AlarmAck> ControlService::AlarmAcks() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->alarm_acks;
}

std::vector<std::string> ControlService::Messages() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->messages;
}

void ControlService::ClearLogs() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->ptz_log.clear();
  state_->alarm_acks.clear();
  state_->messages.clear();
  state_->session_ids.clear();
  state_->keep_alives = 0;
}

size_t ControlService::EventSubscribers() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->subscribers.size();
}

bool ControlService::WaitEventSubscribers(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return state_->subscribers.size() == count; });
}

std::vector<std::string> ControlService::SubscribedSessionIds() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->session_ids;
}

size_t ControlService::KeepAlives() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->keep_alives;
}

int ControlService::PushMotion(int channel, uint32_t mask) {
  return state_->Push(channel, state_->MotionMessage(channel, mask));
}

int ControlService::PushAlarm(int channel, int input) {
  return state_->Push(channel, "CMD:ALARM MCTP/1.0 CS\n@2@" + std::to_string(input) + "\nEND\n");
}

int ControlService::PushRaw(int channel, const std::string& bytes) {
  return state_->Push(channel, bytes);
}

void ControlService::StartPeriodicMotion(int interval_ms, uint32_t mask) {
  StopPeriodicMotion();
  std::shared_ptr<State> state = state_;
  {
    std::lock_guard<std::mutex> lock(state->periodic_mutex);
    state->periodic_stop = false;
  }
  state->periodic = std::thread([state, interval_ms, mask] {
    std::unique_lock<std::mutex> lock(state->periodic_mutex);
    while (!state->periodic_cv.wait_for(lock, std::chrono::milliseconds(interval_ms),
                                        [&] { return state->periodic_stop; })) {
      lock.unlock();
      std::vector<int> channels;
      {
        std::lock_guard<std::mutex> g(state->mutex);
        for (auto& s : state->subscribers) channels.push_back(s->channel);
      }
      std::sort(channels.begin(), channels.end());
      channels.erase(std::unique(channels.begin(), channels.end()), channels.end());
      for (int ch : channels) state->Push(ch, state->MotionMessage(ch, mask));
      lock.lock();
    }
  });
}

void ControlService::StopPeriodicMotion() {
  {
    std::lock_guard<std::mutex> lock(state_->periodic_mutex);
    state_->periodic_stop = true;
  }
  state_->periodic_cv.notify_all();
  if (state_->periodic.joinable()) state_->periodic.join();
}

}  // namespace devicesim
