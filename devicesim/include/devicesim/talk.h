// The simulated camera's talk endpoint (two-way audio).
//
// TalkService shares the RTSP port: Attach() registers it for connections
// whose first line starts with "CMD:TALK" (it wins over the control
// service's "CMD:", being the longer prefix). A client sends
//
//   CMD:TALK MCTP/1.0 CS\n@<channel>@<code>@\nEND\n
//
// with code 1 (G.711 A-law), 2 (mu-law), 4, 5, 16 (or 6), 7 (G.726 16, 24,
// 32, 40 kbit/s) and is answered with two lines,
//
//   CMD:TALK MCTP/1.0 CS\n@<device audio 0|1>@<accepted 0|1>@<code>@\n
//
// Then the client sends talk packets (length 2N + 4, tick, voice frame), which
// the service decodes into 8 kHz PCM per connection. When it offers its own
// audio it sends a tone as voice frames (header 0x0100, N, 2N bytes) every
// 20 ms in the client's codec; the first frame goes out in the same segment
// as the reply, as a quick device does.
//
// Thread-safe. The state lives in a shared object that the connection threads
// keep alive, so a TalkService may be destroyed before or after the Device.
#ifndef DEVICESIM_TALK_H_
#define DEVICESIM_TALK_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace devicesim {

class Device;

enum class TalkAnswer {
  kDuplex,   // accept and offer the device's audio
  kSimplex,  // accept, device audio not offered
  kRefuse,   // answer "not accepted" and close
};

// Knobs read when a talk connection is accepted (drop_after_ms and
// device_audio also while it runs).
struct TalkOptions {
  std::atomic<TalkAnswer> answer{TalkAnswer::kDuplex};
  // Close each accepted talk connection after this long; 0 = never.
  std::atomic<int> drop_after_ms{0};
  // With kDuplex: send the tone (false: offer audio but stay silent).
  std::atomic<bool> device_audio{true};
  std::atomic<int> tone_hz{500};
  // Send the reply without the first voice frame behind it.
  std::atomic<bool> reply_alone{false};
  // Answer nothing at all (the client waits for the reply).
  std::atomic<bool> silent{false};
};

// One talk connection as the device saw it.
struct TalkConnection {
  uint64_t id = 0;      // 1, 2, ... in order of arrival
  std::string request;  // the "CMD:TALK" message, byte-exact
  int channel = -1;
  int code = -1;        // second value of the request
  int voice_type = -1;  // 1, 2, 4..7; -1 for an unknown code
  bool accepted = false;
  bool duplex = false;       // device audio offered
  bool open = true;          // the connection is still served
  uint64_t packets = 0;      // talk packets decoded
  uint64_t bad_packets = 0;  // packets whose voice frame was malformed
  uint64_t frames_sent = 0;  // tone frames sent
  std::vector<int16_t> pcm;  // decoded audio, 8000 Hz mono (at most 2 minutes)
};

class TalkService {
 public:
  TalkService();
  ~TalkService();
  TalkService(const TalkService&) = delete;
  TalkService& operator=(const TalkService&) = delete;

  // Registers the "CMD:TALK" protocol on `device`; call before device.Start().
  void Attach(Device& device);

  TalkOptions& options();
  // When not empty, each connection's decoded audio is written to this WAV
  // file when the connection ends (the last one ending wins).
  void SetWavPath(const std::string& path);

  size_t Connections() const;      // talk requests received
  size_t OpenConnections() const;  // connections still served
  bool WaitConnections(size_t count, int timeout_ms) const;
  // Waits until connection `index` (0-based) has decoded `samples` samples.
  bool WaitSamples(size_t index, size_t samples, int timeout_ms) const;
  // A copy of connection `index` (0-based); an empty record when there is
  // none.
  TalkConnection Connection(size_t index) const;
  // Writes connection `index`'s decoded audio as a 16-bit mono 8000 Hz WAV.
  bool WriteWav(size_t index, const std::string& path) const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace devicesim

#endif  // DEVICESIM_TALK_H_
