// RTSP text handling of the simulated device, without sockets: request
// framing and parsing, the URL forms the device serves, Transport headers,
// Basic and Digest credentials (RFC 2617 without qop) and the stream
// description (SDP, RFC 4566).
#ifndef DEVICESIM_SRC_RTSP_PROTO_H_
#define DEVICESIM_SRC_RTSP_PROTO_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devicesim/device.h"

namespace devicesim {

// Bounds on what a peer may send; beyond them the request is refused.
inline constexpr size_t kMaxHeaderBytes = 8192;
inline constexpr size_t kMaxBodyBytes = 16384;
inline constexpr size_t kMaxHeaders = 64;

struct Request {
  std::string method;
  std::string url;
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  const std::string* Header(std::string_view name) const;
};

enum class ParseStatus { kNeedMore, kOk, kBad };

// Parses one request from the start of `buf`. On kOk `*consumed` is the
// length of the request including its body. kBad for anything malformed or
// over the bounds above (the caller answers 400 and closes: after a framing
// error the stream cannot be resynchronised).
ParseStatus ParseRequest(std::string_view buf, Request* out, size_t* consumed);

// The resource a request URL names.
struct Target {
  enum class Kind { kChannel, kMonitor, kReplay, kPath };
  Kind kind = Kind::kPath;
  int channel = 1;
  std::string stime;  // kReplay: the "stime=" value
  std::string path;   // kPath: the path without track suffix
  int track = 0;      // 0 = the whole presentation, 1 = video, 2 = audio
};

// Accepts "rtsp://host[:port]/..." and "/..."; a trailing "/trackID=K" or
// "/trackK" selects a track (as does "/stream=K" for track K + 1), a trailing "/" is ignored.
// nullopt for URLs that are not RTSP URLs or carry unusable values.
std::optional<Target> ParseTarget(std::string_view url);

struct Transport {
  bool tcp = false;
  int interleaved[2] = {-1, -1};
  int client_port[2] = {-1, -1};
};

// First acceptable alternative of a Transport header: RTP/AVP unicast over
// UDP with client_port, or RTP/AVP/TCP with interleaved (defaulting to 0-1).
std::optional<Transport> ParseTransport(std::string_view value);

// Lower-case hexadecimal MD5 of `text` (32 characters).
std::string Md5Hex(std::string_view text);
// RFC 2617 3.2.2.1 response without qop: MD5(HA1 ":" nonce ":" HA2).
std::string DigestResponse(std::string_view user, std::string_view realm, std::string_view pass,
                           std::string_view method, std::string_view uri, std::string_view nonce);
std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);

// Parameters of a "Digest k=v, k="v"" credential; nullopt when malformed.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseAuthParams(
    std::string_view text);

// True when `authorization` carries the right credentials for the scheme.
// For Digest the nonce must be `nonce` and the realm `realm`; the uri is the
// one the client hashed (clients hash a base URL rather than the track URL).
// With qop, the answer must carry qop=auth, nc and cnonce (RFC 2617
// 3.2.2.1); without it, none of them. A non-empty request_uri must equal the
// uri the client hashed (standard clients hash the request URI).
bool CheckAuthorization(AuthScheme scheme, std::string_view authorization, std::string_view method,
                        std::string_view user, std::string_view pass, std::string_view realm,
                        std::string_view nonce, bool qop = false,
                        std::string_view request_uri = {});

// What the stream description needs to know about the encoded streams.
struct StreamInfo {
  VideoCodec codec = VideoCodec::kH264;
  int width = 0;
  int height = 0;
  int fps = 0;
  std::string vps;  // H.265 only
  std::string sps;  // H.264 / H.265 parameter sets without start codes
  std::string pps;
  AudioCodec audio = AudioCodec::kNone;
  std::string aac_config;  // AudioSpecificConfig bytes
  // The video rtpmap names a codec clients cannot decode.
  bool unknown_video = false;
};

// Builds the SDP. `base` is the URL the tracks hang off (no trailing "/").
// Mode::kStandard names its tracks "stream=0" / "stream=1", as absolute
// URLs under base when absolute_controls is set.
std::string BuildSdp(const StreamInfo& info, Mode mode, const std::string& base,
                     const std::string& origin_address,
                     AudioAnnounce announce = AudioAnnounce::kDevice,
                     bool absolute_controls = false);

// Case-insensitive ASCII comparison.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace devicesim

#endif  // DEVICESIM_SRC_RTSP_PROTO_H_
