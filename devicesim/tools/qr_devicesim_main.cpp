// qr-devicesim: runs a simulated camera until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "devicesim/private_udp.h"

namespace {

void Usage(FILE* f) {
  std::fputs(
      "usage: qr-devicesim [options]\n"
      "Serves a simulated camera over RTSP and prints its URL.\n"
      "\n"
      "  --port N                 RTSP port (default 8554; 0 = any free port)\n"
      "  --bind ADDR              address to listen on (default 127.0.0.1)\n"
      "  --codec h264|mjpeg       video codec (default h264)\n"
      "  --size WxH               picture size (default 1280x720)\n"
      "  --fps N                  frames per second (default 25)\n"
      "  --gop N                  pictures between H.264 IDR pictures (default = fps)\n"
      "  --bitrate KBPS           H.264 target bit rate (default from size and fps)\n"
      "  --audio none|pcma|pcmu|g726-16|g726-24|g726-32|g726-40|aac  (default pcma)\n"
      "  --mode generic|banner|recorder  how the device presents itself (default generic)\n"
      "  --auth none|basic|digest authentication (default none)\n"
      "  --user U --pass P        credentials for --auth\n"
      "  --realm R                authentication realm (default qr-devicesim)\n"
      "  --session-timeout S      drop UDP sessions without a request for S seconds\n"
      "                           (default 60; 0 = never)\n"
      "\n"
      "Faults:\n"
      "  --close-after-seconds N  close each connection N seconds after its first PLAY\n"
      "  --close-after-packets N  close each connection after N media packets\n"
      "  --udp-loss P             drop UDP packets with probability P (0..1)\n"
      "  --udp-reorder P          swap UDP packets with the next one with probability P\n"
      "  --udp-duplicate P        send UDP packets twice with probability P\n"
      "  --seed N                 seed of the UDP fault generator (default 1)\n"
      "  --refuse-credentials     answer every authorization with 401\n"
      "  --reply-delay MS         hold each RTSP reply back for MS milliseconds\n"
      "  --next-size WxH          the first connection changes the picture size\n"
      "  --next-codec h264|mjpeg  the first connection changes the codec\n"
      "  --bad-channel N          send N interleaved packets with channel byte 4\n"
      "\n"
      "Device control and events (MCTP/1.0 on the RTSP port):\n"
      "  --md-period MS           push a motion report to every event channel every MS ms\n"
      "  --md-mask MASK           regions named by periodic motion reports (default 1)\n"
      "  --nvr-alarm-port N       also serve a recorder alarm channel on port N\n"
      "  --nvr-report-period MS   send \"chan=1&type=1&\" to alarm clients every MS ms\n"
      "\n"
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
  int md_period = 0, md_mask = 1, nvr_alarm_port = -1, nvr_report_period = 0;
  devicesim::PrivateUdpConfig private_cfg;
  bool private_udp = false;
  int private_foreign = 0, private_malformed = 0, change_every = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      Usage(stdout);
      return 0;
    }
    if (opt == "--refuse-credentials") {
      faults.refuse_credentials = true;
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
    } else if (opt == "--bitrate") {
      ok = ParseInt(val, &cfg.bitrate_kbps);
    } else if (opt == "--audio") {
      auto a = devicesim::ParseAudioCodec(val);
      ok = a.has_value();
      if (ok) cfg.audio = *a;
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
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  nvr_alarm.Stop();
  control.StopPeriodicMotion();
  device.Stop();
  return 0;
}
