// The simulated camera: an RTSP 1.0 server that streams a generated test
// picture (H.264 or Motion JPEG) and a 1 kHz tone, in-process for tests and
// behind the qr-devicesim command.
//
// Conventions:
// - Everything binds to loopback unless Config::bind_address says otherwise.
//   RTP over UDP is only ever sent to the address of the RTSP peer.
// - Device is thread-safe: Start/Stop from one owner thread, every other
//   member from any thread. Stop() joins every worker and never blocks on a
//   peer (sockets are shut down, waits use poll with a wake descriptor).
// - Each distinct stream configuration is encoded once by its own encoder
//   thread; all sessions playing it receive the same packets.
// - Faults are atomic knobs read by the workers on their next pass: they may
//   be switched while clients are connected.
#ifndef DEVICESIM_DEVICE_H_
#define DEVICESIM_DEVICE_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devicesim {

// kH265: libx265 through libavcodec, RFC 7798 packets, "H265/90000".
enum class VideoCodec { kH264, kMjpeg, kH265 };
enum class AudioCodec { kNone, kPcma, kPcmu, kG726_16, kG726_24, kG726_32, kG726_40, kAac };

// How the device presents itself in its replies and stream descriptions.
//   kGeneric:  plain server; controls "trackID=1" / "trackID=2".
//   kBanner:   every reply carries "Server: HalvenMoore Rtsp Server V200R001"
//              followed by " W*H*F*kbps"; controls as kGeneric.
//   kRecorder: recorder scheme; controls "track1" / "track2" and the H.264
//              parameter sets in "sprop-parameter-sets=".
//   kStandard: an RTSP server outside the device family: controls named
//              "stream=0" / "stream=1" (never "trackID="), AAC announced as
//              "MPEG4-GENERIC/16000/1"; the variations are in
//              Config::standard.
// Every mode accepts every URL form (numeric channel, /monitor/NNN,
// /replay/NN?stime=..., any other path, ".../stream=K" track suffixes).
enum class Mode { kGeneric, kBanner, kRecorder, kStandard };

// Variations of Mode::kStandard, as servers outside the device family differ.
struct StandardServer {
  // kRelative:  "a=control:stream=0", Content-Base the request URL + "/".
  // kAbsolute:  every a=control an absolute URL.
  // kOtherBase: Content-Base names another path ("/media" + the request
  //             path + "/"), which the server serves as well.
  enum class Controls { kRelative, kAbsolute, kOtherBase };
  Controls controls = Controls::kRelative;
  // Digest challenges offer qop="auth" (RFC 2617), and answers must use it.
  bool digest_qop = false;
  // H.264 parameter sets (and SEI) go out as one STAP-A packet.
  bool stap_a = false;
  // H.264 / H.265 parameter sets only in the description (sprop-*): key
  // pictures go out without them, as some encoders send them.
  bool sets_in_description_only = false;
  // A DESCRIBE outside "/moved" is answered "302 Found" with the Location
  // "/moved" + its path on this server.
  bool redirect = false;
  // Public: leaves out GET_PARAMETER, which is answered "405".
  bool no_get_parameter = false;
  // The audio track is announced but its SETUP is answered "404".
  bool refuse_audio_setup = false;
};
// How the audio track's rtpmap names its codec:
//   kDevice:       as the device family writes it ("mpeg4-generic/16000").
//   kUpperCase:    in capitals with a channel count, as many other servers
//                  do ("MPEG4-GENERIC/16000/1").
//   kUnknownCodec: as a codec clients cannot decode ("L16/8000/1"); the
//                  packets stay those of the configured codec.
enum class AudioAnnounce { kDevice, kUpperCase, kUnknownCodec };
enum class AuthScheme { kNone, kBasic, kDigest };
// The picture the camera films.
//   kBars: colour bars with a sweeping box (almost static: cheap to decode).
//   kBusy: a zooming, panning texture with moving objects and a travelling
//          light ripple, like a real scene (few skipped macroblocks).
// Both carry the frame-number block and the clock panel.
enum class Scene { kBars, kBusy };

// Run-time faults. All knobs are atomics; 0 / false means off.
struct Faults {
  // Close a connection this many seconds after the first media packet was
  // sent on it (so a client always sees the stream start before the close).
  std::atomic<int> close_after_seconds{0};
  // Close a connection after this many media packets were sent on it.
  std::atomic<int> close_after_packets{0};
  // UDP only: probabilities in [0, 1] per packet, from a PRNG seeded with
  // udp_seed plus the session number (runs are repeatable).
  std::atomic<double> udp_loss{0.0};
  std::atomic<double> udp_reorder{0.0};
  std::atomic<double> udp_duplicate{0.0};
  std::atomic<uint32_t> udp_seed{1};
  // Every Authorization is rejected with a fresh 401, even a correct one.
  std::atomic<bool> refuse_credentials{false};
  // GET_PARAMETER is answered "501 Not Implemented", as some servers do (the
  // session it names still counts as active).
  std::atomic<bool> refuse_get_parameter{false};
  // Each RTSP reply is held back this long.
  std::atomic<int> reply_delay_ms{0};
  // The next accepted connection (and all after it) sees this picture size
  // or codec; consumed when a connection is accepted. 0 / -1 = unchanged.
  std::atomic<int> next_width{0};
  std::atomic<int> next_height{0};
  std::atomic<int> next_codec{-1};  // static_cast<int>(VideoCodec)
  // Number of interleaved packets still to be sent with channel byte 4
  // (invalid: channels are 0 to 3). Decremented per packet sent.
  std::atomic<int> bad_channel_packets{0};
  // H.264: the next picture encoded is padded with filler data to this many
  // bytes (a camera's oversized key picture); consumed by that picture.
  std::atomic<size_t> pad_next_picture{0};
};

