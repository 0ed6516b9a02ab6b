// The simulated recorder management service and the simulated channel server
// with the device web endpoint for alarm outputs.
//
// NvrServer answers HTTP GET requests on "/manager?action=..." (login, camera
// list, RTSP port, record search, presets, PTZ) on a port of its own, several
// requests per connection. ChannelServer answers channel-key queries
// ("SYSTEM QUERY KEY" ... "END") and "QRURF CMD=..." commands on a port of its
// own and, once attached, on a simulated camera's RTSP port; StartWeb serves
// the camera web request that switches alarm outputs.
//
// Both bind to loopback by default, are thread-safe, log every request
// byte-exact, and carry the fault knobs of ServerFaults, read per reply.
#ifndef DEVICESIM_NVR_H_
#define DEVICESIM_NVR_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace devicesim {

class Device;

struct ServerFaults {
  std::atomic<bool> close_at_once{false};    // close each connection when it is accepted
  std::atomic<bool> close_mid_reply{false};  // send half of a reply, then close
  std::atomic<int> split_bytes{0};           // send replies in pieces of this many bytes
  std::atomic<int> split_delay_ms{0};        // pause before each further piece
  std::atomic<bool> chunked{false};          // HTTP replies in chunked coding
  std::atomic<bool> no_length{false};        // HTTP replies without length, closed after
  std::atomic<bool> trickle{false};          // one byte every 50 ms, never complete
  std::atomic<bool> silent{false};           // read requests, never answer
  std::atomic<int> status{200};              // HTTP status of every reply
};

struct NvrCamera {
  int channel = 0;
  std::string address;  // as the recorder reports it ("1.0.0.127" for 127.0.0.1)
  int type = 0;
  std::string name;
};
struct NvrRecord {
  int channel = 0;
  int type = 0;
  std::string begin, end;  // "YYYYMMDDhhmmss"
  int lock = 0;
};
struct NvrPreset {
  int number = 0;
  std::string name;
};
struct NvrPtzCommand {
  int channel = 0, cmd = 0, arg1 = 0, arg2 = 0;
};
// One request as received: the connection (1, 2, ... in order of
// acceptance) and its bytes up to and including the blank line.
struct NvrRequest {
  uint64_t connection = 0;
  std::string text;
};

class NvrServer {
 public:
  NvrServer();
  ~NvrServer();  // calls Stop()
  NvrServer(const NvrServer&) = delete;
  NvrServer& operator=(const NvrServer&) = delete;

  bool Start(uint16_t port = 0, const std::string& bind_address = "127.0.0.1");
  void Stop();
  uint16_t Port() const;
  ServerFaults& faults();

  // Content; defaults: user "admin", password "admin", cookie "5f2e9c1b", no
  // cameras, RTSP port 554.
  void SetCredentials(const std::string& user, const std::string& password);
  // The cookie logins hand out; requests must carry the one of the last
  // login. Setting a new one makes the current cookie stale ("Authentication
  // Required" until the next login).
  void SetCookie(const std::string& cookie);
  void SetRtspPort(int port);  // 0: the reply carries no "rtsp=" line
  void SetCameras(std::vector<NvrCamera> cameras);
  void SetRecords(const std::string& date, std::vector<NvrRecord> records);
  void SetPresets(int channel, std::vector<NvrPreset> presets);
  std::vector<NvrPreset> Presets(int channel) const;
  // Logins are refused with this message ("" accepts them).
  void SetLoginError(const std::string& message);
  // Every request of `action` is answered with an error reply carrying
  // `message` ("" clears).
  void SetActionError(const std::string& action, const std::string& message);
  // Replaces a reply body of `action` with these bytes ("" clears).
  void SetRawBody(const std::string& action, const std::string& body);

  std::vector<NvrRequest> Requests() const;
  std::vector<NvrPtzCommand> PtzLog() const;
  void ClearLog();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

struct AlarmOutChange {
  int channel = 0;
  int state = 0;
  bool web = false;  // through the web endpoint (else a server command)
};

class ChannelServer {
 public:
  ChannelServer();
  ~ChannelServer();  // calls Stop()
  ChannelServer(const ChannelServer&) = delete;
  ChannelServer& operator=(const ChannelServer&) = delete;

  // Key queries and commands on a port of their own.
  bool Start(uint16_t port = 0, const std::string& bind_address = "127.0.0.1");
  // The camera web endpoint ("GET /goform/device?...") on a port of its own.
  bool StartWeb(uint16_t port = 0, const std::string& bind_address = "127.0.0.1");
  // Key queries and commands also on the camera's RTSP port; before
  // device.Start().
  void Attach(Device& device);
  void Stop();
  uint16_t Port() const;
  uint16_t WebPort() const;
  ServerFaults& faults();

  // Key answered for a query of `channel` (unknown channels: the channel
  // itself when identity keys are on, else 0).
  void SetKey(int channel, int key);
  void SetIdentityKeys(bool on);
  // Key queries answered with "SYSTEM ERROR".
  void SetRefuseKeys(bool on);
  // Replaces every key reply with these bytes ("" clears).
  void SetRawKeyReply(const std::string& bytes);
  // Credentials of the commands (AUTH=) and the web endpoint (Basic);
  // defaults "admin" / "admin".
  void SetCredentials(const std::string& user, const std::string& password);
  void SetTable(const std::string& bytes);         // answer to GET CHANNEL
  void SetUpdateResult(const std::string& bytes);  // answer to an update
  void SetRefuseUpdate(bool on);                   // update answered without "200 OK"
  std::string LastUpdateTable() const;

  bool AlarmOut(int channel) const;
  std::vector<AlarmOutChange> AlarmLog() const;
  // Every query, command, update table and web request, byte-exact, in order.
  std::vector<std::string> Requests() const;
  void ClearLog();

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace devicesim

#endif  // DEVICESIM_NVR_H_
