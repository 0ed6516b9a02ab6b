// qr-devicesim: runs a simulated camera until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "devicesim/nvr.h"
#include "devicesim/private_udp.h"
#include "devicesim/talk.h"

namespace {

void Usage(FILE* f) {
  std::fputs(
      "usage: qr-devicesim [options]\n"
      "Serves a simulated camera over RTSP and prints its URL.\n"
      "\n"
      "  --port N                 RTSP port (default 8554; 0 = any free port)\n"
      "  --bind ADDR              address to listen on (default 127.0.0.1)\n"
      "  --codec h264|h265|mjpeg  video codec (default h264; h265 through libx265)\n"
      "  --size WxH               picture size (default 1280x720)\n"
      "  --fps N                  frames per second (default 25)\n"
      "  --gop N                  pictures between H.264 IDR pictures (default = fps)\n"
      "  --bitrate KBPS           H.264 target bit rate (default from size and fps)\n"
      "  --slices N               H.264 slices per picture, 1 to 16 (default 1)\n"
      "  --pad-bytes N            H.264: pad every picture with filler data to N bytes\n"
      "  --audio none|pcma|pcmu|g726-16|g726-24|g726-32|g726-40|aac  (default pcma)\n"
      "  --scene bars|busy         picture: colour bars (default) or a busy moving scene\n"
      "  --audio-announce device|upper|unknown  audio rtpmap as the devices write it,\n"
      "                           in capitals (\"MPEG4-GENERIC/16000/1\") or as a codec\n"
      "                           clients cannot decode (\"L16/8000/1\")\n"
      "  --video-announce device|unknown  video rtpmap naming the codec sent, or a\n"
      "                           codec clients cannot decode (\"MP4V-ES/90000\")\n"
      "  --mode generic|banner|recorder|standard  how the device presents itself\n"
      "                           (default generic; standard: a server outside the family)\n"
      "  --std-controls relative|absolute|other-base  standard mode: \"stream=N\" controls,\n"
      "                           absolute control URLs, or a Content-Base on another path\n"
      "  --std-qop                standard mode: Digest with qop=\"auth\"\n"
      "  --std-stap-a             standard mode: H.264 parameter sets in STAP-A packets\n"
      "  --std-sets-in-description  standard mode: parameter sets only in the description\n"
      "  --std-redirect           standard mode: DESCRIBE redirected (302) to /moved/...\n"
      "  --std-no-get-parameter   standard mode: GET_PARAMETER not offered (405)\n"
      "  --auth none|basic|digest authentication (default none)\n"
      "  --user U --pass P        credentials for --auth\n"
      "  --realm R                authentication realm (default qr-devicesim)\n"
      "  --session-timeout S      drop UDP sessions without a request for S seconds\n"
      "                           (default 60; 0 = never)\n"
      "  --expire-interleaved     expire RTP-over-TCP sessions the same way\n"
      "\n"
      "Faults:\n"
      "  --close-after-seconds N  close each connection N seconds after its first packet\n"
      "  --close-after-packets N  close each connection after N media packets\n"
      "  --udp-loss P             drop UDP packets with probability P (0..1)\n"
      "  --udp-reorder P          swap UDP packets with the next one with probability P\n"
      "  --udp-duplicate P        send UDP packets twice with probability P\n"
      "  --seed N                 seed of the UDP fault generator (default 1)\n"
      "  --refuse-credentials     answer every authorization with 401\n"
      "  --refuse-get-parameter   answer GET_PARAMETER with 501\n"
      "  --reply-delay MS         hold each RTSP reply back for MS milliseconds\n"
      "  --next-size WxH          the first connection changes the picture size\n"
      "  --next-codec h264|h265|mjpeg  the first connection changes the codec\n"
      "  --bad-channel N          send N interleaved packets with channel byte 4\n"
      "\n"
      "Device control and events (MCTP/1.0 on the RTSP port):\n"
      "  --md-period MS           push a motion report to every event channel every MS ms\n"
      "  --md-mask MASK           regions named by periodic motion reports (default 1)\n"
      "  --nvr-alarm-port N       also serve a recorder alarm channel on port N\n"
      "  --nvr-report-period MS   send \"chan=1&type=1&\" to alarm clients every MS ms\n"
      "\n"
      "Recorder management, channel server, alarm outputs:\n"
      "  --nvr-port N             serve recorder management requests on port N: cameras 1-4\n"
      "                           on this simulator, a recording per channel today, presets\n"
      "                           (credentials from --user/--pass, default admin/admin)\n"
      "  --channel-server-port N  answer channel-key queries and channel-server commands on\n"
      "                           port N and on the RTSP port (key = queried channel)\n"
      "  --web-port N             serve the camera web request for alarm outputs on port N\n"
      "  --server-split B:MS      send those replies in pieces of B bytes, MS ms apart\n"
      "  --server-chunked         recorder and web replies in chunked coding\n"
      "  --server-close-mid-reply send half of each reply, then close\n"
      "  --server-close-at-once   close each connection when it is accepted\n"
      "  --server-trickle         answer one byte every 50 ms, never finishing\n"
      "  --nvr-refuse-login       refuse every recorder login\n"
      "Talk (two-way audio, \"CMD:TALK\" on the RTSP port):\n"
      "  --talk duplex|simplex|refuse  accept with the device's audio (default), accept\n"
      "                           without it, or refuse\n"
      "  --talk-tone HZ           frequency of the tone the device sends (default 500)\n"
      "  --talk-quiet             offer the device's audio but send none\n"
      "  --talk-drop-after S      close each talk connection after S seconds\n"
      "  --talk-wav FILE          write the audio received on each talk connection to FILE\n"
      "                           (8000 Hz 16-bit mono WAV, when the connection ends)\n"
      "Private UDP stream (instead of RTSP; H.264, G.711/G.726 audio; --size, --fps,\n"
      "--gop, --bitrate, --audio, --bind and the --udp-* faults and --seed apply):\n"
      "  --private-udp ADDR:PORT  push the stream to the client at ADDR:PORT\n"
      "  --stream-id N            first stream identifier (default 20896)\n"
      "  --first-seq N            first sequence number (default 0)\n"
      "  --foreign N              copy N datagrams from --foreign-address\n"
      "  --foreign-address ADDR   the foreign sender's address (default 127.0.0.2)\n"
      "  --malformed N            send N malformed datagrams among the real ones\n"
      "  --change-stream-every S  start a new stream identifier every S seconds\n"
      "  --help                   this text\n",
      f);
}

bool ParseSize(const char* s, int* w, int* h) {
  return std::sscanf(s, "%dx%d", w, h) == 2 && *w > 0 && *h > 0;
}

bool ParseInt(const char* s, int* v) {
  char* end = nullptr;
  long x = std::strtol(s, &end, 10);
  if (end == s || *end || x < 0 || x > 1000000000) return false;
  *v = static_cast<int>(x);
  return true;
}

bool ParseRate(const char* s, double* v) {
  char* end = nullptr;
  *v = std::strtod(s, &end);
  return end != s && !*end && *v >= 0 && *v <= 1;
}

// The private UDP mode: pushes the stream until SIGINT or SIGTERM.
int RunPrivateUdp(const devicesim::Config& cfg, const devicesim::Faults& udp_faults,
                  devicesim::PrivateUdpConfig pcfg, int foreign, int malformed, int change_every_s,
                  const sigset_t& stop_signals) {
  if (cfg.codec != devicesim::VideoCodec::kH264) {
    std::fprintf(stderr, "qr-devicesim: the private UDP stream carries H.264 only\n");
    return 2;
  }
  pcfg.width = cfg.width;
  pcfg.height = cfg.height;
  pcfg.fps = cfg.fps;
  pcfg.gop = cfg.gop;
  pcfg.bitrate_kbps = cfg.bitrate_kbps;
  pcfg.audio = cfg.audio;
  pcfg.bind_address = cfg.bind_address;
  devicesim::PrivateUdpSender sender;
  devicesim::PrivateUdpFaults& f = sender.faults();
  f.loss = udp_faults.udp_loss.load();
  f.reorder = udp_faults.udp_reorder.load();
  f.duplicate = udp_faults.udp_duplicate.load();
  f.seed = udp_faults.udp_seed.load();
  f.foreign_address_datagrams = foreign;
  f.malformed_datagrams = malformed;
  if (!sender.Start(pcfg)) {
    std::fprintf(stderr, "qr-devicesim: %s\n", sender.Error().c_str());
    return 1;
  }
  std::printf("private UDP stream to %s:%u from port %u\n", pcfg.client_address.c_str(),
              unsigned(pcfg.client_port), unsigned(sender.LocalPort()));
  std::fflush(stdout);
  for (;;) {
    int sig = 0;
    if (change_every_s > 0) {
      timespec wait{change_every_s, 0};
      sig = sigtimedwait(&stop_signals, nullptr, &wait);
      if (sig < 0) {
        f.change_stream = true;
        continue;
      }
    } else {
      sigwait(&stop_signals, &sig);
    }
    break;
  }
  sender.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  devicesim::Config cfg;
  devicesim::Device device;
  devicesim::Faults& faults = device.faults();
  int port = 8554;
  devicesim::ControlService control;
  devicesim::NvrAlarmServer nvr_alarm;
  devicesim::TalkService talk;
  int md_period = 0, md_mask = 1, nvr_alarm_port = -1, nvr_report_period = 0;
  devicesim::NvrServer nvr;
  devicesim::ChannelServer channel_server;
  int nvr_port = -1, channel_server_port = -1, web_port = -1;
  bool refuse_login = false;
  auto server_fault = [&](auto apply) {
    apply(nvr.faults());
    apply(channel_server.faults());
  };
  devicesim::PrivateUdpConfig private_cfg;
  bool private_udp = false;
  int private_foreign = 0, private_malformed = 0, change_every = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      Usage(stdout);
      return 0;
    }
    if (opt == "--std-qop") {
      cfg.standard.digest_qop = true;
      continue;
    }
    if (opt == "--std-stap-a") {
      cfg.standard.stap_a = true;
      continue;
    }
    if (opt == "--std-sets-in-description") {
      cfg.standard.sets_in_description_only = true;
      continue;
    }
    if (opt == "--std-redirect") {
      cfg.standard.redirect = true;
      continue;
    }
    if (opt == "--std-no-get-parameter") {
      cfg.standard.no_get_parameter = true;
      continue;
    }
    if (opt == "--expire-interleaved") {
      cfg.expire_interleaved_sessions = true;
      continue;
    }
    if (opt == "--refuse-get-parameter") {
      faults.refuse_get_parameter = true;
      continue;
    }
    if (opt == "--refuse-credentials") {
      faults.refuse_credentials = true;
      continue;
    }
    if (opt == "--server-chunked") {
      server_fault([](devicesim::ServerFaults& f) { f.chunked = true; });
      continue;
    }
    if (opt == "--server-close-mid-reply") {
      server_fault([](devicesim::ServerFaults& f) { f.close_mid_reply = true; });
      continue;
    }
    if (opt == "--server-close-at-once") {
      server_fault([](devicesim::ServerFaults& f) { f.close_at_once = true; });
      continue;
    }
    if (opt == "--server-trickle") {
      server_fault([](devicesim::ServerFaults& f) { f.trickle = true; });
      continue;
    }
    if (opt == "--nvr-refuse-login") {
      refuse_login = true;
      continue;
    }
    if (opt == "--talk-quiet") {
      talk.options().device_audio = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "qr-devicesim: %s needs a value\n", opt.c_str());
      return 2;
    }
    const char* val = argv[++i];
    bool ok = true;
    int n = 0;
    double rate = 0;
    if (opt == "--port") {
      ok = ParseInt(val, &port) && port <= 65535;
    } else if (opt == "--bind") {
      cfg.bind_address = val;
    } else if (opt == "--codec") {
      auto c = devicesim::ParseVideoCodec(val);
      ok = c.has_value();
      if (ok) cfg.codec = *c;
    } else if (opt == "--size") {
      ok = ParseSize(val, &cfg.width, &cfg.height);
    } else if (opt == "--fps") {
      ok = ParseInt(val, &cfg.fps);
    } else if (opt == "--gop") {
      ok = ParseInt(val, &cfg.gop);
    } else if (opt == "--slices") {
      ok = ParseInt(val, &cfg.slices);
    } else if (opt == "--pad-bytes") {
      int pad = 0;
      ok = ParseInt(val, &pad) && pad >= 0;
      cfg.pad_picture_bytes = static_cast<size_t>(pad);
    } else if (opt == "--bitrate") {
      ok = ParseInt(val, &cfg.bitrate_kbps);
    } else if (opt == "--video-announce") {
      ok = std::strcmp(val, "device") == 0 || std::strcmp(val, "unknown") == 0;
      if (ok) cfg.announce_unknown_video = std::strcmp(val, "unknown") == 0;
    } else if (opt == "--audio-announce") {
      auto a = devicesim::ParseAudioAnnounce(val);
      ok = a.has_value();
      if (ok) cfg.audio_announce = *a;
    } else if (opt == "--audio") {
      auto a = devicesim::ParseAudioCodec(val);
      ok = a.has_value();
      if (ok) cfg.audio = *a;
    } else if (opt == "--scene") {
      auto sc = devicesim::ParseScene(val);
      ok = sc.has_value();
      if (ok) cfg.scene = *sc;
    } else if (opt == "--std-controls") {
      using Controls = devicesim::StandardServer::Controls;
      const std::string v = val;
      ok = v == "relative" || v == "absolute" || v == "other-base";
      if (ok) {
        cfg.standard.controls = v == "relative"   ? Controls::kRelative
                                : v == "absolute" ? Controls::kAbsolute
                                                  : Controls::kOtherBase;
      }
    } else if (opt == "--mode") {
      auto m = devicesim::ParseMode(val);
      ok = m.has_value();
      if (ok) cfg.mode = *m;
    } else if (opt == "--auth") {
      auto a = devicesim::ParseAuthScheme(val);
      ok = a.has_value();
      if (ok) cfg.auth = *a;
    } else if (opt == "--user") {
      cfg.user = val;
    } else if (opt == "--pass") {
      cfg.pass = val;
    } else if (opt == "--realm") {
      cfg.realm = val;
    } else if (opt == "--session-timeout") {
      ok = ParseInt(val, &n);
      cfg.session_timeout = std::chrono::seconds(n);
    } else if (opt == "--close-after-seconds") {
      ok = ParseInt(val, &n);
      faults.close_after_seconds = n;
    } else if (opt == "--close-after-packets") {
      ok = ParseInt(val, &n);
      faults.close_after_packets = n;
    } else if (opt == "--udp-loss") {
      ok = ParseRate(val, &rate);
      faults.udp_loss = rate;
    } else if (opt == "--udp-reorder") {
      ok = ParseRate(val, &rate);
      faults.udp_reorder = rate;
    } else if (opt == "--udp-duplicate") {
      ok = ParseRate(val, &rate);
      faults.udp_duplicate = rate;
    } else if (opt == "--seed") {
      ok = ParseInt(val, &n);
      faults.udp_seed = static_cast<uint32_t>(n);
    } else if (opt == "--reply-delay") {
      ok = ParseInt(val, &n);
      faults.reply_delay_ms = n;
    } else if (opt == "--next-size") {
      int w = 0, h = 0;
      ok = ParseSize(val, &w, &h);
      faults.next_width = w;
      faults.next_height = h;
    } else if (opt == "--next-codec") {
      auto c = devicesim::ParseVideoCodec(val);
      ok = c.has_value();
      if (ok) faults.next_codec = static_cast<int>(*c);
    } else if (opt == "--bad-channel") {
      ok = ParseInt(val, &n);
      faults.bad_channel_packets = n;
    } else if (opt == "--md-period") {
      ok = ParseInt(val, &md_period);
    } else if (opt == "--md-mask") {
      ok = ParseInt(val, &md_mask);
    } else if (opt == "--nvr-alarm-port") {
      ok = ParseInt(val, &nvr_alarm_port) && nvr_alarm_port <= 65535;
    } else if (opt == "--nvr-report-period") {
      ok = ParseInt(val, &nvr_report_period);
    } else if (opt == "--nvr-port") {
      ok = ParseInt(val, &nvr_port) && nvr_port <= 65535;
    } else if (opt == "--channel-server-port") {
      ok = ParseInt(val, &channel_server_port) && channel_server_port <= 65535;
    } else if (opt == "--web-port") {
      ok = ParseInt(val, &web_port) && web_port <= 65535;
    } else if (opt == "--server-split") {
      int bytes = 0, ms = 0;
      ok = std::sscanf(val, "%d:%d", &bytes, &ms) == 2 && bytes > 0 && ms >= 0;
      server_fault([&](devicesim::ServerFaults& f) {
        f.split_bytes = bytes;
        f.split_delay_ms = ms;
      });
    } else if (opt == "--talk") {
      const std::string v = val;
      ok = v == "duplex" || v == "simplex" || v == "refuse";
      talk.options().answer = v == "refuse"    ? devicesim::TalkAnswer::kRefuse
                              : v == "simplex" ? devicesim::TalkAnswer::kSimplex
                                               : devicesim::TalkAnswer::kDuplex;
    } else if (opt == "--talk-tone") {
      ok = ParseInt(val, &n) && n >= 50 && n <= 3900;
      talk.options().tone_hz = n;
    } else if (opt == "--talk-drop-after") {
      ok = ParseInt(val, &n) && n <= 86400;
      talk.options().drop_after_ms = n * 1000;
    } else if (opt == "--talk-wav") {
      talk.SetWavPath(val);
    } else if (opt == "--private-udp") {
      const char* colon = std::strrchr(val, ':');
      ok = colon != nullptr && ParseInt(colon + 1, &n) && n > 0 && n <= 65535;
      if (ok) {
        private_udp = true;
        private_cfg.client_address.assign(val, size_t(colon - val));
        private_cfg.client_port = static_cast<uint16_t>(n);
      }
    } else if (opt == "--stream-id") {
      ok = ParseInt(val, &n);
      private_cfg.stream_id = static_cast<uint32_t>(n);
    } else if (opt == "--first-seq") {
      char* end = nullptr;
      const unsigned long long v = std::strtoull(val, &end, 0);
      ok = end != val && !*end && v <= 0xFFFFFFFFull;
      private_cfg.first_sequence = static_cast<uint32_t>(v);
    } else if (opt == "--foreign") {
      ok = ParseInt(val, &private_foreign);
    } else if (opt == "--foreign-address") {
      private_cfg.foreign_address = val;
    } else if (opt == "--malformed") {
      ok = ParseInt(val, &private_malformed);
    } else if (opt == "--change-stream-every") {
      ok = ParseInt(val, &change_every);
    } else {
      std::fprintf(stderr, "qr-devicesim: unknown option %s (see --help)\n", opt.c_str());
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "qr-devicesim: bad value for %s: %s\n", opt.c_str(), val);
      return 2;
    }
  }

  // Block the stop signals in every thread; the main thread waits for them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (private_udp)
    return RunPrivateUdp(cfg, faults, private_cfg, private_foreign, private_malformed, change_every,
                         stop_signals);

  control.Attach(device);
  if (channel_server_port >= 0) {
    channel_server.SetIdentityKeys(true);
    channel_server.Attach(device);
  }
  talk.Attach(device);
  if (!device.Start(cfg, static_cast<uint16_t>(port))) {
    std::fprintf(stderr, "qr-devicesim: %s\n", device.Error().c_str());
    return 1;
  }
  std::printf("%s\n", device.Url(1).c_str());
  if (md_period > 0) control.StartPeriodicMotion(md_period, uint32_t(md_mask) & 0xFFFFu);
  if (nvr_alarm_port >= 0) {
    if (!nvr_alarm.Start(static_cast<uint16_t>(nvr_alarm_port), cfg.bind_address)) {
      std::fprintf(stderr, "qr-devicesim: cannot serve the alarm channel on port %d\n",
                   nvr_alarm_port);
      device.Stop();
      return 1;
    }
    std::printf("alarm channel on port %u\n", unsigned(nvr_alarm.Port()));
    if (nvr_report_period > 0) nvr_alarm.StartPeriodicReports(nvr_report_period, 1, 1);
  }
  const std::string user = cfg.user.empty() ? "admin" : cfg.user;
  const std::string pass = cfg.user.empty() ? "admin" : cfg.pass;
  if (nvr_port >= 0) {
    nvr.SetCredentials(user, pass);
    if (refuse_login) nvr.SetLoginError("Authentication failed");
    nvr.SetRtspPort(device.Port());
    // The recorder reports addresses in reverse order.
    std::string a = cfg.bind_address, reversed;
    for (int i = 0; i < 4; ++i) {
      size_t dot = a.rfind('.');
      reversed += (i ? "." : "") + a.substr(dot == std::string::npos ? 0 : dot + 1);
      a = dot == std::string::npos ? "" : a.substr(0, dot);
    }
    std::vector<devicesim::NvrCamera> cameras;
    std::vector<devicesim::NvrRecord> records;
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y%m%d", &local);
    for (int c = 1; c <= 4; ++c) {
      cameras.push_back({c, reversed, 0, "camera " + std::to_string(c)});
      char begin[32], end[32];
      std::snprintf(begin, sizeof begin, "%s%02d0000", date, 7 + c);
      std::snprintf(end, sizeof end, "%s%02d0000", date, 8 + c);
      records.push_back({c, 0, begin, end, 0});
    }
    nvr.SetCameras(cameras);
    nvr.SetRecords(date, records);
    nvr.SetPresets(1, {{1, "gate"}, {2, "yard"}});
    if (!nvr.Start(static_cast<uint16_t>(nvr_port), cfg.bind_address)) {
      std::fprintf(stderr, "qr-devicesim: cannot serve recorder requests on port %d\n", nvr_port);
      device.Stop();
      return 1;
    }
    std::printf("recorder management on port %u\n", unsigned(nvr.Port()));
  }
  channel_server.SetCredentials(user, pass);
  if (channel_server_port >= 0) {
    if (!channel_server.Start(static_cast<uint16_t>(channel_server_port), cfg.bind_address)) {
      std::fprintf(stderr, "qr-devicesim: cannot serve the channel server on port %d\n",
                   channel_server_port);
      device.Stop();
      return 1;
    }
    std::printf("channel server on port %u\n", unsigned(channel_server.Port()));
  }
  if (web_port >= 0) {
    if (!channel_server.StartWeb(static_cast<uint16_t>(web_port), cfg.bind_address)) {
      std::fprintf(stderr, "qr-devicesim: cannot serve the web endpoint on port %d\n", web_port);
      device.Stop();
      return 1;
    }
    std::printf("alarm-output web endpoint on port %u\n", unsigned(channel_server.WebPort()));
  }
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  nvr_alarm.Stop();
  nvr.Stop();
  channel_server.Stop();
  control.StopPeriodicMotion();
  device.Stop();
  return 0;
}
