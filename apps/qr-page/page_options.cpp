#include "page_options.h"

namespace qrpage {

namespace {

const char kUsage[] =
    "usage: qr-page [OPTIONS] PAGE.js [ARGS...]\n"
    "Runs a page script with a grid of viewer controls.\n"
    "\n"
    "  --grid CxR         C columns and R rows of controls (default 1x1, at most 8x8)\n"
    "  --size WxH         window size (default 352x288 per control)\n"
    "  --quit-after S     exit with status 4 if the page has not quit after S seconds\n"
    "  --sim N            start N simulated cameras on loopback (host.sim[i] is the\n"
    "                     address of camera i, for the controls' url property)\n"
    "  --sim-size WxH     picture size of the simulated cameras (default 640x360)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: the page's host.quit(code); 2 usage or start-up error; 3 script\n"
    "error; 4 --quit-after expired.\n";

bool ParsePair(const QString& text, QChar separator, int max, int* a, int* b) {
  const QStringList parts = text.split(separator);
  if (parts.size() != 2) return false;
  bool ok1 = false, ok2 = false;
  const int x = parts[0].toInt(&ok1), y = parts[1].toInt(&ok2);
  if (!ok1 || !ok2 || x < 1 || y < 1 || x > max || y > max) return false;
  *a = x;
  *b = y;
  return true;
}

}  // namespace

ParseResult ParsePageOptions(const QStringList& arguments, PageOptions* o, QString* message) {
  *o = PageOptions();
  int i = 1;
  auto value = [&](const QString& name, QString* out) {
    if (i + 1 >= arguments.size()) {
      *message = QStringLiteral("%1 needs a value").arg(name);
      return false;
    }
    *out = arguments[++i];
    return true;
  };
  for (; i < arguments.size(); ++i) {
    const QString a = arguments[i];
    if (!a.startsWith(QLatin1String("--"))) break;
    QString v;
    if (a == QLatin1String("--help")) {
      *message = QString::fromLatin1(kUsage);
      return ParseResult::kExitOk;
    } else if (a == QLatin1String("--version")) {
      *message = QStringLiteral("qr-page 1.0\n");
      return ParseResult::kExitOk;
    } else if (a == QLatin1String("--grid")) {
      if (!value(a, &v)) return ParseResult::kError;
      if (!ParsePair(v, QLatin1Char('x'), 8, &o->columns, &o->rows)) {
        *message = QStringLiteral("--grid wants CxR with 1..8 each, not \"%1\"").arg(v);
        return ParseResult::kError;
      }
    } else if (a == QLatin1String("--size") || a == QLatin1String("--sim-size")) {
      if (!value(a, &v)) return ParseResult::kError;
      int w = 0, h = 0;
      if (!ParsePair(v, QLatin1Char('x'), 4096, &w, &h) || w < 16 || h < 16) {
        *message = QStringLiteral("%1 wants WxH with 16..4096 each, not \"%2\"").arg(a, v);
        return ParseResult::kError;
      }
      (a == QLatin1String("--size") ? o->window_size : o->sim_size) = QSize(w, h);
    } else if (a == QLatin1String("--quit-after") || a == QLatin1String("--sim")) {
      if (!value(a, &v)) return ParseResult::kError;
      bool ok = false;
      const int n = v.toInt(&ok);
      const int max = a == QLatin1String("--sim") ? 16 : 86400;
      if (!ok || n < (a == QLatin1String("--sim") ? 0 : 1) || n > max) {
        *message = QStringLiteral("%1 wants a number up to %2, not \"%3\"").arg(a).arg(max).arg(v);
        return ParseResult::kError;
      }
      (a == QLatin1String("--sim") ? o->sims : o->quit_after_s) = n;
    } else {
      *message = QStringLiteral("unknown option %1").arg(a);
      return ParseResult::kError;
    }
  }
  if (i >= arguments.size()) {
    *message = QStringLiteral("no page given");
    return ParseResult::kError;
  }
  o->page = arguments[i];
  o->args = arguments.mid(i + 1);
  return ParseResult::kRun;
}

}  // namespace qrpage
