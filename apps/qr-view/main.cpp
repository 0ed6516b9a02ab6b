// qr-view: live view of one camera channel (see --help).
#include <QApplication>
#include <QTextStream>
#include <cstdio>

#include "options.h"
#include "quornet.h"
#include "viewer_app.h"

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  QTextStream out(stdout);
  QTextStream err(stderr);

  // Parsed before the application object, so --help works without a display.
  qrview::ViewerOptions options;
  QString message;
  switch (qrview::ParseViewerOptions(arguments, &options, &message)) {
    case qrview::ParseResult::kExitOk:
      out << message;
      return 0;
    case qrview::ParseResult::kError:
      err << "qr-view: " << message << "\n(see qr-view --help)\n";
      return 2;
    case qrview::ParseResult::kRun:
      break;
  }

  int code;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qr-view"));
    code = qrview::RunViewer(options, out, err);
  }
  QRNET_Cleanup();
  return code;
}
