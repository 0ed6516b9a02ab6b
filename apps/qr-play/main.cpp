// qr-play: plays a record file (AVI record, alarm record or older record
// file) in a window with keyboard controls, or headless until a number of
// pictures was shown (see --help).
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTextStream>
#include <QTimer>
#include <atomic>

#include "player_window.h"
#include "quornet.h"
#include "quorpane/video_widget.h"

namespace {

const char kUsage[] =
    "usage: qr-play FILE [--start S] [--speed E] [--audio]\n"
    "               [--frames N] [--timeout S] [--save-png FILE] [--size WxH]\n"
    "\n"
    "Plays a record file: AVI record files, alarm record files and older record\n"
    "files. FILE is a native path or a drive path (\"D:\\Record\\...\").\n"
    "\n"
    "  --start S        start S seconds into the file\n"
    "  --speed E        speed 2^E, E from -4 to 4\n"
    "  --audio          play the file's audio (heard at normal speed only)\n"
    "  --frames N       headless run: stop after N pictures or at the end of the\n"
    "                   file; exit 0 when pictures were shown, 1 when none came\n"
    "                   within --timeout seconds (default 20)\n"
    "  --save-png FILE  save the last picture at its own size (implies --frames 50)\n"
    "  --size WxH       window size (default: the picture size)\n"
    "\n"
    "Keys: Space pause/continue, S single step, Left/Right seek 5 s,\n"
    "Up/Down or +/- faster/slower, N normal speed, A audio, F full screen,\n"
    "Q or Escape quit.\n";

struct Options {
  QString file;
  int start = 0;
  int speed = 0;
  bool audio = false;
  int frames = 0;
  int timeout_s = 20;
  QString save_png;
  QSize size;
};

// 0 run, 1 exit 0 (help), 2 usage error (message in *error).
int Parse(const QStringList& args, Options* o, QString* error) {
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    auto value = [&](QString* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    auto number = [&](int* out, int lo, int hi) {
      QString v;
      if (!value(&v)) return false;
      bool ok = false;
      const int n = v.toInt(&ok);
      if (!ok || n < lo || n > hi) {
        *error = QStringLiteral("bad value for %1: %2").arg(a, v);
        return false;
      }
      *out = n;
      return true;
    };
    if (a == "--help" || a == "-h") return 1;
    if (a == "--start") {
      if (!number(&o->start, 0, 1 << 30)) return 2;
    } else if (a == "--speed") {
      if (!number(&o->speed, -4, 4)) return 2;
    } else if (a == "--audio") {
      o->audio = true;
    } else if (a == "--frames") {
      if (!number(&o->frames, 1, 1 << 30)) return 2;
    } else if (a == "--timeout") {
      if (!number(&o->timeout_s, 1, 86400)) return 2;
    } else if (a == "--save-png") {
      if (!value(&o->save_png)) return 2;
      if (o->frames == 0) o->frames = 50;
    } else if (a == "--size") {
      QString v;
      if (!value(&v)) return 2;
      const QStringList wh = v.split('x');
      const int w = wh.size() == 2 ? wh[0].toInt() : 0, h = wh.size() == 2 ? wh[1].toInt() : 0;
      if (w < 16 || h < 16 || w > 8192 || h > 8192) {
        *error = "bad --size " + v;
        return 2;
      }
      o->size = QSize(w, h);
    } else if (a.startsWith("--") || !o->file.isEmpty()) {
      *error = "unexpected argument " + a;
      return 2;
    } else {
      o->file = a;
    }
  }
  if (o->file.isEmpty()) {
    *error = "no file";
    return 2;
  }
  return 0;
}

std::atomic<bool> g_ended{false};

void OnStatus(uint32_t, int32_t kind, int32_t value, int32_t) {
  if (kind == 7 && value == 0) g_ended.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  QStringList args;
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  QTextStream out(stdout);
  QTextStream err(stderr);
  Options o;
  QString error;
  switch (Parse(args, &o, &error)) {
    case 1:
      out << kUsage;
      return 0;
    case 2:
      err << "qr-play: " << error << "\n(see qr-play --help)\n";
      return 2;
    default:
      break;
  }

  int code = 0;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qr-play"));
    QRNET_Startup(0, 0, OnStatus, 0);
    qrplay::PlayerWindow window;
    window.setWindowTitle(QStringLiteral("qr-play %1").arg(o.file));
    window.resize(o.size.isValid() ? o.size : QSize(960, 540));
    window.show();
    if (!window.Open(o.file, o.start)) {
      err << "qr-play: cannot play " << o.file << "\n";
      return 2;
    }
    const uint32_t h = window.handle();
    QRNET_ClientOutput info{};
    if (!o.size.isValid() && QRNET_GetClientParam(h, &info) == 1 && info.width >= 16 &&
        info.height >= 16 && info.width <= 4096 && info.height <= 4096) {
      // The video area takes the picture size, so pictures are shown (and
      // saved) unscaled.
      window.resize(window.size() - window.video()->size() + QSize(info.width, info.height));
    }
    if (o.speed != 0) QRNET_SetSpeed(h, o.speed);
    if (o.audio) window.ToggleAudio();
    out << "file: " << o.file << " (" << QRNET_ReplayTotalTime(h) << " s, " << info.width << "x"
        << info.height << ")\n";
    out.flush();

    QTimer poll;
    QElapsedTimer clock;
    quint64 last_count = 0;
    qint64 last_change = 0;
    if (o.frames > 0) {
      clock.start();
      QObject::connect(&poll, &QTimer::timeout, [&] {
        const quint64 shown = window.video()->presentCount();
        if (shown != last_count) last_count = shown, last_change = clock.elapsed();
        const bool enough = shown >= quint64(o.frames);
        // At the end of the file the last queued pictures are still shown.
        const bool ended = g_ended.load() && clock.elapsed() - last_change > 500;
        const bool late = clock.elapsed() > qint64(o.timeout_s) * 1000;
        if (!enough && !ended && !late) return;
        poll.stop();
        const QImage picture = window.video()->lastFrame();
        window.Close();
        out << "frames shown: " << shown << (ended && !enough ? " (end of file)" : "") << "\n";
        int result = shown > 0 && (enough || ended) ? 0 : 1;
        if (result != 0) err << "timed out after " << o.timeout_s << " s\n";
        if (!o.save_png.isEmpty()) {
          if (picture.isNull() || !picture.save(o.save_png, "PNG")) {
            err << "cannot write " << o.save_png << "\n";
            result = 1;
          } else {
            out << "saved picture: " << o.save_png << " (" << picture.width() << "x"
                << picture.height() << ")\n";
          }
        }
        out.flush();
        err.flush();
        QCoreApplication::exit(result);
      });
      poll.start(50);
    }
    code = QApplication::exec();
    window.Close();
  }
  QRNET_Cleanup();
  return code;
}