struct Config {
  VideoCodec codec = VideoCodec::kH264;
  int width = 1280;
  int height = 720;
  int fps = 25;
  int gop = 0;            // frames between IDR pictures; 0 = fps
  int bitrate_kbps = 0;   // H.264 target and banner value; 0 = derived from size
  int mjpeg_quality = 4;  // libavcodec qscale, 2 (best) to 31
  // H.264 slices per picture (libx264 "slices"), 1 to 16: many cameras cut
  // every picture into one slice per encoder thread.
  int slices = 1;
  // H.264: every picture is padded with filler data (NAL type 12, after its
  // slices) to at least this many bytes, for streams of large pictures; at
  // most 64 MiB. Large pictures are sent spread over a few milliseconds per
  // 32 KiB, as cameras pace their output.
  size_t pad_picture_bytes = 0;
  AudioCodec audio = AudioCodec::kPcma;
  AudioAnnounce audio_announce = AudioAnnounce::kDevice;
  // The video track's rtpmap names a codec clients cannot decode
  // ("MP4V-ES/90000"); the packets stay those of the configured codec.
  bool announce_unknown_video = false;
  Mode mode = Mode::kGeneric;
  Scene scene = Scene::kBars;
  StandardServer standard;
  AuthScheme auth = AuthScheme::kNone;
  std::string user;
  std::string pass;
  std::string realm = "qr-devicesim";
  std::string bind_address = "127.0.0.1";
  int max_channel = 9999;  // channels 0..max_channel exist
  // A UDP session that sees no request for this long is dropped; 0 = never.
  std::chrono::milliseconds session_timeout{60000};
  // Expire interleaved (TCP) sessions the same way, as some standard servers
  // do; by default a TCP session lives as long as its connection.
  bool expire_interleaved_sessions = false;
  // Per-connection bound on queued media; beyond it packets are dropped until
  // the next key frame.
  size_t max_queue_bytes = 4u << 20;
  size_t max_log_entries = 10000;
};

// One request as the device received it.
struct RequestRecord {
  uint64_t connection = 0;  // 1, 2, ... in order of acceptance
  std::string method;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, as sent
  std::string body;
  int status = 0;  // status code of the reply the device sent

  // First header of that name (case-insensitive), or nullptr.
  const std::string* Header(const std::string& name) const;
};

// Takes over a connection whose first line started with a registered prefix.
// Runs on the connection's own thread; `fd` stays owned by the device, which
// shuts it down on Stop (so blocking reads return). `already_read` holds the
// bytes read so far, starting with the first line. Return to close.
using ConnectionHandler = std::function<void(int fd, std::string already_read)>;

class Device {
 public:
  Device();
  ~Device();  // calls Stop()
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Validates the configuration, binds the RTSP listener (port 0 = ephemeral)
  // and the UDP pair, and starts accepting. False with Error() on failure.
  bool Start(const Config& config, uint16_t port = 0);
  void Stop();
  const std::string& Error() const { return error_; }

  uint16_t Port() const;
  // "rtsp://127.0.0.1:PORT/CHANNEL" (brackets for an IPv6 bind address).
  std::string Url(int channel) const;
  std::string BaseUrl() const;  // "rtsp://127.0.0.1:PORT"

  // Registers a protocol on the same port before Start(): a connection whose
  // first line begins with `prefix` goes to `handler` instead of RTSP.
  void AddProtocol(std::string prefix, ConnectionHandler handler);

  Faults& faults();

  std::vector<RequestRecord> Requests() const;
  void ClearRequests();
  size_t ActiveSessions() const;  // sessions set up and not torn down or dropped
  size_t OpenConnections() const;
  uint64_t FramesSent() const;   // video pictures queued to at least one session
  uint64_t PacketsSent() const;  // RTP packets written to sockets
  // Steady-clock time in milliseconds (since the clock's epoch) at which the
  // picture carrying this frame number was generated; kept for the last
  // 8192 frames.
  std::optional<int64_t> CaptureTimeMs(uint32_t frame) const;
  // Steady-clock time at which that picture, encoded, was handed to the
  // sessions (its packets queued for sending).
  std::optional<int64_t> SentTimeMs(uint32_t frame) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

// Parses the names used on the command line ("h264", "pcma", "digest", ...).
std::optional<VideoCodec> ParseVideoCodec(const std::string& s);
std::optional<AudioCodec> ParseAudioCodec(const std::string& s);
std::optional<Mode> ParseMode(const std::string& s);
std::optional<Scene> ParseScene(const std::string& s);
std::optional<AuthScheme> ParseAuthScheme(const std::string& s);
std::optional<AudioAnnounce> ParseAudioAnnounce(const std::string& s);
const char* ToString(VideoCodec c);
const char* ToString(AudioCodec c);

}  // namespace devicesim

#endif  // DEVICESIM_DEVICE_H_
