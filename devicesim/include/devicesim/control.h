// The simulated camera's MCTP/1.0 control service and its event channel, and
// the recorder alarm channel server.
//
// ControlService shares the RTSP port: Attach() registers it for connections
// whose first line starts with "CMD:". Each command connection carries one
// message at a time ("CMD:..." up to "END\n") and gets one reply; a
// "CMD:ALIVE" subscription turns its connection into an event channel that
// stays open, counts keep-alives and receives what the Push* calls send.
//
// NvrAlarmServer listens on a port of its own: a client sends "qr_transmit",
// is answered "ok" and then receives "chan=C&type=T&" reports.
//
// Both are thread-safe. Their state lives in a shared object that the
// connection threads keep alive, so a ControlService may be destroyed before
// or after the Device it is attached to.
#ifndef DEVICESIM_CONTROL_H_
#define DEVICESIM_CONTROL_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace devicesim {

class Device;

struct MdRegion {
  int sensitivity = 0;  // 0..255
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// Per-channel control state of the simulated camera.
struct ChannelControl {
  int brightness = 128;
  int contrast = 128;
  int saturation = 128;
  int last_video_operation = 0;  // 2, 3 or 4 of the last set
  bool md_enabled = false;
  MdRegion regions[16];
};

struct PtzCommand {
  int channel = 0;
  int code = 0;
  int speed = 0;
};

struct AlarmAck {
  int alarm = 0;
  int channel = 0;
};

struct ControlFaults {
  // Commands are read but never answered.
  std::atomic<bool> silent{false};
  // Third value of every result reply (1 = success).
  std::atomic<int> result_value{1};
};

class ControlService {
 public:
  ControlService();
  ~ControlService();  // stops the periodic motion thread
  ControlService(const ControlService&) = delete;
  ControlService& operator=(const ControlService&) = delete;

  // Registers the "CMD:" protocol on `device`; call before device.Start().
  void Attach(Device& device);

  ControlFaults& faults();

  ChannelControl Channel(int channel) const;
  void SetChannel(int channel, const ChannelControl& state);
  std::vector<PtzCommand> PtzLog() const;
  std::vector<AlarmAck> AlarmAcks() const;
  // Every complete message received on command and event connections, in
  // order, byte-exact.
  std::vector<std::string> Messages() const;
  void ClearLogs();

  // ---- Event channel -------------------------------------------------------
  size_t EventSubscribers() const;
  bool WaitEventSubscribers(size_t count, int timeout_ms) const;
  // RTSP session ids given by the subscriptions, in order.
  std::vector<std::string> SubscribedSessionIds() const;
  // Keep-alive messages ("CMD:ALIVE" without arguments) received on event
  // channels.
  size_t KeepAlives() const;

  // Sends to every event channel of `channel` (-1: every channel); returns the
  // number of channels written. A motion report names each region of `mask`
  // with the channel's stored rectangle.
  int PushMotion(int channel, uint32_t mask);
  int PushAlarm(int channel, int input);
  // Arbitrary bytes, e.g. half a message.
  int PushRaw(int channel, const std::string& bytes);

  // Pushes a motion report for `mask` to every event channel every
  // `interval_ms` until StopPeriodicMotion (or destruction).
  void StartPeriodicMotion(int interval_ms, uint32_t mask);
  void StopPeriodicMotion();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

class NvrAlarmServer {
 public:
  NvrAlarmServer();
  ~NvrAlarmServer();  // calls Stop()
  NvrAlarmServer(const NvrAlarmServer&) = delete;
  NvrAlarmServer& operator=(const NvrAlarmServer&) = delete;

  // Listens on bind_address:port (0 = ephemeral; an earlier port may be
  // reused at once after Stop). False when it cannot listen.
  bool Start(uint16_t port = 0, const std::string& bind_address = "127.0.0.1");
  // Closes the listener and every client connection; joins the thread.
  void Stop();
  uint16_t Port() const;

  // Answer handshakes with "no" instead of "ok".
  std::atomic<bool> refuse_handshake{false};

  // Clients that completed the handshake and are still connected.
  size_t Clients() const;
  bool WaitClients(size_t count, int timeout_ms) const;
  size_t Handshakes() const;  // accepted handshakes since Start

  // "chan=C&type=T&" to every client; returns the number written.
  int SendReport(int channel, int type);
  int SendRaw(const std::string& bytes);

  // Sends a report for (channel, type) every interval_ms until Stop.
  void StartPeriodicReports(int interval_ms, int channel, int type);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace devicesim

#endif  // DEVICESIM_CONTROL_H_
