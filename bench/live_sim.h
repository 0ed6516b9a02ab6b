// The simulated cameras of qr-bench-live, run in a child process so that the
// benchmark's own CPU figures never include the encoders.
//
// The child is the benchmark binary itself started with
// "--serve N control|no-control bars|busy h264|h265 WxH": it runs N devicesim::Device
// instances filming the given scene on loopback, one
// encoder each (the streams are distinct: each device encodes its own stream,
// at a slightly different bit rate), each with the MCTP control service that
// answers the client's event-channel subscription (unless "no-control"), and
// answers line requests on its standard input:
//
//   child -> parent, once:   "ready PORT0 PORT1 ...\n"
//   "times D FROM\n"      -> "ok C0,S0 C1,S1 ...\n": capture and send times
//                            (steady-clock ms; send -1 while not sent) of
//                            device D's frames FROM, FROM+1, ... up to the
//                            newest one (at most 8192 pairs)
//   "quit\n" or end of input: stops the devices and exits 0.
//
// Capture times are CLOCK_MONOTONIC milliseconds (std::chrono::steady_clock),
// which is system-wide, so the parent compares them with its own clock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace livebench {

// When the simulator generated a frame's picture, and when it handed the
// encoded picture to the sessions (-1: not yet).
struct FrameTimes {
  int64_t captured = -1;
  int64_t sent = -1;
};

// What every simulated camera sends.
struct StreamSpec {
  bool busy = false;  // the busy scene, else the colour bars
  bool h265 = false;  // H.265, else H.264
  int width = 1280;
  int height = 720;
};

// The body of "--serve N control|no-control SCENE CODEC WxH": returns the
// process exit code.
int RunSimulatorChild(int devices, bool control, const StreamSpec& spec);

// Parent side: starts and owns the child. Not thread-safe; one owner.
class SimulatorProcess {
 public:
  SimulatorProcess() = default;
  ~SimulatorProcess();  // Stop()
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // Starts `self_exe --serve devices ...` and waits for its ready line.
  bool Start(const std::string& self_exe, int devices, bool control, const StreamSpec& spec,
             std::string* error);
  // Asks the child to quit and reaps it (SIGKILL after 5 s).
  void Stop();

  pid_t pid() const { return pid_; }
  int devices() const { return static_cast<int>(ports_.size()); }
  // "rtsp://127.0.0.1:PORT/CHANNEL" of device d; channel d + 1.
  std::string Url(int d) const;
  // "127.0.0.1:PORT", the address field of the client record for device d.
  std::string Address(int d) const;

  // Capture and send times of device d's frames from `from` on (see above).
  // Empty when the child does not answer or `from` is newer than every frame.
  std::vector<FrameTimes> Times(int d, uint32_t from);

 private:
  bool ReadLine(std::string* line);

  pid_t pid_ = -1;
  FILE* to_child_ = nullptr;
  FILE* from_child_ = nullptr;
  std::vector<int> ports_;
};

}  // namespace livebench
