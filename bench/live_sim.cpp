#include "live_sim.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>

#include "devicesim/control.h"
#include "devicesim/device.h"

extern "C" {
#include <libavutil/log.h>
}

namespace livebench {

namespace {

// The ledger of a device keeps this many frames.
constexpr uint32_t kLedgerFrames = 8192;

}  // namespace

int RunSimulatorChild(int devices, bool control, const StreamSpec& spec) {
  signal(SIGPIPE, SIG_IGN);
  // The parent stops us through the pipe; a Ctrl-C in the terminal reaches
  // the whole process group, and the parent handles it.
  signal(SIGINT, SIG_IGN);
  av_log_set_level(AV_LOG_ERROR);  // no encoder banners on the terminal
  std::vector<std::unique_ptr<devicesim::Device>> sims;
  // The command and event service of a camera on the RTSP port: the client
  // subscribes to the event channel after PLAY.
  std::vector<std::unique_ptr<devicesim::ControlService>> controls;
  std::string ready = "ready";
  for (int d = 0; d < devices; ++d) {
    devicesim::Config cfg;
    cfg.codec = spec.h265 ? devicesim::VideoCodec::kH265 : devicesim::VideoCodec::kH264;
    cfg.width = spec.width;
    cfg.height = spec.height;
    cfg.fps = 25;
    cfg.audio = devicesim::AudioCodec::kNone;
    cfg.bind_address = "127.0.0.1";
    cfg.scene = spec.busy ? devicesim::Scene::kBusy : devicesim::Scene::kBars;
    // At 1280x720 the size-derived default (2094 kbit/s for the bars, 2880
    // for the busy scene), scaled with the picture area for other sizes,
    // plus a step per device: every device is its own stream and encoder
    // anyway, and no two are alike.
    const double area = double(spec.width) * spec.height / (1280.0 * 720.0);
    cfg.bitrate_kbps = int((spec.busy ? 2880 : 2094) * area) + 16 * d;
    auto sim = std::make_unique<devicesim::Device>();
    if (control) {
      controls.push_back(std::make_unique<devicesim::ControlService>());
      controls.back()->Attach(*sim);
    }
    if (!sim->Start(cfg, 0)) {
      std::fprintf(stderr, "qr-bench-live simulator: %s\n", sim->Error().c_str());
      return 1;
    }
    ready += ' ';
    ready += std::to_string(sim->Port());
    sims.push_back(std::move(sim));
  }
  std::cout << ready << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "quit") break;
    if (cmd == "times") {
      int d = -1;
      uint32_t from = 0;
      in >> d >> from;
      std::string out = "ok";
      if (d >= 0 && d < devices) {
        for (uint32_t f = from; f - from < kLedgerFrames; ++f) {
          auto t = sims[size_t(d)]->CaptureTimeMs(f);
          if (!t) break;
          out += ' ';
          out += std::to_string(*t);
          out += ',';
          out += std::to_string(sims[size_t(d)]->SentTimeMs(f).value_or(-1));
        }
      }
      std::cout << out << std::endl;
      continue;
    }
    std::cout << "error" << std::endl;
  }
  for (auto& sim : sims) sim->Stop();
  return 0;
}

SimulatorProcess::~SimulatorProcess() {
  Stop();
}

bool SimulatorProcess::Start(const std::string& self_exe, int devices, bool control,
                             const StreamSpec& spec, std::string* error) {
  int down[2], up[2];  // parent -> child, child -> parent
  if (pipe2(down, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(up, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(down[0]);
    close(down[1]);
    return false;
  }
  const std::string count = std::to_string(devices);
  const std::string size = std::to_string(spec.width) + "x" + std::to_string(spec.height);
  pid_ = fork();
  if (pid_ < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    for (int fd : {down[0], down[1], up[0], up[1]}) close(fd);
    return false;
  }
  if (pid_ == 0) {
    dup2(down[0], STDIN_FILENO);
    dup2(up[1], STDOUT_FILENO);
    execl(self_exe.c_str(), self_exe.c_str(), "--serve", count.c_str(),
          control ? "control" : "no-control", spec.busy ? "busy" : "bars",
          spec.h265 ? "h265" : "h264", size.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(down[0]);
  close(up[1]);
  to_child_ = fdopen(down[1], "w");
  from_child_ = fdopen(up[0], "r");
  std::string line;
  if (!ReadLine(&line) || line.rfind("ready", 0) != 0) {
    *error = "the simulator did not start";
    Stop();
    return false;
  }
  std::istringstream in(line.substr(5));
  int port = 0;
  while (in >> port) ports_.push_back(port);
  if (static_cast<int>(ports_.size()) != devices) {
    *error = "the simulator reported " + std::to_string(ports_.size()) + " ports";
    Stop();
    return false;
  }
  return true;
}

void SimulatorProcess::Stop() {
  if (to_child_ != nullptr) {
    std::fputs("quit\n", to_child_);
    std::fflush(to_child_);
    std::fclose(to_child_);
    to_child_ = nullptr;
  }
  if (pid_ > 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
  }
  if (from_child_ != nullptr) {
    std::fclose(from_child_);
    from_child_ = nullptr;
  }
  ports_.clear();
}

std::string SimulatorProcess::Url(int d) const {
  return "rtsp://" + Address(d) + "/" + std::to_string(d + 1);
}

std::string SimulatorProcess::Address(int d) const {
  return "127.0.0.1:" + std::to_string(ports_.at(size_t(d)));
}

std::vector<FrameTimes> SimulatorProcess::Times(int d, uint32_t from) {
  std::vector<FrameTimes> out;
  if (to_child_ == nullptr) return out;
  std::fprintf(to_child_, "times %d %u\n", d, from);
  std::fflush(to_child_);
  std::string line;
  if (!ReadLine(&line) || line.rfind("ok", 0) != 0) return out;
  std::istringstream in(line.substr(2));
  FrameTimes t;
  char comma = 0;
  while (in >> t.captured >> comma >> t.sent && comma == ',') out.push_back(t);
  return out;
}

bool SimulatorProcess::ReadLine(std::string* line) {
  line->clear();
  if (from_child_ == nullptr) return false;
  int c;
  while ((c = std::fgetc(from_child_)) != EOF) {
    if (c == '\n') return true;
    line->push_back(static_cast<char>(c));
  }
  return false;
}

}  // namespace livebench
