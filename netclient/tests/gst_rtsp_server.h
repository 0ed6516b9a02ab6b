// A third-party RTSP server for tests: runs scripts/gst-rtsp-server.py
// (GStreamer's gst-rtsp-server) on loopback and reads its "READY rtsp://..."
// line. The server process is killed and reaped by the destructor.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace quornet_test {

// True when python3 has the GStreamer RTSP server bindings; tests skip
// without them.
inline bool GstRtspServerAvailable() {
  return std::system(
             "/usr/bin/python3 -c \"import gi; gi.require_version('GstRtspServer','1.0')\" "
             ">/dev/null 2>&1") == 0;
}

class GstRtspServer {
 public:
  GstRtspServer() = default;
  GstRtspServer(const GstRtspServer&) = delete;
  GstRtspServer& operator=(const GstRtspServer&) = delete;
  ~GstRtspServer() { Kill(); }

  // Starts the script with args; false when it did not report READY within
  // timeout_ms. The client reaches the stream as channel 1 when args mount
  // it at "/1".
  bool Start(const std::vector<std::string>& args, int timeout_ms = 20000) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) {
      close(out[0]);
      close(out[1]);
      return false;
    }
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::string script = std::string(QR_SOURCE_DIR) + "/scripts/gst-rtsp-server.py";
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>("/usr/bin/python3"));
      argv.push_back(script.data());
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string text;
    bool ready = false;
    for (int waited = 0; waited < timeout_ms && !ready;) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) {
        waited += 100;
        continue;
      }
      char buf[256];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      size_t r = text.find("READY rtsp://");
      if (r != std::string::npos && text.find('\n', r) != std::string::npos) {
        url_ = text.substr(r + 6, text.find('\n', r) - r - 6);
        ready = true;
      }
    }
    close(out[0]);
    if (!ready) Kill();
    return ready;
  }

  // "rtsp://127.0.0.1:PORT/MOUNT"
  const std::string& url() const { return url_; }
  int port() const {
    size_t colon = url_.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(url_.c_str() + colon + 1);
  }

  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 50 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(100000);
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string url_;
};

}  // namespace quornet_test
