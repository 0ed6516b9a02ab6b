// RTSP 1.0 dialect of the devices: request texts, reply parsing and stream
// description (SDP) reading. No sockets here: CRtspSession sends what these
// functions build and hands them the replies it read.
//
// Request texts are byte-exact what the devices were built against; do not
// reformat them (header order, the missing Content-Type, "Range: npt=0.000-").
// Replies are untrusted: every parser works on a bounded view, never reads
// past it and writes its outputs only when it succeeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quornet::rtsp {

inline constexpr char kUserAgentLine[] = "User-Agent: Halvenmoore Client\r\n";

// Banner of the devices that announce their picture in the first reply.
inline constexpr std::string_view kBannerV200 = "\r\nServer: HalvenMoore Rtsp Server V200R001";
inline constexpr std::string_view kBannerAny = "\r\nServer: HalvenMoore Rtsp Server ";

// Server kinds: how the device was addressed and which URL forms it takes.
inline constexpr int32_t kServerPathSuffix = -1;  // path suffix given: generic server
inline constexpr int32_t kServerGeneric = 0;      // numeric channel URL
inline constexpr int32_t kServerBanner = 1;       // first reply carries kBannerV200
inline constexpr int32_t kServerRecorder = 2;     // "/monitor/" and "/replay/" URLs

inline constexpr size_t kMaxDescribedParameterSets = 4096;

// Video payload codes and audio codec codes as stored in the client session.
inline constexpr uint8_t kVideoH264 = 96;
inline constexpr uint8_t kVideoJpeg = 26;
inline constexpr uint8_t kVideoRtpmap99 = 97;
// Only from descriptions that name the codec: H.265, and a video codec we
// cannot decode (the track still plays its audio; the video is reported).
inline constexpr uint8_t kVideoH265 = 98;
inline constexpr uint8_t kVideoUnsupported = 255;
inline constexpr uint8_t kAudioPcm = 0;
inline constexpr uint8_t kAudioAlaw = 1;
inline constexpr uint8_t kAudioUlaw = 2;
inline constexpr uint8_t kAudioG726_16 = 4;
inline constexpr uint8_t kAudioG726_24 = 5;
inline constexpr uint8_t kAudioG726_32 = 6;
inline constexpr uint8_t kAudioG726_40 = 7;
inline constexpr uint8_t kAudioAac = 8;
inline constexpr uint8_t kAudioNone = 255;

// Which URL form the requests of one session use.
enum class UrlForm {
  kGeneric,  // base URL, "/trackID=" tracks
  kMonitor,  // recorder live view: rtsp://host/monitor/NNN
  kReplay,   // recorder replay: rtsp://host/replay/NN?stime=...
};

// Base URL of a live stream. Sets *server_kind: -1 when a path suffix is
// given, 2 for channels 10..999 (recorder scheme, wins over -1), else 0.
std::string LiveBaseUrl(std::string_view host, int32_t port, int32_t channel,
                        std::string_view path_suffix, int32_t* server_kind);
std::string ReplayBaseUrl(std::string_view host, int32_t port, int32_t channel,
                          std::string_view start_time);

// Authorization state of one connection. Empty scheme: not challenged.
struct Auth {
  enum class Scheme { kNone, kBasic, kDigest };
  Scheme scheme = Scheme::kNone;
  std::string user;
  std::string password;
  std::string realm;
  std::string nonce;
  // Standard servers only (the devices never offer these): the challenge's
  // opaque value and whether it offered qop "auth". With `standard` set the
  // Digest line answers qop=auth (nc counting up, cnonce) and echoes opaque.
  bool standard = false;
  bool qop_auth = false;
  std::string opaque;
  std::string cnonce;
  mutable uint32_t nc = 0;  // requests answered with this nonce
};

// "Authorization: ...\r\n" for method and uri, or "" when not challenged.
std::string AuthorizationLine(const Auth& auth, std::string_view method, std::string_view uri);

// Everything the request builders need about the session.
struct RequestContext {
  UrlForm form = UrlForm::kGeneric;
  std::string base_url;  // from LiveBaseUrl / ReplayBaseUrl
  std::string host;      // host without port
  int32_t channel = 0;
  std::string start_time;  // requested (start) or running (in session) time text
  std::string session_id;
  int cseq = 1;
  bool udp = false;  // RTP over UDP (client ports) instead of interleaved
  Auth auth;
};

std::string DescribeRequest(std::string_view base_url, std::string_view path_suffix, int cseq);
// The DESCRIBE after a "401 Unauthorized": base URL without the path suffix.
std::string DescribeAuthorizedRequest(const RequestContext& c);
std::string SetupVideoRequest(const RequestContext& c, char track, int client_port);
std::string SetupAudioRequest(const RequestContext& c, char track, int client_port);
// speed_exponent only matters for the replay form ("Scale:").
std::string PlayRequest(const RequestContext& c, int speed_exponent);

