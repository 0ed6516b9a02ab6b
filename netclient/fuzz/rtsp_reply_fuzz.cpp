// libFuzzer target: RTSP reply and stream-description parsing over arbitrary
// device bytes. Invariants: no parser reads outside the reply, the session id
// stays within its 31 characters, a complete message never claims more bytes
// than it was given, and parsed sizes are plausible.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/auth.h"
#include "net/rtsp_protocol.h"

using namespace quornet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  std::string_view reply(reinterpret_cast<const char*>(data), size);

  long n = rtsp::MessageLength(reply, 8192);
  if (n > static_cast<long>(reply.size()) || n > 8192) abort();
  if (rtsp::ParseSessionId(reply).size() > 31) abort();
  int port = rtsp::ParseServerPort(reply);
  if (port < 0 || port > 65535) abort();
  rtsp::ParseCSeq(reply);
  rtsp::ReplyOk(reply);
  const int timeout = rtsp::ParseSessionTimeout(reply);
  if (timeout < 0 || timeout > 86400) abort();
  const int status = rtsp::ReplyStatus(reply);
  if (status < 0 || status > 999) abort();

  rtsp::Auth auth;
  if (rtsp::ParseChallenge(reply, &auth) && auth.scheme == rtsp::Auth::Scheme::kDigest) {
    if (auth.realm.size() > 255 || auth.nonce.size() > 255) abort();
  }
  rtsp::Banner banner;
  if (rtsp::ParseBanner(reply, rtsp::kBannerV200, rtsp::kBannerV200.size() + 1, &banner)) {
    if (banner.width < 1 || banner.width > 16384 || banner.height < 1) abort();
  }
  for (int32_t kind : {rtsp::kServerGeneric, rtsp::kServerRecorder}) {
    rtsp::StreamFormat f;
    f.server_kind = kind;
    if (rtsp::ReadLiveDescription(reply, &f)) {
      if (f.width < 1 || f.height < 1 || f.width > 16384 || f.height > 32768) abort();
      if (kind != rtsp::kServerRecorder && f.video_track == 0) abort();
      // Audio is either set up with a code we decode, or left out.
      if ((f.audio_code == rtsp::kAudioNone) != (f.audio_track == 0)) abort();
      if (f.audio_unsupported.size() > 64) abort();
    }
  }
  rtsp::StreamFormat r;
  rtsp::ReadReplayDescription(reply, &r);

  // Standard servers: every URL that may go into a request line is one
  // line of printable text, and the tracks are usable.
  auto line_safe = [](const std::string& u) {
    if (u.empty() || u.size() > rtsp::kMaxStandardUrl + 1024) return false;
    for (char c : u) {
      if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
        return false;
      }
    }
    return true;
  };
  rtsp::StreamFormat s;
  if (rtsp::ReadStandardDescription(reply, "rtsp://127.0.0.1:554/s", &s)) {
    if (!line_safe(s.session_url) || !line_safe(s.video_url)) abort();
    if (s.audio_track != 0 && !line_safe(s.audio_url)) abort();
    if ((s.audio_code == rtsp::kAudioNone) != (s.audio_track == 0)) abort();
    if (s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 32768) abort();
    if (s.parameter_sets.size() > 64 * 1024) abort();
  }
  std::string location;
  if (rtsp::RedirectLocation(reply, &location) && !line_safe(location)) abort();
  rtsp::RtspUrl url;
  if (rtsp::ParseRtspUrl(reply, &url) && (url.host.empty() || url.port < 1 || url.port > 65535)) {
    abort();
  }
  rtsp::PublicListsGetParameter(reply);
  std::vector<uint8_t> decoded;
  Base64Decode(reply, &decoded);
  return 0;
}