// In-session requests. server_kind 2 selects the recorder URL forms;
// replay_mode selects the replay forms where the two differ.
std::string PauseRequest(const RequestContext& c, int32_t server_kind);
std::string ResumeRequest(const RequestContext& c, int32_t server_kind);
std::string SetSpeedRequest(const RequestContext& c, int32_t server_kind, int speed_exponent);
std::string TeardownRequest(const RequestContext& c, int32_t server_kind, bool replay_mode);
std::string TeardownNoWaitRequest(const RequestContext& c);
std::string KeepAliveRequest(const RequestContext& c, bool replay_mode);
// Keep-alive of a standard server (RFC 2326 10.8: GET_PARAMETER without a
// body is a liveness "ping"), or OPTIONS with the session for servers that
// refuse GET_PARAMETER.
std::string GenericKeepAliveRequest(const RequestContext& c, bool options);

// Scale of a speed exponent: 2 to its power.
double SpeedScale(int speed_exponent);

// --- Replies -------------------------------------------------------------

// Reply tests are substring searches, as the devices' replies are not always
// well-formed status lines.
bool ReplyOk(std::string_view reply);
bool ReplyUnauthorized(std::string_view reply);

// Length of the first complete RTSP message in buf (headers, blank line and a
// Content-Length body), 0 while incomplete, or -1 when the message can never
// fit in max_size bytes.
long MessageLength(std::string_view buf, size_t max_size);

// CSeq header value, or -1.
int ParseCSeq(std::string_view reply);

// Session id of a SETUP reply: the token after "Session:", ended by ";",
// white space or the line end, at most max_size characters (longer ids give
// ""). The devices' ids fit the 31 characters of their field; standard
// servers may use longer ones.
std::string ParseSessionId(std::string_view reply, size_t max_size = 31);

// Session timeout of a SETUP reply in seconds: the "timeout=" parameter of
// the Session header (RFC 2326 12.37), clamped to 1..86400; 0 when the
// header carries none (the server then expires sessions after 60 s).
int ParseSessionTimeout(std::string_view reply);
inline constexpr int kDefaultSessionTimeoutS = 60;

// Status code of a reply's status line ("RTSP/1.0 405 ..."), or 0.
int ReplyStatus(std::string_view reply);

// Decimal port after "server_port=", or 0.
int ParseServerPort(std::string_view reply);

// WWW-Authenticate challenge of a "401 Unauthorized" reply. Returns false
// when the header is missing, or a Digest challenge lacks realm or nonce.
// Sets auth->scheme (kNone when neither Digest nor Basic is offered), realm
// and nonce; user and password are left alone.
bool ParseChallenge(std::string_view reply, Auth* auth);

struct Banner {
  int32_t width = 0;
  int32_t height = 0;
  int32_t frame_rate = 0;
  int32_t bit_rate = 0;  // announced kbit/s times 1024
};
// Finds marker and scans "W*H*F*K" starting skip characters after where the
// marker begins. Implausible numbers (sizes outside 1..16384, frame rate
// outside 0..1000, bit rate outside 0..2^21 kbit/s) reject the banner.
bool ParseBanner(std::string_view reply, std::string_view marker, size_t skip, Banner* out);

// Stream properties read from a description into the client session.
struct StreamFormat {
  int32_t server_kind = kServerGeneric;
  int32_t width = 720;
  int32_t height = 576;
  int32_t frame_rate = 25;
  int32_t bit_rate = 512;
  uint8_t video_code = kVideoH264;
  uint8_t audio_code = kAudioUlaw;
  char video_track = 0;  // 0: no such track
  char audio_track = 0;
  // Set when the audio track was left out (audio_code 255) because its
  // codec cannot be decoded: the rtpmap value or payload type it announced.
  std::string audio_unsupported;
  // With video_code kVideoUnsupported: the rtpmap encoding name (or payload
  // type) of the video we cannot decode, printable, at most 63 characters.
  std::string video_unsupported;
  // H.265: the units carry decoding order numbers (sprop-max-don-diff > 0).
  bool video_don = false;
  // H.264 / H.265 parameter sets the description carries (sprop-parameter-
  // sets; sprop-vps, -sps, -pps), each behind a four-byte start code; at
  // most kMaxDescribedParameterSets bytes, empty when absent or malformed.
  std::string video_parameter_sets;
  // Standard mode: the request URLs of the session (aggregate control) and
  // of the chosen tracks, resolved against the description's base URL.
  bool standard = false;
  std::string session_url;
  std::string video_url;
  std::string audio_url;
  // H.264 parameter sets of sprop-parameter-sets, each behind a start code.
  std::vector<uint8_t> parameter_sets;
};

// Audio codec code of the audio track a description announces:
// - the devices' fixed table, first match wins, encoding names matched
//   without regard to case ("MPEG4-GENERIC/16000/1" is AAC);
// - else the audio media description's first payload type: its rtpmap if it
//   has one (a known encoding and clock rate on any payload number), static
//   type 0 as mu-law and 8 as A-law, and mu-law when there is no "m=audio"
//   line at all (the devices' old default);
// - anything else is kAudioNone (never a guess), with the offending text in
//   *unsupported when given.
uint8_t AudioCodeFromSdp(std::string_view sdp, std::string* unsupported = nullptr);

// Picture size from "sprop-parameter-sets=<SPS>,"; false when absent or bad.
bool SizeFromSpropParameterSets(std::string_view sdp, int32_t* width, int32_t* height);

// The DESCRIBE reply of a live start; f->server_kind must already be set
// (connect step and banner). False when a required track is missing. The
// devices' video rules (payload 26 JPEG, 99 its own code, else H.264) give
// way to the first video media's rtpmap when it names H264/90000 or
// H265/90000 (any letter case); sizes then come from sprop-sps for H.265.
bool ReadLiveDescription(std::string_view reply, StreamFormat* f);
// The DESCRIBE reply of a replay start.
bool ReadReplayDescription(std::string_view reply, StreamFormat* f);

// Automatic live-view performance (ms) for a bit-rate value.
int32_t AutoLiveViewPerformance(int32_t bit_rate);
// Frames the display holds before showing: performance / (1000 / fps). A
// negative performance selects the automatic value, which is written back to
// *performance.
int32_t RestoreFrameCount(int32_t* performance, int32_t frame_rate, int32_t bit_rate);

// --- Standard RTSP servers ------------------------------------------------
//
// Servers outside the device family: controls named by the server (RFC 2326
// C.1.1), any payload numbers, Digest with qop, redirects.

// An address "rtsp://[user[:password]@]host[:port][/path]". The scheme is
// matched without regard to case; an IPv6 host is written in brackets (host
// holds it without them); user and password are percent-decoded. Port 554
// when none is given; path "/" when none is given.
// Longest URL the standard mode puts in a request line.
inline constexpr size_t kMaxStandardUrl = 1024;

struct RtspUrl {
  std::string user;
  std::string password;
  bool has_credentials = false;
  std::string host;
  int32_t port = 554;
  std::string path;
};
bool IsRtspUrl(std::string_view text);
bool ParseRtspUrl(std::string_view url, RtspUrl* out);
// "rtsp://host:port" (brackets around an IPv6 host) followed by path.
std::string MakeRtspUrl(std::string_view host, int32_t port, std::string_view path);

// Value of the first header called name (case-insensitive), white space
// trimmed; false when there is none. Only the header block is searched.
bool HeaderValue(std::string_view reply, std::string_view name, std::string* value);

// Whether the reply's "Public:" header lists GET_PARAMETER: 1 it does, 0 it
// does not, -1 there is no Public header.
int PublicListsGetParameter(std::string_view reply);

// 3xx reply with a Location header: its URL. False otherwise.
bool RedirectLocation(std::string_view reply, std::string* location);

// Whether a description names its tracks the devices' way ("trackID=").
bool UsesDialectControls(std::string_view reply);

// Base URL of a DESCRIBE reply (RFC 2326 C.1.1): Content-Base, else
// Content-Location, else the request URL.
std::string DescriptionBaseUrl(std::string_view reply, std::string_view request_url);
// Control attribute resolved against a base URL: an absolute rtsp URL as it
// is, "*" or empty the base itself, anything else appended to the base with
// one "/" between them.
std::string ResolveControl(std::string_view base, std::string_view control);

// A DESCRIBE reply of a standard server: the first H.264, H.265 or JPEG
// video (any payload number, static type 26 for JPEG; else the first video
// in another codec as kVideoUnsupported with its name) and the first audio whose
// first payload type we decode (PCMA, PCMU, G726-16..40, AAC as
// MPEG4-GENERIC at 16000 Hz mono whose config says so), their control URLs,
// picture size from sprop-parameter-sets, frame rate from a=framerate or the
// SPS timing, bit rate from b=AS. False without a usable video track.
bool ReadStandardDescription(std::string_view reply, std::string_view request_url, StreamFormat* f);

// Standard requests: request line on url, CSeq, the session when with
// session, extra header lines, the authorization for url, the user agent and
// the blank line.
std::string StandardRequest(const RequestContext& c, std::string_view method, std::string_view url,
                            bool with_session, std::string_view extra = {});
// SETUP of one track: interleaved channels 0-1 (video) or 2-3 (audio), or
// the client ports over UDP.
std::string StandardSetupRequest(const RequestContext& c, std::string_view url, bool audio,
                                 int client_port, bool with_session);

// Process-wide RTP client port counter (thread-safe): 32769, 32771, ... up to
// 65533, then 32767 again, so that port + 1 (RTCP) is always a valid port.
int NextRtpClientPort();
// For tests: sets the counter to the value it had just before a use.
void SetRtpClientPortCounterForTest(int value);

}  // namespace quornet::rtsp
